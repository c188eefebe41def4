// `run PAGE ...`: one request against one page from the command line.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "asphost.h"
#include "mtxexclient.h"
#include "server/oleptr.h"
#include "textcodec.h"

namespace kvasp {

namespace {

constexpr const wchar_t* kUsage =
    L"usage: run PAGE [--body FILE] [--header NAME:VALUE]... [--query QS] [--method M]\n"
    L"           [--root DIR] [--include]\n";

struct Options {
  std::wstring page;
  std::wstring body;  // empty: no body
  std::wstring root;
  std::vector<Header> headers;
  std::string query;
  std::string method;
  bool include = false;
};

void Print(FILE* stream, std::wstring_view text) {
  const std::string bytes = Narrow(text, CP_UTF8);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

// Command-line text as the bytes of a request (the ANSI code page).
std::string Bytes(std::wstring_view text) {
  return Narrow(text, CP_ACP);
}

std::optional<Options> ParseArguments(int argc, wchar_t** argv, std::wstring& why) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    auto value = [&]() -> const wchar_t* {
      if (i + 1 >= argc) {
        why = std::wstring(arg) + L" needs a value";
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == L"--include") {
      options.include = true;
    } else if (arg == L"--body" || arg == L"--root" || arg == L"--query" || arg == L"--method" ||
               arg == L"--header") {
      const wchar_t* v = value();
      if (!v) return std::nullopt;
      if (arg == L"--body") {
        options.body = v;
      } else if (arg == L"--root") {
        options.root = v;
      } else if (arg == L"--query") {
        options.query = Bytes(v);
        if (!options.query.empty() && options.query[0] == '?') options.query.erase(0, 1);
      } else if (arg == L"--method") {
        options.method = Bytes(v);
      } else {
        const std::wstring_view header = v;
        const size_t colon = header.find(L':');
        if (colon == 0 || colon == std::wstring_view::npos) {
          why = L"--header wants NAME:VALUE, not '" + std::wstring(header) + L"'";
          return std::nullopt;
        }
        std::wstring_view content = header.substr(colon + 1);
        while (!content.empty() && content.front() == L' ') content.remove_prefix(1);
        options.headers.emplace_back(Bytes(header.substr(0, colon)), Bytes(content));
      }
    } else if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') {
      why = L"unknown option " + std::wstring(arg);
      return std::nullopt;
    } else if (options.page.empty()) {
      options.page = arg;
    } else {
      why = L"more than one page: " + std::wstring(arg);
      return std::nullopt;
    }
  }
  if (options.page.empty()) {
    why = L"no page";
    return std::nullopt;
  }
  return options;
}

// A Unix path ("/home/...") as the Windows path Wine maps it to; a Windows
// path as it is.
std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  using ToDos = WCHAR*(CDECL*)(LPCSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void (*)()>(
      kernel ? GetProcAddress(kernel, "wine_get_dos_file_name") : nullptr));
  if (toDos) {
    const std::string unixPath = Narrow(path, CP_UTF8);
    if (WCHAR* dos = toDos(unixPath.c_str())) {
      std::wstring out(dos);
      HeapFree(GetProcessHeap(), 0, dos);
      return out;
    }
  }
  std::wstring out = L"Z:" + path;
  std::replace(out.begin(), out.end(), L'/', L'\\');
  return out;
}

class File {
 public:
  explicit File(HANDLE h) noexcept : h_(h) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (Valid()) CloseHandle(h_);
  }
  bool Valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE Get() const noexcept { return h_; }

 private:
  HANDLE h_;
};

// The body: a file read as the page asks for it.
class FileBody final : public BodySource {
 public:
  FileBody(HANDLE file, int64_t size) : file_(file), size_(size) {}
  int64_t TotalBytes() override { return size_; }
  int64_t Read(uint8_t* buffer, int64_t max) override {
    DWORD got = 0;
    const DWORD ask = static_cast<DWORD>(std::min<int64_t>(max, 1 << 20));
    if (!ReadFile(file_, buffer, ask, &got, nullptr)) return -1;
    return got;
  }
  bool Connected() override { return true; }

 private:
  HANDLE file_;
  int64_t size_;
};

class EmptyBody final : public BodySource {
 public:
  int64_t TotalBytes() override { return 0; }
  int64_t Read(uint8_t*, int64_t) override { return 0; }
  bool Connected() override { return true; }
};

// The response to stdout: the body, after the head with --include.
class StdoutSink final : public ResponseSink {
 public:
  explicit StdoutSink(bool include) : include_(include) {}
  void Begin(int status, const std::string& reason, const std::vector<Header>& headers) override {
    if (!include_) return;
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    head += "\r\n";
    Send(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  }
  bool Send(const uint8_t* data, size_t size) override {
    if (std::fwrite(data, 1, size, stdout) != size) connected_ = false;
    return connected_;
  }
  bool Connected() override { return connected_; }

 private:
  bool include_;
  bool connected_ = true;
};

}  // namespace

int RunPageCommand(int argc, wchar_t** argv) {
  // The body goes out byte for byte; messages end in a bare LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::wstring why;
  const std::optional<Options> options = ParseArguments(argc, argv, why);
  if (!options) {
    Print(stderr, L"run: " + why + L"\n" + kUsage);
    return 2;
  }
  kvp::ComApartment com;
  if (FAILED(com.Status())) {
    Print(stderr, L"run: CoInitializeEx failed (" + HexStatus(com.Status()) + L")\n");
    return 2;
  }
  if (const HRESULT loaded = kvstub::LoadMtxex(); FAILED(loaded))
    Print(stderr, L"run: warning: the stand-in mtxex.dll is not loaded (" + HexStatus(loaded) +
                      L"); components find no object context\n");

  PageRequest request;
  request.pagePath = WindowsPath(options->page);
  request.siteRoot = options->root.empty() ? std::wstring() : WindowsPath(options->root);
  request.queryString = options->query;
  request.headers = options->headers;
  request.method =
      options->method.empty() ? (options->body.empty() ? "GET" : "POST") : options->method;

  std::optional<File> file;
  std::optional<FileBody> fileBody;
  EmptyBody emptyBody;
  BodySource* body = &emptyBody;
  if (!options->body.empty()) {
    const std::wstring path = WindowsPath(options->body);
    file.emplace(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file->Valid() || !GetFileSizeEx(file->Get(), &size)) {
      Print(stderr, L"run: cannot read the body file " + path + L"\n");
      return 2;
    }
    fileBody.emplace(file->Get(), size.QuadPart);
    body = &*fileBody;
    const bool declared =
        std::any_of(request.headers.begin(), request.headers.end(),
                    [](const Header& h) { return SameName(h.first, "Content-Length"); });
    if (!declared) request.headers.emplace_back("Content-Length", std::to_string(size.QuadPart));
  }

  StdoutSink sink(options->include);
  const PageOutcome outcome = RunPage(request, *body, sink);
  std::fflush(stdout);
  for (const ScriptFailure& failure : outcome.errors)
    Print(stderr, DescribeFailure(failure) + L"\n");
  std::fflush(stderr);
  return outcome.ok ? 0 : 1;
}

}  // namespace kvasp
