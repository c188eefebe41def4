#include "comserver.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "ansitext.h"
#include "autoobject.h"
#include "exceptions.h"
#include "kvParcelin_TLB.h"

namespace kvp {

TComServer* TComServer::instance_ = nullptr;

// ---- factory list --------------------------------------------------------

namespace {

using ReadLock = std::shared_lock<TSlimLock>;
using WriteLock = std::lock_guard<TSlimLock>;

}  // namespace

void TComClassManager::Add(TAutoObjectFactory* factory) {
  WriteLock lock(lock_);
  factories_.insert(factories_.begin(), factory);
}

void TComClassManager::Remove(TAutoObjectFactory* factory) {
  WriteLock lock(lock_);
  factories_.erase(std::remove(factories_.begin(), factories_.end(), factory), factories_.end());
}

TAutoObjectFactory* TComClassManager::Find(REFCLSID clsid) {
  ReadLock lock(lock_);
  for (TAutoObjectFactory* f : factories_)
    if (IsEqualCLSID(f->ClassID(), clsid)) return f;
  return nullptr;
}

std::vector<TAutoObjectFactory*> TComClassManager::Snapshot() {
  ReadLock lock(lock_);
  return factories_;
}

std::vector<TAutoObjectFactory*> TComClassManager::TakeAll() {
  WriteLock lock(lock_);
  return std::exchange(factories_, {});
}

void TComClassManager::UpdateRegistry(bool reg) {
  for (TAutoObjectFactory* f : Snapshot()) {
    WriteLock lock(lock_);
    f->UpdateRegistry(reg);
  }
}

// ---- server --------------------------------------------------------------

TComServer::TComServer(std::wstring modulePath) : modulePath_(std::move(modulePath)) {
  // Keep OLE Automation loaded for as long as the server lives.
  const UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  oleaut32_ = LoadLibraryA("OLEAUT32.DLL");
  SetErrorMode(oldMode);
  const HRESULT hr = LoadTypeLibEx(modulePath_.c_str(), REGKIND_NONE, typeLib_.Put());
  if (FAILED(hr) || !typeLib_) {
    if (oleaut32_) FreeLibrary(oleaut32_);
    throw EOleSysError(std::string(), hr);
  }
  Bstr name;
  if (SUCCEEDED(typeLib_->GetDocumentation(-1, name.Put(), nullptr, nullptr, nullptr)) &&
      name.Get())
    serverName_.assign(name.Get(), name.Length());
}

TComServer::~TComServer() {
  // The list is emptied first, so that a factory's own removal finds nothing
  // to do.
  for (TAutoObjectFactory* f : classes_.TakeAll()) delete f;
  typeLib_.Reset();
  if (oleaut32_) FreeLibrary(oleaut32_);
}

// An earlier release registered this library under an older minor version
// of the same major one; this file now holds the current version, so that
// registration is taken away first (the interface keys it shared with this
// version are written anew by the registration that follows).
void TComServer::RemoveOlderRegistrations() {
  TLIBATTR* attr = nullptr;
  if (FAILED(typeLib_->GetLibAttr(&attr)) || !attr)
    throw EOleError("Type library attributes unreadable");
  const TLIBATTR lib = *attr;
  typeLib_->ReleaseTLibAttr(attr);
  wchar_t libid[40] = {};
  StringFromGUID2(lib.guid, libid, 40);
  const std::wstring libKey = std::wstring(L"TypeLib\\") + libid;
  for (WORD minor = 0; minor < lib.wMinorVerNum; ++minor) {
    wchar_t version[16];
    swprintf(version, 16, L"\\%x.%x", lib.wMajorVerNum, minor);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (libKey + version).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      continue;
    RegCloseKey(key);
    UnRegisterTypeLib(lib.guid, lib.wMajorVerNum, minor, lib.lcid, lib.syskind);
  }
}

HRESULT TComServer::RegisterServer() {
  try {
    RemoveOlderRegistrations();
    std::wstring helpDir = modulePath_;
    helpDir.erase(helpDir.find_last_of(L'\\') + 1);
    std::wstring path = modulePath_;
    if (FAILED(RegisterTypeLib(typeLib_.Get(), path.data(),
                               helpDir.empty() ? nullptr : helpDir.data())))
      return E_FAIL;
    classes_.UpdateRegistry(true);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

using UnRegisterTypeLibFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

HRESULT TComServer::UnregisterServer() {
  try {
    if (HMODULE ole = GetModuleHandleA("OLEAUT32.DLL")) {
      auto unregister = reinterpret_cast<UnRegisterTypeLibFn>(
          reinterpret_cast<void (*)()>(GetProcAddress(ole, "UnRegisterTypeLib")));
      if (unregister) {
        TLIBATTR* attr = nullptr;
        if (FAILED(typeLib_->GetLibAttr(&attr)) || !attr) return E_FAIL;
        unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        typeLib_->ReleaseTLibAttr(attr);
      }
    }
    classes_.UpdateRegistry(false);
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

// ---- factory -------------------------------------------------------------

namespace {

[[noreturn]] void StartupFailure(const char* format, const char* className) {
  char text[256];
  std::snprintf(text, sizeof text, format, className);
  throw EOleError(text);
}

// The first interface of the class with exactly the wanted flags among
// default and source.
ComPtr<ITypeInfo> ImplementedType(ITypeInfo* cls, bool source) {
  TYPEATTR* attr = nullptr;
  if (FAILED(cls->GetTypeAttr(&attr)) || !attr) return nullptr;
  const WORD count = attr->cImplTypes;
  cls->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    INT flags = 0;
    if (FAILED(cls->GetImplTypeFlags(i, &flags))) continue;
    const bool isDefault = (flags & IMPLTYPEFLAG_FDEFAULT) != 0;
    const bool isSource = (flags & IMPLTYPEFLAG_FSOURCE) != 0;
    if (!isDefault || isSource != source) continue;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(cls->GetRefTypeOfImplType(i, &ref)) &&
        SUCCEEDED(cls->GetRefTypeInfo(ref, info.Put())))
      return info;
  }
  return nullptr;
}

const wchar_t* ThreadingModelName(TThreadingModel model) {
  switch (model) {
    case TThreadingModel::Apartment:
      return L"Apartment";
    case TThreadingModel::Free:
      return L"Free";
    case TThreadingModel::Both:
      return L"Both";
    case TThreadingModel::Neutral:
      return L"Neutral";
    case TThreadingModel::Single:
      break;
  }
  return L"";
}

std::wstring GuidText(REFGUID guid) {
  LPOLESTR text = nullptr;
  if (FAILED(StringFromCLSID(guid, &text)) || !text) throw EOutOfMemory("Out of memory");
  std::wstring out(text);
  CoTaskMemFree(text);
  return out;
}

void CreateRegKey(const std::wstring& key, const wchar_t* valueName, const std::wstring& data) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, &handle, nullptr) != ERROR_SUCCESS)
    throw EOleError("Error creating registry key");
  const LONG result =
      RegSetValueExW(handle, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) throw EOleError("Error setting registry value");
}

// The module path as registered: a path with a blank is written in its short
// form where the volume has one; otherwise, or when the short form cannot be
// had, the full path.
std::wstring RegisteredModulePath(const std::wstring& path) {
  if (path.find(L' ') == std::wstring::npos) return path;
  const DWORD need = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (need == 0) return path;
  std::wstring shortPath(need, L'\0');
  const DWORD got = GetShortPathNameW(path.c_str(), shortPath.data(), need);
  if (got == 0 || got >= need) return path;
  shortPath.resize(got);
  return shortPath;
}

}  // namespace

TAutoObjectFactory::TAutoObjectFactory(TComServer& server, TAutoObjectCreator create,
                                       TInterfaceTest implements, const char* implementationName,
                                       REFCLSID clsid, TClassInstancing instancing,
                                       TThreadingModel threading)
    : server_(server),
      create_(create),
      clsid_(clsid),
      instancing_(instancing),
      threading_(threading) {
  ITypeLib* lib = server.TypeLib();
  if (!lib || FAILED(lib->GetTypeInfoOfGuid(clsid, classInfo_.Put())) || !classInfo_)
    StartupFailure("Type information missing for class %s", implementationName);
  Bstr name, doc;
  classInfo_->GetDocumentation(MEMBERID_NIL, name.Put(), doc.Put(), nullptr, nullptr);
  if (name.Get()) className_.assign(name.Get(), name.Length());
  if (doc.Get()) description_.assign(doc.Get(), doc.Length());

  dispTypeInfo_ = ImplementedType(classInfo_.Get(), false);
  if (!dispTypeInfo_) StartupFailure("Incorrect type information for class %s", implementationName);
  TYPEATTR* attr = nullptr;
  if (FAILED(dispTypeInfo_->GetTypeAttr(&attr)) || !attr)
    StartupFailure("Incorrect type information for class %s", implementationName);
  const IID dispIID = attr->guid;
  dispTypeInfo_->ReleaseTypeAttr(attr);
  if (!implements(dispIID))
    StartupFailure("Dispatch interface missing from class %s", implementationName);
  errorIID_ = dispIID;
  eventTypeInfo_ = ImplementedType(classInfo_.Get(), true);
  server_.Classes().Add(this);
}

TAutoObjectFactory::~TAutoObjectFactory() {
  server_.Classes().Remove(this);
}

std::wstring TAutoObjectFactory::ProgID() const {
  const std::wstring& server = server_.ServerName();
  return server.empty() ? std::wstring() : server + L"." + className_;
}

HRESULT TAutoObjectFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
  *object = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG TAutoObjectFactory::AddRef() {
  return static_cast<ULONG>(server_.CountFactoryRef(true));
}
ULONG TAutoObjectFactory::Release() {
  return static_cast<ULONG>(server_.CountFactoryRef(false));
}

HRESULT TAutoObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  TAutoObject* created = nullptr;
  try {
    created = create_(this, outer);  // counted, reference count 1
    created->Initialize();
  } catch (...) {
    if (created) {
      CoDisconnectObject(created->InnerUnknown(), 0);
      delete created;
    }
    return E_UNEXPECTED;
  }
  created->EndConstruction();
  const HRESULT hr = created->InnerQueryInterface(iid, object);
  if (FAILED(hr)) delete created;
  return hr;
}

HRESULT TAutoObjectFactory::LockServer(BOOL lock) {
  const HRESULT hr = CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
  server_.CountObject(lock != FALSE);
  return hr;
}

void TAutoObjectFactory::UpdateRegistry(bool reg) {
  if (instancing_ == TClassInstancing::Internal) return;
  const std::wstring classKey = L"CLSID\\" + GuidText(clsid_);
  TLIBATTR* attr = nullptr;
  if (FAILED(server_.TypeLib()->GetLibAttr(&attr)) || !attr)
    throw EOleError("Type library attributes unreadable");
  const GUID libid = attr->guid;
  const WORD major = attr->wMajorVerNum;
  const WORD minor = attr->wMinorVerNum;
  server_.TypeLib()->ReleaseTLibAttr(attr);
  const std::wstring progID = ProgID();

  if (reg) {
    wchar_t version[32];
    swprintf(version, 32, L"%d.%d", major, minor);
    CreateRegKey(classKey, nullptr, description_);
    CreateRegKey(classKey + L"\\InprocServer32", nullptr,
                 RegisteredModulePath(server_.ModulePath()));
    CreateRegKey(classKey + L"\\InprocServer32", L"ThreadingModel", ThreadingModelName(threading_));
    if (!progID.empty()) {
      CreateRegKey(progID, nullptr, description_);
      CreateRegKey(progID + L"\\Clsid", nullptr, GuidText(clsid_));
      CreateRegKey(classKey + L"\\ProgID", nullptr, progID);
    }
    CreateRegKey(classKey + L"\\Version", nullptr, version);
    CreateRegKey(classKey + L"\\TypeLib", nullptr, GuidText(libid));
  } else {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (classKey + L"\\TypeLib").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (classKey + L"\\Version").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (classKey + L"\\ProgID").c_str());
    if (!progID.empty()) {
      RegDeleteKeyW(HKEY_CLASSES_ROOT, (progID + L"\\Clsid").c_str());
      RegDeleteKeyW(HKEY_CLASSES_ROOT, progID.c_str());
    }
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (classKey + L"\\InprocServer32").c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, classKey.c_str());
  }
}

}  // namespace kvp
