// The automation frame of kvParcelin.dll as the host reaches it: the exports,
// the class factory and its counts, the type library, the object's
// interfaces, dispatch by name and error information.

#include <string>
#include <vector>

#include "engine/process.h"
#include "frame_support.h"
#include "testsupport.h"
#include "server/oleerror.h"

namespace {

using kvp::Bstr;
using kvp::ComPtr;
using kvtest::CreateUpload;
using kvtest::DispResult;
using kvtest::Factory;
using kvtest::TheServer;

VARIANT Long(long v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

VARIANT Str(const Bstr& b) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BSTR;
  x.bstrVal = b.Get();
  return x;
}

std::string OneFileBody() {
  return kvtest::Multipart()
      .Field("title", "Holiday")
      .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF")
      .Body();
}

TEST(ServerExports, CountsDecideWhenTheLibraryMayUnload) {
  const kvtest::Server& s = TheServer();
  ASSERT_NE(s.module, nullptr);
  ASSERT_NE(s.getClassObject, nullptr);
  EXPECT_EQ(s.canUnloadNow(), S_OK);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(s.getClassObject(IID_IUnknown, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);
  none = reinterpret_cast<void*>(1);
  EXPECT_EQ(s.getClassObject(CLSID_process, IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(s.canUnloadNow(), S_OK);

  {
    ComPtr<IClassFactory> factory = Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(s.canUnloadNow(), S_FALSE);
    ComPtr<IUnknown> same;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, same.PutVoid()), S_OK);
    ComPtr<IDispatch> wrong;
    EXPECT_EQ(factory->QueryInterface(IID_IDispatch, wrong.PutVoid()), E_NOINTERFACE);
    EXPECT_FALSE(wrong);
  }
  EXPECT_EQ(s.canUnloadNow(), S_OK);

  {
    ComPtr<IClassFactory> factory = Factory();
    EXPECT_TRUE(SUCCEEDED(factory->LockServer(TRUE)));
  }
  EXPECT_EQ(s.canUnloadNow(), S_FALSE);  // the lock holds the library
  Factory()->LockServer(FALSE);
  EXPECT_EQ(s.canUnloadNow(), S_OK);

  // An upload object holds the library too, until its last release.
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> upload = CreateUpload(host);
  ASSERT_TRUE(upload);
  EXPECT_EQ(s.canUnloadNow(), S_FALSE);
  upload.Reset();
  EXPECT_EQ(s.canUnloadNow(), S_OK);
}

TEST(ClassFactory, RefusesBadRequestsAndCreationsOutsideARequest) {
  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

  kvstub::StubHost outerHost;
  ComPtr<IUnknown> someOuter = ComPtr<IUnknown>::Adopt(outerHost.Context());
  outerHost.Context()->AddRef();
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(someOuter.Get(), IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  // No object context on this thread: the request cannot be read.
  const long streams = kvp::TMemoryStream::LiveCount();
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_Iprocess, &out), E_UNEXPECTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), streams);
  factory.Reset();
  EXPECT_EQ(TheServer().canUnloadNow(), S_OK);  // the failed object was never counted as alive

  // A context whose Request is missing fails the same way.
  kvstub::StubHost host;
  host.SetPropertyMode(L"Request", kvstub::PropertyMode::Missing);
  HRESULT status = S_OK;
  EXPECT_FALSE(CreateUpload(host, &status));
  EXPECT_EQ(status, E_UNEXPECTED);
  EXPECT_EQ(TheServer().canUnloadNow(), S_OK);
}

TEST(ClassFactory, EveryCreationIsANewObject) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> a = CreateUpload(host);
  ComPtr<Iprocess> b = CreateUpload(host);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a.Get(), b.Get());
  a->put_OverwriteMode(2);
  LONG mode = -1;
  b->get_OverwriteMode(&mode);
  EXPECT_EQ(mode, 0);
}

TEST(ObjectIdentity, AnswersExactlyItsSixInterfaces) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> upload = CreateUpload(host);
  ASSERT_TRUE(upload);
  ComPtr<IUnknown> id1, id2;
  ComPtr<IDispatch> disp;
  ComPtr<IProvideClassInfo> classInfo;
  ComPtr<ISupportErrorInfo> errorInfo;
  EXPECT_EQ(upload->QueryInterface(IID_IUnknown, id1.PutVoid()), S_OK);
  EXPECT_EQ(upload->QueryInterface(IID_IDispatch, disp.PutVoid()), S_OK);
  EXPECT_EQ(upload->QueryInterface(IID_IProvideClassInfo, classInfo.PutVoid()), S_OK);
  EXPECT_EQ(upload->QueryInterface(IID_ISupportErrorInfo, errorInfo.PutVoid()), S_OK);
  EXPECT_EQ(classInfo->QueryInterface(IID_IUnknown, id2.PutVoid()), S_OK);
  EXPECT_EQ(id1.Get(), id2.Get());  // one identity
  // Iprocess2 is the object's IDispatch; Iprocess is a face of its own (so
  // that errors name it), which leads back to the same object.
  ComPtr<Iprocess2> upload2;
  ASSERT_EQ(upload->QueryInterface(IID_Iprocess2, upload2.PutVoid()), S_OK);
  EXPECT_EQ(static_cast<void*>(disp.Get()), static_cast<void*>(upload2.Get()));
  EXPECT_NE(static_cast<void*>(upload2.Get()), static_cast<void*>(upload.Get()));
  ComPtr<Iprocess> back;
  ASSERT_EQ(upload2->QueryInterface(IID_Iprocess, back.PutVoid()), S_OK);
  EXPECT_EQ(back.Get(), upload.Get());
  LONG qty = -1;
  EXPECT_EQ(upload2->get_FileQty(&qty), S_OK);  // an Iprocess slot through Iprocess2
  EXPECT_EQ(qty, 1);
  LONG codePage = -1;
  EXPECT_EQ(upload2->get_CodePage(&codePage), S_OK);
  EXPECT_EQ(codePage, 0);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(upload->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_Iprocess), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_Iprocess2), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IUnknown), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);

  // Reference counts: each AddRef and Release moves the count by one.
  const ULONG after = upload->AddRef();
  EXPECT_EQ(upload->Release(), after - 1);
}

// A minimal outer object: counts the references it receives through the
// inner object's delegating interfaces.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, object) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST(ObjectIdentity, AggregatedObjectDelegatesToItsOuter) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  kvstub::ContextScope scope(host.Context());
  Outer outer;
  ComPtr<IUnknown> inner;
  ASSERT_EQ(Factory()->CreateInstance(&outer, IID_IUnknown, inner.PutVoid()), S_OK);
  outer.inner = inner.Get();
  const ULONG before = outer.refs;

  Iprocess* upload = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_Iprocess, reinterpret_cast<void**>(&upload)), S_OK);
  EXPECT_EQ(outer.refs, before + 1);  // the reference went to the outer object
  IUnknown* viaUpload = nullptr;
  ASSERT_EQ(upload->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaUpload)), S_OK);
  EXPECT_EQ(viaUpload, static_cast<IUnknown*>(&outer));  // identity of the aggregate
  viaUpload->Release();
  LONG qty = -1;
  EXPECT_EQ(upload->get_FileQty(&qty), S_OK);
  EXPECT_EQ(qty, 1);
  upload->Release();
  EXPECT_EQ(outer.refs, before);
  outer.inner = nullptr;
}

TEST(TypeLibrary, DescribesTheInterfaceAndTheClass) {
  ComPtr<ITypeLib> lib;
  ASSERT_EQ(
      LoadTypeLibEx((kvtest::ProgramFolder() + L"kvParcelin.dll").c_str(), REGKIND_NONE, lib.Put()),
      S_OK);
  TLIBATTR* libAttr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&libAttr), S_OK);
  EXPECT_TRUE(IsEqualGUID(libAttr->guid, LIBID_kvParcelin));
  EXPECT_EQ(libAttr->wMajorVerNum, 1);
  EXPECT_EQ(libAttr->wMinorVerNum, 4);
  EXPECT_EQ(libAttr->lcid, 0u);
  // Not restricted, not a control library, not hidden (Wine adds "has disk
  // image" for a library loaded from a file).
  EXPECT_EQ(libAttr->wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN), 0);
  lib->ReleaseTLibAttr(libAttr);
  Bstr name, doc;
  lib->GetDocumentation(-1, name.Put(), doc.Put(), nullptr, nullptr);
  EXPECT_EQ(kvtest::Text(name.Get()), L"kvParcelin");
  EXPECT_EQ(kvtest::Text(doc.Get()), L"kvParcelin Library");
  EXPECT_EQ(lib->GetTypeInfoCount(), 3u);

  ComPtr<ITypeInfo> cls;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(CLSID_process, cls.Put()), S_OK);
  TYPEATTR* attr = nullptr;
  cls->GetTypeAttr(&attr);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 4);
  // Iprocess2 is the default; Iprocess is listed as implemented too.
  ASSERT_EQ(attr->cImplTypes, 2);
  cls->ReleaseTypeAttr(attr);
  const struct {
    const IID* iid;
    INT flags;
  } impl[] = {{&IID_Iprocess2, IMPLTYPEFLAG_FDEFAULT}, {&IID_Iprocess, 0}};
  for (UINT i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    INT flags = -1;
    EXPECT_EQ(cls->GetImplTypeFlags(i, &flags), S_OK);
    EXPECT_EQ(flags, impl[i].flags);
    HREFTYPE implRef = 0;
    ComPtr<ITypeInfo> implInfo;
    ASSERT_EQ(cls->GetRefTypeOfImplType(i, &implRef), S_OK);
    ASSERT_EQ(cls->GetRefTypeInfo(implRef, implInfo.Put()), S_OK);
    TYPEATTR* implAttr = nullptr;
    implInfo->GetTypeAttr(&implAttr);
    EXPECT_TRUE(IsEqualGUID(implAttr->guid, *impl[i].iid));
    implInfo->ReleaseTypeAttr(implAttr);
  }
  cls->GetDocumentation(MEMBERID_NIL, name.Put(), doc.Put(), nullptr, nullptr);
  EXPECT_EQ(kvtest::Text(name.Get()), L"process");
  EXPECT_EQ(kvtest::Text(doc.Get()), L"process Object");

  // The interface itself: dual, 33 members after the 7 slots of IDispatch,
  // still version 1.3.
  ComPtr<ITypeInfo> intf;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_Iprocess, intf.Put()), S_OK);
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> vtable;
  ASSERT_EQ(intf->GetRefTypeOfImplType(-1, &ref), S_OK);
  ASSERT_EQ(intf->GetRefTypeInfo(ref, vtable.Put()), S_OK);
  vtable->GetTypeAttr(&attr);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 3);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->cFuncs, 33);
  EXPECT_EQ(attr->cbSizeVft, 40 * sizeof(void*));
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  EXPECT_FALSE(attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE);
  vtable->ReleaseTypeAttr(attr);

  struct Member {
    const wchar_t* name;
    MEMBERID id;
    INVOKEKIND kind;
    short params;  // including the retval
  };
  const Member table[] = {
      {L"MaxKB", 5, INVOKE_PROPERTYGET, 1},
      {L"MaxKB", 5, INVOKE_PROPERTYPUT, 1},
      {L"Status", 6, INVOKE_PROPERTYGET, 1},
      {L"FileQty", 7, INVOKE_PROPERTYGET, 1},
      {L"FileSave", 4, INVOKE_FUNC, 2},
      {L"FileName", 10, INVOKE_PROPERTYGET, 2},
      {L"LocalName", 8, INVOKE_PROPERTYGET, 2},
      {L"Extension", 9, INVOKE_PROPERTYGET, 2},
      {L"ContentType", 11, INVOKE_PROPERTYGET, 2},
      {L"VarCount", 12, INVOKE_PROPERTYGET, 1},
      {L"Value", 13, INVOKE_PROPERTYGET, 2},
      {L"VarByIndex", 14, INVOKE_PROPERTYGET, 2},
      {L"VarName", 15, INVOKE_PROPERTYGET, 2},
      {L"FileData", 16, INVOKE_PROPERTYGET, 2},
      {L"FileSize", 17, INVOKE_PROPERTYGET, 2},
      {L"Read", 18, INVOKE_FUNC, 0},
      {L"DumpHeader", 3, INVOKE_FUNC, 1},
      {L"Version", 19, INVOKE_PROPERTYGET, 1},
      {L"FileExists", 20, INVOKE_PROPERTYGET, 2},
      {L"CurrentDir", 21, INVOKE_PROPERTYGET, 1},
      {L"ParentDir", 22, INVOKE_PROPERTYGET, 2},
      {L"AppendToFile", 23, INVOKE_FUNC, 2},
      {L"Copy", 24, INVOKE_FUNC, 2},
      {L"Delete", 25, INVOKE_FUNC, 1},
      {L"Rename", 26, INVOKE_FUNC, 2},
      {L"NameOnly", 28, INVOKE_PROPERTYGET, 2},
      {L"OverwriteMode", 27, INVOKE_PROPERTYGET, 1},
      {L"OverwriteMode", 27, INVOKE_PROPERTYPUT, 1},
      {L"NewName", 29, INVOKE_PROPERTYGET, 2},
      {L"TotalBytes", 1, INVOKE_PROPERTYGET, 1},
      {L"TagNameIndex", 2, INVOKE_PROPERTYGET, 2},
      {L"OverwriteChr", 30, INVOKE_PROPERTYGET, 1},
      {L"OverwriteChr", 30, INVOKE_PROPERTYPUT, 1},
  };
  for (UINT i = 0; i < 33; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(vtable->GetFuncDesc(i, &f), S_OK);
    SCOPED_TRACE(i);
    EXPECT_EQ(f->oVft, static_cast<short>((7 + i) * sizeof(void*)));
    EXPECT_EQ(f->memid, table[i].id);
    EXPECT_EQ(f->invkind, table[i].kind);
    EXPECT_EQ(f->cParams, table[i].params);
    EXPECT_EQ(f->callconv, CC_STDCALL);
    BSTR names[4] = {};
    UINT count = 0;
    vtable->GetNames(f->memid, names, 4, &count);
    EXPECT_EQ(kvtest::Text(names[0]), table[i].name);
    for (UINT k = 0; k < count; ++k) SysFreeString(names[k]);
    vtable->ReleaseFuncDesc(f);
  }

  // Iprocess2: dual, derived from Iprocess, its two members in slots 40 and
  // 41 after Iprocess's 40.
  ComPtr<ITypeInfo> intf2;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_Iprocess2, intf2.Put()), S_OK);
  Bstr name2, doc2;
  intf2->GetDocumentation(MEMBERID_NIL, name2.Put(), doc2.Put(), nullptr, nullptr);
  EXPECT_EQ(kvtest::Text(name2.Get()), L"Iprocess2");
  ComPtr<ITypeInfo> vtable2;
  ASSERT_EQ(intf2->GetRefTypeOfImplType(-1, &ref), S_OK);
  ASSERT_EQ(intf2->GetRefTypeInfo(ref, vtable2.Put()), S_OK);
  vtable2->GetTypeAttr(&attr);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->cFuncs, 2);
  EXPECT_EQ(attr->cbSizeVft, 42 * sizeof(void*));
  EXPECT_EQ(attr->cImplTypes, 1);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 4);
  vtable2->ReleaseTypeAttr(attr);
  ComPtr<ITypeInfo> base;
  ASSERT_EQ(vtable2->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(vtable2->GetRefTypeInfo(ref, base.Put()), S_OK);
  base->GetTypeAttr(&attr);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_Iprocess));
  base->ReleaseTypeAttr(attr);
  const INVOKEKIND kinds[] = {INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT};
  for (UINT i = 0; i < 2; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(vtable2->GetFuncDesc(i, &f), S_OK);
    SCOPED_TRACE(i);
    EXPECT_EQ(f->oVft, static_cast<short>((40 + i) * sizeof(void*)));
    EXPECT_EQ(f->memid, 31);
    EXPECT_EQ(f->invkind, kinds[i]);
    EXPECT_EQ(f->cParams, 1);
    EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, i == 0 ? VT_PTR : VT_I4);
    EXPECT_EQ(f->callconv, CC_STDCALL);
    BSTR names[2] = {};
    UINT count = 0;
    vtable2->GetNames(f->memid, names, 2, &count);
    EXPECT_EQ(kvtest::Text(names[0]), L"CodePage");
    for (UINT k = 0; k < count; ++k) SysFreeString(names[k]);
    vtable2->ReleaseFuncDesc(f);
  }
  // The dispatch view lists Iprocess's members and then CodePage.
  intf2->GetTypeAttr(&attr);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cFuncs, 7 + 33 + 2);
  intf2->ReleaseTypeAttr(attr);
}

TEST(Dispatch, TypeInformationAndNames) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> upload = CreateUpload(host);
  ASSERT_TRUE(upload);
  UINT count = 0;
  EXPECT_EQ(upload->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(upload->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  ComPtr<ITypeInfo> dispInfo;
  ASSERT_EQ(upload->GetTypeInfo(0, 0, dispInfo.Put()), S_OK);
  Bstr name;
  dispInfo->GetDocumentation(MEMBERID_NIL, name.Put(), nullptr, nullptr, nullptr);
  EXPECT_EQ(kvtest::Text(name.Get()), L"Iprocess2");

  ComPtr<IProvideClassInfo> provider;
  upload->QueryInterface(IID_IProvideClassInfo, provider.PutVoid());
  ComPtr<ITypeInfo> clsInfo;
  ASSERT_EQ(provider->GetClassInfo(clsInfo.Put()), S_OK);
  clsInfo->GetDocumentation(MEMBERID_NIL, name.Put(), nullptr, nullptr, nullptr);
  EXPECT_EQ(kvtest::Text(name.Get()), L"process");

  struct NameId {
    const wchar_t* name;
    DISPID id;
  };
  for (const NameId& n :
       {NameId{L"filesave", 4}, NameId{L"TotalBytes", 1}, NameId{L"OVERWRITECHR", 30},
        NameId{L"TagNameIndex", 2}, NameId{L"codepage", 31}}) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(n.name)};
    DISPID id = 0;
    EXPECT_EQ(upload->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, n.id) << n.name;
  }
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
  DISPID id = 0;
  EXPECT_EQ(upload->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

TEST(Dispatch, CallsByNameReachTheMembers) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> upload = CreateUpload(host);
  ASSERT_TRUE(upload);

  {
    DispResult r;
    Bstr zero(L"0");
    kvtest::CallByName(upload.Get(), L"FileName", DISPATCH_PROPERTYGET, {Str(zero)}, r);
    ASSERT_EQ(r.status, S_OK);  // "0" reaches the member as the long 0
    ASSERT_EQ(r.value->vt, VT_BSTR);
    EXPECT_EQ(kvtest::Text(r.value->bstrVal), L"beach.jpg");
  }
  {
    // A put by reference is a put.
    DispResult r;
    Bstr dash(L"-");
    kvtest::CallByName(upload.Get(), L"OverwriteChr", DISPATCH_PROPERTYPUTREF, {Str(dash)}, r);
    EXPECT_EQ(r.status, S_OK);
    Bstr now;
    upload->get_OverwriteChr(now.Put());
    EXPECT_EQ(kvtest::Text(now.Get()), L"-");
  }
  {
    DispResult r;
    kvtest::CallByName(upload.Get(), L"FileQty", DISPATCH_PROPERTYPUT, {Long(5)}, r);
    EXPECT_TRUE(FAILED(r.status));  // read-only
    LONG qty = 0;
    upload->get_FileQty(&qty);
    EXPECT_EQ(qty, 1);
  }
  {
    DispResult r;
    kvtest::CallByName(upload.Get(), L"FileName", DISPATCH_PROPERTYGET, {}, r);
    EXPECT_EQ(r.status, DISP_E_BADPARAMCOUNT);
  }
  {
    DispResult r;
    kvtest::CallByName(upload.Get(), L"TotalBytes", DISPATCH_PROPERTYGET, {}, r);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(r.value->vt, VT_I4);
    EXPECT_EQ(r.value->lVal, static_cast<LONG>(OneFileBody().size()));
  }
  {
    // No default member: DISPID 0 runs nothing.
    DISPPARAMS none{};
    kvp::Variant result;
    EXPECT_TRUE(FAILED(upload->Invoke(0, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, result.Get(),
                                      nullptr, nullptr)));
  }
  {
    // MaxKB answers without storing: the script gets the dispatcher's value.
    DispResult r;
    kvtest::CallByName(upload.Get(), L"MaxKB", DISPATCH_PROPERTYGET, {}, r);
    EXPECT_EQ(r.status, S_OK);
    DispResult put;
    kvtest::CallByName(upload.Get(), L"MaxKB", DISPATCH_PROPERTYPUT, {Long(10)}, put);
    EXPECT_EQ(put.status, S_OK);
  }
}

TEST(ErrorInformation, AFailingMemberPublishesItsMessage) {
  kvstub::StubHost host;
  host.SetBody(OneFileBody());
  ComPtr<Iprocess> upload = CreateUpload(host);
  ASSERT_TRUE(upload);
  LONG count = 0;
  upload->get_VarCount(&count);

  BSTR text = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(upload->get_VarByIndex(count, &text), E_UNEXPECTED);
  EXPECT_EQ(text, nullptr);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  Bstr source, description, helpFile;
  DWORD helpContext = 99;
  GUID guid{};
  info->GetSource(source.Put());
  info->GetDescription(description.Put());
  info->GetHelpFile(helpFile.Put());
  info->GetHelpContext(&helpContext);
  info->GetGUID(&guid);
  EXPECT_EQ(kvtest::Text(source.Get()), L"kvParcelin.process");
  EXPECT_EQ(kvtest::Text(description.Get()), L"Index out of range.");
  EXPECT_EQ(kvtest::Text(helpFile.Get()), L"");
  EXPECT_EQ(helpContext, 0u);
  EXPECT_TRUE(IsEqualGUID(guid, IID_Iprocess));  // the interface called

  // The same failure through Iprocess2 names Iprocess2, and a later one
  // through Iprocess names Iprocess again.
  ComPtr<Iprocess2> upload2;
  ASSERT_EQ(upload->QueryInterface(IID_Iprocess2, upload2.PutVoid()), S_OK);
  const auto failedThrough = [&] {
    GUID called{};
    ComPtr<IErrorInfo> last;
    if (GetErrorInfo(0, last.Put()) == S_OK) last->GetGUID(&called);
    return called;
  };
  EXPECT_EQ(upload2->get_VarByIndex(count, &text), E_UNEXPECTED);
  EXPECT_TRUE(IsEqualGUID(failedThrough(), IID_Iprocess2));
  EXPECT_EQ(upload2->put_CodePage(-1), E_UNEXPECTED);
  EXPECT_TRUE(IsEqualGUID(failedThrough(), IID_Iprocess2));
  EXPECT_EQ(upload->get_VarByIndex(count, &text), E_UNEXPECTED);
  EXPECT_TRUE(IsEqualGUID(failedThrough(), IID_Iprocess));

  LONG size = 1234;
  EXPECT_EQ(upload->get_FileSize(7, &size), E_UNEXPECTED);
  EXPECT_EQ(size, 1234);  // not written on failure

  // A later success leaves the thread's error information alone.
  ASSERT_EQ(upload->get_VarByIndex(-1, &text), E_UNEXPECTED);
  EXPECT_EQ(upload->get_FileQty(&size), S_OK);
  ComPtr<IErrorInfo> still;
  ASSERT_EQ(GetErrorInfo(0, still.Put()), S_OK);
  still->GetDescription(description.Put());
  EXPECT_EQ(kvtest::Text(description.Get()), L"Index out of range.");

  // Through IDispatch the script sees an exception with the same entries.
  DispResult r;
  kvtest::CallByName(upload.Get(), L"FileSize", DISPATCH_PROPERTYGET, {Long(-1)}, r);
  EXPECT_EQ(r.status, DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<HRESULT>(r.excep.scode), E_UNEXPECTED);
  EXPECT_EQ(kvtest::Text(r.excep.bstrSource), L"kvParcelin.process");
  EXPECT_EQ(kvtest::Text(r.excep.bstrDescription), L"Index out of range or no file uploaded.");
}

// A host object's failure becomes the member's failure, with the host's
// status and its description without trailing dots and line breaks.
TEST(ErrorInformation, HostFailuresKeepTheirStatusAndText) {
  ComPtr<ICreateErrorInfo> builder;
  ASSERT_EQ(CreateErrorInfo(builder.Put()), S_OK);
  builder->SetDescription(const_cast<LPOLESTR>(L"The host said no.\r\n"));
  builder->SetSource(const_cast<LPOLESTR>(L"Host"));
  ComPtr<IErrorInfo> hostInfo;
  builder->QueryInterface(IID_IErrorInfo, hostInfo.PutVoid());
  SetErrorInfo(0, hostInfo.Get());
  const HRESULT hostStatus = static_cast<HRESULT>(0x80040E14);
  try {
    kvp::RaiseFromStatus(hostStatus);
    FAIL() << "no exception";
  } catch (const kvp::EOleException& e) {
    EXPECT_EQ(e.Message(), "The host said no");
    EXPECT_EQ(e.ErrorCode(), hostStatus);
    EXPECT_EQ(e.Source(), "Host");
    EXPECT_EQ(kvp::PublishErrorInfo(&e, IID_Iprocess, "kvParcelin.process", ""), hostStatus);
  }

  // Without error information: the system's text, or "OLE error" and the code.
  SetErrorInfo(0, nullptr);
  try {
    kvp::RaiseFromStatus(E_OUTOFMEMORY);
  } catch (const kvp::EOleException& e) {
    EXPECT_FALSE(e.Message().empty());
    EXPECT_NE(e.Message().back(), '.');
    EXPECT_NE(e.Message().back(), '\n');
  }
  SetErrorInfo(0, nullptr);
  try {
    kvp::RaiseFromStatus(static_cast<HRESULT>(0x8ABC1234));
  } catch (const kvp::EOleException& e) {
    EXPECT_EQ(e.Message(), "OLE error 8ABC1234");
  }

  // A non-negative code is not a status to pass on.
  const kvp::EOleSysError positive("kept", 5);
  EXPECT_EQ(kvp::PublishErrorInfo(&positive, IID_Iprocess, "kvParcelin.process", ""), E_UNEXPECTED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  Bstr description;
  info->GetDescription(description.Put());
  EXPECT_EQ(kvtest::Text(description.Get()), L"kept");
}

// Exhausted memory inside a member is reported, never a crash.
class OutOfMemoryProbe : public kvp::Tprocess {
 public:
  HRESULT Exhaust() {
    return Guard([] { throw std::bad_alloc(); });
  }
  HRESULT Foreign() {
    return Guard([] { throw 42; });
  }
};

TEST(ErrorInformation, MemoryExhaustionBecomesOutOfMemory) {
  OutOfMemoryProbe probe;
  EXPECT_EQ(probe.Exhaust(), E_UNEXPECTED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  Bstr description;
  info->GetDescription(description.Put());
  EXPECT_EQ(kvtest::Text(description.Get()), L"Out of memory");
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(probe.Foreign(), E_UNEXPECTED);
  ComPtr<IErrorInfo> none;
  EXPECT_EQ(GetErrorInfo(0, none.Put()), S_FALSE);  // nothing published
}

}  // namespace
