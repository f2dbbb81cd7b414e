#include "platform/os_win32.h"
// (the Windows headers first)
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/ip_address.h"
#include "platform/resolver.h"
#include "platform/resolver_common.h"
#include "platform/sockets.h"

// Lookups go through the Windows Sockets calls (gethostbyname, gethostbyaddr) when the
// system's configuration is in force. When DNSServers names servers, the lookups are
// DNS queries of this file's own over UDP to those servers, so that DNSTimeout bounds
// each lookup.

namespace kestran {
namespace {

using namespace resolver_common;

std::mutex gConfigLock;
std::string gServers;
std::vector<sockaddr_in> gServerAddrs;
uint32_t gTimeoutMs = kDefaultDnsTimeoutMs;

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(1, 1), &data) == 0;
  }();
  return started;
}

bool ParseDotted(const std::string& s, uint32_t& addr) {
  uint8_t b[4];
  if (!ParseIPv4Bytes(s, b)) return false;
  std::memcpy(&addr, b, 4);
  return true;
}

// "address[:port],..." into socket addresses; false when an entry is malformed.
bool ParseServers(const std::string& servers, std::vector<sockaddr_in>& out) {
  out.clear();
  size_t pos = 0;
  while (pos <= servers.size()) {
    size_t comma = servers.find(',', pos);
    if (comma == std::string::npos) comma = servers.size();
    std::string entry = Trim(servers.substr(pos, comma - pos));
    pos = comma + 1;
    if (!entry.empty()) {
      std::string address = entry;
      unsigned port = 53;
      size_t colon = entry.find(':');
      if (colon != std::string::npos) {
        address = entry.substr(0, colon);
        std::string p = entry.substr(colon + 1);
        if (p.empty() || p.size() > 5) return false;
        port = 0;
        for (char c : p) {
          if (c < '0' || c > '9') return false;
          port = port * 10 + static_cast<unsigned>(c - '0');
        }
        if (port == 0 || port > 65535) return false;
      }
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<u_short>(port));
      uint32_t ip = 0;
      if (!ParseDotted(address, ip)) return false;
      a.sin_addr.s_addr = ip;
      out.push_back(a);
    }
    if (comma == servers.size()) break;
  }
  return !out.empty();
}

// ---- DNS messages ----

bool AppendName(std::string& msg, const std::string& name) {
  size_t pos = 0;
  while (pos < name.size()) {
    size_t dot = name.find('.', pos);
    if (dot == std::string::npos) dot = name.size();
    size_t len = dot - pos;
    if (len == 0 || len > 63) return false;
    msg.push_back(static_cast<char>(len));
    msg.append(name, pos, len);
    pos = dot + 1;
  }
  msg.push_back('\0');
  return true;
}

// Reads a (possibly compressed) name at pos; pos moves past it. False when malformed.
bool ReadName(const std::string& msg, size_t& pos, std::string& name) {
  name.clear();
  size_t p = pos;
  bool jumped = false;
  for (int hops = 0; hops < 64; ++hops) {
    if (p >= msg.size()) return false;
    uint8_t len = static_cast<uint8_t>(msg[p]);
    if ((len & 0xC0) == 0xC0) {
      if (p + 1 >= msg.size()) return false;
      size_t target = (static_cast<size_t>(len & 0x3F) << 8) | static_cast<uint8_t>(msg[p + 1]);
      if (!jumped) pos = p + 2;
      jumped = true;
      p = target;
      continue;
    }
    if (len == 0) {
      if (!jumped) pos = p + 1;
      return true;
    }
    if ((len & 0xC0) != 0 || p + 1 + len > msg.size()) return false;
    if (!name.empty()) name.push_back('.');
    name.append(msg, p + 1, len);
    p += 1 + len;
  }
  return false;
}

uint16_t Get16(const std::string& m, size_t p) {
  return static_cast<uint16_t>((static_cast<uint8_t>(m[p]) << 8) | static_cast<uint8_t>(m[p + 1]));
}

struct TAnswer {
  int error = 0;  // Windows Sockets code, 0 on success
  std::string canonical;
  std::vector<std::array<uint8_t, 4>> addresses;
  std::vector<std::string> names;  // PTR targets
};

// Parses a reply to a query of the given type; the answer's error tells what failed.
TAnswer ParseReply(const std::string& msg, uint16_t id, uint16_t qtype) {
  TAnswer a;
  a.error = kNoRecovery;
  if (msg.size() < 12 || Get16(msg, 0) != id || (static_cast<uint8_t>(msg[2]) & 0x80) == 0)
    return a;
  int rcode = static_cast<uint8_t>(msg[3]) & 0x0F;
  if (rcode == 3) {
    a.error = kHostNotFound;
    return a;
  }
  if (rcode == 2) {
    a.error = kTryAgain;
    return a;
  }
  if (rcode != 0) return a;
  size_t pos = 12;
  std::string name;
  for (uint16_t i = 0, n = Get16(msg, 4); i < n; ++i) {
    if (!ReadName(msg, pos, name) || pos + 4 > msg.size()) return a;
    pos += 4;
  }
  for (uint16_t i = 0, n = Get16(msg, 6); i < n; ++i) {
    if (!ReadName(msg, pos, name) || pos + 10 > msg.size()) return a;
    uint16_t type = Get16(msg, pos);
    uint16_t rdlen = Get16(msg, pos + 8);
    pos += 10;
    if (pos + rdlen > msg.size()) return a;
    if (type == 1 && qtype == 1 && rdlen == 4) {
      std::array<uint8_t, 4> ip;
      std::memcpy(ip.data(), msg.data() + pos, 4);
      a.addresses.push_back(ip);
      if (a.canonical.empty()) a.canonical = name;
    } else if (type == 12 && qtype == 12) {
      size_t p = pos;
      std::string target;
      if (ReadName(msg, p, target)) a.names.push_back(target);
    }
    pos += rdlen;
  }
  a.error = (a.addresses.empty() && a.names.empty()) ? kNoData : 0;
  return a;
}

// Asks the configured servers in turn until one answers or the time runs out.
TAnswer Query(const std::vector<sockaddr_in>& servers, uint32_t timeoutMs, const std::string& qname,
              uint16_t qtype) {
  TAnswer fail;
  fail.error = kTryAgain;
  static std::atomic<uint16_t> nextId{static_cast<uint16_t>(::GetTickCount())};
  uint16_t id = nextId.fetch_add(1);
  std::string msg;
  msg.push_back(static_cast<char>(id >> 8));
  msg.push_back(static_cast<char>(id & 0xff));
  msg.append("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);  // RD, one question
  if (!AppendName(msg, qname)) {
    fail.error = kHostNotFound;
    return fail;
  }
  msg.push_back('\0');
  msg.push_back(static_cast<char>(qtype));
  msg.append("\x00\x01", 2);  // class IN

  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return fail;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // Each server gets an equal share of the time, one after the other, round and round.
  uint32_t slice = timeoutMs / static_cast<uint32_t>(servers.size());
  if (slice < 200) slice = 200;
  for (size_t k = 0;; ++k) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline || LookupsAbandoned()) break;
    const sockaddr_in& server = servers[k % servers.size()];
    ::sendto(s, msg.data(), static_cast<int>(msg.size()), 0,
             reinterpret_cast<const sockaddr*>(&server), sizeof server);
    auto sliceEnd = now + std::chrono::milliseconds(slice);
    if (sliceEnd > deadline) sliceEnd = deadline;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      sliceEnd - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || LookupsAbandoned()) break;
      // Short waits, so that an abandoned lookup ends soon.
      if (left > static_cast<decltype(left)>(kWaitSliceMs)) left = kWaitSliceMs;
      fd_set r;
      FD_ZERO(&r);
      FD_SET(s, &r);
      timeval tv{static_cast<long>(left / 1000), static_cast<long>((left % 1000) * 1000)};
      int ready = ::select(0, &r, nullptr, nullptr, &tv);
      if (ready < 0) break;
      if (ready == 0) continue;
      char buf[4096];
      sockaddr_in from{};
      int fromLen = sizeof from;
      int n = ::recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
      if (n <= 0) continue;
      if (from.sin_addr.s_addr != server.sin_addr.s_addr || from.sin_port != server.sin_port)
        continue;
      TAnswer a = ParseReply(std::string(buf, static_cast<size_t>(n)), id, qtype);
      if (a.error == kNoRecovery && n >= 4 && Get16(std::string(buf, 4), 0) != id) continue;
      ::closesocket(s);
      return a;
    }
  }
  ::closesocket(s);
  return fail;
}

THostEntry FromHostent(const hostent* h) {
  THostEntry e;
  e.h_name = h->h_name != nullptr ? h->h_name : "";
  for (char** a = h->h_aliases; a != nullptr && *a != nullptr; ++a) e.h_aliases.push_back(*a);
  if (h->h_addrtype == AF_INET && h->h_length == 4) {
    for (char** a = h->h_addr_list; a != nullptr && *a != nullptr; ++a) {
      std::array<uint8_t, 4> ip;
      std::memcpy(ip.data(), *a, 4);
      e.h_addr_list.push_back(ip);
    }
  }
  return e;
}

int MapLookupError(int e) {
  switch (e) {
    case WSAHOST_NOT_FOUND:
      return kHostNotFound;
    case WSATRY_AGAIN:
      return kTryAgain;
    case WSANO_DATA:
      return kNoData;
    default:
      return kNoRecovery;
  }
}

}  // namespace

bool SetResolverConfig(const std::string& servers, uint32_t timeoutMs) {
  std::vector<sockaddr_in> addrs;
  std::string trimmed = Trim(servers);
  if (!trimmed.empty() && !ParseServers(trimmed, addrs)) return false;
  std::lock_guard<std::mutex> g(gConfigLock);
  gServers = trimmed;
  gServerAddrs = std::move(addrs);
  gTimeoutMs = EffectiveTimeoutMs(timeoutMs);
  return true;
}

std::string ResolverServers() {
  std::lock_guard<std::mutex> g(gConfigLock);
  return gServers;
}

uint32_t ResolverTimeoutMs() {
  std::lock_guard<std::mutex> g(gConfigLock);
  return gTimeoutMs;
}

std::optional<THostEntry> ResolveHostByName(const std::string& name) {
  if (!SafeName(name)) {
    SockSetLastError(kHostNotFound);
    return std::nullopt;
  }
  if (!StartWinsock()) {
    SockSetLastError(kNoRecovery);
    return std::nullopt;
  }
  uint32_t ip = 0;
  if (ParseDotted(name, ip)) {
    THostEntry e;
    e.h_name = name;
    std::array<uint8_t, 4> b;
    std::memcpy(b.data(), &ip, 4);
    e.h_addr_list.push_back(b);
    SockSetLastError(0);
    return e;
  }
  std::vector<sockaddr_in> servers;
  uint32_t timeout;
  {
    std::lock_guard<std::mutex> g(gConfigLock);
    servers = gServerAddrs;
    timeout = gTimeoutMs;
  }
  if (servers.empty()) {
    const hostent* h = ::gethostbyname(name.c_str());
    if (h == nullptr) {
      SockSetLastError(MapLookupError(::WSAGetLastError()));
      return std::nullopt;
    }
    THostEntry e = FromHostent(h);
    SockSetLastError(0);
    return e;
  }
  TAnswer a = Query(servers, timeout, name, 1);
  if (a.error != 0) {
    SockSetLastError(a.error);
    return std::nullopt;
  }
  THostEntry e;
  e.h_name = a.canonical.empty() ? name : a.canonical;
  if (!a.canonical.empty() && a.canonical != name) e.h_aliases.push_back(name);
  e.h_addr_list = a.addresses;
  SockSetLastError(0);
  return e;
}

namespace {

template <size_t N>
std::optional<THostEntry> ReverseLookup(const std::array<uint8_t, N>& addr, int family) {
  if (!StartWinsock()) {
    SockSetLastError(kNoRecovery);
    return std::nullopt;
  }
  std::vector<sockaddr_in> servers;
  uint32_t timeout;
  {
    std::lock_guard<std::mutex> g(gConfigLock);
    servers = gServerAddrs;
    timeout = gTimeoutMs;
  }
  THostEntry e;
  if (servers.empty()) {
    const hostent* h =
        ::gethostbyaddr(reinterpret_cast<const char*>(addr.data()), static_cast<int>(N), family);
    if (h == nullptr) {
      SockSetLastError(MapLookupError(::WSAGetLastError()));
      return std::nullopt;
    }
    e = FromHostent(h);
  } else {
    std::string ptrName = ReverseLookupName(addr);
    TAnswer a = Query(servers, timeout, ptrName, 12);
    if (a.error != 0) {
      SockSetLastError(a.error);
      return std::nullopt;
    }
    e.h_name = a.names.front();
    for (size_t i = 1; i < a.names.size(); ++i) e.h_aliases.push_back(a.names[i]);
  }
  if constexpr (N == 4) {
    if (e.h_addr_list.empty()) e.h_addr_list.push_back(addr);
  }
  SockSetLastError(0);
  return e;
}

}  // namespace

std::optional<THostEntry> ResolveHostByAddr(const std::array<uint8_t, 4>& addr) {
  return ReverseLookup(addr, AF_INET);
}

std::optional<THostEntry> ResolveHostByAddr6(const std::array<uint8_t, 16>& addr) {
  return ReverseLookup(addr, AF_INET6);
}

std::string LocalHostName() {
  StartWinsock();
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

}  // namespace kestran
