#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kestran::test {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now())
                  .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TcpClient::~TcpClient() {
  Close();
}

bool TcpClient::Connect(uint16_t port) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    Close();
    return false;
  }
  return true;
}

bool TcpClient::Send(const std::string& bytes) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int TcpClient::Receive(int timeoutMs) {
  if (fd_ < 0) return -1;
  pollfd p{fd_, POLLIN, 0};
  int rc = ::poll(&p, 1, timeoutMs);
  if (rc == 0) return -2;
  if (rc < 0) return errno == EINTR ? -2 : -1;
  char chunk[4096];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n > 0) {
    buffer_.append(chunk, static_cast<size_t>(n));
    return 1;
  }
  return n == 0 ? 0 : -1;
}

bool TcpClient::ReadLine(std::string& line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t p = buffer_.find("\r\n");
    if (p != std::string::npos) {
      line = buffer_.substr(0, p);
      buffer_.erase(0, p + 2);
      return true;
    }
    int left = RemainingMs(deadline);
    if (left == 0) return false;
    if (Receive(left) != 1) return false;
  }
}

std::string TcpClient::ReadUntilClose(int timeoutMs, bool* closed) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ended = false;
  for (;;) {
    int left = RemainingMs(deadline);
    if (left == 0) break;
    int rc = Receive(left);
    if (rc == 0 || rc == -1) {
      ended = true;
      break;
    }
    if (rc == -2) break;
  }
  if (closed != nullptr) *closed = ended;
  std::string out;
  out.swap(buffer_);
  return out;
}

bool TcpClient::WaitForClose(int timeoutMs) {
  bool closed = false;
  ReadUntilClose(timeoutMs, &closed);
  return closed;
}

void TcpClient::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

void TcpClient::Reset() {
  if (fd_ < 0) return;
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

uint16_t FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace kestran::test
