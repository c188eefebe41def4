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
//                                              file write of it cost; used by
//                                              serve_bench.py)

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

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--fresh-memory") == 0)
    return FreshMemory(std::atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
  const bool tagsOnly = argc > 1 && std::strcmp(argv[1], "--tag-names") == 0;
  const int at = tagsOnly ? 2 : 1;
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
