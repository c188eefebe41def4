// Appending lines of ANSI text to a file through a small buffer.
#pragma once

#include <string>
#include <string_view>

namespace kvp {

// Appends text and CR LF to the file name, which is opened or created in one
// step (so that requests appending at once never replace each other's
// lines), through a 128-byte buffer; the file is closed before returning. Failures
// raise EInOutError with the platform's error number.
void AppendLineToFile(const std::wstring& name, std::string_view text);

// The message for an input/output error number.
std::string InOutErrorMessage(unsigned long code);

}  // namespace kvp
