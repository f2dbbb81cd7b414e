// Load generator that speaks STARTTLS: SESSIONS concurrent client threads send MESSAGES
// messages of SIZE bytes in all, one per connection (greeting, EHLO, STARTTLS, the
// handshake, EHLO again, MAIL, RCPT, DATA, the body, QUIT), and stop claiming new
// messages after SECONDS. The server's certificate is not verified (a throwaway one).
//
//   tls_drive load PORT SESSIONS MESSAGES SIZE SECONDS
//     prints: acked=<n> failed=<n> elapsed=<s> rate=<messages per second>
//   tls_drive idle PORT CONNECTIONS
//     opens the connections, completes STARTTLS and EHLO on each, prints "idle=<n>" and
//     holds them until standard input ends.
//   tls_drive hold PORT CONNECTIONS STATE
//     brings each connection into STATE and holds them all until standard input ends;
//     prints "held=<n> refused=<n answered 454 to STARTTLS> failed=<n>". STATE is one of
//       plain      greeting and EHLO, in clear text
//       plaindata  plain, then MAIL, RCPT, DATA and 1 KB of the body
//       starttls   plain, then STARTTLS answered 220, and no ClientHello
//       hello      starttls, then the ClientHello, and nothing more (the server waits
//                  for the client's Finished)
//       tls        the handshake done and EHLO again
//       data       tls, then MAIL, RCPT, DATA and 1 KB of the body

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> gFailConnect{0}, gFailStartTls{0}, gFailHandshake{0}, gFailTransaction{0};

// One client connection: plain until Secure(), then through TLS.
class Client {
 public:
  Client(SSL_CTX* ctx, uint16_t port) : ctx_(ctx) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool Send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
      int n = ssl_ != nullptr
                  ? SSL_write(ssl_, s.data() + off, static_cast<int>(s.size() - off))
                  : static_cast<int>(::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL));
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // The last line of the next reply (multi-line replies are read to their end).
  bool Reply(std::string& last) {
    for (;;) {
      size_t p = buf_.find("\r\n");
      if (p == std::string::npos) {
        char tmp[4096];
        int n = ssl_ != nullptr ? SSL_read(ssl_, tmp, sizeof tmp)
                                : static_cast<int>(::recv(fd_, tmp, sizeof tmp, 0));
        if (n <= 0) return false;
        buf_.append(tmp, static_cast<size_t>(n));
        continue;
      }
      std::string line = buf_.substr(0, p);
      buf_.erase(0, p + 2);
      if (line.size() > 3 && line[3] == '-') continue;
      last = line;
      return true;
    }
  }
  // With TLS_DRIVE_DEBUG set, an unexpected reply is shown on standard error.
  bool Expect(const std::string& command, const char* code) {
    std::string r = "<no reply>";
    bool ok = (command.empty() || Send(command)) && Reply(r) && r.compare(0, 3, code) == 0;
    if (!ok && std::getenv("TLS_DRIVE_DEBUG") != nullptr)
      std::fprintf(stderr, "expected %s after %.20s: %s\n", code, command.c_str(), r.c_str());
    return ok;
  }
  // Sends a ClientHello and never reads the server's answer.
  bool Hello() {
    ssl_ = SSL_new(ctx_);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in, out);
    if (SSL_connect(ssl_) == 1) return false;
    char* data = nullptr;
    long n = BIO_get_mem_data(out, &data);
    if (n <= 0) return false;
    std::string hello(data, static_cast<size_t>(n));
    SSL_free(ssl_);  // the memory BIOs with it; the socket is written directly
    ssl_ = nullptr;
    return Send(hello);
  }
  bool Secure() {
    buf_.clear();
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    return SSL_connect(ssl_) == 1;
  }

 private:
  SSL_CTX* ctx_;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string buf_;
};

// Greeting, EHLO, STARTTLS, handshake, EHLO: false (and counted) when a step fails.
bool OpenSecure(Client& c) {
  if (!c.ok()) return ++gFailConnect, false;
  if (!c.Expect("", "220") || !c.Expect("EHLO drive.example\r\n", "250") ||
      !c.Expect("STARTTLS\r\n", "220"))
    return ++gFailStartTls, false;
  if (!c.Secure() || !c.Expect("EHLO drive.example\r\n", "250")) return ++gFailHandshake, false;
  return true;
}

SSL_CTX* ClientContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return ctx;
}

int Load(uint16_t port, int sessions, int messages, size_t size, int seconds) {
  SSL_CTX* ctx = ClientContext();
  std::string body = "Subject: tls load\r\n\r\n";
  while (body.size() + 80 < size) body += std::string(78, 'x') + "\r\n";
  body += ".\r\n";
  std::atomic<int> claimed{0}, acked{0}, failed{0};
  const auto start = Clock::now();
  const auto stop = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int t = 0; t < sessions; ++t) {
    threads.emplace_back([&] {
      while (Clock::now() < stop && claimed.fetch_add(1) < messages) {
        Client c(ctx, port);
        bool ok = OpenSecure(c);
        if (ok) {
          // Pipelined where the server offers it: MAIL, RCPT and DATA in one write.
          ok =
              c.Send("MAIL FROM:<load@drive.example>\r\nRCPT TO:<sink@corp.example>\r\nDATA\r\n") &&
              c.Expect("", "250") && c.Expect("", "250") && c.Expect("", "354") &&
              c.Expect(body, "250");
          if (!ok) ++gFailTransaction;
          c.Expect("QUIT\r\n", "221");
        }
        ++(ok ? acked : failed);
      }
    });
  }
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("acked=%d failed=%d elapsed=%.3f rate=%.1f\n", acked.load(), failed.load(), elapsed,
              acked.load() / elapsed);
  if (failed.load() > 0)
    std::fprintf(stderr, "failures: connect %d, starttls %d, handshake %d, transaction %d\n",
                 gFailConnect.load(), gFailStartTls.load(), gFailHandshake.load(),
                 gFailTransaction.load());
  SSL_CTX_free(ctx);
  return 0;
}

// Keeps the connections open until standard input ends, then closes them.
int HoldUntilEndOfInput(std::vector<std::unique_ptr<Client>>& held, SSL_CTX* ctx) {
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  held.clear();
  SSL_CTX_free(ctx);
  return 0;
}

int Idle(uint16_t port, int connections) {
  SSL_CTX* ctx = ClientContext();
  std::vector<std::unique_ptr<Client>> held;
  int opened = 0;
  for (int i = 0; i < connections; ++i) {
    auto c = std::make_unique<Client>(ctx, port);
    if (OpenSecure(*c)) ++opened;
    held.push_back(std::move(c));
  }
  std::printf("idle=%d\n", opened);
  return HoldUntilEndOfInput(held, ctx);
}

int Hold(uint16_t port, int connections, const std::string& state) {
  SSL_CTX* ctx = ClientContext();
  const std::string body = "Subject: held\r\n\r\n" + std::string(1000, 'x') + "\r\n";
  std::vector<std::unique_ptr<Client>> held;
  int reached = 0, refused = 0, failed = 0;
  for (int i = 0; i < connections; ++i) {
    auto c = std::make_unique<Client>(ctx, port);
    bool ok = c->ok() && c->Expect("", "220") && c->Expect("EHLO drive.example\r\n", "250");
    if (ok && (state == "starttls" || state == "hello")) {
      std::string reply;
      ok = c->Send("STARTTLS\r\n") && c->Reply(reply);
      if (ok && reply.compare(0, 3, "454") == 0) {
        ++refused;
        held.push_back(std::move(c));
        continue;
      }
      ok = ok && reply.compare(0, 3, "220") == 0 && (state != "hello" || c->Hello());
    } else if (ok && (state == "tls" || state == "data")) {
      ok = c->Expect("STARTTLS\r\n", "220") && c->Secure() &&
           c->Expect("EHLO drive.example\r\n", "250");
    }
    if (ok && (state == "data" || state == "plaindata"))
      ok = c->Expect("MAIL FROM:<hold@drive.example>\r\n", "250") &&
           c->Expect("RCPT TO:<sink@corp.example>\r\n", "250") && c->Expect("DATA\r\n", "354") &&
           c->Send(body);
    ++(ok ? reached : failed);
    held.push_back(std::move(c));
  }
  std::printf("held=%d refused=%d failed=%d\n", reached, refused, failed);
  return HoldUntilEndOfInput(held, ctx);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 7 && std::strcmp(argv[1], "load") == 0)
    return Load(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]),
                static_cast<size_t>(std::atol(argv[5])), std::atoi(argv[6]));
  if (argc >= 4 && std::strcmp(argv[1], "idle") == 0)
    return Idle(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  if (argc >= 5 && std::strcmp(argv[1], "hold") == 0)
    return Hold(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), argv[4]);
  std::fprintf(stderr,
               "usage: tls_drive load PORT SESSIONS MESSAGES SIZE SECONDS\n"
               "       tls_drive idle PORT CONNECTIONS\n"
               "       tls_drive hold PORT CONNECTIONS STATE\n");
  return 2;
}
