#include "keyedhash.h"

#ifdef _WIN32
#include <windows.h>
#include <ntsecapi.h>  // RtlGenRandom (advapi32's SystemFunction036)

#include <atomic>
#else
#include <chrono>
#include <random>
#endif

namespace kvp {

namespace {

// Mixes what a process has of its own when the random source fails: its
// address layout, its id, the clock. Not secret, but different per process.
uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

#ifdef _WIN32

THashKey g_key;
std::atomic<bool> g_drawn{false};
INIT_ONCE g_keyOnce = INIT_ONCE_STATIC_INIT;

// Run once, by whichever thread hashes a name first. Takes no memory, so it
// cannot fail for want of it.
BOOL CALLBACK DrawKey(PINIT_ONCE, PVOID, PVOID*) {
  THashKey key;
  if (!RtlGenRandom(&key, sizeof key)) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    key.k0 = Mix(static_cast<uint64_t>(now.QuadPart) ^ reinterpret_cast<uintptr_t>(&key));
    key.k1 = Mix(key.k0 ^ GetCurrentProcessId() ^ GetTickCount64());
  }
  g_key = key;
  g_drawn.store(true, std::memory_order_release);
  return TRUE;
}

}  // namespace

const THashKey& ProcessHashKey() noexcept {
  if (!g_drawn.load(std::memory_order_acquire))
    InitOnceExecuteOnce(&g_keyOnce, DrawKey, nullptr, nullptr);
  return g_key;
}

#else

}  // namespace

const THashKey& ProcessHashKey() noexcept {
  static const THashKey key = [] {
    THashKey k;
    try {
      std::random_device source;
      k.k0 = (uint64_t{source()} << 32) ^ source();
      k.k1 = (uint64_t{source()} << 32) ^ source();
    } catch (...) {
      const auto now =
          static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      k.k0 = Mix(now ^ reinterpret_cast<uintptr_t>(&k));
      k.k1 = Mix(k.k0 + 1);
    }
    return k;
  }();
  return key;
}

#endif

}  // namespace kvp
