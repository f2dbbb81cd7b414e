#pragma once
// Runs a function on a thread of its own with a small stack, as connection threads have,
// so that a recursion in proportion to the data shows as a crash of the test.

#include <pthread.h>

#include <exception>
#include <functional>

namespace kestran::test {

inline void RunOnSmallStack(size_t stackBytes, const std::function<void()>& body) {
  struct TCall {
    const std::function<void()>* body;
    std::exception_ptr error;
  } call{&body, nullptr};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  auto entry = [](void* arg) -> void* {
    auto* c = static_cast<TCall*>(arg);
    try {
      (*c->body)();
    } catch (...) {
      c->error = std::current_exception();
    }
    return nullptr;
  };
  if (pthread_create(&thread, &attr, entry, &call) != 0) throw std::runtime_error("no thread");
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
  if (call.error) std::rethrow_exception(call.error);
}

}  // namespace kestran::test
