#include "pathrules.h"

#include "../engine/collation.h"

namespace kvp {

namespace {

template <typename Char>
bool IsSeparator(Char c, Separators seps) {
  return c == '\\' || c == ':' || (c == '/' && seps == Separators::WindowsAndSlash);
}

// The last separator of a wide name, or npos.
size_t LastSeparatorW(std::wstring_view name, Separators seps) {
  for (size_t i = name.size(); i-- > 0;)
    if (IsSeparator(name[i], seps)) return i;
  return std::wstring_view::npos;
}

// Calls visit(offset, byte) for every byte that begins a character, skipping
// the trailing bytes of double-byte characters.
template <typename Visit>
void ForEachCharStart(std::string_view name, Visit visit) {
  for (size_t i = 0; i < name.size(); ++i) {
    const auto b = static_cast<unsigned char>(name[i]);
    visit(i, static_cast<char>(b));
    if (IsLeadByte(b) && i + 1 < name.size()) ++i;
  }
}

}  // namespace

size_t LastSeparator(std::string_view name, Separators seps) {
  size_t last = std::string_view::npos;
  ForEachCharStart(name, [&](size_t i, char c) {
    if (IsSeparator(c, seps)) last = i;
  });
  return last;
}

std::string_view ExtractFileName(std::string_view name, Separators seps) {
  const size_t sep = LastSeparator(name, seps);
  return sep == std::string_view::npos ? name : name.substr(sep + 1);
}

std::string_view ExtractFileExt(std::string_view name, Separators seps) {
  size_t dot = std::string_view::npos;
  ForEachCharStart(name, [&](size_t i, char c) {
    if (IsSeparator(c, seps))
      dot = std::string_view::npos;
    else if (c == '.')
      dot = i;
  });
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

std::string_view ExtractFileDir(std::string_view name) {
  size_t sep = LastSeparator(name);
  if (sep == std::string_view::npos) return std::string_view();
  if (sep > 0 && name[sep] == '\\' && (name[sep - 1] == ':' || name[sep - 1] == '\\')) ++sep;
  return name.substr(0, sep);
}

std::wstring_view ExtractFileName(std::wstring_view name, Separators seps) {
  const size_t sep = LastSeparatorW(name, seps);
  return sep == std::wstring_view::npos ? name : name.substr(sep + 1);
}

std::wstring_view ExtractFileExt(std::wstring_view name, Separators seps) {
  const std::wstring_view bare = ExtractFileName(name, seps);
  const size_t dot = bare.rfind(L'.');
  return dot == std::wstring_view::npos ? std::wstring_view() : bare.substr(dot);
}

std::wstring_view ExtractFileDir(std::wstring_view name) {
  size_t sep = LastSeparatorW(name, Separators::Windows);
  if (sep == std::wstring_view::npos) return std::wstring_view();
  if (sep > 0 && name[sep] == L'\\' && (name[sep - 1] == L':' || name[sep - 1] == L'\\')) ++sep;
  return name.substr(0, sep);
}

}  // namespace kvp
