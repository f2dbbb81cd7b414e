#include "programs/kestran/recipient_verification.h"

#include <algorithm>

#include "config/settings_loader.h"
#include "smtp/verify_cache.h"
#ifndef _WIN32
#include "deliver/next_hop_verifier.h"
#endif

namespace kestran {

std::shared_ptr<TRecipientVerifier> MakeRecipientVerifier(const TReceiverSettings& s,
                                                          const std::string& heloName,
                                                          std::string& warning) {
  warning.clear();
  if (!s.VerifyRecipients) return nullptr;
#ifdef _WIN32
  (void)heloName;
  warning = "'VerifyRecipients' is set, but recipients cannot be verified on this system";
  return nullptr;
#else
  const std::string deliverTo = TrimBlanks(s.DeliverTo);
  const auto hop = ParseNextHop(deliverTo);
  if (!hop) {
    warning = "'VerifyRecipients' is set, but 'DeliverTo' names no next hop to ask ('" + deliverTo +
              "'): recipients are not verified";
    return nullptr;
  }
  if (hop->kind == TNextHop::Kind::Sendmail) {
    warning =
        "'VerifyRecipients' is set, but a sendmail: transport in 'DeliverTo' cannot be "
        "asked: recipients are not verified";
    return nullptr;
  }
  const int timeoutMs = static_cast<int>(std::min<uint32_t>(s.VerifyTimeout, 3600) * 1000);
  auto asker = std::make_shared<TNextHopVerifier>(*hop, heloName, timeoutMs);
  return std::make_shared<TVerifyCache>(std::move(asker), s.VerifyPositiveSeconds,
                                        s.VerifyNegativeSeconds);
#endif
}

}  // namespace kestran
