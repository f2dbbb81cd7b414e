// Local recipients that the policy accepts are asked of the mailbox side before RCPT is
// answered, when a verifier is set: mail it would refuse is never taken.

#include <algorithm>
#include <cstdint>

#include "smtp/smtp_server.h"

namespace kestran {

uint32_t TConduitSMTPServer::MessageSizeLimit() const {
  const uint64_t hop = verifier_ ? verifier_->MailboxSizeLimit() : 0;
  if (hop == 0) return P().MaxMessageSize;
  const uint64_t limit = P().MaxMessageSize == 0 ? hop : std::min<uint64_t>(P().MaxMessageSize, hop);
  return static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}

TVerifyAnswer TConduitSMTPServer::AskMailboxSide(const std::string& address) {
  if (!verifier_) return TVerifyAnswer::Valid;
  return verifier_->Verify(address);
}

void TConduitSMTPServer::RecipientNotVerified(TConduitServerThread* thread,
                                              const std::string& address) {
  // The mail waits at the sender rather than being taken blind.
  const std::string text = "<" + address + ">... recipient cannot be verified now, try again later";
  Reply(thread, "450 " + text);
  if (logDebug_) DebugLog("RCPT says 450 " + text);
}

}  // namespace kestran
