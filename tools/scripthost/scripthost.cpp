#include "scripthost.h"

#include <new>

#include "dispatch.h"

namespace kvsh {
namespace {

bool SameName(const std::wstring& a, const wchar_t* b) noexcept {
  return b && CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Line `index` (0-based) of `text`, without its line end; empty past the end.
std::wstring LineOf(const std::wstring& text, size_t index) {
  size_t start = 0;
  for (; index > 0; --index) {
    start = text.find(L'\n', start);
    if (start == std::wstring::npos) return {};
    ++start;
  }
  size_t end = text.find(L'\n', start);
  if (end == std::wstring::npos) end = text.size();
  if (end > start && text[end - 1] == L'\r') --end;
  return text.substr(start, end - start);
}

ScriptError FromExcepInfo(ExcepInfo& excep) {
  excep.Complete();
  ScriptError e;
  e.scode = excep.Get()->scode;
  e.wCode = excep.Get()->wCode;
  Fault f = excep.ToFault();
  e.source = std::move(f.source);
  e.description = std::move(f.description);
  return e;
}

}  // namespace

long ScriptError::Number() const noexcept {
  if (scode == S_OK) return wCode;
  if (HRESULT_FACILITY(scode) == FACILITY_CONTROL) return HRESULT_CODE(scode);
  return scode;
}

// The engine's view of the host: hands out the named items and collects the
// errors it reports.
class ScriptSite final : public IActiveScriptSite {
 public:
  struct Block {
    std::wstring text;
    ULONG firstLine;  // 1-based
  };

  static kvp::ComPtr<ScriptSite> Create() {
    return kvp::ComPtr<ScriptSite>::Adopt(new ScriptSite());
  }

  std::vector<NamedItem> items;
  std::vector<Block> blocks;  // the parsed code; a block's index is its context cookie
  std::vector<ScriptError> errors;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == __uuidof(IActiveScriptSite)) {
      *out = static_cast<IActiveScriptSite*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IActiveScriptSite
  HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown,
                                        ITypeInfo** typeInfo) override {
    if (unknown) *unknown = nullptr;
    if (typeInfo) *typeInfo = nullptr;
    if (((mask & SCRIPTINFO_IUNKNOWN) && !unknown) || ((mask & SCRIPTINFO_ITYPEINFO) && !typeInfo))
      return E_POINTER;
    const NamedItem* item = nullptr;
    for (const NamedItem& candidate : items) {
      if (SameName(candidate.name, name)) item = &candidate;
    }
    if (!item || !item->object) return TYPE_E_ELEMENTNOTFOUND;

    kvp::ComPtr<ITypeInfo> info;
    if (mask & SCRIPTINFO_ITYPEINFO) {
      // The class description, which names the events of a source item.
      kvp::ComPtr<IProvideClassInfo> provider;
      if (FAILED(item->object->QueryInterface(IID_IProvideClassInfo, provider.PutVoid())) ||
          FAILED(provider->GetClassInfo(info.Put())) || !info)
        return TYPE_E_ELEMENTNOTFOUND;
    }
    if (mask & SCRIPTINFO_IUNKNOWN) {
      HRESULT hr = item->object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown));
      if (FAILED(hr)) return hr;
    }
    if (mask & SCRIPTINFO_ITYPEINFO) *typeInfo = info.Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR* version) override {
    if (version) *version = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* report) override {
    if (!report) return E_POINTER;
    try {
      ExcepInfo excep;
      ScriptError e;
      if (SUCCEEDED(report->GetExceptionInfo(excep.Get()))) e = FromExcepInfo(excep);

      DWORD cookie = 0;
      ULONG line = 0;
      LONG column = 0;
      if (SUCCEEDED(report->GetSourcePosition(&cookie, &line, &column))) {
        e.line = line + 1;
        e.column = column;
        kvp::Bstr text;
        if (SUCCEEDED(report->GetSourceLineText(text.Put())) && text.Length()) {
          e.lineText.assign(text.Get(), text.Length());
        } else if (cookie < blocks.size() && e.line >= blocks[cookie].firstLine) {
          e.lineText = LineOf(blocks[cookie].text, e.line - blocks[cookie].firstLine);
        }
      }
      errors.push_back(std::move(e));
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  ScriptSite() = default;
  ~ScriptSite() = default;
  LONG refs_ = 1;
};

// ---- ScriptSession ------------------------------------------------------------

ScriptSession::ScriptSession() : site_(ScriptSite::Create()) {}

ScriptSession::~ScriptSession() {
  Close();
}

HRESULT ScriptSession::Open(std::wstring_view language) {
  if (engine_) return E_UNEXPECTED;
  std::wstring progId(language);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
  if (FAILED(hr)) return hr;
  kvp::ComPtr<IActiveScript> engine;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IActiveScript),
                        engine.PutVoid());
  if (FAILED(hr)) return hr;
  kvp::ComPtr<IActiveScriptParse> parse;
  hr = engine->QueryInterface(__uuidof(IActiveScriptParse), parse.PutVoid());
  if (FAILED(hr)) return hr;
  hr = parse->InitNew();
  if (FAILED(hr)) return hr;
  hr = engine->SetScriptSite(site_.Get());
  if (FAILED(hr)) {
    engine->Close();
    return hr;
  }
  engine_ = std::move(engine);
  parse_ = std::move(parse);
  return S_OK;
}

HRESULT ScriptSession::AddItem(const NamedItem& item) {
  if (!engine_) return E_UNEXPECTED;
  if (!item.object || item.name.empty()) return E_INVALIDARG;
  site_->items.push_back(item);
  HRESULT hr = engine_->AddNamedItem(item.name.c_str(), item.flags);
  if (FAILED(hr)) site_->items.pop_back();
  return hr;
}

HRESULT ScriptSession::Parse(std::wstring_view text, ULONG firstLine) {
  if (!parse_) return E_UNEXPECTED;
  if (firstLine == 0) return E_INVALIDARG;
  const size_t cookie = site_->blocks.size();
  site_->blocks.push_back({std::wstring(text), firstLine});
  ExcepInfo excep;
  HRESULT hr =
      parse_->ParseScriptText(site_->blocks.back().text.c_str(), nullptr, nullptr, nullptr, cookie,
                              firstLine - 1, SCRIPTTEXT_ISVISIBLE, nullptr, excep.Get());
  // Errors normally arrive through OnScriptError; this is the other way.
  if (hr == DISP_E_EXCEPTION) site_->errors.push_back(FromExcepInfo(excep));
  return hr;
}

HRESULT ScriptSession::Run() {
  if (!engine_) return E_UNEXPECTED;
  return engine_->SetScriptState(SCRIPTSTATE_CONNECTED);
}

kvp::ComPtr<IDispatch> ScriptSession::Globals() {
  kvp::ComPtr<IDispatch> globals;
  if (engine_) engine_->GetScriptDispatch(nullptr, globals.Put());
  return globals;
}

HRESULT ScriptSession::Close() {
  if (!engine_) return S_FALSE;
  HRESULT hr = engine_->Close();
  parse_.Reset();
  engine_.Reset();
  site_->items.clear();
  return hr;
}

const std::vector<ScriptError>& ScriptSession::Errors() const noexcept {
  return site_->errors;
}

// ---- RunScript ----------------------------------------------------------------

RunResult RunScript(std::wstring_view language, std::wstring_view source,
                    std::span<const NamedItem> items) {
  ScriptSession session;
  HRESULT hr = session.Open(language);
  for (const NamedItem& item : items) {
    if (FAILED(hr)) break;
    hr = session.AddItem(item);
  }
  if (SUCCEEDED(hr)) hr = session.Parse(source);
  if (SUCCEEDED(hr)) hr = session.Run();
  const HRESULT closed = session.Close();
  if (SUCCEEDED(hr) && FAILED(closed)) hr = closed;

  RunResult result;
  if (!session.Errors().empty()) {
    result.error = session.Errors().front();
    if (SUCCEEDED(hr)) hr = SCRIPT_E_REPORTED;
  }
  result.status = SUCCEEDED(hr) ? S_OK : hr;
  result.ok = SUCCEEDED(hr);
  return result;
}

}  // namespace kvsh
