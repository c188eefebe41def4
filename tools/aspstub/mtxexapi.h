// The exports of the stand-in mtxex.dll: the old route to the object context
// of the current call, with a thread's current context set by the test or tool
// that plays the host.
#pragma once

#include "host/aspsdk.h"

namespace kvstub {

// GetObjectContext(IObjectContext**): the calling thread's current context,
// AddRef'd, or CONTEXT_E_NOCONTEXT and null when the thread has none. Its type
// is GetObjectContextFn (host/aspsdk.h).
inline constexpr const char* kGetObjectContextExport = "GetObjectContext";

// SetThreadObjectContext(IObjectContext*): makes the context (AddRef'd) the
// calling thread's current one, releasing the one it replaces; null clears.
inline constexpr const char* kSetThreadObjectContextExport = "SetThreadObjectContext";
using SetThreadObjectContextFn = HRESULT(WINAPI*)(IObjectContext* context);

inline constexpr const wchar_t* kMtxexName = L"mtxex.dll";

}  // namespace kvstub
