#include "platform/content_digest.h"

#include <cstring>

namespace kestran {
namespace {

uint64_t Word(const unsigned char* p) {
  uint64_t w = 0;
  for (int i = 7; i >= 0; --i) w = (w << 8) | p[i];
  return w;
}

uint64_t Mix(uint64_t state, uint64_t word) {
  state ^= word * 0x9e3779b97f4a7c15ull;
  state = (state << 29) | (state >> 35);
  return state * 0xbf58476d1ce4e5b9ull;
}

uint64_t Finish(uint64_t h) {
  h ^= h >> 31;
  h *= 0x94d049bb133111ebull;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  return h ^ (h >> 32);
}

}  // namespace

void TContentDigest::Add(const char* data, size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  size_t used = static_cast<size_t>(size_ % 8);
  size_ += size;
  if (used > 0) {
    size_t take = 8 - used < size ? 8 - used : size;
    std::memcpy(pending_ + used, p, take);
    p += take;
    size -= take;
    if (used + take < 8) return;
    state_ = Mix(state_, Word(pending_));
  }
  for (; size >= 8; p += 8, size -= 8) state_ = Mix(state_, Word(p));
  std::memcpy(pending_, p, size);
}

uint64_t TContentDigest::Value() const {
  unsigned char last[8] = {};
  std::memcpy(last, pending_, static_cast<size_t>(size_ % 8));
  return Finish(Mix(Mix(state_, Word(last)), size_));
}

}  // namespace kestran
