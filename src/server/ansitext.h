// Text crossing the automation boundary: wide strings outside, 8-bit ANSI
// (the system code page, no flags) inside. A character the code page lacks
// becomes its default character.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace kvp {

// A null BSTR reads as the empty text.
std::string ToAnsi(BSTR text);
// A BSTR's text as it is, embedded NULs included; null reads as empty.
std::wstring WideText(BSTR text);
std::string ToAnsi(std::wstring_view text);
std::wstring ToWideString(std::string_view text);
// A new BSTR for the text; the empty text gives a null BSTR. Raises
// EOutOfMemory when no memory is left.
BSTR ToBstr(std::string_view text);
// A new BSTR holding the wide text; the empty text gives a null BSTR.
BSTR ToBstr(std::wstring_view text);

}  // namespace kvp
