#include "platform/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/sockets_common.h"

namespace kestran {

namespace {

using sockets_common::CheckAddrLen;
using sockets_common::FromNative;
using sockets_common::MapOption;
using sockets_common::ToNative;

thread_local int tLastError = 0;

// POSIX error numbers onto Windows Sockets codes.
int MapErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
    case ENOTSOCK:
      return 10038;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
    case EPROTO:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case EPIPE:
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      if (e == EAGAIN || e == EWOULDBLOCK) return 10035;
      // Below 35 the numbers are those Windows Sockets took over (EACCES 10013, EINVAL
      // 10022, EMFILE 10024 ...); above, they differ between systems and would land on codes
      // that mean something else (10054, 10060 ...): a system call failure instead.
      return e < 35 ? 10000 + e : 10107;
  }
}

int Fail() {
  tLastError = MapErrno(errno);
  return -1;
}

// Blocking sockets report EAGAIN only when a receive or send time-out ran out.
int FailTransfer() {
  int e = errno;
  tLastError = (e == EAGAIN || e == EWOULDBLOCK) ? 10060 : MapErrno(e);
  return -1;
}

bool ValidFd(TSocket s) {
  return s >= 0 && s <= 0x7fffffff;
}

int BadFd() {
  tLastError = 10038;
  return -1;
}

}  // namespace

int SockLastError() {
  return tLastError;
}
void SockSetLastError(int code) {
  tLastError = code;
}

TSocket SockSocket(int af, int type, int protocol) {
  if (af != kAfInet && af != kAfInet6) {
    tLastError = 10047;
    return kInvalidSocket;
  }
  int ntype;
  if (type == kSockStream) {
    ntype = SOCK_STREAM;
  } else if (type == kSockDgram) {
    ntype = SOCK_DGRAM;
  } else {
    tLastError = 10044;
    return kInvalidSocket;
  }
  int fd = ::socket(af == kAfInet6 ? AF_INET6 : AF_INET, ntype | SOCK_CLOEXEC, protocol);
  if (fd < 0) return Fail();
  return fd;
}

int SockBind(TSocket s, const TSockAddrIn* name, int namelen) {
  if (!ValidFd(s)) return BadFd();
  if (!CheckAddrLen(name, namelen)) return -1;
  if (name->sin_addr == kInAddrNone) {
    // What an unparsable address converts to; no local address can be bound to it.
    tLastError = 10049;
    return -1;
  }
  sockaddr_in a = ToNative(name);
  if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail();
  return 0;
}

int SockListen(TSocket s, int backlog) {
  if (!ValidFd(s)) return BadFd();
  if (::listen(static_cast<int>(s), backlog) != 0) return Fail();
  return 0;
}

namespace {

template <typename Native, typename Platform>
TSocket AcceptAs(TSocket s, Platform* addr, int* addrlen) {
  if (!ValidFd(s)) return BadFd();
  for (;;) {
    Native a{};
    socklen_t len = sizeof a;
    int fd = ::accept4(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      FromNative(a, addr, addrlen);
      return fd;
    }
    if (errno == EINTR) continue;
    // A listening socket shut down by its owner no longer listens: the accept was
    // interrupted by the listener's own close.
    if (errno == EINVAL || errno == EBADF) {
      tLastError = 10004;
      return kInvalidSocket;
    }
    return Fail();
  }
}

}  // namespace

TSocket SockAccept(TSocket s, TSockAddrIn* addr, int* addrlen) {
  return AcceptAs<sockaddr_in>(s, addr, addrlen);
}

TSocket SockAccept6(TSocket s, TSockAddrIn6* addr, int* addrlen) {
  return AcceptAs<sockaddr_in6>(s, addr, addrlen);
}

int SockBind6(TSocket s, const TSockAddrIn6* name, int namelen) {
  if (!ValidFd(s)) return BadFd();
  if (!CheckAddrLen(name, namelen)) return -1;
  sockaddr_in6 a = ToNative(name);
  if (::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail();
  return 0;
}

int SockConnect6(TSocket s, const TSockAddrIn6* name, int namelen) {
  if (!ValidFd(s)) return BadFd();
  if (!CheckAddrLen(name, namelen)) return -1;
  sockaddr_in6 a = ToNative(name);
  if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return FailTransfer();
  }
  return 0;
}

int SockConnect(TSocket s, const TSockAddrIn* name, int namelen) {
  if (!ValidFd(s)) return BadFd();
  if (!CheckAddrLen(name, namelen)) return -1;
  sockaddr_in a = ToNative(name);
  if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    return FailTransfer();
  }
  return 0;
}

int SockRecv(TSocket s, char* buf, int len, int flags) {
  if (!ValidFd(s)) return BadFd();
  if (len < 0) {
    tLastError = 10022;
    return -1;
  }
  for (;;) {
    ssize_t n = ::recv(static_cast<int>(s), buf, static_cast<size_t>(len), flags);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    return FailTransfer();
  }
}

int SockRecvFrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from, int* fromlen) {
  if (!ValidFd(s)) return BadFd();
  if (len < 0) {
    tLastError = 10022;
    return -1;
  }
  for (;;) {
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t n = ::recvfrom(static_cast<int>(s), buf, static_cast<size_t>(len), flags,
                           reinterpret_cast<sockaddr*>(&a), &alen);
    if (n >= 0) {
      FromNative(a, from, fromlen);
      return static_cast<int>(n);
    }
    if (errno == EINTR) continue;
    return FailTransfer();
  }
}

int SockSend(TSocket s, const char* buf, int len, int flags) {
  if (!ValidFd(s)) return BadFd();
  if (len < 0) {
    tLastError = 10022;
    return -1;
  }
  for (;;) {
    ssize_t n = ::send(static_cast<int>(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    return FailTransfer();
  }
}

int SockSendTo(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to, int tolen) {
  if (!ValidFd(s)) return BadFd();
  if (!CheckAddrLen(to, tolen)) return -1;
  if (len < 0) {
    tLastError = 10022;
    return -1;
  }
  sockaddr_in a = ToNative(to);
  for (;;) {
    ssize_t n = ::sendto(static_cast<int>(s), buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    return FailTransfer();
  }
}

int SockSelect(int /*nfds*/, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
               const TTimeVal* timeout) {
  std::vector<pollfd> fds;
  struct Origin {
    TFdSet* set;
    short events;
  };
  Origin origins[3] = {{readfds, POLLIN}, {writefds, POLLOUT}, {exceptfds, POLLPRI}};
  for (const Origin& o : origins) {
    if (o.set == nullptr) continue;
    if (o.set->fd_count > kFdSetSize) {
      tLastError = 10022;
      return -1;
    }
    for (uint32_t i = 0; i < o.set->fd_count; ++i) {
      if (!ValidFd(o.set->fd_array[i])) return BadFd();
      fds.push_back(pollfd{static_cast<int>(o.set->fd_array[i]), o.events, 0});
    }
  }
  int ms = -1;
  if (timeout != nullptr) {
    ms = timeout->tv_sec * 1000 + timeout->tv_usec / 1000;
    if (ms < 0) ms = 0;
  }
  int rc;
  do {
    rc = ::poll(fds.data(), fds.size(), ms);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return Fail();
  int total = 0;
  size_t k = 0;
  for (const Origin& o : origins) {
    if (o.set == nullptr) continue;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < o.set->fd_count; ++i, ++k) {
      short ready = fds[k].revents;
      bool hit = (ready & (o.events | POLLHUP | POLLERR | POLLNVAL)) != 0;
      if (o.events == POLLPRI) hit = (ready & (POLLPRI | POLLERR)) != 0;
      if (hit) o.set->fd_array[kept++] = o.set->fd_array[i];
    }
    o.set->fd_count = kept;
    total += static_cast<int>(kept);
  }
  return total;
}

int SockSetOpt(TSocket s, int level, int optname, const char* optval, int optlen) {
  if (!ValidFd(s)) return BadFd();
  int nlevel = 0;
  int nname = 0;
  if (!MapOption(level, optname, nlevel, nname)) {
    tLastError = 10042;
    return -1;
  }
  if (optval == nullptr) {
    tLastError = 10014;
    return -1;
  }
  int fd = static_cast<int>(s);
  int rc;
  if (nname == SO_RCVTIMEO || nname == SO_SNDTIMEO) {
    if (optlen < static_cast<int>(sizeof(uint32_t))) {
      tLastError = 10014;
      return -1;
    }
    uint32_t ms;
    std::memcpy(&ms, optval, sizeof ms);
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    rc = ::setsockopt(fd, nlevel, nname, &tv, sizeof tv);
  } else if (nname == SO_LINGER) {
    if (optlen < static_cast<int>(sizeof(TLinger))) {
      tLastError = 10014;
      return -1;
    }
    TLinger l;
    std::memcpy(&l, optval, sizeof l);
    linger nl{};
    nl.l_onoff = l.l_onoff;
    nl.l_linger = l.l_linger;
    rc = ::setsockopt(fd, nlevel, nname, &nl, sizeof nl);
  } else {
    int v = 0;
    if (optlen >= static_cast<int>(sizeof(int))) {
      std::memcpy(&v, optval, sizeof v);
    } else if (optlen >= 1) {
      v = optval[0];
    }
    rc = ::setsockopt(fd, nlevel, nname, &v, sizeof v);
  }
  if (rc != 0) return Fail();
  return 0;
}

int SockGetOpt(TSocket s, int level, int optname, char* optval, int* optlen) {
  if (!ValidFd(s)) return BadFd();
  int nlevel = 0;
  int nname = 0;
  if (!MapOption(level, optname, nlevel, nname)) {
    tLastError = 10042;
    return -1;
  }
  if (optval == nullptr || optlen == nullptr) {
    tLastError = 10014;
    return -1;
  }
  int fd = static_cast<int>(s);
  if (nname == SO_RCVTIMEO || nname == SO_SNDTIMEO) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (*optlen < static_cast<int>(sizeof(uint32_t))) {
      tLastError = 10014;
      return -1;
    }
    if (::getsockopt(fd, nlevel, nname, &tv, &len) != 0) return Fail();
    uint32_t ms = static_cast<uint32_t>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
    std::memcpy(optval, &ms, sizeof ms);
    *optlen = sizeof ms;
    return 0;
  }
  if (nname == SO_LINGER) {
    linger nl{};
    socklen_t len = sizeof nl;
    if (*optlen < static_cast<int>(sizeof(TLinger))) {
      tLastError = 10014;
      return -1;
    }
    if (::getsockopt(fd, nlevel, nname, &nl, &len) != 0) return Fail();
    TLinger l;
    l.l_onoff = static_cast<uint16_t>(nl.l_onoff);
    l.l_linger = static_cast<uint16_t>(nl.l_linger);
    std::memcpy(optval, &l, sizeof l);
    *optlen = sizeof l;
    return 0;
  }
  int v = 0;
  socklen_t len = sizeof v;
  if (*optlen < static_cast<int>(sizeof(int))) {
    tLastError = 10014;
    return -1;
  }
  if (::getsockopt(fd, nlevel, nname, &v, &len) != 0) return Fail();
  std::memcpy(optval, &v, sizeof v);
  *optlen = sizeof v;
  return 0;
}

int SockShutdown(TSocket s, int how) {
  if (!ValidFd(s)) return BadFd();
  int nhow = how == kSdReceive ? SHUT_RD : how == kSdSend ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(static_cast<int>(s), nhow) != 0) return Fail();
  return 0;
}

int SockClose(TSocket s) {
  if (!ValidFd(s)) return BadFd();
  // Wakes any thread still blocked in accept or recv on the socket. Only the receiving
  // side is shut here, so that close() still decides between an orderly close and a
  // reset (SO_LINGER 0). A socket never connected reports ENOTCONN, which does not matter.
  ::shutdown(static_cast<int>(s), SHUT_RD);
  if (::close(static_cast<int>(s)) != 0 && errno != EINTR) return Fail();
  return 0;
}

namespace {

// getsockname or getpeername into the platform's address form.
template <typename Native, typename Platform>
int SockAddressOf(int (*query)(int, sockaddr*, socklen_t*), TSocket s, Platform* name,
                  int* namelen) {
  if (!ValidFd(s)) return BadFd();
  Native a{};
  socklen_t len = sizeof a;
  if (query(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
  FromNative(a, name, namelen);
  return 0;
}

}  // namespace

int SockGetSockName(TSocket s, TSockAddrIn* name, int* namelen) {
  return SockAddressOf<sockaddr_in>(::getsockname, s, name, namelen);
}

int SockGetSockName6(TSocket s, TSockAddrIn6* name, int* namelen) {
  return SockAddressOf<sockaddr_in6>(::getsockname, s, name, namelen);
}

int SockGetPeerName(TSocket s, TSockAddrIn* name, int* namelen) {
  return SockAddressOf<sockaddr_in>(::getpeername, s, name, namelen);
}

int SockGetHostName(char* name, int namelen) {
  if (name == nullptr || namelen <= 0) {
    tLastError = 10014;
    return -1;
  }
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return Fail();
  size_t n = std::strlen(buf);
  if (n + 1 > static_cast<size_t>(namelen)) {
    tLastError = 10014;
    return -1;
  }
  std::memcpy(name, buf, n + 1);
  return 0;
}

uint32_t SockInetAddr(const std::string& dotted) {
  if (dotted.find('\0') != std::string::npos) return kInAddrNone;
  in_addr a{};
  if (::inet_aton(dotted.c_str(), &a) == 0) return kInAddrNone;
  return a.s_addr;
}

}  // namespace kestran
