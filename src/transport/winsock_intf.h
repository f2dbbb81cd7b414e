#pragma once
// The socket interface: one virtual operation per socket-library call, so that the
// library binding can be exchanged without touching the connection classes. Every socket
// call of the transport goes through the process-wide instance GWinsockIntf().

#include <cstdint>
#include <optional>
#include <string>

#include "platform/resolver.h"
#include "platform/sockets.h"

namespace kestran {

class TWinsockIntfBase {
 public:
  TWinsockIntfBase() = default;
  TWinsockIntfBase(const TWinsockIntfBase&) = delete;
  TWinsockIntfBase& operator=(const TWinsockIntfBase&) = delete;
  virtual ~TWinsockIntfBase() = default;

  // Recorded at start-up; read by nothing.
  std::string Description;
  int32_t MaxSockets = 0;
  int32_t MaxUdpDg = 0;

  virtual int connect(TSocket s, const TSockAddrIn* name, int namelen) = 0;
  // Reverse lookup (type 2 = IPv4, len 4; type 23 = IPv6, len 16); nothing on failure, code in
  // WSAGetLastError.
  virtual std::optional<THostEntry> gethostbyaddr(const void* addr, int len, int type) = 0;
  virtual uint16_t htons(uint16_t hostshort) = 0;
  virtual uint16_t ntohs(uint16_t netshort) = 0;
  virtual uint32_t inet_addr(const std::string& cp) = 0;
  virtual int gethostname(char* name, int namelen) = 0;
  // Forward lookup; nothing on failure, code in WSAGetLastError.
  virtual std::optional<THostEntry> gethostbyname(const std::string& name) = 0;
  // "Socket Error #" + code + CR LF + the code's text (nothing after CR LF if unknown).
  virtual std::string TranslateErrorMsg(int code) = 0;
  virtual int WSAGetLastError() = 0;
  virtual int recv(TSocket s, char* buf, int len, int flags) = 0;
  virtual int recvfrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from,
                       int* fromlen) = 0;
  virtual int select(int nfds, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
                     const TTimeVal* timeout) = 0;
  virtual int send(TSocket s, const char* buf, int len, int flags) = 0;
  virtual int sendto(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to,
                     int tolen) = 0;
  virtual int setsockopt(TSocket s, int level, int optname, const char* optval, int optlen) = 0;
  // Address in network byte order to dotted text.
  virtual std::string inet_ntoa(uint32_t in) = 0;
  virtual int listen(TSocket s, int backlog) = 0;
  virtual TSocket accept(TSocket s, TSockAddrIn* addr, int* addrlen) = 0;
  virtual int bind(TSocket s, const TSockAddrIn* name, int namelen) = 0;
  virtual int closesocket(TSocket s) = 0;
  virtual TSocket socket(int af, int type, int protocol) = 0;
  // Added after the library's calls: wakes threads blocked on s without closing it.
  virtual int shutdown(TSocket s, int how) = 0;
  // The IPv6 forms of accept and bind (the platform's calls unless replaced).
  virtual TSocket accept6(TSocket s, TSockAddrIn6* addr, int* addrlen);
  virtual int bind6(TSocket s, const TSockAddrIn6* name, int namelen);
};

// The binding to the platform's sockets and resolver.
class TWinsockIntf11 : public TWinsockIntfBase {
 public:
  TWinsockIntf11();

  int connect(TSocket s, const TSockAddrIn* name, int namelen) override;
  std::optional<THostEntry> gethostbyaddr(const void* addr, int len, int type) override;
  uint16_t htons(uint16_t hostshort) override;
  uint16_t ntohs(uint16_t netshort) override;
  uint32_t inet_addr(const std::string& cp) override;
  int gethostname(char* name, int namelen) override;
  std::optional<THostEntry> gethostbyname(const std::string& name) override;
  std::string TranslateErrorMsg(int code) override;
  int WSAGetLastError() override;
  int recv(TSocket s, char* buf, int len, int flags) override;
  int recvfrom(TSocket s, char* buf, int len, int flags, TSockAddrIn* from, int* fromlen) override;
  int select(int nfds, TFdSet* readfds, TFdSet* writefds, TFdSet* exceptfds,
             const TTimeVal* timeout) override;
  int send(TSocket s, const char* buf, int len, int flags) override;
  int sendto(TSocket s, const char* buf, int len, int flags, const TSockAddrIn* to,
             int tolen) override;
  int setsockopt(TSocket s, int level, int optname, const char* optval, int optlen) override;
  std::string inet_ntoa(uint32_t in) override;
  int listen(TSocket s, int backlog) override;
  TSocket accept(TSocket s, TSockAddrIn* addr, int* addrlen) override;
  int bind(TSocket s, const TSockAddrIn* name, int namelen) override;
  int closesocket(TSocket s) override;
  TSocket socket(int af, int type, int protocol) override;
  int shutdown(TSocket s, int how) override;
};

// The text of a socket error code (empty for a code without text).
const char* SocketErrorText(int code);

// The process-wide socket interface, created on first use and kept until the process ends.
TWinsockIntfBase& GWinsockIntf();

// Puts intf in place of the process-wide interface (nullptr: the platform's binding
// again) and returns the one it replaces, for tests that put faults into socket calls.
// intf must stay alive until it is replaced in turn.
TWinsockIntfBase* SetGWinsockIntf(TWinsockIntfBase* intf);

}  // namespace kestran
