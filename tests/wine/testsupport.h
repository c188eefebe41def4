// Shared pieces of the tests that run under Wine: multipart bodies as
// browsers send them, filler bytes, and a fixture that plays the ASP host for
// one upload object.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "aspstub.h"
#include "commitcharge.h"
#include "engine/process.h"
#include "fileout/fileio.h"
#include "mtxexclient.h"

namespace kvtest {

// A multipart/form-data body: each part opens with the delimiter line and
// ends with CR LF; the body closes with the delimiter line and "--".
class Multipart {
 public:
  explicit Multipart(std::string delimiter = "-----------------------------7d1")
      : delimiter_(std::move(delimiter)) {}

  Multipart& Field(std::string_view name, std::string_view value) {
    Open() += "Content-Disposition: form-data; name=\"";
    body_.append(name).append("\"\r\n\r\n").append(value).append("\r\n");
    return *this;
  }
  Multipart& File(std::string_view name, std::string_view fileName, std::string_view type,
                  std::string_view content) {
    Open() += "Content-Disposition: form-data; name=\"";
    body_.append(name).append("\"; filename=\"").append(fileName).append("\"\r\n");
    body_.append("Content-Type: ").append(type).append("\r\n\r\n");
    body_.append(content).append("\r\n");
    return *this;
  }
  std::string Body() const { return body_ + delimiter_ + "--\r\n"; }
  const std::string& Delimiter() const { return delimiter_; }

 private:
  std::string& Open() { return body_.append(delimiter_).append("\r\n"); }

  std::string delimiter_;
  std::string body_;
};

// n bytes of every value, the same for the same seed.
inline std::string FillerBytes(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

// The whole content of a file, or "<missing>" when it cannot be opened.
inline std::string ReadWhole(const std::string& path) {
  kvp::FileHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Valid()) return "<missing>";
  std::string content;
  std::string buffer(1 << 16, '\0');
  DWORD got = 0;
  while (ReadFile(f.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
         got > 0)
    content.append(buffer.data(), got);
  return content;
}

// The request body the object holds, in memory or spooled, as a string.
inline std::string BodyOf(const kvp::TUploadState& state) {
  const kvp::TBodySource& body = state.RequestBody();
  std::string bytes(static_cast<size_t>(body.Size()), '\0');
  body.ReadAt(0, bytes.data(), body.Size());
  return bytes;
}

using kvstub::PrivateCommit;

// The bytes of file item i.
inline std::string ItemBytes(const kvp::TUploadState& state, size_t i) {
  std::string bytes(state.FFiles[i].DataSize, '\0');
  state.ReadFileBytes(i, 0, bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

// The lines of FVars, in order.
inline std::vector<std::string> VarLines(const kvp::TUploadState& state) {
  std::vector<std::string> lines;
  for (int32_t i = 0; i < state.FVars->Count(); ++i) lines.emplace_back(state.FVars->Strings(i));
  return lines;
}

// One upload object and the stand-in host it reads its request from. Every
// test ends by checking that the object let go of every host object and
// every stream it made.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveObjects_ = kvstub::StubHost::LiveObjects();
    liveStreams_ = kvp::TMemoryStream::LiveCount();
    host_.emplace();
    scope_.emplace(host_->Context());
    ASSERT_EQ(scope_->Status(), S_OK);
    SetErrorInfo(0, nullptr);
  }

  void TearDown() override {
    process_.reset();
    scope_.reset();
    host_.reset();
    EXPECT_EQ(kvstub::StubHost::LiveObjects(), liveObjects_)
        << "references to the host's objects were not released";
    EXPECT_EQ(kvp::TMemoryStream::LiveCount(), liveStreams_) << "streams were not freed";
  }

  kvstub::StubHost& Host() { return *host_; }

  // Builds and initialises the object as the class factory does; a failure
  // of the initialisation propagates.
  kvp::Tprocess& Create() {
    process_ = std::make_unique<kvp::Tprocess>();
    process_->Initialize();
    return *process_;
  }
  kvp::Tprocess& Process() { return *process_; }
  void Destroy() { process_.reset(); }

  LONG TotalBytes() {
    LONG value = -12345;
    EXPECT_EQ(process_->get_TotalBytes(&value), S_OK);
    return value;
  }
  LONG Status() {
    LONG value = -12345;
    EXPECT_EQ(process_->get_Status(&value), S_OK);
    return value;
  }

 private:
  long liveObjects_ = 0;
  int64_t liveStreams_ = 0;
  std::optional<kvstub::StubHost> host_;
  std::optional<kvstub::ContextScope> scope_;
  std::unique_ptr<kvp::Tprocess> process_;
};

}  // namespace kvtest
