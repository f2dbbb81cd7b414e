#include "programs/kestran/server_setup.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

#include "config/dir_helpers.h"
#include "config/group_members.h"
#include "config/host_lists.h"
#include "config/message_id.h"
#include "config/plugin1.h"
#include "config/receiver_settings.h"
#include "config/settings_loader.h"
#include "platform/error_text.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/resolver.h"
#include "programs/kestran/metrics_file.h"
#include "programs/kestran/plugin_list_watch.h"
#include "programs/kestran/recipient_verification.h"
#include "programs/kestran/settings_warnings.h"
#include "programs/kestran/smtp_service.h"
#include "smtp/queue_leftovers.h"
#include "smtp/subnet.h"

namespace kestran {

TServerSetup& ServerSetup() {
  static auto* setup = new TServerSetup;  // never destroyed, see the header
  return *setup;
}

namespace {

// The valid ranges of texts (a range wider than its text suggests is kept; the start's
// warnings name it).
std::vector<TNetRange> Ranges(const TStringList& texts) {
  std::vector<TNetRange> ranges;
  for (const auto& text : texts)
    if (auto range = ParseNet(text)) ranges.push_back(*range);
  return ranges;
}

// The local users from every source the settings name (aliases and lists, the plug-in
// list file, the group's members), into s.LocalUsers and s.SkipUserVerify.
void LoadLocalUsers(TReceiverSettings& s) {
  s.LocalUsers.clear();
  s.SkipUserVerify.clear();
  if (s.UseLMSLists) LoadHostAliasesAndLists(s);
  if (s.UseNTUserDatabase) {
    TStringList members = GetGroupMembers(s.NTGroupNameNotice);
    for (auto& m : members) s.LocalUsers.push_back(std::move(m));
  }
}

// The names of the settings that differ between a and b and take effect only at a start.
TStringList RestartSettingsChanged(const TReceiverSettings& a, const TReceiverSettings& b) {
  TStringList names;
  auto note = [&](bool differ, const char* name) {
    if (differ) names.push_back(name);
  };
  note(a.Port != b.Port, "Port");
  note(TrimBlanks(a.BoundIP) != TrimBlanks(b.BoundIP), "BoundIP");
  note(a.IPv6 != b.IPv6, "IPv6");
  note(TrimBlanks(a.BoundIPv6) != TrimBlanks(b.BoundIPv6), "BoundIPv6");
  note(a.MailQueueDir != b.MailQueueDir, "MailQueueDir");
  note(a.DNSServers != b.DNSServers, "DNSServers");
  note(a.DNSTimeout != b.DNSTimeout, "DNSTimeout");
  note(a.SyncQueueFiles != b.SyncQueueFiles, "SyncQueueFiles");
  note(a.TLSCertificateFile != b.TLSCertificateFile, "TLSCertificateFile");
  note(a.TLSKeyFile != b.TLSKeyFile, "TLSKeyFile");
  note(a.TLSCertificateThumbprint != b.TLSCertificateThumbprint, "TLSCertificateThumbprint");
  note(a.MaxTLSHandshakes != b.MaxTLSHandshakes, "MaxTLSHandshakes");
  note(a.MetricsFile != b.MetricsFile, "MetricsFile");
  note(a.MetricsInterval != b.MetricsInterval, "MetricsInterval");
  note(a.ConnectRatePerMinute != b.ConnectRatePerMinute, "ConnectRatePerMinute");
  note(a.ConnectBurst != b.ConnectBurst, "ConnectBurst");
  note(a.MessageRatePerMinute != b.MessageRatePerMinute, "MessageRatePerMinute");
  note(a.MessageBurst != b.MessageBurst, "MessageBurst");
  note(a.RecipientRatePerMinute != b.RecipientRatePerMinute, "RecipientRatePerMinute");
  note(a.RecipientBurst != b.RecipientBurst, "RecipientBurst");
  note(a.RateLimitLogOnly != b.RateLimitLogOnly, "RateLimitLogOnly");
  note(a.RateLimitTableSize != b.RateLimitTableSize, "RateLimitTableSize");
  note(a.BadRecipientLimit != b.BadRecipientLimit, "BadRecipientLimit");
  note(a.GreetPause != b.GreetPause, "GreetPause");
  note(a.GreetPassHours != b.GreetPassHours, "GreetPassHours");
  note(a.RateLimitExempt != b.RateLimitExempt, "RateLimitExempt");
  note(a.HostName != b.HostName, "HostName");
  note(a.VerifyRecipients != b.VerifyRecipients, "VerifyRecipients");
  note(a.VerifyTimeout != b.VerifyTimeout, "VerifyTimeout");
  note(a.VerifyPositiveSeconds != b.VerifyPositiveSeconds, "VerifyPositiveSeconds");
  note(a.VerifyNegativeSeconds != b.VerifyNegativeSeconds, "VerifyNegativeSeconds");
  note(a.VerifyRecipients && a.DeliverTo != b.DeliverTo, "DeliverTo");
  note(a.UsePlugin1List != b.UsePlugin1List, "UsePlugin1List");
  note(a.Plugin1ConfigFile != b.Plugin1ConfigFile, "Plugin1ConfigFile");
  return names;
}

void ClearSettingsLists(TReceiverSettings& s) {
  s.LocalNets.clear();
  s.LocalBlackList.clear();
  s.WhiteList.clear();
  s.ProxyNets.clear();
  s.RateLimitExempt.clear();
  s.LocalUsers.clear();
  s.SkipUserVerify.clear();
  s.LocalDomains.clear();
  s.DNSLists.clear();
  s.DNSDenyTexts.clear();
  s.DNSListsIPv6.clear();
}

}  // namespace

bool TServerSetup::Init(TSMTPService* service) {
  LogLock = std::make_unique<TCriticalSection>();
  PopLogLock = std::make_unique<TCriticalSection>();
  ClearSettingsLists(ReceiverSettings);
  Service = service;
  return Configure();
}

bool TServerSetup::Configure() {
  TReceiverSettings& s = ReceiverSettings;

  // The server looks up the machine's own name as it is made: the configured name
  // servers apply to that lookup too.
  {
    TReceiverSettings resolver;
    LoadResolverSettings(resolver);
    if (!SetResolverConfig(resolver.DNSServers, resolver.DNSTimeout))
      throw Exception("Invalid DNS server list '" + resolver.DNSServers + "' in 'DNSServers'");
  }
  SmtpServer = std::make_unique<TConduitSMTPServer>();
  TConduitSMTPServer& server = *SmtpServer;
  server.SetActive(false);

  server.SetBoundIP("");
  server.DNSLists().clear();
  server.SetDoDNSLists(false);
  server.SetDoPOPAuth(false);
  server.SetDoVerifyDomain(false);
  server.SetForwardMail(false);
  server.SetCheckUser(false);
  server.HeaderText().clear();
  server.LocalDomains().clear();
  server.LocalNets().clear();
  server.LocalBlackList().clear();
  server.WhiteList().clear();
  server.ProxyNets().clear();
  server.RateLimitExempt().clear();

  s.LocalUsers.clear();
  s.SkipUserVerify.clear();

  server.SetLogDebug(false);
  server.SetMailWriteDir("");
  server.SetPort(25);
  server.SetSessionTimeout(0);

  server.OnNextIDEvent = [this](int32_t& id, bool& handled) { HandleNextID(id, handled); };
  server.OnPopAuth = [this](const std::string& ip, bool& valid, bool& handled) {
    HandlePopAuth(ip, valid, handled);
  };
  server.OnLogFileEvent = [this](const std::string& entry) { HandleLogFileEvent(entry); };
  server.OnListenerEvent = [this](TEventSeverity severity, const std::string& text) {
    Report(severity == TEventSeverity::Error ? kLogError : kLogWarning, text);
  };
  server.OnQueueWriteFailed = [this](const std::string& file, uint32_t error) {
    HandleQueueWriteFailed(file, error);
  };

  // All settings come from one reading of the registry.
  TRegSnapshot registry;
  LoadHostSettings(s);
  LoadOwnSettings(s);
  NormalizeDirs(s);
  // A counter of the wrong type would fail every message: it stops the start instead.
  CheckMessageCounter();
  if (size_t removed = RemoveRegistryLeftovers())
    Report(kLogInformation, "Removed " + std::to_string(removed) +
                                " temporary registry file(s) left by an interrupted change");

  LoadLocalUsers(s);
  // The plug-in names are the server's own list, read again while it runs.
  pluginWatch_.reset();
  if (s.UsePlugin1List) {
    pluginWatch_ = std::make_unique<TPluginListWatch>(
        s.Plugin1ConfigFile, server.PluginUsers(),
        [this](int kind, const std::string& text) { Report(kind, text); });
    pluginWatch_->Load();
  }

  server.SetMailWriteDir(AddBackslash(s.MailQueueDir));
  for (const auto& w : SettingsWarnings(s)) Report(kLogWarning, w);
  ApplyPolicy(s);
  // The rate limits keep their state while the server runs: they change at a start.
  server.RateLimitExempt() = Ranges(s.RateLimitExempt);

  // The values that the own key adds: listener address and port, resolver, limits,
  // durability.
  if (s.Port == 0 || s.Port > 65535)
    throw Exception("Invalid TCP port " + std::to_string(s.Port) + " in 'Port'");
  server.SetPort(static_cast<int32_t>(s.Port));
  server.SetBoundIP(TrimBlanks(s.BoundIP));
  server.SetIPv6(s.IPv6);
  server.SetBoundIPv6(TrimBlanks(s.BoundIPv6));
  server.SetSyncQueueFiles(s.SyncQueueFiles);
  ConfigureRateLimits(s);
  // The name the MX and PTR records carry, when it is set, replaces the looked-up one.
  if (!s.HostName.empty()) server.SetHostName(s.HostName);
  {
    std::string warning;
    server.SetRecipientVerifier(MakeRecipientVerifier(s, server.HostName(), warning));
    if (!warning.empty()) Report(kLogWarning, warning);
  }
  ConfigureTls(s.TLSCertificateFile, s.TLSKeyFile, s.TLSCertificateThumbprint, s.MaxTLSHandshakes);
  ConfigureMetrics(s);
  SetHandlerSettings(s);
  inForce_ = s;

  bool writable = IsDirWritable(s.MailQueueDir);
  if (!writable) {
    ForceDirPath(s.MailQueueDir);
    writable = IsDirWritable(s.MailQueueDir);
  }
  // What an earlier run left behind is dealt with before any session can add to it.
  if (writable) CleanUpQueue(s.MailQueueDir);
  server.SetActive(writable);
  return server.Active();
}

void TServerSetup::ConfigureRateLimits(const TReceiverSettings& s) {
  TRateLimitSettings r;
  r.ConnectRatePerMinute = s.ConnectRatePerMinute;
  r.ConnectBurst = s.ConnectBurst;
  r.MessageRatePerMinute = s.MessageRatePerMinute;
  r.MessageBurst = s.MessageBurst;
  r.RecipientRatePerMinute = s.RecipientRatePerMinute;
  r.RecipientBurst = s.RecipientBurst;
  r.LogOnly = s.RateLimitLogOnly;
  r.TableSize = s.RateLimitTableSize;
  r.BadRecipientLimit = s.BadRecipientLimit;
  r.GreetPause = s.GreetPause;
  r.GreetPassHours = s.GreetPassHours;
  SmtpServer->SetRateLimits(r);
}

void TServerSetup::ApplyPolicy(const TReceiverSettings& s) {
  TConduitSMTPServer& server = *SmtpServer;
  server.SetLocalDomains(s.LocalDomains);
  server.SetLocalNets(s.DoLocalNets ? Ranges(s.LocalNets) : std::vector<TNetRange>{});
  server.SetLocalBlackList(Ranges(s.LocalBlackList));
  server.SetWhiteList(Ranges(s.WhiteList));
  server.SetProxyNets(Ranges(s.ProxyNets));
  server.SetLocalUsers(s.LocalUsers);
  server.SetSkipUserVerify(s.SkipUserVerify);
  server.SetDNSLists(s.DNSLists);
  server.SetHeaderText(s.DNSDenyTexts);
  server.DNSListsIPv6() = s.DNSListsIPv6;

  server.SetDoDNSLists(s.DoDNSLists);
  server.SetDoPOPAuth(s.DoPopAuth);
  server.SetDoVerifyDomain(s.VerifyDomains);
  server.SetCheckUser(s.DoLocalUser);
  server.SetForwardMail(s.AllowRelay);
  server.SetExtendedErrorRecording(s.DoExtendedErrors);
  server.SetLocalBlackListNotice(s.BlackListRejectionNotice);
  server.SetMaxMessageSize(s.MaxMessageSize);
  server.SetMaxRecipients(s.MaxRecipients);
  server.SetMaxHops(s.MaxHops);
  server.SetEsmtp(s.ESMTP);
  server.SetChunking(s.Chunking);
  server.SetSmtpUtf8(s.SMTPUTF8);

  // Limits that each new connection or transaction takes.
  server.SetReceiveTimeout(s.ReceiveTimeout);
  server.SetMaxLineLength(s.MaxLineLength);
  server.SetMaxEnvelopeMemoryMB(s.MaxEnvelopeMemoryMB);
  server.SetMaxConnections(s.MaxConnections);
  server.SetMaxConnectionsPerIP(s.MaxConnectionsPerIP);
  server.SetIPv6PrefixLength(EffectiveIPv6PrefixLength(s));
}

void TServerSetup::SetHandlerSettings(const TReceiverSettings& s) {
  auto settings = std::make_shared<THandlerSettings>();
  settings->MailInlogEnabled = s.MailInlogEnabled;
  settings->InlogDir = s.InlogDir;
  settings->Pop3logDir = s.Pop3logDir;
  settings->DelayMinutes = s.DelayMinutes;
  std::lock_guard<std::mutex> g(handlerLock_);
  handlerSettings_ = std::move(settings);
}

std::shared_ptr<const TServerSetup::THandlerSettings> TServerSetup::HandlerSettings() const {
  std::lock_guard<std::mutex> g(handlerLock_);
  return handlerSettings_;
}

void TServerSetup::Reload() {
  if (!SmtpServer) return;
  TReceiverSettings s;
  try {
    {
      TRegSnapshot registry;
      LoadHostSettings(s);
      LoadOwnSettings(s);
      NormalizeDirs(s);
    }
    LoadLocalUsers(s);
  } catch (const Exception& e) {
    Report(kLogError, "The settings were not read again, those in force stay: " +
                          std::string(e.ClassName()) + ": " + e.Message());
    return;
  }
  for (const auto& w : SettingsWarnings(s)) Report(kLogWarning, w);
  {
    // Sessions that start meanwhile wait for the whole change; those under way keep what
    // they started with.
    auto lock = SmtpServer->LockPolicy();
    ApplyPolicy(s);
  }
  SmtpServer->SetQueueRoomLimits(s.MaxQueuedMessages, s.MinFreeSpaceMB);
  SmtpServer->Metrics().SetBlockListNames(s.DoDNSLists ? s.DNSLists : TStringList{});
  SetHandlerSettings(s);
  const TStringList restart = RestartSettingsChanged(inForce_, s);
  std::string names;
  for (const auto& n : restart) names += (names.empty() ? "" : ", ") + n;
  Report(kLogInformation, "The settings were read again and apply to new sessions");
  if (!restart.empty())
    Report(kLogWarning,
           "These settings take effect at the next start and stay as they were: " + names);
}

void TServerSetup::ConfigureMetrics(const TReceiverSettings& s) {
  TConduitSMTPServer& server = *SmtpServer;
  server.SetQueueRoom(s.MaxQueuedMessages, s.MinFreeSpaceMB);
  server.QueueRoom().OnChange = [this](bool refusing, const std::string& text) {
    Report(refusing ? kLogWarning : kLogInformation, text);
  };
  server.Metrics().SetBlockListNames(s.DoDNSLists ? s.DNSLists : TStringList{});
  metricsFile_ = TrimBlanks(s.MetricsFile);
  metricsQueueDir_ = s.MailQueueDir;
  metricsIntervalMs_ = int64_t{s.MetricsInterval} * 1000;
  nextMetricsMs_ = 0;
}

void TServerSetup::Tick() {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  if (SmtpServer && SmtpServer->QueueRoom().NeedsLooking()) SmtpServer->QueueRoom().HasRoom(now);
  if (SmtpServer) SmtpServer->RateLimitTick();
  if (pluginWatch_) pluginWatch_->Tick(now);
  if (metricsFile_.empty() || now < nextMetricsMs_) return;
  nextMetricsMs_ = now + metricsIntervalMs_;
  WriteMetrics();
}

void TServerSetup::WriteMetrics() {
  if (metricsFile_.empty()) return;
  const std::string text =
      MetricsText(metricsQueueDir_, SmtpServer ? &SmtpServer->QueueRoom() : nullptr,
                  static_cast<int64_t>(std::time(nullptr)));
  if (!ReplaceFileContents(metricsFile_, text))
    ReportFileFault("The metrics file '" + metricsFile_ + "' could not be written (error " +
                    std::to_string(LastFileError()) + ")");
}

void TServerSetup::ConfigureTls(const std::string& certSetting, const std::string& keySetting,
                                const std::string& thumbprintSetting, uint32_t maxHandshakes) {
  const std::string cert = TrimBlanks(certSetting);
  const std::string key = TrimBlanks(keySetting);
  const std::string thumbprint = TrimBlanks(thumbprintSetting);
  if (!thumbprint.empty()) {
    if (!cert.empty() || !key.empty())
      throw Exception("'TLSCertificateThumbprint' and 'TLSCertificateFile' both name a TLS " +
                      std::string("certificate: set only one"));
#ifdef _WIN32
    // A certificate that cannot be used stops the start with a message naming it.
    auto store = TTlsCertStore::FromThumbprint(thumbprint);
    store->OnEvent = [this](const std::string& text) { LogEvent(text); };
    store->SetMaxHandshakes(maxHandshakes);
    SmtpServer->SetTlsStore(std::move(store));
#else
    throw Exception("'TLSCertificateThumbprint' names a certificate in the Windows " +
                    std::string("certificate store; on this system use 'TLSCertificateFile'"));
#endif
    return;
  }
  if (cert.empty() && key.empty()) return;
  if (cert.empty())
    throw Exception("TLS key file '" + key + "' in 'TLSKeyFile' without a certificate in " +
                    "'TLSCertificateFile'");
  if (!TlsAvailable()) {
    LogEvent("STARTTLS is not available in this build: '" + cert +
             "' in 'TLSCertificateFile' is not used");
    return;
  }
  // A pair that cannot be used stops the start with a message naming the file.
  auto store = std::make_shared<TTlsCertStore>(cert, key,
                                               [this](const std::string& text) { LogEvent(text); });
  store->SetMaxHandshakes(maxHandshakes);
  SmtpServer->SetTlsStore(std::move(store));
}

void TServerSetup::LogEvent(const std::string& text) {
  Report(kLogWarning, text);
}

void TServerSetup::CleanUpQueue(const std::string& queueDir) {
  for (const auto& note : CleanQueueLeftovers(queueDir, std::time(nullptr))) {
    int kind = note.kind == TLeftoverNote::Kind::Error     ? kLogError
               : note.kind == TLeftoverNote::Kind::Warning ? kLogWarning
                                                           : kLogInformation;
    Report(kind, note.text);
  }
}

void TServerSetup::Report(int kind, const std::string& text) {
  if (Service != nullptr) Service->LogMessage(kind, text);
}

void TServerSetup::ReportFileFault(const std::string& text) {
  // A fault that every entry meets is reported once a minute, not once an entry.
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = lastFileFault_.load();
  if (last != kNeverReported && now - last < 60) return;
  if (!lastFileFault_.compare_exchange_strong(last, now)) return;
  Report(kLogError, text);
}

void TServerSetup::Done() {
  FreeServer();
  // The last figures, with every session ended.
  WriteMetrics();
  metricsFile_.clear();
  ClearSettingsLists(ReceiverSettings);
  PopLogLock.reset();
  LogLock.reset();
}

void TServerSetup::FreeServer() {
  pluginWatch_.reset();
  SmtpServer.reset();
}

void TServerSetup::HandleNextID(int32_t& id, bool& handled) {
  handled = true;
  std::string why;
  try {
    std::optional<uint32_t> wrappedAfter;
    id = NextMessageId(wrappedAfter);
    if (wrappedAfter) ReportCounterWrapped(*wrappedAfter);
    if (id != 0) return;
    why = NoMessageIdReason();
  } catch (const Exception& e) {
    why = std::string(e.ClassName()) + ": " + e.Message();
  } catch (const std::exception& e) {
    why = e.what();
  }
  // A number that is not stored could be handed out again: none is used, and the server
  // refuses the message with 451 for a number outside the range of queue names.
  id = -1;
  ReportCounterFailure(why);
}

void TServerSetup::ReportCounterWrapped(uint32_t before) {
  char stored[16];
  std::snprintf(stored, sizeof stored, "0x%08x", before);
  const std::string last = std::to_string(kLastMessageNumber);
  Report(kLogWarning,
         "The message counter LastMsgId " +
             (before == kLastMessageNumber
                  ? "has reached the end of its range (" + last + ")"
                  : "holds " + std::string(stored) + ", past the end of its range (" + last + ")") +
             ": message numbers start again at 1, and a number whose queue files are still in "
             "the queue is skipped");
}

std::string TMinuteReport::Due(const std::string& text) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(lock_);
  if (reported_ && now - reportedAt_ < std::chrono::minutes(1)) {
    ++refusedSince_;
    return std::string();
  }
  std::string due = text;
  if (refusedSince_ > 0)
    due += " (" + std::to_string(refusedSince_) + " more refused since the last report)";
  reported_ = true;
  reportedAt_ = now;
  refusedSince_ = 0;
  return due;
}

void TServerSetup::ReportCounterFailure(const std::string& why) {
  const std::string text =
      counterReport_.Due("No message number could be stored, mail is refused for now: " + why);
  if (!text.empty()) Report(kLogError, text);
}

void TServerSetup::HandleQueueWriteFailed(const std::string& file, uint32_t error) {
  std::string reason = SystemErrorText(error);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty()) reason = "error " + std::to_string(error);
  const std::string text =
      queueWriteReport_.Due("A message could not be queued and was refused with 451: writing " +
                            file + " failed: " + reason + " (" + std::to_string(error) + ")");
  if (!text.empty()) Report(kLogError, text);
}

void TServerSetup::HandleLogFileEvent(const std::string& logFileEntry) {
  if (!LogLock) return;
  const auto settings = HandlerSettings();
  if (!settings) return;
  TInboundLog(*LogLock, [this](const std::string& text) {
    ReportFileFault(text);
  }).HandleLogFileEvent(settings->MailInlogEnabled, settings->InlogDir, logFileEntry);
}

void TServerSetup::HandlePopAuth(const std::string& ipAddy, bool& valid, bool& handled) {
  handled = true;
  valid = false;
  const auto settings = HandlerSettings();
  if (!PopLogLock || !settings) return;
  TPopAuth(*PopLogLock)
      .HandlePopAuth(settings->Pop3logDir, settings->DelayMinutes, ipAddy, valid, handled);
}

}  // namespace kestran
