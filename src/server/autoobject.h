// The automation object: identity and reference counting (with aggregation),
// IDispatch forwarded to the type library, class information, error
// information, and the guard every member of Iprocess2 runs under.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

// winuser.h maps GetClassInfo onto GetClassInfoA, in IProvideClassInfo's
// declaration as well, so the name below matches the interface's slot.

#include <new>

#include "errorinfo.h"
#include "exceptions.h"
#include "kvParcelin_TLB.h"

namespace kvp {

class TAutoObjectFactory;

class TAutoObject : public Iprocess2, public IProvideClassInfo, public ISupportErrorInfo {
 public:
  // factory may be null for an object built outside the server (then it has
  // no type information and is not counted); outer is the controlling
  // object when aggregated.
  explicit TAutoObject(TAutoObjectFactory* factory = nullptr, IUnknown* outer = nullptr);
  virtual ~TAutoObject();
  TAutoObject(const TAutoObject&) = delete;
  TAutoObject& operator=(const TAutoObject&) = delete;

  // IUnknown of every interface but the identity: forwarded to the outer
  // object when aggregated.
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

  // The object's identity: never forwarded.
  IUnknown* InnerUnknown() noexcept { return &inner_; }
  HRESULT InnerQueryInterface(REFIID iid, void** object);
  LONG RefCount() const noexcept { return refCount_; }

  // Run by the factory once, right after construction; the frame's part
  // makes the factory's dispatch data available.
  virtual void Initialize() {}
  // Called by the factory after a successful initialisation: from then on
  // the references handed out decide the object's life.
  void EndConstruction() noexcept { refCount_ = 0; }

  // The interfaces the object answers to.
  static bool Implements(REFIID iid);

  // Turns an exception that escaped a member into the member's status,
  // publishing error information.
  virtual HRESULT ExceptionToStatus(const std::exception& thrown);

 protected:
  // Runs a member's work: S_OK when it completes, else the status of what
  // escaped it.
  template <typename Work>
  HRESULT Guard(Work&& work) noexcept {
    try {
      work();
      return S_OK;
    } catch (const std::bad_alloc&) {
      return ExceptionToStatus(EOutOfMemory("Out of memory"));
    } catch (const std::exception& e) {
      return ExceptionToStatus(e);
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

  TAutoObjectFactory* Factory() const noexcept { return factory_; }

 private:
  struct Identity final : IUnknown {
    explicit Identity(TAutoObject& o) : self(o) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
      return self.InnerQueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    TAutoObject& self;
  };

  Identity inner_{*this};
  IUnknown* controller_;  // the outer object, or the object's own identity
  TAutoObjectFactory* factory_;
  volatile LONG refCount_ = 1;  // held at 1 while the object is built
  bool counted_ = false;
};

}  // namespace kvp
