// Requests that save under one name at the same moment: eight apartments,
// each with an upload object of its own whose file holds that thread's own
// bytes, let go together at a start gate. Whatever the interleaving, no
// saved byte may be lost or mixed with another request's, and a request
// that loses the race learns so from an error, never from a wrong file.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fileout/fileio.h"
#include "frame_support.h"
#include "server/ansitext.h"
#include "sta_threads.h"
#include "testsupport.h"

namespace {

using kvtest::ReadWhole;

using kvp::Bstr;
using kvp::ComPtr;
using kvtest::Faults;

constexpr int kThreads = 8;
// Each race is run this many times, in a fresh folder each time, as one
// run may happen to let the threads through one after another.
constexpr int kRaces = 12;

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

// A new, empty folder; removed with its files at the end.
class Folder {
 public:
  Folder() {
    static int counter = 0;
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "kvsaverace-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(++counter);
    ok_ = CreateDirectoryA(path_.c_str(), nullptr) != FALSE;
  }
  ~Folder() {
    for (const std::string& name : List(path_)) DeleteFileA((path_ + "\\" + name).c_str());
    RemoveDirectoryA(path_.c_str());
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  bool Ok() const noexcept { return ok_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& Path() const noexcept { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

Bstr B(const std::string& ansi) {
  const std::wstring w = kvp::ToWideString(ansi);
  return Bstr(w.data(), static_cast<UINT>(w.size()));
}

// The outcome of one call: S_OK, or the failure's description.
std::string Outcome(HRESULT hr) {
  if (SUCCEEDED(hr)) return "ok";
  ComPtr<IErrorInfo> info;
  Bstr description;
  if (GetErrorInfo(0, info.Put()) == S_OK && info) info->GetDescription(description.Put());
  return kvp::ToAnsi(
      std::wstring_view(description.Get() ? description.Get() : L"", description.Length()));
}

// Thread t's bytes: large enough that the writes overlap, and different from
// every other thread's from the first byte on.
std::string Content(int t, int race) {
  return "thread " + std::to_string(t) + " race " + std::to_string(race) + "\n" +
         kvtest::FillerBytes(300000 + static_cast<size_t>(t) * 1000, t * 100 + race);
}

// What each thread's save reported, and its NewName afterwards.
struct Saved {
  std::string outcome;
  std::string newName;
};

// Every thread creates its upload object (the file is sent as `clientName`),
// sets the mode, and saves to `target` when the gate opens.
std::vector<Saved> SaveAtOnce(int race, LONG mode, const std::string& clientName,
                              const std::string& target, std::string& faults) {
  std::vector<Saved> saved(kThreads);
  faults += kvtest::RunOnStaThreads(kThreads, [&](int t, kvtest::Gate& gate, Faults& f) {
    kvstub::StubHost host;
    host.SetBody(kvtest::Multipart().File("f", clientName, "x/y", Content(t, race)).Body());
    ComPtr<Iprocess> upload = kvtest::CreateUpload(host);
    if (!f.Check(static_cast<bool>(upload), "no upload object")) return;
    f.Check(upload->put_OverwriteMode(mode) == S_OK, "OverwriteMode");
    Bstr name = B(target);
    gate.Wait();
    saved[static_cast<size_t>(t)].outcome = Outcome(upload->FileSave(name.Get(), 0));
    Bstr newName;
    f.Check(upload->get_NewName(0, newName.Put()) == S_OK, "NewName");
    saved[static_cast<size_t>(t)].newName =
        kvp::ToAnsi(std::wstring_view(newName.Get() ? newName.Get() : L"", newName.Length()));
  });
  return saved;
}

// The thread whose bytes a file holds, or -1 when they are nobody's whole.
int Owner(const std::string& content, int race) {
  for (int t = 0; t < kThreads; ++t)
    if (content == Content(t, race)) return t;
  return -1;
}

class ConcurrentSave : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kvtest::TheServer().module, nullptr) << "kvParcelin.dll not found";
  }
};

// Mode 1 keeps the file that was there first: exactly one file, one
// thread's whole bytes, and every thread told success (an existing name is
// no error in mode 1); no NewName is set.
TEST_F(ConcurrentSave, ModeOneLeavesOnlyTheFirstFile) {
  for (int race = 0; race < kRaces; ++race) {
    Folder dir;
    ASSERT_TRUE(dir.Ok());
    std::string faults;
    const std::vector<Saved> saved = SaveAtOnce(race, 1, "same.bin", dir / "same.bin", faults);
    ASSERT_EQ(faults, "");
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(saved[t].outcome, "ok") << "race " << race << ", thread " << t;
      EXPECT_EQ(saved[t].newName, "") << "race " << race << ", thread " << t;
    }
    ASSERT_EQ(List(dir.Path()), std::vector<std::string>{"same.bin"}) << "race " << race;
    EXPECT_GE(Owner(ReadWhole(dir / "same.bin"), race), 0)
        << "race " << race << ": the file is not one thread's whole bytes";
  }
}

// Eight mode-2 saves of same.bin into dir at once, race `race`: every thread
// told success, the NewNames exactly `expected`, and each naming the file
// that holds that thread's bytes. (The client's file name is the target's,
// so that NewName names the file actually written in either case.)
void ExpectEveryThreadItsOwnFile(int race, const Folder& dir,
                                 const std::set<std::string>& expected) {
  std::string faults;
  const std::vector<Saved> saved = SaveAtOnce(race, 2, "same.bin", dir / "same.bin", faults);
  ASSERT_EQ(faults, "");
  std::set<std::string> named;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(saved[t].outcome, "ok") << "race " << race << ", thread " << t;
    named.insert(saved[t].newName);
    EXPECT_EQ(ReadWhole(dir / saved[t].newName), Content(t, race))
        << "race " << race << ": thread " << t << "'s NewName " << saved[t].newName
        << " does not hold its bytes";
  }
  EXPECT_EQ(named, expected) << "race " << race << ": two threads were given one name";
}

// Into an empty folder: the name itself and the numbers 1 to 7.
TEST_F(ConcurrentSave, ModeTwoGivesEveryThreadItsOwnFile) {
  std::set<std::string> expected{"same.bin"};
  for (int n = 1; n < kThreads; ++n) expected.insert("same~" + std::to_string(n) + ".bin");
  for (int race = 0; race < kRaces; ++race) {
    Folder dir;
    ASSERT_TRUE(dir.Ok());
    ExpectEveryThreadItsOwnFile(race, dir, expected);
    const std::vector<std::string> files = List(dir.Path());
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), expected) << "race " << race;
  }
}

// Into a folder that holds 5,000 numbered names, one number (2,500) missing:
// the gap and the numbers after the last, and every old file as it was.
TEST_F(ConcurrentSave, ModeTwoInAFullFolderGivesEveryThreadItsOwnFile) {
  constexpr int kLast = 5001, kGap = 2500;
  Folder dir;
  ASSERT_TRUE(dir.Ok());
  const auto numbered = [](int n) { return "same~" + std::to_string(n) + ".bin"; };
  std::vector<std::string> old{"same.bin"};
  for (int n = 1; n <= kLast; ++n)
    if (n != kGap) old.push_back(numbered(n));
  for (const std::string& name : old) {
    kvp::FileHandle f(CreateFileA((dir / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(f.Valid()) << name;
  }
  std::sort(old.begin(), old.end());
  std::set<std::string> expected{numbered(kGap)};
  for (int n = kLast + 1; n < kLast + kThreads; ++n) expected.insert(numbered(n));
  for (int race = 0; race < kRaces / 2; ++race) {
    ExpectEveryThreadItsOwnFile(race, dir, expected);
    for (const std::string& name : expected) DeleteFileA((dir / name).c_str());
    ASSERT_EQ(List(dir.Path()), old) << "race " << race;
  }
}

// Mode 0 replaces, so one thread's bytes remain, whole. A thread whose
// creation meets another's open file fails with "Cannot create file", and
// the file then never holds its bytes.
TEST_F(ConcurrentSave, ModeZeroLeavesOneWholeFileAndTellsTheLosers) {
  int refused = 0;
  for (int race = 0; race < kRaces; ++race) {
    Folder dir;
    ASSERT_TRUE(dir.Ok());
    std::string faults;
    const std::string target = dir / "same.bin";
    const std::vector<Saved> saved = SaveAtOnce(race, 0, "client.bin", target, faults);
    ASSERT_EQ(faults, "");
    ASSERT_EQ(List(dir.Path()), std::vector<std::string>{"same.bin"}) << "race " << race;
    const int owner = Owner(ReadWhole(target), race);
    ASSERT_GE(owner, 0) << "race " << race << ": the file mixes or cuts the threads' bytes";
    EXPECT_EQ(saved[owner].outcome, "ok") << "race " << race << ": the file holds a loser's bytes";
    for (int t = 0; t < kThreads; ++t) {
      if (saved[t].outcome == "ok") continue;
      ++refused;
      EXPECT_EQ(saved[t].outcome, "Cannot create file " + target)
          << "race " << race << ", thread " << t;
    }
  }
  std::printf("mode 0: %d of %d saves met another's open file\n", refused, kRaces * kThreads);
}

// AppendToFile from eight threads into one file that does not exist yet:
// every line whose call succeeded is in the file, whole, exactly once; a
// call that met another's open file failed with the sharing violation
// (error 32) and left nothing.
TEST_F(ConcurrentSave, AppendingThreadsLoseNoLine) {
  constexpr int kLines = 40;
  int refused = 0;
  for (int race = 0; race < kRaces; ++race) {
    Folder dir;
    ASSERT_TRUE(dir.Ok());
    const std::string log = dir / "log.txt";
    // outcomes[t][i]: what thread t's i-th call reported.
    std::vector<std::vector<std::string>> outcomes(kThreads);
    const auto line = [&](int t, int i) {
      // Longer than the 128-byte buffer, so that one line takes several writes.
      return "race " + std::to_string(race) + " thread " + std::to_string(t) + " line " +
             std::to_string(i) + " " + std::string(150, static_cast<char>('a' + t));
    };
    const std::string faults =
        kvtest::RunOnStaThreads(kThreads, [&](int t, kvtest::Gate& gate, Faults& f) {
          kvstub::StubHost host;
          host.SetBody(kvtest::Multipart().Field("a", "1").Body());
          ComPtr<Iprocess> upload = kvtest::CreateUpload(host);
          if (!f.Check(static_cast<bool>(upload), "no upload object")) return;
          Bstr name = B(log);
          gate.Wait();
          for (int i = 0; i < kLines; ++i) {
            Bstr text = B(line(t, i));
            outcomes[t].push_back(Outcome(upload->AppendToFile(name.Get(), text.Get())));
          }
        });
    ASSERT_EQ(faults, "");

    std::map<std::string, int> inFile;
    const std::string content = ReadWhole(log);
    size_t at = 0;
    for (size_t end; (end = content.find("\r\n", at)) != std::string::npos; at = end + 2)
      ++inFile[content.substr(at, end - at)];
    EXPECT_EQ(at, content.size()) << "race " << race << ": the file ends inside a line";
    size_t appended = 0;
    for (int t = 0; t < kThreads; ++t) {
      for (int i = 0; i < kLines; ++i) {
        const std::string& outcome = outcomes[t][static_cast<size_t>(i)];
        const auto found = inFile.find(line(t, i));
        const int copies = found == inFile.end() ? 0 : found->second;
        if (outcome == "ok") {
          ++appended;
          EXPECT_EQ(copies, 1) << "race " << race << ": thread " << t << ", line " << i
                               << " succeeded but is in the file " << copies << " times";
        } else {
          ++refused;
          EXPECT_EQ(outcome, "I/O error 32") << "race " << race << ", thread " << t;
          EXPECT_EQ(copies, 0) << "race " << race << ": a failed line is in the file";
        }
      }
    }
    EXPECT_EQ(inFile.size(), appended)
        << "race " << race << ": the file's lines are not those of the calls that succeeded";
  }
  std::printf("append: %d of %d calls met another's open file\n", refused,
              kRaces * kThreads * kLines);
}

}  // namespace
