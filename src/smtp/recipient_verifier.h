#pragma once
// Asking the mailbox side about a local recipient before RCPT is answered: the server
// sees only this interface; the service wiring supplies the client that asks the next
// hop. A verifier is called from many session threads at once and must be safe for it.

#include <cstdint>
#include <string>

namespace kestran {

enum class TVerifyAnswer {
  Valid,    // the mailbox side would take mail for the address (2xx)
  Invalid,  // it refuses the address for good (5xx)
  Unknown,  // no answer, a temporary refusal, a time-out, a hop out of reach
};

class TRecipientVerifier {
 public:
  virtual ~TRecipientVerifier() = default;
  // address: the recipient as RCPT parsed it (local part, "@", domain).
  virtual TVerifyAnswer Verify(const std::string& address) = 0;
  // The largest message the mailbox side said it takes (its SIZE), 0 when it named none
  // or has not been asked yet.
  virtual uint64_t MailboxSizeLimit() const { return 0; }
};

}  // namespace kestran
