// The hash that the name indexes use: SipHash-1-3 under a 128-bit key drawn
// once per process from the system's random source. A client that knows the
// algorithm but not the key cannot choose names that collide, so a body of
// many names costs linear time whatever names it holds.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvp {

struct THashKey {
  uint64_t k0 = 0, k1 = 0;
};

// This process's key, drawn on first use; never fails.
const THashKey& ProcessHashKey() noexcept;

// Leaves each 8-byte word of the input as it is.
struct TSameWord {
  uint64_t operator()(uint64_t w) const noexcept { return w; }
};

// SipHash-c-d of n bytes at data, each word of the input (little-endian,
// the last one padded with zeros) first passed through fold.
template <int C, int D, typename Fold = TSameWord>
uint64_t SipHash(const THashKey& key, const void* data, size_t n, Fold fold = {}) noexcept {
  uint64_t v0 = key.k0 ^ 0x736f6d6570736575ull, v1 = key.k1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = key.k0 ^ 0x6c7967656e657261ull, v3 = key.k1 ^ 0x7465646279746573ull;
  const auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  const auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13) ^ v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = rotl(v1, 17) ^ v2;
    v2 = rotl(v2, 32);
  };
  const auto compress = [&](uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  };
  // Words in little-endian order on any host.
  const auto word = [](const unsigned char* p, size_t k) {
    uint64_t w = 0;
    for (size_t i = k; i-- > 0;) w = (w << 8) | p[i];
    return w;
  };
  const auto* p = static_cast<const unsigned char*>(data);
  size_t left = n;
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t w;
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(&w, p, 8);
    else
      w = word(p, 8);
    compress(fold(w));
  }
  compress((uint64_t{n & 0xff} << 56) | fold(word(p, left)));
  v2 ^= 0xff;
  for (int i = 0; i < D; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace kvp
