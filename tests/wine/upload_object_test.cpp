// The upload object as a page creates it: the road to the host through the
// object context, a whole upload end to end, the simple properties and the
// object's lifetime.
#include <algorithm>
#include <thread>

#include "host/aspcontext.h"
#include "server/exceptions.h"
#include "testsupport.h"

namespace {

using kvstub::PropertyMode;
using kvtest::BodyOf;
using kvtest::Multipart;
using kvtest::VarLines;

std::wstring Text(BSTR b) {
  return b ? std::wstring(b, SysStringLen(b)) : std::wstring();
}

// --- The road to the host.

TEST(ObjectContext, OldRouteIsChosenInAnNt4ProcessWithMtxexLoaded) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  ASSERT_TRUE(GetVersionExA(&version));
  ASSERT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  ASSERT_EQ(version.dwMajorVersion, 4u) << "the test program must run as Windows NT 4.0";
  ASSERT_NE(GetModuleHandleA("mtxex.dll"), nullptr);
  EXPECT_EQ(kvp::ObjectContextRoute(), kvp::ContextRoute::Mtxex);
}

TEST(ObjectContext, StandInHandsOutTheCallingThreadsContext) {
  kvstub::StubHost host;
  IObjectContext* raw = reinterpret_cast<IObjectContext*>(1);
  EXPECT_EQ(kvstub::ThreadContext(&raw), CONTEXT_E_NOCONTEXT);
  EXPECT_EQ(raw, nullptr);
  {
    kvstub::ContextScope scope(host.Context());
    ASSERT_EQ(kvstub::ThreadContext(&raw), S_OK);
    auto context = kvp::ComPtr<IObjectContext>::Adopt(raw);
    EXPECT_EQ(context.Get(), host.Context());
    // Another thread has a context of its own: none.
    HRESULT other = S_OK;
    std::thread([&] {
      IObjectContext* theirs = nullptr;
      other = kvstub::ThreadContext(&theirs);
      if (theirs) theirs->Release();
    }).join();
    EXPECT_EQ(other, CONTEXT_E_NOCONTEXT);
  }
  EXPECT_EQ(kvstub::ThreadContext(&raw), CONTEXT_E_NOCONTEXT);
}

TEST(ObjectContext, WithoutAContextTheCreationFails) {
  const long live = kvstub::StubHost::LiveObjects();
  const int64_t streams = kvp::TMemoryStream::LiveCount();
  {
    kvstub::StubHost host;
    host.SetBody("x");
    kvp::Tprocess p;
    try {
      p.Initialize();
      FAIL() << "Initialize returned";
    } catch (const kvp::EOleSysError& e) {
      EXPECT_EQ(static_cast<HRESULT>(e.ErrorCode()), CONTEXT_E_NOCONTEXT);
    }
    EXPECT_TRUE(host.Calls().empty());
  }
  EXPECT_EQ(kvstub::StubHost::LiveObjects(), live);
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), streams);
}

TEST(ObjectContext, AThreadWithoutAContextCannotCreate) {
  kvstub::StubHost host;
  host.SetBody("x");
  kvstub::ContextScope scope(host.Context());
  bool failed = false;
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      kvp::Tprocess p;
      try {
        p.Initialize();
      } catch (const kvp::Exception&) {
        failed = true;
      }
    }
    CoUninitialize();
  }).join();
  EXPECT_TRUE(failed);
  EXPECT_TRUE(host.Calls().empty());
}

class ContextPropertyTest : public kvtest::HostTest {};

TEST_F(ContextPropertyTest, NoRequestMakesTheCreationFail) {
  Host().SetBody("x");
  Host().SetPropertyMode(L"Request", PropertyMode::Missing);
  EXPECT_THROW(Create(), kvp::Exception);
  EXPECT_TRUE(Host().Trace().empty());
}

TEST_F(ContextPropertyTest, ARequestOfTheWrongKindIsNotSupported) {
  Host().SetBody("x");
  Host().SetPropertyMode(L"Request", PropertyMode::WrongType);
  try {
    Create();
    FAIL() << "Initialize returned";
  } catch (const kvp::Exception& e) {
    EXPECT_EQ(e.Message(), "Interface not supported");
  }
}

TEST_F(ContextPropertyTest, NoResponseFailsTheReadAndTheMessage) {
  // Without Response neither the probe nor the failure message can be had.
  Host().SetBody("x");
  Host().SetPropertyMode(L"Response", PropertyMode::Missing);
  EXPECT_THROW(Create(), kvp::Exception);
  EXPECT_EQ(Host().Trace(), std::vector<std::string>{"TotalBytes"});
}

// --- A whole upload.

class UploadTest : public kvtest::HostTest {};

TEST_F(UploadTest, WorkedExampleEndToEnd) {
  const std::string body = Multipart()
                               .Field("title", "Holiday")
                               .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF")
                               .File("extra", "", "application/octet-stream", "")
                               .Field("note", "line one\r\nline two")
                               .Field("Title", "Sea")
                               .Body();
  Host().SetBody(body);
  kvp::Tprocess& p = Create();
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(BodyOf(p), body);

  ASSERT_EQ(p.FFileCount, 1);
  ASSERT_EQ(p.FFiles.size(), 1u);
  const kvp::TFileText f = p.FileText(0);
  EXPECT_EQ(f.LocalName, "C:\\pics\\beach.jpg");
  EXPECT_EQ(f.FileName, "beach.jpg");
  EXPECT_EQ(f.Extension, "jpg");
  EXPECT_EQ(f.NameOnly, "beach");
  EXPECT_EQ(f.ContentType, "image/jpeg");
  EXPECT_EQ(f.TagName, "photo");
  EXPECT_TRUE(p.NewName(0).empty());
  EXPECT_EQ(kvtest::ItemBytes(p, 0), "JFIF");
  EXPECT_EQ(p.FFiles[0].DataAt, body.find("JFIF")) << "the bytes stay in the body";
  EXPECT_EQ(VarLines(p),
            (std::vector<std::string>{"Title=Holiday, Sea", "photo=C:\\pics\\beach.jpg",
                                      "extra=", "note=line one\r\nline two"}));
}

TEST_F(UploadTest, FilesKeepTheirBytesAndOrder) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  const std::string body = Multipart()
                               .File("a", "one.bin", "application/octet-stream", binary)
                               .File("b", "two.txt", "text/plain", "second\r\nfile")
                               .File("a", "three", "text/plain", "3")
                               .Body();
  Host().SetBody(body);
  kvp::Tprocess& p = Create();
  ASSERT_EQ(p.FFileCount, 3);
  const std::vector<std::string> contents{binary, "second\r\nfile", "3"};
  for (size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(kvtest::ItemBytes(p, i), contents[i]);
  EXPECT_EQ(p.FileText(2).Extension, "");
  EXPECT_EQ(p.FileText(2).NameOnly, "three");
  EXPECT_EQ(VarLines(p), (std::vector<std::string>{"a=one.bin", "b=two.txt", "a=three"}));
}

// --- The simple properties.

class PropertyTest : public kvtest::HostTest {
 protected:
  void SetUp() override {
    kvtest::HostTest::SetUp();
    Host().SetBody(Multipart().Field("a", "1").Body());
    Create();
  }
  LONG Mode() {
    LONG mode = -1;
    EXPECT_EQ(Process().get_OverwriteMode(&mode), S_OK);
    return mode;
  }
  std::wstring Chr() {
    BSTR value = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(Process().get_OverwriteChr(&value), S_OK);
    kvp::Bstr owned = kvp::Bstr::Adopt(value);
    return Text(owned.Get());
  }
};

TEST_F(PropertyTest, OverwriteModeKeepsOnlyOneAndTwo) {
  EXPECT_EQ(Mode(), 0);
  const struct {
    LONG written;
    LONG read;
  } cases[] = {{2, 2}, {3, 0}, {1, 1}, {-1, 0}, {2, 2}, {0, 0}, {1, 1}, {258, 0}, {1, 1}, {2, 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(Process().put_OverwriteMode(c.written), S_OK);
    EXPECT_EQ(Mode(), c.read) << "after writing " << c.written;
  }
}

// Whatever the code page holds: "\u2116" and Chinese are outside 1252, and an
// embedded NUL stays too.
TEST_F(PropertyTest, OverwriteChrReadsBackExactlyWhatWasPut) {
  ASSERT_EQ(GetACP(), 1252u);
  EXPECT_EQ(Chr(), L"~");
  const std::wstring texts[] = {
      L"",       L"--",           L"_",          L"\u00e9\u00df",
      L"\u2116", L"\u4e2d\u6587", L"\U0001F4F7", std::wstring(L"a\0b", 3)};
  for (const std::wstring& text : texts) {
    kvp::Bstr value(text.data(), static_cast<UINT>(text.size()));
    EXPECT_EQ(Process().put_OverwriteChr(value.Get()), S_OK);
    EXPECT_EQ(Chr(), text);
  }
  EXPECT_EQ(Process().put_OverwriteChr(nullptr), S_OK);
  EXPECT_EQ(Chr(), L"");
}

TEST_F(PropertyTest, EmptyOverwriteChrIsANullString) {
  kvp::Bstr empty(L"");
  ASSERT_EQ(Process().put_OverwriteChr(empty.Get()), S_OK);
  BSTR value = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(Process().get_OverwriteChr(&value), S_OK);
  EXPECT_EQ(value, nullptr);
}

TEST_F(PropertyTest, MaxKBAndReadChangeNothing) {
  const size_t callsBefore = Host().Calls().size();
  const std::vector<std::string> vars = VarLines(Process());
  const LONG total = TotalBytes();

  LONG kb = 4242;
  EXPECT_EQ(Process().get_MaxKB(&kb), S_OK);
  EXPECT_EQ(kb, 4242);
  EXPECT_EQ(Process().put_MaxKB(1), S_OK);
  EXPECT_EQ(Process().get_MaxKB(&kb), S_OK);
  EXPECT_EQ(kb, 4242);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Process().Read(), S_OK);

  EXPECT_EQ(Host().Calls().size(), callsBefore) << "the body is read only at creation";
  EXPECT_EQ(VarLines(Process()), vars);
  EXPECT_EQ(TotalBytes(), total);
  EXPECT_EQ(Status(), 0);
}

// The one member that asks the host after creation. IIS hands the server
// variable out as a string list; a plain string must do as well.
TEST_F(PropertyTest, CurrentDirTakesPathTranslatedInEitherShape) {
  for (const bool asStringList : {false, true}) {
    Host().SetServerVariable(L"PATH_TRANSLATED", L"C:\\Inetpub\\wwwroot\\up\\save.asp",
                             asStringList);
    BSTR value = nullptr;
    ASSERT_EQ(Process().get_CurrentDir(&value), S_OK) << asStringList;
    kvp::Bstr owned = kvp::Bstr::Adopt(value);
    EXPECT_EQ(Text(owned.Get()), L"C:\\Inetpub\\wwwroot\\up\\");
  }
  const std::vector<kvstub::Call> calls = Host().Calls();
  const auto items = std::count_if(calls.begin(), calls.end(), [](const kvstub::Call& c) {
    return c.object == "ServerVariables" && c.name == L"PATH_TRANSLATED";
  });
  EXPECT_EQ(items, 2);
}

// --- Lifetime.

class LifetimeTest : public kvtest::HostTest {};

TEST_F(LifetimeTest, DestructionFreesTheBodyThatTheItemsPointInto) {
  Host().SetBody(Multipart()
                     .File("a", "1.txt", "text/plain", "one")
                     .File("b", "2.txt", "text/plain", "two")
                     .Field("c", "x")
                     .File("d", "3.txt", "text/plain", "three")
                     .Body());
  const int64_t before = kvp::TMemoryStream::LiveCount();
  kvp::Tprocess& p = Create();
  ASSERT_EQ(p.FFileCount, 3);
  EXPECT_EQ(kvp::TMemoryStream::LiveCount() - before, 1) << "the items hold no stream of their own";
  Destroy();
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before);
}

TEST_F(LifetimeTest, AFailedCreationLeavesNothingBehind) {
  Host().SetBody(Multipart().File("a", "1.txt", "text/plain", "one").Body());
  Host().FailReadAt(1, kvstub::Failure{E_FAIL, L"x", L"y"});
  Host().FailWrite(kvstub::Failure{E_FAIL, L"x", L"y"});
  const int64_t before = kvp::TMemoryStream::LiveCount();
  EXPECT_THROW(Create(), kvp::EOleException);
  Destroy();
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before);
}

}  // namespace
