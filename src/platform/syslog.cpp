#include "platform/syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestran {
namespace {

constexpr int kFacilityDaemon = 3;
constexpr int kSeverityErr = 3;
constexpr int kSeverityWarning = 4;
constexpr int kSeverityInfo = 6;
// Longest datagram sent; longer texts are cut.
constexpr size_t kMaxEntry = 8192;

int SeverityOf(uint16_t eventType) {
  switch (eventType) {
    case kEventError:
      return kSeverityErr;
    case kEventWarning:
      return kSeverityWarning;
    default:
      return kSeverityInfo;
  }
}

std::string SocketPath() {
  const char* env = std::getenv("KESTRAN_SYSLOG_SOCKET");
  if (env && *env) return env;
  return "/dev/log";
}

}  // namespace

std::string FormatSyslogEntry(const std::string& source, uint16_t eventType,
                              const std::string& text, int64_t unixTime, long pid) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(unixTime);
  struct tm tmv {};
  localtime_r(&t, &tmv);
  char head[96];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ",
                kFacilityDaemon * 8 + SeverityOf(eventType), kMonths[tmv.tm_mon % 12], tmv.tm_mday,
                tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  std::string entry = head;
  entry += source.empty() ? std::string("-") : source;
  entry += "[" + std::to_string(pid) + "]: ";
  entry += text;
  if (entry.size() > kMaxEntry) entry.resize(kMaxEntry);
  return entry;
}

TEventSource::TEventSource(const std::string& sourceName) : source_(sourceName) {
  std::string path = SocketPath();
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

TEventSource::~TEventSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool TEventSource::Report(uint16_t eventType, uint32_t /*eventId*/, const std::string& text) {
  if (fd_ < 0) return false;
  std::string entry =
      FormatSyslogEntry(source_, eventType, text, static_cast<int64_t>(::time(nullptr)),
                        static_cast<long>(::getpid()));
  for (;;) {
    ssize_t n = ::send(fd_, entry.data(), entry.size(), MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    return false;
  }
}

}  // namespace kestran
