#pragma once
// A private DNS server for tests: dnsmasq on 127.0.0.1 on a free port, answering only
// from the records a test gives it. Every other name is answered "no such name"
// (NXDOMAIN). Point the resolver at it with SetResolverConfig(server.server(), ms).
//
//   kestran::test::DnsServer dns;
//   dns.AddARecord("mail.example.test", "10.0.0.5");
//   dns.AddPtrRecord("10.0.0.5", "mail.example.test");
//   dns.AddNoDataName("empty.example.test");   // exists, but has no A record
//   ASSERT_TRUE(dns.Start()) << dns.error();
//   kestran::SetResolverConfig(dns.server(), 2000);

#include <sys/types.h>
#include <cstdint>
#include <string>
#include <vector>

namespace kestran::test {

class DnsServer {
 public:
  DnsServer() = default;
  DnsServer(const DnsServer&) = delete;
  DnsServer& operator=(const DnsServer&) = delete;
  // Stops the server.
  ~DnsServer();

  // Whether /usr/sbin/dnsmasq is installed.
  static bool Available();

  // Records, added before Start(). An A record answers for name (and, as dnsmasq does,
  // for every name below it); the same name may get several addresses.
  void AddARecord(const std::string& name, const std::string& ipv4);
  // A PTR record for the dotted IPv4 address.
  // (An IPv6 address text gives its ip6.arpa name.)
  void AddPtrRecord(const std::string& ipv4, const std::string& name);
  // A name that exists (it carries a TXT record) but has no address: "no data".
  void AddNoDataName(const std::string& name);

  // Starts dnsmasq and waits (up to 5 s) until it answers. False with error() on failure.
  bool Start();
  void Stop();
  bool running() const { return pid_ > 0; }

  uint16_t port() const { return port_; }
  // "127.0.0.1:port", the form SetResolverConfig takes.
  std::string server() const;
  const std::string& error() const { return error_; }

 private:
  bool StartOnce();
  bool Answers(int timeoutMs);

  std::vector<std::string> args_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string error_;
};

// A UDP port on 127.0.0.1 that receives queries and never answers: a DNS server that
// does not respond.
class SilentUdpPort {
 public:
  SilentUdpPort();
  ~SilentUdpPort();
  SilentUdpPort(const SilentUdpPort&) = delete;
  SilentUdpPort& operator=(const SilentUdpPort&) = delete;
  uint16_t port() const { return port_; }
  std::string server() const;

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace kestran::test
