// The in-process server: its counts, its type library and its class
// factories.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "../engine/slimlock.h"
#include "oleptr.h"

namespace kvp {

class TAutoObject;
class TAutoObjectFactory;
class TComServer;

enum class TThreadingModel { Single, Apartment, Free, Both, Neutral };
enum class TClassInstancing { Internal, SingleInstance, MultiInstance };

// The factories of the library, newest first, under a slim reader/writer
// lock: lookups take its read side, changes and registry updates its write
// side. No holder takes it twice.
class TComClassManager {
 public:
  void Add(TAutoObjectFactory* factory);
  void Remove(TAutoObjectFactory* factory);
  TAutoObjectFactory* Find(REFCLSID clsid);
  std::vector<TAutoObjectFactory*> Snapshot();
  // Empties the list and hands its factories to the caller.
  std::vector<TAutoObjectFactory*> TakeAll();
  // Writes or removes each factory's registry entries, one at a time under
  // the write side.
  void UpdateRegistry(bool reg);

 private:
  TSlimLock lock_;
  std::vector<TAutoObjectFactory*> factories_;
};

// One per loaded library.
class TComServer {
 public:
  // Loads the library's own type library from modulePath. Raises when it
  // cannot be loaded.
  explicit TComServer(std::wstring modulePath);
  ~TComServer();
  TComServer(const TComServer&) = delete;
  TComServer& operator=(const TComServer&) = delete;

  // The server of the loaded library, if any (none in a program that links
  // the upload object directly).
  static TComServer* Instance() noexcept { return instance_; }
  static void SetInstance(TComServer* server) noexcept { instance_ = server; }

  LONG ObjectCount() const noexcept { return objectCount_; }
  LONG FactoryCount() const noexcept { return factoryCount_; }
  LONG CountObject(bool created) noexcept {
    return created ? InterlockedIncrement(&objectCount_) : InterlockedDecrement(&objectCount_);
  }
  LONG CountFactoryRef(bool added) noexcept {
    return added ? InterlockedIncrement(&factoryCount_) : InterlockedDecrement(&factoryCount_);
  }

  ITypeLib* TypeLib() const noexcept { return typeLib_.Get(); }
  const std::wstring& ServerName() const noexcept { return serverName_; }
  const std::wstring& HelpFileName() const noexcept { return helpFile_; }
  const std::wstring& ModulePath() const noexcept { return modulePath_; }
  TComClassManager& Classes() noexcept { return classes_; }

  HRESULT RegisterServer();
  HRESULT UnregisterServer();

 private:
  void RemoveOlderRegistrations();

  static TComServer* instance_;
  HMODULE oleaut32_ = nullptr;
  volatile LONG objectCount_ = 0;
  volatile LONG factoryCount_ = 0;
  ComPtr<ITypeLib> typeLib_;
  std::wstring serverName_;
  std::wstring helpFile_;
  std::wstring modulePath_;
  TComClassManager classes_;
};

// Builds the implementation class's object (with its reference count at 1
// for the length of the construction) for a factory and an outer object.
using TAutoObjectCreator = TAutoObject* (*)(TAutoObjectFactory* factory, IUnknown* outer);
// Whether the implementation class implements an interface.
using TInterfaceTest = bool (*)(REFIID iid);

// The class factory of an automation class described by the type library.
class TAutoObjectFactory final : public IClassFactory {
 public:
  // Reads the class from the type library and checks it against the code;
  // raises EOleError when they disagree. Adds itself to the server's list.
  TAutoObjectFactory(TComServer& server, TAutoObjectCreator create, TInterfaceTest implements,
                     const char* implementationName, REFCLSID clsid, TClassInstancing instancing,
                     TThreadingModel threading);
  ~TAutoObjectFactory();

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  TComServer& Server() const noexcept { return server_; }
  const CLSID& ClassID() const noexcept { return clsid_; }
  const std::wstring& ClassName() const noexcept { return className_; }
  const std::wstring& Description() const noexcept { return description_; }
  ITypeInfo* ClassInfo() const noexcept { return classInfo_.Get(); }
  ITypeInfo* DispTypeInfo() const noexcept { return dispTypeInfo_.Get(); }
  const IID& ErrorIID() const noexcept { return errorIID_; }
  std::wstring ProgID() const;
  TThreadingModel ThreadingModel() const noexcept { return threading_; }
  TClassInstancing Instancing() const noexcept { return instancing_; }

  // Writes or removes the class's registry entries.
  void UpdateRegistry(bool reg);

 private:
  TComServer& server_;
  TAutoObjectCreator create_;
  CLSID clsid_;
  TClassInstancing instancing_;
  TThreadingModel threading_;
  std::wstring className_;
  std::wstring description_;
  ComPtr<ITypeInfo> classInfo_;
  ComPtr<ITypeInfo> dispTypeInfo_;
  ComPtr<ITypeInfo> eventTypeInfo_;
  IID errorIID_{};
};

}  // namespace kvp
