#include "smtp/verify_cache.h"

#include <chrono>

namespace kestran {

namespace {

std::string Folded(const std::string& address) {
  std::string key = address;
  for (auto& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TVerifyCache::TVerifyCache(std::shared_ptr<TRecipientVerifier> inner, uint32_t positiveSeconds,
                           uint32_t negativeSeconds, size_t capacity, TClock clock)
    : inner_(std::move(inner)),
      positiveSeconds_(positiveSeconds),
      negativeSeconds_(negativeSeconds),
      capacity_(capacity),
      clock_(clock ? std::move(clock) : TClock(SteadySeconds)) {}

size_t TVerifyCache::Size() const {
  std::lock_guard<std::mutex> g(lock_);
  return entries_.size();
}

bool TVerifyCache::Lookup(const std::string& key, double now, TVerifyAnswer& answer) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  if (now < it->second.expires) {
    answer = it->second.answer;
    return true;
  }
  order_.erase(it->second.age);
  entries_.erase(it);
  return false;
}

void TVerifyCache::Store(const std::string& key, TVerifyAnswer answer, double expires) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    // Asked twice at once: the later answer stands, as the newest.
    order_.erase(it->second.age);
    entries_.erase(it);
  }
  if (capacity_ == 0) return;
  while (entries_.size() >= capacity_) {
    entries_.erase(order_.front());
    order_.pop_front();
  }
  order_.push_back(key);
  entries_.emplace(key, TEntry{answer, expires, std::prev(order_.end())});
}

TVerifyAnswer TVerifyCache::Verify(const std::string& address) {
  const std::string key = Folded(address);
  TVerifyAnswer answer = TVerifyAnswer::Unknown;
  if (Lookup(key, clock_(), answer)) return answer;
  answer = inner_->Verify(address);
  const double keep = answer == TVerifyAnswer::Valid     ? positiveSeconds_
                      : answer == TVerifyAnswer::Invalid ? negativeSeconds_
                                                         : 0;
  if (keep > 0) Store(key, answer, clock_() + keep);
  return answer;
}

}  // namespace kestran
