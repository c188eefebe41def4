// kvParcelin.dll as a host reaches it: loaded from the folder of the running
// program with its exports, or found through the registry by its ProgID.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <string_view>

#include "server/oleptr.h"

namespace kvhost {

constexpr const wchar_t* kServerFile = L"kvParcelin.dll";
constexpr const wchar_t* kServerProgID = L"kvParcelin.process";

// The folder of the running program, with a trailing backslash.
std::wstring ProgramFolder();

// The full name of a module this process has loaded ("" when it has none of
// that name).
std::wstring LoadedModulePath(const wchar_t* name);

// A Windows path for a path given on the command line: a Unix path (starting
// with "/") becomes the DOS name Wine gives it (Z:\... when Wine cannot tell);
// anything else is taken as a Windows path already.
std::wstring WindowsPath(std::wstring_view path);

// kvParcelin.dll loaded beside the program; unloaded with the object.
class ServerLibrary {
 public:
  ServerLibrary() = default;
  ~ServerLibrary();
  ServerLibrary(const ServerLibrary&) = delete;
  ServerLibrary& operator=(const ServerLibrary&) = delete;

  // Loads it; S_OK or the failure as an HRESULT.
  HRESULT Load();
  const std::wstring& Path() const noexcept { return path_; }

  // The exports; a missing export answers HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND).
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const;
  HRESULT RegisterServer() const;
  HRESULT UnregisterServer() const;

 private:
  FARPROC Export(const char* name) const;

  HMODULE module_ = nullptr;
  std::wstring path_;
};

// Creates an upload object the way a host creates it: through the class
// factory that the loaded library's DllGetClassObject hands out, or through
// COM activation of the registered ProgID. The calling thread's stand-in
// request must be current. The object is asked for IDispatch.
HRESULT CreateThroughFactory(const ServerLibrary& server, kvp::ComPtr<IDispatch>& object);
HRESULT CreateRegistered(kvp::ComPtr<IDispatch>& object);

// Whether this process reports Windows NT 4.0, the only system on which the
// upload object looks for the stand-in mtxex.dll.
bool ReportsNt4();

}  // namespace kvhost
