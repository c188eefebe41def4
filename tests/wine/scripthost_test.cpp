// The script host library against the real engines (vbscript.dll, jscript.dll).
// Runs in a single-threaded apartment (wine_main.cpp).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dispatch.h"
#include "scripthost.h"

namespace {

using kvsh::Call;
using kvsh::DispatchObject;
using kvsh::Fault;
using kvsh::Host;
using kvsh::NamedItem;
using kvsh::RunScript;

constexpr HRESULT kCustomStatus = static_cast<HRESULT>(0x80040123L);

// A test object: Join(a, b) -> "a|b", Add(a, b), a Value property, a default
// Item(i) -> i * 10, Fail (raises kCustomStatus), Keep(obj) (holds obj).
struct Calc {
  std::wstring value;
  kvp::ComPtr<IDispatch> kept;
  kvp::ComPtr<DispatchObject> object = DispatchObject::Create(L"Calc");

  Calc() {
    object
        ->Method(L"Join",
                 [](const Call& c, kvp::Variant& r) {
                   c.Expect(2, 2);
                   kvsh::SetText(r, c.Text(0) + L"|" + c.Text(1));
                 })
        .Method(L"Add",
                [](const Call& c, kvp::Variant& r) {
                  c.Expect(2, 2);
                  kvsh::SetDouble(r, c.Double(0) + c.Double(1));
                })
        .Property(
            L"Value", [this](const Call&, kvp::Variant& r) { kvsh::SetText(r, value); },
            [this](const Call& c, kvp::Variant&) { value = c.Text(c.Count() - 1); })
        .Method(L"Item", [](const Call& c, kvp::Variant& r) { kvsh::SetLong(r, c.Long(0) * 10); })
        .Default(L"Item")
        .Method(L"Fail",
                [](const Call&, kvp::Variant&) {
                  throw Fault{kCustomStatus, L"the disk is on fire", {}};
                })
        .Method(L"Keep", [this](const Call& c, kvp::Variant&) {
          const VARIANT& v = c.Arg(0);
          if (V_VT(&v) != VT_DISPATCH) throw Fault{DISP_E_TYPEMISMATCH, {}, {}};
          V_DISPATCH(&v)->AddRef();
          kept = kvp::ComPtr<IDispatch>::Adopt(V_DISPATCH(&v));
        });
  }
};

struct Script {
  Host host;
  Calc calc;
  kvsh::RunResult result;
  Script(const wchar_t* language, const wchar_t* source) {
    const NamedItem items[] = {{L"Host", host.Dispatch()}, {L"Calc", calc.object->Dispatch()}};
    result = RunScript(language, source, items);
  }
};

std::wstring Describe(const kvsh::RunResult& r) {
  return r.error ? r.error->description : L"status " + std::to_wstring(r.status);
}

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

TEST(ScriptHostEcho, WritesValuesAsText) {
  Script vb(L"VBScript",
            L"Host.Echo \"plain\"\nHost.Echo 6 * 7\nHost.Echo \"a\" & 1 & \"b\"\n"
            L"x = \"\x00fc\" : Host.Echo x, True, Null\nHost.Echo");
  EXPECT_TRUE(vb.result.ok);
  EXPECT_EQ(vb.host.Output(), L"plain\n42\na1b\n\x00fc True Null\n\n");

  Script js(L"JScript",
            L"Host.Echo(1 + 2);\nvar s = 'x';\nfor (var i = 0; i < 3; i++) s += i;\n"
            L"Host.Echo(s, false);");
  EXPECT_TRUE(js.result.ok) << Describe(js.result);
  EXPECT_EQ(js.host.Output(), L"3\nx012 False\n");
}

TEST(ScriptHostErrors, RuntimeErrorsStopTheScriptWithPositionAndText) {
  Script raise(L"VBScript",
               L"Host.Echo \"before\"\nIf True Then\n  Err.Raise 5\nEnd If\nHost.Echo \"after\"");
  EXPECT_FALSE(raise.result.ok);
  EXPECT_EQ(raise.result.status, SCRIPT_E_REPORTED);
  EXPECT_EQ(raise.host.Output(), L"before\n");
  ASSERT_TRUE(raise.result.error);
  EXPECT_EQ(raise.result.error->line, 3u);
  EXPECT_EQ(raise.result.error->Number(), 5);
  EXPECT_EQ(raise.result.error->description, L"Invalid procedure call or argument");
  EXPECT_EQ(raise.result.error->lineText, L"  Err.Raise 5");

  Script custom(L"VBScript", L"Err.Raise vbObjectError + 7, \"MySource\", \"custom text\"");
  ASSERT_TRUE(custom.result.error);
  EXPECT_EQ(custom.result.error->scode, MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 7));
  EXPECT_EQ(custom.result.error->source, L"MySource");
  EXPECT_EQ(custom.result.error->description, L"custom text");

  // Wine passes the raw DISP_E_DIVBYZERO; Windows reports error 11.
  Script divide(L"VBScript", L"x = 1\r\ny = x / 0\r\n");
  ASSERT_TRUE(divide.result.error);
  EXPECT_EQ(divide.result.error->line, 2u);
  EXPECT_EQ(divide.result.error->lineText, L"y = x / 0");
  EXPECT_TRUE(divide.result.error->scode == DISP_E_DIVBYZERO ||
              divide.result.error->Number() == 11);

  Script js(L"JScript", L"Host.Echo('a');\nthrow new Error('boom');\nHost.Echo('b');");
  ASSERT_TRUE(js.result.error);
  EXPECT_EQ(js.host.Output(), L"a\n");
  EXPECT_EQ(js.result.error->line, 2u);
  EXPECT_EQ(js.result.error->description, L"boom");
}

TEST(ScriptHostErrors, SyntaxErrorsRunNothing) {
  struct Case {
    const wchar_t *language, *source, *badLine;
  };
  for (const Case& c :
       {Case{L"VBScript", L"Host.Echo 1\nx = (1 +\nHost.Echo 2", L"x = (1 +"},
        Case{L"JScript", L"Host.Echo(1);\nvar x = (1 +;\nHost.Echo(2);", L"var x = (1 +;"}}) {
    Script run(c.language, c.source);
    EXPECT_FALSE(run.result.ok) << c.language;
    EXPECT_EQ(run.host.Output(), L"") << c.language;
    ASSERT_TRUE(run.result.error) << c.language;
    EXPECT_EQ(run.result.error->line, 2u) << c.language;
    EXPECT_GT(run.result.error->column, 0) << c.language;
    EXPECT_EQ(run.result.error->lineText, c.badLine) << c.language;
  }
}

TEST(ScriptHostErrors, LinesCountFromEachBlocksFirstLine) {
  Host host;
  kvsh::ScriptSession session;
  ASSERT_EQ(session.Open(L"VBScript"), S_OK);
  ASSERT_EQ(session.AddItem({L"Host", host.Dispatch()}), S_OK);
  EXPECT_EQ(session.Parse(L"Host.Echo 1\n", 10), S_OK);
  EXPECT_EQ(session.Parse(L"Host.Echo 2\n\nErr.Raise 6 ' third\n", 20), S_OK);
  EXPECT_EQ(session.Run(), S_OK);
  EXPECT_NE(session.Parse(L"Host.Echo 3\nIf\n", 30), S_OK);
  session.Close();
  EXPECT_EQ(host.Output(), L"1\n2\n");
  ASSERT_EQ(session.Errors().size(), 2u);
  EXPECT_EQ(session.Errors()[0].line, 22u);
  EXPECT_EQ(session.Errors()[0].lineText, L"Err.Raise 6 ' third");
  EXPECT_EQ(session.Errors()[1].line, 31u);
  EXPECT_EQ(session.Errors()[1].lineText, L"If");
}

TEST(ScriptHostErrors, UnknownLanguageFailsWithoutScriptError) {
  Script run(L"NoSuchScript", L"x = 1");
  EXPECT_FALSE(run.result.ok);
  EXPECT_TRUE(FAILED(run.result.status));
  EXPECT_FALSE(run.result.error);
}

TEST(NamedItems, MembersReceiveArgumentsInOrder) {
  Script vb(L"VBScript",
            L"Host.Echo Calc.Join(\"left\", \"right\")\nn = 4 : Host.Echo Calc.Add(n, 3)\n"
            L"Calc.Value = \"set\" : Host.Echo Calc.Value\n"
            // Wine 8 calls a named item's default member only through a variable.
            L"Set c = Calc : Host.Echo c(5), calc.item(2)");
  EXPECT_TRUE(vb.result.ok) << Describe(vb.result);
  EXPECT_EQ(vb.host.Output(), L"left|right\n7\nset\n50 20\n");
  EXPECT_EQ(vb.calc.value, L"set");

  Script js(L"JScript",
            L"Host.Echo(Calc.Join('a', 1));\nCalc.Value = 'js';\nHost.Echo(Calc.Item(3));");
  EXPECT_TRUE(js.result.ok) << Describe(js.result);
  EXPECT_EQ(js.host.Output(), L"a|1\n30\n");
  EXPECT_EQ(js.calc.value, L"js");
}

TEST(NamedItems, FailingMembersRaiseScriptErrors) {
  Script fail(L"VBScript", L"Host.Echo 1\nCalc.Fail\nHost.Echo 2");
  ASSERT_TRUE(fail.result.error);
  EXPECT_EQ(fail.result.error->line, 2u);
  EXPECT_EQ(fail.result.error->scode, kCustomStatus);
  EXPECT_EQ(fail.result.error->description, L"the disk is on fire");
  EXPECT_EQ(fail.host.Output(), L"1\n");

  // The script itself sees the same number and text.
  Script trapped(L"VBScript",
                 L"On Error Resume Next\nCalc.Fail\nHost.Echo Err.Number, Err.Description\n"
                 L"Err.Clear\nCalc.Join 1\nHost.Echo Err.Number\n"
                 L"Err.Clear\nCalc.Join Array(1), 2\nHost.Echo Err.Number");
  EXPECT_TRUE(trapped.result.ok);
  EXPECT_EQ(trapped.host.Output(),
            std::to_wstring(kCustomStatus) + L" the disk is on fire\n450\n13\n");
}

TEST(NamedItems, EngineReleasesItemsOnEveryPath) {
  Calc calc;
  for (const wchar_t* source : {L"Calc.Value = 1", L"Calc.Fail", L"x = (", L"Calc.Keep Calc"}) {
    {
      const NamedItem items[] = {{L"Calc", calc.object->Dispatch()}};
      RunScript(L"VBScript", source, items);
    }
    calc.kept.Reset();
    EXPECT_EQ(RefCount(calc.object.Get()), 1u) << source;
  }
}

TEST(CallingScript, GlobalsAndClassInstances) {
  Calc calc;
  {
    kvsh::ScriptSession session;
    ASSERT_EQ(session.Open(L"VBScript"), S_OK);
    ASSERT_EQ(session.AddItem({L"Calc", calc.object->Dispatch()}), S_OK);
    ASSERT_EQ(
        session.Parse(L"Function Twice(x)\n  Twice = x * 2\nEnd Function\n"
                      L"Function Boom()\n  Err.Raise 9, \"Boomer\", \"went off\"\nEnd Function\n"
                      L"Class Greeter\n  Public Name\n"
                      L"  Public Function Greet(word)\n    Greet = word & \" \" & Name\n"
                      L"  End Function\nEnd Class\n"
                      L"Set g = New Greeter : g.Name = \"bob\" : Calc.Keep g"),
        S_OK);
    ASSERT_EQ(session.Run(), S_OK);
    ASSERT_TRUE(calc.kept);

    kvp::Variant arg, result;
    V_VT(arg.Get()) = VT_I4;
    V_I4(arg.Get()) = 21;
    EXPECT_EQ(kvsh::CallMember(session.Globals().Get(), L"twice", DISPATCH_METHOD, {arg.Get(), 1},
                               result.Get()),
              S_OK);
    EXPECT_EQ(V_VT(result.Get()), VT_I4);
    EXPECT_EQ(V_I4(result.Get()), 42);

    kvp::Variant word;
    kvsh::SetText(word, L"hi");
    result.Clear();
    EXPECT_EQ(
        kvsh::CallMember(calc.kept.Get(), L"Greet", DISPATCH_METHOD, {word.Get(), 1}, result.Get()),
        S_OK);
    ASSERT_EQ(V_VT(result.Get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(result.Get()), L"hi bob");

    // An error inside script code called from outside goes to the site.
    result.Clear();
    EXPECT_EQ(kvsh::CallMember(session.Globals().Get(), L"Boom", DISPATCH_METHOD, {}, result.Get()),
              SCRIPT_E_REPORTED);
    ASSERT_EQ(session.Errors().size(), 1u);
    EXPECT_EQ(session.Errors()[0].line, 5u);
    EXPECT_EQ(session.Errors()[0].description, L"went off");
    EXPECT_EQ(session.Errors()[0].source, L"Boomer");
    calc.kept.Reset();
  }
  EXPECT_EQ(RefCount(calc.object.Get()), 1u);
}

// A hand-written object whose only member fails with a deferred EXCEPINFO.
class Deferred final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid != IID_IUnknown && riid != IID_IDispatch) return *out = nullptr, E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* id) override {
    return *id = 1, S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO* excep, UINT*) override {
    *excep = EXCEPINFO{};
    excep->pfnDeferredFillIn = &FillIn;
    return DISP_E_EXCEPTION;
  }

 private:
  static HRESULT STDMETHODCALLTYPE FillIn(EXCEPINFO* e) {
    e->scode = kCustomStatus;
    e->bstrDescription = SysAllocString(L"filled in later");
    return S_OK;
  }
};

TEST(NamedItems, DeferredExceptionInfoIsFilledIn) {
  Deferred object;
  const NamedItem items[] = {{L"Late", kvp::ComPtr<IDispatch>::Adopt(&object)}};
  kvsh::RunResult run = RunScript(L"VBScript", L"x = 1\nLate.Go", items);
  ASSERT_TRUE(run.error);
  EXPECT_EQ(run.error->line, 2u);
  EXPECT_EQ(run.error->description, L"filled in later");
}

TEST(DispatchObject, DispatchRules) {
  Calc calc;
  IDispatch* d = calc.object.Get();
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"jOIN"), const_cast<LPOLESTR>(L"nope")};
  DISPID ids[2];
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, 0, ids), S_OK);
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names + 1, 1, 0, ids + 1), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(d->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);

  kvp::Variant a, b, result;
  kvsh::SetText(a, L"x");
  kvsh::SetText(b, L"y");
  VARIANT args[] = {*b.Get(), *a.Get()};  // right to left; not owned
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS call{args, nullptr, 2, 0};
  EXPECT_EQ(d->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &call, result.Get(), nullptr, nullptr),
            S_OK);
  EXPECT_STREQ(V_BSTR(result.Get()), L"x|y");
  DISPPARAMS withNames{args, &named, 2, 1};
  EXPECT_EQ(d->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYPUT, &withNames,
                      nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);  // Join has no setter
  EXPECT_EQ(d->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS one{args, nullptr, 1, 0};
  EXPECT_EQ(d->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(d->Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);

  kvsh::Fault fault;
  EXPECT_EQ(kvsh::CallMember(d, L"fail", DISPATCH_METHOD, {}, nullptr, &fault), DISP_E_EXCEPTION);
  EXPECT_EQ(fault.status, kCustomStatus);
  EXPECT_EQ(fault.description, L"the disk is on fire");
  EXPECT_EQ(fault.source, L"Calc");
}

TEST(DispatchObject, HandlersLiveAsLongAsTheObject) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  auto object = DispatchObject::Create(L"T");
  object->Method(L"M", [token](const Call&, kvp::Variant&) { throw std::bad_alloc(); });
  token.reset();
  kvp::ComPtr<IDispatch> extra = object->Dispatch();
  object.Reset();
  EXPECT_FALSE(watch.expired());
  DISPPARAMS none{};
  EXPECT_EQ(extra->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
            E_OUTOFMEMORY);
  extra.Reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
