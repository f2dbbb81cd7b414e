#include "programs/kestran-deliver/deliver_check.h"

#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/registry_access.h"
#include "config/setting_catalogue.h"
#include "config/settings_loader.h"
#include "deliver/deliver_settings.h"
#include "deliver/next_hop.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace kestran {
namespace {

void Line(const std::string& text) {
  std::printf("%s\n", text.c_str());
}

// What the transport named by setting is like, without connecting to it; "" when it
// looks usable, else the reason it is not.
std::string TransportProblem(const TNextHop& hop) {
  struct stat st {};
  if (hop.kind == TNextHop::Kind::Sendmail) {
    if (::access(hop.path.c_str(), X_OK) != 0) return "the program " + hop.path + " cannot be run";
    return "";
  }
  if (!hop.path.empty()) {
    if (::stat(hop.path.c_str(), &st) != 0) return "the socket " + hop.path + " does not exist";
    if (!S_ISSOCK(st.st_mode)) return hop.path + " is not a socket";
    return "";
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(hop.host.c_str(), nullptr, &hints, &found) != 0)
    return "the host name " + hop.host + " does not resolve";
  ::freeaddrinfo(found);
  return "";
}

}  // namespace

int CheckDeliverConfiguration() {
  std::vector<std::string> warnings, errors;
  Line("Registry file: " + RegistryFilePath());
  Line("Settings of kestran-deliver in HKEY_LOCAL_MACHINE" + std::string(kOwnKey) + ":");
  for (const auto& name : DeliverSettingNames()) {
    const std::string shown = ShowOwnValue(name);
    Line("  " + name + " = " + (shown.empty() ? "(not set: default)" : shown));
  }
  std::optional<TDeliverSettings> loaded;
  try {
    loaded = LoadDeliverSettings();
  } catch (const Exception& e) {
    errors.push_back(std::string(e.ClassName()) + ": " + e.Message());
  }
  if (loaded) {
    const TDeliverSettings& s = *loaded;
    Line("In effect:");
    Line("  queue directory " + s.QueueDir);
    Line("  DeliverConcurrency " + std::to_string(s.DeliverConcurrency) + ", DeliverMaxHours " +
         std::to_string(s.DeliverMaxHours) + ", DeliverTimeout " +
         std::to_string(s.DeliverTimeout) + ", DeliverRecipientLimit " +
         std::to_string(s.DeliverRecipientLimit) + ", DeliverTLSVerify " +
         (s.DeliverTLSVerify ? "on" : "off") + ", MetricsInterval " +
         std::to_string(s.MetricsInterval));
    std::string native;
    struct stat st {};
    if (!TranslatePath(s.QueueDir, native)) {
      errors.push_back("The queue directory " + s.QueueDir + " is a network path");
    } else if (::stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      warnings.push_back("The queue directory " + s.QueueDir + " (" + native +
                         ") does not exist yet: the receiver makes it");
    } else if (::access(native.c_str(), R_OK | W_OK | X_OK) != 0) {
      errors.push_back("The queue directory " + native + " cannot be written by this account");
    }
    if (auto hop = s.Transport()) {
      const std::string problem = TransportProblem(*hop);
      Line("  DeliverTo " + hop->RelayName() + (problem.empty() ? ": found" : ": " + problem));
      if (!problem.empty()) warnings.push_back("DeliverTo: " + problem);
    } else {
      errors.push_back("DeliverTo is empty: no transport to deliver to");
    }
    if (auto bounce = s.BounceTransport()) {
      const std::string problem = TransportProblem(*bounce);
      Line("  notifications go to " + bounce->RelayName() +
           (problem.empty() ? "" : ": " + problem));
      if (!problem.empty()) warnings.push_back("Notifications: " + problem);
    } else {
      warnings.push_back("No transport for notifications: a failed delivery tells no sender");
    }
    const std::string metrics = TrimBlanks(s.DeliverMetricsFile);
    if (!metrics.empty()) {
      std::string file;
      const bool mapped = TranslatePath(metrics, file);
      const std::string dir = mapped ? file.substr(0, file.find_last_of('/') + 1) : "";
      if (!mapped || dir.empty() || ::stat(dir.c_str(), &st) != 0)
        warnings.push_back("The directory of DeliverMetricsFile '" + metrics + "' does not exist");
    }
  }
  const std::vector<std::string> unknown = UnknownSettingWarnings();
  warnings.insert(warnings.begin(), unknown.begin(), unknown.end());
  Line("Warnings:" + std::string(warnings.empty() ? " none" : ""));
  for (const auto& w : warnings) Line("  " + w);
  Line("Errors:" + std::string(errors.empty() ? " none" : ""));
  for (const auto& e : errors) Line("  " + e);
  Line(errors.empty() ? "The start would succeed." : "The start would fail.");
  return errors.empty() ? 0 : 1;
}

}  // namespace kestran
