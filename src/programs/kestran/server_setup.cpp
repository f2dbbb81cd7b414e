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
#include "programs/kestran/smtp_service.h"
#include "smtp/queue_leftovers.h"
#include "smtp/subnet.h"

namespace kestran {

TServerSetup& ServerSetup() {
  static auto* setup = new TServerSetup;  // never destroyed, see the header
  return *setup;
}

namespace {

// Adds the valid ranges; a range that is wider than its text suggests is kept, with a
// warning naming it in warnings.
void AddRanges(const TStringList& texts, std::vector<TNetRange>& ranges, const char* key,
               TStringList& warnings) {
  for (const auto& text : texts) {
    auto range = ParseNet(text);
    if (!range) continue;
    ranges.push_back(*range);
    if (HasBitsOutsideMask(text))
      warnings.push_back("The range '" + text + "' in '" + key +
                         "' has address bits outside its mask and is taken as " +
                         FormatNet(*range));
  }
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

  if (s.UseLMSLists) LoadHostAliasesAndLists(s);
  // The plug-in names are the server's own list, read again while it runs.
  pluginWatch_.reset();
  if (s.UsePlugin1List) {
    pluginWatch_ = std::make_unique<TPluginListWatch>(
        s.Plugin1ConfigFile, server.PluginUsers(),
        [this](int kind, const std::string& text) { Report(kind, text); });
    pluginWatch_->Load();
  }

  server.SetMailWriteDir(AddBackslash(s.MailQueueDir));

  for (const auto& d : s.LocalDomains) server.LocalDomains().push_back(d);
  TStringList rangeWarnings;
  if (s.DoLocalNets) AddRanges(s.LocalNets, server.LocalNets(), "LocalNets", rangeWarnings);
  AddRanges(s.LocalBlackList, server.LocalBlackList(), "LocalBlackList", rangeWarnings);
  AddRanges(s.WhiteList, server.WhiteList(), "WhiteList", rangeWarnings);
  AddRanges(s.ProxyNets, server.ProxyNets(), "ProxyNets", rangeWarnings);
  AddRanges(s.RateLimitExempt, server.RateLimitExempt(), "RateLimitExempt", rangeWarnings);
  if (Service != nullptr)
    for (const auto& w : rangeWarnings) Service->LogMessage(kLogWarning, w);

  if (s.UseNTUserDatabase) {
    TStringList members = GetGroupMembers(s.NTGroupNameNotice);
    for (auto& m : members) s.LocalUsers.push_back(std::move(m));
  }

  for (const auto& u : s.LocalUsers) server.LocalUsers().push_back(u);
  for (const auto& d : s.SkipUserVerify) server.SkipUserVerify().push_back(d);
  for (const auto& z : s.DNSLists) server.DNSLists().push_back(z);
  for (const auto& t : s.DNSDenyTexts) server.HeaderText().push_back(t);
  server.DNSListsIPv6() = s.DNSListsIPv6;

  server.SetDoDNSLists(s.DoDNSLists);
  server.SetDoPOPAuth(s.DoPopAuth);
  server.SetDoVerifyDomain(s.VerifyDomains);
  server.SetCheckUser(s.DoLocalUser);
  server.SetForwardMail(s.AllowRelay);
  server.SetExtendedErrorRecording(s.DoExtendedErrors);

  server.SetLocalBlackListNotice(s.BlackListRejectionNotice);

  // The values that the own key adds: listener address and port, resolver, limits,
  // durability.
  if (s.Port == 0 || s.Port > 65535)
    throw Exception("Invalid TCP port " + std::to_string(s.Port) + " in 'Port'");
  server.SetPort(static_cast<int32_t>(s.Port));
  server.SetBoundIP(TrimBlanks(s.BoundIP));
  server.SetReceiveTimeout(s.ReceiveTimeout);
  server.SetMaxLineLength(s.MaxLineLength);
  server.SetMaxMessageSize(s.MaxMessageSize);
  server.SetMaxRecipients(s.MaxRecipients);
  server.SetMaxHops(s.MaxHops);
  server.SetMaxEnvelopeMemoryMB(s.MaxEnvelopeMemoryMB);
  server.SetMaxConnections(s.MaxConnections);
  server.SetMaxConnectionsPerIP(s.MaxConnectionsPerIP);
  server.SetIPv6(s.IPv6);
  server.SetBoundIPv6(TrimBlanks(s.BoundIPv6));
  server.SetIPv6PrefixLength(s.IPv6PrefixLength);
  server.SetSyncQueueFiles(s.SyncQueueFiles);
  ConfigureRateLimits(s);
  server.SetEsmtp(s.ESMTP);
  // The name the MX and PTR records carry, when it is set, replaces the looked-up one.
  if (!s.HostName.empty()) server.SetHostName(s.HostName);
  {
    std::string warning;
    server.SetRecipientVerifier(MakeRecipientVerifier(s, server.HostName(), warning));
    if (!warning.empty()) Report(kLogWarning, warning);
  }
  ConfigureTls(s.TLSCertificateFile, s.TLSKeyFile, s.TLSCertificateThumbprint, s.MaxTLSHandshakes);
  ConfigureMetrics(s);

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
  TInboundLog(*LogLock, [this](const std::string& text) {
    ReportFileFault(text);
  }).HandleLogFileEvent(ReceiverSettings.MailInlogEnabled, ReceiverSettings.InlogDir, logFileEntry);
}

void TServerSetup::HandlePopAuth(const std::string& ipAddy, bool& valid, bool& handled) {
  handled = true;
  valid = false;
  if (!PopLogLock) return;
  TPopAuth(*PopLogLock)
      .HandlePopAuth(ReceiverSettings.Pop3logDir, ReceiverSettings.DelayMinutes, ipAddy, valid,
                     handled);
}

}  // namespace kestran
