// Automation objects for script hosts, written as a table of named members
// instead of a type library, the ready-made Host object that scripts under test
// write their output to, and helpers for calling into script objects.
//
// Everything here belongs to the thread that created it (an apartment-threaded
// host); reference counts are interlocked all the same.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/oleptr.h"

namespace kvsh {

// Thrown by a member handler to fail its call. With a description the call
// answers DISP_E_EXCEPTION with an EXCEPINFO carrying `status` as scode, the
// description, and the source (the object's name when empty): the script
// raises a runtime error with that number and text. Without a description the
// call answers `status` itself (DISP_E_BADPARAMCOUNT, DISP_E_TYPEMISMATCH, ...)
// and the engine words the error.
struct Fault {
  HRESULT status = E_FAIL;
  std::wstring description;
  std::wstring source;
};

// The arguments of one call, left to right. For a property put the new value
// comes last, after any index arguments.
class Call {
 public:
  Call(const DISPPARAMS& params, WORD flags) noexcept : params_(params), flags_(flags) {}

  size_t Count() const noexcept { return params_.cArgs; }
  WORD Flags() const noexcept { return flags_; }
  // Fails the call with DISP_E_BADPARAMCOUNT unless min <= Count() <= max.
  void Expect(size_t min, size_t max) const;
  // The argument at `index`, a by-reference variant followed to its target.
  const VARIANT& Arg(size_t index) const;
  // The caller's variable behind a by-reference argument (VT_BYREF|VT_VARIANT),
  // for a member that reports back through it; null when the argument came
  // by value.
  VARIANT* Ref(size_t index) const;
  // The argument converted with VariantChangeType (booleans read True/False).
  // A value that does not convert fails the call with the conversion's status
  // (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, ...).
  std::wstring Text(size_t index) const;
  LONG Long(size_t index) const;
  double Double(size_t index) const;

 private:
  void Convert(size_t index, VARTYPE type, kvp::Variant& out) const;
  const DISPPARAMS& params_;
  WORD flags_;
};

// Runs one member; `result` starts empty and is handed to the caller.
using Handler = std::function<void(const Call& call, kvp::Variant& result)>;

// Result setters for handlers (they throw std::bad_alloc when out of memory).
void SetText(kvp::Variant& result, std::wstring_view text);
void SetLong(kvp::Variant& result, LONG value);
void SetDouble(kvp::Variant& result, double value);
void SetBool(kvp::Variant& result, bool value);

// An IDispatch whose members are named handlers. Names compare
// case-insensitively; a member's DISPID is its position in the table plus one.
//   auto calc = DispatchObject::Create(L"Calc");
//   calc->Method(L"Add", [](const Call& c, kvp::Variant& r) {
//     c.Expect(2, 2);
//     SetDouble(r, c.Double(0) + c.Double(1));
//   });
class DispatchObject final : public IDispatch {
 public:
  // A new object without members; the result holds the only reference.
  // `name` is the source of the errors its members raise.
  static kvp::ComPtr<DispatchObject> Create(std::wstring name);

  // Table building; each returns *this. Naming an existing member again
  // replaces that part of it.
  DispatchObject& Method(std::wstring_view name, Handler run);
  DispatchObject& Property(std::wstring_view name, Handler get, Handler put = nullptr);
  // The member that answers DISPID_VALUE: `obj(1)` in a script, or the value
  // of the object where a script needs a plain value.
  DispatchObject& Default(std::wstring_view name);

  kvp::ComPtr<IDispatch> Dispatch() noexcept;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* argError) override;

 private:
  struct Member {
    std::wstring name;
    Handler method, get, put;
  };
  explicit DispatchObject(std::wstring name) : name_(std::move(name)) {}
  ~DispatchObject() = default;
  Member& Slot(std::wstring_view name);
  const Member* Find(DISPID id) const noexcept;

  LONG refs_ = 1;
  std::wstring name_;
  std::vector<Member> members_;
  DISPID default_ = DISPID_UNKNOWN;
};

// The object tests add as "Host". Host.Echo a[, b ...] appends its arguments
// as text, separated by spaces, and a line end to Output(); Null reads "Null".
class Host {
 public:
  Host();
  kvp::ComPtr<IDispatch> Dispatch() const noexcept { return object_->Dispatch(); }
  const std::wstring& Output() const noexcept { return *output_; }
  void Clear() { output_->clear(); }

 private:
  // Shared with the handler, which the engine may keep a little longer.
  std::shared_ptr<std::wstring> output_;
  kvp::ComPtr<DispatchObject> object_;
};

// Owns an EXCEPINFO: completes it through pfnDeferredFillIn and frees its
// strings.
class ExcepInfo {
 public:
  ExcepInfo() noexcept = default;
  ExcepInfo(const ExcepInfo&) = delete;
  ExcepInfo& operator=(const ExcepInfo&) = delete;
  ~ExcepInfo() { Clear(); }
  EXCEPINFO* Get() noexcept { return &ei_; }
  // Runs the deferred fill-in, if any, once.
  void Complete() noexcept;
  // The error number: scode, or wCode when scode is zero.
  HRESULT Status() const noexcept { return ei_.scode ? ei_.scode : ei_.wCode; }
  Fault ToFault() const;
  void Clear() noexcept;

 private:
  EXCEPINFO ei_{};
};

// The DISPID of `name` on `target`: GetIDsOfNames first, then
// IDispatchEx::GetDispID (VBScript Class instances answer only that one).
HRESULT FindMember(IDispatch* target, const wchar_t* name, DISPID* id) noexcept;

// Calls `name` on `target` with `args` left to right (they are not changed;
// by-reference arguments may be written through). `result` may be null. When
// the target raises an exception, `fault` (if given) receives its status,
// description and source. Script code called this way (a function of
// ScriptSession::Globals, a method of a VBScript Class instance) reports its
// own errors to the session instead: the call answers SCRIPT_E_REPORTED and
// the error is in ScriptSession::Errors.
HRESULT CallMember(IDispatch* target, const wchar_t* name, WORD flags, std::span<VARIANT> args,
                   VARIANT* result, Fault* fault = nullptr);

}  // namespace kvsh
