#include "programs/kestran/server_setup.h"

#include <algorithm>

#include "config/dir_helpers.h"
#include "config/group_members.h"
#include "config/host_lists.h"
#include "config/message_id.h"
#include "config/plugin1.h"
#include "config/receiver_settings.h"
#include "config/settings_loader.h"
#include "platform/resolver.h"
#include "programs/kestran/smtp_service.h"
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
  server.SetEsmtp(s.ESMTP);
  ConfigureTls(s.TLSCertificateFile, s.TLSKeyFile);

  if (IsDirWritable(s.MailQueueDir)) {
    server.SetActive(true);
  } else {
    ForceDirPath(s.MailQueueDir);
    server.SetActive(IsDirWritable(s.MailQueueDir));
  }
  return server.Active();
}

void TServerSetup::ConfigureTls(const std::string& certSetting, const std::string& keySetting) {
  const std::string cert = TrimBlanks(certSetting);
  const std::string key = TrimBlanks(keySetting);
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
  auto store = std::make_shared<TTlsCertStore>(cert, key);
  store->OnEvent = [this](const std::string& text) { LogEvent(text); };
  SmtpServer->SetTlsStore(std::move(store));
}

void TServerSetup::LogEvent(const std::string& text) {
  if (Service != nullptr) Service->LogMessage(kLogWarning, text);
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
  TInboundLog(*LogLock).HandleLogFileEvent(ReceiverSettings.MailInlogEnabled,
                                           ReceiverSettings.InlogDir, logFileEntry);
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
