#include "aspcontext.h"

#include "../server/ansitext.h"
#include "../server/oleerror.h"

namespace kvp {

namespace {

struct Route {
  ContextRoute kind = ContextRoute::None;
  CoGetObjectContextFn coGet = nullptr;
  GetObjectContextFn mtsGet = nullptr;
};

Route g_route;

// GetProcAddress hands out a generic function pointer; going through
// void (*)() tells the compiler that the cast is meant.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
INIT_ONCE g_routeOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK ChooseRoute(PINIT_ONCE, PVOID, PVOID*) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  const bool nt5 = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                   version.dwMajorVersion >= 5;
  if (nt5) {
    if (HMODULE ole32 = GetModuleHandleA("ole32.dll")) {
      g_route.coGet = ProcAddress<CoGetObjectContextFn>(ole32, "CoGetObjectContext");
      if (g_route.coGet) g_route.kind = ContextRoute::Ole32;
    }
  } else if (HMODULE mtxex = GetModuleHandleA("mtxex.dll")) {
    g_route.mtsGet = ProcAddress<GetObjectContextFn>(mtxex, "GetObjectContext");
    if (g_route.mtsGet) g_route.kind = ContextRoute::Mtxex;
  }
  return TRUE;
}

const Route& TheRoute() {
  InitOnceExecuteOnce(&g_routeOnce, ChooseRoute, nullptr, nullptr);
  return g_route;
}

ComPtr<IUnknown> ContextProperty(const wchar_t* name) {
  ComPtr<IUnknown> context = CurrentObjectContext();
  if (!context) throw Exception("No ASP object context: not called from an ASP page");
  ComPtr<IGetContextProperties> properties;
  if (FAILED(context->QueryInterface(IID_IGetContextProperties, properties.PutVoid())) ||
      !properties)
    throw Exception("Interface not supported");
  Bstr key(name);
  if (!key.Get()) throw EOutOfMemory("Out of memory");
  Variant value;
  CheckHost(properties->GetProperty(key.Get(), &value));
  ComPtr<IUnknown> object;
  if ((value->vt == VT_DISPATCH || value->vt == VT_UNKNOWN) && value->punkVal) {
    object = ComPtr<IUnknown>::Adopt(value->punkVal);
    object->AddRef();
  }
  if (!object) throw Exception("The ASP object context has no " + ToAnsi(std::wstring_view(name)));
  return object;
}

template <typename T>
ComPtr<T> Fetch(const wchar_t* name, REFIID iid) {
  ComPtr<IUnknown> object = ContextProperty(name);
  ComPtr<T> typed;
  if (FAILED(object->QueryInterface(iid, typed.PutVoid())) || !typed)
    throw Exception("Interface not supported");
  return typed;
}

}  // namespace

ContextRoute ObjectContextRoute() {
  return TheRoute().kind;
}

ComPtr<IUnknown> CurrentObjectContext() {
  const Route& route = TheRoute();
  ComPtr<IUnknown> context;
  if (route.coGet) {
    // Its status is of no interest: without a context the pointer stays null.
    route.coGet(IID_IObjectContext, context.PutVoid());
  } else if (route.mtsGet) {
    IObjectContext* raw = nullptr;
    const HRESULT hr = route.mtsGet(&raw);
    ComPtr<IObjectContext> owned = ComPtr<IObjectContext>::Adopt(raw);
    CheckHost(hr);
    if (owned) owned->QueryInterface(IID_IUnknown, context.PutVoid());
  }
  return context;
}

ComPtr<IRequest> TASPMTSObject::Request() const {
  return Fetch<IRequest>(L"Request", IID_IRequest);
}

ComPtr<IResponse> TASPMTSObject::Response() const {
  return Fetch<IResponse>(L"Response", IID_IResponse);
}

}  // namespace kvp
