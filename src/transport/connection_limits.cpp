#include "transport/connection_limits.h"

#include "platform/ip_address.h"

namespace kestran {

TConnectionSlot::TConnectionSlot(std::shared_ptr<TConnectionLimits> limits, std::string address)
    : limits_(std::move(limits)), address_(std::move(address)) {}

TConnectionSlot& TConnectionSlot::operator=(TConnectionSlot&& other) noexcept {
  if (this != &other) {
    Release();
    limits_ = std::move(other.limits_);
    address_ = std::move(other.address_);
  }
  return *this;
}

TConnectionSlot::~TConnectionSlot() {
  Release();
}

void TConnectionSlot::Release() {
  if (!limits_) return;
  limits_->Leave(address_);
  limits_.reset();
}

bool TConnectionSlot::Claim(const std::string& address) {
  if (!limits_ || !address_.empty() || address.empty()) return false;
  std::string client;
  if (!limits_->Join(address, client)) return false;
  address_ = client;
  return true;
}

void TConnectionLimits::SetMaxConnections(uint32_t value) {
  std::lock_guard<std::mutex> g(lock_);
  maxTotal_ = value;
}

void TConnectionLimits::SetMaxConnectionsPerIP(uint32_t value) {
  std::lock_guard<std::mutex> g(lock_);
  maxPerAddress_ = value;
}

uint32_t TConnectionLimits::MaxConnections() const {
  std::lock_guard<std::mutex> g(lock_);
  return maxTotal_;
}

uint32_t TConnectionLimits::MaxConnectionsPerIP() const {
  std::lock_guard<std::mutex> g(lock_);
  return maxPerAddress_;
}

void TConnectionLimits::SetIPv6PrefixLength(uint32_t bits) {
  ipv6PrefixLength_.store(bits >= 1 && bits <= 128 ? bits : 64, std::memory_order_relaxed);
}

uint32_t TConnectionLimits::IPv6PrefixLength() const {
  return ipv6PrefixLength_.load(std::memory_order_relaxed);
}

std::string TConnectionLimits::ClientOf(const std::string& address) const {
  if (address.find(':') == std::string::npos) return address;
  auto a = ParseIpAddress(address);
  if (!a || !a->v6) return address;
  const uint32_t bits = IPv6PrefixLength();
  return FormatIpAddress(MaskedAddress(*a, bits)) + "/" + std::to_string(bits);
}

bool TConnectionLimits::TryAdmit(const std::string& text, TConnectionSlot& slot) {
  // The client's key is made before the lock that every accept and every close takes.
  const std::string address = ClientOf(text);
  {
    std::lock_guard<std::mutex> g(lock_);
    if (maxTotal_ != 0 && total_ >= maxTotal_) return false;
    if (!address.empty()) {
      uint32_t& mine = perAddress_[address];
      if (maxPerAddress_ != 0 && mine >= maxPerAddress_) return false;
      ++mine;
    }
    ++total_;
  }
  slot = TConnectionSlot(shared_from_this(), address);
  return true;
}

uint32_t TConnectionLimits::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return total_;
}

uint32_t TConnectionLimits::CountFor(const std::string& address) const {
  const std::string client = ClientOf(address);
  std::lock_guard<std::mutex> g(lock_);
  auto it = perAddress_.find(client);
  return it == perAddress_.end() ? 0 : it->second;
}

bool TConnectionLimits::Join(const std::string& address, std::string& client) {
  client = ClientOf(address);
  std::lock_guard<std::mutex> g(lock_);
  auto it = perAddress_.find(client);
  const uint32_t mine = it == perAddress_.end() ? 0 : it->second;
  if (maxPerAddress_ != 0 && mine >= maxPerAddress_) return false;
  ++perAddress_[client];
  return true;
}

void TConnectionLimits::Leave(const std::string& address) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = address.empty() ? perAddress_.end() : perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
  if (total_ > 0) --total_;
}

}  // namespace kestran
