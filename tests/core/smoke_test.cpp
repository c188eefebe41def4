#include <gtest/gtest.h>

#include <string>

#include "engine/uploadstate.h"

namespace {
struct AlwaysConnected final : kvp::IClientProbe {
  int calls = 0;
  bool IsClientConnected() override {
    ++calls;
    return true;
  }
};
}  // namespace

TEST(Smoke, WorkedExample) {
  const std::string d = "-----------------------------7d1";
  std::string body = d + "\r\n" +
      "Content-Disposition: form-data; name=\"title\"\r\n\r\nHoliday\r\n" + d + "\r\n" +
      "Content-Disposition: form-data; name=\"photo\"; filename=\"C:\\pics\\beach.jpg\"\r\n"
      "Content-Type: image/jpeg\r\n\r\nJFIF\r\n" + d + "\r\n" +
      "Content-Disposition: form-data; name=\"extra\"; filename=\"\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n\r\n" + d + "\r\n" +
      "Content-Disposition: form-data; name=\"note\"\r\n\r\nline one\r\nline two\r\n" + d + "\r\n" +
      "Content-Disposition: form-data; name=\"Title\"\r\n\r\nSea\r\n" + d + "--\r\n";
  kvp::TUploadState s;
  s.InitState();
  s.FBody->Write(body.data(), static_cast<int64_t>(body.size()));
  AlwaysConnected probe;
  s.ParseBody(*s.FBody, probe);
  EXPECT_EQ(s.FStatus, 0);
  ASSERT_EQ(s.FFileCount, 1);
  EXPECT_EQ(s.FFiles[0].FileName, "beach.jpg");
  EXPECT_EQ(s.FFiles[0].Extension, "jpg");
  EXPECT_EQ(s.FFiles[0].NameOnly, "beach");
  EXPECT_EQ(s.FFiles[0].ContentType, "image/jpeg");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.FFiles[0].Data->Memory()), 4), "JFIF");
  ASSERT_EQ(s.FVars->Count(), 4);
  EXPECT_EQ(s.FVars->Strings(0), "Title=Holiday, Sea");
  EXPECT_EQ(s.FVars->Strings(1), "photo=C:\\pics\\beach.jpg");
  EXPECT_EQ(s.FVars->Strings(2), "extra=");
  EXPECT_EQ(s.FVars->Strings(3), "note=line one\r\nline two");
}
