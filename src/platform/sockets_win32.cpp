#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/sockets.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/sockets_common.h"

namespace kestran {
namespace {

using sockets_common::CheckAddrLen;
using sockets_common::FromNative;
using sockets_common::MapOption;
using sockets_common::ToNative;

// Windows Sockets is started once, at the first call that needs it, and left running
// until the process ends.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }();
  return started;
}

int Fail() {
  return -1;
}

SOCKET Native(TSocket s) {
  return static_cast<SOCKET>(s);
}

// A blocked accept or receive woken by the socket's own close reports "interrupted"
// (10004) on Windows; Wine reports the aborted overlapped operation (995) instead.
int FailWoken() {
  int e = ::WSAGetLastError();
  if (e == ERROR_OPERATION_ABORTED || e == WSA_OPERATION_ABORTED) ::WSASetLastError(WSAEINTR);
  return -1;
}

bool ToFdSet(const TFdSet* in, fd_set& out) {
  FD_ZERO(&out);
  if (in == nullptr) return true;
  if (in->fd_count > kFdSetSize || in->fd_count > FD_SETSIZE) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  for (uint32_t i = 0; i < in->fd_count; ++i) out.fd_array[i] = Native(in->fd_array[i]);
  out.fd_count = in->fd_count;
  return true;
}

void FromFdSet(const fd_set& in, TFdSet* out) {
  if (out == nullptr) return;
  out->fd_count = in.fd_count;
  for (u_int i = 0; i < in.fd_count; ++i) out->fd_array[i] = static_cast<TSocket>(in.fd_array[i]);
}

// A listening socket's wake-up: the system's shutdown does not end a blocked accept, so
// accept waits in select for the listener and for a datagram socket of its own, and a
// shutdown (or close) of the listener by its owner marks it and sends that socket a byte.
struct TAcceptWake {
  SOCKET wake = INVALID_SOCKET;
  sockaddr_in address{};
  std::atomic<bool> shut{false};
  TAcceptWake() {
    SOCKET w = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (w == INVALID_SOCKET) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (::bind(w, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(w, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::closesocket(w);
      return;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(w), HANDLE_FLAG_INHERIT, 0);
    wake = w;
    address = a;
  }
  ~TAcceptWake() {
    if (wake != INVALID_SOCKET) ::closesocket(wake);
  }
  void Signal() {
    shut = true;
    if (wake == INVALID_SOCKET) return;
    SOCKET w = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (w == INVALID_SOCKET) return;
    ::sendto(w, "x", 1, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::closesocket(w);
  }
};

std::mutex gWakeLock;
std::map<SOCKET, std::shared_ptr<TAcceptWake>>& Wakes() {
  static auto* m = new std::map<SOCKET, std::shared_ptr<TAcceptWake>>;
  return *m;
}

std::shared_ptr<TAcceptWake> WakeOf(SOCKET s, bool create) {
  std::lock_guard<std::mutex> g(gWakeLock);
  auto it = Wakes().find(s);
  if (it != Wakes().end()) return it->second;
  if (!create) return nullptr;
  auto w = std::make_shared<TAcceptWake>();
  Wakes()[s] = w;
  return w;
}

bool IsListening(SOCKET s) {
  BOOL listening = FALSE;
  int len = sizeof listening;
  return ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &len) ==
             0 &&
         listening;
}

// Ends every accept that waits on the listener s (now or later).
void WakeAccept(SOCKET s, bool forget) {
  std::shared_ptr<TAcceptWake> w;
  {
    std::lock_guard<std::mutex> g(gWakeLock);
    auto it = Wakes().find(s);
    if (it != Wakes().end()) {
      w = it->second;
      if (forget) Wakes().erase(it);
    } else if (!forget) {
      w = std::make_shared<TAcceptWake>();
      Wakes()[s] = w;
    }
  }
  if (w) w->Signal();
}

}  // namespace

int SockLastError() {
  return ::WSAGetLastError();
}
void SockSetLastError(int code) {
  ::WSASetLastError(code);
}

TSocket SockSocket(int af, int type, int protocol) {
  if (!StartWinsock()) {
    ::WSASetLastError(WSANOTINITIALISED);
    return kInvalidSocket;
  }
  if (af != kAfInet && af != kAfInet6) {
    ::WSASetLastError(WSAEAFNOSUPPORT);
    return kInvalidSocket;
  }
  if (type != kSockStream && type != kSockDgram) {
    ::WSASetLastError(WSAESOCKTNOSUPPORT);
    return kInvalidSocket;
  }
  SOCKET s = ::socket(af == kAfInet6 ? AF_INET6 : AF_INET,
                      type == kSockStream ? SOCK_STREAM : SOCK_DGRAM, protocol);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // Child processes (the service manager's tools) must not keep the socket open.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<TSocket>(s);
}

int SockBind(TSocket s, const TSockAddrIn* name, int namelen) {
  if (!CheckAddrLen(name, namelen)) return Fail();
  if (name->sin_addr == kInAddrNone) {
    ::WSASetLastError(WSAEADDRNOTAVAIL);
    return Fail();
  }
  sockaddr_in a = ToNative(name);
  if (::bind(Native(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail();
  return 0;
}

int SockListen(TSocket s, int backlog) {
  return ::listen(Native(s), backlog) == 0 ? 0 : Fail();
}

namespace {

template <typename NativeAddr, typename Platform>
TSocket AcceptAs(TSocket s, Platform* addr, int* addrlen) {
  std::shared_ptr<TAcceptWake> w = WakeOf(Native(s), true);
  for (;;) {
    if (w->shut) {
      ::WSASetLastError(WSAEINTR);
      return kInvalidSocket;
    }
    if (w->wake == INVALID_SOCKET) break;  // no wake-up: a plain blocking accept
    fd_set r;
    FD_ZERO(&r);
    FD_SET(Native(s), &r);
    FD_SET(w->wake, &r);
    int rc = ::select(0, &r, nullptr, nullptr, nullptr);
    if (w->shut) {
      ::WSASetLastError(WSAEINTR);
      return kInvalidSocket;
    }
    if (rc < 0) break;  // the accept below reports what is wrong with the listener
    if (FD_ISSET(w->wake, &r)) {
      char b[16];
      ::recv(w->wake, b, sizeof b, 0);
    }
    if (FD_ISSET(Native(s), &r)) break;
  }
  NativeAddr a{};
  int len = sizeof a;
  SOCKET c = ::accept(Native(s), reinterpret_cast<sockaddr*>(&a), &len);
  if (c != INVALID_SOCKET) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    FromNative(a, addr, addrlen);
    return static_cast<TSocket>(c);
  }
  int e = ::WSAGetLastError();
  // The listener closed by its owner while (or just before) this thread waited.
  if (e == ERROR_OPERATION_ABORTED || e == WSA_OPERATION_ABORTED || e == WSAENOTSOCK ||
      e == WSAEINVAL)
    ::WSASetLastError(WSAEINTR);
  return kInvalidSocket;
}

}  // namespace

TSocket SockAccept(TSocket s, TSockAddrIn* addr, int* addrlen) {
  return AcceptAs<sockaddr_in>(s, addr, addrlen);
}

TSocket SockAccept6(TSocket s, TSockAddrIn6* addr, int* addrlen) {
  return AcceptAs<sockaddr_in6>(s, addr, addrlen);
}

int SockBind6(TSocket s, const TSockAddrIn6* name, int namelen) {
  if (!CheckAddrLen(name, namelen)) return Fail();
  sockaddr_in6 a = ToNative(name);
  if (::bind(Native(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail();
  return 0;
}

int SockConnect6(TSocket s, const TSockAddrIn6* name, int namelen) {
  if (!CheckAddrLen(name, namelen)) return Fail();
  sockaddr_in6 a = ToNative(name);
  return ::connect(Native(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Fail();
}

int SockGetSockName6(TSocket s, TSockAddrIn6* name, int* namelen) {
  sockaddr_in6 a{};
  int len = sizeof a;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
  FromNative(a, name, namelen);
  return 0;
}

int SockConnect(TSocket s, const TSockAddrIn* name, int namelen) {
  if (!CheckAddrLen(name, namelen)) return Fail();
  sockaddr_in a = ToNative(name);
  return ::connect(Native(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Fail();
}

int SockRecv(TSocket s, char* buf, int len, int flags) {
  int n = ::recv(Native(s), buf, len, flags);
  return n >= 0 ? n : FailWoken();
}

int SockRecvFrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from, int* fromlen) {
  sockaddr_in a{};
  int alen = sizeof a;
  int n = ::recvfrom(Native(s), buf, len, flags, reinterpret_cast<sockaddr*>(&a), &alen);
  if (n < 0) return FailWoken();
  FromNative(a, from, fromlen);
  return n;
}

int SockSend(TSocket s, const char* buf, int len, int flags) {
  int n = ::send(Native(s), buf, len, flags);
  return n >= 0 ? n : FailWoken();
}

int SockSendTo(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to, int tolen) {
  if (!CheckAddrLen(to, tolen)) return Fail();
  sockaddr_in a = ToNative(to);
  int n = ::sendto(Native(s), buf, len, flags, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return n >= 0 ? n : FailWoken();
}

int SockSelect(int nfds, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
               const TTimeVal* timeout) {
  fd_set r, w, x;
  if (!ToFdSet(readfds, r) || !ToFdSet(writefds, w) || !ToFdSet(exceptfds, x)) return Fail();
  timeval tv{};
  if (timeout != nullptr) {
    tv.tv_sec = timeout->tv_sec;
    tv.tv_usec = timeout->tv_usec;
  }
  int rc = ::select(nfds, readfds ? &r : nullptr, writefds ? &w : nullptr, exceptfds ? &x : nullptr,
                    timeout ? &tv : nullptr);
  if (rc < 0) return FailWoken();
  FromFdSet(r, readfds);
  FromFdSet(w, writefds);
  FromFdSet(x, exceptfds);
  return rc;
}

int SockSetOpt(TSocket s, int level, int optname, const char* optval, int optlen) {
  int nlevel = 0;
  int nname = 0;
  if (!MapOption(level, optname, nlevel, nname)) {
    ::WSASetLastError(WSAENOPROTOOPT);
    return Fail();
  }
  if (optval == nullptr) {
    ::WSASetLastError(WSAEFAULT);
    return Fail();
  }
  if (nname == SO_REUSEADDR) {
    // What the option asks for (a new listener while old connections of its port linger)
    // is how Windows binds anyway; its own SO_REUSEADDR would let a second socket take a
    // port that is being listened on, so it is not passed on.
    return 0;
  }
  if (nname == SO_LINGER) {
    if (optlen < static_cast<int>(sizeof(TLinger))) {
      ::WSASetLastError(WSAEFAULT);
      return Fail();
    }
    TLinger l;
    std::memcpy(&l, optval, sizeof l);
    linger nl{};
    nl.l_onoff = l.l_onoff;
    nl.l_linger = l.l_linger;
    return ::setsockopt(Native(s), nlevel, nname, reinterpret_cast<const char*>(&nl), sizeof nl) ==
                   0
               ? 0
               : Fail();
  }
  // Every other option is a 32-bit number (the time-outs in milliseconds) or a
  // one-byte switch.
  DWORD v = 0;
  if (optlen >= static_cast<int>(sizeof v)) {
    std::memcpy(&v, optval, sizeof v);
  } else if (optlen >= 1) {
    v = static_cast<unsigned char>(optval[0]);
  } else {
    ::WSASetLastError(WSAEFAULT);
    return Fail();
  }
  return ::setsockopt(Native(s), nlevel, nname, reinterpret_cast<const char*>(&v), sizeof v) == 0
             ? 0
             : Fail();
}

int SockGetOpt(TSocket s, int level, int optname, char* optval, int* optlen) {
  int nlevel = 0;
  int nname = 0;
  if (!MapOption(level, optname, nlevel, nname)) {
    ::WSASetLastError(WSAENOPROTOOPT);
    return Fail();
  }
  if (optval == nullptr || optlen == nullptr) {
    ::WSASetLastError(WSAEFAULT);
    return Fail();
  }
  if (nname == SO_LINGER) {
    if (*optlen < static_cast<int>(sizeof(TLinger))) {
      ::WSASetLastError(WSAEFAULT);
      return Fail();
    }
    linger nl{};
    int len = sizeof nl;
    if (::getsockopt(Native(s), nlevel, nname, reinterpret_cast<char*>(&nl), &len) != 0)
      return Fail();
    TLinger l;
    l.l_onoff = nl.l_onoff;
    l.l_linger = nl.l_linger;
    std::memcpy(optval, &l, sizeof l);
    *optlen = sizeof l;
    return 0;
  }
  if (*optlen < static_cast<int>(sizeof(DWORD))) {
    ::WSASetLastError(WSAEFAULT);
    return Fail();
  }
  DWORD v = 0;
  int len = sizeof v;
  if (::getsockopt(Native(s), nlevel, nname, reinterpret_cast<char*>(&v), &len) != 0) return Fail();
  if (len < static_cast<int>(sizeof v)) v &= 0xff;  // a one-byte switch
  std::memcpy(optval, &v, sizeof v);
  *optlen = sizeof v;
  return 0;
}

int SockShutdown(TSocket s, int how) {
  if (how != kSdSend && IsListening(Native(s))) {
    WakeAccept(Native(s), false);
    return 0;
  }
  int nhow = how == kSdReceive ? SD_RECEIVE : how == kSdSend ? SD_SEND : SD_BOTH;
  int rc = ::shutdown(Native(s), nhow) == 0 ? 0 : Fail();
  if (how != kSdSend) {
    // The system's shutdown leaves a receive of another thread waiting for the peer;
    // cancelling the socket's pending operations ends it (as "interrupted").
    DWORD saved = ::WSAGetLastError();
    ::CancelIoEx(reinterpret_cast<HANDLE>(Native(s)), nullptr);
    ::WSASetLastError(saved);
  }
  return rc;
}

int SockClose(TSocket s) {
  if (IsListening(Native(s))) WakeAccept(Native(s), true);
  // closesocket wakes every thread still blocked in recv on the socket.
  return ::closesocket(Native(s)) == 0 ? 0 : Fail();
}

int SockGetSockName(TSocket s, TSockAddrIn* name, int* namelen) {
  sockaddr_in a{};
  int len = sizeof a;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
  FromNative(a, name, namelen);
  return 0;
}

int SockGetPeerName(TSocket s, TSockAddrIn* name, int* namelen) {
  sockaddr_in a{};
  int len = sizeof a;
  if (::getpeername(Native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
  FromNative(a, name, namelen);
  return 0;
}

int SockGetHostName(char* name, int namelen) {
  if (name == nullptr || namelen <= 0) {
    ::WSASetLastError(WSAEFAULT);
    return Fail();
  }
  StartWinsock();
  return ::gethostname(name, namelen) == 0 ? 0 : Fail();
}

uint32_t SockInetAddr(const std::string& dotted) {
  if (dotted.find('\0') != std::string::npos) return kInAddrNone;
  return ::inet_addr(dotted.c_str());
}

}  // namespace kestran
