#include "config/settings_loader.h"

#include <algorithm>

#include "config/registry_access.h"

namespace kestran {

std::string AddBackslash(const std::string& path) {
  if (path.empty() || path.back() == '\\') return path;
  return path + "\\";
}

std::string TrimBlanks(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

void NormalizeDirs(TReceiverSettings& s) {
  s.MailRootDir = AddBackslash(s.MailRootDir);
  s.MailQueueDir = AddBackslash(s.MailQueueDir);
  s.InlogDir = AddBackslash(s.InlogDir);
  s.Pop3logDir = AddBackslash(s.Pop3logDir);
}

namespace {

// The host stores its local domains as raw bytes, in practice a multi-string.
constexpr size_t kMaxDomainBytes = 4096;

void ReadString(const TRegistry& reg, const char* name, std::string& field) {
  if (reg.ValueExists(name)) field = reg.ReadString(name);
}

void ReadBool(const TRegistry& reg, const char* name, bool& field) {
  if (reg.ValueExists(name)) field = reg.ReadBool(name);
}

void ReadInt(const TRegistry& reg, const char* name, int32_t& field) {
  if (reg.ValueExists(name)) field = reg.ReadInteger(name);
}

void ReadDword(const TRegistry& reg, const char* name, uint32_t& field) {
  if (reg.ValueExists(name)) field = static_cast<uint32_t>(reg.ReadInteger(name));
}

// A value-list subkey: when the key opens, the list becomes its trimmed, non-empty data.
void LoadValueList(TRegistry& reg, const std::string& path, TStringList& list) {
  if (!reg.OpenKey(path, false)) return;
  list.clear();
  for (const auto& name : reg.GetValueNames()) {
    if (!reg.ValueExists(name)) continue;
    std::string v = TrimBlanks(reg.ReadString(name));
    if (!v.empty()) list.push_back(v);
  }
  reg.CloseKey();
}

}  // namespace

void LoadHostSettings(TReceiverSettings& s) {
  TRegSnapshot snapshot;
  TRegistry reg;
  std::string domains;
  if (reg.OpenKey(kHostKey, false)) {
    ReadString(reg, "MailSpoolDir", s.MailRootDir);
    if (!s.MailRootDir.empty() && s.MailRootDir.back() != '\\') s.MailRootDir += '\\';
    s.MailQueueDir = s.MailRootDir + "prein\\";
    s.InlogDir = s.MailRootDir + "inlog\\";
    NormalizeDirs(s);
    if (reg.ValueExists("DomainNamesAreLocal")) {
      domains = reg.ReadBinaryData("DomainNamesAreLocal", kMaxDomainBytes);
      for (auto& c : domains)
        if (c == '\0') c = ' ';
    }
    reg.CloseKey();
  }
  size_t start = 0;
  while (start < domains.size()) {
    size_t space = domains.find(' ', start);
    if (space == std::string::npos) space = domains.size();
    std::string piece = TrimBlanks(domains.substr(start, space - start));
    if (!piece.empty()) s.LocalDomains.push_back(piece);
    start = space + 1;
  }
  if (reg.OpenKey(kSmtprcvKey, false)) {
    ReadBool(reg, "MailInLogEnabled", s.MailInlogEnabled);
    if (reg.ValueExists("MailQueueDir"))
      s.MailQueueDir = s.MailRootDir + reg.ReadString("MailQueueDir");
    reg.CloseKey();
  }
}

void LoadResolverSettings(TReceiverSettings& s) {
  TRegSnapshot snapshot;
  TRegistry reg;
  if (reg.OpenKey(kOwnKey, false)) {
    ReadString(reg, "DNSServers", s.DNSServers);
    ReadDword(reg, "DNSTimeout", s.DNSTimeout);
    reg.CloseKey();
  }
}

namespace {

// The values that concern this MX's name and the next hop behind it.
void LoadNextHopSettings(TRegistry& reg, TReceiverSettings& s) {
  ReadString(reg, "HostName", s.HostName);
  s.HostName = TrimBlanks(s.HostName);
  ReadDword(reg, "MaxHops", s.MaxHops);
  ReadBool(reg, "VerifyRecipients", s.VerifyRecipients);
  ReadDword(reg, "VerifyTimeout", s.VerifyTimeout);
  if (s.VerifyTimeout == 0) s.VerifyTimeout = 10;
  ReadDword(reg, "VerifyPositiveSeconds", s.VerifyPositiveSeconds);
  ReadDword(reg, "VerifyNegativeSeconds", s.VerifyNegativeSeconds);
  ReadString(reg, "DeliverTo", s.DeliverTo);
}

}  // namespace

void LoadOwnSettings(TReceiverSettings& s) {
  TRegSnapshot snapshot;  // one reading of the registry for every key and value
  TRegistry reg;
  const std::string own = kOwnKey;
  if (reg.OpenKey(own, false)) {
    ReadString(reg, "MailRootDir", s.MailRootDir);
    ReadString(reg, "MailQueueDir", s.MailQueueDir);
    ReadString(reg, "InlogDir", s.InlogDir);
    ReadString(reg, "Pop3logDir", s.Pop3logDir);
    ReadBool(reg, "VerifyDomains", s.VerifyDomains);
    ReadBool(reg, "AllowRelay", s.AllowRelay);
    ReadBool(reg, "DoLocalNets", s.DoLocalNets);
    ReadBool(reg, "DoLocalUser", s.DoLocalUser);
    ReadBool(reg, "UseLMSLists", s.UseLMSLists);
    ReadBool(reg, "UseNTUserDatabase", s.UseNTUserDatabase);
    ReadBool(reg, "UsePlugin1List", s.UsePlugin1List);
    ReadString(reg, "Plugin1ConfigFile", s.Plugin1ConfigFile);
    ReadString(reg, "BlackListRejectionNotice", s.BlackListRejectionNotice);
    ReadString(reg, "NTGroupNameNotice", s.NTGroupNameNotice);
    ReadBool(reg, "DoExtendedErrors", s.DoExtendedErrors);
    ReadBool(reg, "MailInlogEnabled", s.MailInlogEnabled);
    ReadBool(reg, "DoPopAuth", s.DoPopAuth);
    ReadBool(reg, "DoDNSLists", s.DoDNSLists);
    ReadInt(reg, "DelayMinutes", s.DelayMinutes);
    ReadDword(reg, "Port", s.Port);
    ReadString(reg, "BoundIP", s.BoundIP);
    ReadString(reg, "DNSServers", s.DNSServers);
    ReadDword(reg, "DNSTimeout", s.DNSTimeout);
    ReadDword(reg, "ReceiveTimeout", s.ReceiveTimeout);
    ReadDword(reg, "MaxLineLength", s.MaxLineLength);
    ReadDword(reg, "MaxMessageSize", s.MaxMessageSize);
    ReadDword(reg, "MaxRecipients", s.MaxRecipients);
    if (s.MaxRecipients != 0 && s.MaxRecipients < kMinMaxRecipients)
      s.MaxRecipients = kMinMaxRecipients;
    ReadDword(reg, "MaxEnvelopeMemoryMB", s.MaxEnvelopeMemoryMB);
    ReadDword(reg, "MaxConnections", s.MaxConnections);
    ReadDword(reg, "MaxConnectionsPerIP", s.MaxConnectionsPerIP);
    ReadBool(reg, "IPv6", s.IPv6);
    ReadString(reg, "BoundIPv6", s.BoundIPv6);
    ReadDword(reg, "IPv6PrefixLength", s.IPv6PrefixLength);
    ReadBool(reg, "SyncQueueFiles", s.SyncQueueFiles);
    ReadDword(reg, "MaxQueuedMessages", s.MaxQueuedMessages);
    ReadDword(reg, "MinFreeSpaceMB", s.MinFreeSpaceMB);
    ReadDword(reg, "ConnectRatePerMinute", s.ConnectRatePerMinute);
    ReadDword(reg, "ConnectBurst", s.ConnectBurst);
    ReadDword(reg, "MessageRatePerMinute", s.MessageRatePerMinute);
    ReadDword(reg, "MessageBurst", s.MessageBurst);
    ReadDword(reg, "RecipientRatePerMinute", s.RecipientRatePerMinute);
    ReadDword(reg, "RecipientBurst", s.RecipientBurst);
    ReadBool(reg, "RateLimitLogOnly", s.RateLimitLogOnly);
    ReadDword(reg, "RateLimitTableSize", s.RateLimitTableSize);
    ReadDword(reg, "BadRecipientLimit", s.BadRecipientLimit);
    ReadDword(reg, "GreetPause", s.GreetPause);
    ReadDword(reg, "GreetPassHours", s.GreetPassHours);
    ReadString(reg, "MetricsFile", s.MetricsFile);
    ReadDword(reg, "MetricsInterval", s.MetricsInterval);
    s.MetricsInterval =
        std::clamp<uint32_t>(s.MetricsInterval, kMinMetricsInterval, kMaxMetricsInterval);
    ReadBool(reg, "ESMTP", s.ESMTP);
    ReadBool(reg, "Chunking", s.Chunking);
    ReadBool(reg, "SMTPUTF8", s.SMTPUTF8);
    ReadString(reg, "TLSCertificateFile", s.TLSCertificateFile);
    ReadString(reg, "TLSKeyFile", s.TLSKeyFile);
    ReadString(reg, "TLSCertificateThumbprint", s.TLSCertificateThumbprint);
    ReadDword(reg, "MaxTLSHandshakes", s.MaxTLSHandshakes);
    LoadNextHopSettings(reg, s);
    reg.CloseKey();
  }

  LoadValueList(reg, own + "\\LocalNets", s.LocalNets);
  LoadValueList(reg, own + "\\LocalBlackList", s.LocalBlackList);
  LoadValueList(reg, own + "\\WhiteList", s.WhiteList);
  LoadValueList(reg, own + "\\ProxyNets", s.ProxyNets);
  LoadValueList(reg, own + "\\RateLimitExempt", s.RateLimitExempt);
  LoadValueList(reg, own + "\\LocalDomains", s.LocalDomains);

  const std::string dns = own + "\\DNSLists";
  if (reg.OpenKey(dns, false)) {
    s.DNSLists.clear();
    s.DNSDenyTexts.clear();
    s.DNSListsIPv6.clear();
    TStringList names = reg.GetKeyNames();
    reg.CloseKey();
    for (const auto& name : names) {
      if (!reg.OpenKey(dns + "\\" + name, false)) continue;
      if (reg.ValueExists("Server")) {
        std::string server = TrimBlanks(reg.ReadString("Server"));
        std::string deny;
        if (reg.ValueExists("DenyText")) deny = TrimBlanks(reg.ReadString("DenyText"));
        if (deny.empty()) deny = server;
        if (!server.empty()) {
          s.DNSLists.push_back(server);
          s.DNSDenyTexts.push_back(deny);
          bool ipv6 = true;
          ReadBool(reg, "IPv6", ipv6);
          s.DNSListsIPv6.push_back(ipv6);
        }
      }
      reg.CloseKey();
    }
  }
}

}  // namespace kestran
