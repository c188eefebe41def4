// A part's header block, as any client may write it, inside a well-formed
// body: the engine against the byte-at-a-time reference parser (status,
// files with their names, type and bytes, tag names, form variables). The
// input is the block's text, up to and including the empty line that ends
// it, if the input has one; the part's content and a second, ordinary part
// follow, so that a block read wrongly also shifts what comes after it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "../tests/core/parse_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string block(reinterpret_cast<const char*>(data), size);
  const std::string delim = "--kv7d1";
  const std::string body = delim + "\r\n" + block + "CONTENT\r\nline two\r\n" + delim +
                           "\r\nContent-Disposition: form-data; name=\"after\"\r\n\r\nz\r\n" +
                           delim + "--\r\n";
  const kvref::Result engine = kvtest::Outcome(body);
  const kvref::Result model = kvref::Parse(body);
  if (engine == model) return 0;
  std::ostringstream out;
  out << "header block read differently\nbody: " << kvref::Escaped(body) << "\nengine: ";
  kvref::PrintTo(engine, &out);
  out << "\nmodel:  ";
  kvref::PrintTo(model, &out);
  std::fprintf(stderr, "%s\n", out.str().c_str());
  std::abort();
}
