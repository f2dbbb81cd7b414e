#include "programs/kestran/config_check.h"

#include <cctype>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "config/dir_helpers.h"
#include "config/group_members.h"
#include "config/host_lists.h"
#include "config/message_id.h"
#include "config/plugin1.h"
#include "config/registry_access.h"
#include "config/setting_catalogue.h"
#include "config/settings_loader.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/resolver.h"
#include "programs/kestran/settings_warnings.h"
#include "service/servroot.h"
#include "transport/tls_layer.h"

namespace kestran {
namespace {

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Describe(const Exception& e) {
  return std::string(e.ClassName()) + ": " + e.Message();
}

class TCheck {
 public:
  int Run();

 private:
  void Line(const std::string& text) { WriteLineOut(text); }
  void Error(const std::string& text) { errors_.push_back(text); }
  void Warning(const std::string& text) { warnings_.push_back(text); }
  // Runs step; an error it raises is one reason the start would fail.
  template <class F>
  void Try(F step) {
    try {
      step();
    } catch (const Exception& e) {
      Error(Describe(e));
    } catch (const std::exception& e) {
      Error(e.what());
    }
  }

  void ReadOwnNames();
  void ShowSettings();
  void ShowLists();
  void CheckNamedThings();
  // What the start refuses outright; readFiles: the TLS files may be read.
  void CheckStartRefusals(bool readFiles);
  // One directory: "name path = native: what"; false when it cannot be used.
  std::string DirectoryState(const std::string& dir, bool& usable);

  TReceiverSettings s_;
  std::set<std::string> ownValues_;   // lower-case value names of the own key
  std::set<std::string> ownSubkeys_;  // lower-case subkey names
  std::vector<std::string> errors_;
  std::vector<std::string> warnings_;
};

void TCheck::ReadOwnNames() {
  TRegistry reg(kKeyRead);
  if (!reg.OpenKey(kOwnKey, false)) return;
  for (const auto& n : reg.GetValueNames()) ownValues_.insert(Lower(n));
  for (const auto& n : reg.GetKeyNames()) ownSubkeys_.insert(Lower(n));
  reg.CloseKey();
}

void TCheck::ShowSettings() {
  const TReceiverSettings defaults;
  Line("Settings of HKEY_LOCAL_MACHINE" + std::string(kOwnKey) + " (effective value, source):");
  for (const auto& e : ReceiverSettingEntries()) {
    const std::string value = e.Show(s_);
    std::string source = "default";
    if (ownValues_.count(Lower(e.Name)))
      source = "registry";
    else if (value != e.Show(defaults))
      source = "host server's keys";
    Line(std::string("  ") + e.Name + " = " + value + " (" + source + ")");
  }
  Line("Settings of kestran-deliver in the same key (checked by kestran-deliver -CHECK):");
  for (const auto& name : DeliverSettingNames()) {
    const std::string shown = ShowOwnValue(name);
    Line("  " + name + " = " + (shown.empty() ? "(not set)" : shown));
  }
}

void TCheck::ShowLists() {
  Line("Lists:");
  for (const auto& e : ReceiverListEntries()) {
    const TStringList& list = s_.*(e.List);
    std::string text;
    for (size_t i = 0; i < list.size(); ++i) {
      if (i > 0) text += ", ";
      text += list[i];
      if (&list == &s_.DNSLists && i < s_.DNSDenyTexts.size() && s_.DNSDenyTexts[i] != list[i])
        text += " (\"" + s_.DNSDenyTexts[i] + "\")";
    }
    if (text.empty()) text = "none";
    std::string source = "default";
    if (ownSubkeys_.count(Lower(e.Name)))
      source = "registry";
    else if (!list.empty())
      source = "host server's keys";
    Line(std::string("  ") + e.Name + ": " + text + " (" + source + ")");
  }
}

std::string TCheck::DirectoryState(const std::string& dir, bool& usable) {
  usable = false;
  std::string native;
  if (dir.empty()) return "not set";
  if (!TranslatePath(dir, native)) return dir + ": a network path, which cannot be used";
  std::string text = dir + " (" + native + "): ";
  if (!DirectoryExists(dir)) return text + "does not exist";
  usable = IsDirWritable(dir);
  return text + (usable ? "exists and can be written" : "exists but cannot be written");
}

bool DataRootThere() {
#ifdef _WIN32
  return true;
#else
  // Any path on a drive would make the data root and its drive C: a check leaves a
  // missing one alone.
  std::error_code ec;
  return std::filesystem::is_directory(DataRoot() + "/drive_c", ec);
#endif
}

void TCheck::CheckNamedThings() {
  Line("Files and directories:");
  if (!DataRootThere()) {
    Line("  The data root " + DataRoot() +
         " (with its drive_c) does not exist yet: the start "
         "makes it. Nothing below it is looked at.");
    CheckStartRefusals(false);
    return;
  }
  // The queue directory: the start creates it when missing, and does not listen when it
  // cannot be written.
  bool usable = false;
  std::string state = DirectoryState(s_.MailQueueDir, usable);
  std::string native;
  if (!usable) {
    if (TranslatePath(s_.MailQueueDir, native) && !DirectoryExists(s_.MailQueueDir))
      state += "; the start creates it";
    else
      Error("The queue directory " + s_.MailQueueDir + " cannot be written: the start would fail");
  }
  Line("  MailQueueDir " + state);
  if (s_.MailInlogEnabled) {
    state = DirectoryState(s_.InlogDir, usable);
    Line("  InlogDir " + state);
    if (!usable)
      Warning("The inbound log is on but " + s_.InlogDir +
              " cannot be written: its entries are lost");
  } else {
    Line("  InlogDir: not used (MailInlogEnabled off)");
  }
  if (s_.DoPopAuth) {
    const bool there = DirectoryExists(s_.Pop3logDir);
    Line("  Pop3logDir " + s_.Pop3logDir + (there ? ": exists" : ": does not exist"));
    if (!there)
      Warning("POP-before-SMTP is on but the POP3 log directory " + s_.Pop3logDir +
              " does not exist: no client is authorised by it");
  } else {
    Line("  Pop3logDir: not used (DoPopAuth off)");
  }
  if (s_.UsePlugin1List) {
    const std::string file = TrimBlanks(s_.Plugin1ConfigFile);
    const bool there = !file.empty() && FileExists(file);
    Line("  Plugin1ConfigFile " + file + (there ? ": exists" : ": does not exist"));
    if (!there)
      Warning("UsePlugin1List is on but the plug-in list file '" + file +
              "' does not exist: it adds no local user");
  }
  const std::string metrics = TrimBlanks(s_.MetricsFile);
  if (!metrics.empty()) {
    std::string dir = metrics.substr(0, metrics.find_last_of("\\/") + 1);
    const bool there = dir.empty() || DirectoryExists(dir);
    Line("  MetricsFile " + metrics + (there ? ": its directory exists" : ": no such directory"));
    if (!there) Warning("The directory of the metrics file '" + metrics + "' does not exist");
  }

  CheckStartRefusals(true);

  // The local users, from every source the settings name.
  Try([&] {
    size_t lists = 0, plugin = 0, group = 0;
    TReceiverSettings users = s_;
    users.LocalUsers.clear();
    users.SkipUserVerify.clear();
    if (users.UseLMSLists) {
      LoadHostAliasesAndLists(users);
      lists = users.LocalUsers.size();
    }
    if (users.UsePlugin1List) {
      LoadPlugin1List(users.Plugin1ConfigFile, users);
      plugin = users.LocalUsers.size() - lists;
    }
    if (users.UseNTUserDatabase) group = GetGroupMembers(users.NTGroupNameNotice).size();
    Line("  LocalUsers: " + std::to_string(lists + plugin + group) +
         " names (host aliases and lists " + std::to_string(lists) + ", plug-in list " +
         std::to_string(plugin) + ", group '" + users.NTGroupNameNotice + "' " +
         std::to_string(group) + ")" +
         (users.DoLocalUser ? "" : "; not checked (DoLocalUser off)"));
  });
}

void TCheck::CheckStartRefusals(bool readFiles) {
  // What the start itself refuses.
  if (s_.Port == 0 || s_.Port > 65535)
    Error("Invalid TCP port " + std::to_string(s_.Port) + " in 'Port'");
  if (!SetResolverConfig(s_.DNSServers, s_.DNSTimeout))
    Error("Invalid DNS server list '" + s_.DNSServers + "' in 'DNSServers'");
  Try([] { CheckMessageCounter(); });
  const std::string cert = TrimBlanks(s_.TLSCertificateFile);
  const std::string key = TrimBlanks(s_.TLSKeyFile);
  const std::string thumbprint = TrimBlanks(s_.TLSCertificateThumbprint);
  if (!thumbprint.empty()) {
    if (!cert.empty() || !key.empty())
      Error(
          "'TLSCertificateThumbprint' and 'TLSCertificateFile' both name a TLS certificate: "
          "set only one");
#ifdef _WIN32
    Try([&] { TTlsCertStore::FromThumbprint(thumbprint); });
#else
    Error(
        "'TLSCertificateThumbprint' names a certificate in the Windows certificate store; on "
        "this system use 'TLSCertificateFile'");
#endif
  } else if (!key.empty() && cert.empty()) {
    Error("TLS key file '" + key +
          "' in 'TLSKeyFile' without a certificate in "
          "'TLSCertificateFile'");
  } else if (!cert.empty()) {
    if (!readFiles) {
      Line("  TLSCertificateFile " + cert + ": not read");
    } else if (!TlsAvailable()) {
      Warning("STARTTLS is not available in this build: '" + cert +
              "' in 'TLSCertificateFile' is not used");
    } else {
      bool loaded = false;
      Try([&] {
        TTlsCertStore store(cert, key, [this](const std::string& text) { Warning(text); });
        loaded = true;
      });
      Line("  TLSCertificateFile " + cert +
           (loaded ? ": the certificate and key load" : ": unusable"));
    }
  }
}

int TCheck::Run() {
  Line("Registry file: " + RegistryFilePath());
  bool loaded = false;
  try {
    TRegSnapshot snapshot;  // one reading of the registry file
    ReadOwnNames();
    LoadHostSettings(s_);
    LoadOwnSettings(s_);
    NormalizeDirs(s_);
    loaded = true;
  } catch (const Exception& e) {
    Error(Describe(e));
  }
  ShowSettings();
  ShowLists();
  if (loaded) {
    CheckNamedThings();
    TStringList all = SettingsWarnings(s_);
    all.insert(all.end(), warnings_.begin(), warnings_.end());
    warnings_ = std::move(all);
  }
  Line("Warnings:" + std::string(warnings_.empty() ? " none" : ""));
  for (const auto& w : warnings_) Line("  " + w);
  Line("Errors:" + std::string(errors_.empty() ? " none" : ""));
  for (const auto& e : errors_) Line("  " + e);
  Line(errors_.empty() ? "The start would succeed." : "The start would fail.");
  return errors_.empty() ? 0 : 1;
}

}  // namespace

int CheckReceiverConfiguration() {
  return TCheck().Run();
}

}  // namespace kestran
