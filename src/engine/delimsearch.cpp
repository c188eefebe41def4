#include "delimsearch.h"

#include <cstring>
#include <vector>

#include "bytescan.h"

namespace kvp {

namespace {

// Knuth-Morris-Pratt from `from`: linear in the bytes scanned plus the pattern.
int64_t PrefixTableSearch(const uint8_t* data, int64_t from, int64_t end, const uint8_t* pat,
                          int64_t len) {
  std::vector<int64_t> fail(static_cast<size_t>(len), 0);
  for (int64_t i = 1, k = 0; i < len; ++i) {
    while (k > 0 && pat[i] != pat[k]) k = fail[static_cast<size_t>(k - 1)];
    if (pat[i] == pat[k]) ++k;
    fail[static_cast<size_t>(i)] = k;
  }
  int64_t k = 0;
  for (int64_t i = from; i < end; ++i) {
    if (k == 0) {
      // Nothing matched yet: jump to the next byte that can start a match.
      const uint8_t* hit = FindByte(data + i, static_cast<size_t>(end - i), pat[0]);
      if (!hit) return -1;
      i = hit - data;
    }
    while (k > 0 && data[i] != pat[k]) k = fail[static_cast<size_t>(k - 1)];
    if (data[i] == pat[k]) ++k;
    if (k == len) return i - len + 1;
  }
  return -1;
}

}  // namespace

int64_t FindDelimiter(const uint8_t* data, int64_t from, int64_t end, std::string_view pattern) {
  const auto len = static_cast<int64_t>(pattern.size());
  if (len < 2 || from < 0 || end - from < len) return -1;
  const auto* pat = reinterpret_cast<const uint8_t*>(pattern.data());

  // Candidates must show the pattern's first byte and, at its offset, the
  // byte that is rarest in the pattern itself (the later the better). Both
  // are looked for together: boundaries end in characters that occur once in
  // them, and content built from the boundary less its last byte then holds
  // no candidate at all.
  int64_t counts[256] = {};
  for (int64_t i = 0; i < len; ++i) ++counts[pat[i]];
  int64_t key = len - 1;
  for (int64_t i = len - 2; i >= 1; --i)
    if (counts[pat[i]] < counts[pat[key]]) key = i;

  // Verifications may cost up to len bytes each; once they outweigh the ground
  // covered, the input is adversarial and the linear scan takes over.
  const int64_t allowance = 4096 + 8 * len;
  int64_t verified = 0;
  const int64_t lastStart = end - len;
  int64_t p = from;
  while (p <= lastStart) {
    const uint8_t* hit = FindPair(data + p, static_cast<size_t>(lastStart - p + 1), pat[0],
                                  static_cast<size_t>(key), pat[key]);
    if (!hit) return -1;
    p = hit - data;
    if (std::memcmp(data + p, pat, static_cast<size_t>(len)) == 0) return p;
    verified += len;
    if (verified > allowance + 4 * (p - from)) return PrefixTableSearch(data, p, end, pat, len);
    ++p;
  }
  return -1;
}

}  // namespace kvp
