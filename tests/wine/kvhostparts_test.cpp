// The two small pieces of kvhost: SHA-256, checked against published
// digests and against the platform's own implementation, and the JSON
// writer's escaping and layout.
#include <gtest/gtest.h>

#include <windows.h>
#include <bcrypt.h>

#include <random>
#include <string>

#include "jsonwriter.h"
#include "sha256.h"

namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// The platform's SHA-256 through BCrypt; empty when it is not available.
std::string PlatformSha256(const std::string& data) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return {};
  unsigned char digest[32];
  const NTSTATUS status =
      BCryptHash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                 static_cast<ULONG>(data.size()), digest, sizeof digest);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return status == 0 ? Hex(digest, sizeof digest) : std::string();
}

std::string Ours(const std::string& data) {
  return kvhost::Sha256Hex(data.data(), data.size());
}

TEST(Sha256, PublishedDigests) {
  EXPECT_EQ(Ours(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Ours("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Ours("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Ours(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every length around the padding boundaries, fed whole and in pieces.
TEST(Sha256, AgreesWithThePlatformAtEveryLengthUpTo300) {
  ASSERT_FALSE(PlatformSha256("x").empty()) << "BCrypt has no SHA-256 here";
  std::mt19937 random(7);
  std::string data;
  for (size_t n = 0; n <= 300; ++n) {
    const std::string expected = PlatformSha256(data);
    EXPECT_EQ(Ours(data), expected) << "length " << n;
    kvhost::Sha256 pieces;
    for (size_t at = 0; at < data.size();) {
      const size_t step = std::min<size_t>(1 + random() % 70, data.size() - at);
      pieces.Update(data.data() + at, step);
      at += step;
    }
    const auto digest = pieces.Final();
    EXPECT_EQ(Hex(digest.data(), digest.size()), expected) << "length " << n << " in pieces";
    data += static_cast<char>(random());
  }
}

TEST(Json, QuotesEscapeWhatJsonRequires) {
  EXPECT_EQ(kvhost::JsonQuote(""), "\"\"");
  EXPECT_EQ(kvhost::JsonQuote("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(kvhost::JsonQuote("\r\n\t\b\f"), "\"\\r\\n\\t\\b\\f\"");
  EXPECT_EQ(kvhost::JsonQuote(std::string("\x00\x01\x1f\x20\x7f", 5)),
            "\"\\u0000\\u0001\\u001f \x7f\"");
  // UTF-8 passes unchanged.
  EXPECT_EQ(kvhost::JsonQuote("Caf\xC3\xA9 \xE2\x82\xAC"), "\"Caf\xC3\xA9 \xE2\x82\xAC\"");
}

TEST(Json, NestsObjectsAndArraysWithCommasAndIndentation) {
  kvhost::JsonWriter json;
  json.BeginObject();
  json.Key("n");
  json.Number(-3);
  json.Key("empty");
  json.BeginArray();
  json.EndArray();
  json.Key("list");
  json.BeginArray();
  json.BeginObject();
  json.Key("k");
  json.String("v");
  json.EndObject();
  json.Number(4294967296);
  json.EndArray();
  json.EndObject();
  EXPECT_EQ(json.Text(),
            "{\n"
            "  \"n\": -3,\n"
            "  \"empty\": [],\n"
            "  \"list\": [\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    },\n"
            "    4294967296\n"
            "  ]\n"
            "}");
}

}  // namespace
