#include "config/setting_catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "config/registry_access.h"
#include "config/settings_loader.h"

namespace kestran {
namespace {

std::string Show(bool v) {
  return v ? "on" : "off";
}
std::string Show(uint32_t v) {
  return std::to_string(v);
}
std::string Show(int32_t v) {
  return std::to_string(v);
}
std::string Show(const std::string& v) {
  return "\"" + v + "\"";
}

#define KESTRAN_SETTING(field)                                       \
  TSettingEntry {                                                    \
#field, [](const TReceiverSettings& s) { return Show(s.field); } \
  }

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) between a and b.
size_t EditDistance(const std::string& a, const std::string& b) {
  const size_t n = a.size(), m = b.size();
  std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
  for (size_t i = 0; i <= n; ++i) d[i][0] = i;
  for (size_t j = 0; j <= m; ++j) d[0][j] = j;
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = 1; j <= m; ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[n][m];
}

// Value names of the own key that are not settings: the message counter.
const std::vector<std::string>& OtherOwnValues() {
  static const std::vector<std::string> names = {"LastMsgId"};
  return names;
}

template <class F>
void ForEachKnownName(F f) {
  for (const auto& e : ReceiverSettingEntries()) f(std::string(e.Name));
  for (const auto& n : DeliverSettingNames()) f(n);
  for (const auto& n : OtherOwnValues()) f(n);
}

}  // namespace

const std::vector<TSettingEntry>& ReceiverSettingEntries() {
  static const std::vector<TSettingEntry> entries = {
      KESTRAN_SETTING(MailRootDir),
      KESTRAN_SETTING(MailQueueDir),
      KESTRAN_SETTING(InlogDir),
      KESTRAN_SETTING(Pop3logDir),
      KESTRAN_SETTING(VerifyDomains),
      KESTRAN_SETTING(AllowRelay),
      KESTRAN_SETTING(DoLocalNets),
      KESTRAN_SETTING(DoLocalUser),
      KESTRAN_SETTING(UseLMSLists),
      KESTRAN_SETTING(UseNTUserDatabase),
      KESTRAN_SETTING(UsePlugin1List),
      KESTRAN_SETTING(Plugin1ConfigFile),
      KESTRAN_SETTING(BlackListRejectionNotice),
      KESTRAN_SETTING(NTGroupNameNotice),
      KESTRAN_SETTING(DoExtendedErrors),
      KESTRAN_SETTING(MailInlogEnabled),
      KESTRAN_SETTING(DoPopAuth),
      KESTRAN_SETTING(DoDNSLists),
      KESTRAN_SETTING(DelayMinutes),
      KESTRAN_SETTING(Port),
      KESTRAN_SETTING(BoundIP),
      KESTRAN_SETTING(DNSServers),
      KESTRAN_SETTING(DNSTimeout),
      KESTRAN_SETTING(ReceiveTimeout),
      KESTRAN_SETTING(MaxLineLength),
      KESTRAN_SETTING(MaxMessageSize),
      KESTRAN_SETTING(MaxRecipients),
      KESTRAN_SETTING(MaxEnvelopeMemoryMB),
      KESTRAN_SETTING(MaxConnections),
      KESTRAN_SETTING(MaxConnectionsPerIP),
      KESTRAN_SETTING(IPv6),
      KESTRAN_SETTING(BoundIPv6),
      KESTRAN_SETTING(IPv6PrefixLength),
      KESTRAN_SETTING(SyncQueueFiles),
      KESTRAN_SETTING(MaxQueuedMessages),
      KESTRAN_SETTING(MinFreeSpaceMB),
      KESTRAN_SETTING(MetricsFile),
      KESTRAN_SETTING(MetricsInterval),
      KESTRAN_SETTING(ESMTP),
      KESTRAN_SETTING(Chunking),
      KESTRAN_SETTING(SMTPUTF8),
      KESTRAN_SETTING(TLSCertificateFile),
      KESTRAN_SETTING(TLSKeyFile),
      KESTRAN_SETTING(TLSCertificateThumbprint),
      KESTRAN_SETTING(MaxTLSHandshakes),
      KESTRAN_SETTING(ConnectRatePerMinute),
      KESTRAN_SETTING(ConnectBurst),
      KESTRAN_SETTING(MessageRatePerMinute),
      KESTRAN_SETTING(MessageBurst),
      KESTRAN_SETTING(RecipientRatePerMinute),
      KESTRAN_SETTING(RecipientBurst),
      KESTRAN_SETTING(RateLimitLogOnly),
      KESTRAN_SETTING(RateLimitTableSize),
      KESTRAN_SETTING(BadRecipientLimit),
      KESTRAN_SETTING(GreetPause),
      KESTRAN_SETTING(GreetPassHours),
      KESTRAN_SETTING(HostName),
      KESTRAN_SETTING(MaxHops),
      KESTRAN_SETTING(VerifyRecipients),
      KESTRAN_SETTING(VerifyTimeout),
      KESTRAN_SETTING(VerifyPositiveSeconds),
      KESTRAN_SETTING(VerifyNegativeSeconds),
  };
  return entries;
}

#undef KESTRAN_SETTING

const std::vector<TListEntry>& ReceiverListEntries() {
  static const std::vector<TListEntry> entries = {
      {"LocalNets", &TReceiverSettings::LocalNets},
      {"LocalBlackList", &TReceiverSettings::LocalBlackList},
      {"WhiteList", &TReceiverSettings::WhiteList},
      {"ProxyNets", &TReceiverSettings::ProxyNets},
      {"RateLimitExempt", &TReceiverSettings::RateLimitExempt},
      {"LocalDomains", &TReceiverSettings::LocalDomains},
      {"DNSLists", &TReceiverSettings::DNSLists},
  };
  return entries;
}

const std::vector<std::string>& DeliverSettingNames() {
  static const std::vector<std::string> names = {
      "DeliverTo",      "BounceTo",         "DeliverConcurrency", "DeliverMaxHours",
      "DeliverTimeout", "DeliverTLSVerify", "DeliverMetricsFile", "DeliverRecipientLimit",
  };
  return names;
}

std::string ShowOwnValue(const std::string& name) {
  TRegistry reg(kKeyRead);
  if (!reg.OpenKey(kOwnKey, false) || !reg.ValueExists(name)) return "";
  try {
    return "\"" + reg.ReadString(name) + "\" (registry)";
  } catch (const Exception&) {
  }
  try {
    return std::to_string(static_cast<uint32_t>(reg.ReadInteger(name))) + " (registry)";
  } catch (const Exception& e) {
    return "unreadable (" + e.Message() + ")";
  }
}

bool IsKnownSetting(const std::string& name) {
  const std::string key = Lower(name);
  bool known = false;
  ForEachKnownName([&](const std::string& n) { known = known || Lower(n) == key; });
  return known;
}

std::string ClosestKnownSetting(const std::string& name) {
  const std::string key = Lower(name);
  std::string best;
  size_t bestDistance = SIZE_MAX;
  ForEachKnownName([&](const std::string& n) {
    const size_t d = EditDistance(key, Lower(n));
    if (d < bestDistance) {
      bestDistance = d;
      best = n;
    }
  });
  // Close enough to be a slip of the keyboard: a third of the name, at least one edit.
  const size_t allowed = std::max<size_t>(1, std::min(key.size(), best.size()) / 3);
  return bestDistance <= allowed ? best : std::string();
}

std::string UnknownSettingWarning(const std::string& name) {
  std::string text = "unknown setting '" + name + "'";
  const std::string closest = ClosestKnownSetting(name);
  if (!closest.empty()) text += "; did you mean '" + closest + "'?";
  return text;
}

std::vector<std::string> UnknownSettingWarnings() {
  std::vector<std::string> warnings;
  TRegistry reg(kKeyRead);
  if (!reg.OpenKey(kOwnKey, false)) return warnings;
  for (const auto& name : reg.GetValueNames())
    if (!name.empty() && !IsKnownSetting(name)) warnings.push_back(UnknownSettingWarning(name));
  reg.CloseKey();
  return warnings;
}

}  // namespace kestran
