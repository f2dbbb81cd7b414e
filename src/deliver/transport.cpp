#include "deliver/transport.h"

#include "deliver/sendmail_transport.h"
#include "deliver/smtp_transport.h"

namespace kestran {

std::unique_ptr<TTransport> MakeTransport(const TNextHop& hop, const TTransportOptions& options) {
  if (hop.kind == TNextHop::Kind::Sendmail)
    return std::make_unique<TSendmailTransport>(hop, options);
  return std::make_unique<TSmtpTransport>(hop, options);
}

}  // namespace kestran
