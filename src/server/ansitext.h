// Text crossing the automation boundary: wide strings outside, 8-bit text
// inside. Every conversion takes a code page; CP_ACP (0, the default) is the
// system's ANSI code page, used with no flags. A character the code page
// lacks becomes its default character; a byte sequence it cannot read
// becomes its replacement character.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace kvp {

// A null BSTR reads as the empty text.
std::string ToAnsi(BSTR text, UINT codePage = CP_ACP);
// A BSTR's text as it is, embedded NULs included; null reads as empty.
std::wstring WideText(BSTR text);
std::string ToAnsi(std::wstring_view text, UINT codePage = CP_ACP);
std::wstring ToWideString(std::string_view text, UINT codePage = CP_ACP);
// A new BSTR for the text; the empty text gives a null BSTR. Raises
// EOutOfMemory when no memory is left.
BSTR ToBstr(std::string_view text, UINT codePage = CP_ACP);
// A new BSTR holding the wide text; the empty text gives a null BSTR.
BSTR ToBstr(std::wstring_view text);

// True for CP_ACP and for every code page this system converts text with.
bool IsUsableCodePage(UINT codePage) noexcept;

}  // namespace kvp
