#include "platform/os_win32.h"

#include "platform/memory_release.h"

#include <malloc.h>

namespace kestran {

void ReturnFreeMemory() {
  // The C runtime's heap first, then the process heap it draws from.
  _heapmin();
  HeapCompact(GetProcessHeap(), 0);
}

}  // namespace kestran
