// Heap bytes held by the process, counted at the C allocator.
#pragma once

#include <cstdint>

namespace kvbench {

// Counts from zero: every block allocated from now on, less those freed.
void StartHeapCount();
// Stops counting; returns the highest count seen since StartHeapCount.
int64_t StopHeapCount();

}  // namespace kvbench
