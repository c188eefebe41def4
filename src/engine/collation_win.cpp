#include <windows.h>

#include <climits>
#include <vector>

#include "collation.h"
#include "keyedhash.h"

namespace kvp {

namespace {
int Clamp(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}
}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.empty() ? "" : a.data(),
                        Clamp(a.size()), b.empty() ? "" : b.data(), Clamp(b.size())) == CSTR_EQUAL;
}

// The platform's sort key: two texts compare equal exactly when their sort
// keys (for the same locale and flags) are equal.
std::string MatchKey(std::string_view text) {
  // A length of 0 is refused: the empty text goes as a terminated string, so
  // that it gets the same key as texts made only of ignored characters.
  const char* source = text.empty() ? "" : text.data();
  const int length = text.empty() ? -1 : Clamp(text.size());
  const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
  const int n = LCMapStringA(LOCALE_USER_DEFAULT, flags, source, length, nullptr, 0);
  if (n <= 0) return std::string(1, '\x01') + std::string(text);
  std::string key(static_cast<size_t>(n), '\0');
  const int m = LCMapStringA(LOCALE_USER_DEFAULT, flags, source, length, key.data(), n);
  if (m <= 0) return std::string(1, '\x01') + std::string(text);
  key.resize(static_cast<size_t>(m));
  return key;
}

uint64_t MatchHash(std::string_view text) {
  // Short names, the usual case, get their key in a buffer on the stack.
  char buffer[512];
  const char* source = text.empty() ? "" : text.data();
  const int length = text.empty() ? -1 : Clamp(text.size());
  int n = LCMapStringA(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, source, length, buffer,
                       sizeof buffer);
  std::string longKey;
  const char* key = buffer;
  if (n <= 0) {
    longKey = MatchKey(text);
    key = longKey.data();
    n = static_cast<int>(longKey.size());
  }
  return SipHash<1, 3>(ProcessHashKey(), key, static_cast<size_t>(n));
}

bool IsLeadByte(unsigned char byte) noexcept {
  return IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace kvp
