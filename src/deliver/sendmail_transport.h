#pragma once
// A local sendmail-compatible program: "path -i -f <sender> -- <recipients>" with the
// message un-stuffed on its standard input. Exit status 0 delivers, 75 (EX_TEMPFAIL)
// means try again later, any other status is final for every recipient.

#include "deliver/transport.h"

namespace kestran {

class TSendmailTransport : public TTransport {
 public:
  TSendmailTransport(TNextHop hop, TTransportOptions options)
      : hop_(std::move(hop)), options_(std::move(options)) {}
  void Send(TMessageToSend& message) override;

 private:
  TReply Run(TMessageToSend& message);

  TNextHop hop_;
  TTransportOptions options_;
};

}  // namespace kestran
