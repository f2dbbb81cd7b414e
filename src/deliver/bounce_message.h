#pragma once
// The delivery status notification (RFC 3464) for recipients that failed: a
// multipart/report of a readable notice, the message/delivery-status part with one block
// per failed recipient, and the original message's header block. It is sent from the
// null sender to the pair's Return-path.

#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

struct TFailedRecipient {
  std::string address;
  int code = 0;          // the reply's code, 0 when no reply came
  std::string reply;     // the reply (or the failure) as one line
  bool expired = false;  // failed because it waited too long
  int64_t lastTry = 0;
};

struct TBounceInfo {
  std::string hostName;    // the reporting host
  std::string queueId;     // the pair's stem
  std::string returnPath;  // the address the notification goes to
  double arrival = 0;
  int64_t now = 0;
  std::string remoteMta;  // the next hop's name, "" for a local program
  std::vector<TFailedRecipient> recipients;
};

// The header block of a message in the queue's form (lines up to the first empty one,
// un-stuffed, CR LF line ends), at most maxBytes (whole lines).
std::string HeaderBlock(const std::string& stuffedStart, size_t maxBytes);

// The status code for the delivery-status part: the reply's own enhanced code when it
// has one of the right class, else 5.0.0 for a permanent reply and 4.4.7 for an expiry.
std::string StatusCode(const TFailedRecipient& r);

// The notification as CR LF lines (not yet dot-stuffed).
std::string ComposeBounce(const TBounceInfo& info, const std::string& originalHeaders);

}  // namespace kestran
