// The local ASP host: the page compiler and its line map, RunPage with the
// intrinsic objects against Wine's script engines, kvParcelin.dll created by
// a page through the object context, and the run command as a program.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "asphost.h"
#include "frame_support.h"
#include "intrinsics.h"
#include "pagecompiler.h"
#include "testsupport.h"
#include "textcodec.h"

namespace {

using kvasp::Header;
using kvasp::PageOutcome;
using kvasp::PageRequest;

// kvParcelin.dll registered for CreateObject, for the length of the program.
class Registered : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NE(kvtest::TheServer().registerServer, nullptr) << "kvParcelin.dll is not loaded";
    ASSERT_EQ(kvtest::TheServer().registerServer(), S_OK);
  }
  void TearDown() override {
    if (kvtest::TheServer().unregisterServer) kvtest::TheServer().unregisterServer();
  }
};
const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new Registered);

std::string Utf8(std::wstring_view text) {
  return kvasp::Narrow(text, CP_UTF8);
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// A site folder of its own under the temporary folder, removed at the end.
class TempSite {
 public:
  TempSite() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static int serial = 0;
    root_ = std::wstring(base) + L"kvasp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++serial);
    CreateDirectoryW(root_.c_str(), nullptr);
  }
  ~TempSite() { RemoveTree(root_); }
  TempSite(const TempSite&) = delete;
  TempSite& operator=(const TempSite&) = delete;

  const std::wstring& Root() const { return root_; }
  std::wstring Path(std::wstring_view relative) const {
    std::wstring path = root_ + L"\\" + std::wstring(relative);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
  }
  void Write(std::wstring_view relative, std::string_view content) const {
    const std::wstring path = Path(relative);
    for (size_t slash = path.find(L'\\', root_.size() + 1); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1))
      CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, content.size());
  }
  PageRequest Request(std::wstring_view page) const {
    PageRequest r;
    r.pagePath = Path(page);
    r.siteRoot = root_;
    return r;
  }

 private:
  std::wstring root_;
};

// One timeline of what the body source and the sink were asked, in order.
using Timeline = std::shared_ptr<std::vector<std::string>>;

// A request body handed out in pieces of at most `perRead` bytes; from byte
// `goneAt` on the client is gone. Records every read.
class FakeBody final : public kvasp::BodySource {
 public:
  explicit FakeBody(std::string data = {},
                    Timeline log = std::make_shared<std::vector<std::string>>())
      : data_(std::move(data)), log_(std::move(log)) {}

  size_t perRead = SIZE_MAX;
  size_t goneAt = SIZE_MAX;
  int64_t declared = -1;  // TotalBytes; -1: the data's size
  size_t offset = 0;
  bool gone = false;
  std::vector<std::pair<int64_t, int64_t>> reads;  // (max, answer)

  int64_t TotalBytes() override {
    return declared >= 0 ? declared : static_cast<int64_t>(data_.size());
  }
  int64_t Read(uint8_t* buffer, int64_t max) override {
    int64_t answer = -1;
    if (offset >= goneAt) {
      gone = true;
    } else {
      const size_t n =
          std::min({static_cast<size_t>(max), perRead, data_.size() - offset, goneAt - offset});
      std::copy_n(data_.data() + offset, n, buffer);
      offset += n;
      answer = static_cast<int64_t>(n);
    }
    reads.emplace_back(max, answer);
    log_->push_back("read " + std::to_string(max) + ":" + std::to_string(answer));
    return answer;
  }
  bool Connected() override { return !gone; }

 private:
  std::string data_;
  Timeline log_;
};

class FakeSink final : public kvasp::ResponseSink {
 public:
  explicit FakeSink(Timeline log = std::make_shared<std::vector<std::string>>())
      : log_(std::move(log)) {}

  bool connected = true;
  int begins = 0;
  int status = 0;
  std::string reason;
  std::vector<Header> headers;
  std::string body;
  bool sentBeforeBegin = false;

  void Begin(int code, const std::string& why, const std::vector<Header>& list) override {
    ++begins;
    status = code;
    reason = why;
    headers = list;
    log_->push_back("begin " + std::to_string(code));
  }
  bool Send(const uint8_t* data, size_t size) override {
    if (!begins) sentBeforeBegin = true;
    body.append(reinterpret_cast<const char*>(data), size);
    log_->push_back("send " + std::string(reinterpret_cast<const char*>(data), size));
    return connected;
  }
  bool Connected() override { return connected; }

  std::string HeaderValue(std::string_view name) const {
    for (const Header& h : headers)
      if (kvasp::SameName(h.first, name)) return h.second;
    return "(none)";
  }

 private:
  Timeline log_;
};

struct PageRun {
  PageOutcome outcome;
  FakeSink sink;
};

// Runs one page of `site` with an empty body.
PageRun RunOne(const TempSite& site, std::wstring_view page, PageRequest request = {}) {
  PageRequest r = request;
  if (r.pagePath.empty()) r.pagePath = site.Path(page);
  if (r.siteRoot.empty()) r.siteRoot = site.Root();
  FakeBody body;
  PageRun run;
  run.outcome = kvasp::RunPage(r, body, run.sink);
  return run;
}

std::string Describe(const PageOutcome& outcome) {
  std::string text;
  for (const kvasp::ScriptFailure& f : outcome.errors)
    text += Utf8(kvasp::DescribeFailure(f)) + "\n";
  return text;
}

// ---- the compiler -------------------------------------------------------------

// Files in memory, by full path.
struct Files {
  std::map<std::wstring, std::string> content;
  kvasp::FileReader Reader() const {
    return [this](const std::wstring& path, std::string& bytes) {
      for (const auto& [name, text] : content) {
        if (kvasp::SameName(name, path)) {
          bytes = text;
          return true;
        }
      }
      return false;
    };
  }
  kvasp::CompileResult Compile(const std::wstring& page = L"C:\\site\\page.asp") const {
    return kvasp::CompilePage(page, L"C:\\site", Reader());
  }
};

std::vector<std::wstring> ScriptLines(const kvasp::CompiledPage& page) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = page.script.find(L'\n', start);
    lines.push_back(page.script.substr(start, end - start));
    if (end == std::wstring::npos) return lines;
    start = end + 1;
  }
}

TEST(PageCompiler, LiteralsExpressionsAndCodeWithTheirLines) {
  Files files;
  files.content[L"C:\\site\\page.asp"] =
      "<html>\n<% x = 1 %>\n<p><%= x %></p>\n<% If x Then %>yes<% End If %>\n";
  const auto result = files.Compile();
  ASSERT_TRUE(result.page) << Utf8(result.error->description);
  const kvasp::CompiledPage& page = *result.page;
  EXPECT_EQ(page.language, L"VBScript");
  EXPECT_EQ(page.blocks, (std::vector<std::string>{"<html>\n", "\n<p>", "</p>\n", "yes", "\n"}));
  EXPECT_EQ(ScriptLines(page), (std::vector<std::wstring>{
                                   L"Response.WriteBlock 0",
                                   L" x = 1 ",
                                   L"Response.WriteBlock 1",
                                   L"Response.Write ( x ) : Response.WriteBlock 2",
                                   L" If x Then ",
                                   L"Response.WriteBlock 3",
                                   L" End If ",
                                   L"Response.WriteBlock 4",
                               }));
  const unsigned expected[] = {1, 2, 2, 3, 4, 4, 4, 4};
  for (unsigned i = 0; i < 8; ++i) {
    EXPECT_EQ(page.Origin(i + 1).file, 0u);
    EXPECT_EQ(page.Origin(i + 1).line, expected[i]) << "script line " << i + 1;
  }
  EXPECT_EQ(page.LineText(page.Origin(4)), L"<p><%= x %></p>");

  // The page's own lines keep their numbers where the script has room.
  files.content[L"C:\\site\\page.asp"] = "<% a = 1 %>\r\n\r\n\r\n<% b = 2\r\nc = 3 %>";
  const auto aligned = files.Compile();
  ASSERT_TRUE(aligned.page);
  const auto lines = ScriptLines(*aligned.page);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], L" b = 2");
  EXPECT_EQ(lines[4], L"c = 3 ");
  EXPECT_EQ(aligned.page->Origin(4).line, 4u);
  EXPECT_EQ(aligned.page->Origin(5).line, 5u);
}

TEST(PageCompiler, DirectiveLanguageCodePageAndOptionExplicit) {
  Files files;
  files.content[L"C:\\site\\page.asp"] = "<%@ Language=\"JScript\" CodePage=65001 %>\n<%= 1 %>";
  auto result = files.Compile();
  ASSERT_TRUE(result.page);
  EXPECT_EQ(result.page->language, L"JScript");
  EXPECT_EQ(result.page->codePage, 65001u);
  EXPECT_EQ(result.page->script, L"Response.WriteBlock(0);\nResponse.Write( 1 );");

  // "Option Explicit" must be the script's first statement.
  files.content[L"C:\\site\\page.asp"] = "<%@ LANGUAGE=VBScript %>\n<% option  explicit\nDim a %>";
  result = files.Compile();
  ASSERT_TRUE(result.page);
  const auto lines = ScriptLines(*result.page);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], L"Option Explicit");
  EXPECT_EQ(lines[1], L"Response.WriteBlock 0");
  EXPECT_EQ(lines[3], L"Dim a ");
  EXPECT_EQ(result.page->Origin(1).line, 2u);
  EXPECT_EQ(result.page->Origin(4).line, 3u);

  // A UTF-8 page without a directive answers in UTF-8.
  files.content[L"C:\\site\\page.asp"] = "\xEF\xBB\xBF<%= \"\xC3\xA9\" %>";
  result = files.Compile();
  ASSERT_TRUE(result.page);
  EXPECT_EQ(result.page->codePage, static_cast<UINT>(CP_UTF8));
  EXPECT_EQ(result.page->script, L"Response.Write ( \"\u00e9\" )");
}

TEST(PageCompiler, IncludesByFileAndVirtualNestedWithTheirOrigins) {
  Files files;
  files.content[L"C:\\site\\page.asp"] = "top\n<!-- #include file=\"inc/a.inc\" -->\n<% x = 1 %>\n";
  files.content[L"C:\\site\\inc\\a.inc"] = "A1\n<!--#include virtual=\"/lib/b.inc\"-->A2";
  files.content[L"C:\\site\\lib\\b.inc"] = "B1 <!-- #INCLUDE FILE='c.inc' --> B2";
  files.content[L"C:\\site\\lib\\c.inc"] = "<% c = 1\r\nc = 2 %>";
  const auto result = files.Compile();
  ASSERT_TRUE(result.page) << Utf8(result.error->description);
  const kvasp::CompiledPage& page = *result.page;
  EXPECT_EQ(page.blocks, (std::vector<std::string>{"top\nA1\nB1 ", " B2A2\n", "\n"}));
  EXPECT_EQ(ScriptLines(page), (std::vector<std::wstring>{L"Response.WriteBlock 0", L" c = 1",
                                                          L"c = 2 ", L"Response.WriteBlock 1",
                                                          L" x = 1 ", L"Response.WriteBlock 2"}));
  const kvasp::SourceLine inInclude = page.Origin(3);
  EXPECT_EQ(page.files[inInclude.file].path, L"C:\\site\\lib\\c.inc");
  EXPECT_EQ(inInclude.line, 2u);
  EXPECT_EQ(page.LineText(inInclude), L"c = 2 %>");
  EXPECT_EQ(page.files[page.Origin(4).file].path, L"C:\\site\\lib\\b.inc");
  EXPECT_EQ(page.Origin(5).file, 0u);
  EXPECT_EQ(page.Origin(5).line, 3u);
}

TEST(PageCompiler, ErrorsNameTheFileAndLine) {
  struct Case {
    const char* page;
    const char* include;  // C:\site\inc\x.inc, or null
    const wchar_t* file;
    unsigned line;
    const wchar_t* code;
    const wchar_t* mentions;
  };
  const Case cases[] = {
      {"a\n\n<!-- #include file=\"nope.inc\" -->", nullptr, L"C:\\site\\page.asp", 3, L"ASP 0126",
       L"'nope.inc' was not found"},
      {"<!-- #include file=\"inc/x.inc\" -->", "one\n<!-- #include virtual=\"/gone.inc\" -->",
       L"C:\\site\\inc\\x.inc", 2, L"ASP 0126", L"'/gone.inc'"},
      {"<!-- #include file=\"inc/x.inc\" -->", "<!-- #include file=\"../page.asp\" -->",
       L"C:\\site\\inc\\x.inc", 1, L"ASP 0135", L"Cyclic Include"},
      {"<p>\n<% x = 1\n", nullptr, L"C:\\site\\page.asp", 2, L"ASP 0116", L"%>"},
      {"<% x = 1 %>\n<%@ Language=JScript %>", nullptr, L"C:\\site\\page.asp", 2, L"ASP 0140",
       L"first command"},
      {"<%@ Language=Perl %>", nullptr, L"C:\\site\\page.asp", 1, L"ASP 0129", L"'Perl'"},
      {"x\n<!-- #include page=\"a\" -->", nullptr, L"C:\\site\\page.asp", 2, L"ASP 0128",
       L"File or Virtual"},
      {"<!-- #include file=\"inc/x.inc\" -->", "<%@ Language=JScript %>", L"C:\\site\\inc\\x.inc",
       1, L"ASP 0140", L"first command"},
  };
  for (const Case& c : cases) {
    Files files;
    files.content[L"C:\\site\\page.asp"] = c.page;
    if (c.include) files.content[L"C:\\site\\inc\\x.inc"] = c.include;
    const auto result = files.Compile();
    ASSERT_FALSE(result.page) << c.page;
    ASSERT_TRUE(result.error) << c.page;
    EXPECT_EQ(result.error->file, c.file) << c.page;
    EXPECT_EQ(result.error->line, c.line) << c.page;
    EXPECT_EQ(result.error->code, c.code) << c.page;
    EXPECT_NE(result.error->description.find(c.mentions), std::wstring::npos)
        << Utf8(result.error->description);
  }
  Files none;
  const auto missing = none.Compile();
  ASSERT_TRUE(missing.error);
  EXPECT_TRUE(missing.error->pageMissing);
}

TEST(PageCompiler, CacheKeepsAPageUntilAFileChanges) {
  TempSite site;
  site.Write(L"page.asp", "<!-- #include file=\"part.inc\" -->");
  site.Write(L"part.inc", "one");
  const auto first = kvasp::CompilePageCached(site.Path(L"page.asp"), site.Root());
  const auto again = kvasp::CompilePageCached(site.Path(L"page.asp"), site.Root());
  ASSERT_TRUE(first.page);
  EXPECT_EQ(first.page, again.page);
  site.Write(L"part.inc", "one more");
  const auto changed = kvasp::CompilePageCached(site.Path(L"page.asp"), site.Root());
  ASSERT_TRUE(changed.page);
  EXPECT_NE(changed.page, first.page);
  EXPECT_EQ(changed.page->blocks, std::vector<std::string>{"one more"});
  kvasp::ClearPageCache();
  EXPECT_NE(kvasp::CompilePageCached(site.Path(L"page.asp"), site.Root()).page, changed.page);
}

// ---- pages ----------------------------------------------------------------------

TEST(RunPage, LiteralTextExpressionsAndIncludes) {
  TempSite site;
  site.Write(L"app/page.asp",
             "<html><% n = 6 * 7 %>\r\n<p><%= n %> <%= \"a\" & \"b\" %></p>\r\n"
             "<!-- #include file=\"parts/mid.inc\" -->\r\nend</html>");
  site.Write(L"app/parts/mid.inc", "[mid <!-- #include virtual=\"/shared/leaf.inc\" -->]");
  site.Write(L"shared/leaf.inc", "<% For i = 1 To 3 %><%= i %><% Next %>");
  const PageRun run = RunOne(site, L"app/page.asp");
  ASSERT_TRUE(run.outcome.ok) << Describe(run.outcome);
  EXPECT_EQ(run.outcome.status, 200);
  EXPECT_EQ(run.sink.body, "<html>\r\n<p>42 ab</p>\r\n[mid 123]\r\nend</html>");
  EXPECT_EQ(run.sink.begins, 1);
  EXPECT_EQ(run.sink.status, 200);
  EXPECT_EQ(run.sink.reason, "OK");
  EXPECT_EQ(run.sink.HeaderValue("Content-Type"), "text/html");
  EXPECT_EQ(run.sink.HeaderValue("Content-Length"), std::to_string(run.sink.body.size()));
}

TEST(RunPage, RuntimeErrorsNameTheirFileAndLine) {
  TempSite site;
  site.Write(L"page.asp",
             "<%@ Language=VBScript %>\r\n<% Option Explicit %>\r\nbefore\r\n"
             "<!-- #include file=\"lib.inc\" -->\r\n<% Dim n\r\nn = Twice(\"x\") %>\r\nafter");
  site.Write(L"lib.inc", "<%\r\nFunction Twice(v)\r\n  Twice = v * 2\r\nEnd Function\r\n%>");
  const PageRun run = RunOne(site, L"page.asp");
  EXPECT_FALSE(run.outcome.ok);
  ASSERT_EQ(run.outcome.errors.size(), 1u);
  const kvasp::ScriptFailure& f = run.outcome.errors[0];
  EXPECT_EQ(f.file, site.Path(L"lib.inc"));
  EXPECT_EQ(f.line, 3u);
  EXPECT_EQ(f.number, 13);
  EXPECT_EQ(f.source, L"Microsoft VBScript runtime error");
  EXPECT_EQ(f.lineText, L"  Twice = v * 2");
  EXPECT_EQ(run.outcome.status, 500);
  EXPECT_EQ(run.sink.status, 500);
  // What the page wrote, then the report.
  EXPECT_EQ(run.sink.body.rfind("\r\n\r\nbefore\r\n\r\n<font", 0), 0u) << run.sink.body;
  EXPECT_EQ(run.sink.body.find("after"), std::string::npos);
  EXPECT_NE(run.sink.body.find("Microsoft VBScript runtime error '800a000d'"), std::string::npos)
      << run.sink.body;
  EXPECT_NE(run.sink.body.find("/lib.inc, line 3"), std::string::npos);
  EXPECT_EQ(kvasp::DescribeFailure(f),
            site.Path(L"lib.inc") + L"(3): Microsoft VBScript runtime error: " + f.description);

  // An error in the page's own code after an include, and a compile error.
  site.Write(L"page2.asp", "<!-- #include file=\"lib.inc\" -->\r\n<%\r\n\r\nx = 1 / 0\r\n%>");
  const PageRun second = RunOne(site, L"page2.asp");
  ASSERT_EQ(second.outcome.errors.size(), 1u);
  EXPECT_EQ(second.outcome.errors[0].file, site.Path(L"page2.asp"));
  EXPECT_EQ(second.outcome.errors[0].line, 4u);
  EXPECT_EQ(second.outcome.errors[0].number, 11);
  EXPECT_EQ(second.outcome.errors[0].description, L"Division by zero");

  site.Write(L"page3.asp", "ok\r\n<% If x Then\r\ny = ( %>");
  const PageRun third = RunOne(site, L"page3.asp");
  ASSERT_EQ(third.outcome.errors.size(), 1u);
  EXPECT_EQ(third.outcome.errors[0].file, site.Path(L"page3.asp"));
  EXPECT_NE(third.outcome.errors[0].source.find(L"compilation error"), std::wstring::npos);
  EXPECT_EQ(third.sink.status, 500);

  // A missing include fails before anything runs; a missing page is a 404.
  site.Write(L"page4.asp", "x\r\n<!-- #include file=\"absent.inc\" -->");
  const PageRun fourth = RunOne(site, L"page4.asp");
  ASSERT_EQ(fourth.outcome.errors.size(), 1u);
  EXPECT_EQ(fourth.outcome.errors[0].line, 2u);
  EXPECT_EQ(fourth.outcome.errors[0].source, L"Active Server Pages error 'ASP 0126'");
  EXPECT_EQ(fourth.sink.body.find("x\r\n"), std::string::npos);
  const PageRun fifth = RunOne(site, L"nothere.asp");
  EXPECT_FALSE(fifth.outcome.ok);
  EXPECT_EQ(fifth.sink.status, 404);
}

TEST(RunPage, JScriptPages) {
  TempSite site;
  site.Write(L"js.asp",
             "<%@ Language=\"JScript\" %>\r\n<% var parts = [];\r\n"
             "for (var i = 0; i < 3; i++) parts.push(i * i); %>"
             "<%= parts.join(\",\") %>|<%= Request.QueryString(\"q\") %>|<%= Request(\"q\") %>"
             "<% Response.Write(\"|\" + Server.HTMLEncode(\"<&>\"));\r\n"
             "if (Request.TotalBytes == 0) Response.Write(\"|empty\"); %>");
  PageRequest request;
  request.queryString = "q=a%2Bb";
  const PageRun run = RunOne(site, L"js.asp", request);
  ASSERT_TRUE(run.outcome.ok) << Describe(run.outcome);
  EXPECT_EQ(run.sink.body, "\r\n0,1,4|a+b|a+b|&lt;&amp;&gt;|empty");

  site.Write(L"jsbad.asp",
             "<%@ Language=JScript %>\r\n<p>\r\n<%\r\nvar a = 1;\r\nnull.x = a;\r\n%>");
  const PageRun bad = RunOne(site, L"jsbad.asp");
  ASSERT_EQ(bad.outcome.errors.size(), 1u);
  EXPECT_EQ(bad.outcome.errors[0].line, 5u);
  EXPECT_NE(bad.outcome.errors[0].source.find(L"JScript"), std::wstring::npos);
}

TEST(RunPageResponse, StatusHeadersAndContentType) {
  TempSite site;
  site.Write(L"p.asp",
             "<% Response.Status = \"404 Not Found\"\r\nResponse.ContentType = \"text/plain\"\r\n"
             "Response.CharSet = \"utf-8\"\r\nResponse.AddHeader \"X-One\", \"1\"\r\n"
             "Response.Write Response.Status & \"|\" & Response.ContentType & \"|\" & "
             "Response.Buffer %>");
  const PageRun run = RunOne(site, L"p.asp");
  ASSERT_TRUE(run.outcome.ok) << Describe(run.outcome);
  EXPECT_EQ(run.outcome.status, 404);
  EXPECT_EQ(run.sink.status, 404);
  EXPECT_EQ(run.sink.reason, "Not Found");
  EXPECT_EQ(run.sink.HeaderValue("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(run.sink.HeaderValue("X-One"), "1");
  EXPECT_EQ(run.sink.body, "404 Not Found|text/plain|True");

  site.Write(L"bad.asp", "<% Response.Status = \"teapot\" %>");
  const PageRun bad = RunOne(site, L"bad.asp");
  ASSERT_EQ(bad.outcome.errors.size(), 1u);
  EXPECT_EQ(bad.sink.status, 500);
}

TEST(RunPageResponse, RedirectAndEndStopThePage) {
  TempSite site;
  site.Write(
      L"r.asp",
      "lost<% Response.AddHeader \"X-Kept\", \"k\"\r\nResponse.Redirect \"/next.asp?a=1\"\r\n"
      "Response.Write \"never\" %>");
  const PageRun redirect = RunOne(site, L"r.asp");
  ASSERT_TRUE(redirect.outcome.ok) << Describe(redirect.outcome);
  EXPECT_EQ(redirect.sink.status, 302);
  EXPECT_EQ(redirect.sink.HeaderValue("Location"), "/next.asp?a=1");
  EXPECT_EQ(redirect.sink.HeaderValue("X-Kept"), "k");
  EXPECT_NE(redirect.sink.body.find("Object Moved"), std::string::npos);
  EXPECT_EQ(redirect.sink.body.find("lost"), std::string::npos);
  EXPECT_EQ(redirect.sink.body.find("never"), std::string::npos);

  struct Case {
    const char* page;
    const char* body;
  };
  for (const Case& c : {
           Case{"a<% Response.End %>b", "a"},
           Case{"<% Sub Finish\r\nResponse.End\r\nEnd Sub\r\nResponse.Write \"a\"\r\nFinish\r\n"
                "Response.Write \"b\" %>",
                "a"},
           // Trapped, the end still holds: later output is dropped.
           Case{"<% On Error Resume Next\r\nResponse.Write \"a\"\r\nResponse.End\r\n"
                "Response.Write \"b\"\r\nx = 1 / 0 %>c",
                "a"},
           Case{"<%@ Language=JScript %><% Response.Write(\"a\");\r\n"
                "try { Response.End(); } catch (e) {}\r\nResponse.Write(\"b\"); %>",
                "a"},
       }) {
    site.Write(L"e.asp", c.page);
    const PageRun run = RunOne(site, L"e.asp");
    EXPECT_TRUE(run.outcome.ok) << c.page << "\n" << Describe(run.outcome);
    EXPECT_EQ(run.sink.status, 200) << c.page;
    EXPECT_EQ(run.sink.body, c.body) << c.page;
  }
}

TEST(RunPageResponse, UnbufferedOutputGoesStraightOut) {
  TempSite site;
  site.Write(L"u.asp",
             "<% Response.Buffer = False %>one<% Response.Write \"two\" %>"
             "<% Response.AddHeader \"X-Late\", \"1\" %>three");
  auto log = std::make_shared<std::vector<std::string>>();
  FakeSink sink(log);
  FakeBody body({}, log);
  const PageOutcome outcome = kvasp::RunPage(site.Request(L"u.asp"), body, sink);
  EXPECT_EQ(*log, (std::vector<std::string>{"begin 200", "send one", "send two",
                                            "send " + sink.body.substr(6)}));
  EXPECT_EQ(sink.HeaderValue("Content-Length"), "(none)");
  EXPECT_FALSE(sink.sentBeforeBegin);
  // Headers after output: the page stops with the header error.
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.status, 200);
  ASSERT_EQ(outcome.errors.size(), 1u);
  EXPECT_EQ(outcome.errors[0].source, L"Response object error 'ASP 0156'");
  EXPECT_EQ(outcome.errors[0].description.rfind(L"Header Error", 0), 0u);
  EXPECT_EQ(outcome.errors[0].line, 1u);
  EXPECT_EQ(sink.body.rfind("onetwo<font", 0), 0u) << sink.body;
  EXPECT_NE(sink.body.find("ASP 0156"), std::string::npos);

  // Buffered, Clear drops output and Flush sends the head early.
  site.Write(
      L"f.asp",
      "<% Response.Write \"x\"\r\nResponse.Clear\r\nResponse.Write \"y\"\r\nResponse.Flush\r\n"
      "Response.Write \"z\" %>");
  auto log2 = std::make_shared<std::vector<std::string>>();
  FakeSink flushed(log2);
  FakeBody none({}, log2);
  EXPECT_TRUE(kvasp::RunPage(site.Request(L"f.asp"), none, flushed).ok);
  EXPECT_EQ(*log2, (std::vector<std::string>{"begin 200", "send y", "send z"}));
  EXPECT_EQ(flushed.HeaderValue("Content-Length"), "(none)");

  // Buffering cannot be switched once output went out.
  site.Write(L"g.asp", "<% Response.Flush\r\nResponse.Buffer = False %>");
  const PageRun late = RunOne(site, L"g.asp");
  ASSERT_EQ(late.outcome.errors.size(), 1u);
  EXPECT_EQ(late.outcome.errors[0].source, L"Response object error 'ASP 0157'");
}

TEST(RunPageRequest, ServerVariablesAndQueryString) {
  TempSite site;
  site.Write(L"app/vars.asp",
             "<% For Each n In Array(\"REQUEST_METHOD\", \"CONTENT_TYPE\", \"CONTENT_LENGTH\", "
             "\"QUERY_STRING\", \"PATH_INFO\", \"PATH_TRANSLATED\", \"SCRIPT_NAME\", "
             "\"SERVER_NAME\", \"SERVER_PORT\", \"REMOTE_ADDR\", \"HTTP_X_CUSTOM_THING\", "
             "\"HTTP_USER_AGENT\", \"http_content_type\")\r\n"
             "  Response.Write n & \"=\" & Request.ServerVariables(n) & vbLf\r\nNext\r\n"
             "Response.Write \"ALL_HTTP=\" & Request.ServerVariables(\"ALL_HTTP\") & vbLf\r\n"
             "Response.Write \"a=\" & Request.QueryString(\"a\") & \";b=\" & "
             "Request.QueryString(\"B\") & \";flag=\" & Request.QueryString(\"flag\") & \";none=\" "
             "& IsEmpty(Request.QueryString(\"none\")) & vbLf\r\n"
             "Response.Write \"raw=\" & Request.QueryString & \";count=\" & "
             "Request.QueryString.Count & \";first=\" & Request.QueryString(1) & vbLf\r\n"
             "For Each k In Request.QueryString : Response.Write k & \",\" : Next\r\n"
             "Response.Write vbLf & Request(\"b\") & \"|\" & Request(\"server_port\") & \"|\" & "
             "IsEmpty(Request(\"nothing\")) %>");
  PageRequest request = site.Request(L"app/vars.asp");
  request.method = "POST";
  request.urlPath = "/app/vars.asp";
  request.queryString = "a=1&b=x%20y&a=2&flag";
  request.serverName = "example.test";
  request.serverPort = 8080;
  request.remoteAddr = "10.1.2.3";
  request.headers = {{"Content-Type", "text/plain"},
                     {"X-Custom-Thing", "v1"},
                     {"User-Agent", "tester"},
                     {"X-Custom-Thing", "v2"}};
  FakeBody body("hello");
  FakeSink sink;
  const PageOutcome outcome = kvasp::RunPage(request, body, sink);
  ASSERT_TRUE(outcome.ok) << Describe(outcome);
  const std::string path = Utf8(site.Path(L"app/vars.asp"));
  EXPECT_EQ(sink.body,
            "REQUEST_METHOD=POST\nCONTENT_TYPE=text/plain\nCONTENT_LENGTH=5\n"
            "QUERY_STRING=a=1&b=x%20y&a=2&flag\nPATH_INFO=/app/vars.asp\nPATH_TRANSLATED=" +
                path +
                "\nSCRIPT_NAME=/app/vars.asp\nSERVER_NAME=example.test\nSERVER_PORT=8080\n"
                "REMOTE_ADDR=10.1.2.3\nHTTP_X_CUSTOM_THING=v1, v2\nHTTP_USER_AGENT=tester\n"
                "http_content_type=text/plain\n"
                "ALL_HTTP=HTTP_CONTENT_TYPE:text/plain\r\nHTTP_X_CUSTOM_THING:v1, v2\r\n"
                "HTTP_USER_AGENT:tester\r\n\n"
                "a=1, 2;b=x y;flag=;none=True\n"
                "raw=a=1&b=x%20y&a=2&flag;count=3;first=1, 2\n"
                "a,b,flag,\nx y|8080|True");
  // Nothing read the body.
  EXPECT_TRUE(body.reads.empty());
}

TEST(RunPageServer, MapPathEncodingsAndCreateObject) {
  TempSite site;
  site.Write(L"sub/srv.asp",
             "<%= Server.MapPath(\"/\") %>|<%= Server.MapPath(\"/a/b.txt\") %>|"
             "<%= Server.MapPath(\"rel.txt\") %>|<%= Server.MapPath(\"../up.txt\") %>|"
             "<%= Server.MapPath(\"./deep/\") %>|"
             "<%= Server.HTMLEncode(\"<a href=\"\"x\"\">&</a>\") %>|"
             "<%= Server.URLEncode(\"a b&c/d=e.f-g\") %>|<%= Server.URLPathEncode(\"/a b/c\") %>");
  const PageRun run = RunOne(site, L"sub/srv.asp");
  ASSERT_TRUE(run.outcome.ok) << Describe(run.outcome);
  const std::string root = Utf8(site.Root());
  EXPECT_EQ(run.sink.body, root + "|" + root + "\\a\\b.txt|" + root + "\\sub\\rel.txt|" + root +
                               "\\up.txt|" + root +
                               "\\sub\\deep\\|"
                               "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;|"
                               "a+b%26c%2Fd%3De%2Ef%2Dg|/a%20b/c");

  struct Case {
    const char* code;
    const wchar_t* source;
    long number;
  };
  for (const Case& c : {Case{"x = Server.MapPath(\"../../x\")", L"ASP 0175", E_FAIL},
                        Case{"x = Server.MapPath(\"C:\\x\")", L"ASP 0172", E_FAIL},
                        Case{"Set o = Server.CreateObject(\"No.Such.Thing\")", L"ASP 0177",
                             static_cast<long>(0x800401F3L)}}) {
    site.Write(L"sub/err.asp", std::string("<%\r\n") + c.code + " %>");
    const PageRun bad = RunOne(site, L"sub/err.asp");
    ASSERT_EQ(bad.outcome.errors.size(), 1u) << c.code;
    EXPECT_NE(bad.outcome.errors[0].source.find(c.source), std::wstring::npos)
        << Utf8(bad.outcome.errors[0].source);
    EXPECT_EQ(bad.outcome.errors[0].number, c.number) << c.code;
    EXPECT_EQ(bad.outcome.errors[0].line, 2u) << c.code;
  }
}

TEST(RunPageRequest, BinaryReadPullsOnlyWhatThePageAsks) {
  TempSite site;
  site.Write(L"echo.asp",
             "<% Response.Buffer = False\r\nResponse.Write \"[\" & Request.TotalBytes & \"]\"\r\n"
             "a = Request.BinaryRead(3)\r\nResponse.BinaryWrite a\r\nResponse.Write \"|\"\r\n"
             "b = Request.BinaryRead(100)\r\nResponse.BinaryWrite b\r\n"
             "c = Request.BinaryRead(5)\r\nResponse.BinaryWrite c\r\nResponse.Write \"]\" %>");
  auto log = std::make_shared<std::vector<std::string>>();
  FakeBody body("abcdefghij", log);
  body.perRead = 2;
  FakeSink sink(log);
  const PageOutcome outcome = kvasp::RunPage(site.Request(L"echo.asp"), body, sink);
  ASSERT_TRUE(outcome.ok) << Describe(outcome);
  EXPECT_EQ(sink.body, "[10]abc|defghij]");
  // No read before the page asks; each read asks for no more than the rest of
  // what the page asked; nothing past the declared size.
  EXPECT_EQ(*log, (std::vector<std::string>{"begin 200", "send [10]", "read 3:2", "read 1:1",
                                            "send abc", "send |", "read 7:2", "read 5:2",
                                            "read 3:2", "read 1:1", "send defghij", "send ]"}));
}

TEST(RunPageRequest, IsClientConnectedFollowsTheSink) {
  TempSite site;
  site.Write(L"c.asp", "<%= Response.IsClientConnected %>");
  for (const bool connected : {true, false}) {
    FakeBody body;
    FakeSink sink;
    sink.connected = connected;
    EXPECT_TRUE(kvasp::RunPage(site.Request(L"c.asp"), body, sink).ok);
    EXPECT_EQ(sink.body, connected ? "True" : "False");
  }
}

// ---- the intrinsics through their ASP interfaces --------------------------------

TEST(Intrinsics, ObjectContextHandsOutWorkingAspInterfaces) {
  auto page = std::make_shared<kvasp::PageContext>();
  page->request.pagePath = L"C:\\site\\x.asp";
  page->request.siteRoot = L"C:\\site";
  page->request.urlPath = "/x.asp";
  FakeBody body("0123456789");
  FakeSink sink;
  page->body = &body;
  page->sink = &sink;
  kvasp::Intrinsics set = kvasp::CreateIntrinsics(page);

  kvp::ComPtr<IGetContextProperties> props;
  ASSERT_EQ(set.context->QueryInterface(IID_IGetContextProperties, props.PutVoid()), S_OK);
  kvp::ComPtr<IRequest> request;
  kvp::ComPtr<IResponse> response;
  kvp::ComPtr<IServer> server;
  for (auto [name, iid, out] : {std::tuple{L"Request", &IID_IRequest, request.PutVoid()},
                                std::tuple{L"response", &IID_IResponse, response.PutVoid()},
                                std::tuple{L"Server", &IID_IServer, server.PutVoid()}}) {
    kvp::Variant value;
    kvp::Bstr key(name);
    ASSERT_EQ(props->GetProperty(key.Get(), value.Get()), S_OK);
    ASSERT_EQ(V_VT(value.Get()), VT_DISPATCH) << Utf8(name);
    ASSERT_EQ(V_DISPATCH(value.Get())->QueryInterface(*iid, out), S_OK) << Utf8(name);
  }
  kvp::Variant sessionValue;
  kvp::Bstr session(L"Session");
  ASSERT_EQ(props->GetProperty(session.Get(), sessionValue.Get()), S_OK);
  ASSERT_EQ(V_VT(sessionValue.Get()), VT_DISPATCH);
  kvp::ComPtr<ISessionObject> sessionObject;
  ASSERT_EQ(
      V_DISPATCH(sessionValue.Get())->QueryInterface(IID_ISessionObject, sessionObject.PutVoid()),
      S_OK);
  LONG sessionCodePage = 0;
  EXPECT_EQ(sessionObject->get_CodePage(&sessionCodePage), S_OK);
  EXPECT_EQ(sessionCodePage, static_cast<LONG>(GetACP()));  // no @CodePage: the ANSI code page
  EXPECT_EQ(sessionObject->put_CodePage(12345), E_FAIL);
  kvp::Variant other;
  kvp::Bstr application(L"Application");
  EXPECT_EQ(props->GetProperty(application.Get(), other.Get()), S_OK);
  EXPECT_EQ(V_VT(other.Get()), VT_EMPTY);

  LONG total = 0;
  EXPECT_EQ(request->get_TotalBytes(&total), S_OK);
  EXPECT_EQ(total, 10);
  kvp::Variant count, bytes;
  V_VT(count.Get()) = VT_I4;
  V_I4(count.Get()) = 4;
  ASSERT_EQ(request->BinaryRead(count.Get(), bytes.Get()), S_OK);
  ASSERT_EQ(V_VT(bytes.Get()), VT_ARRAY | VT_UI1);
  EXPECT_EQ(V_VT(count.Get()), VT_I4);
  EXPECT_EQ(V_I4(count.Get()), 4);
  {
    kvp::SafeArrayLock lock(V_ARRAY(bytes.Get()));
    EXPECT_EQ(std::string(static_cast<const char*>(lock.Data()), 4), "0123");
  }
  V_I4(count.Get()) = 50;  // more than is left
  ASSERT_EQ(request->BinaryRead(count.Get(), bytes.Get()), S_OK);
  EXPECT_EQ(V_I4(count.Get()), 6);
  EXPECT_EQ(body.offset, 10u);

  kvp::ComPtr<IRequestDictionary> variables;
  ASSERT_EQ(request->get_ServerVariables(variables.Put()), S_OK);
  kvp::Variant name, translated;
  V_VT(name.Get()) = VT_BSTR;
  V_BSTR(name.Get()) = SysAllocString(L"PATH_TRANSLATED");
  ASSERT_EQ(variables->get_Item(*name.Get(), translated.Get()), S_OK);
  ASSERT_EQ(V_VT(translated.Get()), VT_BSTR);
  EXPECT_EQ(kvasp::Text(V_BSTR(translated.Get())), L"C:\\site\\x.asp");

  VARIANT_BOOL connected = VARIANT_FALSE;
  EXPECT_EQ(response->IsClientConnected(&connected), S_OK);
  EXPECT_EQ(connected, VARIANT_TRUE);
  kvp::Variant text;
  V_VT(text.Get()) = VT_BSTR;
  V_BSTR(text.Get()) = SysAllocString(L"written");
  EXPECT_EQ(response->Write(*text.Get()), S_OK);
  kvp::Bstr mapped;
  kvp::Bstr virt(L"/d/f.txt");
  EXPECT_EQ(server->MapPath(virt.Get(), mapped.Put()), S_OK);
  EXPECT_EQ(kvasp::Text(mapped.Get()), L"C:\\site\\d\\f.txt");

  // Failures carry error information.
  kvp::ComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(response->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IResponse), S_OK);
  kvp::Bstr status(L"bogus");
  EXPECT_EQ(response->put_Status(status.Get()), E_INVALIDARG);
  kvp::ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Put()), S_OK);
  kvp::Bstr source;
  info->GetSource(source.Put());
  EXPECT_EQ(kvasp::Text(source.Get()), L"Response object error 'ASP 0104'");

  set.control->Finish();
  EXPECT_EQ(sink.body, "written");
  // Once the page has finished, objects kept beyond it no longer reach the
  // body or the sink.
  page->Detach();
  EXPECT_EQ(request->get_TotalBytes(&total), E_UNEXPECTED);
  EXPECT_EQ(response->Write(*text.Get()), E_UNEXPECTED);
  EXPECT_EQ(response->IsClientConnected(&connected), S_OK);
  EXPECT_EQ(connected, VARIANT_FALSE);
}

// ---- kvParcelin.dll created by a page ----------------------------------------

const char kUploadPage[] =
    "<% Set up = Server.CreateObject(\"kvParcelin.process\") %>"
    "<%= up.TotalBytes %>|<%= up.FileQty %>|<% If up.FileQty > 0 Then %>"
    "<%= up.FileName(0) %>|<%= up.FileSize(0) %>|<% End If %><%= up.Value(\"title\") %>|"
    "<%= Response.IsClientConnected %>";

TEST(RunPageUpload, APageReadsAnUploadThroughTheComponent) {
  TempSite site;
  site.Write(L"upload.asp", kUploadPage);
  kvtest::Multipart body;
  body.Field("title", "Holiday").File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF-bytes");
  const std::string bytes = body.Body();
  PageRequest request = site.Request(L"upload.asp");
  request.method = "POST";
  request.headers = {
      {"Content-Type", "multipart/form-data; boundary=" + body.Delimiter().substr(2)}};
  FakeBody source(bytes);
  source.perRead = 7;
  FakeSink sink;
  const PageOutcome outcome = kvasp::RunPage(request, source, sink);
  ASSERT_TRUE(outcome.ok) << Describe(outcome);
  EXPECT_EQ(sink.body, std::to_string(bytes.size()) + "|1|beach.jpg|10|Holiday|True");
  EXPECT_EQ(source.offset, bytes.size());
}

// ---- code pages ------------------------------------------------------------------

// A page saved as UTF-8 declares it: its literal text goes out as it is, its
// script's strings are read as UTF-8 and Response.Write encodes in UTF-8.
TEST(RunPageCodePage, DirectiveResponseAndSessionCodePage) {
  TempSite site;
  site.Write(L"utf8.asp",
             "<%@ CodePage=65001 %>Gr\xC3\xBC\xC3\x9F"
             "e <% Response.CharSet = \"utf-8\"\r\n"
             "Response.Write \"\xE2\x82\xAC\" & Response.CodePage & \"|\" & Session.CodePage %>");
  const PageRun utf8 = RunOne(site, L"utf8.asp");
  ASSERT_TRUE(utf8.outcome.ok) << Describe(utf8.outcome);
  EXPECT_EQ(utf8.sink.body,
            "Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC"
            "65001|65001");
  EXPECT_EQ(utf8.sink.HeaderValue("Content-Type"), "text/html; charset=utf-8");

  // Without the directive the ANSI code page (1252) holds until the page
  // sets Response.CodePage; it applies to what is written afterwards. (The
  // page's own text is 1252 too: "\x80" is the euro sign.)
  site.Write(L"switch.asp",
             "<% Response.Write \"\x80\" & Response.CodePage & \"|\"\r\n"
             "Response.CodePage = 65001\r\nResponse.Write \"\x80\" & Response.CodePage %>");
  const PageRun switched = RunOne(site, L"switch.asp");
  ASSERT_TRUE(switched.outcome.ok) << Describe(switched.outcome);
  EXPECT_EQ(switched.sink.body,
            "\x80"
            "1252|\xE2\x82\xAC"
            "65001");

  // Session.CodePage sets the response's too, unless Response.CodePage was
  // set by the page.
  site.Write(L"session.asp",
             "<% Session.CodePage = 65001\r\nResponse.Write \"\xFC\"\r\n"
             "Response.CodePage = 1252\r\nSession.CodePage = 65001\r\n"
             "Response.Write \"\xFC\" & Session.CodePage & \"|\" & Response.CodePage %>");
  const PageRun session = RunOne(site, L"session.asp");
  ASSERT_TRUE(session.outcome.ok) << Describe(session.outcome);
  EXPECT_EQ(session.sink.body,
            "\xC3\xBC\xFC"
            "65001|1252");

  for (const char* page : {"<% Response.CodePage = 12345 %>", "<% Session.CodePage = 0 %>"}) {
    site.Write(L"bad.asp", page);
    const PageRun bad = RunOne(site, L"bad.asp");
    ASSERT_EQ(bad.outcome.errors.size(), 1u) << page;
    EXPECT_NE(bad.outcome.errors[0].source.find(L"'ASP 0204'"), std::wstring::npos)
        << Utf8(bad.outcome.errors[0].source);
    EXPECT_EQ(bad.sink.status, 500);
  }
}

// A UTF-8 page hands its code page to the upload object and shows the
// uploaded names exactly.
TEST(RunPageCodePage, AUtf8PageReadsNonAsciiNamesThroughTheComponent) {
  TempSite site;
  site.Write(L"upload.asp",
             "<%@ CodePage=65001 %><% Set up = Server.CreateObject(\"kvParcelin.process\")\r\n"
             "up.CodePage = Response.CodePage\r\n"
             "Response.Write up.FileName(0) & \"|\" & up.Value(\"gr\xC3\xBC\xC3\x9F"
             "e \xE2\x82\xAC\") & \"|\" & "
             "up.TagNameIndex(\"DATEI\") & \"|\" & up.CodePage %>");
  kvtest::Multipart body;
  body.Field(
          "Gr\xC3\xBC\xC3\x9F"
          "e \xE2\x82\xAC",
          "\xE2\x82\xAC 5")
      .File("datei", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E r\xC3\xA9sum\xC3\xA9.txt", "text/plain",
            "abc");
  PageRequest request = site.Request(L"upload.asp");
  request.method = "POST";
  request.headers = {
      {"Content-Type", "multipart/form-data; boundary=" + body.Delimiter().substr(2)}};
  FakeBody source(body.Body());
  FakeSink sink;
  const PageOutcome outcome = kvasp::RunPage(request, source, sink);
  ASSERT_TRUE(outcome.ok) << Describe(outcome);
  EXPECT_EQ(sink.body,
            "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E r\xC3\xA9sum\xC3\xA9.txt|\xE2\x82\xAC 5|0|65001");
}

TEST(RunPageUpload, AClientGoneMidBodyIsADisconnectForTheComponent) {
  TempSite site;
  site.Write(L"upload.asp", kUploadPage);
  kvtest::Multipart body;
  body.Field("title", "Big")
      .File("f", "C:\\big.bin", "application/octet-stream", kvtest::FillerBytes(300000, 7));
  const std::string bytes = body.Body();
  FakeBody source(bytes);
  source.goneAt = 150000;
  FakeSink sink;
  const PageOutcome outcome = kvasp::RunPage(site.Request(L"upload.asp"), source, sink);
  ASSERT_TRUE(outcome.ok) << Describe(outcome);
  // The intake stops: nothing parsed, TotalBytes 0, and no error text.
  EXPECT_EQ(sink.body, "0|0||False");
  EXPECT_EQ(source.offset, 150000u);
  ASSERT_FALSE(source.reads.empty());
  EXPECT_EQ(source.reads.back().second, -1);
  EXPECT_EQ(std::count_if(source.reads.begin(), source.reads.end(),
                          [](const auto& r) { return r.second < 0; }),
            1);
}

// ---- the run command as a program ---------------------------------------------

std::string ReadAll(const std::wstring& path) {
  std::string bytes;
  kvasp::ReadWholeFile(path, bytes);
  return bytes;
}

// The Unix path of a Windows path, as Wine maps it.
std::wstring UnixPath(const std::wstring& path) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!toUnix) return path;
  char* unixPath = toUnix(path.c_str());
  if (!unixPath) return path;
  std::wstring out = kvasp::Widen(unixPath, CP_UTF8);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return out;
}

struct Finished {
  DWORD exitCode = 999;
  std::string out, err;
};

Finished RunCli(const TempSite& site, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const std::wstring outPath = site.Path(L"stdout.txt"), errPath = site.Path(L"stderr.txt");
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + kvtest::ProgramFolder() + L"kvaspcli.exe\" " + arguments;
  Finished result;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &process)) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  result.out = ReadAll(outPath);
  result.err = ReadAll(errPath);
  return result;
}

TEST(RunCommand, RunsAPageWithABodyFromUnixPaths) {
  TempSite site;
  site.Write(
      L"www/cli.asp",
      "<% Set up = Server.CreateObject(\"kvParcelin.process\") %>"
      "<%= up.FileQty %>:<%= up.FileName(0) %>:<%= Request.ServerVariables(\"CONTENT_TYPE\") %>"
      ":<%= Request.ServerVariables(\"CONTENT_LENGTH\") %>:<%= Request.QueryString(\"q\") %>"
      ":<%= Request.ServerVariables(\"REQUEST_METHOD\") %>:<%= Server.MapPath(\"/\") %>");
  kvtest::Multipart body;
  body.File("doc", "notes.txt", "text/plain", std::string("line\0two\r\n", 10));
  const std::string bytes = body.Body();
  site.Write(L"body.bin", bytes);
  const std::wstring type = L"multipart/form-data; boundary=x";
  const Finished run =
      RunCli(site, L"\"" + UnixPath(site.Path(L"www/cli.asp")) + L"\" --body \"" +
                       UnixPath(site.Path(L"body.bin")) + L"\" --header \"Content-Type: " + type +
                       L"\" --query q=1%2B1");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "1:notes.txt:multipart/form-data; boundary=x:" + std::to_string(bytes.size()) +
                         ":1+1:POST:" + Utf8(site.Path(L"www")));

  // Binary-safe output, the head with --include, and a Windows path.
  site.Write(L"bin.asp", std::string("\0\x01\xff\r\n<%= 1 %>", 13));
  const Finished binary = RunCli(site, L"\"" + site.Path(L"bin.asp") + L"\" --include");
  EXPECT_EQ(binary.exitCode, 0u) << binary.err;
  EXPECT_EQ(binary.out, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 6\r\n\r\n" +
                            std::string("\0\x01\xff\r\n1", 6));
}

TEST(RunCommand, ReportsErrorsAndBadCommandLines) {
  TempSite site;
  site.Write(L"bad.asp", "<p>\r\n<%\r\nErr.Raise 5 %>");
  const Finished failed = RunCli(site, L"\"" + site.Path(L"bad.asp") + L"\"");
  EXPECT_EQ(failed.exitCode, 1u);
  EXPECT_EQ(failed.err, Utf8(site.Path(L"bad.asp")) +
                            "(3): Microsoft VBScript runtime error: Invalid procedure call or "
                            "argument\n");
  EXPECT_EQ(failed.out.rfind("<p>\r\n", 0), 0u);
  EXPECT_NE(failed.out.find("800a0005"), std::string::npos);

  EXPECT_EQ(RunCli(site, L"").exitCode, 2u);
  EXPECT_EQ(RunCli(site, L"x.asp --bogus").exitCode, 2u);
  EXPECT_EQ(RunCli(site, L"x.asp --header NoColon").exitCode, 2u);
  const Finished noBody = RunCli(
      site, L"\"" + site.Path(L"bad.asp") + L"\" --body \"" + site.Path(L"none.bin") + L"\"");
  EXPECT_EQ(noBody.exitCode, 2u);
  EXPECT_NE(noBody.err.find("cannot read the body file"), std::string::npos);
}

}  // namespace
