#include "aspstub.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>
#include <mutex>
#include <utility>

namespace kvstub {

using kvp::Bstr;
using kvp::ComPtr;
using kvp::Variant;

struct Variable {
  std::wstring name;
  std::wstring value;
  bool asStringList = false;
};

// The script and the record shared by one host's objects.
struct HostState {
  mutable std::mutex lock;

  std::string body;
  size_t offset = 0;  // how far BinaryRead has delivered the body
  bool totalSet = false;
  long total = 0;
  bool totalFails = false;
  Failure totalFailure;

  long maxPerCall = 0;
  std::vector<long> sizes;
  int readFailAt = 0;
  Failure readFailure;
  ReadAnswer shape;
  int shapeFrom = 1;
  std::function<void()> readObserver;
  bool keepCalls = true;

  int disconnectFrom = 0;
  int connectedFailAt = 0;
  Failure connectedFailure;

  bool writeFails = false;
  Failure writeFailure;

  std::vector<Variable> variables;
  PropertyMode requestMode = PropertyMode::Normal;
  PropertyMode responseMode = PropertyMode::Normal;

  std::vector<Call> calls;
  int readCalls = 0;
  int connectedCalls = 0;
  std::wstring written;
  std::vector<VARTYPE> writeTypes;
};

namespace {

std::atomic<long> g_live{0};

bool SameName(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring_view View(BSTR text) {
  return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view();
}

// Publishes the failure's error information for the calling thread and
// returns its status.
HRESULT Raise(const Failure& failure) {
  if (failure.description.empty() && failure.source.empty()) {
    SetErrorInfo(0, nullptr);
    return failure.status;
  }
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.Put()))) {
    std::wstring description = failure.description;
    std::wstring source = failure.source;
    create->SetDescription(description.data());
    create->SetSource(source.data());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid())))
      SetErrorInfo(0, info.Get());
  }
  return failure.status;
}

// Out-parameters of a slot the stand-in does not implement are left empty.
template <typename T>
void Blank(T** out) {
  if (out) *out = nullptr;
}
void Blank(VARIANT* out) {
  if (out) VariantInit(out);
}

// COM interfaces have no virtual destructor: a stand-in object is destroyed
// only by its own Release, through its own class.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// Identity, interlocked reference count and the call log of every stand-in
// object. The first interface listed is the object's IUnknown.
template <typename... Interfaces>
class StubObject : public Interfaces... {
 public:
  StubObject(const StubObject&) = delete;
  StubObject& operator=(const StubObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = Find(iid);
    if (!*object) return E_NOINTERFACE;
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

 protected:
  StubObject(std::shared_ptr<HostState> state, const char* name) noexcept
      : state_(std::move(state)), name_(name) {
    g_live.fetch_add(1);
  }
  virtual ~StubObject() { g_live.fetch_sub(1); }

  // The interface pointer for iid, or null.
  virtual void* Find(REFIID iid) = 0;

  void Log(const char* method, long count = 0, std::wstring key = {}) {
    if (!state_) return;
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->keepCalls) state_->calls.push_back(Call{name_, method, count, std::move(key)});
  }

  template <typename... Outs>
  HRESULT Unused(const char* method, Outs*... outs) {
    Log(method);
    (Blank(outs), ...);
    return E_NOTIMPL;
  }

  HostState& State() const noexcept { return *state_; }
  const std::shared_ptr<HostState>& SharedState() const noexcept { return state_; }

 private:
  volatile LONG refs_ = 1;
  std::shared_ptr<HostState> state_;
  const char* name_;
};

// An object with an IDispatch base interface but no type information.
template <typename Dispatch, typename... More>
class DispatchObject : public StubObject<Dispatch, More...> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    this->Log("GetTypeInfoCount");
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    return this->Unused("GetTypeInfo", info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return this->Unused("GetIDsOfNames");
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return this->Unused("Invoke");
  }

 protected:
  using StubObject<Dispatch, More...>::StubObject;

  void* FindDispatch(REFIID iid, REFIID own) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == own)
      return static_cast<Dispatch*>(this);
    return nullptr;
  }
};

// What BinaryRead may hand back instead of bytes: an object that is nothing
// but counted.
class Token final : public StubObject<IUnknown> {
 public:
  Token() : StubObject(nullptr, "Token") {}

 private:
  void* Find(REFIID iid) override {
    return iid == IID_IUnknown ? static_cast<IUnknown*>(this) : nullptr;
  }
};

// A ServerVariables item as IIS hands it out: a list of strings whose default
// property is the whole text.
class StringList final : public DispatchObject<IStringList> {
 public:
  StringList(std::shared_ptr<HostState> state, std::wstring text)
      : DispatchObject(std::move(state), "StringList"), text_(std::move(text)) {}

  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    Log("Invoke", id);
    if (id != DISPID_VALUE) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (params && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (!result) return S_OK;
    return Text(result);
  }
  STDMETHODIMP get_Item(VARIANT index, VARIANT* result) override {
    Log("Item");
    if (!result) return E_POINTER;
    VariantInit(result);
    // No index, or index 1: the text.
    const bool whole = index.vt == VT_ERROR || index.vt == VT_EMPTY;
    Variant n;
    if (!whole && (FAILED(VariantChangeType(n.Get(), &index, 0, VT_I4)) || n->lVal != 1))
      return E_INVALIDARG;
    return Text(result);
  }
  STDMETHODIMP get_Count(int* count) override {
    Log("Count");
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP get__NewEnum(IUnknown** items) override { return Unused("NewEnum", items); }

 private:
  HRESULT Text(VARIANT* result) const {
    result->bstrVal = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    if (!result->bstrVal) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
  }
  void* Find(REFIID iid) override { return FindDispatch(iid, IID_IStringList); }

  std::wstring text_;
};

class ServerVariables final : public DispatchObject<IRequestDictionary> {
 public:
  explicit ServerVariables(std::shared_ptr<HostState> state)
      : DispatchObject(std::move(state), "ServerVariables") {}

  STDMETHODIMP get_Item(VARIANT key, VARIANT* result) override {
    if (!result) return E_POINTER;
    VariantInit(result);
    Variant name;
    if (FAILED(VariantChangeType(name.Get(), &key, 0, VT_BSTR))) {
      Log("Item");
      return E_INVALIDARG;
    }
    const std::wstring wanted(View(name->bstrVal));
    Log("Item", 0, wanted);
    Variable found;
    {
      std::lock_guard<std::mutex> hold(State().lock);
      auto it = std::find_if(State().variables.begin(), State().variables.end(),
                             [&](const Variable& v) { return SameName(v.name, wanted); });
      if (it == State().variables.end()) return S_OK;  // VT_EMPTY
      found = *it;
    }
    if (found.asStringList) {
      result->pdispVal = new StringList(SharedState(), found.value);
      result->vt = VT_DISPATCH;
      return S_OK;
    }
    result->bstrVal = SysAllocStringLen(found.value.data(), static_cast<UINT>(found.value.size()));
    if (!result->bstrVal) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
  }
  STDMETHODIMP get__NewEnum(IUnknown** items) override { return Unused("NewEnum", items); }
  STDMETHODIMP get_Count(int* count) override {
    Log("Count");
    if (!count) return E_POINTER;
    std::lock_guard<std::mutex> hold(State().lock);
    *count = static_cast<int>(State().variables.size());
    return S_OK;
  }
  // The name of the entry at a 1-based index.
  STDMETHODIMP get_Key(VARIANT index, VARIANT* result) override {
    Log("Key");
    if (!result) return E_POINTER;
    VariantInit(result);
    Variant n;
    if (FAILED(VariantChangeType(n.Get(), &index, 0, VT_I4))) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(State().lock);
    const auto& vars = State().variables;
    if (n->lVal < 1 || static_cast<size_t>(n->lVal) > vars.size()) return E_INVALIDARG;
    const std::wstring& name = vars[static_cast<size_t>(n->lVal) - 1].name;
    result->bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
    if (!result->bstrVal) return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    return S_OK;
  }

 private:
  void* Find(REFIID iid) override { return FindDispatch(iid, IID_IRequestDictionary); }
};

// A safe array that has not yet been handed over to a variant.
struct ArrayOwner {
  SAFEARRAY* array = nullptr;
  ArrayOwner() = default;
  ArrayOwner(const ArrayOwner&) = delete;
  ArrayOwner& operator=(const ArrayOwner&) = delete;
  ~ArrayOwner() {
    if (array) SafeArrayDestroy(array);
  }
  SAFEARRAY* Release() noexcept { return std::exchange(array, nullptr); }
};

// Fills result with the delivered bytes in the shape asked for.
HRESULT Shape(ReadResult shape, std::string_view bytes, VARIANT* result) {
  const auto n = static_cast<ULONG>(bytes.size());
  ArrayOwner owner;
  VARTYPE element = VT_UI1;
  switch (shape) {
    case ReadResult::Empty:
      return S_OK;
    case ReadResult::Object:
      result->punkVal = new Token();
      result->vt = VT_UNKNOWN;
      return S_OK;
    case ReadResult::Text: {
      std::wstring wide(bytes.size(), L'\0');
      for (size_t i = 0; i < bytes.size(); ++i) wide[i] = static_cast<unsigned char>(bytes[i]);
      result->bstrVal = SysAllocStringLen(wide.data(), n);
      if (!result->bstrVal) return E_OUTOFMEMORY;
      result->vt = VT_BSTR;
      return S_OK;
    }
    case ReadResult::Bytes:
      owner.array = SafeArrayCreateVector(VT_UI1, 0, n);
      break;
    case ReadResult::TwoDimBytes: {
      SAFEARRAYBOUND bounds[2] = {{n, 0}, {1, 0}};
      owner.array = SafeArrayCreate(VT_UI1, 2, bounds);
      break;
    }
    case ReadResult::WordArray:
      element = VT_I2;
      owner.array = SafeArrayCreateVector(VT_I2, 0, n);
      break;
  }
  if (!owner.array) return E_OUTOFMEMORY;
  if (n > 0) {
    kvp::SafeArrayLock lock(owner.array);
    if (!lock.Locked()) return E_UNEXPECTED;
    if (element == VT_UI1) {
      std::copy(bytes.begin(), bytes.end(), static_cast<char*>(lock.Data()));
    } else {
      auto* words = static_cast<SHORT*>(lock.Data());
      for (size_t i = 0; i < bytes.size(); ++i) words[i] = static_cast<unsigned char>(bytes[i]);
    }
  }
  result->parray = owner.Release();
  result->vt = static_cast<VARTYPE>(VT_ARRAY | element);
  return S_OK;
}

HRESULT ReportCount(const ReadAnswer& answer, long delivered, VARIANT* count) {
  VariantClear(count);
  switch (answer.count) {
    case CountReport::Delivered:
      count->vt = VT_I4;
      count->lVal = delivered;
      break;
    case CountReport::Offset:
      count->vt = VT_I4;
      count->lVal = delivered + static_cast<long>(answer.number);
      break;
    case CountReport::Fixed:
      count->vt = VT_I4;
      count->lVal = static_cast<long>(answer.number);
      break;
    case CountReport::Real:
      count->vt = VT_R8;
      count->dblVal = answer.number;
      break;
    case CountReport::Text:
      count->bstrVal = SysAllocStringLen(answer.text.data(), static_cast<UINT>(answer.text.size()));
      if (!count->bstrVal) return E_OUTOFMEMORY;
      count->vt = VT_BSTR;
      break;
  }
  return S_OK;
}

class Request final : public DispatchObject<IRequest, ISupportErrorInfo> {
 public:
  explicit Request(std::shared_ptr<HostState> state)
      : DispatchObject(state, "Request"),
        variables_(ComPtr<IRequestDictionary>::Adopt(new ServerVariables(std::move(state)))) {}

  STDMETHODIMP get_Item(BSTR, IDispatch** item) override { return Unused("Item", item); }
  STDMETHODIMP get_QueryString(IRequestDictionary** d) override { return Unused("QueryString", d); }
  STDMETHODIMP get_Form(IRequestDictionary** d) override { return Unused("Form", d); }
  STDMETHODIMP get_Body(IRequestDictionary** d) override { return Unused("Body", d); }
  STDMETHODIMP get_ServerVariables(IRequestDictionary** d) override {
    Log("ServerVariables");
    if (!d) return E_POINTER;
    *d = variables_.Get();
    (*d)->AddRef();
    return S_OK;
  }
  STDMETHODIMP get_ClientCertificate(IRequestDictionary** d) override {
    return Unused("ClientCertificate", d);
  }
  STDMETHODIMP get_Cookies(IRequestDictionary** d) override { return Unused("Cookies", d); }

  STDMETHODIMP get_TotalBytes(LONG* total) override {
    Log("TotalBytes");
    if (!total) return E_POINTER;
    std::unique_lock<std::mutex> hold(State().lock);
    if (State().totalFails) {
      const Failure failure = State().totalFailure;
      hold.unlock();
      return Raise(failure);
    }
    *total = State().totalSet ? State().total : static_cast<LONG>(State().body.size());
    return S_OK;
  }

  STDMETHODIMP BinaryRead(VARIANT* count, VARIANT* result) override {
    long asked = -1;
    if (count) {
      Variant n;
      if (SUCCEEDED(VariantChangeType(n.Get(), count, 0, VT_I4))) asked = n->lVal;
    }
    Log("BinaryRead", asked);
    if (!count || !result) return E_POINTER;
    VariantClear(result);
    std::function<void()> observer;
    {
      std::lock_guard<std::mutex> hold(State().lock);
      observer = State().readObserver;
    }
    if (observer) observer();

    std::unique_lock<std::mutex> hold(State().lock);
    HostState& s = State();
    const int call = ++s.readCalls;
    if (call == s.readFailAt) {
      const Failure failure = s.readFailure;
      hold.unlock();
      return Raise(failure);
    }
    if (asked < 0) return E_INVALIDARG;
    const ReadAnswer answer = call >= s.shapeFrom ? s.shape : ReadAnswer{};
    const size_t rest = s.body.size() - s.offset;
    size_t deliver = std::min(static_cast<size_t>(asked), rest);
    if (s.maxPerCall > 0) deliver = std::min(deliver, static_cast<size_t>(s.maxPerCall));
    if (static_cast<size_t>(call) <= s.sizes.size())
      deliver = std::min(deliver, static_cast<size_t>(std::max(0L, s.sizes[call - 1])));
    deliver = std::min(deliver + static_cast<size_t>(std::max(0L, answer.overDeliver)), rest);
    const std::string bytes = s.body.substr(s.offset, deliver);
    s.offset += deliver;
    hold.unlock();

    const HRESULT shaped = Shape(answer.result, bytes, result);
    if (FAILED(shaped)) return shaped;
    return ReportCount(answer, static_cast<long>(deliver), count);
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    Log("InterfaceSupportsErrorInfo");
    return iid == IID_IRequest ? S_OK : S_FALSE;
  }

 private:
  void* Find(REFIID iid) override {
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return FindDispatch(iid, IID_IRequest);
  }

  ComPtr<IRequestDictionary> variables_;
};

class Response final : public DispatchObject<IResponse, ISupportErrorInfo> {
 public:
  explicit Response(std::shared_ptr<HostState> state)
      : DispatchObject(std::move(state), "Response") {}

  STDMETHODIMP get_Buffer(VARIANT_BOOL*) override { return Unused("Buffer"); }
  STDMETHODIMP put_Buffer(VARIANT_BOOL) override { return Unused("Buffer"); }
  STDMETHODIMP get_ContentType(BSTR* t) override { return Unused("ContentType", t); }
  STDMETHODIMP put_ContentType(BSTR) override { return Unused("ContentType"); }
  STDMETHODIMP get_Expires(VARIANT* v) override { return Unused("Expires", v); }
  STDMETHODIMP put_Expires(LONG) override { return Unused("Expires"); }
  STDMETHODIMP get_ExpiresAbsolute(VARIANT* v) override { return Unused("ExpiresAbsolute", v); }
  STDMETHODIMP put_ExpiresAbsolute(DATE) override { return Unused("ExpiresAbsolute"); }
  STDMETHODIMP get_Cookies(IRequestDictionary** d) override { return Unused("Cookies", d); }
  STDMETHODIMP get_Status(BSTR* t) override { return Unused("Status", t); }
  STDMETHODIMP put_Status(BSTR) override { return Unused("Status"); }
  STDMETHODIMP Add(BSTR, BSTR) override { return Unused("Add"); }
  STDMETHODIMP AddHeader(BSTR, BSTR) override { return Unused("AddHeader"); }
  STDMETHODIMP AppendToLog(BSTR) override { return Unused("AppendToLog"); }
  STDMETHODIMP BinaryWrite(VARIANT) override { return Unused("BinaryWrite"); }
  STDMETHODIMP Clear() override { return Unused("Clear"); }
  STDMETHODIMP End() override { return Unused("End"); }
  STDMETHODIMP Flush() override { return Unused("Flush"); }
  STDMETHODIMP Redirect(BSTR) override { return Unused("Redirect"); }
  STDMETHODIMP WriteBlock(short) override { return Unused("WriteBlock"); }
  STDMETHODIMP get_CharSet(BSTR* t) override { return Unused("CharSet", t); }
  STDMETHODIMP put_CharSet(BSTR) override { return Unused("CharSet"); }
  STDMETHODIMP Pics(BSTR) override { return Unused("Pics"); }
  STDMETHODIMP get_CacheControl(BSTR* t) override { return Unused("CacheControl", t); }
  STDMETHODIMP put_CacheControl(BSTR) override { return Unused("CacheControl"); }

  STDMETHODIMP Write(VARIANT text) override {
    Log("Write");
    std::unique_lock<std::mutex> hold(State().lock);
    State().writeTypes.push_back(text.vt);
    if (State().writeFails) {
      const Failure failure = State().writeFailure;
      hold.unlock();
      return Raise(failure);
    }
    hold.unlock();
    Variant converted;
    const HRESULT hr = VariantChangeType(converted.Get(), &text, 0, VT_BSTR);
    if (FAILED(hr)) return hr;
    hold.lock();
    State().written.append(View(converted->bstrVal));
    return S_OK;
  }

  STDMETHODIMP IsClientConnected(VARIANT_BOOL* connected) override {
    Log("IsClientConnected");
    if (!connected) return E_POINTER;
    std::unique_lock<std::mutex> hold(State().lock);
    HostState& s = State();
    const int call = ++s.connectedCalls;
    if (call == s.connectedFailAt) {
      const Failure failure = s.connectedFailure;
      hold.unlock();
      return Raise(failure);
    }
    const bool gone = s.disconnectFrom > 0 && call >= s.disconnectFrom;
    *connected = gone ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    Log("InterfaceSupportsErrorInfo");
    return iid == IID_IResponse ? S_OK : S_FALSE;
  }

 private:
  void* Find(REFIID iid) override {
    if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
    return FindDispatch(iid, IID_IResponse);
  }
};

class ObjectContext final : public StubObject<IObjectContext, IGetContextProperties> {
 public:
  ObjectContext(std::shared_ptr<HostState> state, ComPtr<IRequest> request,
                ComPtr<IResponse> response)
      : StubObject(std::move(state), "Context"),
        request_(std::move(request)),
        response_(std::move(response)) {}

  // IObjectContext
  STDMETHODIMP CreateInstance(REFCLSID, REFIID, LPVOID* object) override {
    Log("CreateInstance");
    if (object) *object = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetComplete() override { return Unused("SetComplete"); }
  STDMETHODIMP SetAbort() override { return Unused("SetAbort"); }
  STDMETHODIMP EnableCommit() override { return Unused("EnableCommit"); }
  STDMETHODIMP DisableCommit() override { return Unused("DisableCommit"); }
  WINBOOL STDMETHODCALLTYPE IsInTransaction() override {
    Log("IsInTransaction");
    return FALSE;
  }
  WINBOOL STDMETHODCALLTYPE IsSecurityEnabled() override {
    Log("IsSecurityEnabled");
    return FALSE;
  }
  STDMETHODIMP IsCallerInRole(BSTR, WINBOOL* inRole) override {
    Log("IsCallerInRole");
    if (inRole) *inRole = FALSE;
    return E_NOTIMPL;
  }

  // IGetContextProperties
  STDMETHODIMP Count(LONG* count) override {
    Log("Count");
    if (!count) return E_POINTER;
    *count = 2;
    return S_OK;
  }
  STDMETHODIMP GetProperty(BSTR name, VARIANT* value) override {
    const std::wstring key(View(name));
    Log("GetProperty", 0, key);
    if (!value) return E_POINTER;
    VariantInit(value);
    IDispatch* object = nullptr;
    PropertyMode mode = PropertyMode::Normal;
    {
      std::lock_guard<std::mutex> hold(State().lock);
      if (SameName(key, L"Request")) {
        object = request_.Get();
        mode = State().requestMode;
      } else if (SameName(key, L"Response")) {
        object = response_.Get();
        mode = State().responseMode;
      }
    }
    if (!object || mode == PropertyMode::Missing) return S_OK;
    if (mode == PropertyMode::WrongType) {
      value->pdispVal = new StringList(SharedState(), key);
    } else {
      value->pdispVal = object;
      object->AddRef();
    }
    value->vt = VT_DISPATCH;
    return S_OK;
  }
  STDMETHODIMP EnumNames(IEnumNames** names) override { return Unused("EnumNames", names); }

 private:
  void* Find(REFIID iid) override {
    if (iid == IID_IUnknown || iid == IID_IObjectContext) return static_cast<IObjectContext*>(this);
    if (iid == IID_IGetContextProperties) return static_cast<IGetContextProperties*>(this);
    return nullptr;
  }

  ComPtr<IRequest> request_;
  ComPtr<IResponse> response_;
};

#pragma GCC diagnostic pop

}  // namespace

StubHost::StubHost() : state_(std::make_shared<HostState>()) {
  request_ = ComPtr<IRequest>::Adopt(new kvstub::Request(state_));
  response_ = ComPtr<IResponse>::Adopt(new kvstub::Response(state_));
  context_ = ComPtr<IObjectContext>::Adopt(new ObjectContext(state_, request_, response_));
}

StubHost::~StubHost() = default;

void StubHost::SetBody(std::string bytes) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->body = std::move(bytes);
  state_->offset = 0;
}

void StubHost::SetTotalBytes(long value) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->totalSet = true;
  state_->total = value;
}

void StubHost::FailTotalBytes(Failure failure) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->totalFails = true;
  state_->totalFailure = std::move(failure);
}

void StubHost::LimitReads(long maxPerCall) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->maxPerCall = maxPerCall;
}

void StubHost::LimitReads(std::vector<long> sizes) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->sizes = std::move(sizes);
}

void StubHost::KeepCallLog(bool keep) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->keepCalls = keep;
}

void StubHost::ObserveReads(std::function<void()> observer) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->readObserver = std::move(observer);
}

void StubHost::FailReadAt(int call, Failure failure) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->readFailAt = call;
  state_->readFailure = std::move(failure);
}

void StubHost::ShapeReads(ReadAnswer answer, int fromCall) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->shape = std::move(answer);
  state_->shapeFrom = fromCall;
}

void StubHost::DisconnectFrom(int call) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->disconnectFrom = call;
}

void StubHost::FailConnectedAt(int call, Failure failure) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->connectedFailAt = call;
  state_->connectedFailure = std::move(failure);
}

void StubHost::FailWrite(Failure failure) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->writeFails = true;
  state_->writeFailure = std::move(failure);
}

void StubHost::SetServerVariable(std::wstring name, std::wstring value, bool asStringList) {
  std::lock_guard<std::mutex> hold(state_->lock);
  auto& vars = state_->variables;
  auto it = std::find_if(vars.begin(), vars.end(),
                         [&](const Variable& v) { return SameName(v.name, name); });
  if (it != vars.end())
    *it = Variable{std::move(name), std::move(value), asStringList};
  else
    vars.push_back(Variable{std::move(name), std::move(value), asStringList});
}

void StubHost::SetPropertyMode(std::wstring_view name, PropertyMode mode) {
  std::lock_guard<std::mutex> hold(state_->lock);
  if (SameName(name, L"Request")) state_->requestMode = mode;
  if (SameName(name, L"Response")) state_->responseMode = mode;
}

std::vector<Call> StubHost::Calls() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->calls;
}

std::vector<std::string> StubHost::Trace() const {
  std::vector<std::string> trace;
  for (const Call& call : Calls()) {
    if (call.object != "Request" && call.object != "Response" && call.object != "ServerVariables")
      continue;
    if (call.method == "BinaryRead")
      trace.push_back("BinaryRead(" + std::to_string(call.count) + ")");
    else
      trace.push_back(call.method);
  }
  return trace;
}

int StubHost::Count(std::string_view method) const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return static_cast<int>(std::count_if(state_->calls.begin(), state_->calls.end(),
                                        [&](const Call& c) { return c.method == method; }));
}

std::vector<long> StubHost::ReadRequests() const {
  std::vector<long> counts;
  for (const Call& call : Calls())
    if (call.method == "BinaryRead") counts.push_back(call.count);
  return counts;
}

std::wstring StubHost::Written() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->written;
}

std::vector<VARTYPE> StubHost::WriteTypes() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->writeTypes;
}

IObjectContext* StubHost::Context() const noexcept {
  return context_.Get();
}
IRequest* StubHost::Request() const noexcept {
  return request_.Get();
}
IResponse* StubHost::Response() const noexcept {
  return response_.Get();
}

long StubHost::LiveObjects() noexcept {
  return g_live.load();
}

}  // namespace kvstub
