#include <windows.h>

#include <climits>
#include <string>

#include "collation.h"
#include "keyedhash.h"

namespace kvp {

namespace {

constexpr DWORD kKeyFlags = LCMAP_SORTKEY | NORM_IGNORECASE;

int Clamp(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// A text decoded from a code page; short ones stay on the stack. A text the
// code page cannot decode at all reads as empty, the same way every time.
class Decoded {
 public:
  Decoded(std::string_view text, UINT codePage) {
    if (text.empty()) return;
    const int length = Clamp(text.size());
    size_ = MultiByteToWideChar(codePage, 0, text.data(), length, small_, kSmall);
    if (size_ > 0) return;
    const int need = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (need <= 0) return;
    large_.resize(static_cast<size_t>(need));
    size_ = MultiByteToWideChar(codePage, 0, text.data(), length, large_.data(), need);
    if (size_ <= 0) size_ = 0;
    data_ = large_.data();
  }
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;

  const wchar_t* Data() const noexcept { return size_ > 0 ? data_ : L""; }
  int Size() const noexcept { return size_; }

 private:
  static constexpr int kSmall = 256;
  wchar_t small_[kSmall];
  std::wstring large_;
  const wchar_t* data_ = small_;
  int size_ = 0;
};

// The sort key of a decoded text into buffer (of capacity bytes), or, when it
// does not fit, into key: its length in bytes, or 0. A length of 0 is
// refused: the empty text goes as a terminated string, so that it gets the
// same key as texts made only of ignored characters.
int WideKey(const Decoded& text, char* buffer, int capacity, std::string& key) {
  const int length = text.Size() == 0 ? -1 : text.Size();
  int n = LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text.Data(), length,
                       reinterpret_cast<LPWSTR>(buffer), capacity);
  if (n > 0) return n;
  n = LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text.Data(), length, nullptr, 0);
  if (n <= 0) return 0;
  key.resize(static_cast<size_t>(n));
  n = LCMapStringW(LOCALE_USER_DEFAULT, kKeyFlags, text.Data(), length,
                   reinterpret_cast<LPWSTR>(key.data()), n);
  return n > 0 ? n : 0;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b, unsigned codePage) {
  if (codePage == 0)
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.empty() ? "" : a.data(),
                          Clamp(a.size()), b.empty() ? "" : b.data(),
                          Clamp(b.size())) == CSTR_EQUAL;
  const Decoded wa(a, codePage), wb(b, codePage);
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wa.Data(), wa.Size(), wb.Data(),
                        wb.Size()) == CSTR_EQUAL;
}

// The platform's sort key: two texts compare equal exactly when their sort
// keys (for the same locale and flags) are equal.
std::string MatchKey(std::string_view text, unsigned codePage) {
  std::string key;
  if (codePage != 0) {
    char buffer[512];
    const int n = WideKey(Decoded(text, codePage), buffer, sizeof buffer, key);
    if (n <= 0) return std::string(1, '\x01') + std::string(text);
    if (key.empty()) key.assign(buffer, static_cast<size_t>(n));
    key.resize(static_cast<size_t>(n));
    return key;
  }
  // A length of 0 is refused: the empty text goes as a terminated string, so
  // that it gets the same key as texts made only of ignored characters.
  const char* source = text.empty() ? "" : text.data();
  const int length = text.empty() ? -1 : Clamp(text.size());
  const int n = LCMapStringA(LOCALE_USER_DEFAULT, kKeyFlags, source, length, nullptr, 0);
  if (n <= 0) return std::string(1, '\x01') + std::string(text);
  key.resize(static_cast<size_t>(n));
  const int m = LCMapStringA(LOCALE_USER_DEFAULT, kKeyFlags, source, length, key.data(), n);
  if (m <= 0) return std::string(1, '\x01') + std::string(text);
  key.resize(static_cast<size_t>(m));
  return key;
}

uint64_t MatchHash(std::string_view text, unsigned codePage) {
  // Short names, the usual case, get their key in a buffer on the stack.
  char buffer[512];
  std::string longKey;
  const char* key = buffer;
  int n = 0;
  if (codePage != 0) {
    n = WideKey(Decoded(text, codePage), buffer, sizeof buffer, longKey);
    if (!longKey.empty()) key = longKey.data();
  } else {
    const char* source = text.empty() ? "" : text.data();
    const int length = text.empty() ? -1 : Clamp(text.size());
    n = LCMapStringA(LOCALE_USER_DEFAULT, kKeyFlags, source, length, buffer, sizeof buffer);
  }
  if (n <= 0) {
    longKey = MatchKey(text, codePage);
    key = longKey.data();
    n = static_cast<int>(longKey.size());
  }
  return SipHash<1, 3>(ProcessHashKey(), key, static_cast<size_t>(n));
}

bool IsLeadByte(unsigned char byte) noexcept {
  return IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace kvp
