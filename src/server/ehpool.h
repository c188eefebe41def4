// Makes the C++ runtime's exception machinery (its emergency pool, the
// unwinder's once-only state) usable under memory exhaustion, see ehpool.cpp.
// Called once when the server starts.
#pragma once

namespace kvp {

// True when the runtime's exception allocation met the refused malloc and
// still got its object, from the pool: the warm-up did its work. False means
// the runtime no longer allocates through the wrapped malloc (a toolchain
// change), and the warm-up made nothing.
bool WarmExceptionPool() noexcept;

// Makes the calling thread's exception state, see ehpool.cpp. Cheap after
// the thread's first call.
void PrepareThreadForExceptions() noexcept;

}  // namespace kvp
