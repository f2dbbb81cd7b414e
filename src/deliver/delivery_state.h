#pragma once
// What has become of each recipient of a queue pair, kept durably beside the pair in
// stem + ".DLV" (written under a temporary name, flushed, renamed, and the directory
// flushed before the pair counts as advanced). Text, one item a line, LF ends:
//
//   kestran-deliver-state 1
//   queued 1765200000.125
//   rcpt sent 1 0 1765200003 0 bob@example.org 250 2.0.0 <bob@example.org> Saved
//   rcpt deferred 2 1765200363 1765200063 0 carol@example.org 451 4.3.0 Try later
//   done failed
//
// queued: when the pair was complete, seconds since 1970. One "rcpt" line per recipient
// line of the recipient file, in its order: state (pending, sent, deferred, bounced),
// tries, next try, last try (seconds since 1970, 0 for none), whether its notification
// is dealt with: 1 went out or is not to be sent, 2 could not be sent (no route, or the
// route refused it: the sender was never notified), 0 for all others; the address (a blank, a
// tab and a backslash in it written "\040", "\011", "\134"), and the last reply as the
// next hop gave it. "done" appears once every recipient has its final
// answer: "delivered" when none bounced, else "failed".

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

enum class TRecipientState { Pending, Sent, Deferred, Bounced };

const char* StateName(TRecipientState state);

struct TRecipientProgress {
  TRecipientState state = TRecipientState::Pending;
  uint32_t tries = 0;
  int64_t nextTry = 0;
  int64_t lastTry = 0;
  bool notified = false;       // the notification is dealt with (sent or not to be sent)
  bool neverNotified = false;  // ... but could not be sent: the sender never heard
  std::string address;
  std::string reply;

  bool Final() const { return state == TRecipientState::Sent || state == TRecipientState::Bounced; }
};

struct TDeliveryState {
  double queuedAt = 0;  // seconds since 1970, to the millisecond
  std::vector<TRecipientProgress> recipients;
  enum class Done { No, Delivered, Failed } done = Done::No;

  bool AllFinal() const;
  bool AnyBounced() const;
  // The earliest next try of the recipients still waiting (0 when none waits).
  int64_t NextDue() const;
};

std::string FormatDeliveryState(const TDeliveryState& state);
// False when text is not a state file of this format.
bool ParseDeliveryState(const std::string& text, TDeliveryState& state);

// The file name beside the pair.
std::string StateFileName(const std::string& stem);
// The name the recipient file takes once every recipient got the message: the renaming
// itself records that, so the last reply costs one flush of the directory.
std::string SentFileName(const std::string& stem);

// A reply as one line of printable ASCII: line ends of a multi-line reply become blanks,
// a tab a blank, and every other byte outside printable ASCII "\xHH" (its value in
// lower-case hex); at most 500 characters.
std::string OneLineReply(const std::string& text);

// Seconds until the next try after a temporary failure of the given try (1, 2, ...):
// 1, 5, 15 and 30 minutes, then every hour.
int64_t RetryDelaySeconds(uint32_t tries);

}  // namespace kestran
