// The upload object driven the way a page drives it: by name, from VBScript
// running in Wine's script engine, created with CreateObject through COM
// activation of the registered DLL.

#include <string>

#include "dispatch.h"
#include "frame_support.h"
#include "scripthost.h"
#include "testsupport.h"

namespace {

using kvp::ComPtr;

// Registered for the length of the program's tests.
class Registered : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(kvtest::TheServer().registerServer(), S_OK); }
  void TearDown() override { kvtest::TheServer().unregisterServer(); }
};
const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new Registered);

struct PageRun {
  kvsh::RunResult result;
  std::wstring output;
};

// Runs source with Host.Echo, inside a request that carries body.
PageRun RunPage(kvstub::StubHost& host, const std::wstring& source) {
  kvsh::Host echo;
  const kvsh::NamedItem items[] = {{L"Host", echo.Dispatch()}};
  kvstub::ContextScope scope(host.Context());
  PageRun run;
  run.result = kvsh::RunScript(L"VBScript", source, items);
  run.output = echo.Output();
  return run;
}

TEST(VBScriptPage, ReadsFilesAndFieldsByName) {
  kvstub::StubHost host;
  host.SetBody(kvtest::Multipart()
                   .Field("title", "Holiday")
                   .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF")
                   .Field("note", "line one\r\nline two")
                   .Field("Title", "Sea")
                   .Body());
  const PageRun run = RunPage(host,
                              LR"(
Set up = CreateObject("kvParcelin.process")
Host.Echo up.FileQty, up.Status, up.VarCount
Host.Echo up.FileName(0), up.Extension(0), up.NameOnly(0), up.ContentType(0), up.FileSize(0)
Host.Echo up.Value("TITLE")
Host.Echo up.VarName(1) & "=" & up.VarByIndex(1)
Host.Echo up.TagNameIndex("PHOTO"), up.TagNameIndex("title")
up.OverwriteMode = 7
Host.Echo up.OverwriteMode, up.OverwriteChr
up.OverwriteChr = "__"
Host.Echo up.OverwriteChr
up.Read
Host.Echo "end"
)");
  ASSERT_TRUE(run.result.ok) << (run.result.error
                                     ? std::string(run.result.error->description.begin(),
                                                   run.result.error->description.end())
                                     : "");
  EXPECT_EQ(run.output,
            L"1 0 3\n"
            L"beach.jpg jpg beach image/jpeg 4\n"
            L"Holiday, Sea\n"
            L"photo=C:\\pics\\beach.jpg\n"
            L"0 -1\n"
            L"0 ~\n"
            L"__\n"
            L"end\n");
}

TEST(VBScriptPage, FailingMembersRaiseRuntimeErrors) {
  kvstub::StubHost host;
  host.SetBody(kvtest::Multipart().Field("a", "x").Body());
  const PageRun run = RunPage(host,
                              LR"(
Set up = CreateObject("kvParcelin.process")
On Error Resume Next
n = up.FileSize(0)
Host.Echo Hex(Err.Number), Err.Source, Err.Description
Err.Clear
v = up.VarByIndex(1)
Host.Echo Hex(Err.Number), Err.Description
On Error GoTo 0
Host.Echo up.FileName(3)
)");
  EXPECT_FALSE(run.result.ok);
  EXPECT_EQ(run.output,
            L"8000FFFF kvParcelin.process Index out of range or no file uploaded.\n"
            L"8000FFFF Index out of range.\n");
  ASSERT_TRUE(run.result.error.has_value());
  EXPECT_EQ(run.result.error->line, 10u);
  EXPECT_EQ(run.result.error->description, L"Index out of range or no file uploaded.");
}

TEST(VBScriptPage, CreationOutsideARequestFails) {
  kvsh::Host echo;
  const kvsh::NamedItem items[] = {{L"Host", echo.Dispatch()}};
  // No object context on this thread.
  const kvsh::RunResult result = kvsh::RunScript(L"VBScript",
                                                 LR"(
On Error Resume Next
Set up = CreateObject("kvParcelin.process")
Host.Echo Hex(Err.Number), IsEmpty(up)
)",
                                                 items);
  EXPECT_TRUE(result.ok);
  // The engine reports a failed creation as its own error 429.
  EXPECT_EQ(echo.Output(), L"1AD True\n");
}

}  // namespace
