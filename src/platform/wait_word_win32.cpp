#include "platform/wait_word.h"

namespace kestran {

void WaitWord(std::atomic<uint32_t>& word, uint32_t expected) {
  word.wait(expected, std::memory_order_acquire);
}

void WakeWord(std::atomic<uint32_t>& word, bool all) {
  if (all)
    word.notify_all();
  else
    word.notify_one();
}

}  // namespace kestran
