// Where the C allocator cannot be stood in for (the Windows build), the heap
// is not counted: StopHeapCount answers -1.
#include "alloc_counter.h"

namespace kvbench {

void StartHeapCount() {}
int64_t StopHeapCount() {
  return -1;
}

}  // namespace kvbench
