#pragma once
// The operator's commands on queued pairs, whether the service runs or not:
//   HOLD     the pair is never tried, and -QUEUE lists it as held ("B...HOLD" beside it)
//   RELEASE  takes the hold away; the pair is due at once
//   DELETE   removes the pair and its state, and logs the recipients that never got it
//   REQUEUE  every recipient still waiting is due at once
// A pair is named by its stem ("B0000000042"); "ALL" names every pair for all but DELETE.
// Each command takes the pair's lock (that of its message file) first, so it never
// races a delivery: one under way ends its pass first. A running kestran-deliver learns
// of a pair that became due through a request file in the queue directory.

#include <functional>
#include <string>

namespace kestran {

enum class TQueueCommand { Hold, Release, Delete, Requeue };

struct TQueueCommandOutput {
  std::function<void(const std::string&)> print;  // what the command did, for the operator
  std::function<void(const std::string&)> error;  // why it could not
  std::function<void(const std::string&)> log;    // lines for the system log
};

// Runs the command on the pair id (or ALL) of the native queue directory dir (ending in
// "/"); the exit status: 0, or 1 when a pair was not found or could not be changed.
int RunQueueCommand(TQueueCommand command, const std::string& dir, const std::string& id,
                    const TQueueCommandOutput& out);

}  // namespace kestran
