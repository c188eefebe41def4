// Saving uploaded files and the file-system utilities of kvParcelin.dll, on
// real files through the Windows file API under Wine. Every test works in a
// folder of its own under the prefix's temp folder; the disk-full cases use a
// small tmpfs that a ctest fixture mounts (fullfs.sh), reached through Z:.

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/spoolsettings.h"
#include "fileout/fileio.h"
#include "fileout/numbering.h"
#include "fileout/pathrules.h"
#include "frame_support.h"
#include "import_patch.h"
#include "server/ansitext.h"
#include "testsupport.h"

namespace {

using kvp::Bstr;
using kvp::ComPtr;
using kvtest::Multipart;
using namespace std::string_literals;

constexpr const wchar_t* kFileIndexError = L"Index out of range or no file uploaded.";

// --- Files, from the test's side (ANSI names, like the component's).

std::wstring Wide(std::string_view ansi) {
  return kvp::ToWideString(ansi);
}

Bstr B(std::string_view ansi) {
  const std::wstring w = Wide(ansi);
  return Bstr(w.data(), static_cast<UINT>(w.size()));
}

bool Put(const std::string& path, std::string_view content) {
  kvp::FileHandle f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return f.Valid() &&
         WriteFile(f.Get(), content.data(), static_cast<DWORD>(content.size()), &written,
                   nullptr) &&
         written == content.size();
}

// The whole content of a file, or "<missing>" when it cannot be read.
std::string Get(const std::string& path) {
  kvp::FileHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) return "<missing>";
  std::string content;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(f.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    content.append(buffer, got);
  return content;
}

bool IsDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The names in a folder, sorted.
std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& folder) {
  for (const std::string& name : List(folder)) {
    const std::string path = folder + "\\" + name;
    if (IsDirectory(path)) {
      RemoveTree(path);
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path.c_str());
    }
  }
  RemoveDirectoryA(folder.c_str());
}

// A new folder, removed with everything in it at the end of the test.
class Folder {
 public:
  explicit Folder(std::string parent = TempPath()) {
    static int counter = 0;
    path_ = parent + "kvfileout-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter);
    ok_ = CreateDirectoryA(path_.c_str(), nullptr) != FALSE;
  }
  ~Folder() { RemoveTree(path_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool Ok() const { return ok_; }
  // The folder itself, without a trailing backslash.
  const std::string& Path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "\\" + std::string(name); }

  static std::string TempPath() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return temp;
  }

 private:
  std::string path_;
  bool ok_ = false;
};

FILETIME LastWrite(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Dates a file back to the first day of 2001.
void Backdate(const std::string& path) {
  SYSTEMTIME old{2001, 1, 1, 1, 12, 0, 0, 0};
  FILETIME t{};
  SystemTimeToFileTime(&old, &t);
  kvp::FileHandle f(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  SetFileTime(f.Get(), &t, &t, &t);
}

// --- What a member answered.

struct Outcome {
  HRESULT status = S_OK;
  std::wstring description;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "{0x" << std::hex << static_cast<unsigned long>(o.status) << std::dec << ", "
      << ::testing::PrintToString(o.description) << "}";
}

// The status, and on failure the description the member published.
Outcome Done(HRESULT status) {
  Outcome o{status, L""};
  if (FAILED(status)) {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) {
      Bstr description;
      info->GetDescription(description.Put());
      o.description = kvtest::Text(description.Get());
    }
  }
  return o;
}

const Outcome kOk{};
Outcome Fails(std::wstring message) {
  return Outcome{E_UNEXPECTED, std::move(message)};
}
Outcome CannotCreate(const std::string& name) {
  return Fails(L"Cannot create file " + Wide(name));
}

// --- The upload object.

const std::string kContent = "\x89PNG\r\n\x1a\n\0\x01 item bytes"s;

class FileOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kvtest::TheServer().module, nullptr) << "kvParcelin.dll not found";
    ASSERT_TRUE(dir_.Ok()) << "cannot create " << dir_.Path();
    SetErrorInfo(0, nullptr);
  }

  Iprocess* Upload(std::string body) {
    host_.SetBody(std::move(body));
    upload_ = kvtest::CreateUpload(host_);
    EXPECT_TRUE(upload_);
    return upload_.Get();
  }
  // One file, sent from the client as C:\client\client.jpg.
  Iprocess* UploadFile(const std::string& content = kContent) {
    return Upload(
        Multipart().File("upload", "C:\\client\\client.jpg", "image/jpeg", content).Body());
  }

  Outcome Save(const std::string& name, LONG index = 0) {
    Bstr b = B(name);
    return Done(upload_->FileSave(b.Get(), index));
  }
  void Mode(LONG mode) { ASSERT_EQ(upload_->put_OverwriteMode(mode), S_OK); }
  void Chr(const std::string& text) {
    Bstr b = B(text);
    ASSERT_EQ(upload_->put_OverwriteChr(b.Get()), S_OK);
  }
  std::wstring NewName(LONG index = 0) {
    Bstr b;
    EXPECT_EQ(upload_->get_NewName(index, b.Put()), S_OK);
    return kvtest::Text(b.Get());
  }
  bool Exists(const std::string& name) {
    Bstr b = B(name);
    VARIANT_BOOL answer = 7;
    EXPECT_EQ(upload_->get_FileExists(b.Get(), &answer), S_OK);
    EXPECT_TRUE(answer == VARIANT_TRUE || answer == VARIANT_FALSE) << answer;
    return answer == VARIANT_TRUE;
  }
  Outcome Append(const std::string& name, const std::wstring& line) {
    Bstr b = B(name);
    Bstr text(line.data(), static_cast<UINT>(line.size()));
    return Done(upload_->AppendToFile(b.Get(), text.Get()));
  }
  Outcome Dump(const std::string& name) {
    Bstr b = B(name);
    return Done(upload_->DumpHeader(b.Get()));
  }
  Outcome Copy(const std::string& from, const std::string& to) {
    Bstr a = B(from), b = B(to);
    return Done(upload_->Copy(a.Get(), b.Get()));
  }
  Outcome Delete(const std::string& name) {
    Bstr b = B(name);
    return Done(upload_->Delete(b.Get()));
  }
  Outcome Rename(const std::string& from, const std::string& to) {
    Bstr a = B(from), b = B(to);
    return Done(upload_->Rename(a.Get(), b.Get()));
  }

  kvstub::StubHost& Host() { return host_; }
  Iprocess* Object() { return upload_.Get(); }

  Folder dir_;

 private:
  kvstub::StubHost host_;
  ComPtr<Iprocess> upload_;
};

// --- Creations that someone else wins: the target appears between the
// component's existence test and its creation of the file.

struct Race {
  std::string name;  // taken (or removed) just before the component creates it
  std::string content;
  bool remove = false;
  bool happened = false;
  kvtest::ImportPatch* patch = nullptr;
};
Race* gRace = nullptr;

HANDLE WINAPI RacingCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE templ) {
  if (!gRace->happened && lstrcmpiW(name, Wide(gRace->name).c_str()) == 0) {
    gRace->happened = true;
    if (gRace->remove)
      DeleteFileA(gRace->name.c_str());
    else
      Put(gRace->name, gRace->content);
  }
  return gRace->patch->Original<decltype(&CreateFileW)>()(name, access, share, sa, disposition,
                                                          flags, templ);
}

class RaceFor {
 public:
  RaceFor(std::string name, std::string content, bool remove = false)
      : race_{std::move(name), std::move(content), remove},
        patch_(kvtest::TheServer().module, "kernel32.dll", "CreateFileW",
               reinterpret_cast<const void*>(&RacingCreateFileW)) {
    race_.patch = &patch_;
    gRace = &race_;
  }
  ~RaceFor() { gRace = nullptr; }
  bool Armed() const { return patch_.Active(); }
  bool Happened() const { return race_.happened; }

 private:
  Race race_;
  kvtest::ImportPatch patch_;
};

// --- FileSave.

TEST_F(FileOutTest, SaveChecksTheIndexBeforeAnything) {
  Upload(Multipart()
             .File("a", "one.txt", "text/plain", "first")
             .File("b", "two.txt", "text/plain", "second")
             .Body());
  for (const LONG mode : {0, 1, 2}) {
    Mode(mode);
    EXPECT_EQ(Save(dir_ / "x.txt", -1), Fails(kFileIndexError));
    EXPECT_EQ(Save(dir_ / "x.txt", 2), Fails(kFileIndexError));
  }
  EXPECT_TRUE(List(dir_.Path()).empty());
  EXPECT_EQ(Save(dir_ / "x.txt", 1), kOk);  // the last item
  EXPECT_EQ(Get(dir_ / "x.txt"), "second");
}

TEST_F(FileOutTest, SaveWithoutAnyFileFailsForIndexZero) {
  Upload(Multipart().Field("a", "1").Body());
  EXPECT_EQ(Save(dir_ / "x.txt", 0), Fails(kFileIndexError));
  EXPECT_TRUE(List(dir_.Path()).empty());
}

TEST_F(FileOutTest, ModeZeroReplacesTheWholeFileAndKeepsNewName) {
  UploadFile();
  Mode(2);
  ASSERT_EQ(Save(dir_ / "first.jpg"), kOk);
  Mode(0);
  ASSERT_TRUE(Put(dir_ / "photo.jpg", std::string(1000, 'o')));
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  EXPECT_EQ(Get(dir_ / "photo.jpg"), kContent);
  EXPECT_EQ(Save(dir_ / "fresh.jpg"), kOk);
  EXPECT_EQ(Get(dir_ / "fresh.jpg"), kContent);
  EXPECT_EQ(NewName(), L"first.jpg");
}

TEST_F(FileOutTest, ModeOneNeverChangesAnExistingFile) {
  UploadFile();
  Mode(2);
  ASSERT_EQ(Save(dir_ / "first.jpg"), kOk);
  Mode(1);
  ASSERT_TRUE(Put(dir_ / "photo.jpg", "keep me"));
  Backdate(dir_ / "photo.jpg");
  const FILETIME before = LastWrite(dir_ / "photo.jpg");
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  EXPECT_EQ(Get(dir_ / "photo.jpg"), "keep me");
  EXPECT_TRUE(SameTime(LastWrite(dir_ / "photo.jpg"), before)) << "the kept file was touched";
  EXPECT_EQ(Save(dir_ / "free.jpg"), kOk);
  EXPECT_EQ(Get(dir_ / "free.jpg"), kContent);
  EXPECT_EQ(NewName(), L"first.jpg");
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"first.jpg", "free.jpg", "photo.jpg"}));
}

TEST_F(FileOutTest, ModeOneKeepsAFileThatAppearsAfterTheExistenceTest) {
  UploadFile();
  Mode(1);
  RaceFor race(dir_ / "photo.jpg", "the other request's file");
  ASSERT_TRUE(race.Armed());
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  ASSERT_TRUE(race.Happened()) << "the component never created the file";
  EXPECT_EQ(Get(dir_ / "photo.jpg"), "the other request's file");
}

// The worked examples of mode 2, in a folder of the test's own.
TEST_F(FileOutTest, ModeTwoNumbersTakenNames) {
  struct Row {
    const char* target;  // below the test's folder
    std::vector<std::string> present;
    const char* chr;  // null: the default "~"
    const char* written;
    const wchar_t* newName;
  };
  const Row rows[] = {
      {"up\\photo.jpg", {}, nullptr, "up\\photo.jpg", L"photo.jpg"},
      {"up\\photo.jpg", {"photo.jpg"}, nullptr, "up\\photo~1.jpg", L"photo~1.jpg"},
      {"up\\photo.jpg", {"photo.jpg", "photo~1.jpg"}, nullptr, "up\\photo~2.jpg", L"photo~2.jpg"},
      {"up\\photo.jpg", {"photo.jpg", "photo~2.jpg"}, nullptr, "up\\photo~1.jpg", L"photo~1.jpg"},
      {"up\\readme", {"readme"}, nullptr, "up\\readme~1", L"readme~1"},
      {"data.old\\notes", {"notes"}, nullptr, "data.old\\notes~1", L"notes~1"},
      {"up\\a.tar.gz", {"a.tar.gz"}, nullptr, "up\\a.tar~1.gz", L"a.tar~1.gz"},
      {"up\\photo.jpg", {"photo.jpg"}, "", "up\\photo1.jpg", L"photo1.jpg"},
      {"up\\photo.jpg", {"photo.jpg"}, "_copy", "up\\photo_copy1.jpg", L"photo_copy1.jpg"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.target) + ", present " + std::to_string(row.present.size()) +
                 ", chr " + (row.chr ? row.chr : "~"));
    kvstub::StubHost host;
    host.SetBody(
        Multipart().File("upload", "C:\\client\\client.jpg", "image/jpeg", kContent).Body());
    ComPtr<Iprocess> upload = kvtest::CreateUpload(host);
    ASSERT_TRUE(upload);
    ASSERT_EQ(upload->put_OverwriteMode(2), S_OK);
    if (row.chr) {
      Bstr chr = B(row.chr);
      ASSERT_EQ(upload->put_OverwriteChr(chr.Get()), S_OK);
    }
    Folder root;
    const std::string target = root / row.target;
    const std::string folder = target.substr(0, target.rfind('\\'));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    for (const std::string& name : row.present)
      ASSERT_TRUE(Put(folder + "\\" + name, "old " + name));

    Bstr name = B(target);
    EXPECT_EQ(Done(upload->FileSave(name.Get(), 0)), kOk);
    EXPECT_EQ(Get(root / row.written), kContent);
    for (const std::string& present : row.present)
      EXPECT_EQ(Get(folder + "\\" + present), "old " + present);
    std::vector<std::string> expected = row.present;
    const std::string written = row.written;
    expected.push_back(written.substr(written.rfind('\\') + 1));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(List(folder), expected);
    Bstr stored;
    ASSERT_EQ(upload->get_NewName(0, stored.Put()), S_OK);
    EXPECT_EQ(kvtest::Text(stored.Get()), row.newName);
  }
}

TEST_F(FileOutTest, ModeTwoStoresTheBareNameOfTheFileActuallyWritten) {
  UploadFile();
  Mode(2);
  // A free target: its own bare name, not the client's file name.
  EXPECT_EQ(Save(dir_ / "stored.bin"), kOk);
  EXPECT_EQ(NewName(), L"stored.bin");
  // The target taken after the existence test: the first numbered name.
  {
    RaceFor race(dir_ / "late.jpg", "other");
    ASSERT_TRUE(race.Armed());
    EXPECT_EQ(Save(dir_ / "late.jpg"), kOk);
    EXPECT_TRUE(race.Happened());
  }
  EXPECT_EQ(Get(dir_ / "late.jpg"), "other");
  EXPECT_EQ(Get(dir_ / "late~1.jpg"), kContent);
  EXPECT_EQ(NewName(), L"late~1.jpg");
  // A numbered name taken after its existence test: the next number.
  ASSERT_TRUE(Put(dir_ / "pic.jpg", "pic"));
  {
    RaceFor race(dir_ / "pic~1.jpg", "other pic");
    EXPECT_EQ(Save(dir_ / "pic.jpg"), kOk);
    EXPECT_TRUE(race.Happened());
  }
  EXPECT_EQ(Get(dir_ / "pic.jpg"), "pic");
  EXPECT_EQ(Get(dir_ / "pic~1.jpg"), "other pic");
  EXPECT_EQ(Get(dir_ / "pic~2.jpg"), kContent);
  EXPECT_EQ(NewName(), L"pic~2.jpg");
}

TEST_F(FileOutTest, ModeTwoTwiceInARowTakesTheNextNumber) {
  UploadFile();
  Mode(2);
  ASSERT_TRUE(Put(dir_ / "photo.jpg", "old"));
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  EXPECT_EQ(NewName(), L"photo~1.jpg");
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  EXPECT_EQ(NewName(), L"photo~2.jpg");
  EXPECT_EQ(Get(dir_ / "photo~2.jpg"), kContent);
  EXPECT_EQ(List(dir_.Path()),
            (std::vector<std::string>{"photo.jpg", "photo~1.jpg", "photo~2.jpg"}));
  // A change of the setting applies to the next call.
  Chr("--");
  EXPECT_EQ(Save(dir_ / "photo.jpg"), kOk);
  EXPECT_EQ(NewName(), L"photo--1.jpg");
}

// The first candidate for "file." is "file~1.". The platform drops a
// trailing dot from a name (and Wine's Unix side stores none), so "file."
// and "file" are one file; what shows is the name stored and the file
// "file~1" on disk.
TEST_F(FileOutTest, ModeTwoNameEndingInADot) {
  UploadFile();
  Mode(2);
  ASSERT_TRUE(Put(dir_ / "file.", "old"));
  EXPECT_EQ(List(dir_.Path()), std::vector<std::string>{"file"});
  EXPECT_TRUE(Exists(dir_ / "file."));
  EXPECT_EQ(Save(dir_ / "file."), kOk);
  EXPECT_EQ(NewName(), L"file~1.");
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"file", "file~1"}));
  EXPECT_EQ(Get(dir_ / "file~1"), kContent);
  EXPECT_EQ(Get(dir_ / "file"), "old");
}

// A folder full of numbered names is listed once per save, not searched once
// per number: besides the listing, only the existence tests of the target
// and of the name chosen.
struct SearchCount {
  int exact = 0;
  int listings = 0;
  kvtest::ImportPatch* exactPatch = nullptr;
  kvtest::ImportPatch* listingPatch = nullptr;
};
SearchCount* gSearches = nullptr;

HANDLE WINAPI CountingFindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  ++gSearches->exact;
  return gSearches->exactPatch->Original<decltype(&FindFirstFileW)>()(name, data);
}

HANDLE WINAPI CountingFindFirstFileExW(LPCWSTR name, FINDEX_INFO_LEVELS level, LPVOID data,
                                       FINDEX_SEARCH_OPS op, LPVOID filter, DWORD flags) {
  ++gSearches->listings;
  return gSearches->listingPatch->Original<decltype(&FindFirstFileExW)>()(name, level, data, op,
                                                                          filter, flags);
}

TEST_F(FileOutTest, ModeTwoListsAFullFolderOnce) {
  UploadFile();
  Mode(2);
  ASSERT_TRUE(Put(dir_ / "photo.jpg", "old"));
  for (int n = 1; n <= 300; ++n) {
    if (n == 123) continue;
    ASSERT_TRUE(Put(dir_ / ("photo~" + std::to_string(n) + ".jpg"), "old"));
  }
  SearchCount count;
  const HMODULE dll = kvtest::TheServer().module;
  kvtest::ImportPatch exact(dll, "kernel32.dll", "FindFirstFileW",
                            reinterpret_cast<const void*>(&CountingFindFirstFileW));
  kvtest::ImportPatch listing(dll, "kernel32.dll", "FindFirstFileExW",
                              reinterpret_cast<const void*>(&CountingFindFirstFileExW));
  ASSERT_TRUE(exact.Active() && listing.Active());
  count.exactPatch = &exact;
  count.listingPatch = &listing;
  gSearches = &count;
  const Outcome gap = Save(dir_ / "photo.jpg");
  const std::wstring gapName = NewName();
  const Outcome end = Save(dir_ / "photo.jpg");
  gSearches = nullptr;
  EXPECT_EQ(gap, kOk);
  EXPECT_EQ(gapName, L"photo~123.jpg");
  EXPECT_EQ(end, kOk);
  EXPECT_EQ(NewName(), L"photo~301.jpg");
  EXPECT_EQ(Get(dir_ / "photo~123.jpg"), kContent);
  EXPECT_EQ(Get(dir_ / "photo~301.jpg"), kContent);
  EXPECT_EQ(count.listings, 2);
  EXPECT_LE(count.exact, 4);
}

TEST_F(FileOutTest, ExistenceTestCountsFilesNotFoldersAndMatchesWildcards) {
  UploadFile();
  ASSERT_TRUE(CreateDirectoryA((dir_ / "folder.jpg").c_str(), nullptr));
  EXPECT_FALSE(Exists(dir_ / "folder.jpg"));
  EXPECT_FALSE(Exists(dir_ / "*.jpg"));  // only the folder matches
  EXPECT_FALSE(Exists(dir_ / "missing.txt"));
  ASSERT_TRUE(Put(dir_ / "photo.png", "p"));
  EXPECT_TRUE(Exists(dir_ / "photo.png"));
  EXPECT_TRUE(Exists(dir_ / "PHOTO.PNG"));
  EXPECT_TRUE(Exists(dir_ / "*.png"));
  EXPECT_TRUE(Exists(dir_ / "ph?to.*"));
  EXPECT_FALSE(Exists(dir_ / "ph?to.jpg"));
  EXPECT_FALSE(Exists(""));
  VARIANT_BOOL answer = VARIANT_TRUE;
  EXPECT_EQ(Object()->get_FileExists(nullptr, &answer), S_OK);
  EXPECT_EQ(answer, VARIANT_FALSE);

  // Saving in mode 1 takes a pattern that matches a file as an existing name.
  Mode(1);
  EXPECT_EQ(Save(dir_ / "*.png"), kOk);
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"folder.jpg", "photo.png"}));
}

TEST_F(FileOutTest, AFolderWhereTheTargetShouldBeCannotBeWritten) {
  UploadFile();
  ASSERT_TRUE(CreateDirectoryA((dir_ / "photo.jpg").c_str(), nullptr));
  for (const LONG mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    Mode(mode);
    EXPECT_EQ(Save(dir_ / "photo.jpg"), CannotCreate(dir_ / "photo.jpg"));
    EXPECT_TRUE(IsDirectory(dir_ / "photo.jpg"));
    EXPECT_EQ(NewName(), L"");
  }
  EXPECT_EQ(Dump(dir_ / "photo.jpg"), CannotCreate(dir_ / "photo.jpg"));
  EXPECT_EQ(List(dir_.Path()), std::vector<std::string>{"photo.jpg"});
  EXPECT_TRUE(List(dir_ / "photo.jpg").empty());
}

TEST_F(FileOutTest, AMissingFolderIsNeverCreated) {
  UploadFile();
  const std::string target = dir_ / "nowhere\\photo.jpg";
  for (const LONG mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    Mode(mode);
    EXPECT_EQ(Save(target), CannotCreate(target));
  }
  EXPECT_EQ(Dump(target), CannotCreate(target));
  EXPECT_EQ(Append(target, L"line"), Fails(L"Invalid filename"));
  ASSERT_TRUE(Put(dir_ / "source.txt", "s"));
  EXPECT_EQ(Copy(dir_ / "source.txt", target), kOk);  // the copy is not reported
  EXPECT_EQ(List(dir_.Path()), std::vector<std::string>{"source.txt"});
  EXPECT_EQ(NewName(), L"");
}

// Another handle holds the file with no sharing at all.
TEST_F(FileOutTest, AFileHeldOpenElsewhere) {
  UploadFile();
  const std::string held = dir_ / "held.jpg";
  ASSERT_TRUE(Put(held, "held"));
  ASSERT_TRUE(Put(dir_ / "other.txt", "other"));
  {
    kvp::FileHandle lock(CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.Valid());
    EXPECT_EQ(Save(held), CannotCreate(held));
    EXPECT_EQ(Dump(held), CannotCreate(held));
    EXPECT_EQ(Append(held, L"x"), Fails(L"I/O error 32"));  // sharing violation
    EXPECT_EQ(Copy(held, dir_ / "copy.jpg"), Fails(L"Cannot open file " + Wide(held)));
    EXPECT_EQ(Copy(dir_ / "other.txt", held), kOk);
    EXPECT_EQ(Delete(held), kOk);
    EXPECT_TRUE(Exists(held));
    // Modes that keep an existing file do not need to open it.
    Mode(1);
    EXPECT_EQ(Save(held), kOk);
    Mode(2);
    EXPECT_EQ(Save(held), kOk);
    EXPECT_EQ(NewName(), L"held~1.jpg");
  }
  EXPECT_EQ(Get(held), "held");
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"held.jpg", "held~1.jpg", "other.txt"}));
}

// The write goes straight from the item's bytes, in one call.
struct Writes {
  int calls = 0;
  DWORD bytes = 0;
  kvtest::ImportPatch* patch = nullptr;
};
Writes* gWrites = nullptr;

BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                              LPOVERLAPPED overlapped) {
  ++gWrites->calls;
  gWrites->bytes += count;
  return gWrites->patch->Original<decltype(&WriteFile)>()(file, data, count, written, overlapped);
}

// A body held in memory is written in one write, straight from it; a
// spooled one (SpoolThreshold below its size) through 1 MiB pieces. Neither
// copies the file whole.
TEST_F(FileOutTest, SaveAndDumpWriteTheWholeBufferInOneWrite) {
  const std::string content = kvtest::FillerBytes(3 * 1048576 + 5, 11);
  const std::string body =
      Multipart().File("upload", "C:\\client\\client.jpg", "image/jpeg", content).Body();
  const bool spooled = body.size() > kvp::SpoolSettings().threshold;
  const auto writesOf = [&](size_t bytes) {
    return spooled ? static_cast<int>((bytes + kvp::kCopyPiece - 1) / kvp::kCopyPiece) : 1;
  };
  Upload(body);
  Writes writes;
  gWrites = &writes;
  kvtest::ImportPatch patch(kvtest::TheServer().module, "kernel32.dll", "WriteFile",
                            reinterpret_cast<const void*>(&CountingWriteFile));
  writes.patch = &patch;
  ASSERT_TRUE(patch.Active());
  {
    kvtest::MemoryTraffic traffic(kvtest::TheServer().module, content.size());
    ASSERT_TRUE(traffic.Watching());
    EXPECT_EQ(Save(dir_ / "big.bin"), kOk);
    EXPECT_EQ(traffic.LargeBlocks(), 0u) << "the bytes were copied for the write";
    EXPECT_LT(traffic.CopiedBytes(), content.size());
  }
  EXPECT_EQ(writes.calls, writesOf(content.size()));
  EXPECT_EQ(writes.bytes, content.size());
  EXPECT_TRUE(Get(dir_ / "big.bin") == content);

  writes = Writes{0, 0, &patch};
  EXPECT_EQ(Dump(dir_ / "body.bin"), kOk);
  EXPECT_EQ(writes.calls, writesOf(body.size()));
  EXPECT_TRUE(Get(dir_ / "body.bin") == body);
  gWrites = nullptr;
}

// What others may do with a file while a member holds it: at each read and
// write the member makes, another open for reading and one for writing (both
// sharing everything) are tried on the file the test names.
struct Sharing {
  std::string path;
  std::vector<std::string>
      seen;  // per call: "read", "write", then "r" and/or "w" for what others got
  kvtest::ImportPatch* read = nullptr;
  kvtest::ImportPatch* write = nullptr;
};
Sharing* gSharing = nullptr;

std::string OthersMay() {
  std::string may;
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}}) {
    kvp::FileHandle other(CreateFileA(gSharing->path.c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (other.Valid()) may += access == GENERIC_READ ? "r" : "w";
  }
  return may;
}

// Whether a handle is a spooled body's own: its reads are not the member's
// file work.
bool OfASpool(HANDLE file) {
  wchar_t path[MAX_PATH * 2];
  const DWORD n = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, 0);
  return n > 0 && n < MAX_PATH * 2 &&
         std::wstring_view(path, n).find(L"kvParcelin-") != std::wstring_view::npos;
}

BOOL WINAPI ProbingReadFile(HANDLE file, LPVOID data, DWORD count, LPDWORD got,
                            LPOVERLAPPED overlapped) {
  if (!OfASpool(file)) gSharing->seen.push_back("read:" + OthersMay());
  return gSharing->read->Original<decltype(&ReadFile)>()(file, data, count, got, overlapped);
}

BOOL WINAPI ProbingWriteFile(HANDLE file, LPCVOID data, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  if (!OfASpool(file)) gSharing->seen.push_back("write:" + OthersMay());
  return gSharing->write->Original<decltype(&WriteFile)>()(file, data, count, written, overlapped);
}

TEST_F(FileOutTest, FilesAreSharedOnlyAsFarAsAllowed) {
  UploadFile();
  const HMODULE dll = kvtest::TheServer().module;
  Sharing sharing;
  kvtest::ImportPatch read(dll, "kernel32.dll", "ReadFile",
                           reinterpret_cast<const void*>(&ProbingReadFile));
  kvtest::ImportPatch write(dll, "kernel32.dll", "WriteFile",
                            reinterpret_cast<const void*>(&ProbingWriteFile));
  ASSERT_TRUE(read.Active() && write.Active());
  sharing.read = &read;
  sharing.write = &write;
  gSharing = &sharing;
  const auto during = [&](const std::string& path, auto call) {
    sharing.path = path;
    sharing.seen.clear();
    EXPECT_EQ(call(), kOk);
    return sharing.seen;
  };
  using Seen = std::vector<std::string>;
  // Written files are shared with no one; a line is appended while others
  // may read; a file being copied may be read meanwhile but not written.
  EXPECT_EQ(during(dir_ / "saved.jpg", [&] { return Save(dir_ / "saved.jpg"); }), Seen{"write:"});
  EXPECT_EQ(during(dir_ / "body.bin", [&] { return Dump(dir_ / "body.bin"); }), Seen{"write:"});
  EXPECT_EQ(during(dir_ / "log.txt", [&] { return Append(dir_ / "log.txt", L"one"); }),
            Seen{"write:r"});
  EXPECT_EQ(during(dir_ / "log.txt", [&] { return Append(dir_ / "log.txt", L"two"); }),
            Seen{"write:r"});
  EXPECT_EQ(during(dir_ / "saved.jpg", [&] { return Copy(dir_ / "saved.jpg", dir_ / "c.jpg"); }),
            (Seen{"read:r", "write:rw"}));
  EXPECT_EQ(during(dir_ / "c.jpg", [&] { return Copy(dir_ / "saved.jpg", dir_ / "c.jpg"); }),
            (Seen{"read:rw", "write:"}));
  gSharing = nullptr;
  EXPECT_EQ(Get(dir_ / "log.txt"), "one\r\ntwo\r\n");
  EXPECT_EQ(Get(dir_ / "c.jpg"), kContent);
}

// --- A disk that fills up: a small tmpfs mounted by the ctest fixture.

class DiskFullTest : public FileOutTest {
 protected:
  void SetUp() override {
    FileOutTest::SetUp();
    std::string unix = KV_FULLFS_DIR;
    std::replace(unix.begin(), unix.end(), '/', '\\');
    root_ = "Z:" + unix;
    if (Get(root_ + "\\mounted") == "<missing>")
      GTEST_SKIP() << "no small file system mounted on " << KV_FULLFS_DIR
                   << " (the ctest fixture fullfs_mount mounts one; it needs root)";
    full_.emplace(root_ + "\\");
    ASSERT_TRUE(full_->Ok());
  }
  void TearDown() override { full_.reset(); }

  // Fills the file system up; the filler stays until the test ends.
  void Fill() {
    const std::string filler = *full_ / "filler";
    kvp::FileHandle f(CreateFileA(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(f.Valid());
    const std::string block(4096, 'f');
    DWORD written = 0;
    while (WriteFile(f.Get(), block.data(), 4096, &written, nullptr) && written == 4096) {
    }
  }

  std::string root_;
  std::optional<Folder> full_;
};

constexpr size_t kBiggerThanTheDisk = 3 * 1048576;  // the fixture mounts 2 MiB

TEST_F(DiskFullTest, SaveAndDumpReportTheShortWriteAndChangeNothingElse) {
  const std::string content = kvtest::FillerBytes(kBiggerThanTheDisk, 21);
  UploadFile(content);
  Mode(2);
  ASSERT_EQ(Save(dir_ / "ok.bin"), kOk);
  ASSERT_EQ(NewName(), L"ok.bin");

  const std::string target = *full_ / "big.bin";
  EXPECT_EQ(Save(target), Fails(L"Stream write error"));
  EXPECT_EQ(NewName(), L"ok.bin");
  const std::string partial = Get(target);  // stays with what was written
  EXPECT_NE(partial, "<missing>");
  EXPECT_LT(partial.size(), content.size());
  EXPECT_TRUE(content.compare(0, partial.size(), partial) == 0);

  Mode(0);
  EXPECT_EQ(Save(*full_ / "again.bin"), Fails(L"Stream write error"));
  ASSERT_EQ(Delete(*full_ / "again.bin"), kOk);
  ASSERT_EQ(Delete(target), kOk);
  EXPECT_EQ(Dump(*full_ / "body.bin"), Fails(L"Stream write error"));
  ASSERT_EQ(Delete(*full_ / "body.bin"), kOk);

  // The object is as it was.
  LONG size = 0;
  EXPECT_EQ(Object()->get_FileSize(0, &size), S_OK);
  EXPECT_EQ(size, static_cast<LONG>(content.size()));
  EXPECT_EQ(Save(dir_ / "after.bin"), kOk);
  EXPECT_TRUE(Get(dir_ / "after.bin") == content);
  EXPECT_EQ(NewName(), L"ok.bin");  // mode 0 leaves it
}

TEST_F(DiskFullTest, AppendReportsTheErrorNumber) {
  UploadFile();
  Fill();
  const Outcome o = Append(*full_ / "log.txt", std::wstring(300, L'x'));
  EXPECT_EQ(o.status, E_UNEXPECTED);
  EXPECT_EQ(o.description, L"I/O error 112");  // ERROR_DISK_FULL
}

// --- Names with an embedded NUL: the part before it is a different name,
// which must never be touched.

TEST_F(FileOutTest, ANameWithAnEmbeddedNulNeverReachesTheFileSystem) {
  UploadFile();
  const std::string evil = dir_ / std::string("evil.asp\0.jpg", 13);
  const std::string cut = dir_ / "evil.asp";
  Bstr name = B(evil);
  ASSERT_EQ(name.Length(), evil.size());

  for (const LONG mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    Mode(mode);
    const Outcome o = Done(Object()->FileSave(name.Get(), 0));
    EXPECT_EQ(o.status, E_UNEXPECTED);
    EXPECT_EQ(o.description.rfind(L"Cannot create file " + Wide(cut), 0), 0u) << o.description;
  }
  const Outcome dump = Done(Object()->DumpHeader(name.Get()));
  EXPECT_EQ(dump.status, E_UNEXPECTED);
  EXPECT_EQ(dump.description.rfind(L"Cannot create file ", 0), 0u) << dump.description;
  EXPECT_TRUE(List(dir_.Path()).empty());
  Bstr line(L"<% evil %>");
  const Outcome append = Done(Object()->AppendToFile(name.Get(), line.Get()));
  EXPECT_EQ(append.status, E_UNEXPECTED);
  EXPECT_EQ(append.description, L"Invalid filename: the name contains a NUL character");
  EXPECT_TRUE(List(dir_.Path()).empty());

  // With the cut-short name present, nothing reaches it either.
  ASSERT_TRUE(Put(cut, "plain"));
  ASSERT_TRUE(Put(dir_ / "src.txt", "src"));
  VARIANT_BOOL exists = VARIANT_TRUE;
  EXPECT_EQ(Object()->get_FileExists(name.Get(), &exists), S_OK);
  EXPECT_EQ(exists, VARIANT_FALSE);
  Mode(0);
  EXPECT_EQ(Done(Object()->FileSave(name.Get(), 0)).status, E_UNEXPECTED);
  EXPECT_EQ(Done(Object()->DumpHeader(name.Get())).status, E_UNEXPECTED);
  EXPECT_EQ(Done(Object()->AppendToFile(name.Get(), line.Get())).status, E_UNEXPECTED);
  Bstr src = B(dir_ / "src.txt"), moved = B(dir_ / "moved.txt");
  EXPECT_EQ(Done(Object()->Copy(name.Get(), moved.Get())), kOk);
  EXPECT_EQ(Done(Object()->Copy(src.Get(), name.Get())), kOk);
  EXPECT_EQ(Done(Object()->Rename(src.Get(), name.Get())), kOk);
  EXPECT_EQ(Done(Object()->Rename(name.Get(), moved.Get())), kOk);
  EXPECT_EQ(Done(Object()->Delete(name.Get())), kOk);
  EXPECT_EQ(Get(cut), "plain");
  EXPECT_EQ(Get(dir_ / "src.txt"), "src");
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"evil.asp", "src.txt"}));
}

// --- DumpHeader.

TEST_F(FileOutTest, DumpHeaderWritesTheBodyAsRead) {
  const std::string body = Multipart()
                               .Field("title", "Holiday")
                               .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", kContent)
                               .Body();
  Upload(body);
  ASSERT_TRUE(Put(dir_ / "body.bin", std::string(body.size() * 2, 'x')));
  EXPECT_EQ(Dump(dir_ / "body.bin"), kOk);
  EXPECT_EQ(Get(dir_ / "body.bin"), body);
  EXPECT_EQ(Dump(dir_ / "body.bin"), kOk);  // the second replaces the first
  EXPECT_EQ(Get(dir_ / "body.bin"), body);
}

TEST_F(FileOutTest, DumpHeaderOfAnEmptyRequestCreatesAnEmptyFile) {
  Upload("");
  ASSERT_TRUE(Put(dir_ / "body.bin", "old"));
  EXPECT_EQ(Dump(dir_ / "body.bin"), kOk);
  EXPECT_EQ(Get(dir_ / "body.bin"), "");
}

// The client goes away after the first chunk: the file has the request's full
// size, the chunk that came, and zeros for the rest.
TEST_F(FileOutTest, DumpHeaderOfAnInterruptedReadFillsTheRestWithZeros) {
  const std::string body =
      Multipart()
          .File("f", "f.bin", "application/octet-stream", kvtest::FillerBytes(300000, 4))
          .Body();
  {
    // A request of the same size whose body bytes are all 0xFF, freed before
    // the interrupted one is read, so that reused memory would show.
    kvstub::StubHost dirty;
    dirty.SetBody(std::string(body.size(), '\xFF'));
    ComPtr<Iprocess> gone = kvtest::CreateUpload(dirty);
  }
  Host().DisconnectFrom(2);
  Upload(body);
  EXPECT_EQ(Host().ReadRequests(), std::vector<long>{102400});
  EXPECT_EQ(Dump(dir_ / "body.bin"), kOk);
  const std::string dumped = Get(dir_ / "body.bin");
  ASSERT_EQ(dumped.size(), body.size());
  EXPECT_TRUE(dumped.compare(0, 102400, body, 0, 102400) == 0);
  EXPECT_EQ(dumped.find_first_not_of('\0', 102400), std::string::npos);
}

// --- Version, CurrentDir, ParentDir.

TEST_F(FileOutTest, VersionIsTheFixedText) {
  UploadFile();
  Bstr version;
  ASSERT_EQ(Object()->get_Version(version.Put()), S_OK);
  EXPECT_EQ(kvtest::Text(version.Get()), L"kvParcelin 1.3F by Kelvarion, June 2005.");
  kvtest::DispResult r;
  kvtest::CallByName(Object(), L"Version", DISPATCH_PROPERTYGET, {}, r);
  ASSERT_EQ(r.status, S_OK);
  ASSERT_EQ(r.value->vt, VT_BSTR);
  EXPECT_EQ(kvtest::Text(r.value->bstrVal), L"kvParcelin 1.3F by Kelvarion, June 2005.");
}

TEST_F(FileOutTest, CurrentDirIsTheFolderOfTheRunningPage) {
  UploadFile();
  const struct {
    const wchar_t* path;
    const wchar_t* dir;
  } table[] = {
      {L"C:\\Inetpub\\wwwroot\\upload\\form.asp", L"C:\\Inetpub\\wwwroot\\upload\\"},
      {L"C:\\form.asp", L"C:\\"},
      {L"\\\\server\\share\\site\\form.asp", L"\\\\server\\share\\site\\"},
      {L"D:\\site\\\u00e9t\u00e9\\page.asp", L"D:\\site\\\u00e9t\u00e9\\"},
  };
  kvstub::ContextScope request(Host().Context());  // the call runs inside the page's request
  for (const bool asStringList : {false, true}) {
    for (const auto& row : table) {
      SCOPED_TRACE(::testing::PrintToString(std::wstring(row.path)) +
                   (asStringList ? " as a string list" : " as a string"));
      Host().SetServerVariable(L"PATH_TRANSLATED", row.path, asStringList);
      Bstr dir;
      ASSERT_EQ(Done(Object()->get_CurrentDir(dir.Put())), kOk);
      EXPECT_EQ(kvtest::Text(dir.Get()), row.dir);
    }
  }
  // No folder part at all: the empty text, as a null string.
  Host().SetServerVariable(L"PATH_TRANSLATED", L"form.asp");
  BSTR none = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(Object()->get_CurrentDir(&none), S_OK);
  EXPECT_EQ(none, nullptr);
}

TEST_F(FileOutTest, ParentDirIsTextWork) {
  UploadFile();
  const struct {
    const wchar_t* path;
    const wchar_t* parent;
  } table[] = {
      {L"C:\\Inetpub\\wwwroot\\upload\\", L"C:\\Inetpub\\wwwroot\\"},
      {L"C:\\Inetpub\\wwwroot\\upload", L"C:\\Inetpub\\wwwroot\\"},
      {L"C:\\Inetpub\\", L"C:\\"},
      {L"C:\\", L"C:\\"},
      {L"\\ab", L"\\ab"},
      {L"a\\b", L"a\\"},
      {L"abc", L"abc"},
      {L"C:", L"C:"},
      {L"a/b/c", L"a/b/c"},
      {L"\\\\srv\\share\\x\\", L"\\\\srv\\share\\"},
      {L"Z:\\\u4e2d\u6587\\\u00e9", L"Z:\\\u4e2d\u6587\\"},  // wide text, never converted
  };
  for (const auto& row : table) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(row.path)));
    Bstr path(row.path);
    Bstr parent;
    ASSERT_EQ(Object()->get_ParentDir(path.Get(), parent.Put()), S_OK);
    EXPECT_EQ(kvtest::Text(parent.Get()), row.parent);
    kvtest::DispResult r;
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = path.Get();
    kvtest::CallByName(Object(), L"ParentDir", DISPATCH_PROPERTYGET, {arg}, r);
    ASSERT_EQ(r.status, S_OK);
    EXPECT_EQ(kvtest::Text(r.value->bstrVal), row.parent);
  }
  BSTR none = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(Object()->get_ParentDir(nullptr, &none), S_OK);
  EXPECT_EQ(none, nullptr);
}

// --- AppendToFile.

TEST_F(FileOutTest, AppendToFileAddsLinesEndedByCrLf) {
  UploadFile();
  const std::string log = dir_ / "log.txt";
  EXPECT_EQ(Append(log, L"first"), kOk);
  EXPECT_EQ(Get(log), "first\r\n");
  EXPECT_EQ(Append(log, L"second"), kOk);
  EXPECT_EQ(Get(log), "first\r\nsecond\r\n");
  EXPECT_EQ(Append(log, L""), kOk);
  const std::wstring longLine(1000, L'y');  // far beyond the 128-byte buffer
  EXPECT_EQ(Append(log, longLine), kOk);
  EXPECT_EQ(Append(log, L"a\r\nb\u20ac\u4e2d"), kOk);  // breaks kept; no such character: "?"
  EXPECT_EQ(Get(log), "first\r\nsecond\r\n\r\n" + std::string(1000, 'y') + "\r\na\r\nb\x80?\r\n");

  // An existing file keeps its whole content, with or without a last line
  // break.
  ASSERT_TRUE(Put(dir_ / "old.txt", "no break"));
  EXPECT_EQ(Append(dir_ / "old.txt", L"more"), kOk);
  EXPECT_EQ(Get(dir_ / "old.txt"), "no breakmore\r\n");
  Bstr name = B(dir_ / "empty.txt");
  EXPECT_EQ(Done(Object()->AppendToFile(name.Get(), nullptr)), kOk);
  EXPECT_EQ(Get(dir_ / "empty.txt"), "\r\n");
}

TEST_F(FileOutTest, AppendToFileFailsByTheErrorNumber) {
  UploadFile();
  EXPECT_EQ(Append(dir_ / "missing\\log.txt", L"x"), Fails(L"Invalid filename"));
  ASSERT_TRUE(CreateDirectoryA((dir_ / "folder").c_str(), nullptr));
  EXPECT_EQ(Append(dir_ / "folder", L"x"), Fails(L"File access denied"));
  // (A read-only file would give "File access denied" as well, but Wine run
  // by root writes to it all the same.)

  // Names of up to 259 characters are taken; longer ones are refused.
  const std::string base = dir_ / "";
  ASSERT_LT(base.size(), 200u);
  const std::string longest = base + std::string(259 - base.size(), 'n');
  const std::string tooLong = base + std::string(260 - base.size(), 'm');
  EXPECT_EQ(Append(longest, L"ok"), kOk);
  EXPECT_EQ(Get(longest), "ok\r\n");
  const Outcome refused = Append(tooLong, L"no");
  EXPECT_EQ(refused.status, E_UNEXPECTED);
  EXPECT_EQ(refused.description, L"File name too long (more than 259 characters)");
  EXPECT_EQ(Get(tooLong), "<missing>");
}

// Another request creates the file, or deletes it, right before this one
// opens it. The file is opened or created in one step, so the other's line
// stays and this one follows it, and a file deleted meanwhile is created anew.
TEST_F(FileOutTest, AppendToFileOpensOrCreatesInOneStep) {
  UploadFile();
  {
    RaceFor race(dir_ / "appearing.txt", "the other request's line\r\n");
    ASSERT_TRUE(race.Armed());
    EXPECT_EQ(Append(dir_ / "appearing.txt", L"x"), kOk);
    EXPECT_TRUE(race.Happened());
  }
  EXPECT_EQ(Get(dir_ / "appearing.txt"), "the other request's line\r\nx\r\n");

  ASSERT_TRUE(Put(dir_ / "vanishing.txt", "v"));
  {
    RaceFor race(dir_ / "vanishing.txt", "", /*remove=*/true);
    EXPECT_EQ(Append(dir_ / "vanishing.txt", L"x"), kOk);
    EXPECT_TRUE(race.Happened());
  }
  EXPECT_EQ(Get(dir_ / "vanishing.txt"), "x\r\n");
}

// --- Copy, Delete, Rename.

TEST_F(FileOutTest, CopyCopiesTheContentAndIsSilentAboutTheTarget) {
  UploadFile();
  const std::string binary = kvtest::FillerBytes(70000, 2) + std::string(3, '\0');
  ASSERT_TRUE(Put(dir_ / "a.bin", binary));
  EXPECT_EQ(Copy(dir_ / "a.bin", dir_ / "b.bin"), kOk);
  EXPECT_TRUE(Get(dir_ / "b.bin") == binary);

  ASSERT_TRUE(Put(dir_ / "c.bin", std::string(200000, 'c')));
  EXPECT_EQ(Copy(dir_ / "a.bin", dir_ / "c.bin"), kOk);  // replaced
  EXPECT_TRUE(Get(dir_ / "c.bin") == binary);

  EXPECT_EQ(Copy(dir_ / "a.bin", dir_ / "a.bin"), kOk);  // onto itself
  EXPECT_TRUE(Get(dir_ / "a.bin") == binary);

  ASSERT_TRUE(SetFileAttributesA((dir_ / "a.bin").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Copy(dir_ / "a.bin", dir_ / "d.bin"), kOk);  // only the content
  EXPECT_EQ(GetFileAttributesA((dir_ / "d.bin").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

  EXPECT_EQ(Copy(dir_ / "missing.bin", dir_ / "e.bin"), kOk);
  ASSERT_TRUE(CreateDirectoryA((dir_ / "folder").c_str(), nullptr));
  EXPECT_EQ(Copy(dir_ / "folder", dir_ / "f.bin"), kOk);
  EXPECT_EQ(Copy(dir_ / "a.bin", dir_ / "folder"), kOk);  // a folder cannot be replaced
  EXPECT_TRUE(IsDirectory(dir_ / "folder"));
  EXPECT_EQ(List(dir_.Path()),
            (std::vector<std::string>{"a.bin", "b.bin", "c.bin", "d.bin", "folder"}));
}

// A source larger than the copy buffer is copied through it, never held
// whole; a read that fails midway reports it and leaves no half copy.
int gReadsBeforeFailure = 0;
kvtest::ImportPatch* gReadPatch = nullptr;

BOOL WINAPI FailingLaterReadFile(HANDLE file, LPVOID data, DWORD count, LPDWORD got,
                                 LPOVERLAPPED overlapped) {
  if (gReadsBeforeFailure-- == 0) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  return gReadPatch->Original<decltype(&ReadFile)>()(file, data, count, got, overlapped);
}

TEST_F(FileOutTest, CopyStreamsALargeSource) {
  UploadFile();
  const std::string big = kvtest::FillerBytes(3 * 1048576 + 7, 4);
  ASSERT_TRUE(Put(dir_ / "big.bin", big));
  {
    kvtest::MemoryTraffic traffic(kvtest::TheServer().module, big.size() / 2);
    ASSERT_TRUE(traffic.Watching());
    EXPECT_EQ(Copy(dir_ / "big.bin", dir_ / "copy.bin"), kOk);
    EXPECT_EQ(traffic.LargeBlocks(), 0u) << "the source was held whole";
  }
  EXPECT_TRUE(Get(dir_ / "copy.bin") == big);
  EXPECT_EQ(Copy(dir_ / "big.bin", dir_ / "big.bin"), kOk);  // onto itself: left as it is
  EXPECT_TRUE(Get(dir_ / "big.bin") == big);

  kvtest::ImportPatch patch(kvtest::TheServer().module, "kernel32.dll", "ReadFile",
                            reinterpret_cast<const void*>(&FailingLaterReadFile));
  ASSERT_TRUE(patch.Active());
  gReadPatch = &patch;
  gReadsBeforeFailure = 2;
  EXPECT_EQ(Copy(dir_ / "big.bin", dir_ / "half.bin"), Fails(L"Stream read error"));
  gReadPatch = nullptr;
  EXPECT_FALSE(Exists(dir_ / "half.bin")) << "half a copy was left";
}

TEST_F(FileOutTest, DeleteRemovesOneFileAndIsSilentOtherwise) {
  UploadFile();
  ASSERT_TRUE(Put(dir_ / "a.txt", "a"));
  ASSERT_TRUE(Put(dir_ / "ro.txt", "ro"));
  ASSERT_TRUE(SetFileAttributesA((dir_ / "ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryA((dir_ / "folder").c_str(), nullptr));
  EXPECT_EQ(Delete(dir_ / "a.txt"), kOk);
  EXPECT_EQ(Delete(dir_ / "a.txt"), kOk);
  EXPECT_EQ(Delete(dir_ / "ro.txt"), kOk);
  EXPECT_EQ(Delete(dir_ / "folder"), kOk);
  EXPECT_EQ(Delete(""), kOk);
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"folder", "ro.txt"}));
}

TEST_F(FileOutTest, RenameMovesFilesAndFoldersAndIsSilentOtherwise) {
  UploadFile();
  ASSERT_TRUE(Put(dir_ / "a.txt", "a"));
  ASSERT_TRUE(Put(dir_ / "b.txt", "b"));
  ASSERT_TRUE(CreateDirectoryA((dir_ / "sub").c_str(), nullptr));
  EXPECT_EQ(Rename(dir_ / "a.txt", dir_ / "b.txt"), kOk);  // taken: nothing happens
  EXPECT_EQ(Get(dir_ / "a.txt"), "a");
  EXPECT_EQ(Get(dir_ / "b.txt"), "b");
  EXPECT_EQ(Rename(dir_ / "missing.txt", dir_ / "c.txt"), kOk);
  EXPECT_EQ(Rename(dir_ / "a.txt", dir_ / "sub\\moved.txt"), kOk);
  EXPECT_EQ(Get(dir_ / "sub\\moved.txt"), "a");
  EXPECT_EQ(Rename(dir_ / "sub", dir_ / "renamed"), kOk);
  EXPECT_EQ(List(dir_.Path()), (std::vector<std::string>{"b.txt", "renamed"}));
  EXPECT_EQ(List(dir_ / "renamed"), std::vector<std::string>{"moved.txt"});
}

// --- By name, as a script calls them.

TEST_F(FileOutTest, ByNameTheScriptSeesTheSameFailures) {
  UploadFile();
  const std::string target = dir_ / "nowhere\\x.jpg";
  Bstr name = B(target);
  VARIANT args[2];
  VariantInit(&args[0]);
  args[0].vt = VT_BSTR;
  args[0].bstrVal = name.Get();
  VariantInit(&args[1]);
  args[1].vt = VT_I4;
  args[1].lVal = 0;
  kvtest::DispResult r;
  kvtest::CallByName(Object(), L"FileSave", DISPATCH_METHOD, {args[0], args[1]}, r);
  EXPECT_EQ(r.status, DISP_E_EXCEPTION);
  EXPECT_EQ(static_cast<HRESULT>(r.excep.scode), E_UNEXPECTED);
  EXPECT_EQ(kvtest::Text(r.excep.bstrSource), L"kvParcelin.process");
  EXPECT_EQ(kvtest::Text(r.excep.bstrDescription), L"Cannot create file " + Wide(target));

  kvtest::DispResult append;
  kvtest::CallByName(Object(), L"AppendToFile", DISPATCH_METHOD, {args[0], args[0]}, append);
  EXPECT_EQ(append.status, DISP_E_EXCEPTION);
  EXPECT_EQ(kvtest::Text(append.excep.bstrDescription), L"Invalid filename");

  args[1].lVal = 0;
  const std::string good = dir_ / "x.jpg";
  Bstr goodName = B(good);
  args[0].bstrVal = goodName.Get();
  kvtest::DispResult saved;
  kvtest::CallByName(Object(), L"FileSave", DISPATCH_METHOD, {args[0], args[1]}, saved);
  EXPECT_EQ(saved.status, S_OK);
  EXPECT_EQ(Get(good), kContent);
}

// --- Names the ANSI code page cannot hold.

// A folder's file names, as the file system has them.
std::vector<std::wstring> ListWide(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> ListWide(const std::string& folder) {
  return ListWide(Wide(folder));
}

std::string GetWide(const std::wstring& path) {
  kvp::FileHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(f.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    content.append(buffer, got);
  return content;
}

class WideNameTest : public FileOutTest {
 protected:
  void TearDown() override {
    // The folder's own clean-up sees these names only as "?".
    for (const std::wstring& name : ListWide(dir_.Path()))
      DeleteFileW((Wide(dir_.Path()) + L"\\" + name).c_str());
  }
  std::wstring In(const std::wstring& name) { return Wide(dir_.Path()) + L"\\" + name; }
  static Bstr W(const std::wstring& text) {
    return Bstr(text.data(), static_cast<UINT>(text.size()));
  }
  Outcome SaveW(const std::wstring& name) {
    Bstr b = W(name);
    return Done(Object()->FileSave(b.Get(), 0));
  }
};

// Japanese, Greek and a Latin letter that the narrowing would have made "a":
// each file gets exactly the name the page asked for.
TEST_F(WideNameTest, SavedFilesKeepEveryCharacter) {
  ASSERT_EQ(GetACP(), 1252u);
  UploadFile();
  const std::wstring names[] = {L"\u65e5\u672c\u8a9e.txt",
                                L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1.pdf", L"\u0101.txt"};
  for (const std::wstring& name : names) EXPECT_EQ(SaveW(In(name)), kOk);
  std::vector<std::wstring> expected(std::begin(names), std::end(names));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListWide(dir_.Path()), expected) << "no best-fit twin such as a.txt";
  for (const std::wstring& name : names) EXPECT_EQ(GetWide(In(name)), kContent);

  // Numbered names are made of the wide name, and NewName says which.
  Mode(2);
  EXPECT_EQ(SaveW(In(names[1])), kOk);
  EXPECT_EQ(NewName(), L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1~1.pdf");
  EXPECT_EQ(GetWide(In(L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1~1.pdf")), kContent);
  Mode(1);
  EXPECT_EQ(SaveW(In(names[0])), kOk);  // kept, not replaced
  EXPECT_EQ(ListWide(dir_.Path()).size(), 4u);
  // So is an OverwriteChr that the code page lacks.
  Mode(2);
  Bstr numero = W(L"\u2116");
  ASSERT_EQ(Object()->put_OverwriteChr(numero.Get()), S_OK);
  EXPECT_EQ(SaveW(In(names[1])), kOk);
  EXPECT_EQ(NewName(), L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\u21161.pdf");
  EXPECT_EQ(GetWide(In(L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\u21161.pdf")), kContent);
  EXPECT_EQ(ListWide(dir_.Path()).size(), 5u);
}

TEST_F(WideNameTest, UtilitiesTakeWideNames) {
  UploadFile();
  const std::wstring a = In(L"\u65e5\u672c.txt"), b = In(L"\u0101\u0101.txt"),
                     c = In(L"\u0395.bin");
  Bstr wa = W(a), wb = W(b), wc = W(c), line = W(L"caf\u00e9");
  EXPECT_EQ(Done(Object()->AppendToFile(wa.Get(), line.Get())), kOk);
  EXPECT_EQ(Done(Object()->AppendToFile(wa.Get(), line.Get())), kOk);
  EXPECT_EQ(GetWide(a), "caf\xe9\r\ncaf\xe9\r\n");
  VARIANT_BOOL exists = VARIANT_FALSE;
  EXPECT_EQ(Object()->get_FileExists(wa.Get(), &exists), S_OK);
  EXPECT_EQ(exists, VARIANT_TRUE);
  EXPECT_EQ(Object()->get_FileExists(wb.Get(), &exists), S_OK);
  EXPECT_EQ(exists, VARIANT_FALSE);
  EXPECT_EQ(Done(Object()->Copy(wa.Get(), wb.Get())), kOk);
  EXPECT_EQ(GetWide(b), GetWide(a));
  EXPECT_EQ(Done(Object()->Rename(wb.Get(), wc.Get())), kOk);
  EXPECT_EQ(GetWide(b), "<missing>");
  EXPECT_EQ(GetWide(c), "caf\xe9\r\ncaf\xe9\r\n");
  EXPECT_EQ(Done(Object()->Delete(wc.Get())), kOk);
  EXPECT_EQ(GetWide(c), "<missing>");
  EXPECT_EQ(Done(Object()->DumpHeader(wc.Get())), kOk);
  EXPECT_EQ(GetWide(c).size(), static_cast<size_t>(GetWide(c).size()));
  EXPECT_NE(GetWide(c), "<missing>");
  EXPECT_EQ(ListWide(dir_.Path()), (std::vector<std::wstring>{L"\u0395.bin", L"\u65e5\u672c.txt"}));

  // A name that cannot be created names itself, in its ANSI form, in the
  // message; "too long" still counts the bytes of that form.
  const std::wstring missing = In(L"no-such-folder\\\u65e5.txt");
  EXPECT_EQ(SaveW(missing), CannotCreate(kvp::ToAnsi(missing)));
  Bstr longName = W(In(std::wstring(300, L'\u65e5')));
  EXPECT_EQ(Done(Object()->AppendToFile(longName.Get(), line.Get())),
            Fails(L"File name too long (more than 259 characters)"));
}

TEST_F(WideNameTest, CurrentDirKeepsEveryCharacter) {
  UploadFile();
  kvstub::ContextScope request(Host().Context());  // the call runs inside the page's request
  Host().SetServerVariable(L"PATH_TRANSLATED", L"C:\\site\\\u65e5\u672c\\page.asp", true);
  Bstr dir;
  ASSERT_EQ(Object()->get_CurrentDir(dir.Put()), S_OK);
  EXPECT_EQ(kvtest::Text(dir.Get()), L"C:\\site\\\u65e5\u672c\\");
}

// --- Numbered names from one listing, against trying the numbers one by one.

// The numbered name as trying the numbers from 1 upward finds it: the
// existence test of every number in turn, then the creation.
std::wstring ProbeNumbers(const std::wstring& target, const std::wstring& chr,
                          const kvp::TryWrite& tryWrite) {
  const std::wstring_view ext = kvp::ExtractFileExt(target, kvp::Separators::WindowsAndSlash);
  const std::wstring stem = target.substr(0, target.size() - ext.size());
  for (uint64_t n = 1;; ++n) {
    const std::wstring candidate = stem + chr + std::to_wstring(n) + std::wstring(ext);
    if (kvp::FileExists(candidate)) continue;
    if (tryWrite(candidate) == kvp::WriteOutcome::Written) return candidate;
  }
}

bool MakeFileW(const std::wstring& path, std::string_view content) {
  kvp::FileHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return f.Valid() &&
         WriteFile(f.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

void RemoveTreeW(const std::wstring& folder) {
  for (const std::wstring& name : ListWide(folder)) {
    const std::wstring path = folder + L"\\" + name;
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
      RemoveTreeW(path);
    else
      DeleteFileW(path.c_str());
  }
  RemoveDirectoryW(folder.c_str());
}

// What one way of choosing did: the names it tried to create, in order, and
// the name it wrote or the message of its failure.
struct Choice {
  std::vector<std::wstring> tried;
  std::wstring result;
  bool operator==(const Choice&) const = default;
};

void PrintTo(const Choice& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.result) << " after trying "
      << ::testing::PrintToString(c.tried);
}

// Runs one way of choosing. Another writer takes each of the first `racers`
// names just before this one creates it. Every file made is removed again,
// so that the folder is as it was.
template <typename Choose>
Choice Chosen(Choose choose, int racers) {
  Choice c;
  std::vector<std::wstring> made;
  const kvp::TryWrite tryWrite = [&](const std::wstring& name) {
    c.tried.push_back(name);
    if (static_cast<int>(c.tried.size()) <= racers && MakeFileW(name, "other"))
      made.push_back(name);
    kvp::TMemoryStream content;
    content.Write(kContent.data(), static_cast<int64_t>(kContent.size()));
    const kvp::WriteOutcome outcome =
        kvp::WriteBodyToFile(name, content, 0, content.Size(), kvp::CreateMode::CreateNew);
    if (outcome == kvp::WriteOutcome::Written) made.push_back(name);
    return outcome;
  };
  try {
    c.result = choose(tryWrite);
  } catch (const std::exception& e) {
    c.result = L"raised " + Wide(e.what());
  }
  for (const std::wstring& name : made) DeleteFileW(name.c_str());
  return c;
}

// Random folders: numbered names present or not (gaps), as files, as files
// spelt in other case, as folders, beside names that only look numbered;
// targets with and without an extension, ending in a dot or a space, in a
// folder with a dot, Greek with a final sigma, a device's stem; separators
// empty, of several characters, outside the code page, digits, dots, a
// folder separator and wildcards. Both ways must try the same names and end
// the same way.
TEST_F(FileOutTest, NumberedNameFromOneListingEqualsTryingEveryNumber) {
  struct Shape {
    const wchar_t* folder;  // below the case's folder; empty: the case's folder itself
    const wchar_t* name;
  };
  const Shape shapes[] = {
      {L"", L"photo.jpg"},
      {L"", L"Photo.JPG"},
      {L"", L"readme"},
      {L"", L"report 7"},
      {L"", L"file."},
      {L"", L"x.y "},
      {L"", L"a.tar.gz"},
      {L"data.old", L"notes"},
      {L"", L"\u0395\u03bb\u03bb\u03ac\u03c2.pdf"},
      {L"", L"\u00e9t\u00e9.txt"},
      {L"", L"com.txt"},
  };
  const wchar_t* const chrs[] = {L"~", L"~", L"~", L"",   L"_copy", L"-", L"\u2116",
                                 L"1", L" ", L".", L"\\", L"?",     L"*"};
  // Bare names that look numbered but are not, made of the stem, the
  // separator, a middle and the extension (and sometimes more).
  const struct {
    const wchar_t* middle;
    const wchar_t* after;
  } lookalikes[] = {{L"0", L""},          {L"01", L""},
                    {L"1", L".bak"},      {L"1x", L""},
                    {L"", L""},           {L"-1", L""},
                    {L" 1", L""},         {L"\uff11", L""},
                    {L"4294967296", L""}, {L"99999999999999999999", L""},
                    {L"2", L"~"}};

  std::mt19937 random(20240611);
  const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  int written = 0, raised = 0, inGaps = 0;
  for (int round = 0; round < 160; ++round) {
    const Shape& shape = shapes[pick(std::size(shapes))];
    const std::wstring chr = chrs[pick(std::size(chrs))];
    const std::wstring root = Wide(dir_ / ("case" + std::to_string(round)));
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    std::wstring folder = root;
    if (*shape.folder) {
      folder += L"\\" + std::wstring(shape.folder);
      ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    }
    const std::wstring target = folder + L"\\" + shape.name;
    const std::wstring_view ext = kvp::ExtractFileExt(target, kvp::Separators::WindowsAndSlash);
    const std::wstring stem = target.substr(0, target.size() - ext.size());
    if (chr == L"\\" && pick(2)) CreateDirectoryW(stem.c_str(), nullptr);
    MakeFileW(target, "target");

    // Names present: a run of numbers with gaps, some spelt in upper case,
    // some folders.
    // (A name that answers already is a device's: com1.txt is COM1.)
    const auto fresh = [](const std::wstring& name) {
      return GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES && !kvp::FileExists(name);
    };
    const int top = static_cast<int>(pick(30));
    for (int n = 1; n <= top; ++n) {
      std::wstring name = stem + chr + std::to_wstring(n) + std::wstring(ext);
      if (!fresh(name)) continue;
      switch (pick(10)) {
        case 0:
        case 1:
        case 2:
          break;  // a gap
        case 3: {
          const size_t bare = name.rfind(L'\\') + 1;
          CharUpperBuffW(name.data() + bare, static_cast<DWORD>(name.size() - bare));
          MakeFileW(name, "upper");
          break;
        }
        case 4:
          CreateDirectoryW(name.c_str(), nullptr);
          break;
        default:
          MakeFileW(name, "numbered");
      }
    }
    for (int i = static_cast<int>(pick(4)); i > 0; --i) {
      const auto& odd = lookalikes[pick(std::size(lookalikes))];
      const std::wstring name = stem + chr + odd.middle + std::wstring(ext) + odd.after;
      if (fresh(name)) MakeFileW(name, "lookalike");
    }

    SCOPED_TRACE(kvp::ToAnsi(target) + " separator \"" + kvp::ToAnsi(chr) + "\"");
    const int racers = static_cast<int>(pick(5)) == 0 ? 1 + static_cast<int>(pick(2)) : 0;
    const Choice probed = Chosen(
        [&](const kvp::TryWrite& tryWrite) { return ProbeNumbers(target, chr, tryWrite); }, racers);
    const Choice listed = Chosen(
        [&](const kvp::TryWrite& tryWrite) {
          return kvp::WriteUnderFreeNumber(target, chr, tryWrite);
        },
        racers);
    EXPECT_EQ(listed, probed);
    if (probed.result.starts_with(L"raised")) {
      ++raised;
    } else {
      ++written;
      for (int n = 1; n < top; ++n)
        if (probed.result == kvp::NumberedName(target, chr, static_cast<uint64_t>(n))) ++inGaps;
    }
    RemoveTreeW(root);
  }
  std::printf("%d written (%d in a gap), %d failed as they should\n", written, inGaps, raised);
  EXPECT_GT(written, 80);
  EXPECT_GT(inGaps, 30);
  EXPECT_GT(raised, 20);
}

}  // namespace
