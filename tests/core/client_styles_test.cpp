// Bodies as real clients write them, byte for byte: browsers, curl, Python
// requests, Node, OkHttp and Dart's http package (Flutter). Part headers are
// found by name where a client does not write them the way browsers do; no
// client's file may turn into a form field.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "parse_support.h"

namespace {

using kvref::Legacy;
using kvtest::Outcome;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + "\r\n\r\nbytes\n";

struct Expected {
  std::string localName, contentType, data, tag;
};

// The engine's result, checked against the byte-at-a-time model too.
kvref::Result Parse(const std::string& body) {
  const kvref::Result got = Outcome(body);
  EXPECT_EQ(got, kvref::Parse(body)) << kvref::Escaped(body);
  return got;
}

void ExpectFiles(const kvref::Result& r, const std::vector<Expected>& files) {
  ASSERT_EQ(r.files.size(), files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(r.files[i].localName, files[i].localName);
    EXPECT_EQ(r.files[i].contentType, files[i].contentType);
    EXPECT_EQ(r.files[i].data, files[i].data);
    EXPECT_EQ(r.tagNames.at(i), files[i].tag);
  }
  EXPECT_EQ(r.status, 0);
}

// --- Clients that write the disposition first, in this spelling: as before.

TEST(ClientStyles, BrowserCurlRequestsAndNodeAreReadAsAlways) {
  struct Client {
    const char* name;
    std::string boundary;
  };
  const Client clients[] = {
      {"Chrome", "----WebKitFormBoundary7MA4YWxkTrZu0gW"},
      {"Firefox", "---------------------------9051914041544843365972754266"},
      {"curl", "------------------------d74496d66958873e"},
      {"requests", "8f6a2c1d0e4b4e3f9a7c5d2b1e0f3a4c"},
      {"Node form-data", "--------------------------515890814546601021194782"},
      {"Node fetch", "----formdata-undici-034856174295"},
  };
  for (const Client& c : clients) {
    SCOPED_TRACE(c.name);
    const std::string d = "--" + c.boundary;
    const std::string body =
        d + "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nHoliday\r\n" + d +
        "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"beach.png\"\r\n"
        "Content-Type: image/png\r\n\r\n" +
        kPng + "\r\n" + d + "--\r\n";
    const kvref::Result r = Parse(body);
    ExpectFiles(r, {{"beach.png", "image/png", kPng, "photo"}});
    EXPECT_EQ(r.vars, (std::vector<std::string>{"title=Holiday", "photo=beach.png"}));
    // The same as when headers were only ever read at their fixed places.
    EXPECT_EQ(r, kvref::Parse(body, Legacy{.fixedHeaders = true}));
  }
}

// curl -F 'x=hello;type=text/plain' and typed OkHttp fields: a part whose
// second header line is Content-Type is a file, even without a file name. It
// has an empty LocalName and adds "x=" to the variables.
TEST(ClientStyles, TypedPartWithoutFileNameIsAFile) {
  const std::string d = "--------------------------d74496d66958873e";
  const std::string body = d +
                           "\r\nContent-Disposition: form-data; name=\"x\"\r\n"
                           "Content-Type: text/plain\r\n\r\nhello\r\n" +
                           d + "--\r\n";
  const kvref::Result r = Parse(body);
  ExpectFiles(r, {{"", "text/plain", "hello", "x"}});
  EXPECT_EQ(r.files.at(0).fileName, "");
  EXPECT_EQ(r.vars, std::vector<std::string>{"x="});
}

// OkHttp (Android, Retrofit) adds Content-Length lines: after Content-Type in
// a file part, and as line 2 of a plain field.
TEST(ClientStyles, OkHttpWithContentLengthLines) {
  const std::string d = "--3f1e9c3a-6b0d-4c1e-9f7a-2d5b8e0c4a61";
  const std::string body =
      d +
      "\r\nContent-Disposition: form-data; name=\"title\"\r\nContent-Length: 7\r\n\r\nHoliday\r\n" +
      d +
      "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"beach.png\"\r\n"
      "Content-Type: image/png\r\nContent-Length: " +
      std::to_string(kPng.size()) + "\r\n\r\n" + kPng + "\r\n" + d + "--\r\n";
  const kvref::Result r = Parse(body);
  ExpectFiles(r, {{"beach.png", "image/png", kPng, "photo"}});
  EXPECT_EQ(r.vars, (std::vector<std::string>{"title=Holiday", "photo=beach.png"}));
  EXPECT_EQ(r, kvref::Parse(body, Legacy{.fixedHeaders = true}));
}

// --- Clients whose files used to vanish.

// Dart's http package up to 1.2 (Flutter apps): lower-case names, and for a
// file the type line before the disposition line; a field with a non-ASCII
// value gets two more lines.
TEST(ClientStyles, DartFileAndNonAsciiField) {
  const std::string d = "--dart-http-boundary-0aZ9+_-bY8cX7dW6eV5fU4gT3hS2iR1jQ0kP9lO8mN7nM6oL5pK";
  const std::string body =
      d + "\r\ncontent-disposition: form-data; name=\"title\"\r\n\r\nHoliday\r\n" + d +
      "\r\ncontent-disposition: form-data; name=\"note\"\r\n"
      "content-type: text/plain; charset=utf-8\r\n"
      "content-transfer-encoding: binary\r\n\r\nGr\xc3\xbc\xc3\x9f"
      "e\r\n" +
      d +
      "\r\ncontent-type: image/png\r\n"
      "content-disposition: form-data; name=\"photo\"; filename=\"beach.png\"\r\n\r\n" +
      kPng + "\r\n" + d + "--\r\n";
  const kvref::Result r = Parse(body);
  ExpectFiles(r, {{"beach.png", "image/png", kPng, "photo"}});
  EXPECT_EQ(r.files.at(0).fileName, "beach.png");
  EXPECT_EQ(r.files.at(0).extension, "png");
  EXPECT_EQ(r.vars, (std::vector<std::string>{"title=Holiday",
                                              "note=Gr\xc3\xbc\xc3\x9f"
                                              "e",
                                              "photo=beach.png"}));

  // Read at fixed places, the file was a nameless form field holding its
  // bytes, and the value carried a header line.
  const kvref::Result fixed = kvref::Parse(body, Legacy{.fixedHeaders = true});
  EXPECT_TRUE(fixed.files.empty());
  EXPECT_EQ(fixed.vars.at(1).rfind("note=content-transfer-encoding: binary", 0), 0u);
}

TEST(ClientStyles, LowerCaseHeadersInBrowserOrder) {
  const std::string d = "--x";
  const std::string body =
      d +
      "\r\ncontent-disposition: form-data; name=\"f\"; filename=\"C:\\a\\b.TXT\""
      "\r\ncontent-type: text/plain\r\n\r\nline\r\n" +
      d + "\r\nCONTENT-DISPOSITION: form-data; name=\"g\"\r\n\r\nv\r\n" + d + "--\r\n";
  const kvref::Result r = Parse(body);
  ExpectFiles(r, {{"C:\\a\\b.TXT", "text/plain", "line", "f"}});
  EXPECT_EQ(r.files.at(0).nameOnly, "b");
  EXPECT_EQ(r.vars, (std::vector<std::string>{"f=C:\\a\\b.TXT", "g=v"}));
}

TEST(ClientStyles, ExtraHeaderLinesNeverLeakIntoValuesOrContent) {
  const std::string d = "--x";
  const std::string body =
      d +
      "\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Transfer-Encoding: 8bit\r\n"
      "X-Trace: 1\r\n\r\n\r\nsecond\r\n" +
      d +
      "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f.bin\"\r\n"
      "Content-Transfer-Encoding: binary\r\nContent-Type: application/octet-stream\r\n\r\nBIN\r\n" +
      d +
      "\r\nContent-Disposition: form-data; name=\"f2\"; filename=\"g.bin\"\r\n"
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\nGG\r\n" +
      d + "--\r\n";
  const kvref::Result r = Parse(body);
  ExpectFiles(r, {{"f.bin", "application/octet-stream", "BIN", "f"},
                  {"g.bin", "application/octet-stream", "GG", "f2"}});
  // Empty lines at the start of a value vanish, as they always do.
  EXPECT_EQ(r.vars.at(0), "a=second");
}

// A part without a file name and no Content-Type line stays a field; a file
// marker with an empty name and a Content-Type line makes an empty file
// input, as browsers send it: no item, "name=".
TEST(ClientStyles, ClassificationByName) {
  const std::string d = "--x";
  auto parse = [&](const std::string& headers, const std::string& content) {
    return Parse(d + "\r\n" + headers + "\r\n\r\n" + content + "\r\n" + d + "--\r\n");
  };
  kvref::Result r = parse(
      "content-disposition: form-data; name=\"f\"; filename=\"\"\r\n"
      "content-type: application/octet-stream",
      "");
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(r.vars, std::vector<std::string>{"f="});

  r = parse("content-disposition: form-data; name=\"f\"; filename=\"\"\r\nx-other: 1", "v");
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(r.vars, std::vector<std::string>{"f=v"});

  // No disposition line at all: names come from line 1 as always.
  r = parse("name=\"n\"; filename=\"a.txt\"\r\nX-Other: 1", "data");
  ExpectFiles(r, {{"a.txt", "", "data", "n"}});

  // The first disposition line counts; a type line read by name keeps its
  // whole value, blank or not.
  r = parse(
      "X-A: 1\r\nContent-Disposition: form-data; name=\"p\"; filename=\"p.gif\"\r\n"
      "Content-Disposition: form-data; name=\"q\"; filename=\"q.gif\"\r\n"
      "content-type:image/gif",
      "GIF");
  ExpectFiles(r, {{"p.gif", "image/gif", "GIF", "p"}});
}

// A header block whose empty line never comes is read as before: headers at
// fixed places, the rest as a value.
TEST(ClientStyles, UnendedBlocksAndCutBodiesKeepTheirResults) {
  const std::string d = "--x";
  const std::string unended = d +
                              "\r\ncontent-type: image/png\r\ncontent-disposition: form-data; "
                              "name=\"p\"; filename=\"a.png\"\r\nrest";
  EXPECT_EQ(Parse(unended), kvref::Parse(unended, Legacy{.fixedHeaders = true}));

  // Every cut of a Dart body gives the model's result; cuts inside the
  // header block give what the fixed reading gives.
  const std::string dart = d +
                           "\r\ncontent-type: image/png\r\ncontent-disposition: form-data; "
                           "name=\"p\"; filename=\"a.png\"\r\n\r\nPNGDATA\r\n" +
                           d +
                           "\r\ncontent-disposition: form-data; name=\"t\"\r\n"
                           "content-type: text/plain; charset=utf-8\r\n\r\nv\r\n" +
                           d + "--\r\n";
  for (size_t n = 0; n <= dart.size(); ++n) {
    SCOPED_TRACE(n);
    Parse(dart.substr(0, n));
  }
}

// Absurd header blocks cost linear time: a million header lines in one
// part, and many parts whose blocks never end (each would otherwise look for
// its empty line up to the body's end).
TEST(ClientStyles, AbsurdHeaderBlocks) {
  const std::string d = "--x";
  std::string body = d + "\r\ncontent-disposition: form-data; name=\"f\"; filename=\"a\"\r\n";
  for (int i = 0; i < 1000000; ++i) body += "h:\r\n";
  body += "\r\nDATA\r\n" + d + "--\r\n";
  kvref::Result r = Outcome(body);
  ExpectFiles(r, {{"a", "", "DATA", "f"}});

  std::string unended = d + "\r\n";
  for (int i = 0; i < 100000; ++i) unended += "a: 1\r\nb: 2\r\nc: 3\r\n" + d + "\r\n";
  r = Outcome(unended);
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(r.vars.size(), 1u);  // all nameless fields, folded into one line
}

// The request bodies of other parsers' test suites: nothing crashes, and the
// engine agrees with the byte-at-a-time model on every one.
TEST(PeerSuites, EveryBodyAgreesWithTheModel) {
  const std::filesystem::path root = KV_PEER_SUITES;
  if (!std::filesystem::is_directory(root)) GTEST_SKIP() << "no peer suites at " << root;
  int bodies = 0, files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().extension() != ".bin") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    SCOPED_TRACE(entry.path().string());
    const kvref::Result r = Parse(content.str());
    files += static_cast<int>(r.files.size());
    ++bodies;
  }
  EXPECT_GE(bodies, 100);
  EXPECT_GT(files, 50);
}

}  // namespace
