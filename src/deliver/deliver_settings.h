#pragma once
// The settings of kestran-deliver: the queue directory exactly as the receiver finds it
// (the host's keys, then the program's own key), and the delivery values of the own key.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "deliver/next_hop.h"

namespace kestran {

struct TDeliverSettings {
  std::string QueueDir;                   // Windows path ending in "\"
  std::string DeliverTo;                  // as written; empty: nothing is delivered
  std::string BounceTo;                   // as written; empty: see BounceTransport
  std::vector<std::string> LocalDomains;  // the receiver's local domains
  uint32_t DeliverConcurrency = 4;        // deliveries at once (at least 1)
  uint32_t DeliverMaxHours = 120;         // age after which a failure is final
  bool DeliverTLSVerify = false;          // check the next hop's certificate on STARTTLS
  uint32_t DeliverTimeout = 300;          // seconds one reply (or 64 KiB of a message) may take
  uint32_t DeliverRecipientLimit = 50;    // recipients in one transaction at most (1 to 1000)
  std::string DeliverMetricsFile;         // Prometheus text file (Windows path); empty: none
  uint32_t MetricsInterval = 15;          // seconds between its rewrites, as the receiver's
  std::string HostName;                   // the receiver's HostName; "" = looked up

  // The transport of DeliverTo (nothing when DeliverTo names none).
  std::optional<TNextHop> Transport() const;
  // Where notifications to senders outside the local domains go: BounceTo when set,
  // else nothing (no notification leaves for such a sender). Notifications to senders in
  // a local domain go through DeliverTo.
  std::optional<TNextHop> BounceTransport() const;
};

// Reads the registry; a malformed value raises ERegistryException naming it, a DeliverTo
// or BounceTo that is set but names no transport raises Exception.
TDeliverSettings LoadDeliverSettings();

// The one line with which the program refuses to start without a transport.
inline constexpr const char* kNoTransportText =
    "kestran-deliver: DeliverTo is empty, no transport to deliver to "
    "(set DeliverTo under HKLM\\SOFTWARE\\Brackenwold\\KESTRAN)";

// The native queue directory of the settings, ending in "/"; "" when it cannot be used.
std::string NativeQueueDir(const TDeliverSettings& s);
// The native path of DeliverMetricsFile; "" when none is set or it cannot be mapped.
std::string NativeMetricsFile(const TDeliverSettings& s);

}  // namespace kestran
