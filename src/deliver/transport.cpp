#include "deliver/transport.h"

#include "deliver/sendmail_transport.h"
#include "deliver/smtp_transport.h"

namespace kestran {

bool NeedsUtf8(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) > 127) return true;
  return false;
}

std::unique_ptr<TTransport> MakeTransport(const TNextHop& hop, const TTransportOptions& options) {
  if (hop.kind == TNextHop::Kind::Sendmail)
    return std::make_unique<TSendmailTransport>(hop, options);
  return std::make_unique<TSmtpTransport>(hop, options);
}

}  // namespace kestran
