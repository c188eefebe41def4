// Name rules shared by the parser, saving and the file utilities. Names are
// 8-bit ANSI text; "\" and ":" separate folders (and "/" too where the caller
// asks for it). In a double-byte code page the trailing byte of a character
// never counts as a separator or a dot.
#pragma once

#include <cstddef>
#include <string_view>

namespace kvp {

enum class Separators { Windows, WindowsAndSlash };

// Offset of the last separator, or npos.
size_t LastSeparator(std::string_view name, Separators seps = Separators::Windows);
// The bare name: everything after the last separator.
std::string_view ExtractFileName(std::string_view name, Separators seps = Separators::Windows);
// The extension with its dot: from the last "." after the last separator to
// the end; empty when there is no such dot.
std::string_view ExtractFileExt(std::string_view name, Separators seps = Separators::Windows);
// The folder: everything before the last separator, except that a "\" right
// after a ":" or another "\" stays with it (C:\x.txt gives C:\).
std::string_view ExtractFileDir(std::string_view name);

// The same rules for wide names, as scripts pass them: every character is
// one unit there, so no double-byte rule applies.
std::wstring_view ExtractFileName(std::wstring_view name, Separators seps = Separators::Windows);
std::wstring_view ExtractFileExt(std::wstring_view name, Separators seps = Separators::Windows);
std::wstring_view ExtractFileDir(std::wstring_view name);

}  // namespace kvp
