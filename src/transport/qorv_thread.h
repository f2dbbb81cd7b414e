#pragma once
// The thread base of the transport: BeforeRun, then Run while no stop is requested, then
// AfterRun (also when Run raised). Exceptions end the thread quietly.

#include <cstddef>

#include "platform/thread.h"

namespace kestran {

class TQorvThread : public TThread {
 public:
  explicit TQorvThread(bool createSuspended = true, size_t stackSize = 0)
      : TThread(createSuspended, stackSize) {}

  // Sets StopRequested, then waits for the thread to end.
  virtual void StopAndWait();

 protected:
  void Execute() override;
  virtual void Run() = 0;
  virtual void AfterRun() {}
  virtual void BeforeRun() {}
};

}  // namespace kestran
