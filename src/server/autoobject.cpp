#include "autoobject.h"

#include "ansitext.h"
#include "comserver.h"

namespace kvp {

TAutoObject::TAutoObject(TAutoObjectFactory* factory, IUnknown* outer)
    : controller_(outer ? outer : &inner_), factory_(factory) {
  if (factory_) {
    factory_->Server().CountObject(true);
    counted_ = true;
  }
}

TAutoObject::~TAutoObject() {
  if (counted_) factory_->Server().CountObject(false);
}

bool TAutoObject::Implements(REFIID iid) {
  return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
         IsEqualIID(iid, IID_Iprocess) || IsEqualIID(iid, IID_Iprocess2) ||
         IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_ISupportErrorInfo);
}

HRESULT TAutoObject::InnerQueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (IsEqualIID(iid, IID_IUnknown))
    *object = static_cast<IUnknown*>(&inner_);
  else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_Iprocess2))
    *object = static_cast<Iprocess2*>(this);
  else if (IsEqualIID(iid, IID_Iprocess))
    *object = static_cast<Iprocess*>(&base_);
  else if (IsEqualIID(iid, IID_IProvideClassInfo))
    *object = static_cast<IProvideClassInfo*>(this);
  else if (IsEqualIID(iid, IID_ISupportErrorInfo))
    *object = static_cast<ISupportErrorInfo*>(this);
  else
    return E_NOINTERFACE;
  static_cast<IUnknown*>(*object)->AddRef();
  return S_OK;
}

ULONG TAutoObject::Identity::AddRef() {
  return InterlockedIncrement(&self.refCount_);
}

ULONG TAutoObject::Identity::Release() {
  const LONG left = InterlockedDecrement(&self.refCount_);
  if (left == 0) delete &self;
  return static_cast<ULONG>(left);
}

HRESULT TAutoObject::QueryInterface(REFIID iid, void** object) {
  return controller_->QueryInterface(iid, object);
}
ULONG TAutoObject::AddRef() {
  return controller_->AddRef();
}
ULONG TAutoObject::Release() {
  return controller_->Release();
}

HRESULT TAutoObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TAutoObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* dispatch = factory_ ? factory_->DispTypeInfo() : nullptr;
  if (!dispatch) return E_UNEXPECTED;
  dispatch->AddRef();
  *info = dispatch;
  return S_OK;
}

HRESULT TAutoObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  ITypeInfo* dispatch = factory_ ? factory_->DispTypeInfo() : nullptr;
  if (!dispatch) return E_UNEXPECTED;
  return DispGetIDsOfNames(dispatch, names, count, ids);
}

HRESULT TAutoObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  ITypeInfo* dispatch = factory_ ? factory_->DispTypeInfo() : nullptr;
  if (!dispatch) return E_UNEXPECTED;
  // A put by reference is a put: both put bits together let the dispatcher
  // find the property's put member either way.
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
    flags = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  return dispatch->Invoke(static_cast<Iprocess2*>(this), id, flags, params, result, excepInfo,
                          argErr);
}

HRESULT TAutoObject::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ITypeInfo* cls = factory_ ? factory_->ClassInfo() : nullptr;
  if (!cls) return E_UNEXPECTED;
  cls->AddRef();
  *info = cls;
  return S_OK;
}

HRESULT TAutoObject::InterfaceSupportsErrorInfo(REFIID iid) {
  return Implements(iid) ? S_OK : S_FALSE;
}

// The error information names the interface the caller used: Iprocess
// through its face, else the class's default interface (late-bound calls
// included, whichever pointer they came through).
HRESULT TAutoObject::ExceptionToStatus(const std::exception& thrown) try {
  std::string source;
  std::string helpFile;
  IID iid = IID_Iprocess2;
  if (factory_) {
    source = ToAnsi(factory_->ProgID());
    helpFile = ToAnsi(factory_->Server().HelpFileName());
    iid = factory_->ErrorIID();
  } else {
    source = kProgIDAnsi;
  }
  if (throughBase_) iid = IID_Iprocess;
  return PublishErrorInfo(&thrown, iid, source, helpFile);
} catch (...) {
  return E_UNEXPECTED;
}

}  // namespace kvp
