#include "mtxexclient.h"

#include <string>

namespace kvstub {

namespace {

// GetProcAddress hands out a generic function pointer; going through
// void (*)() says the cast is meant.
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct Library {
  HMODULE module = nullptr;
  HRESULT status = E_UNEXPECTED;
  GetObjectContextFn get = nullptr;
  SetThreadObjectContextFn set = nullptr;

  Library() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (n == 0) {
        status = HRESULT_FROM_WIN32(GetLastError());
        return;
      }
      if (n < path.size()) {
        path.resize(n);
        break;
      }
      path.resize(path.size() * 2);
    }
    path.resize(path.find_last_of(L"\\/") + 1);
    path += kMtxexName;
    module = LoadLibraryW(path.c_str());
    if (!module) {
      status = HRESULT_FROM_WIN32(GetLastError());
      return;
    }
    get = Export<GetObjectContextFn>(module, kGetObjectContextExport);
    set = Export<SetThreadObjectContextFn>(module, kSetThreadObjectContextExport);
    status = get && set ? S_OK : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  ~Library() {
    if (module) FreeLibrary(module);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

const Library& TheLibrary() {
  static const Library library;
  return library;
}

}  // namespace

HRESULT LoadMtxex() {
  return TheLibrary().status;
}

HRESULT ThreadContext(IObjectContext** context) {
  const Library& lib = TheLibrary();
  if (FAILED(lib.status)) return lib.status;
  return lib.get(context);
}

HRESULT SetThreadContext(IObjectContext* context) {
  const Library& lib = TheLibrary();
  if (FAILED(lib.status)) return lib.status;
  return lib.set(context);
}

}  // namespace kvstub
