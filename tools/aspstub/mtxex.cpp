// The stand-in mtxex.dll. Each thread has at most one current object context;
// the DLL holds one reference on it until it is replaced or cleared, or the
// thread ends.
#include <type_traits>

#include "mtxexapi.h"

namespace {

DWORD g_slot = TLS_OUT_OF_INDEXES;

IObjectContext* Current() {
  return static_cast<IObjectContext*>(TlsGetValue(g_slot));
}

void ReleaseCurrent() {
  if (IObjectContext* context = Current()) {
    TlsSetValue(g_slot, nullptr);
    context->Release();
  }
}

}  // namespace

extern "C" HRESULT WINAPI GetObjectContext(IObjectContext** context) {
  if (!context) return E_POINTER;
  *context = Current();
  if (!*context) return CONTEXT_E_NOCONTEXT;
  (*context)->AddRef();
  return S_OK;
}

extern "C" HRESULT WINAPI SetThreadObjectContext(IObjectContext* context) {
  if (context) context->AddRef();
  IObjectContext* replaced = Current();
  if (!TlsSetValue(g_slot, context)) {
    if (context) context->Release();
    return HRESULT_FROM_WIN32(GetLastError());
  }
  if (replaced) replaced->Release();
  return S_OK;
}

static_assert(std::is_same_v<decltype(&GetObjectContext), GetObjectContextFn>);
static_assert(std::is_same_v<decltype(&SetThreadObjectContext), kvstub::SetThreadObjectContextFn>);

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      g_slot = TlsAlloc();
      return g_slot != TLS_OUT_OF_INDEXES;
    case DLL_THREAD_DETACH:
      ReleaseCurrent();
      break;
    case DLL_PROCESS_DETACH:
      // At process exit other threads are gone and nothing may be called;
      // on FreeLibrary the unloading thread lets go of its context.
      if (!reserved && g_slot != TLS_OUT_OF_INDEXES) {
        ReleaseCurrent();
        TlsFree(g_slot);
      }
      break;
    default:
      break;
  }
  return TRUE;
}
