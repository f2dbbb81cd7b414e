#pragma once
// Name resolution: forward (name -> IPv4 addresses and canonical name) and reverse
// (address -> name) lookups through c-ares. /etc/hosts is consulted first, then the DNS
// servers of /etc/resolv.conf, or the servers set by SetResolverConfig. A lookup that
// does not answer within the configured time-out fails like an unreachable server.
// Lookups may run concurrently from any number of threads.
//
// Failures leave a Windows Sockets code as the thread's last socket error (SockLastError):
// 11001 no such name, 11002 server failure or time-out, 11003 refused or malformed,
// 11004 the name exists but has no record of the asked type.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestran {

// A host entry: official name, aliases and the 4-byte addresses in network order.
struct THostEntry {
  std::string h_name;
  std::vector<std::string> h_aliases;
  int16_t h_addrtype = 2;
  int16_t h_length = 4;
  std::vector<std::array<uint8_t, 4>> h_addr_list;
};

constexpr uint32_t kDefaultDnsTimeoutMs = 5000;
// The longest time one lookup may be given; a longer setting is taken as this.
constexpr uint32_t kMaxDnsTimeoutMs = 60000;

// servers: empty for the system's configuration, else "address[:port],address[:port],...".
// timeoutMs: time one lookup may take (0 keeps the default of 5000, more than
// kMaxDnsTimeoutMs is taken as that). Returns false and
// keeps the previous configuration when the server list cannot be parsed.
bool SetResolverConfig(const std::string& servers, uint32_t timeoutMs);
std::string ResolverServers();
uint32_t ResolverTimeoutMs();

// Forward lookup of an IPv4 host name (a dotted address is returned as it is).
std::optional<THostEntry> ResolveHostByName(const std::string& name);
// Reverse lookup of a 4-byte IPv4 address in network order.
std::optional<THostEntry> ResolveHostByAddr(const std::array<uint8_t, 4>& addr);
// Reverse lookup of a 16-byte IPv6 address under ip6.arpa (h_addr_list stays empty).
std::optional<THostEntry> ResolveHostByAddr6(const std::array<uint8_t, 16>& addr);

// The process is stopping: every lookup in progress gives up within a fraction of a
// second and every later one fails at once, both as a time-out does (11002). Safe to
// call from any thread.
void AbandonLookups();
// Lets lookups run again, for a process that goes on after a stop was called off.
void ResumeLookups();
bool LookupsAbandoned();

// The machine's own host name ("" when the system cannot tell).
std::string LocalHostName();

}  // namespace kestran
