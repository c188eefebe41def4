// Parser throughput and memory, measured side by side in one run: the same
// bytes through memcpy, the engine's parser and a literal byte-at-a-time
// parser; hostile bodies against the benign one; many form fields; the heap
// that one upload state holds. Prints each figure and PASS/FAIL per target.
//
//   kv_parser_bench [body MiB, default 256]
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "body_shapes.h"
#include "engine/blockpool.h"
#include "engine/uploadstate.h"
#include "literal_parser.h"

namespace {

using namespace kvbench;

constexpr double kMiB = 1024.0 * 1024.0;

struct CountingProbe final : kvp::IClientProbe {
  int64_t calls = 0;
  bool IsClientConnected() override {
    ++calls;
    return true;
  }
};

int failures = 0;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::printf("  !! result check failed: %s\n", what);
  ++failures;
}

void Verdict(const char* target, bool pass) {
  std::printf("  %-58s %s\n", target, pass ? "PASS" : "FAIL");
  if (!pass) ++failures;
}

// Best wall time of `runs` calls, in seconds.
double Best(int runs, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

struct Loaded {
  kvp::TMemoryStream body;
  explicit Loaded(const std::string& bytes) {
    body.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
};

std::unique_ptr<kvp::TUploadState> Parse(kvp::TMemoryStream& body, int64_t* probeCalls = nullptr) {
  auto st = std::make_unique<kvp::TUploadState>();
  st->InitState();
  CountingProbe probe;
  st->ParseBody(body, probe);
  if (probeCalls) *probeCalls = probe.calls;
  return st;
}

// Best time of ParseBody alone; making and freeing the state are not timed.
double ParseSeconds(kvp::TMemoryStream& body, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    kvp::TUploadState st;
    st.InitState();
    CountingProbe probe;
    const auto t0 = std::chrono::steady_clock::now();
    st.ParseBody(body, probe);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

double Rate(size_t bytes, double seconds) {
  return static_cast<double>(bytes) / kMiB / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 256;
  const size_t n = mib << 20;
  std::printf("kvParcelin parser benchmark, bodies of %zu MiB\n\n", mib);

  // --- benign body: memcpy, engine, literal --------------------------------
  std::string text = BenignBody(n, 4);
  double benignRate = 0;
  {
    Loaded in(text);
    std::vector<char> dst(text.size());
    std::memset(dst.data(), 1, dst.size());
    const double tCopy = Best(5, [&] { std::memcpy(dst.data(), in.body.Memory(), dst.size()); });
    Check(std::memcmp(dst.data() + dst.size() / 2, text.data() + text.size() / 2, 64) == 0,
          "memcpy copied");
    const double tParse = ParseSeconds(in.body, 5);
    auto fast = Parse(in.body);

    std::unique_ptr<kvp::TUploadState> slow = std::make_unique<kvp::TUploadState>();
    const double tLiteral = Best(1, [&] {
      slow = std::make_unique<kvp::TUploadState>();
      slow->InitState();
      CountingProbe probe;
      kvbench::LiteralParseBody(*slow, in.body, probe);
    });
    Check(fast->FFileCount == 4 && fast->FStatus == 0, "benign: four files, Status 0");
    Check(slow->FFileCount == fast->FFileCount && slow->FVars->Count() == fast->FVars->Count(),
          "benign: literal parser agrees");
    for (int i = 0; i < fast->FFileCount && i < slow->FFileCount; ++i) {
      const auto at = static_cast<size_t>(i);
      const kvp::TFileRecord &a = fast->FFiles[at], &b = slow->FFiles[at];
      Check(a.DataSize == b.DataSize && std::memcmp(in.body.Memory() + a.DataAt,
                                                    in.body.Memory() + b.DataAt, a.DataSize) == 0,
            "benign: file bytes agree");
    }

    benignRate = Rate(text.size(), tParse);
    std::printf("benign body (%zu bytes, 4 files):\n", text.size());
    std::printf("  memcpy            %9.1f MiB/s\n", Rate(text.size(), tCopy));
    std::printf("  engine parser     %9.1f MiB/s\n", benignRate);
    std::printf("  literal parser    %9.1f MiB/s\n", Rate(text.size(), tLiteral));
    std::printf("  engine / memcpy   %9.2f\n", tCopy / tParse);
    std::printf("  engine / literal  %9.1f\n", tLiteral / tParse);
    Verdict("engine >= 1/2 of memcpy throughput", tCopy / tParse >= 0.5);
    Verdict("engine >= 20x the literal byte-at-a-time parser", tLiteral / tParse >= 20);
  }

  // --- hostile bodies ------------------------------------------------------
  std::printf("\nhostile bodies (target: >= 1/4 of the benign %.1f MiB/s):\n", benignRate);
  struct Hostile {
    const char* name;
    std::string body;
    int64_t fileSize;  // expected size of the one file, -1 to skip the check
    int32_t vars;
  };
  std::vector<Hostile> hostile;
  hostile.push_back({"file content only CR LF pairs", RepeatedContentBody(n, "\r\n"), -1, 1});
  hostile.push_back({"content flooded with the delimiter less its last byte",
                     RepeatedContentBody(n, kDelim.substr(0, kDelim.size() - 1)), -1, 1});
  {
    std::string lines(1000000, '\n');
    std::string b = kDelim + "\r\n" + FieldPart("v", "x\n" + lines);
    Close(b);
    Finish(b);
    hostile.push_back({"a million one-byte lines in a form value", b, -1, 1});
    std::string u = kDelim + "\r\n" + FieldPart("v", "x");
    Close(u);
    Finish(u);
    hostile.push_back({"a million one-byte lines after the closing line", u + lines, -1, 1});
    std::string f = kDelim + "\r\n" + FileHead("f", "x.bin") + lines;
    Close(f);
    Finish(f);
    hostile.push_back({"a million one-byte lines in a file", f, 1000000, 1});
  }
  for (Hostile& h : hostile) {
    Loaded in(h.body);
    const double t = ParseSeconds(in.body, h.body.size() > (64u << 20) ? 3 : 20);
    auto st = Parse(in.body);
    Check(st->FStatus == 0 && st->FVars->Count() == h.vars, h.name);
    if (h.fileSize >= 0)
      Check(st->FFileCount == 1 && int64_t{st->FFiles[0].DataSize} == h.fileSize, h.name);
    const double rate = Rate(h.body.size(), t);
    char label[160];
    std::snprintf(label, sizeof label, "%s: %.1f MiB/s = %.2f of benign", h.name, rate,
                  rate / benignRate);
    std::printf("  %s (%zu bytes, %.2f ms)\n", h.name, h.body.size(), t * 1e3);
    Verdict(label, rate >= benignRate / 4);
    h.body.clear();
    h.body.shrink_to_fit();
  }

  // --- time per byte, from 1 MiB up ------------------------------------------
  // No shape may make parsing super-linear: the time per byte of each shape
  // stays flat as the body grows.
  std::printf("\ntime per byte as bodies grow (target: largest / smallest <= 2):\n");
  std::vector<size_t> sizes;
  for (size_t m = 1; m < mib; m *= 4) sizes.push_back(m);
  sizes.push_back(mib);
  for (const Shape& shape : HostileShapes()) {
    std::printf("  %s:", shape.name);
    double lo = 1e30, hi = 0;
    for (const size_t m : sizes) {
      Loaded in(shape.make(m << 20));
      const double t = ParseSeconds(in.body, m >= 64 ? 1 : 3);
      const double ns = t * 1e9 / static_cast<double>(in.body.Size());
      lo = std::min(lo, ns);
      hi = std::max(hi, ns);
      std::printf(" %zu MiB %.2f ns/B;", m, ns);
      std::fflush(stdout);
    }
    std::printf("\n");
    char label[160];
    std::snprintf(label, sizeof label, "  flat: largest / smallest %.2f", hi / lo);
    Verdict(label, hi / lo <= 2.0);
  }
  {
    // What one line costs where every line is a pass of its own.
    Loaded in(AfterClosing(16 << 20, "\n"));
    const double t = ParseSeconds(in.body, 3);
    std::printf("  one pass (a line after the closing line, with its connection check): %.1f ns\n",
                t * 1e9 / static_cast<double>(in.body.Size()));
  }

  // --- many form fields ----------------------------------------------------
  for (const bool sameName : {false, true}) {
    std::printf(sameName ? "\nform fields under one name (folded into one variable):\n"
                         : "\ndistinct form fields:\n");
    double tField[2] = {1e30, 1e30};
    const int counts[2] = {10000, 100000};
    {
      Loaded small(FieldsBody(counts[0], sameName)), large(FieldsBody(counts[1], sameName));
      Check(Parse(small.body)->FVars->Count() == (sameName ? 1 : counts[0]), "fields: variables");
      Check(Parse(large.body)->FVars->Count() == (sameName ? 1 : counts[1]), "fields: variables");
      // Interleaved, so that both sizes see the same machine.
      for (int round = 0; round < 7; ++round) {
        tField[0] = std::min(tField[0], ParseSeconds(small.body, 5));
        tField[1] = std::min(tField[1], ParseSeconds(large.body, 1));
      }
    }
    for (int i = 0; i < 2; ++i)
      std::printf("  %6d fields       %9.2f ms\n", counts[i], tField[i] * 1e3);
    std::printf("  100k / 10k        %9.2f\n", tField[1] / tField[0]);
    Verdict("100k fields take <= 12x the time of 10k", tField[1] / tField[0] <= 12);
  }

  // --- names chosen to collide under the former name hash -------------------
  {
    constexpr size_t kNames = 100000;
    const std::vector<std::string> colliding = FnvCollidingNames(kNames);
    const std::vector<std::string> distinct = DistinctNames(kNames, colliding[0].size());
    const auto one = [](const std::string& name) {
      const uint64_t h = Fnv1a(name);
      return static_cast<uint32_t>(h ^ (h >> 32));
    };
    size_t sameHash = 0;
    for (const std::string& name : colliding) sameHash += one(name) == one(colliding[0]);
    std::printf(
        "\n%zu names of %zu bytes, all of one value under the former name hash of the "
        "portable build (unseeded FNV-1a over the folded name): %s\n",
        kNames, colliding[0].size(), sameHash == kNames ? "yes" : "NO");
#ifdef _WIN32
    std::printf(
        "  (the Windows build hashed sort keys: here they are merely names of that length)\n");
#endif
    Check(sameHash == kNames, "colliding names: one former hash value");
    Loaded crafted(NamedFieldsBody(colliding)), plain(NamedFieldsBody(distinct));
    Check(Parse(crafted.body)->FVars->Count() == static_cast<int32_t>(kNames),
          "colliding names: one variable each");
    Check(Parse(plain.body)->FVars->Count() == static_cast<int32_t>(kNames),
          "distinct names: one variable each");
    double tHostile = 1e30, tPlain = 1e30;
    for (int round = 0; round < 5; ++round) {
      tHostile = std::min(tHostile, ParseSeconds(crafted.body, 1));
      tPlain = std::min(tPlain, ParseSeconds(plain.body, 1));
    }
    const double nsHostile = tHostile * 1e9 / static_cast<double>(crafted.body.Size());
    const double nsPlain = tPlain * 1e9 / static_cast<double>(plain.body.Size());
    std::printf("  colliding names %.2f ns/B, distinct names %.2f ns/B: ratio %.2f\n", nsHostile,
                nsPlain, nsHostile / nsPlain);
    Verdict("colliding names take <= 2x the time per byte of distinct names",
            nsHostile / nsPlain <= 2);
  }

  // --- memory held by one upload state -------------------------------------
  std::printf("\npeak heap of one upload state (body read in 102400-byte chunks, parsed):\n");
  // fold: the variables and tag names are also made for another code page
  // (read again from the body), as a page that sets CodePage has them made.
  auto measure = [](const std::string& bytes, const char* name, double perByte, bool fold = false) {
    const auto size = static_cast<int64_t>(bytes.size());
    // Blocks cached by earlier runs would come back uncounted.
    kvp::TBlock::Trim();
    kvbench::StartHeapCount();
    {
      kvp::TUploadState st;
      st.InitState();
      st.FBody->Reserve(size);
      for (int64_t at = 0; at < size; at += 102400)
        st.FBody->Write(bytes.data() + at, std::min<int64_t>(102400, size - at));
      st.FBody->SetPosition(0);
      CountingProbe probe;
      st.ParseBody(*st.FBody, probe);
      if (fold) {
        Check(st.Vars(65001).Count() == st.FVars->Count(), "fold: the same lines");
        st.TagIndex("f", 65001);
      }
    }
    const int64_t peak = kvbench::StopHeapCount();
    if (peak < 0) {
      std::printf("  %-32s N = %" PRId64 ", peak not counted on this platform\n", name, size);
      return;
    }
    const double limit = perByte * static_cast<double>(size) + kMiB;
    std::printf("  %-40s N = %" PRId64 ", peak = %" PRId64 " (%.3f N)\n", name, size, peak,
                static_cast<double>(peak) / static_cast<double>(size));
    char label[80];
    std::snprintf(label, sizeof label, "peak <= %.2f N + 1 MiB", perByte);
    Verdict(label, static_cast<double>(peak) <= limit);
  };
  measure(text, "benign body", 1.15);
  text.clear();
  text.shrink_to_fit();
  measure(FieldsBody(100000), "100000 form fields", 2);
  {
    std::string many = kDelim + "\r\n";
    for (int i = 0; i < 20000; ++i) {
      many += FileHead("f", "a.bin") + "0123456789";
      Close(many);
    }
    Finish(many);
    measure(many, "20000 small files", 1.15);
  }
  // Bodies of nothing but tiny parts, 20 MiB each.
  measure(RepeatedParts(20 << 20, "--b", kTinyFile), "20 MiB of minimal file parts", 2);
  measure(RepeatedParts(20 << 20, "--ab", kTinyFile), "the same, 2-byte boundary", 2);
  measure(TinyFields(20 << 20, "--b"), "20 MiB of tiny fields, distinct names", 2);
  std::printf("the same, folded again for a code page (with its tag names):\n");
  measure(FieldsBody(100000), "100000 form fields", 3, true);
  measure(RepeatedParts(20 << 20, "--b", kTinyFile), "20 MiB of minimal file parts", 3, true);
  measure(TinyFields(20 << 20, "--b"), "20 MiB of tiny fields, distinct names", 3, true);

  std::printf("\n%s\n", failures ? "SOME TARGETS FAILED" : "ALL TARGETS PASSED");
  return failures ? 1 : 0;
}
