// How the object compares 8-bit names, and what it knows of the ANSI code
// page. The Windows build asks the platform (locale-aware comparison ignoring
// case, lead bytes of a double-byte code page); the portable build, used for
// fuzzing and benchmarks, folds the letters a to z and knows no lead bytes.
//
// Names are compared as the object's text in codePage: 0 (the default) is
// the ANSI code page, compared as 8-bit text (CompareStringA); any other
// code page decodes both names from it and compares the Unicode text
// (CompareStringW). The portable build knows no code pages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvp {

// True when the two texts are equal ignoring case under the user's locale.
bool SameText(std::string_view a, std::string_view b, unsigned codePage = 0);

// A key with SameText(a, b) exactly when MatchKey(a) == MatchKey(b), so that
// names can be indexed by hash instead of compared one by one.
std::string MatchKey(std::string_view text, unsigned codePage = 0);

// A hash of MatchKey(text) under the process's key (keyedhash.h), computed
// without building the key where it can.
uint64_t MatchHash(std::string_view text, unsigned codePage = 0);

// True when the byte opens a double-byte character of the ANSI code page.
bool IsLeadByte(unsigned char byte) noexcept;

}  // namespace kvp
