// Makes the C++ runtime's exception machinery (its emergency pool, the
// unwinder's once-only state) usable under memory exhaustion, see ehpool.cpp.
// Called once when the server starts.
#pragma once

namespace kvp {

void WarmExceptionPool() noexcept;

// Makes the calling thread's exception state, see ehpool.cpp. Cheap after
// the thread's first call.
void PrepareThreadForExceptions() noexcept;

}  // namespace kvp
