#pragma once
// LMTP (RFC 2033) and SMTP to a next hop: LHLO or EHLO, STARTTLS when offered,
// PIPELINING when offered, one transaction per message, RSET before the next message on
// the same connection. LMTP gives one reply per accepted recipient after the data, SMTP
// one for all.
//
// Every reply is read in step with the commands, or not at all: a reply where none is
// due, more replies than commands, a line that is no reply, a reply without end, or
// anything but 354 to DATA is a protocol error. It closes the connection at once and
// every recipient of the transaction gets "protocol error: ..." (a temporary failure),
// whatever replies came before it in that transaction.

#include <chrono>
#include <optional>

#include "deliver/hop_dialogue.h"
#include "deliver/transport.h"

namespace kestran {

class TSmtpTransport : public TTransport {
 public:
  TSmtpTransport(TNextHop hop, TTransportOptions options);
  ~TSmtpTransport() override;
  void Send(TMessageToSend& message) override;
  void Close() override;

 private:
  // One whole reply within the time-out; any reply but 354 after DATA (allow354 false)
  // of class 3 is a protocol error.
  TReply ReadReply(bool allow354 = false);
  // A command; anything the hop said since its last reply is a protocol error.
  void Command(const std::string& line);
  void Open();
  void Hello();
  void Transaction(TMessageToSend& message, std::vector<std::optional<TReply>>& replies);
  void SendBody(TMessageToSend& message);

  TNextHop hop_;
  TTransportOptions options_;
  TPeerConnection conn_;
  TReplyParser parser_;
  bool lmtp_;
  bool open_ = false;
  bool used_ = false;         // a transaction ran on this connection
  THopExtensions ext_;        // what the hop's LHLO/EHLO reply offered
  bool peerClosing_ = false;  // the peer answered 421
  // When an opportunistic STARTTLS handshake last failed.
  std::optional<std::chrono::steady_clock::time_point> tlsFailedAt_;
};

}  // namespace kestran
