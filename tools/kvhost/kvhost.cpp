// kvhost: plays the ASP host for the upload object on a machine without IIS.
//
//   kvhost inspect BODYFILE [--chunk N] [--disconnect-at K]
//
// creates an upload object whose request body is the content of BODYFILE and
// prints, as one JSON object, what a page script would read from it. With
// --chunk N the host's BinaryRead delivers at most N bytes per call; with
// --disconnect-at K the client is gone from the K-th connection check on.
//
// The program reaches the object context through the stand-in mtxex.dll
// beside it, which the upload object uses only in a process that reports
// Windows NT 4.0 (under Wine: AppDefaults\kvhost.exe, Version nt40).
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "aspstub.h"
#include "engine/process.h"
#include "jsonwriter.h"
#include "mtxexclient.h"
#include "server/ansitext.h"
#include "server/exceptions.h"
#include "sha256.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kBodyError = 3;
constexpr int kCreationError = 4;

const char kUsage[] = "usage: kvhost inspect BODYFILE [--chunk N] [--disconnect-at K]\n";

struct Options {
  std::string bodyFile;
  long chunk = 0;
  int disconnectAt = 0;
};

bool PositiveNumber(const char* text, long& value) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 1) return false;
  value = n;
  return true;
}

std::optional<Options> ParseArguments(int argc, char** argv) {
  if (argc < 3 || std::strcmp(argv[1], "inspect") != 0) return std::nullopt;
  Options options;
  options.bodyFile = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string_view flag = argv[i];
    long n = 0;
    if (i + 1 >= argc || !PositiveNumber(argv[i + 1], n)) return std::nullopt;
    if (flag == "--chunk") {
      options.chunk = n;
    } else if (flag == "--disconnect-at") {
      options.disconnectAt = static_cast<int>(n);
    } else {
      return std::nullopt;
    }
    ++i;
  }
  return options;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::optional<std::string> ReadWholeFile(const std::string& name) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.append(buffer, n);
  if (std::ferror(file.get())) return std::nullopt;
  return bytes;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

// ANSI text as a script would receive it, in UTF-8.
std::string Utf8FromAnsi(std::string_view ansi) {
  return Utf8(kvp::ToWideString(ansi));
}

// COM for the main thread, as an ASP page's thread has it.
class Apartment {
 public:
  Apartment() : status_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(status_)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  HRESULT Status() const noexcept { return status_; }

 private:
  HRESULT status_;
};

std::string Describe(const std::exception& e) {
  std::string text = e.what();
  if (const auto* ole = dynamic_cast<const kvp::EOleSysError*>(&e)) {
    char code[32];
    std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(ole->ErrorCode()));
    text += code;
  }
  return text;
}

std::string Report(kvp::Tprocess& process, const kvstub::StubHost& host) {
  LONG total = 0;
  LONG status = 0;
  process.get_TotalBytes(&total);
  process.get_Status(&status);

  kvhost::JsonWriter json;
  json.BeginObject();
  json.Key("totalBytes");
  json.Number(total);
  json.Key("status");
  json.Number(status);
  json.Key("response");
  json.String(Utf8(host.Written()));

  json.Key("files");
  json.BeginArray();
  for (size_t i = 0; i < process.FFiles.size(); ++i) {
    const kvp::TFileRecord& file = process.FFiles[i];
    const auto index = static_cast<int32_t>(i);
    json.BeginObject();
    json.Key("tag");
    json.String(index < process.FTagNames->Count() ? Utf8FromAnsi(process.FTagNames->Strings(index))
                                                   : std::string());
    json.Key("localName");
    json.String(Utf8FromAnsi(file.LocalName));
    json.Key("fileName");
    json.String(Utf8FromAnsi(file.FileName));
    json.Key("extension");
    json.String(Utf8FromAnsi(file.Extension));
    json.Key("nameOnly");
    json.String(Utf8FromAnsi(file.NameOnly));
    json.Key("contentType");
    json.String(Utf8FromAnsi(file.ContentType));
    const int64_t size = file.Data ? file.Data->Size() : 0;
    json.Key("size");
    json.Number(size);
    json.Key("sha256");
    json.String(
        kvhost::Sha256Hex(file.Data ? file.Data->Memory() : nullptr, static_cast<size_t>(size)));
    json.EndObject();
  }
  json.EndArray();

  // As a script reads them: VarName(i), then VarByIndex(i), the value of the
  // first line with that name.
  json.Key("vars");
  json.BeginArray();
  for (int32_t i = 0; i < process.FVars->Count(); ++i) {
    const std::string name(process.FVars->Names(i));
    json.BeginObject();
    json.Key("name");
    json.String(Utf8FromAnsi(name));
    json.Key("value");
    json.String(Utf8FromAnsi(process.FVars->Values(name)));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.Text() + "\n";
}

int Inspect(const Options& options) {
  const std::optional<std::string> body = ReadWholeFile(options.bodyFile);
  if (!body) {
    std::fprintf(stderr, "kvhost: cannot read %s: %s\n", options.bodyFile.c_str(),
                 std::strerror(errno));
    return kBodyError;
  }

  const Apartment apartment;
  if (FAILED(apartment.Status())) {
    std::fprintf(stderr, "kvhost: CoInitializeEx failed (0x%08lX)\n",
                 static_cast<unsigned long>(apartment.Status()));
    return kCreationError;
  }
  const HRESULT loaded = kvstub::LoadMtxex();
  if (FAILED(loaded)) {
    std::fprintf(stderr, "kvhost: cannot load mtxex.dll from the program's folder (0x%08lX)\n",
                 static_cast<unsigned long>(loaded));
    return kCreationError;
  }

  kvstub::StubHost host;
  host.SetBody(*body);
  if (options.chunk > 0) host.LimitReads(options.chunk);
  if (options.disconnectAt > 0) host.DisconnectFrom(options.disconnectAt);
  const kvstub::ContextScope scope(host.Context());
  if (FAILED(scope.Status())) {
    std::fprintf(stderr, "kvhost: cannot set the object context (0x%08lX)\n",
                 static_cast<unsigned long>(scope.Status()));
    return kCreationError;
  }

  kvp::Tprocess process;
  try {
    process.Initialize();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvhost: creating the upload object failed: %s\n", Describe(e).c_str());
    if (kvp::ObjectContextRoute() != kvp::ContextRoute::Mtxex)
      std::fprintf(stderr,
                   "kvhost: the upload object looks for mtxex.dll only when Windows reports "
                   "NT 4.0; under Wine set HKCU\\Software\\Wine\\AppDefaults\\kvhost.exe "
                   "Version=nt40\n");
    return kCreationError;
  }

  const std::string report = Report(process, host);
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(report.data(), 1, report.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : kCreationError;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  try {
    return Inspect(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvhost: %s\n", Describe(e).c_str());
    return kCreationError;
  }
}
