// Text helpers of the ASP host: code-page conversion, the encodings that
// Server offers to pages, URL decoding of query strings, and the wording of
// HRESULTs.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kvasp {

// Bytes in code page `codePage` as wide text, and back. Invalid sequences
// become the code page's default character; they never fail.
std::wstring Widen(std::string_view bytes, UINT codePage);
std::string Narrow(std::wstring_view text, UINT codePage);

// Case-insensitive comparison of ASCII-range names (ordinal, no locale).
bool SameName(std::wstring_view a, std::wstring_view b) noexcept;
bool SameName(std::string_view a, std::string_view b) noexcept;

// "+" becomes a space, "%XY" the byte XY; a "%" without two hex digits stays.
std::string UrlDecode(std::string_view text);

// Server.URLEncode: letters and digits stay, a space becomes "+", every other
// byte "%XY" (upper-case hex).
std::string UrlEncode(std::string_view bytes);

// Server.URLPathEncode: bytes outside printable ASCII and spaces become "%XY".
std::string UrlPathEncode(std::string_view bytes);

// Server.HTMLEncode: & < > " as entities, characters 160 to 255 as &#N;.
std::wstring HtmlEncode(std::wstring_view text);

// "800a000d": the status as eight lower-case hex digits.
std::wstring HexStatus(HRESULT status);

// The system's wording of a status, without the trailing line end; empty when
// the system has none.
std::wstring StatusText(HRESULT status);

}  // namespace kvasp
