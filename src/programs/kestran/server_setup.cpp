#include "programs/kestran/server_setup.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "config/dir_helpers.h"
#include "config/group_members.h"
#include "config/host_lists.h"
#include "config/message_id.h"
#include "config/plugin1.h"
#include "config/receiver_settings.h"
#include "config/settings_loader.h"
#include "platform/resolver.h"
#include "programs/kestran/smtp_service.h"
#include "smtp/queue_leftovers.h"
#include "smtp/subnet.h"

namespace kestran {

TServerSetup& ServerSetup() {
  static auto* setup = new TServerSetup;  // never destroyed, see the header
  return *setup;
}

namespace {

void AddRanges(const TStringList& texts, std::vector<TNetRange>& ranges) {
  for (const auto& text : texts) {
    if (auto range = ParseNet(text)) ranges.push_back(*range);
  }
}

void ClearSettingsLists(TReceiverSettings& s) {
  s.LocalNets.clear();
  s.LocalBlackList.clear();
  s.WhiteList.clear();
  s.LocalUsers.clear();
  s.SkipUserVerify.clear();
  s.LocalDomains.clear();
  s.DNSLists.clear();
  s.DNSDenyTexts.clear();
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

  LoadHostSettings(s);
  LoadOwnSettings(s);
  NormalizeDirs(s);

  if (s.UseLMSLists) LoadHostAliasesAndLists(s);
  if (s.UsePlugin1List) LoadPlugin1List(s.Plugin1ConfigFile, s);

  server.SetMailWriteDir(AddBackslash(s.MailQueueDir));

  for (const auto& d : s.LocalDomains) server.LocalDomains().push_back(d);
  if (s.DoLocalNets) AddRanges(s.LocalNets, server.LocalNets());
  AddRanges(s.LocalBlackList, server.LocalBlackList());
  AddRanges(s.WhiteList, server.WhiteList());

  if (s.UseNTUserDatabase) {
    TStringList members = GetGroupMembers(s.NTGroupNameNotice);
    for (auto& m : members) s.LocalUsers.push_back(std::move(m));
  }

  for (const auto& u : s.LocalUsers) server.LocalUsers().push_back(u);
  for (const auto& d : s.SkipUserVerify) server.SkipUserVerify().push_back(d);
  for (const auto& z : s.DNSLists) server.DNSLists().push_back(z);
  for (const auto& t : s.DNSDenyTexts) server.HeaderText().push_back(t);

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
  server.SetSyncQueueFiles(s.SyncQueueFiles);

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
  ClearSettingsLists(ReceiverSettings);
  PopLogLock.reset();
  LogLock.reset();
}

void TServerSetup::FreeServer() {
  SmtpServer.reset();
}

void TServerSetup::HandleNextID(int32_t& id, bool& handled) {
  id = NextMessageId();
  handled = true;
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
