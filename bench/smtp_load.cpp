// Load program for the SMTP engine (not a Google Benchmark): starts the server in this
// process on a free port of 127.0.0.1 with a temporary queue directory, drives it with N
// concurrent clients sending 1 KB and 100 KB messages with SyncQueueFiles on and off, and
// prints messages per second; then opens idle connections and prints the peak RSS.
//
//   smtp_load [clients=20] [messages-per-client=25] [idle-connections=1000]
//
// With "ratelimit" first it compares, in one run, the rate of sessions of one message
// each (1 KB, SyncQueueFiles off) with the rate limits off and with the package's values,
// every connection from a loopback address of its own so that no limit is reached; the
// two take turns for a number of rounds and the medians are printed. Then it prints the
// rate table's heap memory per key.
//
//   smtp_load ratelimit [clients=20] [rounds=3] [seconds-per-turn=3]
//
// With "verify" first it compares the same sessions (every recipient local) without the
// recipient check and with it, the cache warm: the check asks an LMTP responder of this
// process once, then answers from the cache. It prints the medians, then what one cold
// question to the responder costs.
//
//   smtp_load verify [clients=20] [rounds=3] [seconds-per-turn=3]

#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

#include "deliver/next_hop_verifier.h"
#include "platform/sockets.h"
#include "smtp/smtp_server.h"
#include "smtp/verify_cache.h"

namespace fs = std::filesystem;
using namespace kestran;

namespace {

class Client {
 public:
  // sourceIp: the loopback address to connect from (empty: the system's choice).
  explicit Client(uint16_t port, const std::string& sourceIp = "") {
    s_ = SockSocket(kAfInet, kSockStream, 0);
    uint32_t ms = 30000;
    SockSetOpt(s_, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&ms), sizeof ms);
    if (!sourceIp.empty()) {
      // The port is picked at connect, by the whole address pair: a port picked at bind
      // would be searched for among every socket still waiting out its close.
#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif
      const int one = 1;
      ::setsockopt(static_cast<int>(s_), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
      TSockAddrIn local;
      local.sin_addr = SockInetAddr(sourceIp);
      SockBind(s_, &local, sizeof local);
    }
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    a.sin_port = SockHtons(port);
    ok_ = SockConnect(s_, &a, sizeof a) == 0;
  }
  ~Client() {
    SockClose(s_);
  }
  bool ok() const {
    return ok_;
  }
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

// A server on 127.0.0.1 with a queue directory in a temporary data root of its own,
// numbering messages from 1; removed with everything in it at the end.
struct TLoadServer {
  TLoadServer() {
    std::random_device rd;
    root = fs::temp_directory_path() / ("kestran-load-" + std::to_string(rd()));
    queue = root / "drive_c" / "queue";
    fs::create_directories(queue);
    ::setenv("KESTRAN_ROOT", root.c_str(), 1);
    server = std::make_unique<TConduitSMTPServer>();
    server->SetBoundIP("127.0.0.1");
    server->SetMailWriteDir("C:\\queue\\");
    server->SetLocalDomains({"corp.example"});
    server->OnNextIDEvent = [this](int32_t& id, bool& handled) {
      id = ++counter;
      handled = true;
    };
  }
  ~TLoadServer() {
    server.reset();
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path root, queue;
  std::atomic<int32_t> counter{0};
  std::unique_ptr<TConduitSMTPServer> server;
};

// CPU time of this process (every thread, user and system), in microseconds.
double ProcessCpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

struct TTurn {
  double rate = 0;       // messages a second
  double cpuPerMsg = 0;  // microseconds of this process (server and clients) a message
};

// One turn: clients threads, each running sessions of one message until seconds have
// passed, every session from the next loopback address of its own range.
TTurn SessionTurn(uint16_t port, int clients, double seconds, uint32_t& nextAddress) {
  const double cpu0 = ProcessCpuUs();
  const std::string body = Body(1024);
  std::atomic<int> ok{0}, failed{0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    const uint32_t base = nextAddress + static_cast<uint32_t>(i) * 0x10000u;
    threads.emplace_back([&, base] {
      for (uint32_t n = 0; std::chrono::steady_clock::now() < end; ++n) {
        const uint32_t a = base + (n & 0xffffu);
        const std::string ip = "127." + std::to_string(a >> 16 & 255) + "." +
                               std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255);
        Client c(port, ip);
        if (c.ReadLine().rfind("220", 0) != 0) {
          ++failed;
          continue;
        }
        c.Cmd("HELO load.example");
        c.Cmd("MAIL FROM:<s@x.example>");
        c.Cmd("RCPT TO:<u@corp.example>");
        c.Cmd("DATA");
        c.Send(body);
        if (c.ReadLine() == "250 Message received OK")
          ++ok;
        else
          ++failed;
        c.Cmd("QUIT");
      }
    });
  }
  for (auto& t : threads) t.join();
  nextAddress += static_cast<uint32_t>(clients) * 0x10000u;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (failed.load() != 0) std::printf("  %d sessions failed or were refused\n", failed.load());
  TTurn turn;
  turn.rate = ok.load() / secs;
  turn.cpuPerMsg = ok.load() > 0 ? (ProcessCpuUs() - cpu0) / ok.load() : 0;
  return turn;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int RateLimitBench(int clients, int rounds, double seconds) {
  TLoadServer load;
  const fs::path& queue = load.queue;
  auto& server = load.server;
  server->SetSyncQueueFiles(false);
  TRateLimitSettings package;
  package.ConnectRatePerMinute = 60;
  package.ConnectBurst = 20;
  package.MessageRatePerMinute = 120;
  package.MessageBurst = 60;
  package.RecipientRatePerMinute = 600;
  package.RecipientBurst = 200;
  package.BadRecipientLimit = 20;
  std::vector<double> off, on, cpuOff, cpuOn;
  uint32_t nextAddress = 0x010000;  // 127.1.0.0 onwards
  std::printf(
      "ratelimit: clients=%d rounds=%d seconds/turn=%.1f, 1 KB, one message a session, "
      "sync off\n",
      clients, rounds, seconds);
  for (int r = 0; r < rounds; ++r) {
    // The order changes every round, so that a drift of the machine favours neither.
    for (bool limited : {r % 2 != 0, r % 2 == 0}) {
      server->SetActive(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      server->SetRateLimits(limited ? package : TRateLimitSettings{});
      const uint16_t port = Activate(*server);
      const TTurn turn = SessionTurn(port, clients, seconds, nextAddress);
      (limited ? on : off).push_back(turn.rate);
      (limited ? cpuOn : cpuOff).push_back(turn.cpuPerMsg);
      std::printf("  round %d limits %-7s %.0f msg/s, %.0f us CPU a message (keys %zu)\n", r + 1,
                  limited ? "package" : "off", turn.rate, turn.cpuPerMsg,
                  server->RateLimiter().Keys());
      for (auto& e : fs::directory_iterator(queue)) fs::remove(e.path());
    }
  }
  const double mOff = Median(off), mOn = Median(on);
  std::printf("median: limits off %.0f msg/s, package values %.0f msg/s, change %+.1f %%\n", mOff,
              mOn, (mOn / mOff - 1) * 100);
  const double cOff = Median(cpuOff), cOn = Median(cpuOn);
  std::printf("median CPU a message: limits off %.0f us, package values %.0f us, change %+.1f %%\n",
              cOff, cOn, (cOn / cOff - 1) * 100);
  server.reset();

  // The rate table's heap per key: a full table of IPv6 /64 keys, every counter in use.
  const size_t keys = TRateLimiter::kDefaultTableSize;
  const size_t before = mallinfo2().uordblks;
  {
    TRateLimiter table(keys, [] { return int64_t{0}; });
    table.SetMetrics(nullptr);
    table.SetLimit(TRateCounter::Connect, 60, 20);
    table.SetLimit(TRateCounter::Mail, 120, 60);
    table.SetLimit(TRateCounter::Rcpt, 600, 200);
    for (size_t i = 0; i < keys; ++i) {
      char ip[64];
      std::snprintf(ip, sizeof ip, "2001:db8:%zx:%zx::1", i >> 16, i & 0xffff);
      const TClientKey key = *ClientKeyOf(ip, 64);
      for (auto c : {TRateCounter::Connect, TRateCounter::Mail, TRateCounter::Rcpt})
        table.Take(key, c);
    }
    const size_t used = mallinfo2().uordblks - before;
    std::printf("rate table: %zu keys, %zu bytes of heap, %.1f bytes per key\n", table.Keys(), used,
                static_cast<double>(used) / static_cast<double>(table.Keys()));
  }
  return 0;
}

// A next hop that knows every address: 220, LHLO, then 250 to every command, one
// thread per connection.
class TLmtpResponder {
 public:
  TLmtpResponder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 64);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    accept_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        std::thread([c] {
          auto say = [c](const std::string& s) {
            (void)!::send(c, s.data(), s.size(), MSG_NOSIGNAL);
          };
          say("220 sink ready\r\n");
          std::string in;
          char buf[4096];
          for (;;) {
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, static_cast<size_t>(n));
            // The replies to what came in together go out together, as a pipelining
            // server sends them.
            std::string out;
            for (size_t p; (p = in.find("\r\n")) != std::string::npos; in.erase(0, p + 2))
              out += in.rfind("LHLO", 0) == 0
                         ? "250-sink\r\n250-PIPELINING\r\n250 SIZE 52428800\r\n"
                         : "250 2.0.0 Ok\r\n";
            say(out);
          }
          ::close(c);
        }).detach();
      }
    });
  }
  ~TLmtpResponder() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    accept_.join();
  }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread accept_;
};

int VerifyBench(int clients, int rounds, double seconds) {
  TLmtpResponder responder;
  auto hop = ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(responder.port()));
  auto asker = std::make_shared<TNextHopVerifier>(*hop, "load.example", 10000);
  auto cache = std::make_shared<TVerifyCache>(asker, 3600, 600);
  TLoadServer load;
  auto& server = load.server;
  server->SetSyncQueueFiles(false);
  std::vector<double> off, on, cpuOff, cpuOn;
  uint32_t nextAddress = 0x010000;
  std::printf(
      "verify: clients=%d rounds=%d seconds/turn=%.1f, 1 KB, one message a session, "
      "sync off, local recipient\n",
      clients, rounds, seconds);
  for (int r = 0; r < rounds; ++r) {
    for (bool verify : {r % 2 != 0, r % 2 == 0}) {
      server->SetActive(false);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      server->SetRecipientVerifier(verify ? cache : nullptr);
      const uint16_t port = Activate(*server);
      const TTurn turn = SessionTurn(port, clients, seconds, nextAddress);
      (verify ? on : off).push_back(turn.rate);
      (verify ? cpuOn : cpuOff).push_back(turn.cpuPerMsg);
      std::printf("  round %d verify %-3s %.0f msg/s, %.0f us CPU a message\n", r + 1,
                  verify ? "on" : "off", turn.rate, turn.cpuPerMsg);
      for (auto& e : fs::directory_iterator(load.queue)) fs::remove(e.path());
    }
  }
  const double mOff = Median(off), mOn = Median(on);
  std::printf("median: verify off %.0f msg/s, on (warm cache) %.0f msg/s, change %+.1f %%\n", mOff,
              mOn, (mOn / mOff - 1) * 100);
  const double cOff = Median(cpuOff), cOn = Median(cpuOn);
  std::printf("median CPU a message: verify off %.0f us, on %.0f us, change %+.1f %%\n", cOff, cOn,
              (cOn / cOff - 1) * 100);
  // A cold question: MAIL, RCPT and RSET over the kept connection.
  const int questions = 2000;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < questions; ++i) asker->Verify("cold" + std::to_string(i) + "@corp.example");
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() /
      questions;
  std::printf("cold question to the next hop: %.0f us (%llu connections opened)\n", us,
              static_cast<unsigned long long>(asker->ConnectionsOpened()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "verify")
    return VerifyBench(argc > 2 ? std::atoi(argv[2]) : 20, argc > 3 ? std::atoi(argv[3]) : 3,
                       argc > 4 ? std::atof(argv[4]) : 3.0);
  if (argc > 1 && std::string(argv[1]) == "ratelimit")
    return RateLimitBench(argc > 2 ? std::atoi(argv[2]) : 20, argc > 3 ? std::atoi(argv[3]) : 3,
                          argc > 4 ? std::atof(argv[4]) : 3.0);
  const int clients = argc > 1 ? std::atoi(argv[1]) : 20;
  const int perClient = argc > 2 ? std::atoi(argv[2]) : 25;
  const int idle = argc > 3 ? std::atoi(argv[3]) : 1000;

  TLoadServer load;
  const fs::path& queue = load.queue;
  auto& server = load.server;
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
  return 0;
}
