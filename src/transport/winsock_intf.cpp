#include "transport/winsock_intf.h"

#include <array>
#include <atomic>
#include <cstring>

#include "platform/exception.h"

namespace kestran {

namespace {

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Can't assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, can't splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {10067, "Too many processes."},
    {10068, "Too many users."},
    {10069, "Disk Quota Exceeded."},
    {10070, "Stale NFS file handle."},
    {10071, "Too many levels of remote in path."},
    {10091, "Network subsystem is unavailable."},
    {10092, "WINSOCK DLL Version out of range."},
    {10093, "Winsock not loaded yet."},
    {11001, "Host not found."},
    {11002, "Non-authoritative response (try again or check DNS setup)."},
    {11003, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP."},
    {11004, "Valid name, no data record (check DNS setup)."},
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 50);

}  // namespace

const char* SocketErrorText(int code) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) return e.text;
  }
  return "";
}

TWinsockIntf11::TWinsockIntf11() {
  // The POSIX socket layer needs no start-up; record what the library offers.
  Description = "KESTRAN POSIX sockets 1.1";
  MaxSockets = 0x7fffffff;
  MaxUdpDg = 65507;
}

int TWinsockIntf11::connect(TSocket s, const TSockAddrIn* name, int namelen) {
  return SockConnect(s, name, namelen);
}

TSocket TWinsockIntfBase::accept6(TSocket s, TSockAddrIn6* addr, int* addrlen) {
  return SockAccept6(s, addr, addrlen);
}

int TWinsockIntfBase::bind6(TSocket s, const TSockAddrIn6* name, int namelen) {
  return SockBind6(s, name, namelen);
}

std::optional<THostEntry> TWinsockIntf11::gethostbyaddr(const void* addr, int len, int type) {
  if (addr != nullptr && len == 16 && type == kAfInet6) {
    std::array<uint8_t, 16> bytes;
    std::memcpy(bytes.data(), addr, 16);
    return ResolveHostByAddr6(bytes);
  }
  if (addr == nullptr || len != 4 || type != kAfInet) {
    SockSetLastError(addr == nullptr ? 10014 : 10047);
    return std::nullopt;
  }
  std::array<uint8_t, 4> bytes;
  std::memcpy(bytes.data(), addr, 4);
  return ResolveHostByAddr(bytes);
}

uint16_t TWinsockIntf11::htons(uint16_t hostshort) {
  return SockHtons(hostshort);
}
uint16_t TWinsockIntf11::ntohs(uint16_t netshort) {
  return SockNtohs(netshort);
}
uint32_t TWinsockIntf11::inet_addr(const std::string& cp) {
  return SockInetAddr(cp);
}

int TWinsockIntf11::gethostname(char* name, int namelen) {
  return SockGetHostName(name, namelen);
}

std::optional<THostEntry> TWinsockIntf11::gethostbyname(const std::string& name) {
  return ResolveHostByName(name);
}

std::string TWinsockIntf11::TranslateErrorMsg(int code) {
  return "Socket Error #" + std::to_string(code) + "\r\n" + SocketErrorText(code);
}

int TWinsockIntf11::WSAGetLastError() {
  return SockLastError();
}

int TWinsockIntf11::recv(TSocket s, char* buf, int len, int flags) {
  return SockRecv(s, buf, len, flags);
}

int TWinsockIntf11::recvfrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from,
                             int* fromlen) {
  return SockRecvFrom(s, buf, len, flags, from, fromlen);
}

int TWinsockIntf11::select(int nfds, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
                           const TTimeVal* timeout) {
  return SockSelect(nfds, readfds, writefds, exceptfds, timeout);
}

int TWinsockIntf11::send(TSocket s, const char* buf, int len, int flags) {
  return SockSend(s, buf, len, flags);
}

int TWinsockIntf11::sendto(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to,
                           int tolen) {
  return SockSendTo(s, buf, len, flags, to, tolen);
}

int TWinsockIntf11::setsockopt(TSocket s, int level, int optname, const char* optval, int optlen) {
  return SockSetOpt(s, level, optname, optval, optlen);
}

std::string TWinsockIntf11::inet_ntoa(uint32_t in) {
  return SockInetNtoa(in);
}
int TWinsockIntf11::listen(TSocket s, int backlog) {
  return SockListen(s, backlog);
}

TSocket TWinsockIntf11::accept(TSocket s, TSockAddrIn* addr, int* addrlen) {
  return SockAccept(s, addr, addrlen);
}

int TWinsockIntf11::bind(TSocket s, const TSockAddrIn* name, int namelen) {
  return SockBind(s, name, namelen);
}

int TWinsockIntf11::closesocket(TSocket s) {
  return SockClose(s);
}
TSocket TWinsockIntf11::socket(int af, int type, int protocol) {
  return SockSocket(af, type, protocol);
}
int TWinsockIntf11::shutdown(TSocket s, int how) {
  return SockShutdown(s, how);
}

namespace {

TWinsockIntfBase& Binding() {
  // Created before first use and never destroyed, so connection threads that outlive
  // static destruction can still use it.
  static TWinsockIntfBase* instance = new TWinsockIntf11();
  return *instance;
}

std::atomic<TWinsockIntfBase*> gReplacement{nullptr};

}  // namespace

TWinsockIntfBase& GWinsockIntf() {
  TWinsockIntfBase* replacement = gReplacement.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : Binding();
}

TWinsockIntfBase* SetGWinsockIntf(TWinsockIntfBase* intf) {
  TWinsockIntfBase* old = gReplacement.exchange(intf, std::memory_order_acq_rel);
  return old != nullptr ? old : &Binding();
}

}  // namespace kestran
