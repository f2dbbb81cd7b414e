#pragma once
// What the accept thread does when an accept fails or a connection cannot be started:
// the kinds of failure, the pause before the next accept, and the event-log lines that
// count them. None of them ends the accept thread: only the listener's own close does,
// and that is told by the listener's state, not by an error code.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestran {

enum class TAcceptFailureKind {
  // One connection failed before it was accepted (reset, aborted ...): it is skipped.
  Connection,
  // Descriptors, buffers or memory ran out: the accept thread pauses, then accepts again.
  Resources,
  // Any other failure: it pauses as well, so that one that recurs cannot spin.
  Unexpected,
  // No thread could be created for an accepted connection: it is refused with 421.
  NoThread,
  // A connection from a trusted load balancer did not begin with a usable PROXY header:
  // it is closed without a greeting.
  ProxyHeader,
};

// The kind of a failed accept by its socket error code.
TAcceptFailureKind ClassifyAcceptFailure(int code);

// The pause before the next accept: 10 ms after the first failure that calls for one,
// doubled after each further one up to 1 s; back to 10 ms once an accept succeeds.
class TAcceptBackoff {
 public:
  static constexpr uint32_t kFirstMs = 10;
  static constexpr uint32_t kLongestMs = 1000;

  // The pause for this failure; the next one will be twice as long.
  uint32_t Next();
  void Reset() { nextMs_ = kFirstMs; }

 private:
  uint32_t nextMs_ = kFirstMs;
};

// The counts of failures by kind, for the event log: the first failure of a kind is
// reported at once, later ones at most once per interval (a minute unless changed), each
// line with the number since the line before and the last cause.
class TAcceptFailureReports {
 public:
  static constexpr std::chrono::milliseconds kDefaultInterval = std::chrono::minutes(1);

  void SetInterval(std::chrono::milliseconds interval);

  // Counts one failure of kind with its cause; returns the line for the event
  // log when one is due now, otherwise "".
  std::string Count(TAcceptFailureKind kind, const std::string& cause);
  // The lines due, by kind, for counts that have waited since an earlier line. Asked
  // after every accept: with nothing waiting it takes neither the lock nor the clock.
  std::vector<std::pair<TAcceptFailureKind, std::string>> Due();
  // Failures of kind counted since the listener was made.
  uint64_t Total(TAcceptFailureKind kind) const;

 private:
  struct Counter {
    uint64_t total = 0;
    uint64_t unreported = 0;
    bool reported = false;
    std::chrono::steady_clock::time_point reportedAt;
    std::string lastCause;
  };
  static constexpr size_t kKinds = 5;

  // The line for counter c of kind (under the lock); resets its unreported count.
  std::string Line(TAcceptFailureKind kind, Counter& c, std::chrono::steady_clock::time_point now);
  // Publishes whether any count waits for a line (under the lock).
  void NoteWaiting();

  mutable std::mutex lock_;
  std::chrono::milliseconds interval_{kDefaultInterval};
  std::array<Counter, kKinds> counters_;
  std::atomic<bool> waiting_{false};
};

// "Socket Error #<code> <text>" on one line, for the cause of an event-log line.
std::string SocketErrorCause(int code);

}  // namespace kestran
