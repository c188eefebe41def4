// What the harness's programs measure of their own memory beside the stand-in
// host: the commit charge.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kvstub {

// Private committed bytes of this process, as Windows counts them against
// its commit limit: every committed page of private memory, touched or not.
inline int64_t PrivateCommit() {
  int64_t total = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
       at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
      total += static_cast<int64_t>(region.RegionSize);
    if (region.RegionSize == 0) break;
  }
  return total;
}

}  // namespace kvstub
