#pragma once
// A connected pair of stream sockets in this process: the fuzz targets feed one end to
// the code under test (as an accepted connection) and play the client on the other.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace fuzz {

struct SocketPair {
  int server = -1;
  int client = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      server = fds[0];
      client = fds[1];
    }
  }
  ~SocketPair() { CloseClient(); }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  void CloseClient() {
    if (client >= 0) ::close(client);
    client = -1;
  }
};

// Plays the client end: writes input (then shuts its sending side), and reads everything
// the server sends until the server closes, without ever blocking on one direction while
// the other is full. Returns what was received.
inline std::string Converse(int fd, const std::string& input) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string received;
  size_t sent = 0;
  bool writing = true;
  if (input.empty()) {
    ::shutdown(fd, SHUT_WR);
    writing = false;
  }
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[16384];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n > 0)
        received.append(buf, static_cast<size_t>(n));
      else if (errno != EAGAIN && errno != EINTR)
        break;
    }
    if (writing && (p.revents & POLLOUT)) {
      ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n > 0)
        sent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        writing = false;
      if (sent == input.size()) {
        ::shutdown(fd, SHUT_WR);
        writing = false;
      }
    }
  }
  return received;
}

}  // namespace fuzz
