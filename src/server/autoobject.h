// The automation object: identity and reference counting (with aggregation),
// IDispatch forwarded to the type library, class information, error
// information, and the guard every member of Iprocess2 runs under. Iprocess2
// is the object's own function table; Iprocess is a face of its own that
// forwards to it.
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
  // Iprocess on a function table of its own, so that a failing member
  // reports the interface it was called through: each of its members notes
  // that, then runs the object's own. Its IUnknown and IDispatch are the
  // object's, so that a late-bound call works the same on either pointer.
  class BaseFace final : public Iprocess {
   public:
    explicit BaseFace(TAutoObject& o) : self_(o) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
      return self_.QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return self_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return self_.Release(); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return self_.GetTypeInfoCount(count); }
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
      return self_.GetTypeInfo(index, lcid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override {
      return self_.GetIDsOfNames(riid, names, count, lcid, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override {
      return self_.Invoke(id, riid, lcid, flags, params, result, excepInfo, argErr);
    }

#define KV_THROUGH_BASE(member, params, args) \
  STDMETHODIMP member params override {       \
    const Through through(self_);             \
    return self_.member args;                 \
  }
    KV_THROUGH_BASE(get_MaxKB, (LONG * v), (v))
    KV_THROUGH_BASE(put_MaxKB, (LONG v), (v))
    KV_THROUGH_BASE(get_Status, (LONG * v), (v))
    KV_THROUGH_BASE(get_FileQty, (LONG * v), (v))
    KV_THROUGH_BASE(FileSave, (BSTR name, LONG i), (name, i))
    KV_THROUGH_BASE(get_FileName, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_LocalName, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_Extension, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_ContentType, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_VarCount, (LONG * v), (v))
    KV_THROUGH_BASE(get_Value, (BSTR name, BSTR* v), (name, v))
    KV_THROUGH_BASE(get_VarByIndex, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_VarName, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_FileData, (LONG i, VARIANT* v), (i, v))
    KV_THROUGH_BASE(get_FileSize, (LONG i, LONG* v), (i, v))
    KV_THROUGH_BASE(Read, (), ())
    KV_THROUGH_BASE(DumpHeader, (BSTR name), (name))
    KV_THROUGH_BASE(get_Version, (BSTR * v), (v))
    KV_THROUGH_BASE(get_FileExists, (BSTR name, VARIANT_BOOL* v), (name, v))
    KV_THROUGH_BASE(get_CurrentDir, (BSTR * v), (v))
    KV_THROUGH_BASE(get_ParentDir, (BSTR path, BSTR* v), (path, v))
    KV_THROUGH_BASE(AppendToFile, (BSTR name, BSTR line), (name, line))
    KV_THROUGH_BASE(Copy, (BSTR from, BSTR to), (from, to))
    KV_THROUGH_BASE(Delete, (BSTR name), (name))
    KV_THROUGH_BASE(Rename, (BSTR from, BSTR to), (from, to))
    KV_THROUGH_BASE(get_NameOnly, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_OverwriteMode, (LONG * v), (v))
    KV_THROUGH_BASE(put_OverwriteMode, (LONG v), (v))
    KV_THROUGH_BASE(get_NewName, (LONG i, BSTR* v), (i, v))
    KV_THROUGH_BASE(get_TotalBytes, (LONG * v), (v))
    KV_THROUGH_BASE(get_TagNameIndex, (BSTR name, LONG* v), (name, v))
    KV_THROUGH_BASE(get_OverwriteChr, (BSTR * v), (v))
    KV_THROUGH_BASE(put_OverwriteChr, (BSTR v), (v))
#undef KV_THROUGH_BASE

   private:
    // Marks the object's members as called through Iprocess while it lives.
    class Through {
     public:
      explicit Through(TAutoObject& o) : o_(o), was_(o.throughBase_) { o_.throughBase_ = true; }
      ~Through() { o_.throughBase_ = was_; }
      Through(const Through&) = delete;
      Through& operator=(const Through&) = delete;

     private:
      TAutoObject& o_;
      const bool was_;
    };
    TAutoObject& self_;
  };

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
  BaseFace base_{*this};
  bool throughBase_ = false;  // the member running was called through Iprocess
  IUnknown* controller_;      // the outer object, or the object's own identity
  TAutoObjectFactory* factory_;
  volatile LONG refCount_ = 1;  // held at 1 while the object is built
  bool counted_ = false;
};

}  // namespace kvp
