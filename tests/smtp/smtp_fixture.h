#pragma once
// What the SMTP tests share: a temporary data root with a queue directory, a server on a
// free port of 127.0.0.1, and a raw line client that shows every reply byte for byte.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ip_address.h"
#include "platform/sockets.h"
#include "smtp/smtp_server.h"

namespace kestran::testing_smtp {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

// A port on 127.0.0.1 that nothing listens on right now.
inline uint16_t FreePort() {
  TSocket s = SockSocket(kAfInet, kSockStream, 0);
  TSockAddrIn a;
  a.sin_addr = SockInetAddr("127.0.0.1");
  SockBind(s, &a, sizeof a);
  int len = sizeof a;
  SockGetSockName(s, &a, &len);
  SockClose(s);
  return SockNtohs(a.sin_port);
}

// A blocking client that reads one reply line at a time (10 s limit per read).
class RawClient {
 public:
  // sourceIp: a loopback address of 127.0.0.0/8 to connect from (empty: 127.0.0.1); an
  // IPv6 address connects from there to [::1].
  explicit RawClient(uint16_t port, uint32_t timeoutMs = 10000, const std::string& sourceIp = "") {
    const bool v6 = sourceIp.find(':') != std::string::npos;
    s_ = SockSocket(v6 ? kAfInet6 : kAfInet, kSockStream, 0);
    SockSetOpt(s_, kSolSocket, kSoRcvTimeo, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    if (v6) {
      TSockAddrIn6 local;
      auto from = ParseIpAddress(sourceIp);
      if (from) std::memcpy(local.sin6_addr, from->bytes.data(), 16);
      SockBind6(s_, &local, sizeof local);
      TSockAddrIn6 a;
      a.sin6_addr[15] = 1;
      a.sin6_port = SockHtons(port);
      connected_ = SockConnect6(s_, &a, sizeof a) == 0;
      return;
    }
    if (!sourceIp.empty()) {
      TSockAddrIn local;
      local.sin_addr = SockInetAddr(sourceIp);
      SockBind(s_, &local, sizeof local);
    }
    TSockAddrIn a;
    a.sin_addr = SockInetAddr("127.0.0.1");
    a.sin_port = SockHtons(port);
    connected_ = SockConnect(s_, &a, sizeof a) == 0;
  }
  ~RawClient() { SockClose(s_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return connected_; }
  void Send(const std::string& raw) {
    size_t done = 0;
    while (done < raw.size()) {
      int n = SockSend(s_, raw.data() + done, static_cast<int>(raw.size() - done), 0);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  void SendLine(const std::string& line) { Send(line + "\r\n"); }
  // The next line without CR LF; "<closed>" at the end of the stream, "<timeout>" when
  // nothing arrived in time.
  std::string ReadLine() {
    for (;;) {
      size_t p = buf_.find("\r\n");
      if (p != std::string::npos) {
        std::string line = buf_.substr(0, p);
        buf_.erase(0, p + 2);
        return line;
      }
      char tmp[4096];
      int n = SockRecv(s_, tmp, sizeof tmp, 0);
      if (n == 0) return "<closed>";
      if (n < 0) return SockLastError() == 10060 ? "<timeout>" : "<closed>";
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }
  std::string Cmd(const std::string& line) {
    SendLine(line);
    return ReadLine();
  }

 private:
  TSocket s_;
  bool connected_ = false;
  std::string buf_;
};

class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() / ("kestran-smtp-" + std::to_string(rd()));
    fs::create_directories(root_ / "drive_c" / "queue");
    queue_ = root_ / "drive_c" / "queue";
    ::setenv("KESTRAN_ROOT", root_.c_str(), 1);
    server_ = std::make_unique<TConduitSMTPServer>();
    server_->SetBoundIP("127.0.0.1");
    server_->SetMailWriteDir("C:\\queue\\");
    server_->SetSyncQueueFiles(true);
  }
  void TearDown() override {
    server_.reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
    ::unsetenv("KESTRAN_ROOT");
  }

  // Keeps the inbound-log lines the server reports, for Log().
  void CaptureLog() {
    server_->OnLogFileEvent = [this](const std::string& e) {
      std::lock_guard<std::mutex> g(logLock_);
      log_.push_back(e);
    };
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> g(logLock_);
    return log_;
  }

  // Activates the server on a free port (retrying when another process took it).
  void Start() {
    for (int i = 0; i < 20; ++i) {
      port_ = FreePort();
      server_->SetPort(port_);
      try {
        server_->SetActive(true);
        return;
      } catch (const std::exception&) {
      }
    }
    FAIL() << "no free port";
  }

  // Connects and checks the greeting.
  std::unique_ptr<RawClient> Connect(const std::string& sourceIp = "") {
    auto c = std::make_unique<RawClient>(port_, 10000, sourceIp);
    EXPECT_TRUE(c->Connected());
    EXPECT_EQ(c->ReadLine(), Greeting());
    return c;
  }

  std::string Greeting() const {
    return "220 " + server_->HostName() + " KESTRAN SMTP Receiver Version 0.45 Ready";
  }
  std::string Host() const { return server_->HostName(); }

  std::vector<std::string> QueueFiles() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(queue_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Sends a whole transaction with the raw client; returns the reply to the final ".".
  std::string SendMessage(RawClient& c, const std::string& from, const std::string& to,
                          const std::vector<std::string>& body) {
    c.Cmd("MAIL FROM:<" + from + ">");
    c.Cmd("RCPT TO:<" + to + ">");
    std::string r = c.Cmd("DATA");
    if (r.rfind("354", 0) != 0) return r;
    std::string all;
    for (const auto& l : body) all += l + "\r\n";
    all += ".\r\n";
    c.Send(all);
    return c.ReadLine();
  }

  fs::path root_;
  fs::path queue_;
  uint16_t port_ = 0;
  // Before the server, which reports into them until it is gone.
  std::mutex logLock_;
  std::vector<std::string> log_;
  std::unique_ptr<TConduitSMTPServer> server_;
};

}  // namespace kestran::testing_smtp
