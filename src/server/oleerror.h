// Failing status codes from the platform and from host objects become
// exceptions inside the object.
#pragma once

#include <windows.h>

#include "exceptions.h"

namespace kvp {

// Raises EOleSysError with an empty message when status is negative.
void CheckStatus(HRESULT status);
// Raises EOleException carrying the calling thread's error information.
[[noreturn]] void RaiseFromStatus(HRESULT status);
// Calls RaiseFromStatus when a host call failed.
inline void CheckHost(HRESULT status) {
  if (FAILED(status)) RaiseFromStatus(status);
}

// Trailing characters of code 32 or below and trailing "." removed.
std::string TrimMessageTail(std::string text);

}  // namespace kvp
