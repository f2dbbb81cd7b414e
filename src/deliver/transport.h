#pragma once
// A transport hands one message on to its next hop and tells, for each recipient, the
// reply it got. A transport may keep its connection open for the next message.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "deliver/body_encoder.h"
#include "deliver/next_hop.h"

namespace kestran {

// A reply: its code (0 when no reply came: a connection failure, a time-out, a program
// that could not be run) and its text, all lines joined by blanks.
struct TReply {
  int code = 0;
  std::string text;

  bool Success() const { return code >= 200 && code < 300; }
  bool Permanent() const { return code >= 500 && code < 600; }
};

struct TMessageToSend {
  std::string sender;  // without angle brackets; "" for the null sender
  std::vector<std::string> recipients;
  TBodyReader read;  // the message in the queue's form (see body_encoder.h)
  uint64_t size = 0;
  // Called once per recipient (its index in recipients) as soon as its reply is known,
  // in the order the replies come.
  std::function<void(size_t index, const TReply& reply)> onReply;
};

struct TTransportOptions {
  std::string heloName;    // the name given in EHLO and LHLO
  int timeoutMs = 300000;  // one reply, one block of data
  bool tlsVerify = false;  // STARTTLS: check the certificate
};

class TTransport {
 public:
  virtual ~TTransport() = default;
  // Never raises: every recipient gets exactly one onReply call.
  virtual void Send(TMessageToSend& message) = 0;
  // Ends a kept connection politely.
  virtual void Close() {}
};

std::unique_ptr<TTransport> MakeTransport(const TNextHop& hop, const TTransportOptions& options);

}  // namespace kestran
