// The parser reading a body through a window of a few bytes against the same
// parser seeing the body whole: the same outcome (status, every file's names,
// type and bytes, the tag names, the form variables and how often the client
// was asked), so that a delimiter, a header line or a CR LF split between two
// windows is read as if it were not.
//
// Input: a control byte, then the body.
//   control bits 0-5: the window, 1 to 64 bytes
//   control bit 6:    the client leaves after (control >> 2) % 32 questions
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../tests/core/parse_support.h"

namespace {

// The body in memory, but not handed out as one block: every read goes
// through the parser's window.
class Unmapped final : public kvp::TBodySource {
 public:
  explicit Unmapped(std::string_view body) : body_(body) {}
  int64_t Size() const noexcept override { return static_cast<int64_t>(body_.size()); }
  const uint8_t* Memory() const noexcept override { return nullptr; }
  void ReadAt(int64_t offset, void* buffer, int64_t count) const override {
    if (offset < 0 || count < 0 || count > Size() - offset) std::abort();
    std::memcpy(buffer, body_.data() + offset, static_cast<size_t>(count));
  }

 private:
  std::string_view body_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int64_t window = (data[0] & 63) + 1;
  const int connected = (data[0] & 64) ? (data[0] >> 2) % 32 : INT_MAX;
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  const kvtest::Parsed whole = kvtest::RunParser(body, connected);

  const Unmapped unmapped(body);
  kvtest::Parsed windowed;
  windowed.state = std::make_unique<kvp::TUploadState>();
  windowed.state->InitState();
  kvtest::ScriptedProbe probe(connected);
  windowed.state->ParseBody(unmapped, probe, window);
  windowed.probeCalls = probe.Calls();

  if (!(kvtest::Outcome(windowed) == kvtest::Outcome(whole))) std::abort();
  return 0;
}
