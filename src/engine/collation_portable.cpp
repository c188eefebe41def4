#include "collation.h"

#include "keyedhash.h"

namespace kvp {

namespace {
inline char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
}
}  // namespace

bool SameText(std::string_view a, std::string_view b, unsigned) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string MatchKey(std::string_view text, unsigned) {
  std::string key(text);
  for (char& c : key) c = Upper(c);
  return key;
}

uint64_t MatchHash(std::string_view text, unsigned) {
  // The letters a to z of each word become capitals: a byte is one when,
  // below 0x80, it is at least 0x61 and below 0x7B.
  const auto fold = [](uint64_t w) {
    constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full, kHigh = 0x8080808080808080ull;
    const uint64_t low = w & kLow7;
    const uint64_t small =
        (low + 0x1f1f1f1f1f1f1f1full) & ~(low + 0x0505050505050505ull) & ~w & kHigh;
    return w - (small >> 2);
  };
  return SipHash<1, 3>(ProcessHashKey(), text.data(), text.size(), fold);
}

bool IsLeadByte(unsigned char) noexcept {
  return false;
}

}  // namespace kvp
