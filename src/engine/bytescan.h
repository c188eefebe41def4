// Finding one byte in a buffer as fast as the machine allows. glibc's memchr
// is vectorised; the Windows C runtime's is not (Wine's scans a byte at a
// time), so the Windows build scans 16 bytes per step with SSE2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kvp {

inline const uint8_t* FindByte(const uint8_t* data, size_t size, uint8_t byte) noexcept {
#if defined(_WIN32) && defined(__SSE2__)
  const uint8_t* p = data;
  const uint8_t* const end = data + size;
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
  while (end - p >= 64) {
    const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), wanted);
    const __m128i b =
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), wanted);
    const __m128i c =
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), wanted);
    const __m128i d =
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), wanted);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
    p += 64;
  }
  while (end - p >= 16) {
    const int mask = _mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), wanted));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
  for (; p < end; ++p)
    if (*p == byte) return p;
  return nullptr;
#else
  return static_cast<const uint8_t*>(std::memchr(data, byte, size));
#endif
}

// The first p in [0, count) with data[p] == first and data[p + offset] ==
// second; data must be readable up to count - 1 + offset. Looking for two
// bytes at once leaves few candidates even where one of them is common.
inline const uint8_t* FindPair(const uint8_t* data, size_t count, uint8_t first, size_t offset,
                               uint8_t second) noexcept {
  const uint8_t* p = data;
  const uint8_t* const end = data + count;
#if defined(__SSE2__)
  const __m128i a = _mm_set1_epi8(static_cast<char>(first));
  const __m128i b = _mm_set1_epi8(static_cast<char>(second));
  while (end - p >= 16) {
    const __m128i x = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), a);
    const __m128i y =
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + offset)), b);
    const int mask = _mm_movemask_epi8(_mm_and_si128(x, y));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  for (; p < end; ++p)
    if (*p == first && p[offset] == second) return p;
  return nullptr;
}

}  // namespace kvp
