#include "deliver/deliver_settings.h"

#include <unistd.h>

#include <algorithm>

#include "config/registry_access.h"
#include "config/settings_loader.h"
#include "platform/paths.h"

namespace kestran {

std::optional<TNextHop> TDeliverSettings::Transport() const {
  return ParseNextHop(DeliverTo);
}

std::optional<TNextHop> TDeliverSettings::BounceTransport() const {
  if (TrimBlanks(BounceTo).empty()) return std::nullopt;
  return ParseNextHop(BounceTo);
}

std::string NativeQueueDir(const TDeliverSettings& s) {
  std::string native;
  if (!TranslatePath(s.QueueDir, native) || native.empty()) return {};
  if (native.back() != '/') native += '/';
  return native;
}

std::string NativeMetricsFile(const TDeliverSettings& s) {
  std::string native;
  if (s.DeliverMetricsFile.empty() || !TranslatePath(s.DeliverMetricsFile, native)) return {};
  return native;
}

TDeliverSettings LoadDeliverSettings() {
  TReceiverSettings receiver;
  LoadHostSettings(receiver);
  LoadOwnSettings(receiver);
  NormalizeDirs(receiver);

  TDeliverSettings s;
  s.QueueDir = AddBackslash(receiver.MailQueueDir);
  s.MetricsInterval = receiver.MetricsInterval;
  s.HostName = receiver.HostName;
  for (const auto& d : receiver.LocalDomains)
    if (!TrimBlanks(d).empty()) s.LocalDomains.push_back(TrimBlanks(d));
  TRegistry reg(kKeyRead);
  if (reg.OpenKey(kOwnKey, false)) {
    auto number = [&](const char* name, uint32_t& field) {
      if (reg.ValueExists(name)) field = static_cast<uint32_t>(reg.ReadInteger(name));
    };
    if (reg.ValueExists("DeliverTo")) s.DeliverTo = reg.ReadString("DeliverTo");
    if (reg.ValueExists("BounceTo")) s.BounceTo = reg.ReadString("BounceTo");
    if (reg.ValueExists("DeliverMetricsFile"))
      s.DeliverMetricsFile = TrimBlanks(reg.ReadString("DeliverMetricsFile"));
    number("DeliverConcurrency", s.DeliverConcurrency);
    number("DeliverMaxHours", s.DeliverMaxHours);
    uint32_t verify = 0;
    number("DeliverTLSVerify", verify);
    s.DeliverTLSVerify = verify != 0;
    number("DeliverTimeout", s.DeliverTimeout);
    number("DeliverRecipientLimit", s.DeliverRecipientLimit);
  }
  s.DeliverRecipientLimit = std::clamp<uint32_t>(s.DeliverRecipientLimit, 1, 1000);
  s.DeliverConcurrency = std::clamp<uint32_t>(s.DeliverConcurrency, 1, 256);
  if (s.DeliverTimeout == 0) s.DeliverTimeout = 300;
  if (!TrimBlanks(s.DeliverTo).empty() && !s.Transport())
    throw Exception("Invalid transport '" + s.DeliverTo + "' in 'DeliverTo'");
  if (!TrimBlanks(s.BounceTo).empty() && !ParseNextHop(s.BounceTo))
    throw Exception("Invalid transport '" + s.BounceTo + "' in 'BounceTo'");
  return s;
}

}  // namespace kestran
