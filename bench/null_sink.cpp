// The ceiling for the receiver's throughput: a minimal SMTP responder that holds the same
// dialogue as the receiver (greeting, HELO, MAIL, RCPT, DATA with the body up to ".",
// RSET, NOOP, QUIT) and stores nothing. One thread per connection, blocking sockets, like
// the receiver, but no policy, no numbering and no files.
//
//   null_sink [port=0] [backlog=1024]
// Prints "PORT <n>" once listening on 127.0.0.1 and runs until standard input ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

class Session {
 public:
  explicit Session(int fd) : fd_(fd) {}
  ~Session() { ::close(fd_); }

  void Run() {
    if (!Send("220 sink.example KESTRAN SMTP Receiver Version 0.45 Ready\r\n")) return;
    std::string_view line;
    while (ReadLine(line)) {
      std::string verb(line.substr(0, 4));
      for (auto& c : verb) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      bool ok;
      if (verb == "DATA") {
        if (!Send("354 Ready for data\r\n")) return;
        bool done = false;
        while (ReadLine(line)) {
          if (line == ".") {
            done = true;
            break;
          }
        }
        ok = done && Send("250 Message received OK\r\n");
      } else if (verb == "QUIT") {
        Send("221 sink.example closing\r\n");
        return;
      } else if (verb == "HELO" || verb == "EHLO" || verb == "MAIL" || verb == "RCPT" ||
                 verb == "RSET" || verb == "NOOP") {
        ok = Send("250 OK\r\n");
      } else {
        ok = Send("500 Command not recognized\r\n");
      }
      if (!ok) return;
    }
  }

 private:
  bool Send(std::string_view s) {
    while (!s.empty()) {
      ssize_t n = ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // The next line without its CR LF; false when the peer is gone.
  bool ReadLine(std::string_view& line) {
    for (;;) {
      void* nl = std::memchr(buf_ + begin_, '\n', end_ - begin_);
      if (nl != nullptr) {
        size_t e = static_cast<size_t>(static_cast<char*>(nl) - buf_);
        size_t len = e - begin_;
        if (len > 0 && buf_[e - 1] == '\r') --len;
        line = std::string_view(buf_ + begin_, len);
        begin_ = e + 1;
        return true;
      }
      if (begin_ > 0) {
        std::memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ == sizeof buf_) end_ = 0;  // a line longer than the buffer: dropped
      ssize_t n = ::recv(fd_, buf_ + end_, sizeof buf_ - end_, 0);
      if (n <= 0) return false;
      end_ += static_cast<size_t>(n);
    }
  }

  int fd_;
  char buf_[16384];
  size_t begin_ = 0, end_ = 0;
};

void* SessionThread(void* arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  Session(fd).Run();
  return nullptr;
}

void* AcceptThread(void* arg) {
  int listener = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, 128 * 1024);
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    pthread_t t;
    if (pthread_create(&t, &attr, SessionThread, reinterpret_cast<void*>(intptr_t{fd})) != 0)
      ::close(fd);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0));
  socklen_t len = sizeof a;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener, argc > 2 ? std::atoi(argv[2]) : 1024) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("null_sink");
    return 1;
  }
  pthread_t t;
  pthread_create(&t, nullptr, AcceptThread, reinterpret_cast<void*>(intptr_t{listener}));
  std::printf("PORT %d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  char ignored[256];
  while (std::fgets(ignored, sizeof ignored, stdin) != nullptr) {
  }
  return 0;
}
