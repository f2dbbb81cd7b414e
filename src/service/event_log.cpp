#include <algorithm>
#include <cstring>

#include "platform/registry.h"
#include "platform/syslog.h"
#include "service/ntobj.h"

namespace kestran {

TEventLog::TEventLog(const std::string& sourceName) {
  SetSourceName(sourceName);
}

void TEventLog::SetSourceName(const std::string& name) {
  size_t n = std::min<size_t>(name.size(), sizeof sourceName_ - 1);
  std::memset(sourceName_, 0, sizeof sourceName_);
  std::memcpy(sourceName_, name.data(), n);
}

uint16_t TEventLog::EventType(int kind) {
  switch (kind) {
    case kLogSuccess:
      return kEventSuccess;
    case kLogWarning:
      return kEventWarning;
    case kLogError:
    case kLogException:
      return kEventError;
    default:
      return kEventInformation;
  }
}

uint32_t TEventLog::EventId(int kind) {
  switch (kind) {
    case kLogSuccess:
      return 0x00000104;
    case kLogWarning:
      return 0x80000102;
    case kLogError:
      return 0xC0000103;
    case kLogException:
      return 0xC0000100;
    default:
      return 0x40000101;
  }
}

void TEventLog::Report(int kind, const std::string& text) const {
  TEventSource source(sourceName_);
  if (!source.IsOpen()) return;
  source.Report(EventType(kind), EventId(kind), text);
}

std::string TEventLog::SourceKey() const {
  return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + sourceName_;
}

namespace {

// A source name must name one key below Application.
bool UsableSource(const char* name) {
  return *name != 0 && std::strchr(name, '\\') == nullptr;
}

}  // namespace

bool TEventLog::RegisterSource(const std::string& messageFile) const {
  if (!UsableSource(sourceName_)) return false;
  try {
    TRegKey key;
    if (CreateRegKey(SourceKey(), kKeyAllAccess, key) != kRegSuccess) return false;
    if (key.SetString("EventMessageFile", messageFile, kRegExpandSz) != kRegSuccess) return false;
    return key.SetDword("TypesSupported", 7) == kRegSuccess;
  } catch (const Exception&) {
    return false;
  }
}

bool TEventLog::UnregisterSource() const {
  if (!UsableSource(sourceName_)) return false;
  try {
    return DeleteRegKey(SourceKey()) == kRegSuccess;
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace kestran
