#include "platform/wait_word.h"

#include <chrono>
#include <thread>

namespace kestran {

void WaitWord(std::atomic<uint32_t>& word, uint32_t expected) {
  word.wait(expected, std::memory_order_acquire);
}

void WaitWordFor(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs) {
  // No timed wait on a word here: look again every millisecond.
  for (uint32_t waited = 0; waited < timeoutMs && word.load() == expected; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void WaitWordForMicroseconds(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutUs) {
  WaitWordFor(word, expected, (timeoutUs + 999) / 1000);
}

void WakeWord(std::atomic<uint32_t>& word, bool all) {
  if (all)
    word.notify_all();
  else
    word.notify_one();
}

}  // namespace kestran
