#pragma once
// One pass over one queue pair: the recipients that are due are handed to the transport
// in transactions of up to recipientLimit addresses; the replies of each transaction are
// recorded durably in the state file together, before they are logged and before the
// next transaction begins (a crash can repeat only the transaction in flight); notifications go
// out for recipients that failed, and a pair whose recipients all have a final answer
// leaves the queue: removed when all were delivered, moved into "failed" with its state
// file otherwise (a delivered pair's state file goes with the next scan). A pair that
// cannot be read goes into "damaged".

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "deliver/deliver_metrics.h"
#include "deliver/delivery_state.h"
#include "deliver/transport.h"

namespace kestran {

struct TDeliverContext {
  std::string queueDir;  // native, ends in "/"
  TNextHop transport;
  // Notifications to senders outside localDomains go through bounce, when it is set;
  // those to senders in a local domain through transport.
  std::optional<TNextHop> bounce;
  std::vector<std::string> localDomains;
  TTransportOptions options;
  int64_t maxAgeSeconds = 120 * 3600;
  // Recipients (distinct addresses) in one transaction at most.
  size_t recipientLimit = 50;
  std::string hostName;
  // An event-log line of the kind (kLogInformation, kLogWarning, kLogError).
  std::function<void(int kind, const std::string& text)> event;
  // A delivery-log line (one per recipient and attempt).
  std::function<void(const std::string& text)> mailLog;
  // Wall-clock time in seconds since 1970, with fractions (a test may set another clock).
  std::function<double()> now;
  // Counts what the deliveries come to (null: nothing is counted).
  TDeliverMetrics* metrics = nullptr;
};

// A held pair ("B0000000042.HOLD" beside it) is never tried; one that an operator's
// command has locked is left for a later pass.
struct TPairPass {
  enum class Outcome { Waiting, Delivered, Failed, Damaged, Gone } outcome = Outcome::Gone;
  int64_t nextDue = 0;  // Waiting: when the next recipient is due
};

// force: every recipient still waiting is tried now, whatever its next try.
TPairPass DeliverPair(const TDeliverContext& ctx, TTransport& transport, const std::string& stem,
                      bool force);

// What is left of a pair whose recipient file is gone, found by its state file: finished
// as its state says (removed, moved into "failed"), or moved into "damaged". The caller
// has flushed the queue directory first (a delivered pair's state file outlives the
// rest of it until then).
void FinishLeftover(const TDeliverContext& ctx, const std::string& stem);

// The delivery-log line of one recipient:
// "B0000000042: to=<bob@example.org>, relay=lmtp:/run/dovecot/lmtp, delay=0.21, tries=1,
//  status=sent (250 2.0.0 <bob@example.org> Saved)".
std::string DeliveryLogLine(const std::string& stem, const std::string& address,
                            const std::string& relay, double delay, uint32_t tries,
                            TRecipientState state, const std::string& reply);

// Reads the state file of stem in dir; false when there is none or it cannot be parsed.
bool LoadDeliveryState(const std::string& dir, const std::string& stem, TDeliveryState& state);

}  // namespace kestran
