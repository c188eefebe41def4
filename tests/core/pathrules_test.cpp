// The name rules: bare name, extension and folder of 8-bit names.
#include "fileout/pathrules.h"

#include <gtest/gtest.h>

namespace {

using kvp::Separators;

struct NameCase {
  const char* name;
  const char* fileName;       // "\" and ":" only
  const char* fileNameSlash;  // "/" as well
  const char* ext;
  const char* extSlash;
};

TEST(PathRules, FileNameAndExtension) {
  const NameCase cases[] = {
      {"C:\\dir\\photo.JPG", "photo.JPG", "photo.JPG", ".JPG", ".JPG"},
      {"archive.tar.gz", "archive.tar.gz", "archive.tar.gz", ".gz", ".gz"},
      {"name.", "name.", "name.", ".", "."},
      {"noext", "noext", "noext", "", ""},
      {"dir.v1\\file", "file", "file", "", ""},
      {"dir.v1\\file.c", "file.c", "file.c", ".c", ".c"},
      {"C:x.txt", "x.txt", "x.txt", ".txt", ".txt"},
      {"C:.x", ".x", ".x", ".x", ".x"},
      {"dir\\", "", "", "", ""},
      {"\\\\server\\share", "share", "share", "", ""},
      {"../../x.asp", "../../x.asp", "x.asp", ".asp", ".asp"},
      {"a.b/c", "a.b/c", "c", ".b/c", ""},
      {"a/b.c\\d", "d", "d", "", ""},
      {"", "", "", "", ""},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(kvp::ExtractFileName(c.name), c.fileName) << c.name;
    EXPECT_EQ(kvp::ExtractFileName(c.name, Separators::WindowsAndSlash), c.fileNameSlash) << c.name;
    EXPECT_EQ(kvp::ExtractFileExt(c.name), c.ext) << c.name;
    EXPECT_EQ(kvp::ExtractFileExt(c.name, Separators::WindowsAndSlash), c.extSlash) << c.name;
  }
}

TEST(PathRules, Directory) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\x.txt", "C:\\"},
      {"C:\\dir\\x.txt", "C:\\dir"},
      {"C:\\dir\\", "C:\\dir"},
      {"\\\\server\\share", "\\\\server"},
      {"\\\\server\\share\\f.txt", "\\\\server\\share"},
      {"\\\\server", "\\\\"},
      {"a\\\\b", "a\\\\"},
      {"C:x.txt", "C"},
      {"dir.v1\\a.b", "dir.v1"},
      {"x.txt", ""},
      {"/srv/www/x.txt", ""},
      {"", ""},
  };
  for (const auto& [name, dir] : cases) EXPECT_EQ(kvp::ExtractFileDir(name), dir) << name;
}

// Wide names follow the same rules as their narrow forms, for every case
// above that the narrow rules answer without the double-byte rule.
TEST(PathRules, WideNamesAgreeWithNarrowOnes) {
  const char* names[] = {"C:\\x.txt",
                         "C:\\dir\\x.tar.gz",
                         "\\\\server\\share\\f.txt",
                         "a\\\\b",
                         "C:x.txt",
                         "dir.v1\\a.b",
                         "/srv/www/x.txt",
                         "d/e.f/g",
                         "name.",
                         "noext",
                         "",
                         "x:y.z\\w"};
  for (const char* narrow : names) {
    const std::string n = narrow;
    const std::wstring w(n.begin(), n.end());
    auto same = [](std::string_view a, std::wstring_view b) {
      return std::wstring(a.begin(), a.end()) == b;
    };
    for (const auto seps : {kvp::Separators::Windows, kvp::Separators::WindowsAndSlash}) {
      EXPECT_TRUE(same(kvp::ExtractFileName(n, seps), kvp::ExtractFileName(w, seps))) << n;
      EXPECT_TRUE(same(kvp::ExtractFileExt(n, seps), kvp::ExtractFileExt(w, seps))) << n;
    }
    EXPECT_TRUE(same(kvp::ExtractFileDir(n), kvp::ExtractFileDir(w))) << n;
  }
  EXPECT_EQ(
      kvp::ExtractFileExt(std::wstring_view(L"C:\\\u65e5.d\\\u0101"), kvp::Separators::Windows),
      L"");
  EXPECT_EQ(kvp::ExtractFileExt(std::wstring_view(L"\u0395\u03bb.pdf")), L".pdf");
}

}  // namespace
