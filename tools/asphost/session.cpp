// Session: what a page run needs of it. The local host keeps no sessions
// between requests (it sends no session cookie), so each page run has a
// session of its own; its CodePage and LCID settings last for that run.
#include "intrinsics.h"
#include "textcodec.h"

namespace kvasp {

using kvp::Variant;
using kvsh::Call;
using kvsh::Fault;

namespace {

constexpr const wchar_t* kObject = L"Session";

Fault InvalidCodePage() {
  return AspFault(E_FAIL, L"Session object error 'ASP 0204'",
                  L"Invalid CodePage Value. An invalid CodePage value was specified.");
}

class Session final : public Intrinsic<ISessionObject> {
 public:
  explicit Session(std::shared_ptr<PageContext> page)
      : Intrinsic(IID_ISessionObject, kObject), page_(std::move(page)) {
    Table().Property(
        L"CodePage", [this](const Call&, Variant& r) { kvsh::SetLong(r, CodePage()); },
        [this](const Call& c, Variant&) { SetCodePage(c.Long(c.Count() - 1)); });
    Table().Property(
        L"LCID", [this](const Call&, Variant& r) { kvsh::SetLong(r, static_cast<LONG>(lcid_)); },
        [this](const Call& c, Variant&) { lcid_ = static_cast<LCID>(c.Long(c.Count() - 1)); });
    Table().Property(L"SessionID", [this](const Call&, Variant& r) { kvsh::SetText(r, Id()); });
    Table().Property(
        L"Timeout", [this](const Call&, Variant& r) { kvsh::SetLong(r, timeout_); },
        [this](const Call& c, Variant&) { timeout_ = c.Long(c.Count() - 1); });
    Table().Method(L"Abandon", [](const Call& c, Variant&) { c.Expect(0, 0); });
  }

  // ---- ISessionObject ----

  STDMETHODIMP get_SessionID(BSTR* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guard(kObject, [&] { *out = AllocText(Id()); });
  }
  STDMETHODIMP get_Value(BSTR, VARIANT* out) override {
    if (out) VariantInit(out);
    return E_NOTIMPL;
  }
  STDMETHODIMP put_Value(BSTR, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP putref_Value(BSTR, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP get_Timeout(LONG* minutes) override {
    if (!minutes) return E_POINTER;
    *minutes = timeout_;
    return S_OK;
  }
  STDMETHODIMP put_Timeout(LONG minutes) override {
    timeout_ = minutes;
    return S_OK;
  }
  STDMETHODIMP Abandon() override { return S_OK; }
  STDMETHODIMP get_CodePage(LONG* codePage) override {
    if (!codePage) return E_POINTER;
    *codePage = CodePage();
    return S_OK;
  }
  STDMETHODIMP put_CodePage(LONG codePage) override {
    return Guard(kObject, [&] { SetCodePage(codePage); });
  }
  STDMETHODIMP get_LCID(LONG* lcid) override {
    if (!lcid) return E_POINTER;
    *lcid = static_cast<LONG>(lcid_);
    return S_OK;
  }
  STDMETHODIMP put_LCID(LONG lcid) override {
    lcid_ = static_cast<LCID>(lcid);
    return S_OK;
  }
  STDMETHODIMP get_StaticObjects(IVariantDictionary** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Contents(IVariantDictionary** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  LONG CodePage() const { return CodePageNumber(page_->sessionCodePage); }

  // As in IIS 5.1 and later: the session's code page also becomes the
  // response's, unless the page has set Response.CodePage itself.
  void SetCodePage(LONG codePage) {
    if (codePage <= 0 || !IsValidCodePage(static_cast<UINT>(codePage))) throw InvalidCodePage();
    page_->sessionCodePage = static_cast<UINT>(codePage);
    if (!page_->responseCodePageSet) page_->codePage = static_cast<UINT>(codePage);
  }

  std::wstring Id() const {
    return std::to_wstring(reinterpret_cast<uintptr_t>(this) & 0x7FFFFFFF);
  }

  std::shared_ptr<PageContext> page_;
  LCID lcid_ = GetUserDefaultLCID();
  LONG timeout_ = 20;
};

}  // namespace

kvp::ComPtr<ISessionObject> CreateSession(const std::shared_ptr<PageContext>& page) {
  return kvp::ComPtr<ISessionObject>::Adopt(new Session(page));
}

}  // namespace kvasp
