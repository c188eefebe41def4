// Request and its collections (QueryString, ServerVariables).
#include <algorithm>
#include <climits>

#include "intrinsics.h"
#include "textcodec.h"

namespace kvasp {

using kvp::Variant;
using kvsh::Call;
using kvsh::Fault;

bool PageContext::Connected() const {
  return Live() && !bodyGone && !sinkGone && body->Connected() && sink->Connected();
}

kvsh::Fault AspFault(HRESULT status, std::wstring source, std::wstring description) {
  return Fault{status, std::move(description), std::move(source)};
}

kvsh::Fault FinishedFault(const wchar_t* object) {
  return Fault{E_UNEXPECTED, L"The page this object belongs to has finished.", object};
}

HRESULT Publish(const kvsh::Fault& fault, const wchar_t* source) noexcept {
  if (fault.description.empty()) {
    SetErrorInfo(0, nullptr);
    return fault.status;
  }
  kvp::ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
    const std::wstring& from = fault.source.empty() ? std::wstring(source) : fault.source;
    kvp::Bstr description(fault.description.c_str());
    kvp::Bstr origin(from.c_str());
    create->SetDescription(description.Get());
    create->SetSource(origin.Get());
    kvp::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid())))
      SetErrorInfo(0, info.Get());
  }
  return fault.status;
}

BSTR AllocText(std::wstring_view text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

void SetBytes(VARIANT* out, std::string_view bytes) {
  SafeArrayOwner array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  if (!array.Get()) throw std::bad_alloc();
  if (!bytes.empty()) {
    kvp::SafeArrayLock lock(array.Get());
    if (!lock.Locked()) throw Fault{E_UNEXPECTED, {}, {}};
    std::copy(bytes.begin(), bytes.end(), static_cast<char*>(lock.Data()));
  }
  VariantClear(out);
  V_VT(out) = VT_ARRAY | VT_UI1;
  V_ARRAY(out) = array.Release();
}

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Enumerates a collection's keys, as For Each does.
class KeyEnum final : public IEnumVARIANT {
 public:
  KeyEnum(std::shared_ptr<const std::vector<std::wstring>> keys, size_t next)
      : keys_(std::move(keys)), next_(next) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumVARIANT) {
      *out = static_cast<IEnumVARIANT*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override {
    if (!items && count) return E_POINTER;
    ULONG n = 0;
    for (; n < count && next_ < keys_->size(); ++n, ++next_) {
      const std::wstring& key = (*keys_)[next_];
      VariantInit(&items[n]);
      V_BSTR(&items[n]) = SysAllocStringLen(key.data(), static_cast<UINT>(key.size()));
      if (!V_BSTR(&items[n])) {
        for (ULONG i = 0; i < n; ++i) VariantClear(&items[i]);
        return E_OUTOFMEMORY;
      }
      V_VT(&items[n]) = VT_BSTR;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    next_ = std::min<size_t>(keys_->size(), next_ + count);
    return next_ < keys_->size() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    next_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) KeyEnum(keys_, next_);
    return *out ? S_OK : E_OUTOFMEMORY;
  }

 private:
  ~KeyEnum() = default;
  volatile LONG refs_ = 1;
  std::shared_ptr<const std::vector<std::wstring>> keys_;
  size_t next_;
};

#pragma GCC diagnostic pop

bool IsNumber(VARTYPE type) noexcept {
  switch (type) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DECIMAL:
      return true;
    default:
      return false;
  }
}

// A by-reference variant followed to its target.
const VARIANT& Deref(const VARIANT& v) noexcept {
  if (V_VT(&v) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&v)) return *V_VARIANTREF(&v);
  return v;
}

}  // namespace

// A collection of name=value entries, read by key (case-insensitive) or by
// 1-based position; with no key, the whole text (the raw query string).
class Dictionary final : public Intrinsic<IRequestDictionary> {
 public:
  struct Entry {
    std::wstring key;
    std::wstring value;
  };

  Dictionary(const wchar_t* name, std::vector<Entry> entries, std::wstring whole)
      : Intrinsic(IID_IRequestDictionary, name),
        entries_(std::move(entries)),
        whole_(std::move(whole)),
        keys_(std::make_shared<std::vector<std::wstring>>()) {
    for (const Entry& e : entries_) keys_->push_back(e.key);
    Member(L"Item", [this](const Call& c, Variant& r) {
      c.Expect(0, 1);
      Lookup(c.Count() ? &c.Arg(0) : nullptr, r.Get());
    });
    Table().Default(L"Item");
    Table().Property(L"Count", [this](const Call& c, Variant& r) {
      c.Expect(0, 0);
      kvsh::SetLong(r, static_cast<LONG>(entries_.size()));
    });
    Member(L"Key", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      Key(c.Arg(0), r.Get());
    });
  }

  // The value of `key`, or null.
  const std::wstring* Find(std::wstring_view key) const noexcept {
    for (const Entry& e : entries_)
      if (SameName(e.key, key)) return &e.value;
    return nullptr;
  }

  // The item of `key` (a name or a 1-based position; null: the whole text)
  // into `out`, which stays empty for a name the collection lacks.
  void Lookup(const VARIANT* key, VARIANT* out) const {
    if (!key || V_VT(&Deref(*key)) == VT_EMPTY || V_VT(&Deref(*key)) == VT_ERROR) {
      V_BSTR(out) = AllocText(whole_);
      V_VT(out) = VT_BSTR;
      return;
    }
    const VARIANT& k = Deref(*key);
    const std::wstring* value = nullptr;
    if (IsNumber(V_VT(&k))) {
      value = &entries_[Position(k)].value;
    } else {
      Variant text;
      const HRESULT hr = VariantChangeType(text.Get(), const_cast<VARIANT*>(&k), 0, VT_BSTR);
      if (FAILED(hr)) throw Fault{hr, {}, {}};
      value = Find(Text(V_BSTR(text.Get())));
    }
    if (!value) return;  // Empty, as for a key the request lacks
    V_BSTR(out) = AllocText(*value);
    V_VT(out) = VT_BSTR;
  }

  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argError) override {
    if (id != DISPID_NEWENUM)
      return Intrinsic::Invoke(id, riid, lcid, flags, params, result, excep, argError);
    if (!result) return E_POINTER;
    VariantInit(result);
    IUnknown* items = nullptr;
    const HRESULT hr = get__NewEnum(&items);
    if (FAILED(hr)) return hr;
    V_VT(result) = VT_UNKNOWN;
    V_UNKNOWN(result) = items;
    return S_OK;
  }

  // IRequestDictionary
  STDMETHODIMP get_Item(VARIANT key, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    const bool none = V_VT(&key) == VT_EMPTY || V_VT(&key) == VT_ERROR;
    return Guard(Name(), [&] { Lookup(none ? nullptr : &key, out); });
  }
  STDMETHODIMP get__NewEnum(IUnknown** out) override {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) KeyEnum(keys_, 0);
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP get_Count(int* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<int>(entries_.size());
    return S_OK;
  }
  STDMETHODIMP get_Key(VARIANT index, VARIANT* out) override {
    if (!out) return E_POINTER;
    VariantInit(out);
    return Guard(Name(), [&] { Key(index, out); });
  }

 private:
  const wchar_t* Name() const noexcept { return L"Request"; }

  size_t Position(const VARIANT& index) const {
    Variant n;
    HRESULT hr = VariantChangeType(n.Get(), const_cast<VARIANT*>(&index), 0, VT_I4);
    if (FAILED(hr)) throw Fault{hr, {}, {}};
    if (V_I4(n.Get()) < 1 || static_cast<size_t>(V_I4(n.Get())) > entries_.size())
      throw Fault{E_INVALIDARG,
                  L"The index " + std::to_wstring(V_I4(n.Get())) +
                      L" is outside the collection (1 to " + std::to_wstring(entries_.size()) +
                      L").",
                  L"Request object error 'ASP 0105'"};
    return static_cast<size_t>(V_I4(n.Get())) - 1;
  }

  void Key(const VARIANT& index, VARIANT* out) const {
    V_BSTR(out) = AllocText(entries_[Position(Deref(index))].key);
    V_VT(out) = VT_BSTR;
  }

  std::vector<Entry> entries_;
  std::wstring whole_;
  std::shared_ptr<std::vector<std::wstring>> keys_;
};

namespace {

// Query-string entries: URL-decoded, a repeated key's values joined with ", ".
std::vector<Dictionary::Entry> ParseQuery(std::string_view query, UINT codePage) {
  std::vector<Dictionary::Entry> entries;
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string_view::npos) amp = query.size();
    const std::string_view pair = query.substr(pos, amp - pos);
    pos = amp + 1;
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    const std::wstring key = Widen(UrlDecode(pair.substr(0, eq)), codePage);
    const std::wstring value = eq == std::string_view::npos
                                   ? std::wstring()
                                   : Widen(UrlDecode(pair.substr(eq + 1)), codePage);
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const Dictionary::Entry& e) { return SameName(e.key, key); });
    if (it == entries.end())
      entries.push_back({key, value});
    else
      it->value += L", " + value;
  }
  return entries;
}

std::wstring HeaderVariableName(std::string_view header) {
  std::wstring name = L"HTTP_";
  for (char c : header) {
    if (c == '-') c = '_';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    name += static_cast<unsigned char>(c);
  }
  return name;
}

const std::string* FindHeader(const std::vector<Header>& headers, std::string_view name) {
  for (const Header& h : headers)
    if (SameName(h.first, name)) return &h.second;
  return nullptr;
}

std::vector<Dictionary::Entry> ServerVariables(const PageContext& page) {
  const PageRequest& r = page.request;
  const UINT cp = page.codePage;
  auto wide = [cp](std::string_view s) { return Widen(s, cp); };

  // The headers as HTTP_ variables, repeated headers joined with ", ".
  std::vector<Dictionary::Entry> http;
  std::wstring allHttp, allRaw;
  for (const Header& h : r.headers) {
    const std::wstring name = HeaderVariableName(h.first);
    const std::wstring value = wide(h.second);
    auto it = std::find_if(http.begin(), http.end(),
                           [&](const Dictionary::Entry& e) { return e.key == name; });
    if (it == http.end())
      http.push_back({name, value});
    else
      it->value += L", " + value;
    allRaw += wide(h.first) + L": " + value + L"\r\n";
  }
  for (const Dictionary::Entry& e : http) allHttp += e.key + L":" + e.value + L"\r\n";

  std::wstring contentLength;
  if (const std::string* declared = FindHeader(r.headers, "Content-Length"))
    contentLength = wide(*declared);
  else
    contentLength = std::to_wstring(page.body ? std::max<int64_t>(0, page.body->TotalBytes()) : 0);
  const std::string* contentType = FindHeader(r.headers, "Content-Type");
  const std::wstring url = wide(r.urlPath);
  std::wstring root = r.siteRoot;
  if (!root.empty() && root.back() != L'\\') root += L'\\';

  std::vector<Dictionary::Entry> vars = {
      {L"ALL_HTTP", allHttp},
      {L"ALL_RAW", allRaw},
      {L"APPL_MD_PATH", L"/LM/W3SVC/1/ROOT"},
      {L"APPL_PHYSICAL_PATH", root},
      {L"AUTH_TYPE", L""},
      {L"CONTENT_LENGTH", contentLength},
      {L"CONTENT_TYPE", contentType ? wide(*contentType) : L""},
      {L"GATEWAY_INTERFACE", L"CGI/1.1"},
      {L"HTTPS", L"off"},
      {L"LOCAL_ADDR", L"127.0.0.1"},
      {L"PATH_INFO", url},
      {L"PATH_TRANSLATED", r.pagePath},
      {L"QUERY_STRING", wide(r.queryString)},
      {L"REMOTE_ADDR", wide(r.remoteAddr)},
      {L"REMOTE_HOST", wide(r.remoteAddr)},
      {L"REQUEST_METHOD", wide(r.method)},
      {L"SCRIPT_NAME", url},
      {L"SERVER_NAME", wide(r.serverName)},
      {L"SERVER_PORT", std::to_wstring(r.serverPort)},
      {L"SERVER_PORT_SECURE", L"0"},
      {L"SERVER_PROTOCOL", L"HTTP/1.1"},
      {L"SERVER_SOFTWARE", L"kvhost"},
      {L"URL", url},
  };
  vars.insert(vars.end(), http.begin(), http.end());
  return vars;
}

// Writes the delivered count back: through a by-reference count into the
// caller's variable, or into a by-value count variant itself.
void ReportCount(VARIANT* count, LONG delivered) {
  if (!count) return;
  switch (V_VT(count)) {
    case VT_BYREF | VT_VARIANT:
      ReportCount(V_VARIANTREF(count), delivered);
      return;
    case VT_BYREF | VT_I4:
      *V_I4REF(count) = delivered;
      return;
    case VT_BYREF | VT_I2:
      *V_I2REF(count) = static_cast<SHORT>(delivered);
      return;
    case VT_BYREF | VT_R8:
      *V_R8REF(count) = delivered;
      return;
    default:
      if (V_VT(count) & VT_BYREF) return;
      VariantClear(count);
      V_VT(count) = VT_I4;
      V_I4(count) = delivered;
  }
}

class Request final : public Intrinsic<IRequest> {
 public:
  explicit Request(std::shared_ptr<PageContext> page)
      : Intrinsic(IID_IRequest, L"Request"),
        page_(std::move(page)),
        query_(kvp::ComPtr<Dictionary>::Adopt(
            new Dictionary(L"QueryString", ParseQuery(page_->request.queryString, page_->codePage),
                           Widen(page_->request.queryString, page_->codePage)))),
        variables_(kvp::ComPtr<Dictionary>::Adopt(
            new Dictionary(L"ServerVariables", ServerVariables(*page_), L""))) {
    Table().Property(L"TotalBytes", [this](const Call& c, Variant& r) {
      c.Expect(0, 0);
      kvsh::SetLong(r, TotalBytes());
    });
    Table().Method(L"BinaryRead", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      const std::string bytes = Read(c.Long(0));
      SetBytes(r.Get(), bytes);
      ReportCount(c.Ref(0), static_cast<LONG>(bytes.size()));
    });
    Member(L"QueryString", [this](const Call& c, Variant& r) { Collection(*query_.Get(), c, r); });
    Member(L"ServerVariables",
           [this](const Call& c, Variant& r) { Collection(*variables_.Get(), c, r); });
    Member(L"Form", [](const Call&, Variant&) {
      throw AspFault(E_NOTIMPL, L"Request object error 'ASP 0206'",
                     L"Request.Form is not available: the request body is left to the page's "
                     L"components (Request.BinaryRead).");
    });
    Member(L"Item", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      const std::wstring key = c.Text(0);
      const std::wstring* value = query_->Find(key);
      if (!value) value = variables_->Find(key);
      if (value) kvsh::SetText(r, *value);
    });
    Table().Default(L"Item");
  }

  // IRequest
  STDMETHODIMP get_Item(BSTR, IDispatch** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP get_QueryString(IRequestDictionary** out) override {
    return Hand(*query_.Get(), out);
  }
  STDMETHODIMP get_Form(IRequestDictionary** out) override { return Unsupported(out); }
  STDMETHODIMP get_Body(IRequestDictionary** out) override { return Unsupported(out); }
  STDMETHODIMP get_ServerVariables(IRequestDictionary** out) override {
    return Hand(*variables_.Get(), out);
  }
  STDMETHODIMP get_ClientCertificate(IRequestDictionary** out) override { return Unsupported(out); }
  STDMETHODIMP get_Cookies(IRequestDictionary** out) override { return Unsupported(out); }
  STDMETHODIMP get_TotalBytes(LONG* total) override {
    if (!total) return E_POINTER;
    *total = 0;
    return Guard(L"Request", [&] { *total = TotalBytes(); });
  }
  STDMETHODIMP BinaryRead(VARIANT* count, VARIANT* result) override {
    if (!count || !result) return E_POINTER;
    return Guard(L"Request", [&] {
      Variant n;
      const HRESULT hr = VariantChangeType(n.Get(), count, 0, VT_I4);
      if (FAILED(hr)) throw kvsh::Fault{hr, L"The count of BinaryRead is not a number.", {}};
      const std::string bytes = Read(V_I4(n.Get()));
      SetBytes(result, bytes);
      ReportCount(count, static_cast<LONG>(bytes.size()));
    });
  }

 private:
  static HRESULT Hand(Dictionary& d, IRequestDictionary** out) {
    if (!out) return E_POINTER;
    d.AddRef();
    *out = &d;
    return S_OK;
  }
  static HRESULT Unsupported(IRequestDictionary** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

  // A collection member: without arguments the collection, with one its item.
  static void Collection(Dictionary& d, const Call& c, Variant& r) {
    c.Expect(0, 1);
    if (c.Count() == 0) {
      r.Clear();
      d.AddRef();
      V_VT(r.Get()) = VT_DISPATCH;
      V_DISPATCH(r.Get()) = static_cast<IRequestDictionary*>(&d);
      return;
    }
    d.Lookup(&c.Arg(0), r.Get());
  }

  LONG TotalBytes() const {
    if (!page_->Live()) throw FinishedFault(L"Request");
    const int64_t total = page_->body->TotalBytes();
    return static_cast<LONG>(std::clamp<int64_t>(total, 0, LONG_MAX));
  }

  // Up to `asked` bytes of the body, read just now from the source: as many
  // as asked unless the body ends or the client goes away first.
  std::string Read(LONG asked) {
    if (!page_->Live()) throw FinishedFault(L"Request");
    if (asked < 0)
      throw AspFault(E_INVALIDARG, L"Request object error 'ASP 0101'",
                     L"Unexpected error. The count of BinaryRead must not be negative.");
    const int64_t rest = std::max<int64_t>(0, TotalBytes() - page_->consumed);
    std::string bytes(static_cast<size_t>(std::min<int64_t>(asked, rest)), '\0');
    size_t got = 0;
    while (got < bytes.size() && !page_->bodyGone) {
      const int64_t n = page_->body->Read(reinterpret_cast<uint8_t*>(bytes.data() + got),
                                          static_cast<int64_t>(bytes.size() - got));
      if (n < 0) page_->bodyGone = true;
      if (n <= 0) break;
      got += static_cast<size_t>(std::min<int64_t>(n, static_cast<int64_t>(bytes.size() - got)));
    }
    bytes.resize(got);
    page_->consumed += static_cast<int64_t>(got);
    return bytes;
  }

  std::shared_ptr<PageContext> page_;
  kvp::ComPtr<Dictionary> query_;
  kvp::ComPtr<Dictionary> variables_;
};

}  // namespace

kvp::ComPtr<IRequest> CreateRequest(const std::shared_ptr<PageContext>& page) {
  return kvp::ComPtr<IRequest>::Adopt(new Request(page));
}

}  // namespace kvasp
