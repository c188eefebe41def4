// Response: buffered or streamed output, status and headers, End and Redirect.
#include <algorithm>

#include "intrinsics.h"
#include "textcodec.h"

namespace kvasp {

using kvp::Variant;
using kvsh::Call;
using kvsh::Fault;

namespace {

constexpr const wchar_t* kObject = L"Response";

Fault HeaderError() {
  return AspFault(E_FAIL, L"Response object error 'ASP 0156'",
                  L"Header Error. The HTTP headers are already written to the client browser. "
                  L"HTTP header modifications must be made before writing page content.");
}

Fault BufferingOff() {
  return AspFault(E_FAIL, L"Response object error 'ASP 0159'",
                  L"Buffering Off. Buffering must be on.");
}

Fault EndFault() {
  return Fault{kPageEnded, L"The page has ended (Response.End).", kObject};
}

// "404 Not Found" into its code and reason; false unless it starts with a
// three-digit code followed by a space or nothing.
bool ParseStatus(std::wstring_view text, int& code, std::wstring& reason) {
  if (text.size() < 3 || (text.size() > 3 && text[3] != L' ')) return false;
  code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    code = code * 10 + (text[i] - L'0');
  }
  if (code < 100) return false;
  reason = text.size() > 4 ? std::wstring(text.substr(4)) : std::wstring();
  return true;
}

// The bytes of a BinaryWrite argument: a byte array (of any shape) or the
// raw bytes of a string.
std::string BytesOf(const VARIANT& value) {
  VARTYPE type = V_VT(&value);
  SAFEARRAY* array = nullptr;
  if (type == (VT_ARRAY | VT_UI1) || type == (VT_ARRAY | VT_I1)) {
    array = V_ARRAY(&value);
  } else if (type == (VT_BYREF | VT_ARRAY | VT_UI1) || type == (VT_BYREF | VT_ARRAY | VT_I1)) {
    array = V_ARRAYREF(&value) ? *V_ARRAYREF(&value) : nullptr;
  } else if (type == VT_BSTR || type == (VT_BYREF | VT_BSTR)) {
    BSTR text = type == VT_BSTR ? V_BSTR(&value) : *V_BSTRREF(&value);
    return std::string(reinterpret_cast<const char*>(text), SysStringByteLen(text));
  } else if (type == VT_EMPTY || type == VT_NULL) {
    return {};
  } else {
    throw Fault{DISP_E_TYPEMISMATCH, L"BinaryWrite needs an array of bytes.", kObject};
  }
  if (!array) return {};
  size_t count = 1;
  for (UINT d = 1; d <= SafeArrayGetDim(array); ++d) {
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, d, &lower);
    SafeArrayGetUBound(array, d, &upper);
    count *= upper >= lower ? static_cast<size_t>(upper - lower + 1) : 0;
  }
  if (count == 0) return {};
  kvp::SafeArrayLock lock(array);
  if (!lock.Locked()) throw Fault{E_UNEXPECTED, L"The byte array cannot be read.", kObject};
  return std::string(static_cast<const char*>(lock.Data()), count);
}

const VARIANT& Deref(const VARIANT& v) noexcept {
  if (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v)) return *V_VARIANTREF(&v);
  return v;
}

class Response final : public Intrinsic<IResponse>, public ResponseControl {
 public:
  explicit Response(std::shared_ptr<PageContext> page)
      : Intrinsic(IID_IResponse, kObject), page_(std::move(page)) {
    Table().Method(L"Write", [this](const Call& c, Variant&) {
      c.Expect(1, 1);
      DoWrite(c.Arg(0));
    });
    Table().Method(L"BinaryWrite", [this](const Call& c, Variant&) {
      c.Expect(1, 1);
      DoBinaryWrite(c.Arg(0));
    });
    Table().Method(L"WriteBlock", [this](const Call& c, Variant&) {
      c.Expect(1, 1);
      DoWriteBlock(c.Long(0));
    });
    Member(L"IsClientConnected", [this](const Call& c, Variant& r) {
      c.Expect(0, 0);
      kvsh::SetBool(r, page_->Connected());
    });
    Table().Property(
        L"ContentType", [this](const Call&, Variant& r) { kvsh::SetText(r, contentType_); },
        [this](const Call& c, Variant&) { SetContentType(c.Text(c.Count() - 1)); });
    Table().Property(
        L"CharSet", [this](const Call&, Variant& r) { kvsh::SetText(r, charset_); },
        [this](const Call& c, Variant&) { SetCharSet(c.Text(c.Count() - 1)); });
    // IIS 5.1 and later: the code page of this response's text.
    Table().Property(
        L"CodePage",
        [this](const Call&, Variant& r) { kvsh::SetLong(r, CodePageNumber(page_->codePage)); },
        [this](const Call& c, Variant&) { SetCodePage(c.Long(c.Count() - 1)); });
    Table().Property(
        L"CacheControl", [this](const Call&, Variant& r) { kvsh::SetText(r, cacheControl_); },
        [this](const Call& c, Variant&) { SetCacheControl(c.Text(c.Count() - 1)); });
    Table().Property(
        L"Status", [this](const Call&, Variant& r) { kvsh::SetText(r, status_); },
        [this](const Call& c, Variant&) { SetStatus(c.Text(c.Count() - 1)); });
    Table().Property(
        L"Buffer", [this](const Call&, Variant& r) { kvsh::SetBool(r, buffer_); },
        [this](const Call& c, Variant&) {
          Variant v;
          const HRESULT hr =
              VariantChangeType(v.Get(), const_cast<VARIANT*>(&c.Arg(c.Count() - 1)), 0, VT_BOOL);
          if (FAILED(hr)) throw Fault{hr, {}, {}};
          SetBuffer(V_BOOL(v.Get()) != VARIANT_FALSE);
        });
    Table().Method(L"AddHeader", [this](const Call& c, Variant&) {
      c.Expect(2, 2);
      AppendHeader(c.Text(0), c.Text(1));
    });
    Table().Method(L"AppendToLog", [](const Call& c, Variant&) { c.Expect(1, 1); });
    Table().Method(L"Redirect", [this](const Call& c, Variant&) {
      c.Expect(1, 1);
      DoRedirect(c.Text(0));
    });
    Table().Method(L"End", [this](const Call& c, Variant&) {
      c.Expect(0, 0);
      EndPage();
    });
    Table().Method(L"Flush", [this](const Call& c, Variant&) {
      c.Expect(0, 0);
      FlushOutput();
    });
    Table().Method(L"Clear", [this](const Call& c, Variant&) {
      c.Expect(0, 0);
      ClearOutput();
    });
  }

  // ---- IResponse ----

  STDMETHODIMP get_Buffer(VARIANT_BOOL* on) override {
    if (!on) return E_POINTER;
    *on = buffer_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP put_Buffer(VARIANT_BOOL on) override {
    return Guard(kObject, [&] { SetBuffer(on != VARIANT_FALSE); });
  }
  STDMETHODIMP get_ContentType(BSTR* out) override { return GetText(contentType_, out); }
  STDMETHODIMP put_ContentType(BSTR value) override {
    return Guard(kObject, [&] { SetContentType(Text(value)); });
  }
  STDMETHODIMP get_Expires(VARIANT* out) override {
    if (out) VariantInit(out);
    return E_NOTIMPL;
  }
  STDMETHODIMP put_Expires(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP get_ExpiresAbsolute(VARIANT* out) override {
    if (out) VariantInit(out);
    return E_NOTIMPL;
  }
  STDMETHODIMP put_ExpiresAbsolute(DATE) override { return E_NOTIMPL; }
  STDMETHODIMP get_Cookies(IRequestDictionary** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_Status(BSTR* out) override { return GetText(status_, out); }
  STDMETHODIMP put_Status(BSTR value) override {
    return Guard(kObject, [&] { SetStatus(Text(value)); });
  }
  STDMETHODIMP Add(BSTR value, BSTR name) override {
    return Guard(kObject, [&] { AppendHeader(Text(name), Text(value)); });
  }
  STDMETHODIMP AddHeader(BSTR name, BSTR value) override {
    return Guard(kObject, [&] { AppendHeader(Text(name), Text(value)); });
  }
  STDMETHODIMP AppendToLog(BSTR) override { return S_OK; }
  STDMETHODIMP BinaryWrite(VARIANT value) override {
    return Guard(kObject, [&] { DoBinaryWrite(value); });
  }
  STDMETHODIMP Clear() override {
    return Guard(kObject, [&] { ClearOutput(); });
  }
  STDMETHODIMP End() override {
    return Guard(kObject, [&] { EndPage(); });
  }
  STDMETHODIMP Flush() override {
    return Guard(kObject, [&] { FlushOutput(); });
  }
  STDMETHODIMP Redirect(BSTR url) override {
    return Guard(kObject, [&] { DoRedirect(Text(url)); });
  }
  STDMETHODIMP Write(VARIANT value) override {
    return Guard(kObject, [&] { DoWrite(value); });
  }
  STDMETHODIMP WriteBlock(short index) override {
    return Guard(kObject, [&] { DoWriteBlock(static_cast<LONG>(index)); });
  }
  STDMETHODIMP IsClientConnected(VARIANT_BOOL* connected) override {
    if (!connected) return E_POINTER;
    *connected = page_->Connected() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_CharSet(BSTR* out) override { return GetText(charset_, out); }
  STDMETHODIMP put_CharSet(BSTR value) override {
    return Guard(kObject, [&] { SetCharSet(Text(value)); });
  }
  STDMETHODIMP Pics(BSTR value) override {
    return Guard(kObject, [&] { AppendHeader(L"PICS-Label", Text(value)); });
  }
  STDMETHODIMP get_CacheControl(BSTR* out) override { return GetText(cacheControl_, out); }
  STDMETHODIMP put_CacheControl(BSTR value) override {
    return Guard(kObject, [&] { SetCacheControl(Text(value)); });
  }

  // ---- ResponseControl ----

  bool Ended() const noexcept override { return ended_; }
  bool HeadersSent() const noexcept override { return headersSent_; }
  int SentStatus() const noexcept override { return code_; }

  void Fail(int code, const std::wstring& reason, std::string_view html) override {
    if (!headersSent_) {
      status_ = std::to_wstring(code) + L" " + reason;
      code_ = code;
      reason_ = reason;
      contentType_ = L"text/html";
      headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                    [](const auto& h) { return SameName(h.first, L"Location"); }),
                     headers_.end());
    }
    output_.append(html);
    Finish();
  }

  void Finish() override {
    if (!page_->Live()) return;
    if (!headersSent_) SendHeaders(true);
    Send(output_);
    output_.clear();
  }

 private:
  static HRESULT GetText(const std::wstring& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  // Output and header changes need a live page that has not ended.
  void CheckOpen() const {
    if (ended_) throw EndFault();
    if (!page_->Live()) throw FinishedFault(kObject);
  }
  void CheckHeadersOpen() const {
    CheckOpen();
    if (headersSent_) throw HeaderError();
  }

  void DoWrite(const VARIANT& arg) {
    CheckOpen();
    const VARIANT& value = Deref(arg);
    if (V_VT(&value) == VT_EMPTY || V_VT(&value) == VT_NULL) return;
    Variant text;
    const HRESULT hr =
        VariantChangeType(text.Get(), const_cast<VARIANT*>(&value), VARIANT_ALPHABOOL, VT_BSTR);
    if (FAILED(hr)) throw Fault{hr, {}, {}};
    Output(Narrow(Text(V_BSTR(text.Get())), page_->codePage));
  }

  void DoBinaryWrite(const VARIANT& value) {
    CheckOpen();
    Output(BytesOf(Deref(value)));
  }

  void DoWriteBlock(LONG index) {
    CheckOpen();
    if (!page_->page || index < 0 || static_cast<size_t>(index) >= page_->page->blocks.size())
      throw Fault{E_INVALIDARG, L"There is no block " + std::to_wstring(index) + L" in this page.",
                  kObject};
    Output(page_->page->blocks[static_cast<size_t>(index)]);
  }

  void SetContentType(std::wstring value) {
    CheckHeadersOpen();
    contentType_ = std::move(value);
  }
  void SetCharSet(std::wstring value) {
    CheckHeadersOpen();
    charset_ = std::move(value);
  }
  // Unlike the headers, the code page may change after output has begun: it
  // applies to what is written from then on.
  void SetCodePage(LONG value) {
    if (value <= 0 || !IsValidCodePage(static_cast<UINT>(value)))
      throw AspFault(E_FAIL, L"Response object error 'ASP 0204'",
                     L"Invalid CodePage Value. An invalid CodePage value was specified.");
    page_->codePage = static_cast<UINT>(value);
    page_->responseCodePageSet = true;
  }
  void SetCacheControl(std::wstring value) {
    CheckHeadersOpen();
    cacheControl_ = std::move(value);
  }
  void SetStatus(std::wstring value) {
    CheckHeadersOpen();
    int code = 0;
    std::wstring reason;
    if (!ParseStatus(value, code, reason))
      throw AspFault(E_INVALIDARG, L"Response object error 'ASP 0104'",
                     L"Operation not Allowed. '" + value +
                         L"' is no status line: a three-digit code and a reason, as "
                         L"\"404 Not Found\".");
    status_ = std::move(value);
    code_ = code;
    reason_ = std::move(reason);
  }
  void AppendHeader(std::wstring name, std::wstring value) {
    CheckHeadersOpen();
    if (name.empty() || name.find_first_of(L": \r\n") != std::wstring::npos ||
        value.find_first_of(L"\r\n") != std::wstring::npos)
      throw Fault{E_INVALIDARG, L"The header name or value is not valid.", kObject};
    headers_.emplace_back(std::move(name), std::move(value));
  }

  void SetBuffer(bool on) {
    if (on == buffer_) return;
    CheckOpen();
    if (headersSent_)
      throw AspFault(E_FAIL, L"Response object error 'ASP 0157'",
                     L"Buffering On. Buffering cannot be changed once output has been sent to "
                     L"the client.");
    buffer_ = on;
    if (!on && !output_.empty()) {
      SendHeaders(false);
      Send(output_);
      output_.clear();
    }
  }

  void FlushOutput() {
    CheckOpen();
    if (!buffer_) throw BufferingOff();
    if (!headersSent_) SendHeaders(false);
    Send(output_);
    output_.clear();
  }

  void ClearOutput() {
    CheckOpen();
    if (!buffer_) throw BufferingOff();
    output_.clear();
  }

  [[noreturn]] void EndPage() {
    if (!page_->Live()) throw FinishedFault(kObject);
    ended_ = true;
    throw EndFault();
  }

  void DoRedirect(const std::wstring& url) {
    CheckHeadersOpen();
    status_ = L"302 Object moved";
    code_ = 302;
    reason_ = L"Object moved";
    headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                  [](const auto& h) { return SameName(h.first, L"Location"); }),
                   headers_.end());
    headers_.emplace_back(L"Location", url);
    const std::wstring link = HtmlEncode(url);
    output_ = Narrow(
        L"<head><title>Object moved</title></head>\r\n<body><h1>Object Moved</h1>"
        L"This object may be found <a HREF=\"" +
            link + L"\">here</a>.</body>\r\n",
        page_->codePage);
    ended_ = true;
    throw EndFault();
  }

  void Output(std::string_view bytes) {
    if (buffer_) {
      output_.append(bytes);
      return;
    }
    if (!headersSent_) SendHeaders(false);
    Send(bytes);
  }

  void SendHeaders(bool withLength) {
    std::vector<Header> headers;
    const UINT cp = page_->codePage;
    std::wstring type = contentType_;
    if (!charset_.empty()) type += L"; charset=" + charset_;
    headers.emplace_back("Content-Type", Narrow(type, cp));
    if (!cacheControl_.empty()) headers.emplace_back("Cache-Control", Narrow(cacheControl_, cp));
    for (const auto& [name, value] : headers_)
      headers.emplace_back(Narrow(name, cp), Narrow(value, cp));
    if (withLength) headers.emplace_back("Content-Length", std::to_string(output_.size()));
    headersSent_ = true;
    page_->sink->Begin(code_, Narrow(reason_, cp), headers);
  }

  void Send(std::string_view bytes) {
    if (bytes.empty() || page_->sinkGone) return;
    if (!page_->sink->Send(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
      page_->sinkGone = true;
  }

  std::shared_ptr<PageContext> page_;
  bool buffer_ = true;
  bool headersSent_ = false;
  bool ended_ = false;
  std::wstring status_ = L"200 OK";
  int code_ = 200;
  std::wstring reason_ = L"OK";
  std::wstring contentType_ = L"text/html";
  std::wstring charset_;
  std::wstring cacheControl_;
  std::vector<std::pair<std::wstring, std::wstring>> headers_;
  std::string output_;  // buffered, not yet sent
};

}  // namespace

kvp::ComPtr<IResponse> CreateResponse(const std::shared_ptr<PageContext>& page,
                                      ResponseControl** control) {
  auto* response = new Response(page);
  *control = response;
  return kvp::ComPtr<IResponse>::Adopt(response);
}

}  // namespace kvasp
