#pragma once
// A 64-bit digest of bytes fed in pieces of any size: the same bytes give the same value
// however they were split. It tells whether a file holds exactly the bytes once written
// to it (after a crash, for example); it is no defence against someone who chooses the
// bytes to collide.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestran {

class TContentDigest {
 public:
  void Add(const char* data, size_t size);
  void Add(std::string_view s) { Add(s.data(), s.size()); }
  // Bytes added so far.
  uint64_t Size() const { return size_; }
  // The digest of everything added so far (more may be added afterwards).
  uint64_t Value() const;

 private:
  uint64_t state_ = 0x6b657374'72616e31ull;
  uint64_t size_ = 0;
  unsigned char pending_[8] = {};
};

}  // namespace kestran
