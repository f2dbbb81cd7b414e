#include "platform/resolver.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/ip_address.h"
#include "platform/resolver_common.h"
#include "platform/sockets.h"

namespace kestran {

namespace {

using namespace resolver_common;

std::mutex gConfigLock;
std::string gServers;     // as given
std::string gServersCsv;  // normalised for c-ares
uint32_t gTimeoutMs = kDefaultDnsTimeoutMs;

bool LibraryReady() {
  static std::once_flag once;
  static int status = ARES_SUCCESS;
  std::call_once(once, [] { status = ares_library_init(ARES_LIB_INIT_ALL); });
  return status == ARES_SUCCESS;
}

bool ParseDottedStrict(const std::string& s) {
  uint8_t bytes[4];
  return ParseIPv4Bytes(s, bytes);
}

// "address[:port],..." into c-ares' list form; false when an entry is malformed.
bool NormaliseServers(const std::string& servers, std::string& csv) {
  csv.clear();
  size_t pos = 0;
  while (pos <= servers.size()) {
    size_t comma = servers.find(',', pos);
    if (comma == std::string::npos) comma = servers.size();
    std::string entry = Trim(servers.substr(pos, comma - pos));
    pos = comma + 1;
    if (entry.empty()) {
      if (comma == servers.size()) break;
      continue;
    }
    std::string address = entry;
    std::string port;
    size_t colon = entry.find(':');
    if (colon != std::string::npos) {
      address = entry.substr(0, colon);
      port = entry.substr(colon + 1);
      if (port.empty() || port.size() > 5) return false;
      unsigned p = 0;
      for (char c : port) {
        if (c < '0' || c > '9') return false;
        p = p * 10 + static_cast<unsigned>(c - '0');
      }
      if (p == 0 || p > 65535) return false;
    }
    if (!ParseDottedStrict(address)) return false;
    if (!csv.empty()) csv += ",";
    csv += address;
    if (!port.empty()) csv += ":" + port;
    if (comma == servers.size()) break;
  }
  return !csv.empty();
}

int MapStatus(int status) {
  switch (status) {
    case ARES_ENODATA:
      return kNoData;
    case ARES_ENOTFOUND:
    case ARES_EBADNAME:
      return kHostNotFound;
    case ARES_ESERVFAIL:
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
      return kTryAgain;
    case ARES_ENOMEM:
      return 10055;
    default:
      return kNoRecovery;
  }
}

struct Result {
  bool done = false;
  int status = ARES_ETIMEOUT;
  THostEntry entry;
};

void OnHost(void* arg, int status, int timeouts, hostent* host) {
  auto* r = static_cast<Result*>(arg);
  r->done = true;
  // A reverse lookup whose servers did not answer ends as "not found"; it is a time-out.
  if (status == ARES_ENOTFOUND && timeouts > 0) status = ARES_ETIMEOUT;
  r->status = status;
  if (status != ARES_SUCCESS || host == nullptr) return;
  if (host->h_name != nullptr) r->entry.h_name = host->h_name;
  if (host->h_aliases != nullptr) {
    for (char** a = host->h_aliases; *a != nullptr; ++a) r->entry.h_aliases.emplace_back(*a);
  }
  if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list != nullptr) {
    for (char** a = host->h_addr_list; *a != nullptr; ++a) {
      std::array<uint8_t, 4> bytes;
      std::memcpy(bytes.data(), *a, 4);
      r->entry.h_addr_list.push_back(bytes);
    }
  }
}

struct PtrQuery {
  const uint8_t* addr = nullptr;
  int len = 4;
  int family = AF_INET;
  Result result;
};

void OnPtr(void* arg, int status, int /*timeouts*/, unsigned char* abuf, int alen) {
  auto* q = static_cast<PtrQuery*>(arg);
  Result& r = q->result;
  r.done = true;
  if (status == ARES_SUCCESS) {
    hostent* host = nullptr;
    status = ares_parse_ptr_reply(abuf, alen, q->addr, q->len, q->family, &host);
    if (status == ARES_SUCCESS && host != nullptr) {
      if (host->h_name != nullptr) r.entry.h_name = host->h_name;
      if (host->h_aliases != nullptr) {
        for (char** a = host->h_aliases; *a != nullptr; ++a) r.entry.h_aliases.emplace_back(*a);
      }
    }
    if (host != nullptr) ares_free_hostent(host);
  }
  r.status = status;
}

// One channel per lookup: lookups on different threads share nothing.
class Channel {
 public:
  // lookups: "fb" hosts file, then DNS; "f" the hosts file only.
  explicit Channel(const char* lookups = "fb") {
    std::string csv;
    uint32_t timeoutMs;
    {
      std::lock_guard<std::mutex> g(gConfigLock);
      csv = gServersCsv;
      timeoutMs = gTimeoutMs;
    }
    timeoutMs_ = timeoutMs;
    ares_options opts{};
    int mask = ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_LOOKUPS;
    // Two tries, the second waiting twice as long: the whole time-out (enforced by Wait)
    // ends while the second try is still waiting, so a silent server counts as a time-out.
    opts.timeout = static_cast<int>(timeoutMs / 2 > 0 ? timeoutMs / 2 : 1);
    opts.tries = 2;
    std::string order = lookups;
    opts.lookups = order.data();
    if (!csv.empty()) {
      // Configured servers are asked for names exactly as given.
      mask |= ARES_OPT_DOMAINS;
      opts.domains = nullptr;
      opts.ndomains = 0;
    }
    status_ = ares_init_options(&channel_, &opts, mask);
    if (status_ == ARES_SUCCESS && !csv.empty()) {
      status_ = ares_set_servers_ports_csv(channel_, csv.c_str());
    }
  }
  ~Channel() {
    if (channel_ != nullptr) ares_destroy(channel_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int Status() const { return status_; }
  ares_channel Get() { return channel_; }

  // Runs the channel until the lookup has called back or the time-out ran out.
  void Wait(Result& r) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    while (!r.done) {
      auto now = Clock::now();
      // An abandoned lookup ends like one that ran out of time.
      if (now >= deadline || LookupsAbandoned()) {
        ares_cancel(channel_);
        if (!r.done) {
          r.done = true;
          r.status = ARES_ETIMEOUT;
        } else if (r.status == ARES_ECANCELLED) {
          r.status = ARES_ETIMEOUT;
        }
        break;
      }
      ares_socket_t socks[ARES_GETSOCK_MAXNUM];
      int bits = ares_getsock(channel_, socks, ARES_GETSOCK_MAXNUM);
      pollfd fds[ARES_GETSOCK_MAXNUM];
      int n = 0;
      for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
        if (events == 0) continue;
        fds[n++] = pollfd{socks[i], events, 0};
      }
      auto remain =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      timeval maxtv{};
      maxtv.tv_sec = static_cast<time_t>(remain / 1000);
      maxtv.tv_usec = static_cast<suseconds_t>((remain % 1000) * 1000);
      timeval tv{};
      timeval* t = ares_timeout(channel_, &maxtv, &tv);
      int waitMs = static_cast<int>(t->tv_sec * 1000 + t->tv_usec / 1000);
      if (waitMs < 1) waitMs = 1;
      if (waitMs > static_cast<int>(kWaitSliceMs)) waitMs = static_cast<int>(kWaitSliceMs);
      if (n == 0) {
        ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        if (!r.done) {
          // Nothing to wait on: let the clock run to the next c-ares time-out.
          ::poll(nullptr, 0, waitMs);
          ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        }
        continue;
      }
      int rc = ::poll(fds, static_cast<nfds_t>(n), waitMs);
      if (rc <= 0) {
        ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        continue;
      }
      for (int i = 0; i < n && !r.done; ++i) {
        ares_socket_t rd =
            (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) ? fds[i].fd : ARES_SOCKET_BAD;
        ares_socket_t wr = (fds[i].revents & POLLOUT) ? fds[i].fd : ARES_SOCKET_BAD;
        if (rd != ARES_SOCKET_BAD || wr != ARES_SOCKET_BAD) ares_process_fd(channel_, rd, wr);
      }
    }
  }

 private:
  ares_channel channel_ = nullptr;
  int status_ = ARES_SUCCESS;
  uint32_t timeoutMs_ = kDefaultDnsTimeoutMs;
};

std::optional<THostEntry> Finish(Result& r) {
  if (r.status == ARES_SUCCESS) {
    SockSetLastError(0);
    return std::move(r.entry);
  }
  SockSetLastError(MapStatus(r.status));
  return std::nullopt;
}

}  // namespace

bool SetResolverConfig(const std::string& servers, uint32_t timeoutMs) {
  std::string csv;
  std::string trimmed = Trim(servers);
  if (!trimmed.empty() && !NormaliseServers(trimmed, csv)) return false;
  std::lock_guard<std::mutex> g(gConfigLock);
  gServers = trimmed;
  gServersCsv = csv;
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
  if (!LibraryReady()) {
    SockSetLastError(kNoRecovery);
    return std::nullopt;
  }
  Channel ch;
  if (ch.Status() != ARES_SUCCESS) {
    SockSetLastError(MapStatus(ch.Status()));
    return std::nullopt;
  }
  Result r;
  ares_gethostbyname(ch.Get(), name.c_str(), AF_INET, &OnHost, &r);
  ch.Wait(r);
  return Finish(r);
}

namespace {

// A reverse lookup: the hosts file first, then a PTR query of its own, which (unlike the
// combined lookup) tells a name without data from a name that does not exist.
template <size_t N>
std::optional<THostEntry> ReverseLookup(const std::array<uint8_t, N>& addr, int family) {
  if (!LibraryReady()) {
    SockSetLastError(kNoRecovery);
    return std::nullopt;
  }
  Channel ch;
  if (ch.Status() != ARES_SUCCESS) {
    SockSetLastError(MapStatus(ch.Status()));
    return std::nullopt;
  }
  {
    Channel files("f");
    if (files.Status() == ARES_SUCCESS) {
      Result r;
      ares_gethostbyaddr(files.Get(), addr.data(), static_cast<int>(N), family, &OnHost, &r);
      files.Wait(r);
      if (r.status == ARES_SUCCESS) {
        if constexpr (N == 4) {
          if (r.entry.h_addr_list.empty()) r.entry.h_addr_list.push_back(addr);
        }
        return Finish(r);
      }
    }
  }
  std::string ptrName = ReverseLookupName(addr);
  PtrQuery q;
  q.addr = addr.data();
  q.len = static_cast<int>(N);
  q.family = family;
  ares_query(ch.Get(), ptrName.c_str(), 1 /* class IN */, 12 /* type PTR */, &OnPtr, &q);
  ch.Wait(q.result);
  if constexpr (N == 4) {
    if (q.result.status == ARES_SUCCESS) q.result.entry.h_addr_list.push_back(addr);
  }
  return Finish(q.result);
}

}  // namespace

std::optional<THostEntry> ResolveHostByAddr(const std::array<uint8_t, 4>& addr) {
  return ReverseLookup(addr, AF_INET);
}

std::optional<THostEntry> ResolveHostByAddr6(const std::array<uint8_t, 16>& addr) {
  return ReverseLookup(addr, AF_INET6);
}

std::string LocalHostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

}  // namespace kestran
