// ParseBody on arbitrary bodies, checked against the invariants of the parsed
// state (the comparison with the reference parser is parse_differential's
// job). The input is the body; its first byte also decides when the client
// leaves in a second run, whose items must be the first run's first items
// and whose parts, read again for a code page, must give the same lines.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/collation.h"
#include "../tests/core/parse_support.h"

namespace {

void Expect(bool ok) {
  if (!ok) std::abort();
}

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

void CheckState(const kvp::TUploadState& s) {
  Expect(s.FStatus == 0 || s.FStatus == 2);
  Expect(s.FFileCount == static_cast<int32_t>(s.FFiles.size()));
  const int64_t size = s.ParsedBody().Size();
  for (size_t i = 0; i < s.FFiles.size(); ++i) {
    const kvp::TFileRecord& item = s.FFiles[i];
    Expect(item.DataSize >= 1);
    Expect(int64_t{item.DataAt} + item.DataSize <= size);
    // The header block read again lies before the bytes.
    Expect(s.FFiles[i].HeadAt < s.FFiles[i].DataAt);
    const kvp::TFileText f = s.FileText(i);
    // The name parts split the client's name.
    Expect(EndsWith(f.LocalName, f.FileName));
    if (f.Extension.empty())
      Expect(f.NameOnly == f.FileName);
    else
      Expect(f.NameOnly + "." + f.Extension == f.FileName);
  }
}

// A code page's fold reads the parts again and stops where the parse stopped;
// the portable build compares names alike in every code page, so its lines
// are FVars's. Each file's tag name leads back to its name's first file.
void CheckFold(kvp::TUploadState& s) {
  const kvp::TStringList& again = s.Vars(65001);
  Expect(again.Count() == s.FVars->Count());
  for (int32_t i = 0; i < again.Count(); ++i) Expect(again.Strings(i) == s.FVars->Strings(i));
  for (size_t i = 0; i < s.FFiles.size(); ++i) {
    const std::string tag = s.TagNameOf(i);
    size_t first = 0;
    while (!kvp::SameText(s.TagNameOf(first), tag)) ++first;
    Expect(s.TagIndex(tag, 0) == static_cast<int32_t>(first));
  }
}

// What the client left behind by going early is a prefix of the whole.
void CheckPrefix(const kvref::Result& cut, const kvref::Result& whole) {
  Expect(cut.files.size() <= whole.files.size());
  Expect(std::equal(cut.files.begin(), cut.files.end(), whole.files.begin()));
  Expect(std::equal(cut.tagNames.begin(), cut.tagNames.end(), whole.tagNames.begin()));
  Expect(cut.vars.size() <= whole.vars.size());
  Expect(cut.probeCalls <= whole.probeCalls);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const kvtest::Parsed whole = kvtest::RunParser(body, INT_MAX);
  CheckState(*whole.state);
  if (size == 0) return 0;
  const kvtest::Parsed cut = kvtest::RunParser(body, data[0] % 16);
  CheckState(*cut.state);
  CheckFold(*cut.state);
  CheckPrefix(kvtest::Outcome(cut), kvtest::Outcome(whole));
  return 0;
}
