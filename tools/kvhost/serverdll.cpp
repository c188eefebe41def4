#include "serverdll.h"

#include <memory>

#include "automation.h"
#include "server/kvParcelin_TLB.h"

namespace kvhost {

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgsFn = HRESULT(WINAPI*)();

template <typename Fn>
Fn As(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// Memory from the process heap, freed with the scope.
struct HeapFreer {
  void operator()(wchar_t* p) const { HeapFree(GetProcessHeap(), 0, p); }
};

}  // namespace

std::wstring ProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.erase(path.find_last_of(L'\\') + 1);
  return path;
}

std::wstring LoadedModulePath(const wchar_t* name) {
  const HMODULE module = GetModuleHandleW(name);
  if (!module) return std::wstring();
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH * 4);
  return std::wstring(path, n);
}

std::wstring WindowsPath(std::wstring_view path) {
  if (path.empty() || path.front() != L'/') return std::wstring(path);
  // Wine's own conversion knows the drive mappings of the prefix.
  using DosNameFn = wchar_t*(CDECL*)(const char*);
  if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
    if (const auto convert = As<DosNameFn>(GetProcAddress(kernel, "wine_get_dos_file_name"))) {
      const std::unique_ptr<wchar_t, HeapFreer> dos(convert(Utf8(path).c_str()));
      if (dos) return std::wstring(dos.get());
    }
  }
  std::wstring dos = L"Z:";
  for (const wchar_t c : path) dos += c == L'/' ? L'\\' : c;
  return dos;
}

ServerLibrary::~ServerLibrary() {
  if (module_) FreeLibrary(module_);
}

HRESULT ServerLibrary::Load() {
  path_ = ProgramFolder() + kServerFile;
  module_ = LoadLibraryW(path_.c_str());
  return module_ ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

FARPROC ServerLibrary::Export(const char* name) const {
  return module_ ? GetProcAddress(module_, name) : nullptr;
}

HRESULT ServerLibrary::GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
  const auto fn = As<GetClassObjectFn>(Export("DllGetClassObject"));
  return fn ? fn(clsid, iid, out) : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT ServerLibrary::RegisterServer() const {
  const auto fn = As<NoArgsFn>(Export("DllRegisterServer"));
  return fn ? fn() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT ServerLibrary::UnregisterServer() const {
  const auto fn = As<NoArgsFn>(Export("DllUnregisterServer"));
  return fn ? fn() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

HRESULT CreateThroughFactory(const ServerLibrary& server, kvp::ComPtr<IDispatch>& object) {
  kvp::ComPtr<IClassFactory> factory;
  const HRESULT hr = server.GetClassObject(CLSID_process, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr)) return hr;
  if (!factory) return E_POINTER;
  return factory->CreateInstance(nullptr, IID_IDispatch, object.PutVoid());
}

HRESULT CreateRegistered(kvp::ComPtr<IDispatch>& object) {
  CLSID clsid{};
  const HRESULT hr = CLSIDFromProgID(kServerProgID, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid());
}

bool ReportsNt4() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         info.dwMajorVersion == 4;
}

}  // namespace kvhost
