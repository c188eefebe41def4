// Turning an exception inside a member into a status code plus error
// information for the caller.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <exception>
#include <string_view>

namespace kvp {

// Publishes error information for the calling thread and returns the status
// the member fails with: E_UNEXPECTED, or a host's own negative code carried
// by an EOleSysError. The description and help context come only from the
// system's own Exception class.
HRESULT PublishErrorInfo(const std::exception* thrown, REFIID iid, std::string_view source,
                         std::string_view helpFile);

}  // namespace kvp
