// The four exports of kvParcelin.dll, and the server's start-up and shutdown.

#include <windows.h>
#include <ole2.h>

#include <memory>

#include "../engine/process.h"
#include "comserver.h"
#include "ehpool.h"
#include "kvParcelin_TLB.h"

namespace {

HMODULE g_module = nullptr;
INIT_ONCE g_startOnce = INIT_ONCE_STATIC_INIT;
kvp::TComServer* g_server = nullptr;

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The server comes up on the first call into the library rather than inside
// DllMain, where the loader lock forbids loading the type library. When the
// type library and the code disagree there is no server, and the library
// serves no class.
BOOL CALLBACK StartServer(PINIT_ONCE, PVOID, PVOID*) {
  kvp::WarmExceptionPool();
  try {
    auto server = std::make_unique<kvp::TComServer>(ModulePath());
    new kvp::TAutoObjectFactory(*server, kvp::CreateProcessObject, kvp::TAutoObject::Implements,
                                "Tprocess", CLSID_process, kvp::TClassInstancing::MultiInstance,
                                kvp::TThreadingModel::Apartment);
    g_server = server.release();
    kvp::TComServer::SetInstance(g_server);
  } catch (...) {
    g_server = nullptr;
  }
  return TRUE;
}

kvp::TComServer* TheServer() {
  InitOnceExecuteOnce(&g_startOnce, StartServer, nullptr, nullptr);
  return g_server;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded by FreeLibrary: free the server. At process exit the system
    // reclaims everything, and other modules may already be gone.
    kvp::TComServer::SetInstance(nullptr);
    delete g_server;
    g_server = nullptr;
  }
  return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  kvp::PrepareThreadForExceptions();
  kvp::TComServer* server = TheServer();
  kvp::TAutoObjectFactory* factory = server ? server->Classes().Find(clsid) : nullptr;
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return SUCCEEDED(factory->QueryInterface(iid, object)) ? S_OK : E_NOINTERFACE;
}

HRESULT WINAPI DllCanUnloadNow() {
  const kvp::TComServer* server = g_server;
  if (!server) return S_OK;
  return server->ObjectCount() == 0 && server->FactoryCount() == 0 ? S_OK : S_FALSE;
}

HRESULT WINAPI DllRegisterServer() {
  kvp::TComServer* server = TheServer();
  return server ? server->RegisterServer() : E_FAIL;
}

HRESULT WINAPI DllUnregisterServer() {
  kvp::TComServer* server = TheServer();
  return server ? server->UnregisterServer() : E_FAIL;
}

}  // extern "C"
