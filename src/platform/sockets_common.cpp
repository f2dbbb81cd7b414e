#ifdef _WIN32
#include "platform/os_win32.h"
// (the Windows headers first)
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "platform/sockets_common.h"

namespace kestran {

namespace sockets_common {

sockaddr_in ToNative(const TSockAddrIn* in) {
  sockaddr_in out;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = in->sin_port;
  out.sin_addr.s_addr = in->sin_addr;
  return out;
}

void FromNative(const sockaddr_in& in, TSockAddrIn* out, int* len) {
  if (out == nullptr) return;
  if (len != nullptr && *len < static_cast<int>(sizeof(TSockAddrIn))) return;
  *out = TSockAddrIn{};
  out->sin_family = kAfInet;
  out->sin_port = in.sin_port;
  out->sin_addr = in.sin_addr.s_addr;
  if (len != nullptr) *len = sizeof(TSockAddrIn);
}

bool CheckAddrLen(const TSockAddrIn* name, int namelen) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(TSockAddrIn))) {
    SockSetLastError(10014);
    return false;
  }
  if (name->sin_family != kAfInet) {
    SockSetLastError(10047);
    return false;
  }
  return true;
}

sockaddr_in6 ToNative(const TSockAddrIn6* in) {
  sockaddr_in6 out;
  std::memset(&out, 0, sizeof out);
  out.sin6_family = AF_INET6;
  out.sin6_port = in->sin6_port;
  out.sin6_flowinfo = in->sin6_flowinfo;
  std::memcpy(&out.sin6_addr, in->sin6_addr, 16);
  out.sin6_scope_id = in->sin6_scope_id;
  return out;
}

void FromNative(const sockaddr_in6& in, TSockAddrIn6* out, int* len) {
  if (out == nullptr) return;
  if (len != nullptr && *len < static_cast<int>(sizeof(TSockAddrIn6))) return;
  *out = TSockAddrIn6{};
  out->sin6_port = in.sin6_port;
  out->sin6_flowinfo = in.sin6_flowinfo;
  std::memcpy(out->sin6_addr, &in.sin6_addr, 16);
  out->sin6_scope_id = in.sin6_scope_id;
  if (len != nullptr) *len = sizeof(TSockAddrIn6);
}

bool CheckAddrLen(const TSockAddrIn6* name, int namelen) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(TSockAddrIn6))) {
    SockSetLastError(10014);
    return false;
  }
  if (name->sin6_family != kAfInet6) {
    SockSetLastError(10047);
    return false;
  }
  return true;
}

bool MapOption(int level, int optname, int& nlevel, int& nname) {
  if (level == kIpprotoIpv6 && optname == kIpv6V6Only) {
    nlevel = IPPROTO_IPV6;
    nname = IPV6_V6ONLY;
    return true;
  }
  if (level == kSolSocket) {
    nlevel = SOL_SOCKET;
    switch (optname) {
      case kSoReuseAddr:
        nname = SO_REUSEADDR;
        return true;
      case kSoKeepAlive:
        nname = SO_KEEPALIVE;
        return true;
      case kSoLinger:
        nname = SO_LINGER;
        return true;
      case kSoSndTimeo:
        nname = SO_SNDTIMEO;
        return true;
      case kSoRcvTimeo:
        nname = SO_RCVTIMEO;
        return true;
      default:
        return false;
    }
  }
  if (level == kIpprotoTcp && optname == kTcpNoDelay) {
    nlevel = IPPROTO_TCP;
    nname = TCP_NODELAY;
    return true;
  }
  return false;
}

}  // namespace sockets_common

uint16_t SockHtons(uint16_t v) {
  return htons(v);
}
uint16_t SockNtohs(uint16_t v) {
  return ntohs(v);
}
uint32_t SockHtonl(uint32_t v) {
  return htonl(v);
}
uint32_t SockNtohl(uint32_t v) {
  return ntohl(v);
}

std::string SockInetNtoa(uint32_t addr) {
  const auto* b = reinterpret_cast<const uint8_t*>(&addr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

}  // namespace kestran
