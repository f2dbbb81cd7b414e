// test-labels: threads
// Many sessions asking at once share the verifier's few connections: never more than
// the pool's size are opened, every question gets its answer, and a full pool makes the
// next caller wait for a free connection rather than open one of its own.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deliver/next_hop_verifier.h"

namespace kestran {
namespace {

// An LMTP hop that serves every connection at once, on a thread each: "no..." addresses
// are unknown, every other is taken.
class ParallelHop {
 public:
  ParallelHop() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        ++connections_;
        std::lock_guard<std::mutex> g(lock_);
        sessions_.emplace_back([c] { Serve(c); });
      }
    });
  }
  ~ParallelHop() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    accept_.join();
    for (auto& t : sessions_) t.join();
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }

 private:
  static void Serve(int c) {
    auto say = [c](const std::string& s) { (void)!::send(c, s.data(), s.size(), MSG_NOSIGNAL); };
    say("220 hop ready\r\n");
    std::string in;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<size_t>(n));
      for (size_t p; (p = in.find("\r\n")) != std::string::npos; in.erase(0, p + 2)) {
        const std::string line = in.substr(0, p);
        if (line.rfind("LHLO", 0) == 0)
          say("250-hop\r\n250 SIZE 1000000\r\n");
        else if (line.rfind("RCPT TO:<no", 0) == 0)
          say("550 5.1.1 unknown\r\n");
        else if (line.rfind("QUIT", 0) == 0)
          break;
        else
          say("250 2.0.0 Ok\r\n");
      }
    }
    ::close(c);
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<std::thread> sessions_;
  std::thread accept_;
};

TEST(NextHopVerifierPool, ManySessionsShareAtMostThePoolsConnections) {
  ParallelHop hop;
  {
    TNextHopVerifier v(*ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(hop.port())), "mx.test",
                       5000);
    std::atomic<int> wrong{0};
    std::vector<std::thread> sessions;
    for (int t = 0; t < 12; ++t)
      sessions.emplace_back([&, t] {
        for (int i = 0; i < 25; ++i) {
          const bool known = (t + i) % 3 != 0;
          const std::string a = (known ? "u" : "no") + std::to_string(t * 100 + i) + "@x.test";
          const TVerifyAnswer expected = known ? TVerifyAnswer::Valid : TVerifyAnswer::Invalid;
          if (v.Verify(a) != expected) ++wrong;
        }
      });
    for (auto& s : sessions) s.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(v.ConnectionsOpened(), TNextHopVerifier::kDefaultPoolSize);
    EXPECT_GE(v.ConnectionsOpened(), 1u);
    EXPECT_EQ(v.MailboxSizeLimit(), 1000000u);

    // A pool of one: the second caller waits for the first's connection.
    TNextHopVerifier one(*ParseNextHop("lmtp:[127.0.0.1]:" + std::to_string(hop.port())), "mx.test",
                         5000, 1);
    std::thread a([&] { EXPECT_EQ(one.Verify("a@x.test"), TVerifyAnswer::Valid); });
    std::thread b([&] { EXPECT_EQ(one.Verify("b@x.test"), TVerifyAnswer::Valid); });
    a.join();
    b.join();
    EXPECT_EQ(one.ConnectionsOpened(), 1u);
  }
  EXPECT_LE(hop.connections(), 5);
}

}  // namespace
}  // namespace kestran
