// Registration writes exactly the class's entries and the type library's
// registration; unregistration removes them; a registered class is created
// by its ProgID through COM activation.

#include <string>

#include "frame_support.h"
#include "testsupport.h"

namespace {

using kvp::ComPtr;
using kvtest::TheServer;

const std::wstring kClassKey = L"CLSID\\{A528328A-8FE6-441A-BEF8-DE252DDDD9F5}";

// The default (or named) value of a key under HKEY_CLASSES_ROOT; false when
// the key or the value is missing.
bool ReadValue(const std::wstring& key, const wchar_t* name, std::wstring& out) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return false;
  wchar_t data[1024] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  const LONG rc =
      RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
  out.assign(data);
  return true;
}

bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return false;
  RegCloseKey(handle);
  return true;
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  return std::wstring(path, GetModuleFileNameW(module, path, MAX_PATH));
}

TEST(Registration, WritesEveryEntryAndRemovesThemAll) {
  const kvtest::Server& s = TheServer();
  ASSERT_NE(s.registerServer, nullptr);
  ASSERT_EQ(s.registerServer(), S_OK);

  std::wstring value;
  ASSERT_TRUE(ReadValue(kClassKey, nullptr, value));
  EXPECT_EQ(value, L"process Object");
  ASSERT_TRUE(ReadValue(kClassKey + L"\\InprocServer32", nullptr, value));
  EXPECT_EQ(value, ModulePath(s.module));  // no blank in this path: written unchanged
  ASSERT_TRUE(ReadValue(kClassKey + L"\\InprocServer32", L"ThreadingModel", value));
  EXPECT_EQ(value, L"Apartment");
  ASSERT_TRUE(ReadValue(L"kvParcelin.process", nullptr, value));
  EXPECT_EQ(value, L"process Object");
  ASSERT_TRUE(ReadValue(L"kvParcelin.process\\Clsid", nullptr, value));
  EXPECT_EQ(value, L"{A528328A-8FE6-441A-BEF8-DE252DDDD9F5}");
  ASSERT_TRUE(ReadValue(kClassKey + L"\\ProgID", nullptr, value));
  EXPECT_EQ(value, L"kvParcelin.process");
  ASSERT_TRUE(ReadValue(kClassKey + L"\\Version", nullptr, value));
  EXPECT_EQ(value, L"1.3");
  ASSERT_TRUE(ReadValue(kClassKey + L"\\TypeLib", nullptr, value));
  EXPECT_EQ(value, L"{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}");
  EXPECT_FALSE(KeyExists(L"kvParcelin.process\\CurVer"));  // no version-independent ProgID
  EXPECT_FALSE(KeyExists(kClassKey + L"\\VersionIndependentProgID"));
  // The type library's own registration.
  EXPECT_TRUE(KeyExists(L"TypeLib\\{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}\\1.3"));
  EXPECT_TRUE(KeyExists(L"Interface\\{8BF1BC04-10C9-482F-A410-E0437245D35F}"));

  // Registered: COM activation by ProgID finds the class.
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"kvParcelin.process", &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_process));
  kvstub::StubHost host;
  host.SetBody(kvtest::Multipart().Field("a", "x").Body());
  {
    kvstub::ContextScope scope(host.Context());
    ComPtr<IDispatch> upload;
    ASSERT_EQ(
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, upload.PutVoid()),
        S_OK);
    kvtest::DispResult r;
    kvtest::CallByName(upload.Get(), L"VarCount", DISPATCH_PROPERTYGET, {}, r);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(r.value->lVal, 1);
  }

  ASSERT_EQ(s.unregisterServer(), S_OK);
  for (const std::wstring& key :
       {kClassKey, kClassKey + L"\\InprocServer32", kClassKey + L"\\ProgID",
        kClassKey + L"\\Version", kClassKey + L"\\TypeLib", std::wstring(L"kvParcelin.process"),
        std::wstring(L"kvParcelin.process\\Clsid")})
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
  EXPECT_FALSE(KeyExists(L"TypeLib\\{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}\\1.3"));
  // Unregistering what is gone already succeeds.
  EXPECT_EQ(s.unregisterServer(), S_OK);
}

// A module in a folder whose path has a blank is registered by its short
// name where the volume has one, else by its full path: never an empty or
// cut value.
TEST(Registration, PathWithABlankIsNeverEmpty) {
  const std::wstring folder = kvtest::ProgramFolder() + L"with blank\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring copy = folder + L"kvParcelin.dll";
  ASSERT_TRUE(
      CopyFileW((kvtest::ProgramFolder() + L"kvParcelin.dll").c_str(), copy.c_str(), FALSE));
  HMODULE module = LoadLibraryW(copy.c_str());
  ASSERT_NE(module, nullptr);
  ASSERT_NE(module, TheServer().module);
  auto reg = reinterpret_cast<kvtest::NoArgsFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
  auto unreg = reinterpret_cast<kvtest::NoArgsFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "DllUnregisterServer")));
  ASSERT_EQ(reg(), S_OK);

  std::wstring value;
  ASSERT_TRUE(ReadValue(kClassKey + L"\\InprocServer32", nullptr, value));
  const std::wstring full = ModulePath(module);
  wchar_t shortPath[MAX_PATH] = {};
  const DWORD n = GetShortPathNameW(full.c_str(), shortPath, MAX_PATH);
  if (n > 0 && n < MAX_PATH)
    EXPECT_EQ(value, std::wstring(shortPath, n));
  else
    EXPECT_EQ(value, full);
  EXPECT_FALSE(value.empty());

  EXPECT_EQ(unreg(), S_OK);
  FreeLibrary(module);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
