#pragma once
// Sleeping on a 32-bit word until another thread changes it: the cheapest wait there is
// for one-shot states shared by a few threads (no lock to take again on waking, no
// spinning first).

#include <atomic>
#include <cstdint>

namespace kestran {

// Sleeps while word holds expected; may also return early, so callers check again.
void WaitWord(std::atomic<uint32_t>& word, uint32_t expected);

// The same for at most timeoutMs milliseconds.
void WaitWordFor(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutMs);

// The same for at most timeoutUs microseconds.
void WaitWordForMicroseconds(std::atomic<uint32_t>& word, uint32_t expected, uint32_t timeoutUs);

// Wakes one or every thread sleeping on word (after word was changed).
void WakeWord(std::atomic<uint32_t>& word, bool all);

}  // namespace kestran
