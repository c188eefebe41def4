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
#include "engine/blockpool.h"
#include "engine/uploadstate.h"
#include "literal_parser.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
const std::string kDelim = "-----------------------------7d1";

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

// Random bytes that hold CR, LF and "-" at their natural rate.
void FillRandom(std::string& out, size_t n, uint64_t seed) {
  const size_t at = out.size();
  out.resize(at + n);
  uint64_t x = seed | 1;
  for (size_t i = 0; i < n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&out[at + i], &x, std::min<size_t>(8, n - i));
  }
}

std::string FieldPart(const std::string& name, const std::string& value) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

std::string FileHead(const std::string& name, const std::string& fileName) {
  return "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

// Appends a part and the delimiter line after it.
void Close(std::string& body) {
  body += "\r\n" + kDelim + "\r\n";
}
void Finish(std::string& body) {
  body.resize(body.size() - 2);
  body += "--\r\n";
}

// A few large files of random bytes and two fields, about `total` bytes.
std::string BenignBody(size_t total, int files) {
  std::string body = kDelim + "\r\n";
  body += FieldPart("title", "Holiday");
  Close(body);
  const size_t each = (total - 1024) / static_cast<size_t>(files);
  for (int i = 0; i < files; ++i) {
    body += FileHead("f" + std::to_string(i), "C:\\data\\part" + std::to_string(i) + ".bin");
    FillRandom(body, each, 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(i + 1));
    Close(body);
  }
  body += FieldPart("note", "done");
  Close(body);
  Finish(body);
  return body;
}

// One file whose content repeats `unit` up to about `total` bytes.
std::string RepeatedContentBody(size_t total, const std::string& unit) {
  std::string body = kDelim + "\r\n" + FileHead("f", "x.bin");
  body.reserve(total + 256);
  while (body.size() + unit.size() < total) body += unit;
  body += "END";
  Close(body);
  Finish(body);
  return body;
}

// count fields, each with a name of its own, or all under one name (their
// values then fold into one variable).
std::string FieldsBody(int count, bool sameName = false) {
  std::string body = kDelim + "\r\n";
  for (int i = 0; i < count; ++i) {
    body +=
        FieldPart(sameName ? "field" : "field" + std::to_string(i), "value" + std::to_string(i));
    Close(body);
  }
  Finish(body);
  return body;
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
    for (int i = 0; i < fast->FFileCount && i < slow->FFileCount; ++i)
      Check(fast->FFiles[static_cast<size_t>(i)].Data->Size() ==
                    slow->FFiles[static_cast<size_t>(i)].Data->Size() &&
                std::memcmp(
                    fast->FFiles[static_cast<size_t>(i)].Data->Memory(),
                    slow->FFiles[static_cast<size_t>(i)].Data->Memory(),
                    static_cast<size_t>(fast->FFiles[static_cast<size_t>(i)].Data->Size())) == 0,
            "benign: file bytes agree");

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
      Check(st->FFileCount == 1 && st->FFiles[0].Data->Size() == h.fileSize, h.name);
    const double rate = Rate(h.body.size(), t);
    char label[160];
    std::snprintf(label, sizeof label, "%s: %.1f MiB/s = %.2f of benign", h.name, rate,
                  rate / benignRate);
    std::printf("  %s (%zu bytes, %.2f ms)\n", h.name, h.body.size(), t * 1e3);
    Verdict(label, rate >= benignRate / 4);
    h.body.clear();
    h.body.shrink_to_fit();
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

  // --- memory held by one upload state -------------------------------------
  std::printf("\npeak heap of one upload state (body read in 102400-byte chunks, parsed):\n");
  auto measure = [](const std::string& bytes, const char* name) {
    const auto size = static_cast<int64_t>(bytes.size());
    // Blocks cached by earlier runs would come back uncounted.
    kvp::TBlock::Trim();
    kvbench::StartHeapCount();
    {
      kvp::TUploadState st;
      st.InitState();
      st.FBody->SetSize(size);
      st.FBody->SetPosition(0);
      for (int64_t at = 0; at < size; at += 102400)
        st.FBody->Write(bytes.data() + at, std::min<int64_t>(102400, size - at));
      st.FBody->SetPosition(0);
      CountingProbe probe;
      st.ParseBody(*st.FBody, probe);
    }
    const int64_t peak = kvbench::StopHeapCount();
    if (peak < 0) {
      std::printf("  %-32s N = %" PRId64 ", peak not counted on this platform\n", name, size);
      return;
    }
    const double limit = 1.15 * static_cast<double>(size) + kMiB;
    std::printf("  %-32s N = %" PRId64 ", peak = %" PRId64 " (%.3f N)\n", name, size, peak,
                static_cast<double>(peak) / static_cast<double>(size));
    Verdict("peak <= 1.15 N + 1 MiB", static_cast<double>(peak) <= limit);
  };
  measure(text, "benign body");
  text.clear();
  text.shrink_to_fit();
  measure(FieldsBody(100000), "100000 form fields");
  {
    std::string many = kDelim + "\r\n";
    for (int i = 0; i < 20000; ++i) {
      many += FileHead("f", "a.bin") + "0123456789";
      Close(many);
    }
    Finish(many);
    measure(many, "20000 small files");
  }

  std::printf("\n%s\n", failures ? "SOME TARGETS FAILED" : "ALL TARGETS PASSED");
  return failures ? 1 : 0;
}
