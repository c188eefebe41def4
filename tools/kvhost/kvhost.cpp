// kvhost: plays the ASP host for kvParcelin.dll on a machine without IIS.
//
//   kvhost inspect BODYFILE [--chunk N] [--disconnect-at K] [--registered]
//                  [--call MEMBER [ARG...]]... [--put MEMBER VALUE]...
//                  [--save DIR]... [--mode N] [--codepage N]
//   kvhost register | unregister
//
// inspect creates an upload object whose request body is the content of
// BODYFILE, the way ASP's Server.CreateObject does: by default through the
// class factory of the kvParcelin.dll beside this program
// (DllGetClassObject, IClassFactory::CreateInstance), with --registered
// through COM activation of the registered ProgID kvParcelin.process. It then
// talks to the object only through IDispatch, calling members by name as a
// script does, and prints one JSON object: what a page script reads from the
// object, and the outcome of every call the command line asked for.
//
// With --chunk N the host's BinaryRead delivers at most N bytes per call; with
// --disconnect-at K the client is gone from the K-th connection check on.
// --call MEMBER ARG... calls a member (a property get, or a method when the
// type information says it is one); --put MEMBER VALUE sets a property; an
// argument that reads as a 32-bit integer goes as VT_I4, any other as
// VT_BSTR. --save DIR saves every file item as DIR\FileName with FileSave,
// after putting OverwriteMode N when --mode N is given. Calls, puts and saves
// run in command-line order after the object has been read. --codepage N puts
// CodePage N before anything is read, so that every text of the report is as
// a page that sets it sees it (the put is the report's first call).
//
// register and unregister call DllRegisterServer / DllUnregisterServer of
// the kvParcelin.dll beside this program.
//
// The program reaches the object context through the stand-in mtxex.dll
// beside it, which the upload object uses only in a process that reports
// Windows NT 4.0 (under Wine: AppDefaults\kvhost.exe, Version nt40).
#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "aspstub.h"
#include "asphost.h"
#include "automation.h"
#include "httpserve.h"
#include "jsonwriter.h"
#include "mtxexclient.h"
#include "options.h"
#include "serverdll.h"
#include "server/oleptr.h"

namespace {

using kvhost::ByteSummary;
using kvhost::CallArg;
using kvhost::CallKind;
using kvhost::CallOutcome;
using kvhost::Dispatcher;
using kvhost::Utf8;
using kvhost::VariantList;

constexpr int kUsageError = 2;
constexpr int kBodyError = 3;
constexpr int kCreationError = 4;  // also: the server cannot be loaded or (un)registered
constexpr int kReportError = 5;    // a member the report reads failed or answered nonsense

// A member that the report itself reads failed: the report cannot be made.
class ReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- arguments ----------------------------------------------------------------

CallArg Index(LONG value) {
  CallArg arg;
  arg.isNumber = true;
  arg.number = value;
  return arg;
}

CallArg TextArg(std::wstring text) {
  CallArg arg;
  arg.text = std::move(text);
  return arg;
}

void Fill(VariantList& list, std::span<const CallArg> args) {
  for (const CallArg& arg : args) {
    if (arg.isNumber)
      list.AddLong(arg.number);
    else
      list.AddText(arg.text);
  }
}

// A call as a script writes it: Name(0, "x").
std::string CallText(std::wstring_view member, std::span<const CallArg> args) {
  std::string text = Utf8(member);
  if (args.empty()) return text;
  text += '(';
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ", ";
    text +=
        args[i].isNumber ? std::to_string(args[i].number) : kvhost::JsonQuote(Utf8(args[i].text));
  }
  return text + ')';
}

// ---- what the report holds ----------------------------------------------------

// A result variant in the terms the report prints.
struct Value {
  enum class Type { Null, Bool, Number, Text, Bytes, Other };
  Type type = Type::Null;
  bool flag = false;
  int64_t number = 0;
  std::string text;  // Text, Other (the variant as text, when it converts)
  ByteSummary bytes;
  VARTYPE vartype = VT_EMPTY;  // Other
};

Value Capture(const VARIANT& v) {
  Value value;
  switch (V_VT(&v)) {
    case VT_EMPTY:
    case VT_NULL:
      return value;
    case VT_BOOL:
      value.type = Value::Type::Bool;
      value.flag = V_BOOL(&v) != VARIANT_FALSE;
      return value;
    case VT_I1:
      value.number = V_I1(&v);
      break;
    case VT_I2:
      value.number = V_I2(&v);
      break;
    case VT_I4:
      value.number = V_I4(&v);
      break;
    case VT_INT:
      value.number = V_INT(&v);
      break;
    case VT_I8:
      value.number = V_I8(&v);
      break;
    case VT_UI1:
      value.number = V_UI1(&v);
      break;
    case VT_UI2:
      value.number = V_UI2(&v);
      break;
    case VT_UI4:
      value.number = V_UI4(&v);
      break;
    case VT_UINT:
      value.number = V_UINT(&v);
      break;
    case VT_BSTR:
      value.type = Value::Type::Text;
      value.text = Utf8(V_BSTR(&v));
      return value;
    case VT_ARRAY | VT_UI1:
      if (const auto bytes = kvhost::SummarizeBytes(V_ARRAY(&v))) {
        value.type = Value::Type::Bytes;
        value.bytes = *bytes;
        return value;
      }
      [[fallthrough]];
    default: {
      value.type = Value::Type::Other;
      value.vartype = V_VT(&v);
      // The conversion only reads its source.
      kvp::Variant text;
      if (SUCCEEDED(VariantChangeType(text.Get(), const_cast<VARIANT*>(&v), 0, VT_BSTR)))
        value.text = Utf8(V_BSTR(text.Get()));
      return value;
    }
  }
  value.type = Value::Type::Number;
  return value;
}

// One call of the command line (or of a save), with its outcome.
struct CallRecord {
  std::wstring member;
  CallKind kind = CallKind::Either;
  std::vector<CallArg> args;
  bool failed = false;
  Value result;           // when it succeeded
  HRESULT status = S_OK;  // when it failed, and the rest of the failure
  std::wstring source;
  std::wstring description;
  std::wstring helpFile;
  DWORD helpContext = 0;
};

struct FileReport {
  std::wstring tag;
  std::wstring localName;
  std::wstring fileName;
  std::wstring extension;
  std::wstring nameOnly;
  std::wstring contentType;
  LONG size = 0;
  std::string sha256;
  std::wstring newName;
};

struct VarReport {
  std::wstring name;
  std::wstring value;
};

struct Report {
  const char* activation = "";
  std::wstring server;  // the kvParcelin.dll that serves the object
  LONG totalBytes = 0;
  LONG status = 0;
  std::wstring response;
  std::vector<FileReport> files;
  std::vector<VarReport> vars;
  std::vector<CallRecord> calls;
};

// ---- talking to the object --------------------------------------------------

// The reads the report is made of; any failure ends the report.
class Reader {
 public:
  explicit Reader(Dispatcher& object) : object_(object) {}

  LONG Long(const wchar_t* name, std::initializer_list<CallArg> args = {}) {
    return V_I4(&Get(name, args, VT_I4));
  }

  std::wstring Text(const wchar_t* name, std::initializer_list<CallArg> args) {
    const BSTR text = V_BSTR(&Get(name, args, VT_BSTR));
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
  }

  // A file's bytes as FileData hands them to a script: a one-dimensional
  // byte array, counted from 1, of exactly `size` elements.
  ByteSummary Bytes(const wchar_t* name, LONG index, LONG size) {
    const std::initializer_list<CallArg> args = {Index(index)};
    SAFEARRAY* array = V_ARRAY(&Get(name, args, VT_ARRAY | VT_UI1));
    const std::string call = CallText(name, args);
    LONG lower = 0;
    if (!array || SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)))
      throw ReportError(call + ": not a one-dimensional array");
    if (lower != 1)
      throw ReportError(call + ": the array counts from " + std::to_string(lower) + ", not 1");
    const std::optional<ByteSummary> bytes = kvhost::SummarizeBytes(array);
    if (!bytes) throw ReportError(call + ": the array's bytes cannot be read");
    if (bytes->count != size)
      throw ReportError(call + ": " + std::to_string(bytes->count) + " elements, FileSize " +
                        std::to_string(size));
    return *bytes;
  }

 private:
  const VARIANT& Get(const wchar_t* name, std::span<const CallArg> args, VARTYPE type) {
    VariantList list;
    Fill(list, args);
    object_.Call(name, list.Items(), outcome_);
    if (outcome_.Failed()) throw ReportError(outcome_.Describe(CallText(name, args)));
    const VARIANT& result = *outcome_.result.Get();
    if (V_VT(&result) != type)
      throw ReportError(CallText(name, args) + ": a variant of type " +
                        std::to_string(V_VT(&result)) + " where " + std::to_string(type) +
                        " was expected");
    return result;
  }

  Dispatcher& object_;
  CallOutcome outcome_;
};

CallRecord Perform(Dispatcher& object, const std::wstring& member, bool put,
                   std::vector<CallArg> args) {
  VariantList list;
  Fill(list, args);
  CallOutcome outcome;
  if (put)
    object.Put(member.c_str(), list.Items().front(), outcome);
  else
    object.Call(member.c_str(), list.Items(), outcome);

  CallRecord record;
  record.member = member;
  record.kind = outcome.kind;
  record.args = std::move(args);
  record.failed = outcome.Failed();
  if (!record.failed) {
    record.result = Capture(*outcome.result.Get());
    return record;
  }
  record.status = outcome.status;
  record.source = std::move(outcome.source);
  record.description = std::move(outcome.description);
  record.helpFile = std::move(outcome.helpFile);
  record.helpContext = outcome.helpContext;
  return record;
}

// DIR\NAME, without doubling a separator that DIR ends with.
std::wstring Join(const std::wstring& dir, const std::wstring& name) {
  if (!dir.empty() && (dir.back() == L'\\' || dir.back() == L':')) return dir + name;
  return dir + L"\\" + name;
}

void Save(Dispatcher& object, Reader& reader, const std::wstring& dir, std::optional<LONG> mode,
          std::vector<CallRecord>& calls) {
  if (mode) calls.push_back(Perform(object, L"OverwriteMode", true, {Index(*mode)}));
  const std::wstring folder = kvhost::WindowsPath(dir);
  const LONG count = reader.Long(L"FileQty");
  for (LONG i = 0; i < count; ++i) {
    const std::wstring target = Join(folder, reader.Text(L"FileName", {Index(i)}));
    calls.push_back(Perform(object, L"FileSave", false, {TextArg(target), Index(i)}));
  }
}

// What a page script reads from the object, member by member.
void ReadObject(Reader& reader, Report& report) {
  report.totalBytes = reader.Long(L"TotalBytes");
  report.status = reader.Long(L"Status");

  // VarName(i), then VarByIndex(i): the value of the first line with that name.
  const LONG varCount = reader.Long(L"VarCount");
  for (LONG i = 0; i < varCount; ++i)
    report.vars.push_back(
        {reader.Text(L"VarName", {Index(i)}), reader.Text(L"VarByIndex", {Index(i)})});

  // No member names the field that delivered a file: the tag of file i is the
  // first variable name whose TagNameIndex is i.
  std::map<LONG, std::wstring> tags;
  for (const VarReport& var : report.vars)
    tags.try_emplace(reader.Long(L"TagNameIndex", {TextArg(var.name)}), var.name);

  const LONG fileCount = reader.Long(L"FileQty");
  for (LONG i = 0; i < fileCount; ++i) {
    FileReport file;
    if (const auto tag = tags.find(i); tag != tags.end()) file.tag = tag->second;
    file.localName = reader.Text(L"LocalName", {Index(i)});
    file.fileName = reader.Text(L"FileName", {Index(i)});
    file.extension = reader.Text(L"Extension", {Index(i)});
    file.nameOnly = reader.Text(L"NameOnly", {Index(i)});
    file.contentType = reader.Text(L"ContentType", {Index(i)});
    file.size = reader.Long(L"FileSize", {Index(i)});
    file.sha256 = reader.Bytes(L"FileData", i, file.size).sha256;
    report.files.push_back(std::move(file));
  }
}

// ---- printing -------------------------------------------------------------------

void WriteValue(kvhost::JsonWriter& json, const Value& value) {
  switch (value.type) {
    case Value::Type::Null:
      json.Null();
      return;
    case Value::Type::Bool:
      json.Bool(value.flag);
      return;
    case Value::Type::Number:
      json.Number(value.number);
      return;
    case Value::Type::Text:
      json.String(value.text);
      return;
    case Value::Type::Bytes:
      json.BeginObject();
      json.Key("bytes");
      json.Number(value.bytes.count);
      json.Key("sha256");
      json.String(value.bytes.sha256);
      json.EndObject();
      return;
    case Value::Type::Other:
      json.BeginObject();
      json.Key("vartype");
      json.Number(value.vartype);
      json.Key("text");
      json.String(value.text);
      json.EndObject();
      return;
  }
}

void WriteCall(kvhost::JsonWriter& json, const CallRecord& call) {
  json.BeginObject();
  json.Key("call");
  json.String(Utf8(call.member));
  json.Key("kind");
  json.String(kvhost::KindName(call.kind));
  json.Key("args");
  json.BeginArray();
  for (const CallArg& arg : call.args) {
    if (arg.isNumber)
      json.Number(arg.number);
    else
      json.String(Utf8(arg.text));
  }
  json.EndArray();
  if (call.failed) {
    json.Key("status");
    json.String(kvhost::StatusText(call.status));
    json.Key("source");
    json.String(Utf8(call.source));
    json.Key("description");
    json.String(Utf8(call.description));
    json.Key("helpFile");
    json.String(Utf8(call.helpFile));
    json.Key("helpContext");
    json.Number(call.helpContext);
  } else {
    json.Key("result");
    WriteValue(json, call.result);
  }
  json.EndObject();
}

std::string Render(const Report& report) {
  kvhost::JsonWriter json;
  json.BeginObject();
  json.Key("activation");
  json.String(report.activation);
  json.Key("server");
  json.String(Utf8(report.server));
  json.Key("totalBytes");
  json.Number(report.totalBytes);
  json.Key("status");
  json.Number(report.status);
  json.Key("response");
  json.String(Utf8(report.response));

  json.Key("files");
  json.BeginArray();
  for (const FileReport& file : report.files) {
    json.BeginObject();
    json.Key("tag");
    json.String(Utf8(file.tag));
    json.Key("localName");
    json.String(Utf8(file.localName));
    json.Key("fileName");
    json.String(Utf8(file.fileName));
    json.Key("extension");
    json.String(Utf8(file.extension));
    json.Key("nameOnly");
    json.String(Utf8(file.nameOnly));
    json.Key("contentType");
    json.String(Utf8(file.contentType));
    json.Key("size");
    json.Number(file.size);
    json.Key("sha256");
    json.String(file.sha256);
    json.Key("newName");
    json.String(Utf8(file.newName));
    json.EndObject();
  }
  json.EndArray();

  json.Key("vars");
  json.BeginArray();
  for (const VarReport& var : report.vars) {
    json.BeginObject();
    json.Key("name");
    json.String(Utf8(var.name));
    json.Key("value");
    json.String(Utf8(var.value));
    json.EndObject();
  }
  json.EndArray();

  json.Key("calls");
  json.BeginArray();
  for (const CallRecord& call : report.calls) WriteCall(json, call);
  json.EndArray();
  json.EndObject();
  return json.Text() + "\n";
}

int Print(const std::string& text) {
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : kCreationError;
}

// ---- the commands ---------------------------------------------------------------

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::optional<std::string> ReadWholeFile(const std::wstring& name) {
  std::unique_ptr<std::FILE, FileCloser> file(_wfopen(name.c_str(), L"rb"));
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.append(buffer, n);
  if (std::ferror(file.get())) return std::nullopt;
  return bytes;
}

void Fail(const char* what, HRESULT status) {
  std::fprintf(stderr, "kvhost: %s (0x%08lX)\n", what, static_cast<unsigned long>(status));
}

int Inspect(const kvhost::Options& options) {
  const std::optional<std::string> body = ReadWholeFile(options.bodyFile);
  if (!body) {
    std::fprintf(stderr, "kvhost: cannot read %s: %s\n", Utf8(options.bodyFile).c_str(),
                 std::strerror(errno));
    return kBodyError;
  }

  const kvp::ComApartment apartment;
  if (FAILED(apartment.Status())) {
    Fail("CoInitializeEx failed", apartment.Status());
    return kCreationError;
  }
  const HRESULT loaded = kvstub::LoadMtxex();
  if (FAILED(loaded)) {
    Fail("cannot load mtxex.dll from the program's folder", loaded);
    return kCreationError;
  }
  kvhost::ServerLibrary server;
  if (!options.registered) {
    const HRESULT hr = server.Load();
    if (FAILED(hr)) {
      std::fprintf(stderr, "kvhost: cannot load %s (0x%08lX)\n", Utf8(server.Path()).c_str(),
                   static_cast<unsigned long>(hr));
      return kCreationError;
    }
  }

  kvstub::StubHost host;
  host.SetBody(*body);
  if (options.chunk > 0) host.LimitReads(options.chunk);
  if (options.disconnectAt > 0) host.DisconnectFrom(options.disconnectAt);
  // The request's context stays current for every call, as in a page.
  const kvstub::ContextScope scope(host.Context());
  if (FAILED(scope.Status())) {
    Fail("cannot set the object context", scope.Status());
    return kCreationError;
  }

  kvp::ComPtr<IDispatch> created;
  const HRESULT hr = options.registered ? kvhost::CreateRegistered(created)
                                        : kvhost::CreateThroughFactory(server, created);
  if (FAILED(hr) || !created) {
    if (options.registered && hr == CO_E_CLASSSTRING) {
      Fail(
          "kvParcelin.process is not registered (kvhost register registers the DLL beside "
          "kvhost.exe)",
          hr);
      return kCreationError;
    }
    Fail("creating the upload object failed", FAILED(hr) ? hr : E_POINTER);
    if (!kvhost::ReportsNt4())
      std::fputs(
          "kvhost: the upload object looks for mtxex.dll only when Windows reports NT 4.0; "
          "under Wine set HKCU\\Software\\Wine\\AppDefaults\\kvhost.exe Version=nt40\n",
          stderr);
    return kCreationError;
  }

  Report report;
  report.activation = options.registered ? "registered" : "dll";
  report.server = kvhost::LoadedModulePath(kvhost::kServerFile);
  {
    Dispatcher object(std::move(created));
    Reader reader(object);
    if (options.codePage) {
      CallRecord put = Perform(object, L"CodePage", true, {Index(*options.codePage)});
      if (put.failed)
        throw ReportError("CodePage = " + std::to_string(*options.codePage) + ": " +
                          Utf8(put.description));
      report.calls.push_back(std::move(put));
    }
    ReadObject(reader, report);
    for (const kvhost::Action& action : options.actions) {
      switch (action.type) {
        case kvhost::Action::Type::Call:
          report.calls.push_back(Perform(object, action.member, false, action.args));
          break;
        case kvhost::Action::Type::Put:
          report.calls.push_back(Perform(object, action.member, true, action.args));
          break;
        case kvhost::Action::Type::Save:
          Save(object, reader, action.dir, options.mode, report.calls);
          break;
      }
    }
    for (size_t i = 0; i < report.files.size(); ++i)
      report.files[i].newName = reader.Text(L"NewName", {Index(static_cast<LONG>(i))});
  }
  report.response = host.Written();
  return Print(Render(report));
}

int Registration(kvhost::Command command) {
  const bool registering = command == kvhost::Command::Register;
  const kvp::ComApartment apartment;
  if (FAILED(apartment.Status())) {
    Fail("CoInitializeEx failed", apartment.Status());
    return kCreationError;
  }
  kvhost::ServerLibrary server;
  HRESULT hr = server.Load();
  if (FAILED(hr)) {
    std::fprintf(stderr, "kvhost: cannot load %s (0x%08lX)\n", Utf8(server.Path()).c_str(),
                 static_cast<unsigned long>(hr));
    return kCreationError;
  }
  hr = registering ? server.RegisterServer() : server.UnregisterServer();

  kvhost::JsonWriter json;
  json.BeginObject();
  json.Key("command");
  json.String(registering ? "register" : "unregister");
  json.Key("server");
  json.String(Utf8(server.Path()));
  json.Key("status");
  json.String(kvhost::StatusText(hr));
  json.EndObject();
  const int printed = Print(json.Text() + "\n");
  if (FAILED(hr)) {
    Fail(registering ? "DllRegisterServer failed" : "DllUnregisterServer failed", hr);
    return kCreationError;
  }
  return printed;
}

struct LocalFreer {
  void operator()(LPWSTR* p) const { LocalFree(p); }
};

// The command line as wide text: names and texts arrive as they were typed.
std::vector<std::wstring> Arguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::wstring> args;
  for (int i = 1; argv && i < count; ++i) args.emplace_back(argv.get()[i]);
  return args;
}

// Subcommands served by other parts of the local host: they take the
// command line from their own name on.
int Delegate(int (*command)(int, wchar_t**)) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv || count < 2) return kUsageError;
  return command(count - 1, argv.get() + 1);
}

}  // namespace

int main() {
  try {
    const std::vector<std::wstring> args = Arguments();
    if (!args.empty() && args[0] == L"run") return Delegate(kvasp::RunPageCommand);
    if (!args.empty() && args[0] == L"serve") return Delegate(ServeCommand);
    const std::optional<kvhost::Options> options = kvhost::ParseArguments(args);
    if (!options) {
      std::fputs(kvhost::kUsage, stderr);
      return kUsageError;
    }
    if (options->command != kvhost::Command::Inspect) return Registration(options->command);
    return Inspect(*options);
  } catch (const ReportError& e) {
    std::fprintf(stderr, "kvhost: %s\n", e.what());
    return kReportError;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvhost: %s\n", e.what());
    return kCreationError;
  }
}
