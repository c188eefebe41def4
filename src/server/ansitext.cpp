#include "ansitext.h"

#include <climits>

#include "exceptions.h"

namespace kvp {

std::string ToAnsi(std::wstring_view text, UINT codePage) {
  if (text.empty()) return std::string();
  if (text.size() > INT_MAX / 4) throw EOutOfMemory("Out of memory");
  const int len = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(codePage, 0, text.data(), len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), len, out.data(), n, nullptr, nullptr);
  return out;
}

std::string ToAnsi(BSTR text, UINT codePage) {
  return text ? ToAnsi(std::wstring_view(text, SysStringLen(text)), codePage) : std::string();
}

std::wstring WideText(BSTR text) {
  return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::wstring ToWideString(std::string_view text, UINT codePage) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) throw EOutOfMemory("Out of memory");
  const int len = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(codePage, 0, text.data(), len, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), len, out.data(), n);
  return out;
}

BSTR ToBstr(std::string_view text, UINT codePage) {
  if (text.empty()) return nullptr;
  const std::wstring wide = ToWideString(text, codePage);
  BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!b) throw EOutOfMemory("Out of memory");
  return b;
}

BSTR ToBstr(std::wstring_view text) {
  if (text.empty()) return nullptr;
  if (text.size() > UINT_MAX / 4) throw EOutOfMemory("Out of memory");
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw EOutOfMemory("Out of memory");
  return b;
}

bool IsUsableCodePage(UINT codePage) noexcept {
  if (codePage == CP_ACP) return true;
  // The aliases for the OEM, Macintosh and thread code pages stand for
  // different code pages on different machines: a page names one outright.
  if (codePage <= CP_THREAD_ACP || !IsValidCodePage(codePage)) return false;
  wchar_t probe = 0;
  return MultiByteToWideChar(codePage, 0, "A", 1, &probe, 1) == 1;
}

}  // namespace kvp
