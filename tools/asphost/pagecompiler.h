// The ASP page compiler: turns an .asp file and the files it includes into
// one script for the page's engine, with a map from every line of that script
// back to the file and line it came from.
//
// Page syntax: <% code %>, <%= expression %>, one <%@ attr=value ... %>
// directive before any script (Language: VBScript, the default, or JScript;
// CodePage), and <!-- #include file="..." --> (relative to the including
// file's folder) or <!-- #include virtual="..." --> (relative to the site
// root) in the page's literal text, nested to any depth.
//
// The script writes literal block i with Response.WriteBlock i and an
// expression with Response.Write (e). Every piece starts a line of its own,
// except that generated writes from one source line share a line; the page's
// own lines keep their numbers while no include or shared line came before.
// A VBScript "Option Explicit" that follows literal text moves to the first
// line, where the engine wants it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kvasp {

// A file and 1-based line of the page or of an include.
struct SourceLine {
  size_t file = 0;  // index into CompiledPage::files; 0 is the page
  unsigned line = 0;
};

struct SourceFile {
  std::wstring path;       // full Windows path
  std::string text;        // the content, without a UTF-8 byte-order mark
  UINT codePage = CP_ACP;  // of its script text: UTF-8 after a byte-order mark, else the page's
};

struct CompiledPage {
  std::wstring language;   // the engine's ProgID: "VBScript" or "JScript"
  UINT codePage = CP_ACP;  // of the response's text and of the request's data
  std::wstring script;
  std::vector<std::string> blocks;  // literal text as bytes, by WriteBlock index
  std::vector<SourceFile> files;    // [0] is the page
  std::vector<SourceLine> lines;    // [i] is where generated line i + 1 came from

  // The origin of a 1-based line of the script. Line 0 (no position) answers
  // the page with line 0; a line past the end answers the last line.
  SourceLine Origin(unsigned scriptLine) const noexcept;
  // The text of a source line, decoded, without its line end.
  std::wstring LineText(const SourceLine& where) const;
};

// A page that does not compile: where, which error of the ASP family
// ("ASP 0126"), and its wording.
struct CompileError {
  std::wstring file;
  unsigned line = 0;
  std::wstring code;
  std::wstring description;
  std::wstring lineText;
  bool pageMissing = false;  // the page itself cannot be read
};

struct CompileResult {
  std::shared_ptr<const CompiledPage> page;  // null on failure
  std::optional<CompileError> error;
};

// Reads a whole file; false when it cannot be read.
using FileReader = std::function<bool(const std::wstring& path, std::string& bytes)>;
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

CompileResult CompilePage(const std::wstring& pagePath, const std::wstring& siteRoot,
                          const FileReader& read = ReadWholeFile);

// CompilePage through a cache shared by all threads: a page compiled before is
// reused while every file it read keeps its size and last-write time. Failures
// are not cached.
CompileResult CompilePageCached(const std::wstring& pagePath, const std::wstring& siteRoot);
void ClearPageCache();

// The full form of a Windows path ("/" read as "\", "." and ".." resolved).
std::wstring FullPath(const std::wstring& path);
// The folder of a path, with its trailing backslash.
std::wstring FolderOf(const std::wstring& path);

}  // namespace kvasp
