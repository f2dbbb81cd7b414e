#pragma once
// Polls a condition every 5 ms until it holds or the limit has passed.

#include <chrono>
#include <thread>

namespace kestran::test {

// Whether pred held within limit.
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace kestran::test
