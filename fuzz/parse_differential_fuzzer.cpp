// The engine's parser against the byte-at-a-time reference parser of the core
// tests: the same body, the same client, the same outcome (status, every
// file's names, type and bytes, the tag names, the form variables and how
// often the client was asked). Both sides are read through the tests' own
// helpers, so whatever the suites compare, this target compares too.
//
// Input: a control byte, then either the body as it is or a recipe that
// builds one out of multipart pieces (header lines in either case and either
// order, extra header lines, boundary near-misses, bare CR or LF, raw bytes).
//   control bit 7: 1 = recipe, 0 = raw body
//   control bit 6: 1 = the client leaves after (control & 31) questions
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "../tests/core/parse_support.h"

namespace {

std::string Text(FuzzedDataProvider& in, size_t max) {
  return in.ConsumeRandomLengthString(max);
}

std::string HeaderName(FuzzedDataProvider& in, std::string_view name) {
  std::string out(name);
  if (in.ConsumeBool())
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

std::string Disposition(FuzzedDataProvider& in) {
  std::string line = HeaderName(in, "Content-Disposition") + ": form-data; name=\"" + Text(in, 12);
  if (in.ConsumeBool()) line += '"';
  if (in.ConsumeBool()) line += "; filename=\"" + Text(in, 24) + '"';
  return line + "\r\n";
}

std::string ContentType(FuzzedDataProvider& in) {
  return HeaderName(in, "Content-Type") + (in.ConsumeBool() ? ": " : ":") + Text(in, 24) + "\r\n";
}

std::string BuildBody(FuzzedDataProvider& in) {
  const std::string delimiter =
      in.ConsumeBool() ? "--" + std::string(in.ConsumeIntegralInRange(0, 30), '-') + Text(in, 8)
                       : Text(in, 8);
  std::string body = delimiter + "\r\n";
  while (in.remaining_bytes() > 0 && body.size() < 65536) {
    switch (in.ConsumeIntegralInRange(0, 11)) {
      case 0:
        body += "\r\n" + delimiter + "\r\n";
        break;
      case 1:
        body += "\r\n" + delimiter + "--" + (in.ConsumeBool() ? "\r\n" : "");
        break;
      case 2:
        body += Disposition(in);
        break;
      case 3:
        body += ContentType(in);
        break;
      case 4:
        body += HeaderName(in, "Content-Transfer-Encoding") + ": binary\r\n";
        break;
      case 5:
        body += "\r\n";
        break;
      case 6:
        body += Text(in, 64);
        break;
      case 7:  // the boundary cut short, then anything
        body += delimiter.substr(0, in.ConsumeIntegralInRange<size_t>(0, delimiter.size())) +
                Text(in, 8);
        break;
      case 8:
        body += in.PickValueInArray({"\n", "\r", "\r\r\n", "\n\r"});
        break;
      case 9:
        body += delimiter;
        break;
      case 10: {  // a whole file part, its headers in either order
        const std::string disposition = Disposition(in);
        const std::string type = ContentType(in);
        body += in.ConsumeBool() ? disposition + type : type + disposition;
        body += "\r\n" + Text(in, 64) + "\r\n" + delimiter + "\r\n";
        break;
      }
      case 11:  // a whole form field
        body += Disposition(in) + "\r\n" + Text(in, 32) + "\r\n" + delimiter + "\r\n";
        break;
    }
  }
  return body;
}

std::string Printed(const kvref::Result& r) {
  std::ostringstream out;
  kvref::PrintTo(r, &out);
  return out.str();
}

[[noreturn]] void Report(std::string_view body, int connected, const kvref::Result& engine,
                         const kvref::Result& reference) {
  std::fprintf(stderr, "parse_differential: the parsers differ (client connected for %d calls)\n",
               connected);
  std::fprintf(stderr, "body (%zu bytes): ", body.size());
  for (size_t at = 0; at < body.size(); at += 200)
    std::fputs(kvref::Escaped(body.substr(at, 200)).c_str(), stderr);
  std::fprintf(stderr, "\nengine:    %s\n", Printed(engine).c_str());
  std::fprintf(stderr, "reference: %s\n", Printed(reference).c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const int connected = (control & 0x40) ? control & 31 : INT_MAX;
  std::string body;
  if (control & 0x80) {
    FuzzedDataProvider in(data + 1, size - 1);
    body = BuildBody(in);
  } else {
    body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  }
  const kvref::Result engine = kvtest::Outcome(body, connected);
  const kvref::Result reference = kvref::Parse(body, {}, connected);
  if (!(engine == reference)) Report(body, connected, engine, reference);
  return 0;
}
