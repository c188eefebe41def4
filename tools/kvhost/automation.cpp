#include "automation.h"

#include <cstdio>
#include <new>
#include <utility>

#include "sha256.h"

namespace kvhost {

namespace {

// The type attributes of a type information, released with the scope.
class TypeAttr {
 public:
  explicit TypeAttr(ITypeInfo* info) : info_(info) {
    if (FAILED(info_->GetTypeAttr(&attr_))) attr_ = nullptr;
  }
  ~TypeAttr() {
    if (attr_) info_->ReleaseTypeAttr(attr_);
  }
  TypeAttr(const TypeAttr&) = delete;
  TypeAttr& operator=(const TypeAttr&) = delete;
  const TYPEATTR* operator->() const noexcept { return attr_; }
  explicit operator bool() const noexcept { return attr_ != nullptr; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

// One function description, released with the scope.
class FuncDesc {
 public:
  FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
    if (FAILED(info_->GetFuncDesc(index, &desc_))) desc_ = nullptr;
  }
  ~FuncDesc() {
    if (desc_) info_->ReleaseFuncDesc(desc_);
  }
  FuncDesc(const FuncDesc&) = delete;
  FuncDesc& operator=(const FuncDesc&) = delete;
  const FUNCDESC* operator->() const noexcept { return desc_; }
  explicit operator bool() const noexcept { return desc_ != nullptr; }

 private:
  ITypeInfo* info_;
  FUNCDESC* desc_ = nullptr;
};

// An EXCEPINFO whose strings are freed with the scope.
class ExcepInfo {
 public:
  ExcepInfo() noexcept = default;
  ExcepInfo(const ExcepInfo&) = delete;
  ExcepInfo& operator=(const ExcepInfo&) = delete;
  ~ExcepInfo() {
    SysFreeString(info_.bstrSource);
    SysFreeString(info_.bstrDescription);
    SysFreeString(info_.bstrHelpFile);
  }
  EXCEPINFO* Get() noexcept { return &info_; }
  // Runs the deferred fill-in, if the callee left one, once.
  void Complete() noexcept {
    if (auto fill = std::exchange(info_.pfnDeferredFillIn, nullptr)) fill(&info_);
  }

 private:
  EXCEPINFO info_{};
};

std::wstring Text(BSTR b) {
  return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

}  // namespace

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

std::string Utf8(BSTR text) {
  return text ? Utf8(std::wstring_view(text, SysStringLen(text))) : std::string();
}

VariantList::~VariantList() {
  for (VARIANT& v : items_) VariantClear(&v);
}

void VariantList::AddLong(LONG value) {
  VARIANT& v = items_.emplace_back();
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
}

void VariantList::AddText(std::wstring_view text) {
  VARIANT& v = items_.emplace_back();
  VariantInit(&v);
  const BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw std::bad_alloc();
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = b;
}

const char* KindName(CallKind kind) noexcept {
  switch (kind) {
    case CallKind::Get:
      return "get";
    case CallKind::Method:
      return "method";
    case CallKind::Put:
      return "put";
    case CallKind::Either:
      break;
  }
  return "method|get";
}

std::string StatusText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

std::string CallOutcome::Describe(std::string_view call) const {
  std::string text(call);
  text += ": ";
  text += StatusText(status);
  if (!source.empty()) text += " " + Utf8(source) + ":";
  if (!description.empty()) text += " " + Utf8(description);
  return text;
}

Dispatcher::Dispatcher(kvp::ComPtr<IDispatch> object) : object_(std::move(object)) {
  UINT count = 0;
  if (SUCCEEDED(object_->GetTypeInfoCount(&count)) && count > 0)
    object_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info_.Put());
}

CallKind Dispatcher::KindOf(DISPID id) const {
  if (!info_) return CallKind::Either;
  const TypeAttr attr(info_.Get());
  if (!attr) return CallKind::Either;
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    const FuncDesc desc(info_.Get(), i);
    if (!desc || desc->memid != id) continue;
    if (desc->invkind == INVOKE_FUNC) return CallKind::Method;
    if (desc->invkind == INVOKE_PROPERTYGET) return CallKind::Get;
  }
  return CallKind::Either;
}

void Dispatcher::Call(const wchar_t* name, std::span<const VARIANT> args, CallOutcome& out) {
  Invoke(name, false, args, out);
}

void Dispatcher::Put(const wchar_t* name, const VARIANT& value, CallOutcome& out) {
  Invoke(name, true, std::span<const VARIANT>(&value, 1), out);
}

void Dispatcher::Invoke(const wchar_t* name, bool put, std::span<const VARIANT> args,
                        CallOutcome& out) {
  out.result.Clear();
  out.status = S_OK;
  out.exception = false;
  out.source.clear();
  out.description.clear();
  out.helpFile.clear();
  out.helpContext = 0;

  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT found = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  out.kind = put ? CallKind::Put : SUCCEEDED(found) ? KindOf(id) : CallKind::Either;
  if (FAILED(found)) {
    out.status = found;
    return;
  }

  // DISPPARAMS lists the arguments right to left; these copies do not own
  // what they point to (the caller's list does).
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (put) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  ExcepInfo excep;
  UINT argError = 0;
  out.status = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, static_cast<WORD>(out.kind),
                               &params, put ? nullptr : out.result.Get(), excep.Get(), &argError);
  if (out.status != DISP_E_EXCEPTION) return;

  excep.Complete();
  const EXCEPINFO& e = *excep.Get();
  out.exception = true;
  if (e.scode != 0)
    out.status = e.scode;
  else if (e.wCode != 0)
    out.status = e.wCode;
  out.source = Text(e.bstrSource);
  out.description = Text(e.bstrDescription);
  out.helpFile = Text(e.bstrHelpFile);
  out.helpContext = e.dwHelpContext;
}

std::optional<ByteSummary> SummarizeBytes(SAFEARRAY* array) {
  if (!array || SafeArrayGetElemsize(array) != 1) return std::nullopt;
  const UINT dims = SafeArrayGetDim(array);
  int64_t count = dims > 0 ? 1 : 0;
  for (UINT d = 1; d <= dims; ++d) {
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(SafeArrayGetLBound(array, d, &lower)) ||
        FAILED(SafeArrayGetUBound(array, d, &upper)))
      return std::nullopt;
    count *= static_cast<int64_t>(upper) - lower + 1;
  }
  const kvp::SafeArrayLock lock(array);
  if (!lock.Locked()) return std::nullopt;
  return ByteSummary{count, Sha256Hex(lock.Data(), static_cast<size_t>(count))};
}

}  // namespace kvhost
