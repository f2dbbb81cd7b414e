#include "dns_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/ip_address.h"

extern char** environ;

namespace kestran::test {

namespace {

const char kDnsmasq[] = "/usr/sbin/dnsmasq";

// A port that is free for UDP and TCP on 127.0.0.1 at the moment of asking.
uint16_t PickFreePort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (u < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(u, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(u);
      return 0;
    }
    int t = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool tcpFree = t >= 0 && ::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (t >= 0) ::close(t);
    ::close(u);
    if (tcpFree) return ntohs(a.sin_port);
  }
  return 0;
}

// Reverse-zone name of a dotted IPv4 address ("" when it is not one).
std::string ReverseName(const std::string& ipv4) {
  if (ipv4.find(':') != std::string::npos) {
    auto v6 = kestran::ParseIpAddress(ipv4);
    return v6 && v6->v6 ? kestran::ReversedAddressName(*v6) + ".ip6.arpa" : "";
  }
  in_addr a{};
  if (::inet_pton(AF_INET, ipv4.c_str(), &a) != 1) return "";
  const auto* b = reinterpret_cast<const uint8_t*>(&a.s_addr);
  return std::to_string(b[3]) + "." + std::to_string(b[2]) + "." + std::to_string(b[1]) + "." +
         std::to_string(b[0]) + ".in-addr.arpa";
}

}  // namespace

DnsServer::~DnsServer() {
  Stop();
}

bool DnsServer::Available() {
  return ::access(kDnsmasq, X_OK) == 0;
}

void DnsServer::AddARecord(const std::string& name, const std::string& ipv4) {
  args_.push_back("--address=/" + name + "/" + ipv4);
}

void DnsServer::AddPtrRecord(const std::string& ipv4, const std::string& name) {
  std::string rev = ReverseName(ipv4);
  if (!rev.empty()) args_.push_back("--ptr-record=" + rev + "," + name);
}

void DnsServer::AddNoDataName(const std::string& name) {
  args_.push_back("--txt-record=" + name + ",kestran-test");
}

std::string DnsServer::server() const {
  return "127.0.0.1:" + std::to_string(port_);
}

bool DnsServer::Start() {
  if (pid_ > 0) return true;
  if (!Available()) {
    error_ = std::string(kDnsmasq) + " is not installed";
    return false;
  }
  // The port is picked before dnsmasq binds it; another process may take it in between.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (StartOnce()) return true;
  }
  return false;
}

bool DnsServer::StartOnce() {
  port_ = PickFreePort();
  if (port_ == 0) {
    error_ = "no free port";
    return false;
  }
  std::vector<std::string> args = {kDnsmasq, "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                                   "--keep-in-foreground", "--port=" + std::to_string(port_),
                                   "--listen-address=127.0.0.1", "--bind-interfaces",
                                   "--pid-file=", "--log-facility=/dev/null",
                                   // Every name without a record: no such name.
                                   "--local=/#/"};
  if (::geteuid() == 0) args.push_back("--user=root");
  args.insert(args.end(), args_.begin(), args_.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, kDnsmasq, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error_ = std::string("cannot start dnsmasq: ") + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  if (Answers(5000)) return true;
  error_ = "dnsmasq did not answer on port " + std::to_string(port_);
  Stop();
  return false;
}

bool DnsServer::Answers(int timeoutMs) {
  // A query for "probe.kestran" type A; any reply at all means the server is up.
  static const unsigned char kQuery[] = {0x4b, 0x45, 0x01, 0x00, 0,   1,   0,   0, 0,   0,   0,
                                         0,    5,    'p',  'r',  'o', 'b', 'e', 7, 'k', 'e', 's',
                                         't',  'r',  'a',  'n',  0,   0,   1,   0, 1};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // it exited (port taken, bad option)
      break;
    }
    ::sendto(fd, kQuery, sizeof kQuery, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) == 1) {
      unsigned char reply[512];
      ssize_t n = ::recv(fd, reply, sizeof reply, 0);
      ok = n >= 12 && reply[0] == 0x4b && reply[1] == 0x45;
    }
  }
  ::close(fd);
  return ok;
}

void DnsServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

SilentUdpPort::SilentUdpPort() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port_ = ntohs(a.sin_port);
  }
}

SilentUdpPort::~SilentUdpPort() {
  if (fd_ >= 0) ::close(fd_);
}

std::string SilentUdpPort::server() const {
  return "127.0.0.1:" + std::to_string(port_);
}

}  // namespace kestran::test
