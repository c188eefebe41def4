// The platform's own declarations of the ASP intrinsic objects and of the
// object context, with their real identifiers and slot order, so the same
// binary works inside IIS and with the local stand-in host.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <asptlb.h>
#include <comsvcs.h>

// comsvcs.h maps GetObjectContext onto CoGetObjectContext; the old route is a
// real export of mtxex.dll.
#undef GetObjectContext

// The export of mtxex.dll that hands out the calling object's context.
using GetObjectContextFn = HRESULT(WINAPI*)(IObjectContext** context);
// ole32's CoGetObjectContext.
using CoGetObjectContextFn = HRESULT(WINAPI*)(REFIID riid, void** object);
