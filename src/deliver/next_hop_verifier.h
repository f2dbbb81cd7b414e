#pragma once
// Asks the next hop (LMTP or SMTP) whether it would take mail for an address: LHLO or
// EHLO once per connection, then MAIL FROM:<>, RCPT TO:<address> and RSET for each
// question, in one write (one round trip) where the hop offers PIPELINING. Connections
// are kept and reused by a small pool; a caller waits for a free one when all are busy.
// Every question is bounded by the time-out: connecting, the greeting and the three
// replies together.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deliver/next_hop.h"
#include "smtp/recipient_verifier.h"

namespace kestran {

class TPeerConnection;

class TNextHopVerifier : public TRecipientVerifier {
 public:
  static constexpr size_t kDefaultPoolSize = 4;

  // hop: lmtp: or smtp: (a sendmail: hop cannot be asked: every answer is Unknown).
  TNextHopVerifier(TNextHop hop, std::string heloName, int timeoutMs,
                   size_t poolSize = kDefaultPoolSize);
  ~TNextHopVerifier() override;

  TVerifyAnswer Verify(const std::string& address) override;
  uint64_t MailboxSizeLimit() const override { return sizeLimit_.load(); }

  // Connections opened so far (each says LHLO/EHLO once).
  uint64_t ConnectionsOpened() const { return opened_.load(); }

 private:
  struct TSession;
  std::unique_ptr<TSession> Take(int timeoutMs);
  void Give(std::unique_ptr<TSession> session);
  void Open(TSession& session);
  TVerifyAnswer Ask(TSession& session, const std::string& address);

  const TNextHop hop_;
  const std::string heloName_;
  const int timeoutMs_;
  const size_t poolSize_;
  std::mutex lock_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<TSession>> idle_;
  size_t busy_ = 0;
  std::atomic<uint64_t> sizeLimit_{0};
  std::atomic<uint64_t> opened_{0};
};

}  // namespace kestran
