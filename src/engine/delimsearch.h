// Finding the boundary that ends a file's content.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvp {

// Offset of the first occurrence of pattern that lies wholly inside
// [from, end), or -1. Patterns shorter than two bytes never match. Runs in
// linear time whatever the input: a skip search that falls back to a
// prefix-table scan when the input starts to defeat it.
int64_t FindDelimiter(const uint8_t* data, int64_t from, int64_t end, std::string_view pattern);

}  // namespace kvp
