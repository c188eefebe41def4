// FindDelimiter against a naive scan. Input: one byte of pattern length, the
// pattern, two bytes that place the search window, then the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/delimsearch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 3) return 0;
  const size_t len = in[0] % 64;
  if (size < 3 + len) return 0;
  const std::string pattern(reinterpret_cast<const char*>(in + 3), len);
  const uint8_t* data = in + 3 + len;
  const auto n = static_cast<int64_t>(size - 3 - len);
  // Mostly the whole data; sometimes a window that cuts either end.
  const int64_t from = in[1] < 200 ? 0 : in[1] - 200;
  const int64_t end = in[2] < 200 ? n : n - (in[2] - 200);

  int64_t want = -1;
  if (len >= 2 && from >= 0)
    for (int64_t s = from; s + static_cast<int64_t>(len) <= end; ++s)
      if (pattern.compare(0, len, reinterpret_cast<const char*>(data + s), len) == 0) {
        want = s;
        break;
      }
  if (kvp::FindDelimiter(data, from, end, pattern) != want) std::abort();
  return 0;
}
