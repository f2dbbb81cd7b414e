#include "transport/qorv_thread.h"

namespace kestran {

void TQorvThread::StopAndWait() {
  RequestStop();
  WaitFor(kInfinite);
}

void TQorvThread::Execute() {
  try {
    BeforeRun();
    try {
      while (!StopRequested()) Run();
    } catch (...) {
      AfterRun();
      throw;
    }
    AfterRun();
  } catch (...) {
    // The thread simply ends.
  }
}

}  // namespace kestran
