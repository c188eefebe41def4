// Finding the boundary that ends a file's content.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvp {

// Offset of the first occurrence of pattern that lies wholly inside
// [from, end), or -1. Patterns shorter than two bytes never match. Runs in
// linear time whatever the input: candidates come from memchr on one pattern
// byte, and a prefix-table scan takes over when the input starts to defeat
// that.
int64_t FindDelimiter(const uint8_t* data, int64_t from, int64_t end, std::string_view pattern);

}  // namespace kvp
