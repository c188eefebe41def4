// The C++ runtime keeps an emergency pool for exception objects that malloc
// cannot hold. The pool's lock is a mutex that the threads library makes on
// its first use, and making it takes memory. When that first use comes with
// memory exhausted, locking fails, the runtime throws the lock failure, that
// exception cannot be allocated either, the pool is asked again, and the
// thread recurses until its stack overflows: the host process dies instead of
// the creation failing. Taking one exception object from the pool while
// memory is plentiful makes the lock for good.
//
// The first exception of a process has the same trouble: the unwinder makes
// its once-only objects then, and a once-only object that cannot be allocated
// is written through a null pointer. One exception thrown and caught at
// start-up makes them.
//
// Each thread's exception state (and the threads library's record of a
// thread it did not start) is made on the thread's first exception as well,
// where a failed allocation is again fatal. It is made when the thread asks
// for the class factory (COM asks an in-process server for it on the thread
// that creates the object), before the object takes any memory, so that
// running out while the object is built or reads its request finds it there.
// A process whose memory is gone before that point still dies in the runtime.
//
// The library is linked with --wrap=malloc, so that this file can refuse one
// allocation of the runtime to send it to the pool.
#include "ehpool.h"

#include <windows.h>

#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __wrap_malloc(size_t size);
void* __cxa_allocate_exception(size_t size) noexcept;
void* __cxa_get_globals() noexcept;
void __cxa_free_exception(void* object) noexcept;
}

namespace {
// The thread whose next malloc is refused; 0: none.
volatile DWORD g_refuseFor = 0;
}  // namespace

void* __wrap_malloc(size_t size) {
  if (g_refuseFor != 0 && g_refuseFor == GetCurrentThreadId()) {
    g_refuseFor = 0;
    return nullptr;
  }
  return __real_malloc(size);
}

namespace kvp {

bool WarmExceptionPool() noexcept {
  // The first exception of a process also sets up the unwinder's own state
  // (once-only objects, this thread's exception globals), each taking memory.
  try {
    throw 0;
  } catch (int) {
  }
  g_refuseFor = GetCurrentThreadId();
  void* object = __cxa_allocate_exception(sizeof(void*));
  const bool refused = g_refuseFor == 0;  // the wrapper saw the runtime's malloc
  g_refuseFor = 0;
  __cxa_free_exception(object);
  return refused && object != nullptr;
}

void PrepareThreadForExceptions() noexcept {
  __cxa_get_globals();
}

}  // namespace kvp
