// What FileData, FileSave and TagNameIndex of kvParcelin.dll cost, measured
// under Wine in one run against the plain operations they stand for:
//
//   FileData of a 64 MiB item    against memcpy of the same bytes
//                                (target: memcpy time / FileData time >= 1/2)
//   FileSave of a 256 MiB item   against CreateFile/WriteFile/CloseHandle of
//                                the same bytes into the same folder
//                                (target: FileSave time <= 1.5 x that)
//   TagNameIndex of each of      against VarByIndex of as many lines
//   10,000 files                 (target: TagNameIndex time <= 2 x that)
//
// The object is created through the real DLL's class factory inside a
// stand-in ASP request (the stand-in mtxex.dll and an NT 4.0 process, as in
// the Wine tests). Every figure is the best of several runs, the two sides
// alternating in order. Prints PASS/FAIL per target; exits with 1 when one
// fails, 2 when the measurement cannot be made. Not part of ctest.
//
//   kvwinebench [runs, default 7]
//   kvwinebench --tag-names [runs]            (only TagNameIndex)
//   kvwinebench --fresh-memory MiB [FOLDER]   (only what fresh memory and a
//                                              file write of it cost)
//   kvwinebench --spool-parts MiB             (where a spooled upload's time
//                                              goes, step by step; used by
//                                              serve_bench.py)
//   kvwinebench --small-uploads DLL_A DLL_B [runs]
//                                             (small uploads through two
//                                              builds of the DLL, taking turns;
//                                              used by serve_bench.py)
//   kvwinebench --threshold-sweep [runs]      (an upload of 64 KiB to 64 MiB
//                                              held in memory against spooled:
//                                              time and commit charge)
//
// --spool-parts and --threshold-sweep drive the engine linked into this
// program (the DLL's code, its spool settings set per side), not the DLL.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "aspstub.h"
#include "commitcharge.h"
#include "engine/process.h"
#include "engine/spoolfile.h"
#include "engine/spoolsettings.h"
#include "fileout/fileio.h"
#include "mtxexclient.h"
#include "server/kvParcelin_TLB.h"
#include "server/oleptr.h"

namespace {

using kvp::Bstr;
using kvp::ComPtr;

constexpr double kMiB = 1024.0 * 1024.0;
int failures = 0;

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / frequency;
}

// Seconds that one call of work takes.
double Time(const std::function<void()>& work) {
  const double start = Now();
  work();
  return Now() - start;
}

void Verdict(const char* target, bool pass) {
  std::printf("  %-66s %s\n", target, pass ? "PASS" : "FAIL");
  if (!pass) ++failures;
}

std::string Bytes(size_t n) {
  std::string out(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

std::string OneFileBody(const std::string& content) {
  const std::string delimiter = "-----------------------------7d1";
  std::string body;
  body.reserve(content.size() + 512);
  body += delimiter + "\r\n";
  body += "Content-Disposition: form-data; name=\"f\"; filename=\"C:\\data\\big.bin\"\r\n";
  body += "Content-Type: application/octet-stream\r\n\r\n";
  body += content;
  body += "\r\n" + delimiter + "--\r\n";
  return body;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  folder.erase(folder.find_last_of(L'\\') + 1);
  return folder;
}

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

// The upload object for a request carrying body, through the DLL's factory.
ComPtr<Iprocess> CreateUpload(HMODULE dll, kvstub::StubHost& host) {
  const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllGetClassObject")));
  ComPtr<IClassFactory> factory;
  if (!getClassObject ||
      FAILED(getClassObject(CLSID_process, IID_IClassFactory, factory.PutVoid())))
    return {};
  kvstub::ContextScope scope(host.Context());
  ComPtr<Iprocess> upload;
  factory->CreateInstance(nullptr, IID_Iprocess, upload.PutVoid());
  return upload;
}

// The best time of each side over runs, the sides taking turns at going
// first.
std::vector<double> BestOf(int runs, const std::vector<std::function<double()>>& sides) {
  std::vector<double> best(sides.size(), 1e300);
  for (int i = 0; i < runs; ++i)
    for (size_t k = 0; k < sides.size(); ++k) {
      const size_t s = (k + static_cast<size_t>(i)) % sides.size();
      best[s] = std::min(best[s], sides[s]());
    }
  return best;
}

bool MeasureFileData(HMODULE dll, int runs) {
  const size_t size = 64 * 1048576;
  const std::string content = Bytes(size);
  kvstub::StubHost host;
  host.SetBody(OneFileBody(content));
  ComPtr<Iprocess> upload = CreateUpload(dll, host);
  LONG qty = 0;
  if (!upload || FAILED(upload->get_FileQty(&qty)) || qty != 1) return false;

  // The check before the timing: the array holds the item's bytes.
  {
    kvp::Variant v;
    if (FAILED(upload->get_FileData(0, v.Get())) || v->vt != (VT_ARRAY | VT_UI1)) return false;
    kvp::SafeArrayLock lock(v->parray);
    if (v->parray->rgsabound[0].cElements != size || std::memcmp(lock.Data(), content.data(), size))
      return false;
  }

  // memcpy into a buffer that already exists (touched once beforehand), and
  // into a newly allocated one, which is what FileData must also do.
  std::string target(size, '\0');
  const std::vector<double> best =
      BestOf(runs, {[&] {
                      kvp::Variant v;  // cleared after the timing
                      return Time([&] { upload->get_FileData(0, v.Get()); });
                    },
                    [&] { return Time([&] { std::memcpy(target.data(), content.data(), size); }); },
                    [&] {
                      void* p = nullptr;
                      const double t = Time([&] {
                        p = std::malloc(size);
                        if (p) std::memcpy(p, content.data(), size);
                      });
                      std::free(p);
                      return t;
                    }});
  const double fileData = best[0], copy = best[1], freshCopy = best[2];

  std::printf("FileData, item of %.0f MiB (best of %d)\n", size / kMiB, runs);
  std::printf("  FileData                          %8.2f ms  %8.0f MiB/s\n", fileData * 1e3,
              size / kMiB / fileData);
  std::printf("  memcpy into an existing buffer    %8.2f ms  %8.0f MiB/s\n", copy * 1e3,
              size / kMiB / copy);
  std::printf("  malloc + memcpy into a new buffer %8.2f ms  %8.0f MiB/s\n", freshCopy * 1e3,
              size / kMiB / freshCopy);
  const double ratio = copy / fileData;
  std::printf("  memcpy / FileData = %.2f, (malloc + memcpy) / FileData = %.2f\n", ratio,
              freshCopy / fileData);
  Verdict("FileData of 64 MiB: memcpy time / FileData time >= 0.5", ratio >= 0.5);
  // The same work as FileData must do: fresh memory, then one copy. Where
  // first touches of fresh pages are dear, this decides the figure above.
  Verdict("FileData of 64 MiB: (malloc + memcpy) time / FileData time >= 0.5",
          freshCopy / fileData >= 0.5);
  return true;
}

bool MeasureFileSave(HMODULE dll, int runs) {
  const size_t size = 256 * 1048576;
  const std::string content = Bytes(size);
  kvstub::StubHost host;
  host.SetBody(OneFileBody(content));
  ComPtr<Iprocess> upload = CreateUpload(dll, host);
  LONG qty = 0;
  if (!upload || FAILED(upload->get_FileQty(&qty)) || qty != 1) return false;

  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string folder =
      std::string(temp) + "kvwinebench-" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string saved = folder + "\\saved.bin";
  const std::string bare = folder + "\\bare.bin";
  Bstr savedName;
  {
    std::wstring w(saved.begin(), saved.end());
    savedName = Bstr(w.c_str());
  }

  bool ok = upload->put_OverwriteMode(0) == S_OK;
  const std::vector<double> best = BestOf(
      runs, {[&] {
               return Time([&] {
                 if (FAILED(upload->FileSave(savedName.Get(), 0))) ok = false;
               });
             },
             [&] {
               return Time([&] {
                 const HANDLE f =
                     CreateFileA(bare.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                 DWORD written = 0;
                 if (f == INVALID_HANDLE_VALUE ||
                     !WriteFile(f, content.data(), static_cast<DWORD>(size), &written, nullptr) ||
                     written != size)
                   ok = false;
                 CloseHandle(f);
               });
             }});
  const double save = best[0], write = best[1];

  // The check after the timing: the saved file holds the item's bytes.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ok = ok && GetFileAttributesExA(saved.c_str(), GetFileExInfoStandard, &data) &&
       data.nFileSizeLow == size && data.nFileSizeHigh == 0;
  if (ok) {
    const HANDLE f = CreateFileA(saved.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string back(size, '\0');
    DWORD got = 0;
    ok = f != INVALID_HANDLE_VALUE &&
         ReadFile(f, back.data(), static_cast<DWORD>(size), &got, nullptr) && got == size &&
         back == content;
    CloseHandle(f);
  }
  DeleteFileA(saved.c_str());
  DeleteFileA(bare.c_str());
  RemoveDirectoryA(folder.c_str());
  if (!ok) return false;

  std::printf("FileSave, item of %.0f MiB into %s (best of %d)\n", size / kMiB, folder.c_str(),
              runs);
  std::printf("  FileSave                          %8.2f ms  %8.0f MiB/s\n", save * 1e3,
              size / kMiB / save);
  std::printf("  CreateFile + WriteFile + Close    %8.2f ms  %8.0f MiB/s\n", write * 1e3,
              size / kMiB / write);
  const double ratio = save / write;
  std::printf("  FileSave / bare write = %.2f\n", ratio);
  Verdict("FileSave of 256 MiB: time <= 1.5 x a bare WriteFile", ratio <= 1.5);
  return true;
}

// TagNameIndex for each of 10,000 files against VarByIndex over as many
// lines, through the dual interface. Each TagNameIndex run takes a new object,
// so that the index of tag names is built within the timing; VarByIndex reads
// the list the parse built. Both sides check their answers.
bool MeasureTagNameIndex(HMODULE dll, int runs) {
  constexpr LONG kFiles = 10000;
  const std::string delimiter = "-----------------------------7d1";
  std::string body;
  for (LONG i = 0; i < kFiles; ++i) {
    const std::string n = std::to_string(i);
    body += delimiter + "\r\nContent-Disposition: form-data; name=\"upload" + n +
            "\"; filename=\"C:\\photos\\holiday " + n +
            ".jpg\"\r\nContent-Type: image/jpeg\r\n\r\n" + Bytes(64) + "\r\n";
  }
  body += delimiter + "--\r\n";
  kvstub::StubHost host;
  host.SetBody(body);
  std::vector<Bstr> tags;
  for (LONG i = 0; i < kFiles; ++i) {
    const std::wstring tag = L"upload" + std::to_wstring(i);  // as the form named them
    tags.emplace_back(tag.c_str());
  }
  ComPtr<Iprocess> reading = CreateUpload(dll, host);
  LONG count = 0;
  if (!reading || FAILED(reading->get_VarCount(&count)) || count != kFiles) return false;
  bool ok = true;
  const std::vector<double> best = BestOf(
      runs,
      {[&] {
         kvstub::StubHost again;  // a request is read once
         again.SetBody(body);
         ComPtr<Iprocess> fresh = CreateUpload(dll, again);
         if (!fresh) ok = false;
         return fresh ? Time([&] {
           for (LONG i = 0; i < kFiles; ++i) {
             LONG index = -1;
             if (FAILED(fresh->get_TagNameIndex(tags[static_cast<size_t>(i)].Get(), &index)) ||
                 index != i)
               ok = false;
           }
         })
                      : 0.0;
       },
       [&] {
         return Time([&] {
           for (LONG i = 0; i < kFiles; ++i) {
             Bstr value;
             if (FAILED(reading->get_VarByIndex(i, value.Put())) || !value.Get()) ok = false;
           }
         });
       }});
  if (!ok) return false;
  // Once the index is there: the same calls again on one object.
  double again = 1e300;
  for (int i = 0; i < runs; ++i)
    again = std::min(again, Time([&] {
                       for (LONG k = 0; k < kFiles; ++k) {
                         LONG index = -1;
                         reading->get_TagNameIndex(tags[static_cast<size_t>(k)].Get(), &index);
                         if (index != k) ok = false;
                       }
                     }));
  if (!ok) return false;
  const double tag = best[0], byIndex = best[1];
  std::printf("TagNameIndex against VarByIndex, %ld files (best of %d)\n", kFiles, runs);
  std::printf("  TagNameIndex of each, on a new object  %8.2f ms  %6.0f ns a call\n", tag * 1e3,
              tag * 1e9 / kFiles);
  std::printf("  the same again, the index made          %8.2f ms  %6.0f ns a call\n", again * 1e3,
              again * 1e9 / kFiles);
  std::printf("  VarByIndex of each                      %8.2f ms  %6.0f ns a call\n",
              byIndex * 1e3, byIndex * 1e9 / kFiles);
  const double ratio = tag / byIndex;
  std::printf("  TagNameIndex / VarByIndex = %.2f\n", ratio);
  Verdict("TagNameIndex of 10,000 files: time <= 2 x VarByIndex of as many", ratio <= 2);
  return true;
}

// What it costs here to commit and first write `mib` MiB of fresh memory (as
// an upload object must for a body of that size), against writing the same
// memory again once it is mapped, and to write it to a new file in folder
// (when given). Best of three.
int FreshMemory(int mib, const char* folder) {
  const size_t size = static_cast<size_t>(std::max(1, mib)) << 20;
  double first = 1e30, again = 1e30, file = 1e30;
  for (int round = 0; round < 3; ++round) {
    struct Region {
      void* p;
      ~Region() {
        if (p) VirtualFree(p, 0, MEM_RELEASE);
      }
    } region{nullptr};
    first = std::min(first, Time([&] {
                       region.p =
                           VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
                       if (region.p) std::memset(region.p, 1, size);
                     }));
    if (!region.p) {
      std::printf("cannot commit %d MiB\n", mib);
      return 2;
    }
    again = std::min(again, Time([&] { std::memset(region.p, 2, size); }));
    if (!folder) continue;
    const std::string path = std::string(folder) + "\\fresh-memory.tmp";
    bool ok = false;
    file = std::min(file, Time([&] {
                      HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
                      if (h == INVALID_HANDLE_VALUE) return;
                      DWORD done = 0;
                      ok = WriteFile(h, region.p, static_cast<DWORD>(size), &done, nullptr) &&
                           done == size;
                      CloseHandle(h);
                    }));
    DeleteFileA(path.c_str());
    if (!ok) {
      std::printf("cannot write %s\n", path.c_str());
      return 2;
    }
  }
  std::printf("fresh memory, %d MiB: committed and first written %.1f ms, written again %.1f ms",
              mib, first * 1e3, again * 1e3);
  if (folder) std::printf(", written to a new file %.1f ms", file * 1e3);
  std::printf("\n");
  return 0;
}

// A one-file upload body of `size` content bytes, made piece by piece as a
// client sends it, so that a body of a gigabyte never sits in memory. The
// content repeats a block of random bytes whose length is no power of two.
class OneFileUpload {
 public:
  explicit OneFileUpload(int64_t size) : size_(size), pattern_(Bytes((size_t{1} << 20) + 4099)) {}

  int64_t Total() const { return static_cast<int64_t>(head_.size() + tail_.size()) + size_; }
  int64_t ContentSize() const { return size_; }

  // The body's bytes [at, at + count).
  void Fill(int64_t at, uint8_t* out, int64_t count) const {
    while (count > 0) {
      const auto headSize = static_cast<int64_t>(head_.size());
      int64_t n;
      if (at < headSize) {
        n = std::min(count, headSize - at);
        std::memcpy(out, head_.data() + at, static_cast<size_t>(n));
      } else if (at < headSize + size_) {
        const int64_t in = (at - headSize) % static_cast<int64_t>(pattern_.size());
        n = std::min({count, headSize + size_ - at, static_cast<int64_t>(pattern_.size()) - in});
        std::memcpy(out, pattern_.data() + in, static_cast<size_t>(n));
      } else {
        n = count;
        std::memcpy(out, tail_.data() + (at - headSize - size_), static_cast<size_t>(n));
      }
      at += n;
      out += n;
      count -= n;
    }
  }

  // The content's bytes [at, at + count).
  void FillContent(int64_t at, uint8_t* out, int64_t count) const {
    Fill(static_cast<int64_t>(head_.size()) + at, out, count);
  }

  std::string Whole() const {
    std::string body(static_cast<size_t>(Total()), '\0');
    Fill(0, reinterpret_cast<uint8_t*>(body.data()), Total());
    return body;
  }

 private:
  const std::string head_ =
      "-----------------------------7d1\r\n"
      "Content-Disposition: form-data; name=\"title\"\r\n\r\nHoliday\r\n"
      "-----------------------------7d1\r\n"
      "Content-Disposition: form-data; name=\"f\"; filename=\"C:\\data\\big.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n";
  const std::string tail_ = "\r\n-----------------------------7d1--\r\n";
  const int64_t size_;
  const std::string pattern_;
};

// True when the file holds exactly the upload's content.
bool HoldsContent(const std::wstring& name, const OneFileUpload& upload) {
  kvp::FileHandle f(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!f.Valid() || !GetFileSizeEx(f.Get(), &size) || size.QuadPart != upload.ContentSize())
    return false;
  std::vector<uint8_t> got(size_t{1} << 20), want(size_t{1} << 20);
  for (int64_t at = 0; at < upload.ContentSize();) {
    const auto n = static_cast<DWORD>(std::min<int64_t>(upload.ContentSize() - at, 1 << 20));
    DWORD read = 0;
    if (!ReadFile(f.Get(), got.data(), n, &read, nullptr) || read != n) return false;
    upload.FillContent(at, want.data(), n);
    if (std::memcmp(got.data(), want.data(), n) != 0) return false;
    at += n;
  }
  return true;
}

class Connected final : public kvp::IClientProbe {
 public:
  bool IsClientConnected() override { return true; }
};

// Where the time of a spooled upload of `mib` MiB goes, the engine's steps
// one after the other as the object takes them: the chunks appended to a
// spool file in the temporary folder as they arrive (102400 bytes each, as
// BinaryRead delivers them), the parse reading the spool through its 1 MiB
// window, then FileSave's copy of the item from the spool to a new file. For
// scale: the spool read back whole in 1 MiB pieces (what the parse reads),
// and spool writes in chunks against pieces of 1 MiB.
int SpoolParts(int mib) {
  const OneFileUpload upload(static_cast<int64_t>(std::max(1, mib)) << 20);
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring saved =
      std::wstring(temp) + L"kvwinebench-saved-" + std::to_wstring(GetCurrentProcessId());
  std::vector<uint8_t> chunk(kvp::kChunkSize), piece(size_t{1} << 20);
  double append = 0, parse = 0, readBack = 0, save = 0;
  bool ok = false;
  try {
    double start = Now();
    kvp::TSpoolFile spool(L"", upload.Total());
    double made = Now() - start;
    for (int64_t at = 0; at < upload.Total(); at += kvp::kChunkSize) {
      const int64_t n = std::min<int64_t>(kvp::kChunkSize, upload.Total() - at);
      upload.Fill(at, chunk.data(), n);
      start = Now();
      spool.Append(chunk.data(), n);
      append += Now() - start;
    }
    append += made;
    kvp::TUploadState state;
    state.InitState();
    Connected probe;
    parse = Time([&] { state.ParseBody(spool, probe); });
    readBack = Time([&] {
      for (int64_t at = 0; at < spool.Size(); at += int64_t{1} << 20)
        spool.ReadAt(at, piece.data(), std::min<int64_t>(int64_t{1} << 20, spool.Size() - at));
    });
    if (state.FFiles.size() != 1 || state.FFiles[0].DataSize != upload.ContentSize()) {
      std::printf("the parse did not find the one file of %lld bytes\n",
                  static_cast<long long>(upload.ContentSize()));
      return 2;
    }
    const kvp::TFileRecord item = state.FFiles[0];
    save = Time([&] { kvp::WriteBodyToFile(saved, spool, item.DataAt, item.DataSize); });
    ok = HoldsContent(saved, upload);
  } catch (const std::exception& e) {
    std::printf("spool parts: %s\n", e.what());
  }
  DeleteFileW(saved.c_str());
  if (!ok) {
    std::printf("spool parts: the saved file does not hold the upload's content\n");
    return 2;
  }
  // For scale: spool writes in chunks against pieces of 1 MiB, each written
  // whole to a new spool file and dropped, in the order chunks, pieces,
  // pieces, chunks (a file system may take memory that another file just gave
  // back faster than fresh memory); the best of each.
  double chunked = 1e300, appendMiB = 1e300;
  try {
    for (int round = 0; round < 4; ++round) {
      const int64_t step = round == 0 || round == 3 ? kvp::kChunkSize : int64_t{1} << 20;
      double t = Now();
      kvp::TSpoolFile spool(L"", upload.Total());
      double took = Now() - t;
      for (int64_t at = 0; at < upload.Total(); at += step) {
        const int64_t n = std::min(step, upload.Total() - at);
        upload.Fill(at, piece.data(), n);
        t = Now();
        spool.Append(piece.data(), n);
        took += Now() - t;
      }
      double& best = step == kvp::kChunkSize ? chunked : appendMiB;
      best = std::min(best, took);
    }
  } catch (const std::exception& e) {
    std::printf("spool parts: %s\n", e.what());
    return 2;
  }
  std::printf(
      "spool parts, %d MiB: spool write %.3f s, parse through the window %.3f s (the spool read "
      "back alone %.3f s), save copy %.3f s; again, best of two: spool write in 102400-byte "
      "chunks %.3f s, in 1 MiB pieces %.3f s\n",
      mib, append, parse, readBack, save, chunked, appendMiB);
  return 0;
}

using kvstub::PrivateCommit;

// What one upload of a field and one file costs, from 64 KiB to 64 MiB, held
// in memory (threshold above the size) against spooled (threshold 0): the
// object created inside a stand-in request (BinaryRead in chunks of 102400
// bytes), its file saved with FileSave, the object released; and the commit
// charge the object adds at its peak (looked at during every read, after
// the creation and after the save). Median time of `runs` uploads per side,
// the sides taking turns; the spool and the saved file go to the temporary
// folder.
int ThresholdSweep(int runs) {
  const kvp::TSpoolSettings keep = kvp::SpoolSettings();
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring saved =
      std::wstring(temp) + L"kvwinebench-sweep-" + std::to_wstring(GetCurrentProcessId());
  const Bstr savedName(saved.c_str());
  kvstub::StubHost host;
  host.KeepCallLog(false);
  kvstub::ContextScope scope(host.Context());
  int status = 0;

  // One upload: created, saved, released. Returns its seconds, or a
  // negative figure when the object or its file is not as expected; with
  // peak, the most commit charge above the start while the object lived.
  auto once = [&](const std::string& body, const OneFileUpload& upload, bool spooled,
                  int64_t* peak) {
    kvp::SetSpoolSettings({spooled ? 0u : UINT32_MAX, L""});
    host.SetBody(body);
    const int64_t before = peak ? PrivateCommit() : 0;
    int64_t top = before;
    if (peak) host.ObserveReads([&] { top = std::max(top, PrivateCommit()); });
    bool ok = true;
    const double t = Time([&] {
      auto p = std::make_unique<kvp::Tprocess>();
      p->Initialize();
      if (peak) top = std::max(top, PrivateCommit());
      ok = p->FFiles.size() == 1 && p->FFiles[0].DataSize == upload.ContentSize() &&
           (p->FSpool != nullptr) == spooled && p->FileSave(savedName.Get(), 0) == S_OK;
      if (peak) top = std::max(top, PrivateCommit());
    });
    host.ObserveReads(nullptr);
    if (peak) *peak = top - before;
    return ok ? t : -1.0;
  };

  std::printf(
      "threshold sweep: one upload (a field and a file) created, saved and released, "
      "median of %d per side (at least)\n"
      "commit: the most private commit charge above the start seen during the reads, after the "
      "creation and after the save (a spooled body's 1 MiB parse window and 1 MiB copy piece "
      "live only inside the parse and the save, between those points)\n",
      runs);
  std::printf("%10s %12s %12s %9s %14s %14s\n", "size", "in memory", "spooled", "sp / mem",
              "commit, mem", "commit, spool");
  for (int64_t size = int64_t{64} << 10; size <= int64_t{64} << 20; size *= 2) {
    const OneFileUpload upload(size);
    const std::string body = upload.Whole();
    // Each side once untimed (code and heap warm), the memory side's peak
    // commit charge, then the timed runs.
    int64_t memPeak = 0, spoolPeak = 0;
    bool ok = once(body, upload, false, nullptr) >= 0 && once(body, upload, true, nullptr) >= 0 &&
              once(body, upload, false, &memPeak) >= 0 && once(body, upload, true, &spoolPeak) >= 0;
    // Small uploads are quick: more of them to a median.
    const int n = static_cast<int>(std::clamp<int64_t>((int64_t{256} << 20) / size, runs, 101));
    std::vector<double> mem, spool;
    for (int i = 0; ok && i < n; ++i) {
      const bool spoolFirst = (i % 2) != 0;
      const double a = once(body, upload, spoolFirst, nullptr);
      const double b = once(body, upload, !spoolFirst, nullptr);
      ok = a >= 0 && b >= 0;
      (spoolFirst ? spool : mem).push_back(a);
      (spoolFirst ? mem : spool).push_back(b);
    }
    if (!ok) {
      std::printf("%10lld: the object or its saved file is not as expected\n",
                  static_cast<long long>(size));
      status = 2;
      break;
    }
    std::sort(mem.begin(), mem.end());
    std::sort(spool.begin(), spool.end());
    const double m = mem[mem.size() / 2], s = spool[spool.size() / 2];
    std::printf("%7lld KiB %9.3f ms %9.3f ms %9.2f %10.1f MiB %10.1f MiB  (%d each)\n",
                static_cast<long long>(size >> 10), m * 1e3, s * 1e3, s / m, memPeak / kMiB,
                spoolPeak / kMiB, n);
    std::fflush(stdout);
  }
  DeleteFileW(saved.c_str());
  kvp::SetSpoolSettings(keep);
  return status;
}

// The per-upload cost of small uploads in two builds of the DLL, in one
// process, taking turns: a field and a 200 KiB photo (the in-memory path of
// both) created through each DLL's class factory inside a stand-in request
// and released, with and without saving the photo (FileSave), 50 uploads a
// run. Each DLL is loaded from a copy of its own under a name of its own.
// Prints the median run of each and the median of the pair ratios A / B.
int SmallUploads(const char* pathA, const char* pathB, int runs) {
  char temp[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH + 1, temp);
  const std::string stem =
      std::string(temp) + "kvwinebench-" + std::to_string(GetCurrentProcessId());
  const std::string copies[2] = {stem + "-a.dll", stem + "-b.dll"};
  HMODULE dlls[2] = {};
  for (int i = 0; i < 2; ++i)
    if (CopyFileA(i == 0 ? pathA : pathB, copies[i].c_str(), FALSE))
      dlls[i] = LoadLibraryA(copies[i].c_str());
  const std::wstring saved =
      std::wstring(temp, temp + std::strlen(temp)) + L"kvwinebench-photo.jpg";
  const Bstr savedName(saved.c_str());
  const OneFileUpload upload(200 * 1024);
  kvstub::StubHost host;
  host.KeepCallLog(false);
  const std::string body = upload.Whole();
  constexpr int kPerRun = 50;
  bool ok = dlls[0] && dlls[1];
  auto run = [&](int side, bool save) {
    return Time([&] {
      for (int i = 0; ok && i < kPerRun; ++i) {
        host.SetBody(body);
        ComPtr<Iprocess> up = CreateUpload(dlls[side], host);
        LONG qty = 0, size = 0;
        ok = up && up->get_FileQty(&qty) == S_OK && qty == 1 &&
             up->get_FileSize(0, &size) == S_OK && size == upload.ContentSize() &&
             (!save ||
              (up->put_OverwriteMode(0) == S_OK && up->FileSave(savedName.Get(), 0) == S_OK));
      }
    });
  };
  // [save][side]: the runs of each; pairs[save]: A / B of each round.
  std::vector<double> times[2][2], pairs[2];
  for (int save = 0; ok && save < 2; ++save) {
    run(0, save);  // code and heap warm
    run(1, save);
  }
  for (int r = 0; ok && r < runs; ++r)
    for (int save = 0; save < 2; ++save) {
      const int first = r % 2;
      const double x = run(first, save), y = run(1 - first, save);
      times[save][first].push_back(x);
      times[save][1 - first].push_back(y);
      pairs[save].push_back(first == 0 ? x / y : y / x);
    }
  ok = ok && HoldsContent(saved, upload);
  DeleteFileW(saved.c_str());
  for (int i = 0; i < 2; ++i) {
    if (dlls[i]) FreeLibrary(dlls[i]);
    DeleteFileA(copies[i].c_str());
  }
  if (!ok) {
    std::printf(
        "small uploads: a DLL did not load, or an object or its saved file is not as "
        "expected\n");
    return 2;
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("small uploads (a field and a 200 KiB photo), %d runs of %d a side, taking turns\n",
              runs, kPerRun);
  std::printf("  A %s\n  B %s\n", pathA, pathB);
  for (int save = 0; save < 2; ++save) {
    const auto [low, high] = std::minmax_element(pairs[save].begin(), pairs[save].end());
    const double bestA = *std::min_element(times[save][0].begin(), times[save][0].end());
    const double bestB = *std::min_element(times[save][1].begin(), times[save][1].end());
    std::printf(
        "  %-26s A %.3f ms, B %.3f ms an upload (medians); A / B pair by pair: median "
        "%.3f (min %.3f, max %.3f); best A / best B %.3f\n",
        save ? "created, saved, released:" : "created, released:",
        median(times[save][0]) / kPerRun * 1e3, median(times[save][1]) / kPerRun * 1e3,
        median(pairs[save]), *low, *high, bestA / bestB);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--fresh-memory") == 0)
    return FreshMemory(std::atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
  if (argc > 2 && std::strcmp(argv[1], "--spool-parts") == 0) return SpoolParts(std::atoi(argv[2]));
  const bool sweep = argc > 1 && std::strcmp(argv[1], "--threshold-sweep") == 0;
  const bool tagsOnly = argc > 1 && std::strcmp(argv[1], "--tag-names") == 0;
  const int at = sweep || tagsOnly ? 2 : 1;
  const int runs = argc > at ? std::max(1, std::atoi(argv[at])) : 7;
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion != 4) {
    std::printf(
        "This process must run as Windows NT 4.0 to reach the stand-in request (see "
        "bench/README.md):\n  wine reg add 'HKCU\\Software\\Wine\\AppDefaults\\kvwinebench.exe' /v "
        "Version /t REG_SZ /d nt40 /f\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) || FAILED(kvstub::LoadMtxex())) {
    std::printf("cannot initialise COM or load the stand-in mtxex.dll\n");
    return 2;
  }
  if (argc > 3 && std::strcmp(argv[1], "--small-uploads") == 0) {
    const int status =
        SmallUploads(argv[2], argv[3], argc > 4 ? std::max(1, std::atoi(argv[4])) : 21);
    CoUninitialize();
    return status;
  }
  if (sweep) {
    const int status = ThresholdSweep(runs);
    CoUninitialize();
    return status;
  }
  const HMODULE dll = LoadLibraryW((ProgramFolder() + L"kvParcelin.dll").c_str());
  int status = 0;
  if (!dll) {
    std::printf("kvParcelin.dll not found beside the program\n");
    status = 2;
  } else if (!MeasureTagNameIndex(dll, runs)) {
    std::printf("TagNameIndex: the object or its answers are not as expected\n");
    status = 2;
  } else if (tagsOnly) {
    status = failures ? 1 : 0;
  } else if (!MeasureFileData(dll, runs)) {
    std::printf("FileData: the object or its bytes are not as expected\n");
    status = 2;
  } else if (!MeasureFileSave(dll, runs)) {
    std::printf("FileSave: the object or the saved file is not as expected\n");
    status = 2;
  } else {
    std::printf("\n%s\n", failures ? "SOME TARGETS FAILED" : "ALL TARGETS PASSED");
    status = failures ? 1 : 0;
  }
  CoUninitialize();
  return status;
}
