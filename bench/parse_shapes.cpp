// One ParseBody of one body shape, for instruction counts under callgrind,
// which repeat exactly whatever else the machine is doing:
//
//   valgrind --tool=callgrind --toggle-collect='kvp::TUploadState::ParseBody*'
//            build/native/bench/kv_parse_shape SHAPE [MiB]
//
// SHAPE is a number from the list the program prints without arguments (the
// hostile shapes of kv_parser_bench, at MiB, default 1), or one of: fields
// (100,000 fields of their own names), files (20,000 small files).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "body_shapes.h"
#include "engine/uploadstate.h"

namespace {

struct Connected final : kvp::IClientProbe {
  bool IsClientConnected() override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
  const auto& shapes = kvbench::HostileShapes();
  if (argc < 2) {
    std::fprintf(stderr, "usage: kv_parse_shape SHAPE [MiB]\n");
    for (size_t i = 0; i < shapes.size(); ++i)
      std::fprintf(stderr, "  %zu  %s\n", i, shapes[i].name);
    std::fprintf(stderr, "  fields, files\n");
    return 2;
  }
  const std::string which = argv[1];
  const size_t mib = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 1;
  std::string body;
  if (which == "fields") {
    body = kvbench::FieldsBody(100000);
  } else if (which == "files") {
    body = kvbench::kDelim + "\r\n";
    for (int i = 0; i < 20000; ++i) {
      body += kvbench::FileHead("f", "a.bin") + "0123456789";
      kvbench::Close(body);
    }
    kvbench::Finish(body);
  } else {
    const size_t i = static_cast<size_t>(std::atol(argv[1]));
    if (i >= shapes.size()) return 2;
    body = shapes[i].make(mib << 20);
  }
  kvp::TUploadState state;
  state.InitState();
  state.FBody->Write(body.data(), static_cast<int64_t>(body.size()));
  state.FBody->SetPosition(0);
  Connected probe;
  state.ParseBody(*state.FBody, probe);
  std::printf("%zu bytes: %d files, %d variables\n", body.size(), state.FFileCount,
              state.FVars->Count());
  return 0;
}
