#pragma once
// The recipient check at the door (VerifyRecipients): the client that asks the next hop
// named by DeliverTo, behind the cache of its answers.

#include <memory>
#include <string>

#include "config/receiver_settings.h"
#include "smtp/recipient_verifier.h"

namespace kestran {

// Null when VerifyRecipients is off, or when the next hop cannot be asked; warning then
// says why (empty when it is simply off). heloName: the name for LHLO/EHLO.
std::shared_ptr<TRecipientVerifier> MakeRecipientVerifier(const TReceiverSettings& s,
                                                          const std::string& heloName,
                                                          std::string& warning);

}  // namespace kestran
