#pragma once
// A verifier that remembers the answers of another per address, in this process: a
// Valid answer for positiveSeconds, an Invalid one for negativeSeconds, an Unknown one
// not at all. At most capacity addresses are held; the oldest answer goes first, so a
// dictionary attack cannot grow the cache. Addresses are compared without regard to
// letter case.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "smtp/recipient_verifier.h"

namespace kestran {

class TVerifyCache : public TRecipientVerifier {
 public:
  static constexpr size_t kDefaultCapacity = 100000;
  // Seconds on a monotonic clock.
  using TClock = std::function<double()>;

  TVerifyCache(std::shared_ptr<TRecipientVerifier> inner, uint32_t positiveSeconds,
               uint32_t negativeSeconds, size_t capacity = kDefaultCapacity,
               TClock clock = nullptr);

  TVerifyAnswer Verify(const std::string& address) override;
  uint64_t MailboxSizeLimit() const override { return inner_->MailboxSizeLimit(); }
  size_t Size() const;

 private:
  struct TEntry {
    TVerifyAnswer answer;
    double expires;
    std::list<std::string>::iterator age;  // its place in order_
  };
  bool Lookup(const std::string& key, double now, TVerifyAnswer& answer);
  void Store(const std::string& key, TVerifyAnswer answer, double expires);

  std::shared_ptr<TRecipientVerifier> inner_;
  const double positiveSeconds_;
  const double negativeSeconds_;
  const size_t capacity_;
  TClock clock_;
  mutable std::mutex lock_;
  std::unordered_map<std::string, TEntry> entries_;
  std::list<std::string> order_;  // oldest first
};

}  // namespace kestran
