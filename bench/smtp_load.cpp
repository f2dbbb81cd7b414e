// Load program for the SMTP engine (not a Google Benchmark): starts the server in this
// process on a free port of 127.0.0.1 with a temporary queue directory, drives it with N
// concurrent clients sending 1 KB and 100 KB messages with SyncQueueFiles on and off, and
// prints messages per second; then opens idle connections and prints the peak RSS.
//
//   smtp_load [clients=20] [messages-per-client=25] [idle-connections=1000]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "smtp/smtp_server.h"

namespace fs = std::filesystem;
using namespace kestran;

namespace {

class Client {
 public:
  explicit Client(uint16_t port) {
    s_ = SockSocket(kAfInet, kSockStream, 0);
    uint32_t ms = 30000;
    SockSetOpt(s_, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms);
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    a.sin_port = SockHtons(port);
    ok_ = SockConnect(s_, &a, sizeof a) == 0;
  }
  ~Client() { SockClose(s_); }
  bool ok() const { return ok_; }
  void Send(const std::string& d) {
    size_t done = 0;
    while (done < d.size()) {
      int n = SockSend(s_, d.data() + done, static_cast<int>(d.size() - done), 0);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  std::string ReadLine() {
    for (;;) {
      size_t p = buf_.find("\r\n");
      if (p != std::string::npos) {
        std::string l = buf_.substr(0, p);
        buf_.erase(0, p + 2);
        return l;
      }
      char tmp[4096];
      int n = SockRecv(s_, tmp, sizeof tmp, 0);
      if (n <= 0) return "<closed>";
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }
  std::string Cmd(const std::string& l) {
    Send(l + "\r\n");
    return ReadLine();
  }

 private:
  TSocket s_;
  bool ok_ = false;
  std::string buf_;
};

std::string Body(size_t bytes) {
  std::string b = "Subject: load\r\n\r\n";
  std::string line(76, 'x');
  while (b.size() < bytes) b += line + "\r\n";
  return b + ".\r\n";
}

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string k;
  long v = 0;
  while (in >> k) {
    if (k == key) {
      in >> v;
      return v;
    }
  }
  return -1;
}

uint16_t Activate(TConduitSMTPServer& server) {
  for (int i = 0; i < 20; ++i) {
    TSocket s = SockSocket(kAfInet, kSockStream, 0);
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    SockBind(s, &a, sizeof a);
    int len = sizeof a;
    SockGetSockName(s, &a, &len);
    SockClose(s);
    server.SetPort(SockNtohs(a.sin_port));
    try {
      server.SetActive(true);
      return SockNtohs(a.sin_port);
    } catch (const std::exception&) {
    }
  }
  std::fprintf(stderr, "no free port\n");
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 20;
  const int perClient = argc > 2 ? std::atoi(argv[2]) : 25;
  const int idle = argc > 3 ? std::atoi(argv[3]) : 1000;

  std::random_device rd;
  fs::path root = fs::temp_directory_path() / ("kestran-load-" + std::to_string(rd()));
  fs::path queue = root / "drive_c" / "queue";
  fs::create_directories(queue);
  ::setenv("KESTRAN_ROOT", root.c_str(), 1);

  std::atomic<int32_t> counter{0};
  auto server = std::make_unique<TConduitSMTPServer>();
  server->SetBoundIP("127.0.0.1");
  server->SetMailWriteDir("C:\\queue\\");
  server->SetLocalDomains({"corp.example"});
  server->OnNextIDEvent = [&](int32_t& id, bool& handled) {
    id = ++counter;
    handled = true;
  };
  uint16_t port = Activate(*server);

  std::printf("clients=%d messages/client=%d queue=%s\n", clients, perClient, queue.c_str());
  for (size_t size : {size_t{1024}, size_t{100 * 1024}}) {
    const std::string body = Body(size);
    for (bool sync : {true, false}) {
      server->SetActive(false);
      server->SetSyncQueueFiles(sync);
      port = Activate(*server);
      std::vector<std::unique_ptr<Client>> conns;
      for (int i = 0; i < clients; ++i) {
        conns.push_back(std::make_unique<Client>(port));
        conns.back()->ReadLine();
        conns.back()->Cmd("HELO load.example");
      }
      std::atomic<int> ok{0};
      auto t0 = std::chrono::steady_clock::now();
      std::vector<std::thread> threads;
      for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
          Client& c = *conns[static_cast<size_t>(i)];
          for (int m = 0; m < perClient; ++m) {
            c.Cmd("MAIL FROM:<s@x.example>");
            c.Cmd("RCPT TO:<u@corp.example>");
            c.Cmd("DATA");
            c.Send(body);
            if (c.ReadLine() == "250 Message received OK") ++ok;
          }
        });
      }
      for (auto& t : threads) t.join();
      double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf("size=%6zu sync=%-3s accepted=%d in %.2f s: %.0f msg/s\n", size,
                  sync ? "on" : "off", ok.load(), secs, ok.load() / secs);
      for (auto& c : conns) c->Cmd("QUIT");
      conns.clear();
      for (auto& e : fs::directory_iterator(queue)) fs::remove(e.path());
    }
  }

  long before = StatusKb("VmRSS:");
  std::vector<std::unique_ptr<Client>> idlers;
  for (int i = 0; i < idle; ++i) {
    idlers.push_back(std::make_unique<Client>(port));
    if (idlers.back()->ReadLine().rfind("220", 0) != 0) {
      std::printf("idle connection %d got no greeting\n", i);
      break;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::printf("idle connections=%zu RSS before=%ld kB now=%ld kB peak(VmHWM)=%ld kB threads=%ld\n",
              idlers.size(), before, StatusKb("VmRSS:"), StatusKb("VmHWM:"), StatusKb("Threads:"));
  idlers.clear();
  server.reset();
  fs::remove_all(root);
  return 0;
}
