#pragma once
// The listener's count of admitted connections, in all and per client address. The
// accept thread asks for a place before a connection gets its thread; the place is given
// back when the connection's session has ended (or the connection is destroyed, whichever
// comes first), so a refused client never costs a thread or a session.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace kestran {

class TConnectionLimits;

// One admitted connection's place; gives it back once, at Release or destruction.
class TConnectionSlot {
 public:
  TConnectionSlot() = default;
  TConnectionSlot(std::shared_ptr<TConnectionLimits> limits, std::string address);
  TConnectionSlot(TConnectionSlot&& other) noexcept = default;
  TConnectionSlot& operator=(TConnectionSlot&& other) noexcept;
  TConnectionSlot(const TConnectionSlot&) = delete;
  TConnectionSlot& operator=(const TConnectionSlot&) = delete;
  ~TConnectionSlot();

  void Release();
  // Counts the connection under address as well, for a place taken without one (its
  // address was not known yet); false, and the place unchanged, when that would pass the
  // per-address limit.
  bool Claim(const std::string& address);

 private:
  // Shared, so that a connection freed after its listener still finds the count.
  std::shared_ptr<TConnectionLimits> limits_;
  std::string address_;
};

class TConnectionLimits : public std::enable_shared_from_this<TConnectionLimits> {
 public:
  // 0 = no limit.
  void SetMaxConnections(uint32_t value);
  void SetMaxConnectionsPerIP(uint32_t value);
  uint32_t MaxConnections() const;
  uint32_t MaxConnectionsPerIP() const;
  // How many leading bits of an IPv6 client address make one client for the limit per
  // address (64 unless changed; 1..128, other values keep 64).
  void SetIPv6PrefixLength(uint32_t bits);
  uint32_t IPv6PrefixLength() const;

  // A place for a connection from address, or an empty slot (false) when it would pass
  // either limit. An empty address counts toward the total only.
  bool TryAdmit(const std::string& address, TConnectionSlot& slot);
  // Admitted connections holding a place.
  uint32_t Count() const;
  uint32_t CountFor(const std::string& address) const;

 private:
  // The one client an address belongs to: an IPv6 address's prefix, any other text itself.
  std::string ClientOf(const std::string& address) const;

  friend class TConnectionSlot;
  void Leave(const std::string& address);
  // Counts one more connection for address's client (returned in client, the key that
  // Leave takes) unless that client is at its limit.
  bool Join(const std::string& address, std::string& client);

  mutable std::mutex lock_;
  uint32_t maxTotal_ = 0;
  uint32_t maxPerAddress_ = 0;
  uint32_t total_ = 0;
  std::atomic<uint32_t> ipv6PrefixLength_{64};
  std::unordered_map<std::string, uint32_t> perAddress_;
};

}  // namespace kestran
