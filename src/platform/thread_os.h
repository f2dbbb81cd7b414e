#pragma once
// The system's part of TThread: starting a detached thread and naming the calling one.
// thread.cpp holds the portable logic; thread_posix.cpp and thread_win32.cpp hold these.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestran::thread_os {

using ThreadEntry = void* (*)(void*);

// Starts a detached system thread that runs entry(arg); a stackSize of 0 keeps the
// system's default. Returns an empty string on success, otherwise why it failed.
std::string StartDetachedThread(ThreadEntry entry, void* arg, size_t stackSize);

// Like StartDetachedThread, but on a parked system thread of the same stack size when
// one is idle: a body that returns parks its thread for the next start instead of ending
// it (a few are kept, each for a while). The body sees an ordinary thread.
std::string StartPooledThread(ThreadEntry entry, void* arg, size_t stackSize);

// The system's id of the calling thread.
uint64_t CurrentThreadId();

}  // namespace kestran::thread_os
