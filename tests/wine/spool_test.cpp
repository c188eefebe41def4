// Bodies spooled to disk: the spool file is private, temporary and gone with
// the object (and with the process); a spooled body gives every member the
// same results as one held in memory; and a spool folder that is missing,
// refuses the file or fills up, a client that leaves, a spool that cannot be
// read back and a save whose write fails midway all end as they must, with
// no spool file left behind.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/spoolsettings.h"
#include "import_patch.h"
#include "server/oleptr.h"
#include "testsupport.h"

namespace {

using kvtest::FillerBytes;
using kvtest::Multipart;

const std::wstring kFailureText = L"Error reading uploaded file or form data.";

// The files in a folder, by name.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::wstring FreshFolder(const wchar_t* leaf) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  std::wstring folder =
      std::wstring(temp) + L"kvspool-" + leaf + L"-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const std::wstring& name : FilesIn(folder)) DeleteFileW((folder + L"\\" + name).c_str());
  return folder;
}

std::string Read(const std::wstring& path) {
  return kvtest::ReadWhole(std::string(path.begin(), path.end()));
}

std::string Upload(size_t photo = 300000) {
  return Multipart()
      .Field("title", "Holiday")
      .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", FillerBytes(photo, 1))
      .Field("note", "line one\r\nline two")
      .File("doc", "a.tar.gz", "application/gzip", FillerBytes(5, 2))
      .Body();
}

// What a page can read of an object, files' bytes included.
std::vector<std::string> Seen(const kvp::Tprocess& p) {
  std::vector<std::string> seen = kvtest::VarLines(p);
  seen.push_back("status " + std::to_string(p.FStatus));
  for (size_t i = 0; i < p.FFiles.size(); ++i) {
    const kvp::TFileText t = p.FileText(i);
    for (const std::string* s :
         {&t.TagName, &t.LocalName, &t.ContentType, &t.FileName, &t.Extension, &t.NameOnly})
      seen.push_back(*s);
    seen.push_back(kvtest::ItemBytes(p, i));
  }
  return seen;
}

std::wstring LastError() {
  kvp::ComPtr<IErrorInfo> info;
  kvp::Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  return description.Get() ? std::wstring(description.Get()) : std::wstring();
}

// Every body is spooled, into a folder of the test's own.
class SpoolTest : public kvtest::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    saved_ = kvp::SpoolSettings();
    folder_ = FreshFolder(L"spool");
    kvp::SetSpoolSettings({0, folder_});
  }
  void TearDown() override {
    HostTest::TearDown();
    kvp::SetSpoolSettings(saved_);
    EXPECT_EQ(FilesIn(folder_), std::vector<std::wstring>{}) << "a spool file was left behind";
    RemoveDirectoryW(folder_.c_str());
  }

  std::wstring folder_;

 private:
  kvp::TSpoolSettings saved_;
};

// How the spool file was opened.
struct Opened {
  DWORD access = 0, share = ~0u, disposition = 0, flags = 0;
};
Opened g_opened;
kvtest::ImportPatch* g_recorder = nullptr;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
  g_opened = {access, share, disposition, flags};
  return g_recorder->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition,
                                                        flags, model);
}

TEST_F(SpoolTest, TheSpoolFileIsPrivateTemporaryAndGoneWithTheObject) {
  const std::string body = Upload();
  Host().SetBody(body);
  {
    kvtest::ImportPatch recorder(GetModuleHandleW(nullptr), "kernel32.dll", "CreateFileW",
                                 reinterpret_cast<const void*>(&RecordingCreateFileW));
    g_recorder = &recorder;
    ASSERT_TRUE(recorder.Active());
    Create();
    g_recorder = nullptr;
  }
  kvp::Tprocess& p = Process();
  // Created only if absent, shared with no one, temporary, and deleted by
  // the system with its last handle.
  EXPECT_EQ(g_opened.disposition, static_cast<DWORD>(CREATE_NEW));
  EXPECT_EQ(g_opened.share, 0u);
  EXPECT_EQ(g_opened.flags,
            static_cast<DWORD>(FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
  ASSERT_NE(p.FSpool, nullptr);
  EXPECT_EQ(p.FBody->Size(), 0) << "a spooled body takes no memory of its size";
  const std::vector<std::wstring> files = FilesIn(folder_);
  ASSERT_EQ(files.size(), 1u);
  const std::wstring name = files[0];
  // kvParcelin-<32 hex digits>.tmp: 128 bits no one can guess.
  ASSERT_EQ(name.size(), 11u + 32u + 4u);
  EXPECT_EQ(name.substr(0, 11), L"kvParcelin-");
  EXPECT_TRUE(std::all_of(name.begin() + 11, name.end() - 4, iswxdigit));
  const std::wstring path = folder_ + L"\\" + name;
  // Shared with no one: not even a reader gets in.
  const HANDLE other = CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  // It grew only by what arrived.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, body.size());
  Destroy();
  EXPECT_EQ(FilesIn(folder_), std::vector<std::wstring>{});
}

TEST_F(SpoolTest, ASpooledBodyReadsAsTheSameBodyInMemory) {
  const std::string body = Upload();
  Host().SetBody(body);
  kvp::SetSpoolSettings({static_cast<uint32_t>(body.size()), folder_});
  const std::vector<std::string> inMemory = Seen(Create());
  ASSERT_EQ(Process().FSpool, nullptr);
  Destroy();
  kvp::SetSpoolSettings({static_cast<uint32_t>(body.size()) - 1, folder_});
  Host().SetBody(body);
  kvp::Tprocess& p = Create();
  ASSERT_NE(p.FSpool, nullptr);
  EXPECT_EQ(Seen(p), inMemory);
  EXPECT_EQ(kvtest::BodyOf(p), body);
  // Saving, dumping and FileData read the spooled bytes.
  const std::wstring saved = folder_ + L"\\saved.jpg", dumped = folder_ + L"\\body.bin";
  kvp::Bstr savedName(SysAllocString(saved.c_str())), dumpedName(SysAllocString(dumped.c_str()));
  ASSERT_EQ(p.FileSave(savedName.Get(), 0), S_OK);
  ASSERT_EQ(p.DumpHeader(dumpedName.Get()), S_OK);
  EXPECT_EQ(Read(saved), FillerBytes(300000, 1));
  EXPECT_EQ(Read(dumped), body);
  kvp::Variant array;
  ASSERT_EQ(p.get_FileData(1, array.Get()), S_OK);
  ASSERT_EQ(array->vt, VT_ARRAY | VT_UI1);
  kvp::SafeArrayLock lock(array->parray);
  EXPECT_EQ(std::string(static_cast<const char*>(lock.Data()), 5), FillerBytes(5, 2));
  DeleteFileW(saved.c_str());
  DeleteFileW(dumped.c_str());
}

// --- Faults, each injected at the program's own imports (the engine is
// linked into it).

int g_callsToFail = 0;  // the call of the patched function that fails, from 1
DWORD g_error = 0;
kvtest::ImportPatch* g_patch = nullptr;

bool FailsNow() {
  return g_callsToFail > 0 && --g_callsToFail == 0;
}

HANDLE WINAPI FailingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE model) {
  if (FailsNow()) {
    SetLastError(g_error);
    return INVALID_HANDLE_VALUE;
  }
  return g_patch->Original<decltype(&CreateFileW)>()(name, access, share, security, disposition,
                                                     flags, model);
}

BOOL WINAPI FailingWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                             LPOVERLAPPED at) {
  if (FailsNow()) {
    SetLastError(g_error);
    if (written) *written = 0;
    return FALSE;
  }
  return g_patch->Original<decltype(&WriteFile)>()(file, data, count, written, at);
}

BOOL WINAPI FailingReadFile(HANDLE file, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED at) {
  if (FailsNow()) {
    SetLastError(g_error);
    if (got) *got = 0;
    return FALSE;
  }
  return g_patch->Original<decltype(&ReadFile)>()(file, data, count, got, at);
}

struct Fault {
  const char* function;  // nullptr: none
  const void* replacement;
  int call;
  DWORD error;
};

class Injected {
 public:
  explicit Injected(const Fault& f) {
    if (!f.function) return;
    g_callsToFail = f.call;
    g_error = f.error;
    patch_ = std::make_unique<kvtest::ImportPatch>(GetModuleHandleW(nullptr), "kernel32.dll",
                                                   f.function, f.replacement);
    g_patch = patch_.get();
    EXPECT_TRUE(patch_->Active()) << f.function;
  }
  ~Injected() {
    g_callsToFail = 0;
    patch_.reset();
    g_patch = nullptr;
  }
  Injected(const Injected&) = delete;
  Injected& operator=(const Injected&) = delete;

 private:
  std::unique_ptr<kvtest::ImportPatch> patch_;
};

struct CreationFault {
  const char* what;
  Fault fault;
  bool missingFolder;
  size_t photo = 300000;
};

class SpoolFaultTest : public SpoolTest, public ::testing::WithParamInterface<CreationFault> {};

// Creation ends with the failure text and the announced TotalBytes; what
// was parsed before a failure stays; no spool file is left.
TEST_P(SpoolFaultTest, EndsTheCreationWithTheFailureText) {
  const CreationFault& c = GetParam();
  const std::string body = Upload(c.photo);
  Host().SetBody(body);
  if (c.missingFolder) kvp::SetSpoolSettings({0, folder_ + L"\\missing"});
  {
    Injected fault(c.fault);
    Create();
  }
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
  EXPECT_EQ(Process().FFileCount, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SpoolFaultTest,
    ::testing::Values(CreationFault{"missing folder", {}, true},
                      CreationFault{
                          "folder refuses the file",
                          {"CreateFileW", reinterpret_cast<const void*>(&FailingCreateFileW), 1,
                           ERROR_ACCESS_DENIED},
                          false},
                      CreationFault{"disk fills up on the second piece",
                                    {"WriteFile", reinterpret_cast<const void*>(&FailingWriteFile),
                                     2, ERROR_DISK_FULL},
                                    false,
                                    3000000},
                      CreationFault{"disk full when the last bytes are written",
                                    {"WriteFile", reinterpret_cast<const void*>(&FailingWriteFile),
                                     1, ERROR_DISK_FULL},
                                    false},
                      CreationFault{"spool unreadable while parsing",
                                    {"ReadFile", reinterpret_cast<const void*>(&FailingReadFile), 1,
                                     ERROR_READ_FAULT},
                                    false}),
    [](const auto& param) {
      std::string name = param.param.what;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST_F(SpoolTest, AClientLeavingMidBodyLeavesNothingOnceTheObjectGoes) {
  const std::string body = Upload();
  Host().SetBody(body);
  Host().DisconnectFrom(3);
  Create();
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(TotalBytes(), 0);
  EXPECT_EQ(Process().FVars->Count(), 0);
  // What arrived, then zeros, as DumpHeader writes it.
  EXPECT_EQ(kvtest::BodyOf(Process()),
            body.substr(0, 2 * 102400) + std::string(body.size() - 2 * 102400, '\0'));
  EXPECT_EQ(FilesIn(folder_).size(), 1u);
}

// A save whose write fails midway, or whose spooled bytes cannot be read,
// reports it and names no file; the next save works.
TEST_F(SpoolTest, ASaveThatFailsMidwayIsReported) {
  const std::string big = FillerBytes(3 * 1048576 + 17, 9);
  Host().SetBody(Multipart().File("f", "big.bin", "application/octet-stream", big).Body());
  kvp::Tprocess& p = Create();
  ASSERT_EQ(p.FFileCount, 1);
  ASSERT_EQ(p.put_OverwriteMode(2), S_OK);
  const std::wstring target = folder_ + L"\\big.bin";
  kvp::Bstr name(SysAllocString(target.c_str()));
  const Fault faults[] = {
      {"WriteFile", reinterpret_cast<const void*>(&FailingWriteFile), 2, ERROR_DISK_FULL},
      {"ReadFile", reinterpret_cast<const void*>(&FailingReadFile), 2, ERROR_READ_FAULT}};
  const wchar_t* messages[] = {L"Stream write error", L"Stream read error"};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(faults[i].function);
    {
      Injected fault(faults[i]);
      EXPECT_EQ(p.FileSave(name.Get(), 0), E_UNEXPECTED);
    }
    EXPECT_EQ(LastError(), messages[i]);
    kvp::Bstr newName;
    ASSERT_EQ(p.get_NewName(0, newName.Put()), S_OK);
    EXPECT_EQ(newName.Get(), nullptr) << "a failed save names no file";
    DeleteFileW(target.c_str());
  }
  ASSERT_EQ(p.FileSave(name.Get(), 0), S_OK);
  EXPECT_EQ(Read(target), big);
  DeleteFileW(target.c_str());
}

// A worker that dies holding a spool file leaves nothing: the system deletes
// it with the process's last handle. The dying worker is this program, run
// again for the one test below.
TEST_F(SpoolTest, AProcessThatDiesMidBodyLeavesNoSpoolFile) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) +
                         L"\" --gtest_filter=DyingWorker.DISABLED_DiesHoldingASpoolFile "
                         L"--gtest_also_run_disabled_tests";
  SetEnvironmentVariableW(L"KV_SPOOL_FOLDER", folder_.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &child));
  SetEnvironmentVariableW(L"KV_SPOOL_FOLDER", nullptr);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(code, 77u) << "the worker did not die where it should";
}

class DyingWorker : public kvtest::HostTest {};

TEST_F(DyingWorker, DISABLED_DiesHoldingASpoolFile) {
  wchar_t folder[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"KV_SPOOL_FOLDER", folder, MAX_PATH)) return;
  kvp::SetSpoolSettings({0, folder});
  Host().SetBody(Upload());
  Host().ObserveReads([folder] {
    // Dies only once its spool file is there.
    if (!FilesIn(folder).empty()) TerminateProcess(GetCurrentProcess(), 77);
  });
  Create();
}

}  // namespace
