// Reading what an upload delivered: the form-variable and file-item members
// of kvParcelin.dll, called both by name through IDispatch (as a page script
// does) and through the dual interface's own slots.

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame_support.h"
#include "import_patch.h"
#include "testsupport.h"

namespace {

using kvp::Bstr;
using kvp::ComPtr;
using kvtest::Multipart;

enum class Binding { Early, Late };

template <typename Fn>
struct Member {
  const wchar_t* name;
  Fn slot;
};
using TextByIndex = HRESULT (STDMETHODCALLTYPE Iprocess::*)(LONG, BSTR*);
using TextByName = HRESULT (STDMETHODCALLTYPE Iprocess::*)(BSTR, BSTR*);
using NumberOnly = HRESULT (STDMETHODCALLTYPE Iprocess::*)(LONG*);
using NumberByIndex = HRESULT (STDMETHODCALLTYPE Iprocess::*)(LONG, LONG*);
using NumberByName = HRESULT (STDMETHODCALLTYPE Iprocess::*)(BSTR, LONG*);

const Member<NumberOnly> kVarCount{L"VarCount", &Iprocess::get_VarCount};
const Member<TextByName> kValue{L"Value", &Iprocess::get_Value};
const Member<TextByIndex> kVarByIndex{L"VarByIndex", &Iprocess::get_VarByIndex};
const Member<TextByIndex> kVarName{L"VarName", &Iprocess::get_VarName};
const Member<NumberByName> kTagNameIndex{L"TagNameIndex", &Iprocess::get_TagNameIndex};
const Member<NumberOnly> kFileQty{L"FileQty", &Iprocess::get_FileQty};
const Member<TextByIndex> kFileName{L"FileName", &Iprocess::get_FileName};
const Member<TextByIndex> kLocalName{L"LocalName", &Iprocess::get_LocalName};
const Member<TextByIndex> kExtension{L"Extension", &Iprocess::get_Extension};
const Member<TextByIndex> kContentType{L"ContentType", &Iprocess::get_ContentType};
const Member<TextByIndex> kNameOnly{L"NameOnly", &Iprocess::get_NameOnly};
const Member<TextByIndex> kNewName{L"NewName", &Iprocess::get_NewName};
const Member<NumberByIndex> kFileSize{L"FileSize", &Iprocess::get_FileSize};
const Member<TextByIndex> kFileTexts[] = {kFileName,    kLocalName, kExtension,
                                          kContentType, kNameOnly,  kNewName};

constexpr LONG kUntouched = 0x5A5A5A5A;
constexpr const wchar_t* kVarIndexError = L"Index out of range.";
constexpr const wchar_t* kFileIndexError = L"Index out of range or no file uploaded.";

// One member's outcome, whichever way it was called.
struct Answer {
  Binding binding = Binding::Early;
  HRESULT status = E_FAIL;  // by name: the code of the exception the dispatcher reports
  bool textResult = false;
  bool written = true;  // the out-parameter was assigned (early binding)
  bool isNull = false;  // a text result came back as a null string
  std::wstring text;
  LONG number = kUntouched;
  std::wstring source;
  std::wstring description;
};

struct ArrayDeleter {
  void operator()(SAFEARRAY* a) const { SafeArrayDestroy(a); }
};
using ArrayPtr = std::unique_ptr<SAFEARRAY, ArrayDeleter>;

struct ByteAnswer {
  HRESULT status = E_FAIL;
  VARTYPE vt = VT_EMPTY;
  ArrayPtr array;
  std::wstring description;
};

VARIANT Long(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}

VARIANT Str(BSTR b) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BSTR;
  x.bstrVal = b;
  return x;
}

// The thread's error information after a failing early-bound call.
void ReadErrorInfo(Answer& a) {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return;
  Bstr source, description;
  info->GetSource(source.Put());
  info->GetDescription(description.Put());
  a.source = kvtest::Text(source.Get());
  a.description = kvtest::Text(description.Get());
}

// Calls the members of one upload object by the chosen binding.
class Reader {
 public:
  Reader(Binding binding, Iprocess* object) : binding_(binding), process_(object) {}

  Answer Text(const Member<TextByIndex>& m, LONG index) {
    if (binding_ == Binding::Late) return LateText(m.name, {Long(index)});
    return EarlyText([&](BSTR* out) { return (process_->*m.slot)(index, out); });
  }
  Answer Text(const Member<TextByName>& m, BSTR name) {
    if (binding_ == Binding::Late) return LateText(m.name, {Str(name)});
    return EarlyText([&](BSTR* out) { return (process_->*m.slot)(name, out); });
  }
  Answer Text(const Member<TextByName>& m, const wchar_t* name) {
    Bstr arg(name);
    return Text(m, arg.Get());
  }
  Answer Number(const Member<NumberOnly>& m) {
    if (binding_ == Binding::Late) return LateNumber(m.name, {});
    return EarlyNumber([&](LONG* out) { return (process_->*m.slot)(out); });
  }
  Answer Number(const Member<NumberByIndex>& m, LONG index) {
    if (binding_ == Binding::Late) return LateNumber(m.name, {Long(index)});
    return EarlyNumber([&](LONG* out) { return (process_->*m.slot)(index, out); });
  }
  Answer Number(const Member<NumberByName>& m, BSTR name) {
    if (binding_ == Binding::Late) return LateNumber(m.name, {Str(name)});
    return EarlyNumber([&](LONG* out) { return (process_->*m.slot)(name, out); });
  }
  Answer Number(const Member<NumberByName>& m, const wchar_t* name) {
    Bstr arg(name);
    return Number(m, arg.Get());
  }

  // CodePage, through Iprocess2's own slots or by name.
  Answer PutCodePage(LONG value) {
    if (binding_ == Binding::Late) {
      kvtest::DispResult r;
      kvtest::CallByName(process_, L"CodePage", DISPATCH_PROPERTYPUT, {Long(value)}, r);
      Answer a;
      a.binding = Binding::Late;
      a.status = r.status == DISP_E_EXCEPTION ? r.excep.scode : r.status;
      a.source = kvtest::Text(r.excep.bstrSource);
      a.description = kvtest::Text(r.excep.bstrDescription);
      return a;
    }
    ComPtr<Iprocess2> upload;
    Answer a;
    a.status = process_->QueryInterface(IID_Iprocess2, upload.PutVoid());
    if (a.status == S_OK) a.status = upload->put_CodePage(value);
    if (FAILED(a.status)) ReadErrorInfo(a);
    return a;
  }
  Answer CodePage() {
    if (binding_ == Binding::Late) return LateNumber(L"CodePage", {});
    ComPtr<Iprocess2> upload;
    if (process_->QueryInterface(IID_Iprocess2, upload.PutVoid()) != S_OK) return Answer{};
    return EarlyNumber([&](LONG* out) { return upload->get_CodePage(out); });
  }

  ByteAnswer Data(LONG index) {
    ByteAnswer b;
    kvp::Variant value;
    if (binding_ == Binding::Late) {
      kvtest::DispResult r;
      kvtest::CallByName(process_, L"FileData", DISPATCH_PROPERTYGET, {Long(index)}, r);
      b.status = r.status == DISP_E_EXCEPTION ? r.excep.scode : r.status;
      b.description = kvtest::Text(r.excep.bstrDescription);
      std::swap(*value.Get(), *r.value.Get());
    } else {
      // Something the member must replace, whether it succeeds or fails.
      *value.Get() = Long(77);
      b.status = process_->get_FileData(index, value.Get());
      if (FAILED(b.status)) {
        Answer a;
        ReadErrorInfo(a);
        b.description = a.description;
      }
    }
    b.vt = value->vt;
    if (value->vt == (VT_ARRAY | VT_UI1)) {
      b.array.reset(value->parray);
      value->vt = VT_EMPTY;
    }
    return b;
  }

 private:
  template <typename Call>
  Answer EarlyText(Call call) {
    // A string the member must not free, and must replace.
    Bstr sentinel(L"sentinel");
    BSTR out = sentinel.Get();
    Answer a;
    a.textResult = true;
    a.status = call(&out);
    a.written = out != sentinel.Get();
    if (a.written) {
      Bstr owned = Bstr::Adopt(out);
      a.isNull = out == nullptr;
      a.text = kvtest::Text(out);
    }
    if (FAILED(a.status)) ReadErrorInfo(a);
    return a;
  }

  template <typename Call>
  Answer EarlyNumber(Call call) {
    Answer a;
    a.status = call(&a.number);
    if (FAILED(a.status)) ReadErrorInfo(a);
    return a;
  }

  Answer Late(const wchar_t* name, std::initializer_list<VARIANT> args, VARTYPE expected) {
    kvtest::DispResult r;
    kvtest::CallByName(process_, name, DISPATCH_PROPERTYGET, args, r);
    Answer a;
    a.binding = Binding::Late;
    a.status = r.status == DISP_E_EXCEPTION ? r.excep.scode : r.status;
    a.source = kvtest::Text(r.excep.bstrSource);
    a.description = kvtest::Text(r.excep.bstrDescription);
    if (r.status == S_OK && r.value->vt != expected) a.status = DISP_E_TYPEMISMATCH;
    if (r.status == S_OK && expected == VT_BSTR) {
      // Wine's dispatcher copies the member's result, and its copy of a null
      // string is an empty one: by name, only the emptiness is observable.
      a.isNull = SysStringLen(r.value->bstrVal) == 0;
      a.text = kvtest::Text(r.value->bstrVal);
    }
    if (r.status == S_OK && expected == VT_I4) a.number = r.value->lVal;
    return a;
  }
  Answer LateText(const wchar_t* name, std::initializer_list<VARIANT> args) {
    Answer a = Late(name, args, VT_BSTR);
    a.textResult = true;
    return a;
  }
  Answer LateNumber(const wchar_t* name, std::initializer_list<VARIANT> args) {
    return Late(name, args, VT_I4);
  }

  Binding binding_;
  Iprocess* process_;
};

::testing::AssertionResult Succeeded(const Answer& a) {
  if (a.status != S_OK)
    return ::testing::AssertionFailure() << "status 0x" << std::hex << a.status << ": "
                                         << ::testing::PrintToString(a.description);
  if (!a.written) return ::testing::AssertionFailure() << "the result was not written";
  return ::testing::AssertionSuccess();
}

// Checks a text result: nullptr expects a null string. An empty text must
// always come back as a null string.
void ExpectText(const Answer& a, const wchar_t* expected) {
  ASSERT_TRUE(Succeeded(a));
  if (!expected) {
    EXPECT_TRUE(a.isNull) << "got " << ::testing::PrintToString(a.text);
    return;
  }
  EXPECT_FALSE(a.isNull);
  EXPECT_EQ(a.text, expected);
}

void ExpectNumber(const Answer& a, LONG expected) {
  ASSERT_TRUE(Succeeded(a));
  EXPECT_EQ(a.number, expected);
}

// A failure as a script sees it, and what the out-parameter holds after it:
// a text result is cleared before the work, a number is never written.
void ExpectFailure(const Answer& a, const wchar_t* message) {
  EXPECT_EQ(a.status, E_UNEXPECTED);
  EXPECT_EQ(a.source, L"kvParcelin.process");
  EXPECT_EQ(a.description, message);
  if (a.binding == Binding::Early && a.textResult) {
    EXPECT_TRUE(a.written && a.isNull) << "the text result was not cleared";
  }
  if (a.binding == Binding::Early && !a.textResult) {
    EXPECT_EQ(a.number, kUntouched) << "a number was written by a failing call";
  }
}

std::vector<uint8_t> Bytes(const SAFEARRAY* array) {
  kvp::SafeArrayLock lock(const_cast<SAFEARRAY*>(array));
  const auto* data = static_cast<const uint8_t*>(lock.Data());
  return std::vector<uint8_t>(data, data + array->rgsabound[0].cElements);
}

std::vector<uint8_t> Bytes(std::string_view s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A one-dimensional byte array with lower bound 1 and one element per byte.
void ExpectByteArray(const ByteAnswer& b, std::string_view content) {
  ASSERT_EQ(b.status, S_OK) << ::testing::PrintToString(b.description);
  ASSERT_EQ(b.vt, VT_ARRAY | VT_UI1);
  ASSERT_TRUE(b.array);
  SAFEARRAY* a = b.array.get();
  ASSERT_EQ(SafeArrayGetDim(a), 1u);
  EXPECT_EQ(SafeArrayGetElemsize(a), 1u);
  VARTYPE element = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(a, &element), S_OK);
  EXPECT_EQ(element, VT_UI1);
  LONG lower = -1, upper = -1;
  SafeArrayGetLBound(a, 1, &lower);
  SafeArrayGetUBound(a, 1, &upper);
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(upper, static_cast<LONG>(content.size()));
  EXPECT_TRUE(Bytes(a) == Bytes(content)) << "the array's bytes differ from the uploaded file";
}

class AccessTest : public ::testing::TestWithParam<Binding> {
 protected:
  void SetUp() override {
    ASSERT_NE(kvtest::TheServer().module, nullptr) << "kvParcelin.dll not found";
    SetErrorInfo(0, nullptr);
  }
  // An upload object created through the DLL for a request carrying body.
  Reader Upload(std::string body) {
    host_.SetBody(std::move(body));
    upload_ = kvtest::CreateUpload(host_);
    EXPECT_TRUE(upload_) << "the object was not created";
    return Reader(GetParam(), upload_.Get());
  }
  Iprocess* Object() const { return upload_.Get(); }

 private:
  kvstub::StubHost host_;
  ComPtr<Iprocess> upload_;
};

// --- Form variables and file items of the parser's worked example.

TEST_P(AccessTest, WorkedExampleReadsBackMemberByMember) {
  Reader r = Upload(Multipart()
                        .Field("title", "Holiday")
                        .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF")
                        .File("extra", "", "application/octet-stream", "")
                        .Field("note", "line one\r\nline two")
                        .Field("Title", "Sea")
                        .Body());
  ExpectNumber(r.Number(kVarCount), 4);
  const wchar_t* names[] = {L"Title", L"photo", L"extra", L"note"};
  const wchar_t* values[] = {L"Holiday, Sea", L"C:\\pics\\beach.jpg", nullptr,
                             L"line one\r\nline two"};
  for (LONG i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ExpectText(r.Text(kVarName, i), names[i]);
    ExpectText(r.Text(kVarByIndex, i), values[i]);
    ExpectText(r.Text(kValue, names[i]), values[i]);
  }
  ExpectText(r.Text(kValue, L"TITLE"), L"Holiday, Sea");
  ExpectText(r.Text(kValue, L"pHOTO"), L"C:\\pics\\beach.jpg");
  ExpectText(r.Text(kValue, L"titles"), nullptr);
  ExpectText(r.Text(kValue, L"titl"), nullptr);

  ExpectNumber(r.Number(kTagNameIndex, L"photo"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"PHOTO"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"extra"), -1);  // listed, but no file stored
  ExpectNumber(r.Number(kTagNameIndex, L"title"), -1);

  ExpectNumber(r.Number(kFileQty), 1);
  ExpectText(r.Text(kFileName, 0), L"beach.jpg");
  ExpectText(r.Text(kLocalName, 0), L"C:\\pics\\beach.jpg");
  ExpectText(r.Text(kExtension, 0), L"jpg");
  ExpectText(r.Text(kContentType, 0), L"image/jpeg");
  ExpectText(r.Text(kNameOnly, 0), L"beach");
  ExpectText(r.Text(kNewName, 0), nullptr);
  ExpectNumber(r.Number(kFileSize, 0), 4);
  ExpectByteArray(r.Data(0), "JFIF");

  // Reading changes nothing: a second pass gives the same answers.
  ExpectText(r.Text(kVarByIndex, 0), L"Holiday, Sea");
  ExpectNumber(r.Number(kVarCount), 4);
  ExpectByteArray(r.Data(0), "JFIF");
}

TEST_P(AccessTest, EveryBadIndexFailsWithItsMessage) {
  Reader r = Upload(Multipart()
                        .Field("a", "1")
                        .File("f", "one.txt", "text/plain", "1")
                        .File("g", "two.txt", "text/plain", "22")
                        .Body());
  ExpectNumber(r.Number(kVarCount), 3);
  for (const LONG bad : {-1L, 3L, 4L, static_cast<LONG>(INT_MAX), static_cast<LONG>(INT_MIN)}) {
    SCOPED_TRACE(bad);
    ExpectFailure(r.Text(kVarByIndex, bad), kVarIndexError);
    ExpectFailure(r.Text(kVarName, bad), kVarIndexError);
  }
  ExpectText(r.Text(kVarName, 2), L"g");  // the last line is in range

  for (const LONG bad : {-1L, 2L, static_cast<LONG>(INT_MAX), static_cast<LONG>(INT_MIN)}) {
    SCOPED_TRACE(bad);
    for (const auto& m : kFileTexts) ExpectFailure(r.Text(m, bad), kFileIndexError);
    ExpectFailure(r.Number(kFileSize, bad), kFileIndexError);
    const ByteAnswer b = r.Data(bad);
    EXPECT_EQ(b.status, E_UNEXPECTED);
    EXPECT_EQ(b.description, kFileIndexError);
    if (GetParam() == Binding::Early) {
      EXPECT_EQ(b.vt, VT_EMPTY) << "the variant result was not cleared";
    }
  }
  ExpectNumber(r.Number(kFileSize, 1), 2);  // the last item is in range
}

TEST_P(AccessTest, ARequestWithoutFieldsOrFilesAnswersEmptyAndFailsEveryIndex) {
  Reader r = Upload("");
  ExpectNumber(r.Number(kVarCount), 0);
  ExpectNumber(r.Number(kFileQty), 0);
  ExpectText(r.Text(kValue, L"a"), nullptr);
  ExpectText(r.Text(kValue, static_cast<BSTR>(nullptr)), nullptr);
  ExpectNumber(r.Number(kTagNameIndex, L"a"), -1);
  ExpectFailure(r.Text(kVarByIndex, 0), kVarIndexError);
  ExpectFailure(r.Text(kVarName, 0), kVarIndexError);
  for (const auto& m : kFileTexts) ExpectFailure(r.Text(m, 0), kFileIndexError);
  ExpectFailure(r.Number(kFileSize, 0), kFileIndexError);
  EXPECT_EQ(r.Data(0).description, kFileIndexError);
}

// --- Names that differ in case.

TEST_P(AccessTest, ValueSelectsByTheAsciiFoldAndAnswersByTheListComparison) {
  ASSERT_EQ(GetACP(), 1252u) << "the names below are Windows-1252 text";
  // "\xC9t\xE9" is E-acute capital, t, e-acute small. The two file fields are
  // named caf + E-acute capital and caf + e-acute small; file lines are never
  // folded, so each has a line of its own.
  Reader r = Upload(Multipart()
                        .Field("email", "a@b")
                        .Field("\xC9t\xE9", "summer")
                        .File("caf\xC9", "one.txt", "text/plain", "1")
                        .File("caf\xE9", "two.txt", "text/plain", "2")
                        .Body());
  ExpectNumber(r.Number(kVarCount), 4);

  ExpectText(r.Text(kValue, L"EMAIL"), L"a@b");
  ExpectText(r.Text(kValue, L"eMaIl"), L"a@b");
  ExpectText(r.Text(kValue, L"email "), nullptr);

  // Only a to z are folded: t matches T, but an accented letter matches only
  // itself.
  ExpectText(r.Text(kValue, L"\u00c9T\u00e9"), L"summer");
  ExpectText(r.Text(kValue, L"\u00e9t\u00e9"), nullptr);
  ExpectText(r.Text(kValue, L"\u00c9t\u00c9"), nullptr);

  // The list comparison folds the accented letters: the second file line's
  // name finds the first line.
  ExpectText(r.Text(kVarName, 3), L"caf\u00e9");
  ExpectText(r.Text(kVarByIndex, 2), L"one.txt");
  ExpectText(r.Text(kVarByIndex, 3), L"one.txt");
  // Value selects the second line alone (the fold keeps e-acute apart from
  // E-acute), and answers with the first line's value.
  ExpectText(r.Text(kValue, L"CAF\u00e9"), L"one.txt");
  ExpectText(r.Text(kValue, L"caf\u00c9"), L"one.txt");
  ExpectText(r.Text(kValue, L"cafe"), nullptr);

  ExpectNumber(r.Number(kTagNameIndex, L"CAF\u00e9"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"caf\u00c9"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"cafe"), -1);
}

TEST_P(AccessTest, RepeatedFileFieldsAnswerWithTheFirstFile) {
  Reader r = Upload(Multipart()
                        .File("f", "C:\\a\\one.gif", "image/gif", "1")
                        .Field("g", "x")
                        .File("F", "two.gif", "image/gif", "22")
                        .Body());
  ExpectNumber(r.Number(kVarCount), 3);
  ExpectText(r.Text(kVarName, 0), L"f");
  ExpectText(r.Text(kVarName, 2), L"F");
  ExpectText(r.Text(kVarByIndex, 0), L"C:\\a\\one.gif");
  ExpectText(r.Text(kVarByIndex, 2), L"C:\\a\\one.gif");
  ExpectText(r.Text(kValue, L"F"), L"C:\\a\\one.gif");
  ExpectText(r.Text(kValue, L"f"), L"C:\\a\\one.gif");
  ExpectNumber(r.Number(kTagNameIndex, L"F"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"f"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"g"), -1);
  ExpectNumber(r.Number(kFileQty), 2);
  ExpectText(r.Text(kFileName, 1), L"two.gif");
  ExpectText(r.Text(kLocalName, 1), L"two.gif");
  ExpectNumber(r.Number(kFileSize, 1), 2);
}

// --- Values that hold the characters lines are made of.

TEST_P(AccessTest, FieldNamesSplitAtTheirFirstEqualsSign) {
  Reader r = Upload(Multipart().Field("a=b", "c").Field("q", "x=y=z").Body());
  ExpectText(r.Text(kVarName, 0), L"a");
  ExpectText(r.Text(kVarByIndex, 0), L"b=c");
  ExpectText(r.Text(kValue, L"a"), L"b=c");
  ExpectText(r.Text(kValue, L"a=b"), nullptr);
  ExpectText(r.Text(kValue, L"q"), L"x=y=z");
  ExpectText(r.Text(kVarByIndex, 1), L"x=y=z");
}

TEST_P(AccessTest, MultiLineValuesAreOneVariable) {
  Reader r =
      Upload(Multipart().Field("note", "first\r\nsecond\r\n\r\nfourth").Field("after", "z").Body());
  ExpectNumber(r.Number(kVarCount), 2);
  ExpectText(r.Text(kValue, L"NOTE"), L"first\r\nsecond\r\n\r\nfourth");
  ExpectText(r.Text(kVarByIndex, 0), L"first\r\nsecond\r\n\r\nfourth");
  ExpectText(r.Text(kVarName, 1), L"after");
}

// --- Clients other than browsers.

// Dart's http package (Flutter): lower-case header names, the type line
// before the disposition line, extra lines for a non-ASCII value; OkHttp:
// Content-Length lines. Every file arrives, every value is clean.
TEST_P(AccessTest, FilesFromDartAndOkHttpArriveWhole) {
  const std::string dart = "--dart-http-boundary-Hk3+_9aZ";
  const std::string okhttp = "--4a2f1c9e-0b7d-4e6a-8c3f-5d1b9e7a2c40";
  Reader r = Upload(dart +
                    "\r\ncontent-disposition: form-data; name=\"note\"\r\n"
                    "content-type: text/plain; charset=utf-8\r\n"
                    "content-transfer-encoding: binary\r\n\r\nsunny\r\n" +
                    dart +
                    "\r\ncontent-type: image/png\r\ncontent-disposition: form-data; "
                    "name=\"photo\"; filename=\"beach.png\"\r\n\r\nPNG!\r\n" +
                    dart + "--\r\n");
  ExpectNumber(r.Number(kFileQty), 1);
  ExpectText(r.Text(kFileName, 0), L"beach.png");
  ExpectText(r.Text(kContentType, 0), L"image/png");
  ExpectText(r.Text(kExtension, 0), L"png");
  ExpectNumber(r.Number(kFileSize, 0), 4);
  ExpectByteArray(r.Data(0), "PNG!");
  ExpectNumber(r.Number(kTagNameIndex, L"photo"), 0);
  ExpectText(r.Text(kValue, L"note"), L"sunny");
  ExpectText(r.Text(kValue, L"photo"), L"beach.png");

  Reader o = Upload(okhttp +
                    "\r\nContent-Disposition: form-data; name=\"title\"\r\nContent-Length: "
                    "7\r\n\r\nHoliday\r\n" +
                    okhttp +
                    "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"a.jpg\"\r\n"
                    "Content-Type: image/jpeg\r\nContent-Length: 4\r\n\r\nJFIF\r\n" +
                    okhttp + "--\r\n");
  ExpectNumber(o.Number(kFileQty), 1);
  ExpectText(o.Text(kContentType, 0), L"image/jpeg");
  ExpectByteArray(o.Data(0), "JFIF");
  ExpectText(o.Text(kValue, L"title"), L"Holiday");
}

// --- Text across the boundary.

TEST_P(AccessTest, TextIsConvertedByTheAnsiCodePage) {
  ASSERT_EQ(GetACP(), 1252u);
  Reader r = Upload(Multipart()
                        .Field("", "anonymous")
                        .Field("?", "question")
                        .Field("price", "\x80 5")
                        .File("cv", "C:\\docs\\r\xE9sum\xE9.txt", "text/plain", "x")
                        .Body());
  // A null argument reads as the empty name.
  ExpectText(r.Text(kValue, static_cast<BSTR>(nullptr)), L"anonymous");
  ExpectText(r.Text(kValue, L""), L"anonymous");
  // A character the code page lacks becomes its default character, "?".
  ExpectText(r.Text(kValue, L"\u4e2d"), L"question");
  ExpectText(r.Text(kValue, L"\u4e2d\u6587"), nullptr);
  ExpectNumber(r.Number(kTagNameIndex, L"CV"), 0);
  // Results come back through the code page.
  ExpectText(r.Text(kValue, L"price"), L"\u20ac 5");
  ExpectText(r.Text(kFileName, 0), L"r\u00e9sum\u00e9.txt");
  ExpectText(r.Text(kNameOnly, 0), L"r\u00e9sum\u00e9");
  ExpectText(r.Text(kExtension, 0), L"txt");
}

TEST_P(AccessTest, NullArgumentFindsAnEmptyTagName) {
  Reader r = Upload(Multipart()
                        .File("named", "a.bin", "application/octet-stream", "a")
                        .File("", "b.bin", "application/octet-stream", "b")
                        .Body());
  ExpectNumber(r.Number(kTagNameIndex, static_cast<BSTR>(nullptr)), 1);
  ExpectNumber(r.Number(kTagNameIndex, L""), 1);
  ExpectText(r.Text(kValue, static_cast<BSTR>(nullptr)), L"b.bin");
}

// --- Bytes.

TEST_P(AccessTest, FileDataHoldsTheUploadedBytes) {
  const std::string odd = kvtest::FillerBytes(102401, 7);           // odd, over one chunk
  const std::string big = kvtest::FillerBytes(5 * 1048576 + 3, 9);  // several MiB
  Reader r = Upload(Multipart()
                        .File("one", "one.bin", "application/octet-stream", std::string(1, '\0'))
                        .File("odd", "odd.bin", "application/octet-stream", odd)
                        .File("big", "big.bin", "application/octet-stream", big)
                        .Body());
  ExpectNumber(r.Number(kFileQty), 3);
  const std::string contents[] = {std::string(1, '\0'), odd, big};
  for (LONG i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ExpectNumber(r.Number(kFileSize, i), static_cast<LONG>(contents[i].size()));
    ExpectByteArray(r.Data(i), contents[i]);
  }
}

TEST_P(AccessTest, FileDataBuildsANewArrayOnEveryCall) {
  const std::string content = kvtest::FillerBytes(4099, 3);
  Reader r = Upload(Multipart().File("f", "f.bin", "application/octet-stream", content).Body());
  ByteAnswer first = r.Data(0);
  ByteAnswer second = r.Data(0);
  ASSERT_NO_FATAL_FAILURE(ExpectByteArray(first, content));
  ASSERT_NO_FATAL_FAILURE(ExpectByteArray(second, content));
  EXPECT_NE(first.array.get(), second.array.get());
  {
    kvp::SafeArrayLock a(first.array.get()), b(second.array.get());
    EXPECT_NE(a.Data(), b.Data());
    std::memset(a.Data(), 0xEE, content.size());  // the script changes its copy
  }
  ExpectByteArray(second, content);
  ExpectByteArray(r.Data(0), content);  // the item keeps its bytes
}

// No array to be had: the member reports it, with an empty result.
SAFEARRAY* WINAPI NoArray(VARTYPE, LONG, ULONG) {
  return nullptr;
}

TEST_P(AccessTest, FileDataReportsAnArrayThatCannotBeCreated) {
  Reader r = Upload(Multipart().File("f", "f.bin", "application/octet-stream", "abc").Body());
  {
    kvtest::ImportPatch patch(kvtest::TheServer().module, "oleaut32.dll", "SafeArrayCreateVector",
                              reinterpret_cast<const void*>(&NoArray));
    ASSERT_TRUE(patch.Active()) << "the DLL does not import SafeArrayCreateVector";
    const ByteAnswer b = r.Data(0);
    EXPECT_EQ(b.status, E_UNEXPECTED);
    EXPECT_EQ(b.description, L"Error creating variant array");
    EXPECT_FALSE(b.array);
    if (GetParam() == Binding::Early) {
      EXPECT_EQ(b.vt, VT_EMPTY);
    }
  }
  ExpectByteArray(r.Data(0), "abc");  // usable afterwards
}

// --- The CodePage setting.

// UTF-8 bytes of the texts below, as a browser on a UTF-8 page sends them.
constexpr const char* kGruesseUtf8 =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE2\x82\xAC";                                                          // Grüße €
constexpr const char* kAnhaengeUtf8 = "Anh\xC3\xA4nge";                        // Anhänge
constexpr const char* kJapaneseUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 日本語
constexpr const wchar_t* kGruesse = L"Gr\u00fc\u00dfe \u20ac";
constexpr const wchar_t* kJapanese = L"\u65e5\u672c\u8a9e";

std::string Utf8Body() {
  const std::string resume = std::string(kJapaneseUtf8) + " r\xC3\xA9sum\xC3\xA9";
  return Multipart()
      .Field(kGruesseUtf8, std::string(kJapaneseUtf8) + " \xE2\x82\xAC 5")
      .File("Dokument", "C:\\Ordner\\" + resume + ".txt", "text/plain; x=\xC3\xBC", "abc")
      .File(kAnhaengeUtf8, resume, "application/octet-stream", "de")
      .Field("", "nameless")
      .Body();
}

TEST_P(AccessTest, CodePageSetAfterCreationDecodesEveryTextFromTheBody) {
  Reader r = Upload(Utf8Body());
  ExpectNumber(r.CodePage(), 0);
  // The default: the ANSI code page (1252 here) reads each UTF-8 byte alone.
  ExpectText(r.Text(kVarName, 0), L"Gr\u00c3\u00bc\u00c3\u0178e \u00e2\u201a\u00ac");
  ExpectText(r.Text(kFileName, 0),
             L"\u00e6\u2014\u00a5\u00e6\u0153\u00ac\u00e8\u00aa\u017e "
             L"r\u00c3\u00a9sum\u00c3\u00a9.txt");
  ExpectText(r.Text(kValue, kGruesse), nullptr);

  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  ExpectNumber(r.CodePage(), 65001);
  const std::wstring resume = std::wstring(kJapanese) + L" r\u00e9sum\u00e9";
  ExpectText(r.Text(kVarName, 0), kGruesse);
  ExpectText(r.Text(kVarByIndex, 0), (std::wstring(kJapanese) + L" \u20ac 5").c_str());
  ExpectText(r.Text(kVarName, 2), L"Anh\u00e4nge");
  ExpectText(r.Text(kVarByIndex, 1), (L"C:\\Ordner\\" + resume + L".txt").c_str());
  ExpectText(r.Text(kLocalName, 0), (L"C:\\Ordner\\" + resume + L".txt").c_str());
  ExpectText(r.Text(kFileName, 0), (resume + L".txt").c_str());
  ExpectText(r.Text(kNameOnly, 0), resume.c_str());
  ExpectText(r.Text(kExtension, 0), L"txt");
  ExpectText(r.Text(kContentType, 0), L"text/plain; x=\u00fc");
  // A name without a dot has no extension; its NameOnly is the whole name.
  ExpectText(r.Text(kFileName, 1), resume.c_str());
  ExpectText(r.Text(kNameOnly, 1), resume.c_str());
  ExpectText(r.Text(kExtension, 1), nullptr);

  // Names given in are compared as texts, ignoring case by the user's locale.
  ExpectText(r.Text(kValue, L"gr\u00fc\u00dfe \u20ac"),
             (std::wstring(kJapanese) + L" \u20ac 5").c_str());
  ExpectText(r.Text(kValue, L"GR\u00dc\u00dfE \u20ac"),
             (std::wstring(kJapanese) + L" \u20ac 5").c_str());
  ExpectText(r.Text(kValue, L"anh\u00c4nge"), resume.c_str());
  ExpectText(r.Text(kValue, L"Grusse \u20ac"), nullptr);
  ExpectText(r.Text(kValue, L""), L"nameless");
  ExpectText(r.Text(kValue, static_cast<BSTR>(nullptr)), L"nameless");
  ExpectNumber(r.Number(kTagNameIndex, L"ANH\u00c4NGE"), 1);
  ExpectNumber(r.Number(kTagNameIndex, L"dokument"), 0);
  ExpectNumber(r.Number(kTagNameIndex, kGruesse), -1);  // a field, not a file

  // Back to the default: the texts are the ANSI readings again.
  ASSERT_TRUE(Succeeded(r.PutCodePage(0)));
  ExpectText(r.Text(kVarName, 2), L"Anh\u00c3\u00a4nge");
  ExpectText(r.Text(kExtension, 0), L"txt");
}

// Repeated fields fold by the names of the page's code page: К (D0 9A) and Њ
// (D0 8A) read as Ðš and ÐŠ in 1252, one name there, two in UTF-8; é and É
// (C3 A9, C3 89) are two names in 1252 and one in UTF-8. Under CodePage 1251
// the bytes A1 and A2 are Ў and ў, one name, while 9F and FF are џ and я,
// two (1252 reads them as ¡ ¢ and Ÿ ÿ). File lines are never folded but
// answer with their name's first line. The files' tag names follow the same
// rule, and every setting keeps its own fold.
TEST_P(AccessTest, CodePageFoldsRepeatedFieldsByItsOwnNames) {
  ASSERT_EQ(GetACP(), 1252u) << "the ANSI readings below are Windows-1252";
  Reader r = Upload(Multipart()
                        .Field("\xD0\x9A", "1")
                        .Field("\xD0\x8A", "2")
                        .Field("\xC3\xA9", "3")
                        .Field("\xC3\x89", "4")
                        .File("\xD0\x9A", "k.txt", "text/plain", "k")
                        .File("\xD0\x8A", "nj.txt", "text/plain", "nj")
                        .Field("\xA1", "5")
                        .Field("\xA2", "6")
                        .Field("\x9F", "7")
                        .Field("\xFF", "8")
                        .Body());
  using Lines = std::vector<std::pair<std::wstring, std::wstring>>;
  const auto expectVars = [&](const Lines& lines) {
    ExpectNumber(r.Number(kVarCount), static_cast<LONG>(lines.size()));
    for (LONG i = 0; i < static_cast<LONG>(lines.size()); ++i) {
      SCOPED_TRACE(i);
      ExpectText(r.Text(kVarName, i), lines[static_cast<size_t>(i)].first.c_str());
      ExpectText(r.Text(kVarByIndex, i), lines[static_cast<size_t>(i)].second.c_str());
    }
  };
  const Lines ansi = {{L"\u00d0\u0160", L"1, 2"}, {L"\u00c3\u00a9", L"3"},
                      {L"\u00c3\u2030", L"4"},    {L"\u00d0\u0161", L"1, 2"},
                      {L"\u00d0\u0160", L"1, 2"}, {L"\u00a1", L"5"},
                      {L"\u00a2", L"6"},          {L"\u00ff", L"7, 8"}};
  expectVars(ansi);
  ExpectNumber(r.Number(kTagNameIndex, L"\u00d0\u0160"), 0);

  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  // Lone bytes are no UTF-8: each reads as U+FFFD, so the last four are one.
  expectVars({{L"\u041a", L"1"},
              {L"\u040a", L"2"},
              {L"\u00c9", L"3, 4"},
              {L"\u041a", L"1"},
              {L"\u040a", L"2"},
              {L"\ufffd", L"5, 6, 7, 8"}});
  ExpectText(r.Text(kValue, L"\u043a"), L"1");  // к
  ExpectText(r.Text(kValue, L"\u045a"), L"2");  // њ
  ExpectText(r.Text(kValue, L"\u00e9"), L"3, 4");
  ExpectText(r.Text(kValue, L"\u00c9"), L"3, 4");
  ExpectNumber(r.Number(kTagNameIndex, L"\u045a"), 1);
  ExpectNumber(r.Number(kTagNameIndex, L"\u043a"), 0);
  ExpectNumber(r.Number(kTagNameIndex, L"\u00e9"), -1);

  ASSERT_TRUE(Succeeded(r.PutCodePage(1251)));
  // D0 9A and D0 8A read as Рљ and РЉ here: one name again.
  expectVars({{L"\u0420\u0409", L"1, 2"},
              {L"\u0413\u00a9", L"3"},
              {L"\u0413\u2030", L"4"},
              {L"\u0420\u0459", L"1, 2"},
              {L"\u0420\u0409", L"1, 2"},
              {L"\u045e", L"5, 6"},
              {L"\u045f", L"7"},
              {L"\u044f", L"8"}});
  ExpectText(r.Text(kValue, L"\u040e"), L"5, 6");  // Ў
  ExpectText(r.Text(kValue, L"\u040f"), L"7");     // Џ
  ExpectText(r.Text(kValue, L"\u042f"), L"8");     // Я
  ExpectNumber(r.Number(kTagNameIndex, L"\u0440\u0459"), 0);
  // A name that 1251 cannot write is compared as it is, and matches nothing.
  ExpectText(r.Text(kValue, L"\u65e5"), nullptr);
  ExpectNumber(r.Number(kTagNameIndex, L"\u65e5"), -1);

  // Each setting answers as it did the first time.
  ASSERT_TRUE(Succeeded(r.PutCodePage(0)));
  expectVars(ansi);
  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  ExpectNumber(r.Number(kVarCount), 6);
  ExpectText(r.Text(kValue, L"\u041a"), L"1");
}

// On a server whose ANSI code page is 1251 (ctest runs this test in a
// Russian locale), UTF-8 names of common letters collide in the ANSI
// reading: в and г (D0 B2, D0 B3) read as РІ and Рі, с and у (D1 81, D1 83)
// as СЃ and Сѓ. Read in UTF-8 they stay four names.
TEST_P(AccessTest, OnACyrillicServerUtf8NamesStayApartUnderTheirCodePage) {
  if (GetACP() != 1251) GTEST_SKIP() << "runs where the ANSI code page is 1251";
  Reader r = Upload(Multipart()
                        .Field("\xD0\xB2", "1")
                        .Field("\xD0\xB3", "2")
                        .Field("\xD1\x81", "3")
                        .Field("\xD1\x83", "4")
                        .File("\xD0\xB2", "a.txt", "text/plain", "a")
                        .File("\xD0\xB3", "b.txt", "text/plain", "b")
                        .Body());
  ExpectNumber(r.Number(kVarCount), 4);
  ExpectText(r.Text(kVarByIndex, 0), L"1, 2");
  ExpectText(r.Text(kVarByIndex, 1), L"3, 4");
  ExpectNumber(r.Number(kTagNameIndex, L"\u0420\u0456"), 0);
  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  ExpectNumber(r.Number(kVarCount), 6);
  ExpectText(r.Text(kValue, L"\u0432"), L"1");  // в
  ExpectText(r.Text(kValue, L"\u0413"), L"2");  // Г
  ExpectText(r.Text(kValue, L"\u0421"), L"3");  // С
  ExpectText(r.Text(kValue, L"\u0443"), L"4");  // у
  ExpectText(r.Text(kVarName, 1), L"\u0433");
  ExpectNumber(r.Number(kTagNameIndex, L"\u0413"), 1);
}

TEST_P(AccessTest, CodePageRefusesWhatTheSystemCannotConvertAndKeepsItsSetting) {
  Reader r = Upload(Utf8Body());
  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  for (const LONG bad : {12345L, -1L, 1L, 65536L, 0x1FDE9L}) {
    SCOPED_TRACE(bad);
    const Answer a = r.PutCodePage(bad);
    EXPECT_EQ(a.status, E_UNEXPECTED);
    EXPECT_EQ(a.source, L"kvParcelin.process");
    EXPECT_NE(a.description.find(L"Invalid code page " + std::to_wstring(bad)), std::wstring::npos)
        << ::testing::PrintToString(a.description);
    ExpectNumber(r.CodePage(), 65001);
  }
  ExpectText(r.Text(kVarName, 0), kGruesse);
  // Other code pages the system converts with are taken.
  for (const LONG good : {1252L, 1251L, 936L, 932L, 28591L}) {
    EXPECT_TRUE(Succeeded(r.PutCodePage(good))) << good;
    ExpectNumber(r.CodePage(), good);
  }
}

// In a double-byte code page a trailing byte that equals "\" or "." is part
// of its character: 表 is 0x95 0x5C in Shift-JIS.
TEST_P(AccessTest, DoubleByteCodePageKeepsTrailingBytesInsideTheName) {
  Reader r = Upload(Multipart()
                        .File("f", "C:\\dir\\\x95\x5C.txt", "text/plain", "x")
                        .Field("\x83\x65\x83\x58\x83\x67", "\x95\x5C")  // テスト
                        .Body());
  // The ANSI code page (1252) has no lead bytes: 0x5C separates.
  ExpectText(r.Text(kFileName, 0), L".txt");
  ASSERT_TRUE(Succeeded(r.PutCodePage(932)));
  ExpectText(r.Text(kFileName, 0), L"\u8868.txt");
  ExpectText(r.Text(kNameOnly, 0), L"\u8868");
  ExpectText(r.Text(kExtension, 0), L"txt");
  ExpectText(r.Text(kLocalName, 0), L"C:\\dir\\\u8868.txt");
  ExpectText(r.Text(kValue, L"\u30c6\u30b9\u30c8"), L"\u8868");
}

TEST_P(AccessTest, NewNameReadsAsTheNameThePageSavedUnder) {
  Reader r = Upload(Utf8Body());
  ASSERT_TRUE(Succeeded(r.PutCodePage(65001)));
  const std::wstring folder = kvtest::ProgramFolder() + L"newname_cp\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring target = folder + L"r\u00e9sum\u00e9.txt";
  DeleteFileW(target.c_str());
  DeleteFileW((folder + L"r\u00e9sum\u00e9~1.txt").c_str());
  ASSERT_EQ(Object()->put_OverwriteMode(2), S_OK);
  Bstr name(target.c_str());
  ASSERT_EQ(Object()->FileSave(name.Get(), 0), S_OK);
  ASSERT_EQ(Object()->FileSave(name.Get(), 0), S_OK);
  ExpectText(r.Text(kNewName, 0), L"r\u00e9sum\u00e9~1.txt");
  EXPECT_TRUE(DeleteFileW(target.c_str()));
  EXPECT_TRUE(DeleteFileW((folder + L"r\u00e9sum\u00e9~1.txt").c_str()));
  RemoveDirectoryW(folder.c_str());
}

INSTANTIATE_TEST_SUITE_P(Bindings, AccessTest, ::testing::Values(Binding::Early, Binding::Late),
                         [](const ::testing::TestParamInfo<Binding>& param) {
                           return param.param == Binding::Early ? std::string("Early")
                                                                : std::string("ByName");
                         });

// --- What FileData costs, counted at the DLL's imports.

TEST(FileDataCost, OneArrayAndOneCopyOfTheBytes) {
  const std::string content = kvtest::FillerBytes(8 * 1048576 + 1, 5);
  kvstub::StubHost host;
  host.SetBody(Multipart().File("f", "f.bin", "application/octet-stream", content).Body());
  ComPtr<Iprocess> upload = kvtest::CreateUpload(host);
  ASSERT_TRUE(upload);
  kvp::Variant value;
  {
    kvtest::MemoryTraffic traffic(kvtest::TheServer().module, content.size());
    ASSERT_TRUE(traffic.Watching());
    ASSERT_EQ(upload->get_FileData(0, value.Get()), S_OK);
    EXPECT_EQ(traffic.Arrays(), 1u);
    EXPECT_EQ(traffic.LargeBlocks(), 1u) << "only the array itself may hold the bytes";
    EXPECT_LE(traffic.CopiedBytes(), content.size()) << "the bytes were copied more than once";
  }
  ASSERT_EQ(value->vt, VT_ARRAY | VT_UI1);
  EXPECT_TRUE(Bytes(value->parray) == Bytes(content));
}

// --- AppendToFile writes in the object's code page.

TEST(CodePageOutput, AppendToFileEncodesItsLineInTheCodePage) {
  kvstub::StubHost host;
  host.SetBody(Multipart().Field("a", "b").Body());
  ComPtr<Iprocess> upload = kvtest::CreateUpload(host);
  ASSERT_TRUE(upload);
  ComPtr<Iprocess2> upload2;
  ASSERT_EQ(upload->QueryInterface(IID_Iprocess2, upload2.PutVoid()), S_OK);
  const std::wstring file = kvtest::ProgramFolder() + L"append_cp.txt";
  DeleteFileW(file.c_str());
  Bstr name(file.c_str()), line(kGruesse);
  ASSERT_EQ(upload->AppendToFile(name.Get(), line.Get()), S_OK);
  ASSERT_EQ(upload2->put_CodePage(65001), S_OK);
  ASSERT_EQ(upload->AppendToFile(name.Get(), line.Get()), S_OK);
  std::string bytes;
  {
    const std::unique_ptr<void, decltype(&CloseHandle)> in(
        CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr),
        &CloseHandle);
    ASSERT_NE(in.get(), INVALID_HANDLE_VALUE);
    char buffer[256];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(in.get(), buffer, sizeof buffer, &got, nullptr));
    bytes.assign(buffer, got);
  }
  EXPECT_EQ(bytes, std::string("Gr\xFC\xDF"
                               "e \x80\r\n") +
                       kGruesseUtf8 + "\r\n");
  DeleteFileW(file.c_str());
}

}  // namespace
