#include "programs/kestran-deliver/transport.h"

#include "programs/kestran-deliver/sendmail_transport.h"
#include "programs/kestran-deliver/smtp_transport.h"

namespace kestran {

std::unique_ptr<TTransport> MakeTransport(const TTransportSpec& spec,
                                          const TTransportOptions& options) {
  if (spec.kind == TTransportSpec::Kind::Sendmail)
    return std::make_unique<TSendmailTransport>(spec, options);
  return std::make_unique<TSmtpTransport>(spec, options);
}

}  // namespace kestran
