#pragma once
// The loaders of the settings: the host server's keys, then the program's own key, then
// the path normalisation. Missing keys and values leave the fields as they are; a
// malformed value raises ERegistryException, and the fields read before it keep their
// new values.

#include <string>

#include "config/receiver_settings.h"

namespace kestran {

// Keys below HKEY_LOCAL_MACHINE.
inline constexpr const char* kOwnKey = "\\SOFTWARE\\Brackenwold\\KESTRAN";
inline constexpr const char* kHostKey = "\\SOFTWARE\\Larchmont\\LMS";
inline constexpr const char* kSmtprcvKey =
    "\\SYSTEM\\CurrentControlSet\\Services\\smtprcv\\Parameters";

// The fewest recipients per transaction a receiver may limit to (RFC 5321 4.5.3.1.8): a
// smaller MaxRecipients other than 0 is taken as this.
inline constexpr uint32_t kMinMaxRecipients = 100;
// Seconds between rewrites of the metrics file; a value outside is taken as the nearer.
inline constexpr uint32_t kMinMetricsInterval = 5;
inline constexpr uint32_t kMaxMetricsInterval = 3600;

// path unchanged when it is empty or ends in "\", else path + "\".
std::string AddBackslash(const std::string& path);

// Removes leading and trailing characters whose code is 32 or less.
std::string TrimBlanks(const std::string& s);

// Host keys: mail root and the directories derived from it, local domains, the host
// receiver's inbound-log switch and queue directory.
void LoadHostSettings(TReceiverSettings& s = ReceiverSettings);
// The own key with its value-list subkeys (LocalNets, LocalBlackList, WhiteList,
// LocalDomains) and the DNSLists subkeys.
void LoadOwnSettings(TReceiverSettings& s = ReceiverSettings);
// Only DNSServers and DNSTimeout of the own key (the resolver is set up before anything
// looks a name up).
void LoadResolverSettings(TReceiverSettings& s);
// AddBackslash on MailRootDir, MailQueueDir, InlogDir and Pop3logDir.
void NormalizeDirs(TReceiverSettings& s = ReceiverSettings);

}  // namespace kestran
