// The body parser: ReadLine, the worked example, the edge cases of the
// multipart rules, the corrected faults of the first algorithm, the
// connection checks and bodies that are cut short or absurd.
#include <gtest/gtest.h>

#include <string>

#include "parse_support.h"

namespace {

using kvref::Legacy;
using kvtest::BodyBuilder;
using kvtest::Outcome;
using kvtest::RunParser;

const std::string kDelim = "-----------------------------7d1";

std::string WorkedExample() {
  return BodyBuilder(kDelim)
      .Field("title", "Holiday")
      .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", "JFIF")
      .File("extra", "", "application/octet-stream", "")
      .Field("note", "line one\r\nline two")
      .Field("Title", "Sea")
      .Build();
}

// The vars of a body, with the check that the model agrees on everything.
std::vector<std::string> VarsOf(const std::string& body) {
  const kvref::Result got = Outcome(body);
  EXPECT_EQ(got, kvref::Parse(body));
  return got.vars;
}

TEST(ReadLine, TextDropsEveryCrAndLfAndLengthCountsThem) {
  kvp::TMemoryStream s;
  const std::string data = "a\rb\r\r\nsecond\nlast\r";
  s.Write(data.data(), static_cast<int64_t>(data.size()));
  std::string text = "stale";
  int64_t length = -1;

  kvp::ReadLine(s, 0, text, length);
  EXPECT_EQ(text, "ab");
  EXPECT_EQ(length, 6);
  EXPECT_EQ(s.Position(), 6);

  kvp::ReadLine(s, 6, text, length);
  EXPECT_EQ(text, "second");
  EXPECT_EQ(length, 7);

  kvp::ReadLine(s, 13, text, length);  // no LF: the line runs to the end
  EXPECT_EQ(text, "last");
  EXPECT_EQ(length, 5);
  EXPECT_EQ(s.Position(), 18);

  kvp::ReadLine(s, 14, text, length);  // starting inside a line
  EXPECT_EQ(text, "ast");

  s.SetPosition(3);
  for (int64_t at : {int64_t{18}, int64_t{1000}}) {
    text = "stale";
    kvp::ReadLine(s, at, text, length);
    EXPECT_EQ(text, "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(s.Position(), 3) << "the stream is not touched at or beyond the end";
  }
}

TEST(ParseBody, WorkedExample) {
  const std::string body = WorkedExample();
  const kvtest::Parsed p = RunParser(body);
  const kvp::TUploadState& s = *p.state;

  EXPECT_EQ(s.FStatus, 0);
  ASSERT_EQ(s.FFileCount, 1);
  ASSERT_EQ(s.FFiles.size(), 1u);
  const kvp::TFileText f = s.FileText(0);
  EXPECT_EQ(f.LocalName, "C:\\pics\\beach.jpg");
  EXPECT_EQ(f.FileName, "beach.jpg");
  EXPECT_EQ(f.Extension, "jpg");
  EXPECT_EQ(f.NameOnly, "beach");
  EXPECT_EQ(f.ContentType, "image/jpeg");
  EXPECT_EQ(f.TagName, "photo");
  EXPECT_TRUE(s.NewName(0).empty());
  EXPECT_EQ(kvtest::ItemBytes(s, 0), "JFIF");

  ASSERT_EQ(s.FVars->Count(), 4);
  EXPECT_EQ(s.FVars->Strings(0), "Title=Holiday, Sea");
  EXPECT_EQ(s.FVars->Strings(1), "photo=C:\\pics\\beach.jpg");
  EXPECT_EQ(s.FVars->Strings(2), "extra=");
  EXPECT_EQ(s.FVars->Strings(3), "note=line one\r\nline two");

  // One pass per form field (title, note, Title), two per file part (photo,
  // extra), one for the closing line.
  EXPECT_EQ(p.probeCalls, 3 * 1 + 2 * 2 + 1);
  EXPECT_EQ(Outcome(p), kvref::Parse(body));
}

TEST(ParseBody, FormValues) {
  // One field closed by the closing line as the body's last line, with or
  // without a final line break.
  for (const char* tail : {"--", "--\r\n"}) {
    const kvref::Result r = Outcome(BodyBuilder().Field("a", "x").Build(tail));
    EXPECT_EQ(r.vars, std::vector<std::string>{"a=x"}) << tail;
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(r.status, 0);
  }
  // Leading empty lines vanish, LF becomes CR LF, a final CR LF stays, a lone
  // CR inside a line is lost.
  EXPECT_EQ(VarsOf(BodyBuilder().Field("t", "\n\ny").Build()), std::vector<std::string>{"t=y"});
  EXPECT_EQ(VarsOf(BodyBuilder().Field("t", "p\nq").Build()), std::vector<std::string>{"t=p\r\nq"});
  EXPECT_EQ(VarsOf(BodyBuilder().Field("t", "v\r\n").Build()), std::vector<std::string>{"t=v\r\n"});
  EXPECT_EQ(VarsOf(BodyBuilder().Field("t", "a\rb").Build()), std::vector<std::string>{"t=ab"});
  EXPECT_EQ(VarsOf(BodyBuilder().Field("t", "").Build()), std::vector<std::string>{"t="});
}

TEST(ParseBody, RepeatedNamesFoldIntoTheFirstLine) {
  EXPECT_EQ(VarsOf(BodyBuilder().Field("c", "1").Field("C", "2").Build()),
            std::vector<std::string>{"C=1, 2"});
  EXPECT_EQ(
      VarsOf(BodyBuilder().Field("k", "1").Field("z", "9").Field("K", "2").Field("k", "3").Build()),
      (std::vector<std::string>{"k=1, 2, 3", "z=9"}));
  // A file part without a file name folds in an empty value; one with a file
  // name always adds its own line.
  EXPECT_EQ(VarsOf(BodyBuilder().Field("f", "v").File("f", "", "text/plain", "").Build()),
            std::vector<std::string>{"f=v, "});
  EXPECT_EQ(VarsOf(BodyBuilder().Field("f", "v").File("F", "a.txt", "text/plain", "x").Build()),
            (std::vector<std::string>{"f=v", "F=a.txt"}));
  // The old value is whatever follows the first "=" of the line found.
  EXPECT_EQ(VarsOf(BodyBuilder().Field("a=b", "1").Field("a", "2").Build()),
            std::vector<std::string>{"a=b=1, 2"});
  // A name holding "=" never matches a line, so it is appended again.
  EXPECT_EQ(VarsOf(BodyBuilder().Field("a=b", "1").Field("a=b", "2").Build()),
            (std::vector<std::string>{"a=b=1", "a=b=2"}));
}

TEST(ParseBody, EmptyFileInputsStoreNoItem) {
  const kvref::Result empty =
      Outcome(BodyBuilder().File("f", "", "application/octet-stream", "").Build());
  EXPECT_TRUE(empty.files.empty());
  EXPECT_EQ(empty.vars, std::vector<std::string>{"f="});
  EXPECT_EQ(empty.status, 0);

  const kvref::Result zero =
      Outcome(BodyBuilder().File("f", "C:\\e.txt", "text/plain", "").Build());
  EXPECT_TRUE(zero.files.empty());
  EXPECT_TRUE(zero.tagNames.empty());
  EXPECT_EQ(zero.vars, std::vector<std::string>{"f=C:\\e.txt"});
}

TEST(ParseBody, FileNameParts) {
  struct Case {
    const char *local, *name, *ext, *only;
  };
  const Case cases[] = {
      {"C:\\dir\\photo.JPG", "photo.JPG", "JPG", "photo"},
      {"README", "README", "", "README"},
      {"archive.tar.gz", "archive.tar.gz", "gz", "archive.tar"},
      {"ends.", "ends.", "", "ends."},
      {".profile", ".profile", "profile", ""},
      {"D:x.y", "x.y", "y", "x"},
      {"C:\\a.dir\\noext", "noext", "", "noext"},
      {"/home/u/pic.png", "pic.png", "png", "pic"},
      {"../../x.asp", "x.asp", "asp", "x"},
      {"dir.d/file", "file", "", "file"},
  };
  for (const Case& c : cases) {
    const std::string body = BodyBuilder().File("up", c.local, "a/b", "1234").Build();
    const kvref::Result r = Outcome(body);
    ASSERT_EQ(r.files.size(), 1u) << c.local;
    EXPECT_EQ(r.files[0].localName, c.local);
    EXPECT_EQ(r.files[0].fileName, c.name) << c.local;
    EXPECT_EQ(r.files[0].extension, c.ext) << c.local;
    EXPECT_EQ(r.files[0].nameOnly, c.only) << c.local;
    EXPECT_EQ(r.vars, std::vector<std::string>{std::string("up=") + c.local});
    EXPECT_EQ(r, kvref::Parse(body));
  }
}

TEST(ParseBody, ContentTypeHeader) {
  auto typeOf = [](const std::string& header2) {
    const std::string body =
        BodyBuilder()
            .Raw("Content-Disposition: form-data; name=\"f\"; filename=\"a.gif\"\r\n" + header2 +
                 "\r\n\r\nGIF89a")
            .Build();
    const kvref::Result r = Outcome(body);
    EXPECT_EQ(r, kvref::Parse(body)) << header2;
    return r.files.empty() ? std::string("<form field>") : r.files[0].contentType;
  };
  EXPECT_EQ(typeOf("Content-Type: image/gif"), "image/gif");
  EXPECT_EQ(typeOf("Content-Type:image/gif"), "mage/gif");  // one character always skipped
  EXPECT_EQ(typeOf("Content-Type:"), "");
  EXPECT_EQ(typeOf("Content-Type: "), "");
  EXPECT_EQ(typeOf("X-Content-Type:  a/b"), " a/b");  // found anywhere in the line
  // Other spellings of the header name are found by name, not as text, and
  // their value is what follows the colon and any blanks or tabs.
  EXPECT_EQ(typeOf("content-type: image/gif"), "image/gif");
  EXPECT_EQ(typeOf("content-type:text/plain"), "text/plain");
  EXPECT_EQ(typeOf("Content-type:  \t image/gif "), "image/gif ");
  EXPECT_EQ(typeOf("CONTENT-TYPE:\t"), "");
  EXPECT_EQ(typeOf("x-content-type: a/b"), "");  // no such header: untyped, still a file
  // A block whose one header line is the type line, the names after it.
  const std::string typeFirst = BodyBuilder()
                                    .Raw(
                                        "content-type:text/plain\r\nContent-Disposition: "
                                        "form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\nhi")
                                    .Build();
  EXPECT_EQ(Outcome(typeFirst), kvref::Parse(typeFirst));
  EXPECT_EQ(Outcome(typeFirst).files.at(0).contentType, "text/plain");

  // Read at fixed places only, the lower-case header made a form field whose
  // value was the file's bytes.
  const std::string body = BodyBuilder()
                               .Raw(
                                   "Content-Disposition: form-data; name=\"f\"; "
                                   "filename=\"a.gif\"\r\ncontent-type: image/gif\r\n\r\nGIF89a")
                               .Build();
  EXPECT_EQ(VarsOf(body), std::vector<std::string>{"f=a.gif"});
  EXPECT_EQ(Outcome(body).files.at(0).data, "GIF89a");
  EXPECT_TRUE(kvref::Parse(body, Legacy{.fixedHeaders = true}).files.empty());
}

TEST(ParseBody, FurtherHeaderLinesAreSkipped) {
  const std::string body =
      BodyBuilder()
          .Raw(
              "Content-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
              "Content-Type: application/x\r\nContent-Transfer-Encoding: binary\r\n"
              "X-More: 1\r\n\r\nDATA")
          .Build();
  const kvref::Result r = Outcome(body);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].data, "DATA");
  EXPECT_EQ(r.files[0].contentType, "application/x");
  EXPECT_EQ(r, kvref::Parse(body));
}

TEST(ParseBody, ContentNotClosedByCrLf) {
  // Directly followed by the delimiter: the last two bytes go, and the next
  // part's delimiter line is the tail of another line.
  const std::string direct =
      kDelim +
      "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
      "Content-Type: t\r\n\r\nABCDEF" +
      kDelim + "\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\nv\r\n" + kDelim + "--\r\n";
  const kvref::Result r = Outcome(direct);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].data, "ABCD");
  EXPECT_EQ(r.vars, std::vector<std::string>{"f=a"}) << "the part g is not recognised";
  EXPECT_EQ(r, kvref::Parse(direct));

  // Closed by LF alone: the last byte goes.
  const std::string lf = kDelim +
                         "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
                         "Content-Type: t\r\n\r\nABCDEF\n" +
                         kDelim + "--\r\n";
  const kvref::Result r2 = Outcome(lf);
  ASSERT_EQ(r2.files.size(), 1u);
  EXPECT_EQ(r2.files[0].data, "ABCDE");
}

TEST(ParseBody, HeaderOrderAndDuplicateFileInputs) {
  // The file-name marker first: the name marker is found inside it.
  const std::string swapped = BodyBuilder()
                                  .Raw(
                                      "Content-Disposition: form-data; filename=\"a.txt\"; "
                                      "name=\"f\"\r\nContent-Type: text/plain\r\n\r\nhello")
                                  .Build();
  const kvref::Result r = Outcome(swapped);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].localName, "");
  EXPECT_EQ(r.tagNames, std::vector<std::string>{"a.txt"});
  EXPECT_EQ(r.vars, std::vector<std::string>{"a.txt="});

  const std::string twice = BodyBuilder()
                                .File("up", "one.txt", "text/plain", "1")
                                .File("up", "two.txt", "text/plain", "22")
                                .Build();
  const kvref::Result r2 = Outcome(twice);
  ASSERT_EQ(r2.files.size(), 2u);
  EXPECT_EQ(r2.files[1].data, "22");
  EXPECT_EQ(r2.tagNames, (std::vector<std::string>{"up", "up"}));
  EXPECT_EQ(r2.vars, (std::vector<std::string>{"up=one.txt", "up=two.txt"}));

  // No name marker at all: no name and no file name, so no file part by name.
  const std::string nameless =
      BodyBuilder().Raw("Content-Disposition: form-data; filename=x\r\n\r\nv").Build();
  EXPECT_EQ(VarsOf(nameless), std::vector<std::string>{"=v"});
  // Unclosed quotes: the name runs to the next quote wherever it stands, or is
  // empty; an unclosed file name is no file name.
  EXPECT_EQ(VarsOf(BodyBuilder()
                       .Raw("Content-Disposition: form-data; name=\"abc; filename=\"q\"\r\n\r\nv")
                       .Build()),
            std::vector<std::string>{"abc; filename==v"});
  EXPECT_EQ(
      VarsOf(BodyBuilder().Raw("Content-Disposition: form-data; name=\"abc\r\n\r\nv").Build()),
      std::vector<std::string>{"=v"});
  EXPECT_EQ(VarsOf(BodyBuilder()
                       .Raw("Content-Disposition: form-data; name=\"f\"; filename=\"q\r\n\r\nv")
                       .Build()),
            std::vector<std::string>{"f=v"});
}

TEST(ParseBody, OneByteDelimiterNeverEndsAFile) {
  const std::string body =
      BodyBuilder("Z").Field("a", "1").File("f", "x.bin", "t", "content").Field("b", "2").Build();
  const kvref::Result r = Outcome(body);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.files.empty());
  // The failed file leaves the cursor at its content, so the lines after it
  // are read again and the next delimiter line still opens a part.
  EXPECT_EQ(r.vars, (std::vector<std::string>{"a=1", "f=x.bin", "b=2"}));
  EXPECT_EQ(r, kvref::Parse(body));
  // Form fields alone still work.
  EXPECT_EQ(VarsOf(BodyBuilder("Z").Field("a", "1").Field("b", "2").Build()),
            (std::vector<std::string>{"a=1", "b=2"}));
}

TEST(ParseBody, DegenerateBodies) {
  for (const std::string& body : {kDelim, kDelim + "\r\n", kDelim + "--\r\n", std::string("x")}) {
    const kvref::Result r = Outcome(body);
    EXPECT_TRUE(r.files.empty());
    EXPECT_TRUE(r.vars.empty()) << kvref::Escaped(body);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.probeCalls, 1);
  }
  // Only the delimiter line and three header lines that end the body: the
  // part is dropped.
  EXPECT_TRUE(Outcome(kDelim + "\r\nh1\r\nh2\r\nh3").vars.empty());
}

TEST(ParseBody, EmptyFirstLineYieldsNothing) {
  for (const std::string& body :
       {std::string("\r\n") + kDelim +
            "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n" + kDelim + "--\r\n",
        std::string("\n\n\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: t\r\n\r\n"),
        std::string("\r\r\r\n"), std::string("\r")}) {
    const kvtest::Parsed p = RunParser(body);
    EXPECT_EQ(p.state->FStatus, 0);
    EXPECT_EQ(p.state->FFileCount, 0);
    EXPECT_EQ(p.state->FVars->Count(), 0);
    EXPECT_EQ(p.probeCalls, 0) << "no pass is made";
  }
}

// Corrected fault 1: the whole delimiter is compared. A file holding the
// delimiter less its last byte used to be cut there.
TEST(ParseBodyCorrected, BoundaryComparesEveryByte) {
  const std::string near = kDelim.substr(0, kDelim.size() - 1);
  const std::string content = "head\r\n" + near + "X tail\r\n" + near + "\r\nend";
  const std::string body =
      BodyBuilder(kDelim).File("f", "a.bin", "t", content).Field("after", "v").Build();
  const kvref::Result r = Outcome(body);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].data, content);
  EXPECT_EQ(r.vars, (std::vector<std::string>{"f=a.bin", "after=v"}));
  EXPECT_EQ(r, kvref::Parse(body));
  const kvref::Result old = kvref::Parse(body, Legacy{.search = true});
  ASSERT_EQ(old.files.size(), 1u);
  EXPECT_EQ(old.files[0].data, "head") << "the first algorithm cut the file short";
}

// Corrected fault 1: after a partial match the search restarts at the next
// possible start, so the first occurrence is found.
TEST(ParseBodyCorrected, BoundarySearchRestartsAfterPartialMatch) {
  const std::string d = "--aab";
  // "--aaab" holds the delimiter one byte in; the first algorithm slid past it.
  const std::string body = d +
                           "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
                           "Content-Type: t\r\n\r\nXYZ-" +
                           d + "\r\n" + "Content-Disposition: form-data; name=\"g\"\r\n\r\nv\r\n" +
                           d + "--\r\n";
  // Same with the file content ending in a repeated delimiter byte.
  const std::string body2 = d +
                            "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
                            "Content-Type: t\r\n\r\nPQ\r\n--a--aab and more\r\n" +
                            d + "--\r\n";
  for (const std::string& b : {body, body2}) {
    const kvref::Result r = Outcome(b);
    EXPECT_EQ(r, kvref::Parse(b));
    EXPECT_NE(kvref::Parse(b, Legacy{.search = true}).files, r.files) << kvref::Escaped(b);
  }
  // The two bytes before the boundary are taken as the closing CR LF.
  EXPECT_EQ(Outcome(body).files.at(0).data, "XY");
  EXPECT_EQ(Outcome(body2).files.at(0).data, "PQ\r\n-");
}

// A match needs one byte after it; a match on the body's last byte is none.
TEST(ParseBodyCorrected, BoundaryOnTheLastByteDoesNotCount) {
  const std::string start = kDelim +
                            "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
                            "Content-Type: t\r\n\r\nDATA\r\n" +
                            kDelim;
  const kvref::Result atEnd = Outcome(start);
  EXPECT_EQ(atEnd.status, 2);
  EXPECT_TRUE(atEnd.files.empty());
  EXPECT_EQ(atEnd.vars, std::vector<std::string>{"f=a"});
  EXPECT_EQ(atEnd, kvref::Parse(start));

  const kvref::Result oneMore = Outcome(start + "-");
  EXPECT_EQ(oneMore.status, 0);
  ASSERT_EQ(oneMore.files.size(), 1u);
  EXPECT_EQ(oneMore.files[0].data, "DATA");
}

// Corrected fault 2: bytes after the closing line no longer pull that line
// into the last value.
TEST(ParseBodyCorrected, ValueStopsAtTheClosingLine) {
  for (const char* tail : {"--\r\n\r\n", "--\r\ntrailing junk\r\nmore"}) {
    const std::string body = BodyBuilder().Field("a", "1").Field("b", "x").Build(tail);
    EXPECT_EQ(VarsOf(body), (std::vector<std::string>{"a=1", "b=x"})) << tail;
    EXPECT_NE(kvref::Parse(body, Legacy{.valueStop = true}).vars.at(1).find(kDelim + "--"),
              std::string::npos)
        << "the first algorithm made the closing line part of the value";
  }
  // A closing line inside the body ends a value too; what follows it is not
  // a part.
  const std::string inner = kDelim + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" +
                            kDelim +
                            "--\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n";
  EXPECT_EQ(VarsOf(inner), std::vector<std::string>{"a=1"});
}

// Corrected fault 3: "/" separates folders in FileName; the variable and
// LocalName keep the name as sent.
TEST(ParseBodyCorrected, SlashSeparatesFolders) {
  const std::string body = BodyBuilder().File("f", "../../x.asp", "text/plain", "<%%>").Build();
  const kvref::Result r = Outcome(body);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].fileName, "x.asp");
  EXPECT_EQ(r.files[0].localName, "../../x.asp");
  EXPECT_EQ(r.vars, std::vector<std::string>{"f=../../x.asp"});
  EXPECT_EQ(kvref::Parse(body, Legacy{.separators = true}).files.at(0).fileName, "../../x.asp");
}

// Corrected fault 5: a file part without a Content-Type line is a file.
TEST(ParseBodyCorrected, FilePartWithoutContentType) {
  const std::string body =
      BodyBuilder()
          .Raw(
              "Content-Disposition: form-data; name=\"f\"; filename=\"n.txt\"\r\n\r\nline1\r\n"
              "\r\nline3")
          .Field("g", "v")
          .Build();
  const kvref::Result r = Outcome(body);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].data, "line1\r\n\r\nline3");
  EXPECT_EQ(r.files[0].contentType, "");
  EXPECT_EQ(r.files[0].extension, "txt");
  EXPECT_EQ(r.tagNames, std::vector<std::string>{"f"});
  EXPECT_EQ(r.vars, (std::vector<std::string>{"f=n.txt", "g=v"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r, kvref::Parse(body));
  EXPECT_TRUE(kvref::Parse(body, Legacy{.untyped = true, .fixedHeaders = true}).files.empty());

  // One byte of content; and an untyped part cut off is a failed file.
  const std::string one = BodyBuilder()
                              .Raw(
                                  "Content-Disposition: form-data; name=\"f\"; "
                                  "filename=\"n\"\r\n\r\nQ")
                              .Build();
  EXPECT_EQ(Outcome(one).files.at(0).data, "Q");
  const kvref::Result cut = Outcome(one.substr(0, one.size() - 12));
  EXPECT_EQ(cut.status, 2);
  EXPECT_TRUE(cut.files.empty());

  // Without a file name it stays a form field; other header lines before the
  // empty one do not change that it is a file.
  EXPECT_EQ(VarsOf(BodyBuilder()
                       .Raw("Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\nv")
                       .Build()),
            std::vector<std::string>{"f=v"});
  const std::string other = BodyBuilder()
                                .Raw(
                                    "Content-Disposition: form-data; name=\"f\"; "
                                    "filename=\"n\"\r\nX-Other: 1\r\n\r\nv")
                                .Build();
  EXPECT_EQ(Outcome(other).files.at(0).data, "v");
  EXPECT_EQ(Outcome(other).files.at(0).contentType, "");
  EXPECT_EQ(VarsOf(other), std::vector<std::string>{"f=n"});
}

TEST(ParseBody, ConnectionChecks) {
  // Lines after a failed file are read one pass each.
  const std::string failed = kDelim +
                             "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
                             "Content-Type: t\r\n\r\nl1\r\nl2\r\nl3\r\nl4";
  const kvref::Result r = Outcome(failed);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.probeCalls, 1 + 4);

  // Gone at the n-th question: nothing after it is stored, nothing more is
  // asked, and what came before stays.
  const std::string body = WorkedExample();
  const int total = Outcome(body).probeCalls;
  for (int n = 0; n < total; ++n) {
    const kvtest::Parsed p = RunParser(body, n);
    EXPECT_EQ(p.probeCalls, n + 1);
    EXPECT_EQ(Outcome(p), kvref::Parse(body, {}, n)) << "gone after " << n;
  }
  EXPECT_TRUE(Outcome(body, 0).vars.empty());
  const kvref::Result afterPhoto = Outcome(body, 3);  // title, then photo's two passes
  EXPECT_EQ(afterPhoto.files.size(), 1u);
  EXPECT_EQ(afterPhoto.vars,
            (std::vector<std::string>{"title=Holiday", "photo=C:\\pics\\beach.jpg"}));

  // A good file, then one that fails: gone in between, Status stays as the
  // first left it.
  const std::string twoFiles =
      BodyBuilder().File("a", "a", "t", "x").Build("") + "\r\n" + failed.substr(kDelim.size() + 2);
  EXPECT_EQ(Outcome(twoFiles).status, 2);
  const kvref::Result gone = Outcome(twoFiles, 2);
  EXPECT_EQ(gone.status, 0);
  EXPECT_EQ(gone.files.size(), 1u);
  EXPECT_EQ(gone.vars, std::vector<std::string>{"a=a"});
}

TEST(ParseBody, TruncatedBodies) {
  const std::string body = BodyBuilder()
                               .Field("title", "Holiday")
                               .File("photo", "C:\\p\\b.jpg", "image/jpeg", "JFIF\r\n\r\nJFIF")
                               .Field("x", "y")
                               .Build();
  for (size_t n = 0; n <= body.size(); ++n) {
    const std::string cut = body.substr(0, n);
    const kvref::Result r = Outcome(cut);
    ASSERT_EQ(r, kvref::Parse(cut)) << "cut at " << n;
    ASSERT_TRUE(r.status == 0 || r.status == 2);
  }
  // Cut inside the file's content: no item, Status 2, the earlier field stays.
  const size_t inside = body.find("JFIF") + 6;
  const kvref::Result r = Outcome(body.substr(0, inside));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.files.empty());
  EXPECT_EQ(r.vars, (std::vector<std::string>{"title=Holiday", "photo=C:\\p\\b.jpg"}));
  // Cut inside the file part's headers: the part leaves no trace.
  const size_t inHeaders = body.find("Content-Type");
  EXPECT_EQ(Outcome(body.substr(0, inHeaders)).vars, std::vector<std::string>{"title=Holiday"});
}

TEST(ParseBody, HugeLines) {
  const std::string pad(4 << 20, 'h');
  // A header line of megabytes with the markers at its end.
  const std::string body = BodyBuilder()
                               .Raw("Content-Disposition: " + pad + " name=\"big\"; filename=\"" +
                                    pad + ".txt\"\r\nContent-Type: " + pad + "\r\n\r\nabc")
                               .Build();
  const kvref::Result r = Outcome(body);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].fileName.size(), pad.size() + 4);
  EXPECT_EQ(r.files[0].contentType, pad);
  EXPECT_EQ(r.files[0].data, "abc");
  // A value line of megabytes; a body that is one line without LF.
  EXPECT_EQ(VarsOf(BodyBuilder().Field("v", pad).Build()), std::vector<std::string>{"v=" + pad});
  const kvref::Result one = Outcome(pad);
  EXPECT_TRUE(one.vars.empty());
  EXPECT_EQ(one.probeCalls, 1);
  // A delimiter line of megabytes.
  EXPECT_EQ(VarsOf(BodyBuilder(pad).Field("a", "1").Build()), std::vector<std::string>{"a=1"});
}

TEST(ParseBody, FileItemsLookIntoTheBodyAndAreFreedWithTheState) {
  const int64_t before = kvp::TMemoryStream::LiveCount();
  {
    kvtest::Parsed p = RunParser(BodyBuilder()
                                     .File("a", "a", "t", "1")
                                     .File("b", "b", "t", "22")
                                     .File("c", "c", "t", "333")
                                     .Build());
    ASSERT_EQ(p.state->FFileCount, 3);
    const int64_t size = p.state->RequestBody().Size();
    for (size_t i = 0; i < 3; ++i) {
      const kvp::TFileRecord& item = p.state->FFiles[i];
      EXPECT_LE(int64_t{item.DataAt} + item.DataSize, size);
      EXPECT_EQ(kvtest::ItemBytes(*p.state, i), std::string(i + 1, static_cast<char>('1' + i)));
    }
    EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before + 1) << "the body is the only stream";
    p.state->FreeState();
    EXPECT_EQ(p.state->FFileCount, 0);
    EXPECT_TRUE(p.state->FFiles.empty());
    EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before);
  }
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before);
}

}  // namespace
