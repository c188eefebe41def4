// Out of memory while kvParcelin.dll creates an upload object. The DLL's
// imports of every allocator it calls (the C heap, virtual memory, strings,
// arrays) are patched so that the n-th allocation of one creation is refused;
// for n = 1, 2, 3, ... until a creation runs through without meeting its
// fault, each creation must either fail as the class factory reports a failed
// initialisation or deliver the object with the intake's failure text, and
// afterwards the server is idle again, nothing the DLL allocated is left, and
// a new object in the same process works.

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame_support.h"
#include "engine/spoolsettings.h"
#include "import_patch.h"
#include "server/ehpool.h"
#include "testsupport.h"

namespace {

using kvp::ComPtr;
using kvtest::Multipart;

constexpr const wchar_t* kFailureText = L"Error reading uploaded file or form data.";

// --- The allocators, as the DLL sees them.

enum class Kind { Heap, Virtual, String, Array };

struct Block {
  Kind kind;
  size_t bytes;
};

// One fault plan and what the DLL holds. Creation runs on the test's thread.
struct Faults {
  bool armed = false;
  long calls = 0;
  long failAt = 0;          // the allocation to refuse, from 1; 0: none
  bool persistent = false;  // refuse every one from failAt on
  bool refused = false;
  bool virtualOnly = false;  // count and refuse only virtual memory
  std::map<void*, Block> live;
};
Faults g_faults;

bool Refuse(Kind kind) {
  if (!g_faults.armed) return false;
  if (g_faults.virtualOnly && kind != Kind::Virtual) return false;
  ++g_faults.calls;
  if (g_faults.failAt == 0) return false;
  if (g_faults.calls == g_faults.failAt ||
      (g_faults.persistent && g_faults.calls > g_faults.failAt)) {
    g_faults.refused = true;
    return true;
  }
  return false;
}

// Only what a creation makes counts; whatever it frees, whenever, no longer.
void Made(void* p, Kind kind, size_t bytes) {
  if (p && g_faults.armed) g_faults.live[p] = Block{kind, bytes};
}
void Gone(void* p) {
  if (p) g_faults.live.erase(p);
}

enum Slot {
  kMalloc,
  kCalloc,
  kRealloc,
  kFree,
  kVirtualAlloc,
  kVirtualFree,
  kSysAllocString,
  kSysAllocStringLen,
  kSysFreeString,
  kSafeArrayCreateVector,
  kSafeArrayDestroy,
  kVariantClear,
  kSlots
};
std::unique_ptr<kvtest::ImportPatch> g_patches[kSlots];

template <typename Fn>
Fn Original(Slot s) {
  return g_patches[s]->Original<Fn>();
}

void* __cdecl Malloc(size_t n) {
  if (Refuse(Kind::Heap)) return nullptr;
  void* p = Original<void* (*)(size_t)>(kMalloc)(n);
  Made(p, Kind::Heap, n);
  return p;
}
void* __cdecl Calloc(size_t n, size_t size) {
  if (Refuse(Kind::Heap)) return nullptr;
  void* p = Original<void* (*)(size_t, size_t)>(kCalloc)(n, size);
  Made(p, Kind::Heap, n * size);
  return p;
}
void* __cdecl Realloc(void* old, size_t n) {
  if (n != 0 && Refuse(Kind::Heap)) return nullptr;  // the old block stays
  void* p = Original<void* (*)(void*, size_t)>(kRealloc)(old, n);
  if (p || n == 0) Gone(old);
  Made(p, Kind::Heap, n);
  return p;
}
void __cdecl Free(void* p) {
  Gone(p);
  Original<void (*)(void*)>(kFree)(p);
}
LPVOID WINAPI VirtualAllocHook(LPVOID at, SIZE_T n, DWORD type, DWORD protect) {
  if (Refuse(Kind::Virtual)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* p = Original<decltype(&VirtualAlloc)>(kVirtualAlloc)(at, n, type, protect);
  if (!at) Made(p, Kind::Virtual, n);
  return p;
}
BOOL WINAPI VirtualFreeHook(LPVOID p, SIZE_T n, DWORD type) {
  if (type == MEM_RELEASE) Gone(p);
  return Original<decltype(&VirtualFree)>(kVirtualFree)(p, n, type);
}
BSTR WINAPI SysAllocStringHook(const OLECHAR* text) {
  if (Refuse(Kind::String)) return nullptr;
  BSTR b = Original<decltype(&SysAllocString)>(kSysAllocString)(text);
  Made(b, Kind::String, 0);
  return b;
}
BSTR WINAPI SysAllocStringLenHook(const OLECHAR* text, UINT n) {
  if (Refuse(Kind::String)) return nullptr;
  BSTR b = Original<decltype(&SysAllocStringLen)>(kSysAllocStringLen)(text, n);
  Made(b, Kind::String, n);
  return b;
}
void WINAPI SysFreeStringHook(BSTR b) {
  Gone(b);
  Original<decltype(&SysFreeString)>(kSysFreeString)(b);
}
SAFEARRAY* WINAPI SafeArrayCreateVectorHook(VARTYPE vt, LONG lower, ULONG n) {
  if (Refuse(Kind::Array)) return nullptr;
  SAFEARRAY* a = Original<decltype(&SafeArrayCreateVector)>(kSafeArrayCreateVector)(vt, lower, n);
  Made(a, Kind::Array, n);
  return a;
}
HRESULT WINAPI SafeArrayDestroyHook(SAFEARRAY* a) {
  Gone(a);
  return Original<decltype(&SafeArrayDestroy)>(kSafeArrayDestroy)(a);
}
// A variant cleared by the DLL frees the string or array it holds inside
// the system library, past the patched imports.
HRESULT WINAPI VariantClearHook(VARIANTARG* v) {
  if (v && v->vt == VT_BSTR) Gone(v->bstrVal);
  if (v && (v->vt & VT_ARRAY) && !(v->vt & VT_BYREF)) Gone(v->parray);
  return Original<decltype(&VariantClear)>(kVariantClear)(v);
}

// Patches the DLL's imports for as long as it lives.
class AllocatorHooks {
 public:
  AllocatorHooks() {
    const HMODULE dll = kvtest::TheServer().module;
    const struct {
      Slot slot;
      const char* dll;
      const char* function;
      const void* hook;
    } hooks[] = {
        {kMalloc, "msvcrt.dll", "malloc", reinterpret_cast<const void*>(&Malloc)},
        {kCalloc, "msvcrt.dll", "calloc", reinterpret_cast<const void*>(&Calloc)},
        {kRealloc, "msvcrt.dll", "realloc", reinterpret_cast<const void*>(&Realloc)},
        {kFree, "msvcrt.dll", "free", reinterpret_cast<const void*>(&Free)},
        {kVirtualAlloc, "kernel32.dll", "VirtualAlloc",
         reinterpret_cast<const void*>(&VirtualAllocHook)},
        {kVirtualFree, "kernel32.dll", "VirtualFree",
         reinterpret_cast<const void*>(&VirtualFreeHook)},
        {kSysAllocString, "oleaut32.dll", "SysAllocString",
         reinterpret_cast<const void*>(&SysAllocStringHook)},
        {kSysAllocStringLen, "oleaut32.dll", "SysAllocStringLen",
         reinterpret_cast<const void*>(&SysAllocStringLenHook)},
        {kSysFreeString, "oleaut32.dll", "SysFreeString",
         reinterpret_cast<const void*>(&SysFreeStringHook)},
        {kSafeArrayCreateVector, "oleaut32.dll", "SafeArrayCreateVector",
         reinterpret_cast<const void*>(&SafeArrayCreateVectorHook)},
        {kSafeArrayDestroy, "oleaut32.dll", "SafeArrayDestroy",
         reinterpret_cast<const void*>(&SafeArrayDestroyHook)},
        {kVariantClear, "oleaut32.dll", "VariantClear",
         reinterpret_cast<const void*>(&VariantClearHook)},
    };
    g_faults = Faults{};
    for (const auto& h : hooks)
      g_patches[h.slot] = std::make_unique<kvtest::ImportPatch>(dll, h.dll, h.function, h.hook);
  }
  ~AllocatorHooks() {
    for (auto& p : g_patches) p.reset();
    g_faults = Faults{};
  }
  AllocatorHooks(const AllocatorHooks&) = delete;
  AllocatorHooks& operator=(const AllocatorHooks&) = delete;

  // The imports the DLL does not have (none of these may be missing).
  static std::string Missing() {
    std::string out;
    for (int s = 0; s < kSlots; ++s)
      if (!g_patches[s] || !g_patches[s]->Active()) out += " #" + std::to_string(s);
    return out;
  }
};

// Blocks the DLL holds now, apart from what its cache of large working blocks
// may keep (blocks of 256 KiB to 4 MiB, powers of two, 8 MiB in all).
struct Held {
  size_t blocks = 0;
  size_t bytes = 0;
  size_t cachedBytes = 0;
};
Held HeldNow() {
  Held h;
  for (const auto& [p, b] : g_faults.live) {
    const bool cacheable = b.kind == Kind::Heap && b.bytes >= (size_t{1} << 18) &&
                           b.bytes <= (size_t{1} << 22) && (b.bytes & (b.bytes - 1)) == 0;
    if (cacheable) {
      h.cachedBytes += b.bytes;
    } else {
      ++h.blocks;
      h.bytes += b.bytes;
    }
  }
  return h;
}

// What a created object tells a script, in one text.
std::wstring Summary(Iprocess* upload) {
  std::wstring out;
  LONG n = 0;
  upload->get_TotalBytes(&n);
  out += L"total " + std::to_wstring(n);
  upload->get_Status(&n);
  out += L" status " + std::to_wstring(n);
  LONG vars = 0;
  upload->get_VarCount(&vars);
  for (LONG i = 0; i < vars; ++i) {
    kvp::Bstr name, value;
    upload->get_VarName(i, name.Put());
    upload->get_VarByIndex(i, value.Put());
    out += L" | " + kvtest::Text(name.Get()) + L"=" + kvtest::Text(value.Get());
  }
  LONG files = 0;
  upload->get_FileQty(&files);
  for (LONG i = 0; i < files; ++i) {
    kvp::Bstr name, type;
    LONG size = 0;
    upload->get_LocalName(i, name.Put());
    upload->get_ContentType(i, type.Put());
    upload->get_FileSize(i, &size);
    out += L" | file " + kvtest::Text(name.Get()) + L" " + kvtest::Text(type.Get()) + L" " +
           std::to_wstring(size);
  }
  return out;
}

// A creation in the same process, with no fault planned, works.
void ExpectAnotherObjectWorks() {
  kvstub::StubHost host;
  host.SetBody(
      Multipart().Field("witness", "still here").File("w", "w.txt", "text/plain", "w!").Body());
  HRESULT hr = E_FAIL;
  ComPtr<Iprocess> upload = kvtest::CreateUpload(host, &hr);
  ASSERT_EQ(hr, S_OK);
  kvp::Bstr value;
  ASSERT_EQ(upload->get_Value(kvp::Bstr(L"witness").Get(), value.Put()), S_OK);
  EXPECT_EQ(kvtest::Text(value.Get()), L"still here");
  LONG size = 0;
  EXPECT_EQ(upload->get_FileSize(0, &size), S_OK);
  EXPECT_EQ(size, 2);
  // A failing member, so that the DLL has thrown before any fault is planned
  // (the first exception of a process sets up the unwinder's own state).
  EXPECT_EQ(upload->get_FileSize(5, &size), E_UNEXPECTED);
}

struct Attempt {
  HRESULT status = E_FAIL;
  bool refused = false;
  bool objectReturned = false;
  std::wstring written;
  std::wstring summary;  // of the object, when one was made
  Held held;
  HRESULT idle = S_FALSE;  // DllCanUnloadNow once the object is gone
};

Attempt Create(const std::string& body, long failAt, bool persistent, long totalBytes = 0) {
  Attempt a;
  kvstub::StubHost host;
  host.SetBody(body);
  if (totalBytes) host.SetTotalBytes(totalBytes);
  ComPtr<IClassFactory> factory = kvtest::Factory();
  {
    kvstub::ContextScope scope(host.Context());
    ComPtr<Iprocess> upload;
    g_faults.calls = 0;
    g_faults.failAt = failAt;
    g_faults.persistent = persistent;
    g_faults.refused = false;
    g_faults.armed = true;
    a.status = factory->CreateInstance(nullptr, IID_Iprocess, upload.PutVoid());
    g_faults.armed = false;
    a.refused = g_faults.refused;
    a.objectReturned = upload.Get() != nullptr;
    if (upload) a.summary = Summary(upload.Get());
  }
  factory.Reset();
  a.written = host.Written();
  a.held = HeldNow();
  a.idle = kvtest::TheServer().canUnloadNow();
  return a;
}

// Refuses the DLL's allocation 1, 2, 3, ... of one creation until a creation
// no longer meets its fault; that one must match a creation without faults.
void FailEachAllocationInTurn(const std::string& body, bool persistent) {
  ExpectAnotherObjectWorks();  // the server's own start-up is not under test
  AllocatorHooks hooks;
  ASSERT_EQ(AllocatorHooks::Missing(), "") << "imports not found";
  const Attempt clean = Create(body, 0, false);
  ASSERT_EQ(clean.status, S_OK);
  ASSERT_EQ(clean.written, L"");
  ASSERT_EQ(clean.idle, S_OK);
  ASSERT_EQ(clean.held.blocks, 0u) << clean.held.bytes << " bytes left by a plain creation";
  const size_t cacheLimit = size_t{8} << 20;
  long n = 1;
  int failedCreations = 0, failureTexts = 0;
  for (;; ++n) {
    ASSERT_LT(n, 20000) << "the creation never gets through";
    const Attempt a = Create(body, n, persistent);
    SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
    if (a.status == S_OK) {
      ASSERT_TRUE(a.objectReturned);
      if (!a.written.empty()) {
        EXPECT_TRUE(a.refused);
        EXPECT_EQ(a.written, kFailureText);
        EXPECT_NE(a.summary.find(L"total " + std::to_wstring(body.size()) + L" "),
                  std::wstring::npos)
            << "TotalBytes after the failure text";
        ++failureTexts;
      } else {
        EXPECT_EQ(a.summary, clean.summary) << "a refused allocation changed the result unseen";
      }
    } else {
      EXPECT_TRUE(a.refused);
      EXPECT_TRUE(a.status == E_UNEXPECTED || a.status == E_OUTOFMEMORY) << std::hex << a.status;
      EXPECT_FALSE(a.objectReturned);
      EXPECT_EQ(a.written, L"") << "a failed creation wrote to the page";
      ++failedCreations;
    }
    EXPECT_EQ(a.idle, S_OK) << "the server is not idle after the creation";
    EXPECT_EQ(a.held.blocks, 0u) << a.held.bytes << " bytes of the DLL left behind";
    EXPECT_LE(a.held.cachedBytes, cacheLimit) << "the block cache grows past its limit";
    if (::testing::Test::HasFailure()) break;
    ExpectAnotherObjectWorks();
    if (!a.refused) break;
  }
  EXPECT_GT(failedCreations, 0) << "no allocation outside the intake's guard was refused";
  // Memory that stays exhausted leaves none for the failure text either: the
  // creation fails then, as any failure to write the text makes it fail.
  if (!persistent) {
    EXPECT_GT(failureTexts, 0) << "no allocation inside reading or parsing was refused";
  }
  std::printf("%ld creations: %d failed, %d with the failure text\n", n, failedCreations,
              failureTexts);
}

std::string SmallBody() {
  return Multipart()
      .Field("title", "A short note")
      .Field("title", "and its second value")
      .File("upload", "C:\\Documents\\report.final.pdf", "application/pdf", std::string(3000, 'x'))
      .Field("comment", "line one\r\nline two")
      .Body();
}

std::string ManyPartsBody() {
  Multipart m;
  for (int i = 0; i < 400; ++i) m.Field("field" + std::to_string(i), "value " + std::to_string(i));
  for (int i = 0; i < 60; ++i)
    m.File("file" + std::to_string(i),
           "C:\\a rather long folder name\\upload number " + std::to_string(i) + ".txt",
           "text/plain", "content " + std::to_string(i));
  return m.Body();
}

std::string LargeFileBody() {
  return Multipart()
      .Field("name", "value")
      .File("big", "big.bin", "application/octet-stream", kvtest::FillerBytes(3 << 20, 7))
      .Body();
}

TEST(OutOfMemoryInTheDll, EachAllocationOfASmallBodyInTurn) {
  FailEachAllocationInTurn(SmallBody(), false);
}

TEST(OutOfMemoryInTheDll, EachAllocationOfManyPartsInTurn) {
  FailEachAllocationInTurn(ManyPartsBody(), false);
}

TEST(OutOfMemoryInTheDll, EachAllocationOfOneLargeFileInTurn) {
  FailEachAllocationInTurn(LargeFileBody(), false);
}

// Memory that stays exhausted from the n-th allocation on: the failure path
// gets no memory either.
TEST(OutOfMemoryInTheDll, ExhaustedFromEachAllocationOfASmallBody) {
  FailEachAllocationInTurn(SmallBody(), true);
}

// An object that lives through all those failures answers as before.
TEST(OutOfMemoryInTheDll, AnObjectAliveMeanwhileKeepsWorking) {
  kvstub::StubHost host;
  const std::string body = SmallBody();
  host.SetBody(body);
  HRESULT hr = E_FAIL;
  ComPtr<Iprocess> witness = kvtest::CreateUpload(host, &hr);
  ASSERT_EQ(hr, S_OK);
  const std::wstring before = Summary(witness.Get());
  long failed = 0;
  {
    AllocatorHooks hooks;
    for (long n = 1; n < 200; ++n) {
      const Attempt a = Create(body, n, true);
      EXPECT_EQ(a.idle, S_FALSE) << "the witness is alive";
      if (!a.refused) break;
      failed += a.status != S_OK;
      EXPECT_EQ(a.held.blocks, 0u) << "allocation " << n;
    }
  }
  EXPECT_GT(failed, 3) << "hardly a creation failed: the faults missed the DLL";
  EXPECT_EQ(Summary(witness.Get()), before);
  witness.Reset();
  EXPECT_EQ(kvtest::TheServer().canUnloadNow(), S_OK);
}

// A thread whose first exception in the DLL comes with memory exhausted (the
// runtime keeps per-thread state for exceptions, made on first use).
TEST(OutOfMemoryInTheDll, AFreshThreadsFirstFailureUnderExhaustion) {
  ExpectAnotherObjectWorks();
  const std::string body = SmallBody();
  AllocatorHooks hooks;
  long failed = 0;
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (long n = 1; n < 200; ++n) {
      const Attempt a = Create(body, n, true);
      if (!a.refused) break;
      failed += a.status != S_OK;
      EXPECT_EQ(a.idle, S_OK);
    }
    CoUninitialize();
  }).join();
  EXPECT_GT(failed, 3);
}

// A body announced at the in-memory limit whose room cannot be had: the
// failure text, the announced size as TotalBytes, no crash, nothing left. A
// body announced far larger takes no memory for its size at all: it goes to
// a spool file.
TEST(OutOfMemoryInTheDll, AnAnnouncedSizeThatCannotBeAllocated) {
  ExpectAnotherObjectWorks();
  AllocatorHooks hooks;
  g_faults.virtualOnly = true;
  const std::string body = SmallBody();
  const long inMemory = static_cast<long>(kvp::SpoolSettings().threshold);
  if (inMemory > static_cast<long>(body.size())) {
    const Attempt a = Create(body, 1, true, inMemory);
    EXPECT_TRUE(a.refused) << "the body was not taken from virtual memory";
    EXPECT_EQ(a.status, S_OK);
    EXPECT_EQ(a.written, kFailureText);
    EXPECT_NE(a.summary.find(L"total " + std::to_wstring(inMemory) + L" "), std::wstring::npos);
    EXPECT_EQ(a.held.blocks, 0u);
    EXPECT_EQ(a.idle, S_OK);
  }
  constexpr long kAnnounced = 2147483000;
  const Attempt a = Create(body, 1, true, kAnnounced);
  EXPECT_FALSE(a.refused) << "virtual memory was asked for the announced size";
  EXPECT_EQ(a.status, S_OK);
  EXPECT_EQ(a.written, L"");
  EXPECT_NE(a.summary.find(L"total " + std::to_wstring(kAnnounced) + L" "), std::wstring::npos);
  EXPECT_EQ(a.held.blocks, 0u);
  EXPECT_EQ(a.idle, S_OK);
  ExpectAnotherObjectWorks();
}

// The warm-up that makes the runtime's exception pool usable before memory
// can run out (src/server/ehpool.cpp) leans on how libstdc++ allocates an
// exception. This program is linked with it as the DLL is (static runtime,
// --wrap=malloc): the runtime's allocation must reach the refused malloc and
// still get its object from the pool, or the warm-up has become a no-op.
TEST(ExceptionPool, TheWarmUpSendsTheRuntimesAllocationToItsPool) {
  EXPECT_TRUE(kvp::WarmExceptionPool());
  try {
    throw std::runtime_error("after the warm-up");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "after the warm-up");
  }
}

}  // namespace
