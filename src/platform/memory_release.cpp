#include "platform/memory_release.h"

// Any header of the C library says which one it is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kestran {

void ReturnFreeMemory() {
#if defined(__GLIBC__)
  // Every arena, free pages in the middle of the heap included.
  malloc_trim(0);
#endif
}

}  // namespace kestran
