#pragma once
// The event log: one event source writes entries to the system log. On this system an
// entry is an RFC 3164 datagram to the local syslog socket (/dev/log, or the datagram
// socket named by KESTRAN_SYSLOG_SOCKET), facility daemon, tagged with the source name.

#include <cstdint>
#include <string>

namespace kestran {

// Event types.
constexpr uint16_t kEventSuccess = 0;
constexpr uint16_t kEventError = 1;
constexpr uint16_t kEventWarning = 2;
constexpr uint16_t kEventInformation = 4;

// An open event source; closed by its destructor.
class TEventSource {
 public:
  // Opens the source; IsOpen() is false when the log cannot be reached.
  explicit TEventSource(const std::string& sourceName);
  TEventSource(const TEventSource&) = delete;
  TEventSource& operator=(const TEventSource&) = delete;
  ~TEventSource();

  bool IsOpen() const { return fd_ >= 0; }
  // Writes one entry: success and information as info, warning as warning, error as
  // err. The event identifier is not part of the text. False when it was not sent.
  bool Report(uint16_t eventType, uint32_t eventId, const std::string& text);

 private:
  std::string source_;
  int fd_ = -1;
};

// The datagram written for one entry (without the socket), for the given local time
// in seconds since the epoch and process id.
std::string FormatSyslogEntry(const std::string& source, uint16_t eventType,
                              const std::string& text, int64_t unixTime, long pid);

}  // namespace kestran
