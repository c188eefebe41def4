// Server, the object context, and the set of intrinsics of one page run.
#include <algorithm>
#include <vector>

#include "intrinsics.h"
#include "textcodec.h"

namespace kvasp {

kvp::ComPtr<IRequest> CreateRequest(const std::shared_ptr<PageContext>& page);
kvp::ComPtr<IResponse> CreateResponse(const std::shared_ptr<PageContext>& page,
                                      ResponseControl** control);
kvp::ComPtr<ISessionObject> CreateSession(const std::shared_ptr<PageContext>& page);

namespace {

using kvp::Variant;
using kvsh::Call;
using kvsh::Fault;

constexpr const wchar_t* kObject = L"Server";

class Server final : public Intrinsic<IServer> {
 public:
  explicit Server(std::shared_ptr<PageContext> page)
      : Intrinsic(IID_IServer, kObject), page_(std::move(page)) {
    Table().Method(L"CreateObject", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      kvp::ComPtr<IDispatch> object = Create(c.Text(0));
      r.Clear();
      V_VT(r.Get()) = VT_DISPATCH;
      V_DISPATCH(r.Get()) = object.Detach();
    });
    Member(L"MapPath", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      kvsh::SetText(r, Map(c.Text(0)));
    });
    Member(L"HTMLEncode", [](const Call& c, Variant& r) {
      c.Expect(1, 1);
      kvsh::SetText(r, HtmlEncode(c.Text(0)));
    });
    Member(L"URLEncode", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      kvsh::SetText(r, Widen(UrlEncode(Narrow(c.Text(0), page_->codePage)), CP_ACP));
    });
    Member(L"URLPathEncode", [this](const Call& c, Variant& r) {
      c.Expect(1, 1);
      kvsh::SetText(r, Widen(UrlPathEncode(Narrow(c.Text(0), page_->codePage)), CP_ACP));
    });
    Table().Property(
        L"ScriptTimeout", [this](const Call&, Variant& r) { kvsh::SetLong(r, timeout_); },
        [this](const Call& c, Variant&) { timeout_ = c.Long(c.Count() - 1); });
  }

  // IServer
  STDMETHODIMP get_ScriptTimeout(LONG* seconds) override {
    if (!seconds) return E_POINTER;
    *seconds = timeout_;
    return S_OK;
  }
  STDMETHODIMP put_ScriptTimeout(LONG seconds) override {
    timeout_ = seconds;
    return S_OK;
  }
  STDMETHODIMP CreateObject(BSTR progId, IDispatch** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guard(kObject, [&] { *out = Create(Text(progId)).Detach(); });
  }
  STDMETHODIMP HTMLEncode(BSTR in, BSTR* out) override {
    return Encoded(out, [&] { return HtmlEncode(Text(in)); });
  }
  STDMETHODIMP MapPath(BSTR path, BSTR* out) override {
    return Encoded(out, [&] { return Map(Text(path)); });
  }
  STDMETHODIMP URLEncode(BSTR in, BSTR* out) override {
    return Encoded(out,
                   [&] { return Widen(UrlEncode(Narrow(Text(in), page_->codePage)), CP_ACP); });
  }
  STDMETHODIMP URLPathEncode(BSTR in, BSTR* out) override {
    return Encoded(out,
                   [&] { return Widen(UrlPathEncode(Narrow(Text(in), page_->codePage)), CP_ACP); });
  }
  STDMETHODIMP Execute(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP Transfer(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetLastError(IASPError** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  template <typename Make>
  static HRESULT Encoded(BSTR* out, Make&& make) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guard(kObject, [&] { *out = AllocText(make()); });
  }

  // An in-process object by ProgID, as IDispatch.
  kvp::ComPtr<IDispatch> Create(const std::wstring& progId) {
    if (!page_->Live()) throw FinishedFault(kObject);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    kvp::ComPtr<IDispatch> object;
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid());
    if (FAILED(hr)) {
      const std::wstring why = StatusText(hr);
      throw AspFault(hr, L"Server object error 'ASP 0177 : " + HexStatus(hr) + L"'",
                     L"Server.CreateObject Failed. " +
                         (why.empty() ? L"'" + progId + L"' cannot be created." : why));
    }
    return object;
  }

  // A virtual path ("/" at the site root, otherwise relative to the page's
  // folder) as a Windows path under the site root.
  std::wstring Map(const std::wstring& path) const {
    if (path.find(L':') != std::wstring::npos || path.rfind(L"\\\\", 0) == 0)
      throw AspFault(E_FAIL, L"Server object error 'ASP 0172 : 80004005'",
                     L"Invalid Path. The Path parameter for the MapPath method must be a virtual "
                     L"path. A physical path was used.");
    std::wstring virt = path;
    std::replace(virt.begin(), virt.end(), L'\\', L'/');
    if (virt.empty() || virt[0] != L'/') {
      const std::wstring url = Widen(page_->request.urlPath, page_->codePage);
      virt = url.substr(0, url.rfind(L'/') + 1) + virt;
    }
    const bool trailing = virt.size() > 1 && virt.back() == L'/';
    std::vector<std::wstring> parts;
    size_t pos = 0;
    while (pos <= virt.size()) {
      size_t slash = virt.find(L'/', pos);
      if (slash == std::wstring::npos) slash = virt.size();
      const std::wstring part = virt.substr(pos, slash - pos);
      pos = slash + 1;
      if (part.empty() || part == L".") continue;
      if (part == L"..") {
        if (parts.empty())
          throw AspFault(E_FAIL, L"Server object error 'ASP 0175 : 80004005'",
                         L"Disallowed Path Characters. The '..' characters are not allowed above "
                         L"the site's root in the Path parameter for the MapPath method.");
        parts.pop_back();
        continue;
      }
      parts.push_back(part);
    }
    std::wstring out = page_->request.siteRoot;
    while (out.size() > 3 && (out.back() == L'\\' || out.back() == L'/')) out.pop_back();
    for (const std::wstring& part : parts) {
      if (out.empty() || out.back() != L'\\') out += L'\\';
      out += part;
    }
    if (trailing && !parts.empty()) out += L'\\';
    return out;
  }

  std::shared_ptr<PageContext> page_;
  LONG timeout_ = 90;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// The object context of the page's calls: answers Request, Response, Server
// and Session to GetProperty.
class ObjectContext final : public IObjectContext, public IGetContextProperties {
 public:
  ObjectContext(kvp::ComPtr<IRequest> request, kvp::ComPtr<IResponse> response,
                kvp::ComPtr<IServer> server, kvp::ComPtr<ISessionObject> session)
      : request_(std::move(request)),
        response_(std::move(response)),
        server_(std::move(server)),
        session_(std::move(session)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IObjectContext) {
      *out = static_cast<IObjectContext*>(this);
    } else if (riid == IID_IGetContextProperties) {
      *out = static_cast<IGetContextProperties*>(this);
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

  // IObjectContext
  STDMETHODIMP CreateInstance(REFCLSID clsid, REFIID riid, LPVOID* out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, out);
  }
  STDMETHODIMP SetComplete() override { return S_OK; }
  STDMETHODIMP SetAbort() override { return S_OK; }
  STDMETHODIMP EnableCommit() override { return S_OK; }
  STDMETHODIMP DisableCommit() override { return S_OK; }
  WINBOOL STDMETHODCALLTYPE IsInTransaction() override { return FALSE; }
  WINBOOL STDMETHODCALLTYPE IsSecurityEnabled() override { return FALSE; }
  STDMETHODIMP IsCallerInRole(BSTR, WINBOOL* inRole) override {
    if (inRole) *inRole = FALSE;
    return E_NOTIMPL;
  }

  // IGetContextProperties
  STDMETHODIMP Count(LONG* count) override {
    if (!count) return E_POINTER;
    *count = 4;
    return S_OK;
  }
  STDMETHODIMP GetProperty(BSTR name, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    const std::wstring key = Text(name);
    IDispatch* object = nullptr;
    if (SameName(key, L"Request"))
      object = request_.Get();
    else if (SameName(key, L"Response"))
      object = response_.Get();
    else if (SameName(key, L"Server"))
      object = server_.Get();
    else if (SameName(key, L"Session"))
      object = session_.Get();
    if (!object) return S_OK;  // Empty, as for a property the context lacks
    object->AddRef();
    V_VT(value) = VT_DISPATCH;
    V_DISPATCH(value) = object;
    return S_OK;
  }
  STDMETHODIMP EnumNames(IEnumNames** names) override {
    if (names) *names = nullptr;
    return E_NOTIMPL;
  }

 private:
  ~ObjectContext() = default;
  volatile LONG refs_ = 1;
  kvp::ComPtr<IRequest> request_;
  kvp::ComPtr<IResponse> response_;
  kvp::ComPtr<IServer> server_;
  kvp::ComPtr<ISessionObject> session_;
};

#pragma GCC diagnostic pop

}  // namespace

Intrinsics CreateIntrinsics(const std::shared_ptr<PageContext>& page) {
  Intrinsics set;
  set.request = CreateRequest(page);
  set.response = CreateResponse(page, &set.control);
  set.server = kvp::ComPtr<IServer>::Adopt(new Server(page));
  set.session = CreateSession(page);
  set.context = kvp::ComPtr<IObjectContext>::Adopt(
      new ObjectContext(set.request, set.response, set.server, set.session));
  return set;
}

}  // namespace kvasp
