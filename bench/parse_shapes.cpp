// One ParseBody of one body shape, for instruction counts under callgrind,
// which repeat exactly whatever else the machine is doing:
//
//   valgrind --tool=callgrind --toggle-collect='kvp::TUploadState::ParseBody*'
//            build/native/bench/kv_parse_shape fields
//
// Shapes: value (a million empty lines in a form value), after (a million
// empty lines after the closing line), fields (100,000 fields of their own
// names), files (20,000 small files).
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/uploadstate.h"

namespace {

struct Connected final : kvp::IClientProbe {
  bool IsClientConnected() override { return true; }
};

const std::string kDelim = "-----------------------------7d1";

std::string Field(const std::string& name, const std::string& value) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n" + kDelim;
}

std::string Shape(const std::string& name) {
  if (name == "value")
    return kDelim + "\r\n" + Field("v", "x\n" + std::string(1000000, '\n')) + "--\r\n";
  if (name == "after")
    return kDelim + "\r\n" + Field("v", "x") + "--\r\n" + std::string(1000000, '\n');
  std::string body = kDelim;
  for (int i = 0; i < 100000 && name == "fields"; ++i)
    body += "\r\n" + Field("field" + std::to_string(i), "value" + std::to_string(i));
  for (int i = 0; i < 20000 && name == "files"; ++i)
    body +=
        "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n0123456789\r\n" +
        kDelim;
  return body + "--\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kv_parse_shape value|after|fields|files\n");
    return 2;
  }
  const std::string body = Shape(argv[1]);
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
