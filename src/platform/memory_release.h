#pragma once
// Gives the pages that the heap holds but no longer uses back to the system, so that the
// resident size falls again after a burst of allocations. It walks the whole heap: call it
// rarely.

namespace kestran {

void ReturnFreeMemory();

}  // namespace kestran
