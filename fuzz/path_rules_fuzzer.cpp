// The name rules on arbitrary names, with and without "/" as a separator:
// bare name, extension and last separator against plain backward scans, and
// the folder by how it splits the name. The portable build knows no lead
// bytes, so every byte starts a character here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fileout/pathrules.h"

namespace {

using kvp::Separators;

void Expect(bool ok) {
  if (!ok) std::abort();
}

bool IsSep(char c, Separators seps) {
  return c == '\\' || c == ':' || (c == '/' && seps == Separators::WindowsAndSlash);
}

size_t LastSep(std::string_view name, Separators seps) {
  for (size_t i = name.size(); i-- > 0;)
    if (IsSep(name[i], seps)) return i;
  return std::string_view::npos;
}

// Where part lies inside whole, or npos when it is no view into it.
size_t OffsetIn(std::string_view part, std::string_view whole) {
  if (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size())
    return std::string_view::npos;
  return static_cast<size_t>(part.data() - whole.data());
}

void CheckNameAndExt(std::string_view name, Separators seps) {
  const size_t sep = LastSep(name, seps);
  Expect(kvp::LastSeparator(name, seps) == sep);

  const std::string_view want = sep == std::string_view::npos ? name : name.substr(sep + 1);
  const std::string_view fileName = kvp::ExtractFileName(name, seps);
  Expect(fileName == want);
  Expect(OffsetIn(fileName, name) == name.size() - want.size());

  const size_t dot = want.rfind('.');
  const std::string_view ext = kvp::ExtractFileExt(name, seps);
  Expect(ext == (dot == std::string_view::npos ? std::string_view() : want.substr(dot)));
  if (!ext.empty()) Expect(OffsetIn(ext, name) == name.size() - ext.size());
  // Both are fixed points of their rule.
  Expect(kvp::ExtractFileName(fileName, seps) == fileName);
  Expect(kvp::ExtractFileExt(ext, seps) == ext);
}

// The folder is a prefix of the name; between it and the bare name lies the
// last separator, unless the folder kept that "\" as its root (C:\ or \\).
void CheckDir(std::string_view name) {
  const std::string_view dir = kvp::ExtractFileDir(name);
  const std::string_view fileName = kvp::ExtractFileName(name);
  Expect(OffsetIn(dir, name) == 0 || dir.empty());
  Expect(dir.size() + fileName.size() <= name.size());
  const std::string_view between =
      name.substr(dir.size(), name.size() - dir.size() - fileName.size());
  const size_t sep = LastSep(name, Separators::Windows);
  if (sep == std::string_view::npos) {
    Expect(dir.empty() && between.empty());
  } else if (between.empty()) {
    Expect(dir.size() == sep + 1 && sep > 0 && name[sep] == '\\' &&
           (name[sep - 1] == ':' || name[sep - 1] == '\\'));
  } else {
    Expect(between.size() == 1 && dir.size() == sep);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  CheckNameAndExt(name, Separators::Windows);
  CheckNameAndExt(name, Separators::WindowsAndSlash);
  CheckDir(name);
  // More separators can only shorten the bare name.
  const std::string_view plain = kvp::ExtractFileName(name);
  const std::string_view slash = kvp::ExtractFileName(name, Separators::WindowsAndSlash);
  Expect(slash.size() <= plain.size());
  return 0;
}
