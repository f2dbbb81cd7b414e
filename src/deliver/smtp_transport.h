#pragma once
// LMTP (RFC 2033) and SMTP to a next hop: LHLO or EHLO, STARTTLS when offered,
// PIPELINING when offered, one transaction per message, RSET before the next message on
// the same connection. LMTP gives one reply per accepted recipient after the data, SMTP
// one for all.

#include "deliver/peer_connection.h"
#include "deliver/transport.h"

namespace kestran {

class TSmtpTransport : public TTransport {
 public:
  TSmtpTransport(TNextHop hop, TTransportOptions options);
  ~TSmtpTransport() override;
  void Send(TMessageToSend& message) override;
  void Close() override;

 private:
  TReply ReadReply();
  void Open();
  void Hello();
  // The transaction on an open connection; replies go to replies (index by recipient).
  void Transaction(TMessageToSend& message, std::vector<bool>& answered);

  TNextHop hop_;
  TTransportOptions options_;
  TPeerConnection conn_;
  bool lmtp_;
  bool open_ = false;
  bool used_ = false;  // a transaction ran on this connection
  bool pipelining_ = false;
  bool startTls_ = false;
  bool peerClosing_ = false;  // the peer answered 421
  bool plainAfterTlsFailure_ = false;
};

}  // namespace kestran
