// kvParcelin.dll under the load of an IIS worker: eight single-threaded
// apartments create, read, save and release upload objects at the same
// time, each with a stand-in request of its own, through the class factory
// and by ProgID. A start gate makes the first uses of the server (type
// library and class factory), of the road to the object context and of the
// block cache race from every thread at once.
// Afterwards the library must be idle again: no object, no factory
// reference, no server lock.

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fileout/fileio.h"
#include "frame_support.h"
#include "server/ansitext.h"
#include "sta_threads.h"
#include "testsupport.h"

namespace {

using kvp::Bstr;
using kvp::ComPtr;
using kvtest::Faults;
using kvtest::Multipart;
using kvtest::ReadWhole;

constexpr int kThreads = 8;

// Rounds per thread: 500, or KV_CONCURRENCY_ROUNDS for a run under an
// emulator, where every round costs a hundred times as much.
int Rounds() {
  char text[16] = {};
  const DWORD n = GetEnvironmentVariableA("KV_CONCURRENCY_ROUNDS", text, sizeof text);
  const int asked = n > 0 && n < sizeof text ? std::atoi(text) : 0;
  return asked > 0 ? asked : 500;
}
const int kRounds = Rounds();

// ---- Files, from the test's side.

std::string TempFolder(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return temp + name + "-" + std::to_string(GetCurrentProcessId());
}

// ---- What one request sends and what the object must make of it.

struct FilePart {
  std::string tag, localName, fileName, type, content;
};

struct Request {
  const char* shape = "";
  std::string body;
  std::vector<FilePart> files;
  // FVars in order: the text fields (distinct names) and one line per file.
  std::vector<std::pair<std::string, std::string>> vars;
};

class RequestBuilder {
 public:
  RequestBuilder& Field(std::string name, std::string value) {
    parts_.Field(name, value);
    r_.vars.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  RequestBuilder& File(std::string tag, std::string localName, std::string content) {
    // "/" separates folders in a client's name as "\\" and ":" do.
    const std::string bare = localName.substr(localName.find_last_of("\\:/") + 1);
    parts_.File(tag, localName, "application/x-test", content);
    r_.vars.emplace_back(tag, localName);
    r_.files.push_back(FilePart{std::move(tag), std::move(localName), bare, "application/x-test",
                                std::move(content)});
    return *this;
  }
  Request Done(const char* shape) {
    r_.shape = shape;
    r_.body = parts_.Body();
    return std::move(r_);
  }

 private:
  Multipart parts_;
  Request r_;
};

// Bytes that hold, among filler, a near match of the delimiter line.
std::string Decoyed(size_t n, uint32_t seed) {
  std::string s = kvtest::FillerBytes(n, seed);
  const std::string decoy = "\r\n-----------------------------7d\r\n--";
  if (n > decoy.size() * 2) s.replace(n / 2, decoy.size(), decoy);
  return s;
}

// The bodies a thread sends, by round. Each is the thread's own: names and
// bytes depend on thread and round.
Request FieldsAndAPhoto(int t, int round) {
  const std::string id = "t" + std::to_string(t) + "r" + std::to_string(round);
  return RequestBuilder()
      .Field("title", "upload " + id)
      .Field("note", "line one\r\nline two of " + id)
      .File("photo", "C:\\pics\\" + id + ".jpg",
            kvtest::FillerBytes(1 + static_cast<size_t>(round * 37 % 5000), t * 1000 + round))
      .Done("fields");
}

Request SeveralFiles(int t, int round) {
  const std::string id = "t" + std::to_string(t) + "r" + std::to_string(round);
  const auto seed = static_cast<uint32_t>(t * 1000 + round);
  return RequestBuilder()
      .File("a", "one-" + id + ".bin", std::string(1, static_cast<char>('A' + t)))
      .Field("count", "3")
      .File("b", "/unix/style/" + id + ".dat", Decoyed(102401, seed))
      .File("c", "D:" + id + ".txt", Decoyed(3000 + static_cast<size_t>(round), seed + 7))
      .Done("files");
}

// So many fields that the object's lists take their pages and text blocks
// from the block cache.
Request ManyFields(int t, int round) {
  RequestBuilder b;
  for (int i = 0; i < 20000; ++i)
    b.Field("f" + std::to_string(i), std::to_string(i * 7 + t) + "-" + std::to_string(round));
  return b.File("last", "many-" + std::to_string(t) + ".bin", "x" + std::to_string(round))
      .Done("many");
}

// A body of several MiB: dozens of reads, and buffers that grow while
// other threads allocate theirs.
Request LargeFile(int t, int round) {
  return RequestBuilder()
      .Field("what", "large")
      .File("big", "big-" + std::to_string(t) + ".bin",
            kvtest::FillerBytes(4 * 1048576 + 1234, t * 1000 + round))
      .Done("large");
}

// A request with no body at all: no file, no variable, and FileSave fails.
Request NoBody() {
  Request r;
  r.shape = "no body";
  return r;
}

Request ForRound(int t, int round) {
  if (round == 0) return t % 2 ? LargeFile(t, round) : ManyFields(t, round);
  if (round % 100 == 50) return LargeFile(t, round);
  if (round % 25 == 0) return ManyFields(t, round);
  switch (round % 3) {
    case 0:
      return FieldsAndAPhoto(t, round);
    case 1:
      return SeveralFiles(t, round);
    default:
      return NoBody();
  }
}

// ---- Talking to the object.

std::string Narrow(BSTR b) {
  return kvp::ToAnsi(std::wstring_view(b ? b : L"", SysStringLen(b)));
}

Bstr B(const std::string& ansi) {
  const std::wstring w = kvp::ToWideString(ansi);
  return Bstr(w.data(), static_cast<UINT>(w.size()));
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The object, through the class factory (as a host that asks the DLL
// itself) or by ProgID (as Server.CreateObject does).
ComPtr<Iprocess> Create(kvstub::StubHost& host, bool byProgId, Faults& faults) {
  kvstub::ContextScope scope(host.Context());
  if (!faults.Check(scope.Status() == S_OK, "the thread's object context was not set")) return {};
  ComPtr<Iprocess> upload;
  if (!byProgId) {
    ComPtr<IClassFactory> factory;
    HRESULT hr =
        kvtest::TheServer().getClassObject(CLSID_process, IID_IClassFactory, factory.PutVoid());
    if (!faults.Check(hr == S_OK && factory, "DllGetClassObject: " + Hex(hr))) return {};
    hr = factory->CreateInstance(nullptr, IID_Iprocess, upload.PutVoid());
    faults.Check(hr == S_OK && upload, "CreateInstance: " + Hex(hr));
    return upload;
  }
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"kvParcelin.process", &clsid);
  if (!faults.Check(hr == S_OK && IsEqualCLSID(clsid, CLSID_process),
                    "CLSIDFromProgID: " + Hex(hr)))
    return {};
  ComPtr<IDispatch> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.PutVoid());
  if (!faults.Check(hr == S_OK && object, "CoCreateInstance: " + Hex(hr))) return {};
  hr = object->QueryInterface(IID_Iprocess, upload.PutVoid());
  faults.Check(hr == S_OK && upload, "QueryInterface(Iprocess): " + Hex(hr));
  return upload;
}

// A BSTR property with one argument, through the dual interface.
template <typename Arg>
std::string Text(Iprocess* upload, HRESULT (STDMETHODCALLTYPE Iprocess::*get)(Arg, BSTR*),
                 Arg arg) {
  Bstr value;
  if (FAILED((upload->*get)(arg, value.Put()))) return "<failed>";
  return Narrow(value.Get());
}

LONG Number(Iprocess* upload, HRESULT (STDMETHODCALLTYPE Iprocess::*get)(LONG*)) {
  LONG value = -1;
  return SUCCEEDED((upload->*get)(&value)) ? value : -2;
}

std::string FileData(Iprocess* upload, LONG index) {
  kvp::Variant value;
  if (FAILED(upload->get_FileData(index, value.Get())) || value->vt != (VT_ARRAY | VT_UI1))
    return "<no byte array>";
  kvp::SafeArrayLock lock(value->parray);
  if (!lock.Locked()) return "<unlocked>";
  return std::string(static_cast<const char*>(lock.Data()), value->parray->rgsabound[0].cElements);
}

// By name, through the type library, as a page script calls.
std::string TextByName(Iprocess* upload, const wchar_t* member, VARIANT arg) {
  kvtest::DispResult r;
  kvtest::CallByName(upload, member, DISPATCH_PROPERTYGET, {arg}, r);
  if (r.status != S_OK || r.value->vt != VT_BSTR) return "<failed: " + Hex(r.status) + ">";
  return Narrow(r.value->bstrVal);
}

VARIANT TextArg(BSTR text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}

VARIANT LongArg(LONG n) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

// Records a difference between what the object said and what it should.
template <typename T>
void Same(Faults& faults, const T& got, const T& want, const std::string& what) {
  std::ostringstream text;
  text << what << ": " << ::testing::PrintToString(got) << ", expected "
       << ::testing::PrintToString(want);
  if (!(got == want)) faults.Add(text.str());
}

// Everything the object reports of the request, against what was sent.
void CheckReading(Iprocess* upload, const Request& r, const std::string& where, Faults& faults) {
  Same(faults, Number(upload, &Iprocess::get_TotalBytes), static_cast<LONG>(r.body.size()),
       where + "TotalBytes");
  Same(faults, Number(upload, &Iprocess::get_Status), LONG{0}, where + "Status");
  const LONG files = Number(upload, &Iprocess::get_FileQty);
  Same(faults, files, static_cast<LONG>(r.files.size()), where + "FileQty");
  if (files != static_cast<LONG>(r.files.size())) return;
  for (size_t i = 0; i < r.files.size(); ++i) {
    const auto index = static_cast<LONG>(i);
    const FilePart& f = r.files[i];
    const std::string at = where + "file " + std::to_string(i) + ": ";
    Same(faults, Text(upload, &Iprocess::get_FileName, index), f.fileName, at + "FileName");
    Same(faults, Text(upload, &Iprocess::get_LocalName, index), f.localName, at + "LocalName");
    Same(faults, Text(upload, &Iprocess::get_ContentType, index), f.type, at + "ContentType");
    LONG size = -1;
    upload->get_FileSize(index, &size);
    Same(faults, size, static_cast<LONG>(f.content.size()), at + "FileSize");
    faults.Check(FileData(upload, index) == f.content, at + "FileData: other bytes than sent");
  }
  const LONG vars = Number(upload, &Iprocess::get_VarCount);
  Same(faults, vars, static_cast<LONG>(r.vars.size()), where + "VarCount");
  if (vars != static_cast<LONG>(r.vars.size())) return;
  // Every line of a small list; a sample of a long one.
  const size_t step = r.vars.size() > 100 ? 397 : 1;
  for (size_t i = 0; i < r.vars.size(); i += step) {
    const auto index = static_cast<LONG>(i);
    const std::string at = where + "variable " + std::to_string(i) + ": ";
    Same(faults, Text(upload, &Iprocess::get_VarName, index), r.vars[i].first, at + "VarName");
    Same(faults, Text(upload, &Iprocess::get_VarByIndex, index), r.vars[i].second,
         at + "VarByIndex");
  }
  if (!r.vars.empty()) {
    const auto& last = r.vars.back();
    Bstr name = B(last.first);
    Same(faults, Text(upload, &Iprocess::get_Value, name.Get()), last.second, where + "Value");
    Same(faults, TextByName(upload, L"Value", TextArg(name.Get())), last.second,
         where + "Value by name");
  }
  if (!r.files.empty())
    Same(faults, TextByName(upload, L"FileName", LongArg(0)), r.files[0].fileName,
         where + "FileName by name");
}

// The description of the calling thread's error information.
std::string ErrorText() {
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  return Narrow(description.Get());
}

// Saves file 0 under a fresh name and under a taken one, and reads the
// files back; with no file, the save fails and says why.
void CheckSaving(Iprocess* upload, const Request& r, const std::string& folder, int round,
                 const std::string& where, Faults& faults) {
  const std::string stem = folder + "\\r" + std::to_string(round);
  Bstr target = B(stem + ".bin");
  faults.Check(upload->put_OverwriteMode(1) == S_OK, where + "OverwriteMode 1");
  const HRESULT saved = upload->FileSave(target.Get(), 0);
  if (r.files.empty()) {
    Same(faults, Hex(saved), Hex(E_UNEXPECTED), where + "FileSave without a file");
    Same(faults, ErrorText(), std::string("Index out of range or no file uploaded."),
         where + "FileSave without a file");
    return;
  }
  Same(faults, Hex(saved), Hex(S_OK), where + "FileSave, mode 1");
  faults.Check(ReadWhole(stem + ".bin") == r.files[0].content, where + "saved bytes differ");
  if (round % 10 == 0) {
    faults.Check(upload->put_OverwriteMode(2) == S_OK, where + "OverwriteMode 2");
    Same(faults, Hex(upload->FileSave(target.Get(), 0)), Hex(S_OK), where + "FileSave, mode 2");
    Same(faults, Text(upload, &Iprocess::get_NewName, LONG{0}),
         "r" + std::to_string(round) + "~1.bin", where + "NewName");
    faults.Check(ReadWhole(stem + "~1.bin") == r.files[0].content,
                 where + "numbered file's bytes differ");
    DeleteFileA((stem + "~1.bin").c_str());
  }
  DeleteFileA((stem + ".bin").c_str());
}

// One thread's life: many requests, one after another.
void Serve(int t, kvtest::Gate& gate, Faults& faults) {
  const std::string folder = TempFolder("kvconcurrency-" + std::to_string(t));
  if (!faults.Check(CreateDirectoryA(folder.c_str(), nullptr) != FALSE, "cannot create " + folder))
    return;
  bool locked = false;  // this thread holds a server lock
  Request r = ForRound(t, 0);
  gate.Wait();
  for (int round = 0; round < kRounds; ++round) {
    if (round > 0) r = ForRound(t, round);
    const std::string where = "round " + std::to_string(round) + " (" + r.shape + "): ";
    kvstub::StubHost host;
    host.SetBody(r.body);
    {
      ComPtr<Iprocess> upload = Create(host, (t + round) % 2 == 1, faults);
      if (!upload) continue;
      CheckReading(upload.Get(), r, where, faults);
      CheckSaving(upload.Get(), r, folder, round, where, faults);
    }
    // A server lock held over a stretch of rounds, by itself: the factory
    // reference that took it is gone.
    if (round == 100 + t) {
      ComPtr<IClassFactory> factory = kvtest::Factory();
      locked = factory && SUCCEEDED(factory->LockServer(TRUE));
      faults.Check(locked, "LockServer(TRUE)");
    } else if (round == 200 + t && locked) {
      ComPtr<IClassFactory> factory = kvtest::Factory();
      locked = !(factory && SUCCEEDED(factory->LockServer(FALSE)));
      faults.Check(!locked, "LockServer(FALSE)");
    }
  }
  faults.Check(RemoveDirectoryA(folder.c_str()) != FALSE, "files were left in " + folder);
}

// Registers kvParcelin.dll the way an administrator does, with regsvr32 in
// a process of its own, so that nothing of the server has started in this
// one before the threads race for it. Unregisters at the end.
class Registered {
 public:
  Registered() {
    std::wstring command = L"regsvr32.exe /s \"" + kvtest::ProgramFolder() + L"kvParcelin.dll\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
      return;
    kvp::FileHandle processHandle(process.hProcess), threadHandle(process.hThread);
    DWORD code = 1;
    ok_ = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(process.hProcess, &code) && code == 0;
  }
  ~Registered() {
    if (kvtest::TheServer().unregisterServer) kvtest::TheServer().unregisterServer();
  }
  Registered(const Registered&) = delete;
  Registered& operator=(const Registered&) = delete;
  bool Ok() const noexcept { return ok_; }

 private:
  bool ok_ = false;
};

TEST(Concurrency, EightApartmentsCreateReadSaveAndReleaseUploadObjects) {
  const Registered registered;
  ASSERT_TRUE(registered.Ok()) << "regsvr32 could not register kvParcelin.dll";
  const kvtest::Server& server = kvtest::TheServer();
  ASSERT_NE(server.module, nullptr) << "kvParcelin.dll not found";
  const long hostObjects = kvstub::StubHost::LiveObjects();

  const ULONGLONG start = GetTickCount64();
  const std::string faults = kvtest::RunOnStaThreads(kThreads, Serve);
  const ULONGLONG took = GetTickCount64() - start;
  EXPECT_EQ(faults, "");
  std::printf("%d threads x %d rounds: %llu ms\n", kThreads, kRounds, took);

  // Idle again: no object, no factory reference, no lock.
  EXPECT_EQ(server.canUnloadNow(), S_OK);
  EXPECT_EQ(kvstub::StubHost::LiveObjects(), hostObjects)
      << "references to the stand-in host's objects were not released";
}

}  // namespace
