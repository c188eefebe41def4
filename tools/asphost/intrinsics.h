// The intrinsic objects of one page run: Request, Response, Server, Session
// and the object context that carries them. Each is one COM object implementing the
// platform's ASP interface (vtable calls, as components make them) whose
// IDispatch side is a table of named members (the calls a page's script
// makes). Everything here belongs to the thread that runs the page.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "asphost.h"
#include "dispatch.h"
#include "host/aspsdk.h"
#include "pagecompiler.h"
#include "server/oleptr.h"

namespace kvasp {

// The status with which Response.End and Response.Redirect stop the page's
// script; RunPage takes it for the page's normal end.
inline constexpr HRESULT kPageEnded = static_cast<HRESULT>(0x8004A5E0L);

// What the objects of one page run share. The body and the sink are let go
// when the page finishes; objects kept beyond it then fail their calls.
struct PageContext {
  PageRequest request;  // siteRoot, pagePath and urlPath resolved
  BodySource* body = nullptr;
  ResponseSink* sink = nullptr;
  // Response.CodePage: of Response.Write's text and of the request's data;
  // from the page's @CodePage, then from Session.CodePage until the page sets
  // Response.CodePage itself.
  UINT codePage = CP_ACP;
  UINT sessionCodePage = CP_ACP;  // Session.CodePage
  bool responseCodePageSet = false;
  std::shared_ptr<const CompiledPage> page;  // null when the page did not compile
  int64_t consumed = 0;                      // body bytes BinaryRead has delivered
  bool bodyGone = false;                     // the body's client went away
  bool sinkGone = false;                     // a send found the client gone

  bool Live() const noexcept { return body && sink; }
  bool Connected() const;
  void Detach() noexcept {
    body = nullptr;
    sink = nullptr;
  }
};

// RunPage's side of the Response object.
class ResponseControl {
 public:
  // Response.End or Redirect ran.
  virtual bool Ended() const noexcept = 0;
  virtual bool HeadersSent() const noexcept = 0;
  // The status code sent, or to be sent.
  virtual int SentStatus() const noexcept = 0;
  // Reports a failed page: `code` (500, 404) while the headers have not gone
  // out, then `html` after what the page wrote, and finishes the response.
  virtual void Fail(int code, const std::wstring& reason, std::string_view html) = 0;
  // Sends the rest: the headers (with Content-Length) when they have not gone
  // out, then the buffered output.
  virtual void Finish() = 0;

 protected:
  ~ResponseControl() = default;
};

struct Intrinsics {
  kvp::ComPtr<IRequest> request;
  kvp::ComPtr<IResponse> response;
  kvp::ComPtr<IServer> server;
  kvp::ComPtr<ISessionObject> session;
  kvp::ComPtr<IObjectContext> context;  // also IGetContextProperties
  ResponseControl* control = nullptr;   // lives as long as `response`
};

Intrinsics CreateIntrinsics(const std::shared_ptr<PageContext>& page);

// ---- shared pieces of the implementations ----

// Faults of the ASP family: `source` like "Response object error 'ASP 0156'".
kvsh::Fault AspFault(HRESULT status, std::wstring source, std::wstring description);
// The fault of a call on an object whose page has finished.
kvsh::Fault FinishedFault(const wchar_t* object);

// Publishes a fault as the thread's error information; answers its status.
HRESULT Publish(const kvsh::Fault& fault, const wchar_t* source) noexcept;

// Runs the work of a vtable member: a Fault becomes its status with error
// information, other exceptions E_OUTOFMEMORY or E_UNEXPECTED.
template <typename Work>
HRESULT Guard(const wchar_t* source, Work&& work) noexcept {
  try {
    work();
    return S_OK;
  } catch (const kvsh::Fault& fault) {
    return Publish(fault, source);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// The text of a BSTR argument (null reads as empty).
inline std::wstring Text(BSTR b) {
  return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

// A code page as the CodePage properties report it: CP_ACP as its number.
inline LONG CodePageNumber(UINT codePage) noexcept {
  return static_cast<LONG>(codePage == CP_ACP ? GetACP() : codePage);
}

// A BSTR for an out-parameter; throws std::bad_alloc.
BSTR AllocText(std::wstring_view text);

// Owns a safe array until it is handed to a variant.
class SafeArrayOwner {
 public:
  explicit SafeArrayOwner(SAFEARRAY* array = nullptr) noexcept : array_(array) {}
  SafeArrayOwner(const SafeArrayOwner&) = delete;
  SafeArrayOwner& operator=(const SafeArrayOwner&) = delete;
  ~SafeArrayOwner() {
    if (array_) SafeArrayDestroy(array_);
  }
  SAFEARRAY* Get() const noexcept { return array_; }
  SAFEARRAY* Release() noexcept { return std::exchange(array_, nullptr); }

 private:
  SAFEARRAY* array_;
};

// A one-dimensional VT_UI1 array of the bytes, in `out` (cleared first).
void SetBytes(VARIANT* out, std::string_view bytes);

// COM interfaces have no virtual destructor: these objects are destroyed only
// by their own Release, through their own class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Identity, reference count, error-information support and the named-member
// IDispatch of an object whose interface `Iface` derives from IDispatch.
template <typename Iface>
class Intrinsic : public Iface, public ISupportErrorInfo {
 public:
  Intrinsic(const Intrinsic&) = delete;
  Intrinsic& operator=(const Intrinsic&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid_) {
      *out = static_cast<Iface*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return table_->GetTypeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return table_->GetTypeInfo(index, lcid, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override {
    return table_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argError) override {
    return table_->Invoke(id, riid, lcid, flags, params, result, excep, argError);
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == iid_ ? S_OK : S_FALSE;
  }

 protected:
  Intrinsic(const IID& iid, const wchar_t* name)
      : iid_(iid), table_(kvsh::DispatchObject::Create(name)) {}
  virtual ~Intrinsic() = default;

  kvsh::DispatchObject& Table() noexcept { return *table_.Get(); }
  // A member a script may call as a method or read as a property.
  void Member(std::wstring_view name, kvsh::Handler run) {
    table_->Method(name, run);
    table_->Property(name, std::move(run));
  }

 private:
  volatile LONG refs_ = 1;
  const IID& iid_;
  kvp::ComPtr<kvsh::DispatchObject> table_;
};

#pragma GCC diagnostic pop

}  // namespace kvasp
