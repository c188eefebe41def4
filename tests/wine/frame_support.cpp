#include "frame_support.h"

namespace kvtest {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  folder.erase(folder.find_last_of(L'\\') + 1);
  return folder;
}

namespace {
template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
}  // namespace

const Server& TheServer() {
  static const Server server = [] {
    Server s;
    s.module = LoadLibraryW((ProgramFolder() + L"kvParcelin.dll").c_str());
    if (s.module) {
      s.getClassObject = Export<GetClassObjectFn>(s.module, "DllGetClassObject");
      s.canUnloadNow = Export<NoArgsFn>(s.module, "DllCanUnloadNow");
      s.registerServer = Export<NoArgsFn>(s.module, "DllRegisterServer");
      s.unregisterServer = Export<NoArgsFn>(s.module, "DllUnregisterServer");
    }
    return s;
  }();
  return server;
}

kvp::ComPtr<IClassFactory> Factory() {
  kvp::ComPtr<IClassFactory> factory;
  TheServer().getClassObject(CLSID_process, IID_IClassFactory, factory.PutVoid());
  return factory;
}

kvp::ComPtr<Iprocess> CreateUpload(kvstub::StubHost& host, HRESULT* status) {
  kvstub::ContextScope scope(host.Context());
  kvp::ComPtr<Iprocess> object;
  const HRESULT hr = Factory()->CreateInstance(nullptr, IID_Iprocess, object.PutVoid());
  if (status) *status = hr;
  return object;
}

DispResult::~DispResult() {
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

void CallByName(IDispatch* object, const wchar_t* name, WORD flags,
                std::initializer_list<VARIANT> args, DispResult& out) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  out.status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(out.status)) return;
  // Arguments go in reverse order.
  std::vector<VARIANT> reversed(args.begin(), args.end());
  std::reverse(reversed.begin(), reversed.end());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  DISPID putId = DISPID_PROPERTYPUT;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  UINT argErr = 0;
  out.status = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, out.value.Get(),
                              &out.excep, &argErr);
}

}  // namespace kvtest
