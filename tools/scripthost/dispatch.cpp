#include "dispatch.h"

#include <dispex.h>

#include <new>
#include <utility>

namespace kvsh {
namespace {

bool SameName(std::wstring_view a, const wchar_t* b) noexcept {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

bool SameName(std::wstring_view a, std::wstring_view b) noexcept {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

BSTR AllocText(std::wstring_view text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

}  // namespace

// ---- Call -------------------------------------------------------------------

void Call::Expect(size_t min, size_t max) const {
  if (Count() < min || Count() > max) throw Fault{DISP_E_BADPARAMCOUNT, {}, {}};
}

const VARIANT& Call::Arg(size_t index) const {
  if (index >= Count()) throw Fault{DISP_E_BADPARAMCOUNT, {}, {}};
  const VARIANT& v = params_.rgvarg[params_.cArgs - 1 - index];
  if (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v)) return *V_VARIANTREF(&v);
  return v;
}

VARIANT* Call::Ref(size_t index) const {
  if (index >= Count()) throw Fault{DISP_E_BADPARAMCOUNT, {}, {}};
  const VARIANT& v = params_.rgvarg[params_.cArgs - 1 - index];
  return V_VT(&v) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&v) : nullptr;
}

void Call::Convert(size_t index, VARTYPE type, kvp::Variant& out) const {
  // VariantChangeType does not change its source; the header lacks the const.
  HRESULT hr =
      VariantChangeType(out.Get(), const_cast<VARIANT*>(&Arg(index)), VARIANT_ALPHABOOL, type);
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  if (FAILED(hr)) throw Fault{hr, {}, {}};
}

std::wstring Call::Text(size_t index) const {
  kvp::Variant v;
  Convert(index, VT_BSTR, v);
  return std::wstring(V_BSTR(v.Get()), SysStringLen(V_BSTR(v.Get())));
}

LONG Call::Long(size_t index) const {
  kvp::Variant v;
  Convert(index, VT_I4, v);
  return V_I4(v.Get());
}

double Call::Double(size_t index) const {
  kvp::Variant v;
  Convert(index, VT_R8, v);
  return V_R8(v.Get());
}

// ---- result setters -----------------------------------------------------------

void SetText(kvp::Variant& result, std::wstring_view text) {
  BSTR b = AllocText(text);
  result.Clear();
  V_VT(result.Get()) = VT_BSTR;
  V_BSTR(result.Get()) = b;
}

void SetLong(kvp::Variant& result, LONG value) {
  result.Clear();
  V_VT(result.Get()) = VT_I4;
  V_I4(result.Get()) = value;
}

void SetDouble(kvp::Variant& result, double value) {
  result.Clear();
  V_VT(result.Get()) = VT_R8;
  V_R8(result.Get()) = value;
}

void SetBool(kvp::Variant& result, bool value) {
  result.Clear();
  V_VT(result.Get()) = VT_BOOL;
  V_BOOL(result.Get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

// ---- DispatchObject -----------------------------------------------------------

kvp::ComPtr<DispatchObject> DispatchObject::Create(std::wstring name) {
  return kvp::ComPtr<DispatchObject>::Adopt(new DispatchObject(std::move(name)));
}

DispatchObject::Member& DispatchObject::Slot(std::wstring_view name) {
  for (Member& m : members_) {
    if (SameName(m.name, name)) return m;
  }
  return members_.emplace_back(Member{std::wstring(name), {}, {}, {}});
}

DispatchObject& DispatchObject::Method(std::wstring_view name, Handler run) {
  Slot(name).method = std::move(run);
  return *this;
}

DispatchObject& DispatchObject::Property(std::wstring_view name, Handler get, Handler put) {
  Member& m = Slot(name);
  m.get = std::move(get);
  m.put = std::move(put);
  return *this;
}

DispatchObject& DispatchObject::Default(std::wstring_view name) {
  Slot(name);
  for (size_t i = 0; i < members_.size(); ++i) {
    if (SameName(members_[i].name, name)) default_ = static_cast<DISPID>(i + 1);
  }
  return *this;
}

kvp::ComPtr<IDispatch> DispatchObject::Dispatch() noexcept {
  AddRef();
  return kvp::ComPtr<IDispatch>::Adopt(this);
}

const DispatchObject::Member* DispatchObject::Find(DISPID id) const noexcept {
  if (id == DISPID_VALUE) id = default_;
  if (id < 1 || static_cast<size_t>(id) > members_.size()) return nullptr;
  return &members_[static_cast<size_t>(id) - 1];
}

HRESULT DispatchObject::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&refs_));
}

ULONG DispatchObject::Release() {
  LONG left = InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  if (count == 0) return S_OK;
  // Only the member name is known; argument names never are.
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  for (size_t i = 0; i < members_.size(); ++i) {
    if (names[0] && SameName(members_[i].name, names[0])) {
      ids[0] = static_cast<DISPID>(i + 1);
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excep, UINT*) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!params) return E_POINTER;
  const Member* member = Find(id);
  if (!member) return DISP_E_MEMBERNOTFOUND;

  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if (put) {
    if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || params->cArgs < 1)
      return DISP_E_PARAMNOTOPTIONAL;
  } else if (params->cNamedArgs != 0) {
    return DISP_E_NONAMEDARGS;
  }
  if (params->cArgs && !params->rgvarg) return E_POINTER;

  const Handler* chosen = nullptr;
  if (put) {
    chosen = &member->put;
  } else if ((flags & DISPATCH_METHOD) && member->method) {
    chosen = &member->method;
  } else if (flags & DISPATCH_PROPERTYGET) {
    chosen = member->get ? &member->get : &member->method;
  }
  if (!chosen || !*chosen) return DISP_E_MEMBERNOTFOUND;

  try {
    // A copy: a handler may add members, which moves the table.
    Handler run = *chosen;
    kvp::Variant value;
    run(Call(*params, flags), value);
    if (result) {
      VariantInit(result);
      *result = *value.Get();
      VariantInit(value.Get());
    }
    return S_OK;
  } catch (const Fault& fault) {
    if (fault.description.empty() || !excep) return fault.status;
    *excep = EXCEPINFO{};
    excep->scode = fault.status;
    const std::wstring& source = fault.source.empty() ? name_ : fault.source;
    excep->bstrSource = SysAllocStringLen(source.data(), static_cast<UINT>(source.size()));
    excep->bstrDescription =
        SysAllocStringLen(fault.description.data(), static_cast<UINT>(fault.description.size()));
    return DISP_E_EXCEPTION;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// ---- Host ---------------------------------------------------------------------

Host::Host() : output_(std::make_shared<std::wstring>()), object_(DispatchObject::Create(L"Host")) {
  object_->Method(L"Echo", [out = output_](const Call& call, kvp::Variant&) {
    std::wstring line;
    for (size_t i = 0; i < call.Count(); ++i) {
      if (i) line += L' ';
      line += V_VT(&call.Arg(i)) == VT_NULL ? std::wstring(L"Null") : call.Text(i);
    }
    *out += line;
    *out += L'\n';
  });
}

// ---- ExcepInfo ----------------------------------------------------------------

void ExcepInfo::Complete() noexcept {
  if (auto fill = std::exchange(ei_.pfnDeferredFillIn, nullptr)) fill(&ei_);
}

Fault ExcepInfo::ToFault() const {
  Fault f;
  f.status = Status();
  if (ei_.bstrDescription)
    f.description.assign(ei_.bstrDescription, SysStringLen(ei_.bstrDescription));
  if (ei_.bstrSource) f.source.assign(ei_.bstrSource, SysStringLen(ei_.bstrSource));
  return f;
}

void ExcepInfo::Clear() noexcept {
  SysFreeString(ei_.bstrSource);
  SysFreeString(ei_.bstrDescription);
  SysFreeString(ei_.bstrHelpFile);
  ei_ = EXCEPINFO{};
}

// ---- calling into objects -------------------------------------------------------

HRESULT FindMember(IDispatch* target, const wchar_t* name, DISPID* id) noexcept {
  if (!target || !name || !id) return E_POINTER;
  *id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  if (SUCCEEDED(hr)) return hr;
  kvp::ComPtr<IDispatchEx> ex;
  if (FAILED(target->QueryInterface(__uuidof(IDispatchEx), ex.PutVoid()))) return hr;
  kvp::Bstr text(name);
  if (!text.Get()) return E_OUTOFMEMORY;
  return ex->GetDispID(text.Get(), fdexNameCaseInsensitive, id);
}

HRESULT CallMember(IDispatch* target, const wchar_t* name, WORD flags, std::span<VARIANT> args,
                   VARIANT* result, Fault* fault) {
  DISPID id;
  HRESULT hr = FindMember(target, name, &id);
  if (FAILED(hr)) return hr;
  // DISPPARAMS lists the arguments right to left; the copies do not own.
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  ExcepInfo excep;
  UINT argError = 0;
  if (result) VariantInit(result);
  hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, excep.Get(),
                      &argError);
  if (hr == DISP_E_EXCEPTION) {
    excep.Complete();
    if (fault) *fault = excep.ToFault();
  }
  return hr;
}

}  // namespace kvsh
