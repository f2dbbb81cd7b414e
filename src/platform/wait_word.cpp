#include "platform/wait_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace kestran {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

namespace {

uint32_t* Address(std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(&word);
}

// EAGAIN (the word changed first), EINTR and ETIMEDOUT all just return.
void WaitWordAtMost(std::atomic<uint32_t>& word, uint32_t expected, const timespec& relative) {
  ::syscall(SYS_futex, Address(word), FUTEX_WAIT_PRIVATE, expected, &relative, nullptr, 0);
}

}  // namespace

void WaitWord(std::atomic<uint32_t>& word, uint32_t expected) {
  // EAGAIN (the word changed first) and EINTR both just return.
  ::syscall(SYS_futex, Address(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void WaitWordFor(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs) {
  WaitWordAtMost(word, expected,
                 timespec{static_cast<time_t>(timeoutMs / 1000),
                          static_cast<long>(timeoutMs % 1000) * 1000000L});
}

void WaitWordForMicroseconds(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutUs) {
  WaitWordAtMost(word, expected,
                 timespec{static_cast<time_t>(timeoutUs / 1000000),
                          static_cast<long>(timeoutUs % 1000000) * 1000L});
}

void WakeWord(std::atomic<uint32_t>& word, bool all) {
  ::syscall(SYS_futex, Address(word), FUTEX_WAKE_PRIVATE, all ? INT_MAX : 1, nullptr, nullptr, 0);
}

}  // namespace kestran
