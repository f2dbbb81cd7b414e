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
  // The reply was a refusal of the recipient at RCPT (a 452 there asks for the recipient
  // again in a later transaction, RFC 5321 4.5.3.1.10).
  bool atRcpt = false;

  bool Success() const { return code >= 200 && code < 300; }
  bool Permanent() const { return code >= 500 && code < 600; }
};

struct TMessageToSend {
  std::string sender;  // without angle brackets; "" for the null sender
  std::vector<std::string> recipients;
  TBodyReader read;  // the message in the queue's form (see body_encoder.h)
  uint64_t size = 0;
  // The message holds octets above 127 (it goes with BODY=8BITMIME where offered).
  bool eightBit = false;
  // Called once per recipient (its index in recipients) once the transaction is over:
  // a reply counts only when every reply before it came in step.
  std::function<void(size_t index, const TReply& reply)> onReply;
};

struct TTransportOptions {
  std::string heloName;    // the name given in EHLO and LHLO
  int timeoutMs = 300000;  // one whole reply, one command, one 64 KiB of the message
  bool tlsVerify = false;  // STARTTLS: check the certificate
  // After a failed opportunistic STARTTLS handshake, connections to that hop go in plain
  // text for this long, then TLS is tried again.
  int tlsRetrySeconds = 3600;
};

// Whether an address (or any text) holds octets above 127: it needs SMTPUTF8.
bool NeedsUtf8(const std::string& text);

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
