// Calling the members of an automation object by name, as a script engine
// does: GetIDsOfNames for the member's DISPID, then IDispatch::Invoke with the
// arguments as variants, and a failure read the way the script would see it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/oleptr.h"

namespace kvhost {

// UTF-8 of wide text; of a BSTR (null reads as empty).
std::string Utf8(std::wstring_view wide);
std::string Utf8(BSTR text);

// Variants built for one call, owned for its length; left to right.
class VariantList {
 public:
  VariantList() = default;
  VariantList(const VariantList&) = delete;
  VariantList& operator=(const VariantList&) = delete;
  ~VariantList();

  void AddLong(LONG value);
  // Throws std::bad_alloc when the string cannot be allocated.
  void AddText(std::wstring_view text);
  std::span<const VARIANT> Items() const noexcept { return items_; }

 private:
  std::vector<VARIANT> items_;
};

// How a member is invoked: the flags of Invoke.
enum class CallKind : WORD {
  Get = DISPATCH_PROPERTYGET,
  Method = DISPATCH_METHOD,
  Put = DISPATCH_PROPERTYPUT,
  // A member the type information does not describe: both flags, as a script
  // engine sends them for a call it cannot tell apart.
  Either = DISPATCH_METHOD | DISPATCH_PROPERTYGET,
};
const char* KindName(CallKind kind) noexcept;

// The outcome of one call. After DISP_E_EXCEPTION, status is the exception's
// code and the other fields come from its EXCEPINFO (deferred fill-in run);
// after any other failure of GetIDsOfNames or Invoke, status is that failure
// and the text fields stay empty. (An exception with neither scode nor wCode
// keeps DISP_E_EXCEPTION as its status.)
struct CallOutcome {
  CallKind kind = CallKind::Either;
  HRESULT status = S_OK;
  bool exception = false;  // Invoke answered DISP_E_EXCEPTION
  std::wstring source;
  std::wstring description;
  std::wstring helpFile;
  DWORD helpContext = 0;
  kvp::Variant result;

  bool Failed() const noexcept { return exception || FAILED(status); }
  // "Name(args): 0x8000FFFF kvParcelin.process: Index out of range." style text.
  std::string Describe(std::string_view call) const;
};

class Dispatcher {
 public:
  explicit Dispatcher(kvp::ComPtr<IDispatch> object);

  // A property get or a method call, whichever the object's type information
  // says the member is.
  void Call(const wchar_t* name, std::span<const VARIANT> args, CallOutcome& out);
  // A property put of value (the named argument DISPID_PROPERTYPUT).
  void Put(const wchar_t* name, const VARIANT& value, CallOutcome& out);

 private:
  void Invoke(const wchar_t* name, bool put, std::span<const VARIANT> args, CallOutcome& out);
  CallKind KindOf(DISPID id) const;

  kvp::ComPtr<IDispatch> object_;
  kvp::ComPtr<ITypeInfo> info_;  // null when the object offers none
};

// A status as a script writes it in hexadecimal: "0x8000FFFF".
std::string StatusText(HRESULT status);

struct ByteSummary {
  int64_t count = 0;
  std::string sha256;
};
// The element count (over all dimensions) and digest of the bytes of a safe
// array of one-byte elements; nothing when it is not one or cannot be read.
std::optional<ByteSummary> SummarizeBytes(SAFEARRAY* array);

}  // namespace kvhost
