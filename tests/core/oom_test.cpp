// Out of memory in the byte-level core. The program stands in for the C
// allocator and for operator new, so that the n-th allocation of one attempt
// can be refused; an attempt is a whole creation as the intake does it (the
// state's defaults, the body copied into FBody in chunks, ParseBody). For
// n = 1, 2, 3, ... until an attempt runs through without meeting its fault,
// every attempt must end in one of the engine's out-of-memory exceptions with
// a consistent partial state, and once the state is gone nothing may be left:
// no heap block, no stream, no block the cache holds twice or lost track of.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/blockpool.h"
#include "engine/uploadstate.h"
#include "server/exceptions.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {

// The allocator's bookkeeping for one attempt. Single-threaded: the tests
// arm it around code that starts no thread.
struct Heap {
  bool armed = false;
  int64_t calls = 0;        // allocations asked for while armed
  int64_t failAt = 0;       // the allocation to refuse (from 1; 0: none)
  bool persistent = false;  // refuse every allocation from failAt on
  bool refused = false;
  int64_t liveBlocks = 0;  // made while armed and not yet freed
  int64_t liveBytes = 0;
};
Heap heap;

bool Refuse() {
  if (!heap.armed) return false;
  ++heap.calls;
  if (heap.failAt == 0) return false;
  if (heap.calls == heap.failAt || (heap.persistent && heap.calls > heap.failAt)) {
    heap.refused = true;
    return true;
  }
  return false;
}

void Made(void* p) {
  if (!p || !heap.armed) return;
  ++heap.liveBlocks;
  heap.liveBytes += static_cast<int64_t>(malloc_usable_size(p));
}

void Freed(void* p) {
  if (!p || !heap.armed) return;
  --heap.liveBlocks;
  heap.liveBytes -= static_cast<int64_t>(malloc_usable_size(p));
}

}  // namespace

extern "C" {
void* malloc(size_t n) {
  if (Refuse()) return nullptr;
  void* p = __libc_malloc(n);
  Made(p);
  return p;
}
void* calloc(size_t n, size_t m) {
  if (Refuse()) return nullptr;
  void* p = __libc_calloc(n, m);
  Made(p);
  return p;
}
void* realloc(void* old, size_t n) {
  if (!old) return malloc(n);
  if (n == 0) {
    free(old);
    return nullptr;
  }
  if (Refuse()) return nullptr;  // the old block stays
  Freed(old);
  void* p = __libc_realloc(old, n);
  Made(p ? p : old);
  return p;
}
void free(void* p) {
  Freed(p);
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  if (Refuse()) return nullptr;
  void* p = __libc_memalign(align, n);
  Made(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) {
  return memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  *out = memalign(align, n);
  return *out ? 0 : 12;  // ENOMEM
}
}

void* operator new(size_t n) {
  void* p = malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return malloc(n ? n : 1);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}

namespace {

using kvp::TBlock;
using kvp::TUploadState;

constexpr int64_t kChunk = 102400;

class AlwaysConnected final : public kvp::IClientProbe {
 public:
  bool IsClientConnected() override { return true; }
};

// What a finished creation shows a script.
struct Outcome {
  int32_t status = 0;
  std::vector<std::string> vars;
  std::vector<std::tuple<std::string, std::string, std::string, std::string, std::string>> files;
  std::vector<std::string> tags;
  bool operator==(const Outcome&) const = default;
};

Outcome OutcomeOf(const TUploadState& s) {
  Outcome o;
  o.status = s.FStatus;
  for (int32_t i = 0; i < s.FVars->Count(); ++i) o.vars.emplace_back(s.FVars->Strings(i));
  for (size_t i = 0; i < s.FFiles.size(); ++i) {
    kvp::TFileText f = s.FileText(i);
    std::string data(s.FFiles[i].DataSize, '\0');
    s.ReadFileBytes(i, 0, data.data(), static_cast<int64_t>(data.size()));
    o.files.emplace_back(f.LocalName, f.FileName, f.Extension, f.ContentType, std::move(data));
    o.tags.push_back(std::move(f.TagName));
  }
  return o;
}

// The creation as the intake runs it: defaults, room reserved for the body
// and the chunks written into it, then parsed from offset 0.
void Create(TUploadState& s, const std::string& body) {
  AlwaysConnected probe;
  s.InitState();
  s.FBody->Reserve(static_cast<int64_t>(body.size()));
  for (int64_t at = 0; at < static_cast<int64_t>(body.size()); at += kChunk) {
    const int64_t n = std::min<int64_t>(kChunk, static_cast<int64_t>(body.size()) - at);
    s.FBody->Write(body.data() + at, n);
  }
  s.FBody->SetPosition(0);
  s.ParseBody(*s.FBody, probe);
}

// What a failed attempt left behind, checked before the state is freed:
// every counted item is there, lies inside the body and has a header block
// before its bytes.
std::string PartialStateFault(const TUploadState& s) {
  if (s.FFileCount != static_cast<int32_t>(s.FFiles.size())) return "file count and items differ";
  for (const kvp::TFileRecord& f : s.FFiles) {
    if (f.DataSize == 0) return "an empty file item";
    if (int64_t{f.DataAt} + f.DataSize > s.FBody->Size()) return "a file item outside the body";
    if (f.HeadAt >= f.DataAt) return "a file item without its header block";
  }
  return {};
}

// A code page's fold of what a failed attempt left: the parts are read again
// up to the last one the attempt stored whole, so the lines are FVars's (the
// portable build compares names alike in every code page).
std::string FoldFault(TUploadState& s) {
  if (!s.FVars) return {};  // failed before there was a list
  const kvp::TStringList& again = s.Vars(65001);
  if (again.Count() != s.FVars->Count()) return "a code page's fold has another line count";
  for (int32_t i = 0; i < again.Count(); ++i)
    if (again.Strings(i) != s.FVars->Strings(i)) return "a code page's fold has another line";
  return {};
}

// Takes every cached block out of the cache and gives it back: each must be
// a distinct, writable block, and together they must make up what the cache
// says it holds.
std::string CacheFault() {
  const size_t held = TBlock::CachedBytes();
  if (held > (size_t{8} << 20)) return "the cache holds more than its limit";
  std::vector<TBlock> taken;
  std::set<void*> seen;
  size_t got = 0;
  constexpr size_t size = TBlock::kPooledSize;
  for (;;) {
    const size_t before = TBlock::CachedBytes();
    if (before < size) break;
    TBlock b(size);
    if (TBlock::CachedBytes() == before) break;  // fresh from the heap: none left
    if (before - TBlock::CachedBytes() != size) return "the cache miscounted a block";
    if (!seen.insert(b.Data()).second) return "the cache handed out one block twice";
    std::memset(b.Data(), 0xa5, size);
    got += size;
    taken.push_back(std::move(b));
  }
  if (got != held) return "the cached blocks do not add up to the cached bytes";
  return {};
}

struct Attempt {
  bool refused = false;
  std::string failure;  // empty: a clean attempt
  Outcome outcome;      // when nothing was refused
};

// One creation with the failAt-th allocation refused (0: none).
Attempt RunAttempt(const std::string& body, int64_t failAt, bool persistent) {
  Attempt a;
  const int64_t streams = kvp::TMemoryStream::LiveCount();
  TBlock::Trim();
  heap = Heap{};
  heap.failAt = failAt;
  heap.persistent = persistent;
  heap.armed = true;
  std::string thrown;
  std::string partial;
  {
    // Building the state allocates already (the item list's first block).
    std::optional<TUploadState> state;
    try {
      Create(state.emplace(), body);
    } catch (const kvp::EOutOfMemory&) {
      thrown = "EOutOfMemory";
    } catch (const kvp::EStreamError&) {
      thrown = "EStreamError";
    } catch (const std::bad_alloc&) {
      thrown = "bad_alloc";
    } catch (const std::exception& e) {
      heap.failAt = 0;
      thrown = std::string("unexpected exception: ") + e.what();
    }
    heap.failAt = 0;  // checking and freeing are not under test
    heap.persistent = false;
    a.refused = heap.refused;
    if (state && thrown.empty() && !a.refused) {
      heap.armed = false;  // the copy outlives the attempt
      a.outcome = OutcomeOf(*state);
      heap.armed = true;
    }
    if (state && !thrown.empty()) partial = PartialStateFault(*state);
    if (state && !thrown.empty() && partial.empty()) partial = FoldFault(*state);
  }
  const std::string cache = CacheFault();
  TBlock::Trim();
  heap.armed = false;

  if (a.refused && thrown.empty())
    a.failure = "a refused allocation ended in no exception";
  else if (!a.refused && !thrown.empty())
    a.failure = "an exception without a refused allocation: " + thrown;
  else if (thrown.rfind("unexpected", 0) == 0)
    a.failure = thrown;
  else if (!partial.empty())
    a.failure = partial;
  else if (!cache.empty())
    a.failure = cache;
  else if (heap.liveBlocks != 0 || heap.liveBytes != 0)
    a.failure = std::to_string(heap.liveBlocks) + " blocks / " + std::to_string(heap.liveBytes) +
                " bytes leaked";
  else if (kvp::TMemoryStream::LiveCount() != streams)
    a.failure = "streams leaked";
  return a;
}

// Refuses allocation 1, 2, 3, ... until a creation no longer meets its fault;
// that one must give what a creation without faults gives.
void FailEachAllocationInTurn(const std::string& body, bool persistent) {
  const Attempt clean = RunAttempt(body, 0, false);
  ASSERT_EQ(clean.failure, "");
  ASSERT_FALSE(clean.outcome.vars.empty() && clean.outcome.files.empty())
      << "the body parses to nothing: a useless test body";
  int64_t n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 100000) << "the creation never gets through";
    const Attempt a = RunAttempt(body, n, persistent);
    ASSERT_EQ(a.failure, "") << "allocation " << n << " refused";
    if (!a.refused) {
      EXPECT_TRUE(a.outcome == clean.outcome) << "the unhindered creation differs";
      break;
    }
  }
  EXPECT_GT(n, 3) << "the creation made hardly any allocation: the hooks are not in the path";
  ::testing::Test::RecordProperty("attempts", static_cast<int>(n));
  std::printf("%lld attempts\n", static_cast<long long>(n));
}

std::string Part(const std::string& delimiter, const std::string& head, const std::string& value) {
  return delimiter + "\r\n" + head + "\r\n\r\n" + value + "\r\n";
}
std::string Field(const std::string& d, const std::string& name, const std::string& value) {
  return Part(d, "Content-Disposition: form-data; name=\"" + name + "\"", value);
}
std::string File(const std::string& d, const std::string& name, const std::string& file,
                 const std::string& content) {
  return Part(d,
              "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + file +
                  "\"\r\nContent-Type: application/octet-stream",
              content);
}

const std::string kDelimiter = "-----------------------------7d41b838504d8";

std::string SmallBody() {
  const std::string& d = kDelimiter;
  return Field(d, "title", "A short note") + Field(d, "title", "and its second value") +
         File(d, "upload", "C:\\Documents\\report.final.pdf", std::string(3000, 'x')) +
         Field(d, "comment", "line one\r\nline two") + d + "--\r\n";
}

// Enough distinct names that the variable list and its index take blocks of
// every cached size (tiny parts of a bare name="..." line, which cost the
// parser no allocation of their own), and files whose names and headers are
// too long for a string's inline room.
std::string ManyPartsBody() {
  const std::string& d = kDelimiter;
  std::string body;
  for (int i = 0; i < 20000; ++i)
    body += d + "\r\nname=\"f" + std::to_string(i) + "\"\r\n\r\nv\r\n";
  for (int i = 0; i < 40; ++i)
    body += File(d, "file" + std::to_string(i),
                 "C:\\a rather long folder name\\upload number " + std::to_string(i) + ".txt",
                 "content " + std::to_string(i));
  body += Field(d, "f7", "a value that extends the first line of its name");
  return body + d + "--\r\n";
}

std::string LargeFileBody() {
  std::string content(5 << 20, '\0');
  uint32_t x = 12345;
  for (char& c : content) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return Field(kDelimiter, "name", "value") + File(kDelimiter, "big", "big.bin", content) +
         kDelimiter + "--\r\n";
}

TEST(OutOfMemory, TheHooksSeeTheCoresAllocations) {
  // A refused allocation must reach the core: a stream that cannot grow.
  heap = Heap{};
  heap.failAt = 1;
  heap.armed = true;
  bool raised = false;
  {
    kvp::TMemoryStream s;
    try {
      s.SetSize(1000);
    } catch (const kvp::EStreamError& e) {
      raised = std::string(e.what()) == "Out of memory while expanding memory stream";
    } catch (const std::bad_alloc&) {
      raised = true;  // the message itself could not be made
    }
  }
  heap.armed = false;
  EXPECT_TRUE(raised);
  EXPECT_TRUE(heap.refused);
}

TEST(OutOfMemory, EachAllocationOfASmallBodyInTurn) {
  FailEachAllocationInTurn(SmallBody(), false);
}

TEST(OutOfMemory, EachAllocationOfManyPartsInTurn) {
  FailEachAllocationInTurn(ManyPartsBody(), false);
}

TEST(OutOfMemory, EachAllocationOfOneLargeFileInTurn) {
  FailEachAllocationInTurn(LargeFileBody(), false);
}

// Memory that stays exhausted: every allocation from the n-th on is refused,
// those of the exception's own message included.
TEST(OutOfMemory, ExhaustedFromEachAllocationOnSmallBody) {
  FailEachAllocationInTurn(SmallBody(), true);
}

}  // namespace
