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
const std::wstring kLibraryKey = L"TypeLib\\{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}";
// The keys of the two dual interfaces, which the type library's registration
// writes: Iprocess and Iprocess2.
const std::wstring kInterfaceKeys[] = {L"Interface\\{8BF1BC04-10C9-482F-A410-E0437245D35F}",
                                       L"Interface\\{6E0C5B1D-8A47-4F2E-9C3B-7D51A2E64F90}"};

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
  EXPECT_EQ(value, L"1.4");
  ASSERT_TRUE(ReadValue(kClassKey + L"\\TypeLib", nullptr, value));
  EXPECT_EQ(value, L"{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}");
  EXPECT_FALSE(KeyExists(L"kvParcelin.process\\CurVer"));  // no version-independent ProgID
  EXPECT_FALSE(KeyExists(kClassKey + L"\\VersionIndependentProgID"));
  // The type library's own registration.
  EXPECT_TRUE(KeyExists(kLibraryKey + L"\\1.4"));
  EXPECT_FALSE(KeyExists(kLibraryKey + L"\\1.3"));
  const wchar_t* interfaceNames[] = {L"Iprocess", L"Iprocess2"};
  for (size_t i = 0; i < 2; ++i) {
    const std::wstring& key = kInterfaceKeys[i];
    SCOPED_TRACE(std::string(key.begin(), key.end()));
    ASSERT_TRUE(ReadValue(key, nullptr, value));
    EXPECT_EQ(value, interfaceNames[i]);
    // Calls across apartments go through the automation marshaler, which
    // reads the interface from the registered type library.
    ASSERT_TRUE(ReadValue(key + L"\\ProxyStubClsid32", nullptr, value));
    EXPECT_EQ(value, L"{00020424-0000-0000-C000-000000000046}");
    ASSERT_TRUE(ReadValue(key + L"\\TypeLib", nullptr, value));
    EXPECT_EQ(value, L"{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}");
    ASSERT_TRUE(ReadValue(key + L"\\TypeLib", L"Version", value));
    EXPECT_EQ(value, L"1.4");
  }

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
  EXPECT_FALSE(KeyExists(kLibraryKey + L"\\1.4"));
  for (const std::wstring& key : kInterfaceKeys)
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
  // Unregistering what is gone already succeeds.
  EXPECT_EQ(s.unregisterServer(), S_OK);
}

void WriteValue(const std::wstring& key, const std::wstring& data) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &handle, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
}

// Installing this release over the previous one (type library 1.3, the same
// file name) without unregistering it first leaves no key of 1.3 behind.
TEST(Registration, ReplacesTheRegistrationOfAnEarlierMinorVersion) {
  const kvtest::Server& s = TheServer();
  const std::wstring old = kLibraryKey + L"\\1.3";
  WriteValue(old, L"kvParcelin Library");
  WriteValue(old + L"\\0\\" + (sizeof(void*) == 8 ? L"win64" : L"win32"), ModulePath(s.module));
  WriteValue(old + L"\\FLAGS", L"0");
  WriteValue(kInterfaceKeys[0], L"Iprocess");
  WriteValue(kInterfaceKeys[0] + L"\\TypeLib", L"{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}");
  ASSERT_TRUE(KeyExists(old));

  ASSERT_EQ(s.registerServer(), S_OK);
  EXPECT_FALSE(KeyExists(old));
  EXPECT_TRUE(KeyExists(kLibraryKey + L"\\1.4"));
  std::wstring value;
  for (const std::wstring& key : kInterfaceKeys) {
    ASSERT_TRUE(ReadValue(key + L"\\TypeLib", L"Version", value))
        << std::string(key.begin(), key.end());
    EXPECT_EQ(value, L"1.4");
  }
  ASSERT_EQ(s.unregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(kLibraryKey));
  EXPECT_FALSE(KeyExists(kInterfaceKeys[0]));
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
