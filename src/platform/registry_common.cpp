// The parts of TRegKey both registry backends share.

#include "platform/registry.h"

namespace kestran {

TRegKey::TRegKey(TRegKey&& other) noexcept {
  *this = std::move(other);
}

TRegKey& TRegKey::operator=(TRegKey&& other) noexcept {
  if (this != &other) {
    open_ = other.open_;
    path_ = std::move(other.path_);
    access_ = other.access_;
    other.open_ = false;
    other.path_.clear();
    other.access_ = 0;
  }
  return *this;
}

void TRegKey::Close() {
  open_ = false;
  path_.clear();
  access_ = 0;
}

}  // namespace kestran
