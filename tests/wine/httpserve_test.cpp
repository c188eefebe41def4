// The serve command's request rules without a network (head parsing, the
// meaning of the fields, target decoding and normalisation, content types,
// the command line, the body's pace, the waiting line), and the server in
// this process with a stand-in page runner over loopback: pages run side by
// side on worker threads that are single-threaded apartments, the body is
// pulled as the page reads it, a client that hangs up shows as a
// disconnect, a body below the minimum rate is answered 408 and a full or
// overdue waiting line 503. (Slow heads and oversize heads: serve_e2e.py.)
#include <gtest/gtest.h>

#include "connection.h"

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bodypace.h"
#include "httpparse.h"
#include "httpserve.h"
#include "mimetypes.h"
#include "sitepath.h"
#include "waitingline.h"

namespace kvserve {
namespace {

int ParseStatus(const std::string& head) {
  RequestHead parsed;
  return ParseHead(head, parsed).status;
}

int InterpretStatus(const std::string& head, RequestMeta* meta = nullptr) {
  RequestHead parsed;
  const Verdict v = ParseHead(head, parsed);
  if (v) return v.status;
  RequestMeta local;
  return InterpretHead(parsed, meta ? *meta : local).status;
}

TEST(HeadEnd, FindsTheBlankLineWithEitherLineEnd) {
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nHost: a\r\n\r\nBODY"), 27u);
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\nHost: a\n\nBODY"), 24u);
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nHost: a\r\n"), std::string::npos);
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nHost: a\r\n\r"), std::string::npos);
  EXPECT_EQ(FindHeadEnd(""), std::string::npos);
}

TEST(Head, ParsesRequestLineAndFields) {
  RequestHead head;
  const Verdict v = ParseHead(
      "POST /up/a.asp?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nContent-Type:  multipart/form-data; "
      "boundary=xyz \r\nX-Empty:\r\n\r\n",
      head);
  ASSERT_FALSE(v) << v.why;
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.target, "/up/a.asp?x=1");
  EXPECT_EQ(head.versionMinor, 1);
  ASSERT_EQ(head.headers.size(), 3u);
  EXPECT_EQ(head.headers[1].second, "multipart/form-data; boundary=xyz");
  EXPECT_EQ(head.headers[2].second, "");
  ASSERT_NE(head.Find("content-TYPE"), nullptr);
  EXPECT_EQ(head.Find("Missing"), nullptr);
}

TEST(Head, RefusesMalformedRequests) {
  EXPECT_EQ(ParseStatus("GARBAGE\r\n\r\n"), 400);
  EXPECT_EQ(ParseStatus("GET /\r\n\r\n"), 400);             // no version
  EXPECT_EQ(ParseStatus("GET  / HTTP/1.1\r\n\r\n"), 400);   // double space
  EXPECT_EQ(ParseStatus("GET / HTTP/1.1 x\r\n\r\n"), 400);  // extra word
  EXPECT_EQ(ParseStatus("G(T / HTTP/1.1\r\n\r\n"), 400);    // not a token
  EXPECT_EQ(ParseStatus("GET / HTTP/1.x\r\n\r\n"), 400);
  EXPECT_EQ(ParseStatus("GET / HTTPS/1.1\r\n\r\n"), 400);
  EXPECT_EQ(ParseStatus("GET / HTTP/0.9\r\n\r\n"), 400);
  EXPECT_EQ(ParseStatus("GET / HTTP/2.0\r\n\r\n"), 505);
  EXPECT_EQ(ParseStatus("GET /a\x01 HTTP/1.1\r\n\r\n"), 400);           // control byte
  EXPECT_EQ(ParseStatus("GET /\xC3\xA4 HTTP/1.1\r\n\r\n"), 400);        // raw 8-bit target
  EXPECT_EQ(ParseStatus("GET / HTTP/1.1\r\nHost a\r\n\r\n"), 400);      // no colon
  EXPECT_EQ(ParseStatus("GET / HTTP/1.1\r\nHost : a\r\n\r\n"), 400);    // space before colon
  EXPECT_EQ(ParseStatus("GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n"), 400);  // folded line
  EXPECT_EQ(ParseStatus("GET / HTTP/1.1\r\nA: b\rc\r\n\r\n"), 400);     // stray CR
  const char withNul[] = "GET / HTTP/1.1\r\nA: b\0c\r\n\r\n";
  EXPECT_EQ(ParseStatus(std::string(withNul, sizeof withNul - 1)), 400);
  EXPECT_EQ(ParseStatus("GET /" + std::string(kMaxTargetBytes, 'a') + " HTTP/1.1\r\n\r\n"), 414);
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= kMaxHeaderCount; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(ParseStatus(many + "\r\n"), 431);
}

TEST(Meta, ReadsLengthPersistenceAndExpectation) {
  RequestMeta meta;
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1234\r\n"
                            "Expect: 100-continue\r\n\r\n",
                            &meta),
            0);
  EXPECT_EQ(meta.contentLength, 1234);
  EXPECT_TRUE(meta.keepAlive);
  EXPECT_TRUE(meta.expectContinue);
  EXPECT_EQ(meta.host, "a");

  EXPECT_EQ(
      InterpretStatus("GET / HTTP/1.1\r\nHost: a\r\nConnection: keep-alive, Close\r\n\r\n", &meta),
      0);
  EXPECT_FALSE(meta.keepAlive);
  EXPECT_EQ(InterpretStatus("GET / HTTP/1.0\r\n\r\n", &meta), 0);
  EXPECT_FALSE(meta.keepAlive);
  EXPECT_EQ(InterpretStatus("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", &meta), 0);
  EXPECT_TRUE(meta.keepAlive);
  // Same length twice is one length.
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5, 5\r\n\r\n", &meta),
            0);
  EXPECT_EQ(meta.contentLength, 5);
}

TEST(Meta, RefusesConflictsAndUnsupportedBodies) {
  EXPECT_EQ(InterpretStatus("GET / HTTP/1.1\r\n\r\n"), 400);  // no Host
  EXPECT_EQ(InterpretStatus("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"), 400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: abc\r\n\r\n"), 400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n"), 400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: \r\n\r\n"), 400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n"
                            "Content-Length: 6\r\n\r\n"),
            400);
  EXPECT_EQ(
      InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1234567890123456\r\n\r\n"),
      400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"),
            411);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n"
                            "Content-Length: 5\r\n\r\n"),
            400);
  EXPECT_EQ(InterpretStatus("POST / HTTP/1.1\r\nHost: a\r\nExpect: 200-ok\r\n\r\n"), 417);
}

TEST(Methods, KnowsTheStandardOnes) {
  EXPECT_TRUE(IsKnownMethod("GET"));
  EXPECT_TRUE(IsKnownMethod("POST"));
  EXPECT_FALSE(IsKnownMethod("get"));
  EXPECT_FALSE(IsKnownMethod("BREW"));
}

TargetPath Target(const std::string& target) {
  TargetPath path;
  const Verdict v = ParseTarget(target, path);
  EXPECT_FALSE(v) << target << ": " << v.why;
  return path;
}

int TargetStatus(const std::string& target) {
  TargetPath path;
  return ParseTarget(target, path).status;
}

TEST(Target, DecodesAndNormalises) {
  TargetPath p = Target("/a/./b//c.asp?x=%20y");
  EXPECT_EQ(p.segments, (std::vector<std::string>{"a", "b", "c.asp"}));
  EXPECT_EQ(p.Path(), "/a/b/c.asp");
  EXPECT_EQ(p.query, "x=%20y");
  EXPECT_FALSE(p.trailingSlash);

  p = Target("/");
  EXPECT_TRUE(p.segments.empty());
  EXPECT_TRUE(p.trailingSlash);
  EXPECT_EQ(p.Path(), "/");

  p = Target("/my%20files/Gr%C3%BC%C3%9Fe.txt");
  EXPECT_EQ(p.segments, (std::vector<std::string>{"my files",
                                                  "Gr\xC3\xBC\xC3\x9F"
                                                  "e.txt"}));
  EXPECT_EQ(p.EncodedPath(), "/my%20files/Gr%C3%BC%C3%9Fe.txt");

  p = Target("/dir/");
  EXPECT_TRUE(p.trailingSlash);
  EXPECT_EQ(p.Path(), "/dir/");

  // Absolute form: the path only.
  p = Target("http://example.invalid:81/x/y.html?q");
  EXPECT_EQ(p.Path(), "/x/y.html");
  EXPECT_EQ(p.query, "q");

  // Decoded once only: "%252e%252e" is a name of its own, not a parent.
  p = Target("/%252e%252e/x");
  EXPECT_EQ(p.segments.front(), "%2e%2e");
  // An encoded slash separates like a plain one.
  p = Target("/a%2Fb.txt");
  EXPECT_EQ(p.segments, (std::vector<std::string>{"a", "b.txt"}));
}

TEST(Target, RefusesEveryWayOut) {
  for (const char* target : {
           "/..",
           "/../x",
           "/a/../../x",
           "/a/..",
           "/%2e%2e/x",
           "/%2E%2E/x",
           "/.%2e/x",
           "/%2e./x",
           "/a/%2e%2e%2f%2e%2e%2fx",
           "/..%2fx",
           "/..%5cx",
           "/a\\..\\x",
           "/\\x",
           "/%5c%5cserver/x",
           "/c:/windows/win.ini",
           "/C:%5Cwindows",
           "/z:",
           "/a.asp::$DATA",
           "/a%00.txt",
           "/a%00",
           "/a%0d%0ab",
           "/a%7f",
           "/a.asp.",
           "/a.asp%20",
           "/a.asp%2e",
           "/...",
           "/CON",
           "/con.txt",
           "/aux",
           "/NUL.asp",
           "/COM1",
           "/lpt9.txt",
           "/a*.txt",
           "/a%3f",
           "/a%22",
           "/a%3c",
           "/a|b",
           "/a#frag",
           "x/y",
           "",
           "*",
           "http://host",
           "http://host?x",
           "/%",
           "/%2",
           "/%zz",
       }) {
    EXPECT_EQ(TargetStatus(target), 400) << target;
  }
}

TEST(Target, SegmentRulesStandAlone) {
  EXPECT_FALSE(CheckSegment("report.final.pdf"));
  EXPECT_FALSE(CheckSegment("COM10"));  // not a device
  EXPECT_FALSE(CheckSegment("console.txt"));
  EXPECT_TRUE(CheckSegment("conout$"));
  EXPECT_TRUE(CheckSegment(std::string(256, 'a')));
}

TEST(Extension, LowerCaseWithDot) {
  EXPECT_EQ(LowerExtension("Page.ASP"), ".asp");
  EXPECT_EQ(LowerExtension("archive.tar.GZ"), ".gz");
  EXPECT_EQ(LowerExtension("README"), "");
  EXPECT_EQ(LowerExtension("Z:\\dir.x\\file"), "");
}

TEST(ContentTypes, ByExtension) {
  EXPECT_EQ(ContentTypeFor(".html"), "text/html");
  EXPECT_EQ(ContentTypeFor(".txt"), "text/plain");
  EXPECT_EQ(ContentTypeFor(".png"), "image/png");
  EXPECT_EQ(ContentTypeFor(".jpeg"), "image/jpeg");
  EXPECT_EQ(ContentTypeFor(".css"), "text/css");
  EXPECT_EQ(ContentTypeFor(".js"), "text/javascript");
  EXPECT_EQ(ContentTypeFor(".bin"), "application/octet-stream");
  EXPECT_EQ(ContentTypeFor(""), "application/octet-stream");
}

TEST(Options, DefaultsAndValues) {
  std::string error;
  auto options = ParseServeArguments({}, error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->bind, "127.0.0.1");
  EXPECT_EQ(options->port, 8080);
  EXPECT_EQ(options->maxRequestBytes, 200LL * 1000 * 1000);
  EXPECT_TRUE(options->root.empty());
  EXPECT_EQ(options->headTimeoutMs, 15000);
  EXPECT_EQ(options->minRate, 1024);
  EXPECT_EQ(options->bodyGraceMs, 10000);
  EXPECT_EQ(options->maxQueue, 256);
  EXPECT_EQ(options->queueTimeoutMs, 30000);

  options = ParseServeArguments(
      {L"--root", L"C:\\site", L"--port=0", L"--bind", L"::1", L"--threads", L"3",
       L"--max-request-bytes", L"1000", L"--head-timeout", L"2", L"--min-rate=0", L"--body-grace",
       L"0", L"--max-queue", L"1", L"--queue-timeout=3600"},
      error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->root, L"C:\\site");
  EXPECT_EQ(options->port, 0);
  EXPECT_EQ(options->bind, "::1");
  EXPECT_EQ(options->threads, 3);
  EXPECT_EQ(options->maxRequestBytes, 1000);
  EXPECT_EQ(options->headTimeoutMs, 2000);
  EXPECT_EQ(options->minRate, 0);
  EXPECT_EQ(options->bodyGraceMs, 0);
  EXPECT_EQ(options->maxQueue, 1);
  EXPECT_EQ(options->queueTimeoutMs, 3600000);
}

TEST(Options, RefusesNonsense) {
  std::string error;
  for (const std::vector<std::wstring>& args : std::vector<std::vector<std::wstring>>{
           {L"--port", L"65536"},
           {L"--port", L"-1"},
           {L"--port", L"80x"},
           {L"--port"},
           {L"--threads", L"0"},
           {L"--threads", L"65"},
           {L"--max-request-bytes", L"2147483648"},
           {L"--head-timeout", L"0"},
           {L"--head-timeout", L"3601"},
           {L"--head-timeout", L"1.5"},
           {L"--min-rate", L"-1"},
           {L"--min-rate", L"1000000001"},
           {L"--body-grace", L"3601"},
           {L"--max-queue", L"0"},
           {L"--queue-timeout", L"0"},
           {L"--queue-timeout"},
           {L"--root", L""},
           {L"--what"},
           {L"stray"},
       }) {
    EXPECT_FALSE(ParseServeArguments(args, error)) << "accepted " << args.size() << " args";
    EXPECT_FALSE(error.empty());
  }
}

// ---- the pace of a body ------------------------------------------------------

// A client that sends `bytes` after every `gapMs` of silence, against a
// pace: how long the server waits before it gives up (-1: it never does
// within `rounds` gaps).
int64_t CutOffAfterMs(BodyPace pace, int64_t gapMs, int64_t bytes, int rounds) {
  int64_t elapsed = 0;
  for (int i = 0; i < rounds; ++i) {
    const int64_t allowed = pace.WaitAllowedMs();
    if (allowed < gapMs) return elapsed + allowed;
    pace.Waited(gapMs, bytes);
    elapsed += gapMs;
  }
  return -1;
}

TEST(BodyPace, GraceThenBytesEarnWaiting) {
  BodyPace pace(100, 2000, 60000);  // 100 bytes/s after 2 s
  EXPECT_EQ(pace.WaitAllowedMs(), 2000);
  pace.Waited(500, 0);
  EXPECT_EQ(pace.WaitAllowedMs(), 1500);
  pace.Waited(0, 50);  // 50 bytes are worth 500 ms
  EXPECT_EQ(pace.WaitAllowedMs(), 2000);
  pace.Waited(2000, 0);
  EXPECT_EQ(pace.WaitAllowedMs(), 0);
  EXPECT_TRUE(pace.Exhausted());
  pace.Waited(100, 0);  // over the allowance: still 0, not negative
  EXPECT_EQ(pace.WaitAllowedMs(), 0);
  EXPECT_EQ(pace.WaitedMs(), 2600);
  EXPECT_EQ(pace.Bytes(), 50);
  pace.Waited(0, 1000);  // late bytes earn waiting again
  EXPECT_EQ(pace.WaitAllowedMs(), 9900);
}

TEST(BodyPace, SingleWaitNeverExceedsTheLimit) {
  BodyPace generous(1, 0, 60000);
  generous.Waited(0, 1000000);  // a million seconds earned
  EXPECT_EQ(generous.WaitAllowedMs(), 60000);
  BodyPace none(0, 0, 60000);  // no minimum rate
  none.Waited(3600 * 1000, 0);
  EXPECT_EQ(none.WaitAllowedMs(), 60000);
  EXPECT_FALSE(none.Exhausted());
  BodyPace big(1000000000, 0, 60000);  // the largest rate and body: no overflow
  big.Waited(0, 2147483647);
  EXPECT_EQ(big.WaitAllowedMs(), 2147);
}

TEST(BodyPace, TricklersAreCutOffSteadyClientsAreNot) {
  // A byte every 3 s against 100 bytes/s after 2 s: cut off at the end of
  // the grace period (plus the 10 ms the first byte earned).
  BodyPace pace(100, 2000, 60000);
  pace.Waited(0, 1);
  EXPECT_EQ(CutOffAfterMs(pace, 3000, 1, 100), 2010);
  // A byte every second: each earns 10 ms, the grace lasts a little longer.
  const int64_t slow = CutOffAfterMs(BodyPace(100, 2000, 60000), 1000, 1, 100);
  EXPECT_GT(slow, 2000);
  EXPECT_LT(slow, 3100);
  // 150 bytes per second, in bursts, stays above 100 bytes/s for good.
  EXPECT_EQ(CutOffAfterMs(BodyPace(100, 2000, 60000), 1000, 150, 10000), -1);
  // Exactly at the rate keeps the grace as the margin.
  EXPECT_EQ(CutOffAfterMs(BodyPace(100, 2000, 60000), 500, 50, 10000), -1);
  // Just under it runs out after a while.
  EXPECT_GT(CutOffAfterMs(BodyPace(100, 2000, 60000), 500, 49, 10000), 0);
  // Without a grace period the first silent wait is already too long.
  EXPECT_EQ(CutOffAfterMs(BodyPace(100, 0, 60000), 1000, 1000, 10), 0);
}

// ---- the waiting line ----------------------------------------------------------

TEST(WaitingLine, HoldsAtMostItsCapacity) {
  WaitingLine line(2);
  const auto t0 = WaitingLine::Clock::now();
  for (const char* peer : {"a", "b"}) {
    Accepted item;
    item.peer = peer;
    EXPECT_TRUE(line.Push(item, t0));
  }
  Accepted third;
  third.peer = "c";
  EXPECT_FALSE(line.Push(third, t0));
  EXPECT_EQ(third.peer, "c");  // left with the caller, to be refused
  EXPECT_EQ(line.Size(), 2u);
  std::optional<Accepted> first = line.Pop();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->peer, "a");
  EXPECT_TRUE(line.Push(third, t0));  // room again
  EXPECT_EQ(line.Size(), 2u);
}

TEST(WaitingLine, TakesOutOnlyTheOverdueOldestFirst) {
  WaitingLine line(10);
  const auto t0 = WaitingLine::Clock::now();
  for (int i = 0; i < 4; ++i) {
    Accepted item;
    item.peer = std::to_string(i);
    ASSERT_TRUE(line.Push(item, t0 + std::chrono::seconds(i)));
  }
  // At t0 + 5 s with 3 s allowed: those queued at 0 and 1 s are overdue; the
  // one at 2 s has waited exactly 3 s and may stay.
  std::vector<Accepted> late =
      line.TakeOverdue(std::chrono::seconds(3), t0 + std::chrono::seconds(5));
  ASSERT_EQ(late.size(), 2u);
  EXPECT_EQ(late[0].peer, "0");
  EXPECT_EQ(late[1].peer, "1");
  EXPECT_EQ(late[0].queuedAt, t0);
  EXPECT_TRUE(line.TakeOverdue(std::chrono::seconds(3), t0 + std::chrono::seconds(5)).empty());
  EXPECT_EQ(line.Pop()->peer, "2");
  line.Stop();
  EXPECT_EQ(line.Pop()->peer, "3");  // what waits is still handed out
  EXPECT_FALSE(line.Pop());
  Accepted after;
  EXPECT_FALSE(line.Push(after, t0));
}

// ---- the server in this process ------------------------------------------------

using namespace std::chrono_literals;

// A folder of its own under %TEMP% with one (empty) page; removed afterwards.
class TempSite {
 public:
  TempSite() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"kvserve-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
    page_ = path_ + L"\\p.asp";
    HANDLE file = CreateFileW(page_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  ~TempSite() {
    DeleteFileW(page_.c_str());
    RemoveDirectoryW(path_.c_str());
  }
  TempSite(const TempSite&) = delete;
  TempSite& operator=(const TempSite&) = delete;
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
  std::wstring page_;
};

// Serve on a thread of its own, on a free loopback port, until destroyed.
class TestServer {
 public:
  TestServer(const std::wstring& root, int threads, PageRunner runner, ServeOptions options = {})
      : runner_(std::move(runner)) {
    options.root = root;
    options.port = 0;
    options.threads = threads;
    std::promise<int> listening;
    std::future<int> port = listening.get_future();
    thread_ = std::thread([this, options, &listening] {
      ServeHooks hooks;
      hooks.ready = [&listening](int p) { listening.set_value(p); };
      hooks.stop = &stop_;
      if (Serve(options, runner_, hooks) != 0) listening.set_value(0);
    });
    if (port.wait_for(30s) == std::future_status::ready) port_ = port.get();
  }
  ~TestServer() {
    stop_ = true;
    thread_.join();
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  int Port() const { return port_; }

 private:
  PageRunner runner_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  int port_ = 0;
};

UniqueSocket Connect(int port) {
  UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const DWORD timeout = 20000;
  setsockopt(s.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  if (connect(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) s.Reset();
  return s;
}

bool SendText(const UniqueSocket& s, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const int n = send(s.Get(), data.data() + sent, static_cast<int>(data.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Everything until the server closes (or the receive timeout).
std::string ReceiveAll(const UniqueSocket& s) {
  std::string all;
  char buffer[4096];
  for (int i = 0; i < 100000; ++i) {
    const int n = recv(s.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<size_t>(n));
  }
  return all;
}

std::string PostHead(size_t length) {
  return "POST /p.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
         std::to_string(length) + "\r\n\r\n";
}

void Reply(kvasp::ResponseSink& response, const std::string& text) {
  response.Begin(200, "OK", {{"Content-Type", "text/plain"}});
  response.Send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class ServerTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(winsock_.Status(), 0); }
  WinsockSession winsock_;
  TempSite site_;
};

TEST_F(ServerTest, PagesRunSideBySideOnSingleThreadedApartments) {
  constexpr int kPages = 4;
  constexpr size_t kBody = 200000;
  std::mutex mutex;
  std::condition_variable all;
  int arrived = 0;
  int together = 0;  // how many pages were running at once, at most
  std::set<DWORD> threads;
  TestServer server(
      site_.Path(), kPages,
      [&](const kvasp::PageRequest&, kvasp::BodySource& body, kvasp::ResponseSink& response) {
        APTTYPE type = APTTYPE_MTA;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        const bool sta = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_STA;
        {
          std::unique_lock<std::mutex> lock(mutex);
          threads.insert(GetCurrentThreadId());
          ++arrived;
          together = std::max(together, arrived);
          all.notify_all();
          // Bounded: a server that runs fewer at once fails below, it does not hang.
          all.wait_for(lock, 10s, [&] { return arrived >= kPages; });
        }
        std::vector<uint8_t> buffer(65536);
        int64_t read = 0;
        for (int i = 0; i < 100000 && read < body.TotalBytes(); ++i) {
          const int64_t n = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
          if (n <= 0) break;
          read += n;
        }
        Reply(response, "sta=" + std::to_string(sta) + " read=" + std::to_string(read));
        return kvasp::PageOutcome{};
      });
  ASSERT_NE(server.Port(), 0);

  std::vector<std::string> answers(kPages);
  std::vector<std::thread> clients;
  for (int i = 0; i < kPages; ++i) {
    clients.emplace_back([&, i] {
      const UniqueSocket s = Connect(server.Port());
      if (s && SendText(s, PostHead(kBody) + std::string(kBody, static_cast<char>('a' + i))))
        answers[i] = ReceiveAll(s);
    });
  }
  for (std::thread& client : clients) client.join();
  for (const std::string& answer : answers) {
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("sta=1 read=" + std::to_string(kBody)), std::string::npos) << answer;
  }
  EXPECT_EQ(together, kPages);
  EXPECT_EQ(threads.size(), static_cast<size_t>(kPages));
}

TEST_F(ServerTest, BodyIsPulledAsItArrives) {
  std::mutex mutex;
  std::condition_variable firstRead;
  int64_t first = 0;
  TestServer server(
      site_.Path(), 2,
      [&](const kvasp::PageRequest&, kvasp::BodySource& body, kvasp::ResponseSink& response) {
        std::vector<uint8_t> buffer(1 << 20);
        // Asks for far more than has come: gets what is there, not a wait for all.
        const int64_t n = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
        {
          std::lock_guard<std::mutex> lock(mutex);
          first = n;
        }
        firstRead.notify_all();
        int64_t read = n > 0 ? n : 0;
        for (int i = 0; i < 100000 && read < body.TotalBytes(); ++i) {
          const int64_t m = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
          if (m <= 0) break;
          read += m;
        }
        // The end of the body reads as 0.
        const int64_t end = body.Read(buffer.data(), 16);
        Reply(response, "read=" + std::to_string(read) + " end=" + std::to_string(end));
        return kvasp::PageOutcome{};
      });
  ASSERT_NE(server.Port(), 0);
  const UniqueSocket s = Connect(server.Port());
  ASSERT_TRUE(s);
  ASSERT_TRUE(SendText(s, PostHead(10000) + std::string(1000, 'x')));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(firstRead.wait_for(lock, 20s, [&] { return first != 0; }));
  }
  EXPECT_GT(first, 0);
  EXPECT_LE(first, 1000);
  ASSERT_TRUE(SendText(s, std::string(9000, 'y')));
  const std::string answer = ReceiveAll(s);
  EXPECT_NE(answer.find("read=10000 end=0"), std::string::npos) << answer;
}

TEST_F(ServerTest, HangUpMidBodyReadsAsGone) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int64_t read = 0;
  int64_t last = 0;
  bool connected = true;
  TestServer server(
      site_.Path(), 2,
      [&](const kvasp::PageRequest&, kvasp::BodySource& body, kvasp::ResponseSink& response) {
        std::vector<uint8_t> buffer(4096);
        int64_t got = 0;
        int64_t n = 0;
        for (int i = 0; i < 100000; ++i) {
          n = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
          if (n <= 0) break;
          got += n;
        }
        const bool stillThere = body.Connected() && response.Connected();
        {
          std::lock_guard<std::mutex> lock(mutex);
          read = got;
          last = n;
          connected = stillThere;
          finished = true;
        }
        done.notify_all();
        Reply(response, "never read");
        return kvasp::PageOutcome{};
      });
  ASSERT_NE(server.Port(), 0);
  {
    const UniqueSocket s = Connect(server.Port());
    ASSERT_TRUE(s);
    ASSERT_TRUE(SendText(s, PostHead(100000) + std::string(500, 'z')));
    std::this_thread::sleep_for(200ms);
  }  // closed here, 99500 bytes short
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 30s, [&] { return finished; }));
  EXPECT_EQ(read, 500);
  EXPECT_EQ(last, -1);
  EXPECT_FALSE(connected);
}

// ---- slow bodies and the waiting line ------------------------------------------

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ServerTest, BodyBelowTheMinimumRateReadsAsGoneAndEndsIn408) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int64_t read = 0;
  int64_t last = 0;
  bool connected = true;
  ServeOptions options;
  options.minRate = 100;
  options.bodyGraceMs = 1000;
  TestServer server(
      site_.Path(), 2,
      [&](const kvasp::PageRequest&, kvasp::BodySource& body, kvasp::ResponseSink& response) {
        std::vector<uint8_t> buffer(4096);
        int64_t got = 0;
        int64_t n = 0;
        for (int i = 0; i < 1000; ++i) {
          n = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
          if (n <= 0) break;
          got += n;
        }
        const bool stillThere = body.Connected() && response.Connected();
        Reply(response, "the page's answer");
        {
          std::lock_guard<std::mutex> lock(mutex);
          read = got;
          last = n;
          connected = stillThere;
          finished = true;
        }
        done.notify_all();
        return kvasp::PageOutcome{};
      },
      options);
  ASSERT_NE(server.Port(), 0);
  const UniqueSocket s = Connect(server.Port());
  ASSERT_TRUE(s);
  const auto start = std::chrono::steady_clock::now();
  // One byte of 1000, then silence: the next would come long after the grace.
  ASSERT_TRUE(SendText(s, PostHead(1000) + "x"));
  const std::string answer = ReceiveAll(s);
  const double took = SecondsSince(start);
  EXPECT_EQ(answer.rfind("HTTP/1.1 408 Request Timeout\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nConnection: close\r\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("the page's answer"), std::string::npos) << answer;
  EXPECT_GT(took, 0.9);
  EXPECT_LT(took, 6.0);
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 20s, [&] { return finished; }));
  EXPECT_EQ(read, 1);
  EXPECT_EQ(last, -1);
  EXPECT_FALSE(connected);
}

TEST_F(ServerTest, OnlyTimeSpentWaitingForTheClientCounts) {
  // The page works 1.5 s before its first read, beyond the 1 s grace at a
  // rate no client reaches; the client sends the second half only after
  // that read, so the page then waits for it, within the grace it still has.
  ServeOptions options;
  options.minRate = 1000000000;
  options.bodyGraceMs = 1000;
  std::mutex mutex;
  std::condition_variable firstRead;
  bool readOnce = false;
  TestServer server(
      site_.Path(), 2,
      [&](const kvasp::PageRequest&, kvasp::BodySource& body, kvasp::ResponseSink& response) {
        std::this_thread::sleep_for(1500ms);
        std::vector<uint8_t> buffer(4096);
        int64_t got = 0;
        for (int i = 0; i < 1000 && got < body.TotalBytes(); ++i) {
          const int64_t n = body.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
          if (n <= 0) break;
          got += n;
          {
            std::lock_guard<std::mutex> lock(mutex);
            readOnce = true;
          }
          firstRead.notify_all();
        }
        Reply(response,
              "read=" + std::to_string(got) + " connected=" + std::to_string(body.Connected()));
        return kvasp::PageOutcome{};
      },
      options);
  ASSERT_NE(server.Port(), 0);
  const UniqueSocket s = Connect(server.Port());
  ASSERT_TRUE(s);
  ASSERT_TRUE(SendText(s, PostHead(2000) + std::string(1000, 'a')));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(firstRead.wait_for(lock, 20s, [&] { return readOnce; }));
  }
  ASSERT_TRUE(SendText(s, std::string(1000, 'b')));
  const std::string answer = ReceiveAll(s);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("read=2000 connected=1"), std::string::npos) << answer;
}

TEST_F(ServerTest, FullOrOverdueWaitingLineIsAnswered503) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool release = false;
  ServeOptions options;
  options.maxQueue = 1;
  options.queueTimeoutMs = 1000;
  TestServer server(
      site_.Path(), 1,
      [&](const kvasp::PageRequest&, kvasp::BodySource&, kvasp::ResponseSink& response) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, 15s, [&] { return release; });  // bounded
        Reply(response, "served");
        return kvasp::PageOutcome{};
      },
      options);
  ASSERT_NE(server.Port(), 0);
  const std::string get = "GET /p.asp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  // The only worker is busy with the first request.
  const UniqueSocket busy = Connect(server.Port());
  ASSERT_TRUE(busy && SendText(busy, get));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return entered; }));
  }
  // The second waits in the line; the third finds it full.
  const auto queuedAt = std::chrono::steady_clock::now();
  const UniqueSocket waiting = Connect(server.Port());
  ASSERT_TRUE(waiting && SendText(waiting, get));
  std::this_thread::sleep_for(300ms);
  const auto refusedAt = std::chrono::steady_clock::now();
  const UniqueSocket refused = Connect(server.Port());
  ASSERT_TRUE(refused && SendText(refused, get));
  const std::string full = ReceiveAll(refused);
  const double refusedAfter = SecondsSince(refusedAt);
  const std::string overdue = ReceiveAll(waiting);
  const double waited = SecondsSince(queuedAt);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  const std::string served = ReceiveAll(busy);

  for (const std::string* answer : {&full, &overdue}) {
    EXPECT_EQ(answer->rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << *answer;
    EXPECT_NE(answer->find("\r\nRetry-After: 5\r\n"), std::string::npos) << *answer;
    EXPECT_NE(answer->find("\r\nConnection: close\r\n"), std::string::npos) << *answer;
  }
  EXPECT_LT(refusedAfter, 0.9);  // at once, not after the line's time limit
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 5.0);
  EXPECT_EQ(served.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << served;
}

// A folder and a file in it, made for one test and removed afterwards.
class SiteFile {
 public:
  SiteFile(const std::wstring& folder, const std::wstring& name, const std::string& bytes)
      : folder_(folder), path_(folder + L"\\" + name) {
    CreateDirectoryW(folder_.c_str(), nullptr);
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    made_ = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
    CloseHandle(file);
  }
  ~SiteFile() {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  SiteFile(const SiteFile&) = delete;
  SiteFile& operator=(const SiteFile&) = delete;
  bool Made() const { return made_; }

 private:
  std::wstring folder_;
  std::wstring path_;
  bool made_ = false;
};

std::string Get(int port, const std::string& target) {
  const UniqueSocket s = Connect(port);
  if (!s ||
      !SendText(s, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
    return {};
  return ReceiveAll(s);
}

TEST_F(ServerTest, FilesUnderNamesInAnyScriptAreServedByTheirUtf8Paths) {
  // A folder named in Greek holding "日本語 résumé.txt": neither name fits an
  // ANSI code page, so only a UTF-8 to UTF-16 conversion of the decoded path
  // reaches the file.
  const std::string bytes = "Lebenslauf\r\n\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\r\n";
  const SiteFile file(site_.Path() + L"\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1",
                      L"\u65e5\u672c\u8a9e r\u00e9sum\u00e9.txt", bytes);
  ASSERT_TRUE(file.Made());
  TestServer server(
      site_.Path(), 1,
      [](const kvasp::PageRequest&, kvasp::BodySource&, kvasp::ResponseSink& response) {
        Reply(response, "a page ran");
        return kvasp::PageOutcome{};
      });
  ASSERT_NE(server.Port(), 0);
  const std::string folder = "/%CE%95%CE%BB%CE%BB%CE%AC%CE%B4%CE%B1";
  const std::string name = "%E6%97%A5%E6%9C%AC%E8%AA%9E%20r%C3%A9sum%C3%A9.txt";

  std::string answer = Get(server.Port(), folder + "/" + name);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nContent-Type: text/plain"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n"),
            std::string::npos)
      << answer;
  const size_t body = answer.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos) << answer;
  EXPECT_EQ(answer.substr(body + 4), bytes);

  // Lower-case escapes name the same bytes.
  answer = Get(server.Port(), "/%ce%95%ce%bb%ce%bb%ce%ac%ce%b4%ce%b1/" + name);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;

  // The folder without its slash: sent on to itself, its name encoded again.
  answer = Get(server.Port(), folder);
  EXPECT_EQ(answer.rfind("HTTP/1.1 301 ", 0), 0u) << answer;
  EXPECT_NE(answer.find("\r\nLocation: " + folder + "/\r\n"), std::string::npos) << answer;

  // The accented letters as Latin-1 bytes instead of UTF-8 name another file.
  answer = Get(server.Port(), folder + "/%E6%97%A5%E6%9C%AC%E8%AA%9E%20r%E9sum%E9.txt");
  EXPECT_EQ(answer.rfind("HTTP/1.1 404 ", 0), 0u) << answer;
}

}  // namespace
}  // namespace kvserve
