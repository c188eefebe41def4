// ParseBody on arbitrary bodies, checked against the byte-at-a-time model and
// the invariants of the parsed state. The input is the body; its first byte
// also decides when the client leaves in a second run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "../tests/core/parse_support.h"

namespace {

void Expect(bool ok) {
  if (!ok) std::abort();
}

void RunOnce(std::string_view body, int connected) {
  const kvtest::Parsed p = kvtest::RunParser(body, connected);
  const kvp::TUploadState& s = *p.state;
  Expect(s.FStatus == 0 || s.FStatus == 2);
  Expect(s.FFileCount == static_cast<int32_t>(s.FFiles.size()));
  Expect(s.FTagNames->Count() == s.FFileCount);
  const uint8_t* begin = s.FBody->Memory();
  const uint8_t* end = begin + s.FBody->Size();
  for (const kvp::TFileRecord& f : s.FFiles) {
    Expect(f.Data && f.Data->Size() >= 1 && f.Data->Position() == f.Data->Size());
    Expect(f.Data->Memory() >= begin && f.Data->Memory() + f.Data->Size() <= end);
  }
  Expect(kvtest::Outcome(p) == kvref::Parse(body, {}, connected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  RunOnce(body, INT_MAX);
  if (size > 0) RunOnce(body, data[0] % 16);
  return 0;
}
