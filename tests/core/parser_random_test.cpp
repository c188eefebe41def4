// ParseBody against the byte-at-a-time model on many random bodies: mostly
// well formed, with near-miss boundaries, odd line breaks, repeated names,
// truncation, stray bytes and clients that leave early.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/collation.h"
#include "parse_support.h"

namespace {

class BodyGenerator {
 public:
  explicit BodyGenerator(uint32_t seed) : rng_(seed) {}

  std::string Next() {
    static const std::vector<std::string> delimiters = {
        "-----------------------------7d1", "--ab", "aab", "aaaa", "--", "Z", "xyx", "-\r-ab"};
    std::string delim = Pick(delimiters);
    if (Chance(15)) delim = Random("-ab", 1 + Below(6));
    std::string text;  // the delimiter line as the body's text
    for (char c : delim)
      if (c != '\r') text += c;

    std::string body = delim + Newline();
    const int parts = static_cast<int>(Below(6));
    for (int i = 0; i < parts; ++i) {
      body += Part(text);
      body += Newline() + (Chance(5) ? text + "--" : text) + Newline();
    }
    if (Chance(70)) body += text + "--" + (Chance(70) ? "\r\n" : "");
    if (Chance(10)) body += Newline() + Random("ab\r\n-", Below(8));

    if (Chance(20) && !body.empty()) body.resize(Below(body.size() + 1));
    for (int n = Chance(15) ? static_cast<int>(Below(4)) : 0; n > 0 && !body.empty(); --n)
      body[Below(body.size())] = Pick(std::vector<char>{'\r', '\n', '"', '-', 'a', '='});
    return body;
  }

  int Connected() { return Chance(10) ? static_cast<int>(Below(12)) : INT_MAX; }

 private:
  std::string Part(const std::string& delim) {
    static const std::vector<std::string> names = {"a", "A", "b", "c=d", "", "name", "NAME"};
    static const std::vector<std::string> files = {"",   "x.txt",    "C:\\d\\p.JPG", "../../x.asp",
                                                   "n.", "a.tar.gz", "noext",        "d.v/f"};
    static const std::vector<std::string> types = {"Content-Type: text/plain",
                                                   "Content-Type:image/gif",
                                                   "content-type: a/b",
                                                   "",
                                                   "Content-Type:",
                                                   "X-Content-Type: q"};
    static const std::vector<std::string> dispositions = {
        "Content-Disposition", "content-disposition", "CONTENT-DISPOSITION",
        "Content-Disposition "};
    static const std::vector<std::string> extras = {"X-Extra: 1", "Content-Length: 5",
                                                    "content-transfer-encoding: binary",
                                                    "content-type: text/plain; charset=utf-8"};
    const std::string name = Pick(names);
    // Browsers, curl and most libraries write the disposition first with this
    // spelling; other clients change the case, the order, or add lines.
    const bool browser = Chance(60);
    std::string h1 =
        (browser ? dispositions[0] : Pick(dispositions)) + ": form-data; name=\"" + name + "\"";
    const bool file = Chance(50);
    if (file) h1 += "; filename=\"" + Pick(files) + "\"";
    if (Chance(5)) h1 = "Content-Disposition: form-data; filename=\"f.x\"; name=\"" + name + "\"";
    std::vector<std::string> headers{h1};
    if (file || Chance(10)) headers.push_back(Pick(types));
    if (Chance(browser ? 10 : 40)) headers.push_back(Pick(extras));
    if (!browser && Chance(30)) headers.push_back(Pick(extras));
    if (!browser && headers.size() > 1 && Chance(50)) std::swap(headers[0], headers[1]);
    std::string part;
    for (const std::string& h : headers) part += h + Newline();
    part += Newline() + Content(delim);
    return part;
  }

  std::string Content(const std::string& delim) {
    std::string c;
    const int pieces = static_cast<int>(Below(6));
    for (int i = 0; i < pieces; ++i) {
      switch (Below(6)) {
        case 0:  // the delimiter less its last byte, or a part of it
          c += delim.substr(0, delim.empty() ? 0 : Below(delim.size()));
          break;
        case 1:
          c += Newline();
          break;
        case 2:
          c += Random(delim + "\r\n", Below(10));
          break;
        default:
          c += Random("abc-\r\n=\"", Below(12));
          break;
      }
    }
    return c;
  }

  std::string Newline() {
    const uint32_t r = Below(20);
    return r == 0 ? "\n" : r == 1 ? "\r\r\n" : r == 2 ? "" : "\r\n";
  }

  std::string Random(const std::string& alphabet, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && !alphabet.empty(); ++i) s += alphabet[Below(alphabet.size())];
    return s;
  }

  template <typename T>
  T Pick(const std::vector<T>& from) {
    return from[Below(from.size())];
  }

  uint32_t Below(size_t n) {
    return static_cast<uint32_t>(std::uniform_int_distribution<size_t>(0, n - 1)(rng_));
  }
  bool Chance(int percent) { return Below(100) < static_cast<uint32_t>(percent); }

  std::mt19937 rng_;
};

// A code page's fold reads the parts again, stopping where the first parse
// stopped; the portable build compares names alike in every code page, so
// it must give FVars line for line. The tag index gives each name's first
// file, as a scan does.
void ExpectTheSameFoldReadAgain(kvp::TUploadState& state, const kvref::Result& got, int i) {
  const kvp::TStringList& again = state.Vars(65001);
  std::vector<std::string> lines;
  for (int32_t k = 0; k < again.Count(); ++k) lines.emplace_back(again.Strings(k));
  ASSERT_EQ(lines, got.vars) << "body #" << i;
  for (const std::string& tag : got.tagNames) {
    int32_t first = 0;
    while (!kvp::SameText(got.tagNames[static_cast<size_t>(first)], tag)) ++first;
    ASSERT_EQ(state.TagIndex(tag, 0), first) << "body #" << i << ", tag " << tag;
    ASSERT_EQ(state.TagIndex(tag + "?", 1251), -1) << "body #" << i;
  }
}

TEST(ParseBodyRandom, AgreesWithTheByteAtATimeModel) {
  BodyGenerator gen(20260512);
  int files = 0, failed = 0, folded = 0;
  for (int i = 0; i < 30000; ++i) {
    const std::string body = gen.Next();
    const int connected = gen.Connected();
    const kvtest::Parsed p = kvtest::RunParser(body, connected);
    const kvref::Result got = kvtest::Outcome(p);
    ASSERT_EQ(got, kvref::Parse(body, {}, connected))
        << "body #" << i << ": " << kvref::Escaped(body);
    ASSERT_TRUE(got.status == 0 || got.status == 2);
    ASSERT_EQ(p.state->FFileCount, static_cast<int32_t>(got.files.size()));
    files += static_cast<int>(got.files.size());
    failed += got.status == 2;
    for (const std::string& v : got.vars) folded += v.find(", ") != std::string::npos;
    ExpectTheSameFoldReadAgain(*p.state, got, i);
  }
  // The generator must reach the interesting outcomes, or the run proves little.
  EXPECT_GT(files, 3000);
  EXPECT_GT(failed, 1000);
  EXPECT_GT(folded, 1000);
}

}  // namespace
