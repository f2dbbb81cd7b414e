#pragma once
// IPv4 and IPv6 sockets shaped like the Windows Sockets 1.1 calls: every function returns -1 (or
// kInvalidSocket) on failure and leaves a Windows Sockets error code (10004, 10038,
// 10054, 10060, ...) as the calling thread's last socket error. Calls block; a receive
// or send time-out set with SockSetOpt(kSolSocket, kSoRcvTimeo / kSoSndTimeo) fails with
// 10060. Writing never raises a signal.

#include <cstdint>
#include <string>

namespace kestran {

using TSocket = int64_t;
constexpr TSocket kInvalidSocket = -1;
constexpr int kSocketError = -1;

// Address families, socket types and option names with their Windows values.
constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;
constexpr int kSolSocket = 0xffff;
constexpr int kIpprotoTcp = 6;
// A listener may bind while old connections of its port linger; never shares a port that
// is being listened on.
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoLinger = 0x0080;
constexpr int kSoSndTimeo = 0x1005;  // value: uint32_t milliseconds, 0 = none
constexpr int kSoRcvTimeo = 0x1006;  // value: uint32_t milliseconds, 0 = none
constexpr int kTcpNoDelay = 0x0001;
// An IPv6 socket takes IPv6 only (value: int, non-zero = yes), leaving IPv4 to a socket
// of its own.
constexpr int kIpprotoIpv6 = 41;
constexpr int kIpv6V6Only = 27;
constexpr int kSdReceive = 0;
constexpr int kSdSend = 1;
constexpr int kSdBoth = 2;
constexpr uint32_t kInAddrAny = 0;
constexpr uint32_t kInAddrNone = 0xffffffffu;

// The 16-byte IPv4 socket address: family, port and address in network byte order.
struct TSockAddrIn {
  uint16_t sin_family = kAfInet;
  uint16_t sin_port = 0;
  uint32_t sin_addr = 0;
  uint8_t sin_zero[8] = {};
};
static_assert(sizeof(TSockAddrIn) == 16);

// The 28-byte IPv6 socket address: family, port and flow in network byte order, the
// address, the scope.
struct TSockAddrIn6 {
  uint16_t sin6_family = kAfInet6;
  uint16_t sin6_port = 0;
  uint32_t sin6_flowinfo = 0;
  uint8_t sin6_addr[16] = {};
  uint32_t sin6_scope_id = 0;
};
static_assert(sizeof(TSockAddrIn6) == 28);

// The linger option (kSoLinger).
struct TLinger {
  uint16_t l_onoff = 0;
  uint16_t l_linger = 0;
};

// A set of sockets for SockSelect, as the Windows fd_set: a count and an array.
constexpr int kFdSetSize = 64;
struct TFdSet {
  uint32_t fd_count = 0;
  TSocket fd_array[kFdSetSize] = {};
};
struct TTimeVal {
  int32_t tv_sec = 0;
  int32_t tv_usec = 0;
};

// The calling thread's last socket error (0 when none was recorded).
int SockLastError();
void SockSetLastError(int code);

TSocket SockSocket(int af, int type, int protocol);
int SockBind(TSocket s, const TSockAddrIn* name, int namelen);
int SockListen(TSocket s, int backlog);
// Blocks until a connection arrives. When the listening socket is shut down (or closed)
// by its owner, fails with 10004.
TSocket SockAccept(TSocket s, TSockAddrIn* addr, int* addrlen);
int SockConnect(TSocket s, const TSockAddrIn* name, int namelen);
// 0 when the peer has closed; -1 on failure (10060 when the receive time-out ran out).
int SockRecv(TSocket s, char* buf, int len, int flags);
int SockRecvFrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from, int* fromlen);
// The number of bytes accepted, possibly fewer than len.
int SockSend(TSocket s, const char* buf, int len, int flags);
int SockSendTo(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to, int tolen);
// Leaves in each set only the sockets that are ready; returns their total, 0 on time-out.
int SockSelect(int nfds, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
               const TTimeVal* timeout);
int SockSetOpt(TSocket s, int level, int optname, const char* optval, int optlen);
int SockGetOpt(TSocket s, int level, int optname, char* optval, int* optlen);
// Ends sending and/or receiving: a thread blocked in accept or recv on s wakes up.
int SockShutdown(TSocket s, int how);
// Shuts the socket down, then closes it.
int SockClose(TSocket s);
int SockGetSockName(TSocket s, TSockAddrIn* name, int* namelen);
int SockGetPeerName(TSocket s, TSockAddrIn* name, int* namelen);
// The same calls for IPv6 sockets.
int SockBind6(TSocket s, const TSockAddrIn6* name, int namelen);
TSocket SockAccept6(TSocket s, TSockAddrIn6* addr, int* addrlen);
int SockConnect6(TSocket s, const TSockAddrIn6* name, int namelen);
int SockGetSockName6(TSocket s, TSockAddrIn6* name, int* namelen);

// The machine's host name into name (NUL-terminated); -1 when it does not fit.
int SockGetHostName(char* name, int namelen);
uint16_t SockHtons(uint16_t v);
uint16_t SockNtohs(uint16_t v);
uint32_t SockHtonl(uint32_t v);
uint32_t SockNtohl(uint32_t v);
// Dotted IPv4 text to an address in network byte order; kInAddrNone when not parsable.
uint32_t SockInetAddr(const std::string& dotted);
// Address in network byte order to dotted text.
std::string SockInetNtoa(uint32_t addr);

}  // namespace kestran
