#include "platform/os_win32.h"
// (the Windows headers first)
#include "platform/syslog.h"

namespace kestran {

// The event source is opened for each entry and closed after it, so that a log service
// started later is still reached; the constructor only checks that it can be opened.
TEventSource::TEventSource(const std::string& sourceName) : source_(sourceName) {
  HANDLE h = ::RegisterEventSourceA(nullptr, source_.c_str());
  if (h == nullptr) return;
  ::DeregisterEventSource(h);
  fd_ = 0;
}

TEventSource::~TEventSource() = default;

bool TEventSource::Report(uint16_t eventType, uint32_t eventId, const std::string& text) {
  if (fd_ < 0) return false;
  HANDLE h = ::RegisterEventSourceA(nullptr, source_.c_str());
  if (h == nullptr) return false;
  const char* strings[1] = {text.c_str()};
  BOOL ok = ::ReportEventA(h, eventType, 0, eventId, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(h);
  return ok != 0;
}

}  // namespace kestran
