#include "collation.h"

namespace kvp {

namespace {
inline char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
}
}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string MatchKey(std::string_view text) {
  std::string key(text);
  for (char& c : key) c = Upper(c);
  return key;
}

uint64_t MatchHash(std::string_view text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the folded bytes
  for (char c : text) {
    h ^= static_cast<unsigned char>(Upper(c));
    h *= 1099511628211ull;
  }
  return h;
}

bool IsLeadByte(unsigned char) noexcept {
  return false;
}

}  // namespace kvp
