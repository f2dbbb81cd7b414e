// Load generator for an SMTP server started as a process of its own (the receiver or the
// null sink): SESSIONS concurrent client threads send MESSAGES messages of SIZE bytes in
// all, PER_CONN of them on each connection (HELO, then MAIL, RCPT, DATA and the body per
// message, QUIT at the end), and stop claiming new messages after SECONDS.
//
//   smtp_drive load PORT SESSIONS MESSAGES SIZE PER_CONN SECONDS
//     prints: acked=<n> failed=<n> elapsed=<s> rate=<messages per second>
//     With DRIVE_WINDOW=<n> and DRIVE_WINDOW_DIR=<directory>, no message is begun while
//     n or more begun ones are not yet files in that directory (a mailbox's new/): intake
//     then runs at the pace of delivery, and the queue between them stays under n.
//     DRIVE_MODE=bdat sends each message as one "BDAT <size> LAST" chunk, DRIVE_MODE=bdat64k
//     in chunks of 64 KiB (the last one with LAST, all sent before reading a reply), both
//     after EHLO; DRIVE_EHLO=1 greets
//     with EHLO for DATA too.
//   smtp_drive idle PORT CONNECTIONS
//     opens the connections, reads every greeting, prints "idle=<n opened>" and holds
//     them until standard input ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How long a client waits for a reply (DRIVE_TIMEOUT seconds, default 10).
int ReplyTimeoutMs() {
  static const int ms = [] {
    const char* v = std::getenv("DRIVE_TIMEOUT");
    return v != nullptr ? std::atoi(v) * 1000 : 10000;
  }();
  return ms;
}

// Where sessions failed, for the report on standard error.
std::atomic<int> gNoConnect{0}, gNoGreeting{0}, gNoHelo{0}, gNoTransaction{0}, gNoAck{0};

int Connect(uint16_t port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

class Client {
 public:
  explicit Client(uint16_t port) : fd_(Connect(port)) {}
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool Send(const std::string& d) {
    size_t done = 0;
    while (done < d.size()) {
      ssize_t n = ::send(fd_, d.data() + done, d.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The next reply line; "" when the server is gone or silent for kReplyTimeoutMs.
  std::string Line() {
    for (;;) {
      size_t p = buf_.find("\r\n");
      if (p != std::string::npos) {
        std::string l = buf_.substr(0, p);
        buf_.erase(0, p + 2);
        return l;
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, ReplyTimeoutMs()) <= 0) return "";
      char tmp[4096];
      ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
      if (n <= 0) return "";
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }
  std::string Cmd(const std::string& l) { return Send(l + "\r\n") ? Line() : ""; }

 private:
  int fd_;
  std::string buf_;
};

bool Is(const std::string& reply, const char* code) {
  return reply.compare(0, 3, code) == 0;
}

// The message as CR LF lines (nothing to stuff), without the end of DATA.
std::string Message(size_t bytes) {
  std::string b = "Subject: load\r\nFrom: s@x.example\r\nTo: u@corp.example\r\n\r\n";
  const std::string line = std::string(76, 'x') + "\r\n";
  while (b.size() < bytes) b += line;
  return b;
}

// How a message goes: DATA and its body, or BDAT chunks of at most chunk octets.
struct TTransfer {
  size_t chunk = 0;  // 0: DATA
  bool ehlo = false;
};

TTransfer TransferFromEnvironment() {
  TTransfer t;
  const char* mode = std::getenv("DRIVE_MODE");
  const std::string m = mode != nullptr ? mode : "data";
  if (m == "bdat") t.chunk = SIZE_MAX;
  if (m == "bdat64k") t.chunk = 64 * 1024;
  const char* ehlo = std::getenv("DRIVE_EHLO");
  t.ehlo = t.chunk != 0 || (ehlo != nullptr && std::atoi(ehlo) != 0);
  return t;
}

// The chunks of message, each "BDAT <n>[ LAST]" with its octets.
std::vector<std::string> Chunks(const std::string& message, size_t chunk) {
  std::vector<std::string> out;
  for (size_t at = 0; at < message.size(); at += chunk) {
    const size_t n = std::min(chunk, message.size() - at);
    const bool last = at + n == message.size();
    out.push_back("BDAT " + std::to_string(n) + (last ? " LAST" : "") + "\r\n" +
                  message.substr(at, n));
  }
  return out;
}

// Counts the files of a directory every 5 ms while the load runs (DRIVE_WINDOW_DIR).
class TDeliveredCount {
 public:
  explicit TDeliveredCount(const char* dir) : dir_(dir != nullptr ? dir : "") {
    if (!dir_.empty()) thread_ = std::thread([this] { Run(); });
  }
  ~TDeliveredCount() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Get() const { return count_.load(); }

 private:
  void Run() {
    while (!stop_) {
      std::error_code ec;
      int n = 0;
      for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end;
           it.increment(ec))
        ++n;
      count_ = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string dir_;
  std::atomic<int> count_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

int Load(uint16_t port, int sessions, int messages, size_t size, int perConn, double seconds) {
  const TTransfer transfer = TransferFromEnvironment();
  const std::string message = Message(size);
  const std::string body = message + ".\r\n";
  const std::vector<std::string> chunks =
      transfer.chunk != 0 ? Chunks(message, transfer.chunk) : std::vector<std::string>();
  std::atomic<int> claimed{0}, begun{0}, acked{0}, failed{0};
  const char* windowText = std::getenv("DRIVE_WINDOW");
  const int window = windowText != nullptr ? std::atoi(windowText) : 0;
  const char* recipientsText = std::getenv("DRIVE_RCPTS");
  const int recipients = std::max(1, recipientsText != nullptr ? std::atoi(recipientsText) : 1);
  TDeliveredCount delivered(window > 0 ? std::getenv("DRIVE_WINDOW_DIR") : nullptr);
  const auto t0 = Clock::now();
  const auto deadline =
      t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto claim = [&] {
    if (Clock::now() >= deadline) return false;
    if (claimed.fetch_add(1) < messages) {
      // Begun messages that failed never arrive: they count as arrived here.
      while (window > 0 && begun.load() - failed.load() - delivered.Get() >= window &&
             Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++begun;
      return true;
    }
    claimed.fetch_sub(1);
    return false;
  };
  std::vector<std::thread> threads;
  for (int s = 0; s < sessions; ++s) {
    threads.emplace_back([&] {
      while (claim()) {
        Client c(port);
        int sent = 0;
        bool alive = c.ok();
        if (!alive) {
          ++gNoConnect;
        } else if (!Is(c.Line(), "220")) {
          ++gNoGreeting;
          alive = false;
        } else {
          std::string r = c.Cmd(transfer.ehlo ? "EHLO load.example" : "HELO load.example");
          // The EHLO reply goes on to its last line.
          while (r.size() > 3 && r[3] == '-') r = c.Line();
          if (!Is(r, "250")) {
            ++gNoHelo;
            alive = false;
          }
        }
        if (!alive) ++failed;  // the claimed message never got a transaction
        while (alive) {
          alive = Is(c.Cmd("MAIL FROM:<s@x.example>"), "250");
          // DRIVE_RCPTS recipients u0@ .. u<N-1>@ (default one: u@corp.example).
          for (int r = 0; alive && r < recipients; ++r)
            alive = Is(c.Cmd(recipients == 1 ? std::string("RCPT TO:<u@corp.example>")
                                             : "RCPT TO:<u" + std::to_string(r) + "@corp.example>"),
                       "250");
          if (alive && transfer.chunk == 0) {
            alive = Is(c.Cmd("DATA"), "354") && c.Send(body);
          } else if (alive) {
            // The chunks go out pipelined (CHUNKING with PIPELINING); every one but the
            // last is answered on its own.
            for (size_t i = 0; alive && i < chunks.size(); ++i) alive = c.Send(chunks[i]);
            for (size_t i = 0; alive && i + 1 < chunks.size(); ++i) alive = Is(c.Line(), "250");
          }
          if (!alive) ++gNoTransaction;
          const std::string r = alive ? c.Line() : "";
          if (Is(r, "250")) {
            ++acked;
          } else {
            if (alive) ++gNoAck;
            ++failed;
            alive = false;
          }
          if (!alive || ++sent >= perConn || !claim()) break;
        }
        if (alive) c.Cmd("QUIT");
      }
    });
  }
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("acked=%d failed=%d elapsed=%.3f rate=%.1f\n", acked.load(), failed.load(), elapsed,
              acked.load() / elapsed);
  if (failed.load() > 0)
    std::fprintf(stderr,
                 "failed: %d no connection, %d no greeting, %d no HELO reply, %d transaction "
                 "refused, %d no reply to the body\n",
                 gNoConnect.load(), gNoGreeting.load(), gNoHelo.load(), gNoTransaction.load(),
                 gNoAck.load());
  return 0;
}

int Idle(uint16_t port, int connections) {
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < connections; ++i) {
    auto c = std::make_unique<Client>(port);
    if (!c->ok() || !Is(c->Line(), "220")) {
      std::fprintf(stderr, "connection %d got no greeting\n", i);
      break;
    }
    held.push_back(std::move(c));
  }
  std::printf("idle=%zu\n", held.size());
  std::fflush(stdout);
  char ignored[256];
  while (std::fgets(ignored, sizeof ignored, stdin) != nullptr) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "load" && argc == 8) {
    return Load(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]), std::atoi(argv[4]),
                static_cast<size_t>(std::atol(argv[5])), std::max(1, std::atoi(argv[6])),
                std::atof(argv[7]));
  }
  if (mode == "idle" && argc == 4)
    return Idle(static_cast<uint16_t>(std::atoi(argv[2])), std::atoi(argv[3]));
  std::fprintf(stderr,
               "usage: smtp_drive load PORT SESSIONS MESSAGES SIZE PER_CONN SECONDS\n"
               "       smtp_drive idle PORT CONNECTIONS\n");
  return 2;
}
