// What the tests of the automation frame share: the built kvParcelin.dll
// loaded beside the test program, its exports, and an upload object created
// through the class factory inside a stand-in ASP request.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "aspstub.h"
#include "mtxexclient.h"
#include "server/kvParcelin_TLB.h"
#include "server/oleptr.h"

namespace kvtest {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using NoArgsFn = HRESULT(WINAPI*)();

// The folder of the running program, with a trailing backslash.
std::wstring ProgramFolder();

// kvParcelin.dll from the program's folder, loaded once for the process.
struct Server {
  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  NoArgsFn canUnloadNow = nullptr;
  NoArgsFn registerServer = nullptr;
  NoArgsFn unregisterServer = nullptr;
};
const Server& TheServer();

kvp::ComPtr<IClassFactory> Factory();

// A stand-in request carrying body, with its context current on this thread
// while the object is created.
kvp::ComPtr<Iprocess> CreateUpload(kvstub::StubHost& host, HRESULT* status = nullptr);

// Calls a member by name through IDispatch.
struct DispResult {
  HRESULT status = S_OK;
  kvp::Variant value;
  EXCEPINFO excep{};
  ~DispResult();
};
void CallByName(IDispatch* object, const wchar_t* name, WORD flags,
                std::initializer_list<VARIANT> args, DispResult& out);

// Text of a BSTR (null reads as empty).
inline std::wstring Text(BSTR b) {
  return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

}  // namespace kvtest
