// Reading the request body through the stand-in host: chunking, the client
// going away, failing and misbehaving host calls.
#include <algorithm>
#include <numeric>
#include <utility>

#include "engine/spoolsettings.h"
#include "server/exceptions.h"
#include "import_patch.h"
#include "testsupport.h"

#include <psapi.h>

namespace {

using kvstub::CountReport;
using kvstub::Failure;
using kvstub::ReadAnswer;
using kvstub::ReadResult;
using kvtest::BodyOf;
using kvtest::FillerBytes;
using kvtest::Multipart;
using kvtest::VarLines;

const std::wstring kFailureText = L"Error reading uploaded file or form data.";

// The trace up to and including the last BinaryRead: the intake's own calls,
// without those the parser makes afterwards.
std::vector<std::string> ReadPhase(const std::vector<std::string>& trace) {
  auto last = std::find_if(trace.rbegin(), trace.rend(),
                           [](const std::string& s) { return s.rfind("BinaryRead", 0) == 0; });
  return std::vector<std::string>(trace.begin(), last.base());
}

std::vector<std::string> ExpectedReadPhase(const std::vector<long>& counts) {
  std::vector<std::string> trace{"TotalBytes"};
  for (long n : counts) {
    trace.push_back("IsClientConnected");
    trace.push_back("BinaryRead(" + std::to_string(n) + ")");
  }
  return trace;
}

// A body with a file, so that parsing it would leave a trace.
std::string UploadBody(size_t fileSize) {
  return Multipart()
      .Field("title", "Holiday")
      .File("photo", "C:\\pics\\beach.jpg", "image/jpeg", std::string(fileSize, 'J'))
      .Body();
}

class IntakeTest : public kvtest::HostTest {};

// --- Sizes and chunks.

TEST_F(IntakeTest, EmptyRequestReadsNothing) {
  Create();
  EXPECT_EQ(Host().Trace(), std::vector<std::string>{"TotalBytes"});
  EXPECT_EQ(TotalBytes(), 0);
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(Process().FVars->Count(), 0);
  EXPECT_EQ(Process().FFileCount, 0);
  EXPECT_EQ(Process().FBody->Size(), 0);
}

TEST_F(IntakeTest, NegativeTotalBytesIsRecordedAndNothingRead) {
  Host().SetBody("ignored");
  Host().SetTotalBytes(-7);
  Create();
  EXPECT_EQ(Host().Trace(), std::vector<std::string>{"TotalBytes"});
  EXPECT_EQ(TotalBytes(), -7);
  EXPECT_EQ(Process().FBody->Size(), 0);
}

struct ChunkCase {
  size_t size;
  std::vector<long> reads;
};

class ChunkingTest : public kvtest::HostTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ChunkingTest, ReadsInChunksAskingForTheRest) {
  const ChunkCase& c = GetParam();
  const std::string body = FillerBytes(c.size, static_cast<uint32_t>(c.size));
  Host().SetBody(body);
  Create();
  EXPECT_EQ(ReadPhase(Host().Trace()), ExpectedReadPhase(c.reads));
  EXPECT_EQ(BodyOf(Process()), body);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(c.size));
  EXPECT_EQ(Host().Written(), L"");
  // Request and Response are fetched afresh for every call.
  int requestFetches = 0;
  int responseFetches = 0;
  for (const kvstub::Call& call : Host().Calls()) {
    if (call.method != "GetProperty") continue;
    (call.name == L"Request" ? requestFetches : responseFetches)++;
  }
  EXPECT_EQ(requestFetches, 1 + static_cast<int>(c.reads.size()));
  EXPECT_EQ(responseFetches, Host().Count("IsClientConnected"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkingTest,
                         ::testing::Values(ChunkCase{1, {1}}, ChunkCase{102399, {102399}},
                                           ChunkCase{102400, {102400}},
                                           ChunkCase{102401, {102400, 1}},
                                           ChunkCase{256000, {102400, 102400, 51200}},
                                           ChunkCase{307200, {102400, 102400, 102400}}));

// --- The client going away.

TEST_F(IntakeTest, ClientGoneBeforeTheFirstChunk) {
  const std::string body = UploadBody(100);
  Host().SetBody(body);
  Host().DisconnectFrom(1);
  Create();
  EXPECT_EQ(Host().Trace(), (std::vector<std::string>{"TotalBytes", "IsClientConnected"}));
  EXPECT_EQ(TotalBytes(), 0);
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(Process().FVars->Count(), 0);
  EXPECT_EQ(Process().FFileCount, 0);
  // Sized once for the whole body, nothing received.
  EXPECT_EQ(BodyOf(Process()), std::string(body.size(), '\0'));
}

TEST_F(IntakeTest, ClientGoneBetweenChunks) {
  const std::string body = FillerBytes(256000, 3);
  Host().SetBody(body);
  Host().DisconnectFrom(2);
  Create();
  EXPECT_EQ(Host().Trace(), (std::vector<std::string>{"TotalBytes", "IsClientConnected",
                                                      "BinaryRead(102400)", "IsClientConnected"}));
  EXPECT_EQ(TotalBytes(), 0);
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(Process().FVars->Count(), 0);
  EXPECT_EQ(BodyOf(Process()), body.substr(0, 102400) + std::string(256000 - 102400, '\0'));
}

TEST_F(IntakeTest, ClientGoneWhileParsingKeepsWhatWasStored) {
  // One probe before the only chunk, then one per pass of the parser: the
  // passes that read the delimiter lines of a, b and c are probes 2 to 4.
  const std::string body = Multipart().Field("a", "1").Field("b", "2").Field("c", "3").Body();
  Host().SetBody(body);
  Host().DisconnectFrom(4);
  Create();
  EXPECT_EQ(VarLines(Process()), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(Host().Count("IsClientConnected"), 4);
}

// Whenever the client goes during parsing, what is stored is a leading part
// of what the whole parse stores, and it grows with the time the client stays.
TEST(IntakeDisconnect, EveryStopDuringParsingKeepsALeadingPart) {
  const std::string body = Multipart()
                               .Field("name", "Ann")
                               .File("f1", "a.txt", "text/plain", "alpha")
                               .Field("note", "x\r\ny")
                               .File("f2", "b.bin", "application/octet-stream", "beta")
                               .Field("name", "Bob")
                               .Body();
  const long liveObjects = kvstub::StubHost::LiveObjects();
  std::vector<std::string> full;
  int probes = 0;
  {
    kvstub::StubHost host;
    host.SetBody(body);
    kvstub::ContextScope scope(host.Context());
    kvp::Tprocess p;
    p.Initialize();
    full = VarLines(p);
    probes = host.Count("IsClientConnected");
    ASSERT_EQ(p.FFileCount, 2);
  }
  ASSERT_GT(probes, 2);
  size_t previous = 0;
  bool sawPartial = false;
  for (int k = 2; k <= probes; ++k) {
    kvstub::StubHost host;
    host.SetBody(body);
    host.DisconnectFrom(k);
    kvstub::ContextScope scope(host.Context());
    kvp::Tprocess p;
    p.Initialize();
    const std::vector<std::string> lines = VarLines(p);
    LONG total = 0;
    p.get_TotalBytes(&total);
    EXPECT_EQ(total, static_cast<LONG>(body.size())) << "disconnect at probe " << k;
    EXPECT_EQ(host.Written(), L"");
    EXPECT_EQ(host.Count("IsClientConnected"), k);
    // Folding may still change the first line later: compare names only.
    ASSERT_LE(lines.size(), full.size());
    for (size_t i = 0; i < lines.size(); ++i)
      EXPECT_EQ(lines[i].substr(0, lines[i].find('=')), full[i].substr(0, full[i].find('=')));
    EXPECT_GE(lines.size(), previous);
    EXPECT_EQ(p.FFileCount, static_cast<int32_t>(p.FFiles.size()));
    previous = lines.size();
    sawPartial = sawPartial || (!lines.empty() && lines.size() < full.size());
    if (k == 2) {
      EXPECT_TRUE(lines.empty());
    }
  }
  EXPECT_TRUE(sawPartial);
  EXPECT_EQ(kvstub::StubHost::LiveObjects(), liveObjects);
}

// --- Failing host calls.

TEST_F(IntakeTest, ReadFailureWritesTheMessageOnce) {
  const std::string body = UploadBody(250000);
  Host().SetBody(body);
  Host().FailReadAt(2, Failure{E_FAIL, L"The connection broke.", L"Request"});
  Create();
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(Host().WriteTypes(), std::vector<VARTYPE>{VT_BSTR});
  EXPECT_EQ(Host().Trace(),
            (std::vector<std::string>{"TotalBytes", "IsClientConnected", "BinaryRead(102400)",
                                      "IsClientConnected", "BinaryRead(102400)", "Write"}));
  EXPECT_EQ(Process().FFileCount, 0);
  EXPECT_EQ(Process().FVars->Count(), 0);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
}

TEST_F(IntakeTest, ProbeFailureBeforeAChunkWritesTheMessage) {
  const std::string body = UploadBody(10);
  Host().SetBody(body);
  Host().FailConnectedAt(1, Failure{E_FAIL, L"", L""});
  Create();
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(Host().Count("BinaryRead"), 0);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
}

TEST_F(IntakeTest, ProbeFailureWhileParsingKeepsWhatWasStored) {
  const std::string body = Multipart().Field("a", "1").Field("b", "2").Field("c", "3").Body();
  Host().SetBody(body);
  Host().FailConnectedAt(4, Failure{RPC_E_DISCONNECTED, L"Gone.", L"Response"});
  Create();
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(VarLines(Process()), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
}

TEST_F(IntakeTest, WriteFailureAfterAReadFailureEndsTheCreation) {
  Host().SetBody(UploadBody(10));
  Host().FailReadAt(1, Failure{E_FAIL, L"Read failed.", L"Request"});
  Host().FailWrite(Failure{E_ACCESSDENIED, L"Response is closed.\r\n", L"Response"});
  try {
    Create();
    FAIL() << "Initialize returned";
  } catch (const kvp::EOleException& e) {
    EXPECT_EQ(static_cast<HRESULT>(e.ErrorCode()), E_ACCESSDENIED);
    EXPECT_EQ(e.Message(), "Response is closed");
    EXPECT_EQ(e.Source(), "Response");
  }
  EXPECT_EQ(Host().Count("Write"), 1);
}

TEST_F(IntakeTest, TotalBytesFailureEndsTheCreationWithTheHostsError) {
  Host().SetBody(UploadBody(10));
  const HRESULT status = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0123);
  Host().FailTotalBytes(Failure{status, L"Request object error.\r\n", L"Request object"});
  try {
    Create();
    FAIL() << "Initialize returned";
  } catch (const kvp::EOleException& e) {
    EXPECT_EQ(static_cast<HRESULT>(e.ErrorCode()), status);
    EXPECT_EQ(e.Message(), "Request object error");
    EXPECT_EQ(e.Source(), "Request object");
  }
  EXPECT_EQ(Host().Trace(), std::vector<std::string>{"TotalBytes"});
}

// --- BinaryRead answers that are not what they should be.

class ResultShapeTest : public kvtest::HostTest,
                        public ::testing::WithParamInterface<ReadResult> {};

TEST_P(ResultShapeTest, NotAOneDimensionalByteArrayIsAReadFailure) {
  const std::string body = UploadBody(150000);
  Host().SetBody(body);
  Host().ShapeReads(ReadAnswer{.result = GetParam()}, 2);
  Create();
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(Host().Count("Write"), 1);
  EXPECT_EQ(Host().Count("BinaryRead"), 2);
  EXPECT_EQ(Process().FFileCount, 0);
  EXPECT_EQ(Process().FVars->Count(), 0);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
  // The first chunk arrived before the bad answer.
  EXPECT_EQ(BodyOf(Process()).substr(0, 102400), body.substr(0, 102400));
}

INSTANTIATE_TEST_SUITE_P(Shapes, ResultShapeTest,
                         ::testing::Values(ReadResult::Empty, ReadResult::Text,
                                           ReadResult::TwoDimBytes, ReadResult::WordArray,
                                           ReadResult::Object));

TEST_F(IntakeTest, CountAboveWhatTheArrayHoldsTakesOnlyTheArray) {
  const std::string body = FillerBytes(1000, 9);
  Host().SetBody(body);
  Host().LimitReads(std::vector<long>{10});
  Host().ShapeReads(ReadAnswer{.count = CountReport::Offset, .number = 500});
  Create();
  EXPECT_EQ(BodyOf(Process()), body.substr(0, 10) + std::string(990, '\0'));
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(TotalBytes(), 1000);
}

TEST_F(IntakeTest, CountAboveWhatTheBodyHasRoomForStopsAtItsEnd) {
  // The host reports less than it has: the last chunk's array holds eight
  // bytes more than the one asked for, and its count says so.
  const std::string body = FillerBytes(102401, 5);
  Host().SetBody(body + "overflow");
  Host().SetTotalBytes(102401);
  Host().ShapeReads(ReadAnswer{.overDeliver = 8}, 2);
  Create();
  EXPECT_EQ(Host().ReadRequests(), (std::vector<long>{102400, 1}));
  EXPECT_EQ(Process().RequestBody().Size(), 102401);
  EXPECT_EQ(BodyOf(Process()), body);
  EXPECT_EQ(Host().Written(), L"");
}

TEST_F(IntakeTest, NegativeCountWritesNothing) {
  const std::string body = FillerBytes(150000, 11);
  Host().SetBody(body);
  Host().ShapeReads(ReadAnswer{.count = CountReport::Fixed, .number = -5});
  Create();
  EXPECT_EQ(Host().ReadRequests(), (std::vector<long>{102400, 47600}));
  EXPECT_EQ(BodyOf(Process()), std::string(body.size(), '\0'));
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(TotalBytes(), 150000);
}

TEST_F(IntakeTest, RealCountIsRounded) {
  const std::string body = FillerBytes(100, 13);
  Host().SetBody(body);
  Host().ShapeReads(ReadAnswer{.count = CountReport::Real, .number = 4.4});
  Create();
  EXPECT_EQ(BodyOf(Process()), body.substr(0, 4) + std::string(96, '\0'));
  EXPECT_EQ(Host().Written(), L"");
}

TEST_F(IntakeTest, NumericTextCountIsTaken) {
  const std::string body = FillerBytes(100, 17);
  Host().SetBody(body);
  Host().ShapeReads(ReadAnswer{.count = CountReport::Text, .text = L"7"});
  Create();
  EXPECT_EQ(BodyOf(Process()), body.substr(0, 7) + std::string(93, '\0'));
  EXPECT_EQ(Host().Written(), L"");
}

TEST_F(IntakeTest, CountThatIsNoNumberIsAReadFailure) {
  const std::string body = UploadBody(10);
  Host().SetBody(body);
  Host().ShapeReads(ReadAnswer{.count = CountReport::Text, .text = L"lots"});
  Create();
  EXPECT_EQ(Host().Written(), kFailureText);
  EXPECT_EQ(Process().FFileCount, 0);
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
}

// --- Short reads: no failure, the loop keeps its pace, the tail stays zero.

struct ShortCase {
  size_t size;
  long maxPerCall;
  std::vector<long> perCall;
};

class ShortReadTest : public kvtest::HostTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortReadTest, UnfilledTailIsZeroAndTheCallsStayTheSame) {
  const ShortCase& c = GetParam();
  const std::string body = FillerBytes(c.size, 21);
  Host().SetBody(body);
  if (c.maxPerCall > 0) Host().LimitReads(c.maxPerCall);
  if (!c.perCall.empty()) Host().LimitReads(c.perCall);
  Create();

  std::vector<long> asked;
  for (size_t left = c.size; left > 0;) {
    const size_t n = std::min<size_t>(left, 102400);
    asked.push_back(static_cast<long>(n));
    left -= n;
  }
  EXPECT_EQ(Host().ReadRequests(), asked);
  size_t received = 0;
  for (size_t i = 0; i < asked.size(); ++i) {
    long n = asked[i];
    if (c.maxPerCall > 0) n = std::min(n, c.maxPerCall);
    if (i < c.perCall.size()) n = std::min(n, c.perCall[i]);
    received += static_cast<size_t>(n);
  }
  EXPECT_LT(received, c.size);
  EXPECT_EQ(BodyOf(Process()), body.substr(0, received) + std::string(c.size - received, '\0'));
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(c.size));
  EXPECT_EQ(Host().Written(), L"");
}

INSTANTIATE_TEST_SUITE_P(Limits, ShortReadTest,
                         ::testing::Values(ShortCase{256000, 1000, {}},
                                           ShortCase{256000, 0, {5, 102400, 0}},
                                           ShortCase{102401, 0, {102400, 0}}, ShortCase{50, 0, {0}},
                                           // A large body buffer.
                                           ShortCase{(6 << 20) + 123, 0, {102400, 3, 0, 77}}));

TEST_F(IntakeTest, ShortReadOfAGoodBodyParsesWhatArrived) {
  // The file's content is cut off by zeros: its delimiter never comes.
  const std::string body =
      Multipart().Field("a", "x").File("f", "f.txt", "text/plain", "data").Body();
  Host().SetBody(body);
  Host().LimitReads(static_cast<long>(body.size() - 30));
  Create();
  EXPECT_EQ(Status(), 2);
  EXPECT_EQ(Process().FFileCount, 0);
  EXPECT_EQ(VarLines(Process()), (std::vector<std::string>{"a=x", "f=f.txt"}));
  EXPECT_EQ(TotalBytes(), static_cast<LONG>(body.size()));
}

// What the client announces costs nothing until it is sent: a body announced
// at the in-memory limit and one of 190 MB (spooled), a few hundred bytes
// trickled into each. Resident memory and commit charge (private committed
// bytes, what Windows counts against RAM plus page file), looked at during
// every read, stay within a few chunks of what arrived.
TEST_F(IntakeTest, AnnouncedBodyTakesMemoryOnlyAsItArrives) {
  const std::string body = UploadBody(20);
  ASSERT_LT(body.size(), 300u);
  const long inMemory = static_cast<long>(kvp::SpoolSettings().threshold);
  Host().LimitReads(7);
  Host().KeepCallLog(false);
  // A first, smaller creation of the same shape maps every page of code and
  // data that the path touches (and, under an emulator, translates its
  // code), so that the measured creation counts only what its body costs.
  for (long warm : {long{2} << 20, long{8} << 20}) {
    Host().SetBody(body);
    Host().SetTotalBytes(warm);
    Create();
    Destroy();
  }
  auto resident = [] {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters));
    return static_cast<int64_t>(counters.WorkingSetSize);
  };
  constexpr long kSpooled = 190000000;
  // What the system itself charges for an untouched mapping of the announced
  // size (its page bookkeeping; under an emulator, the emulator's own tables),
  // measured the same way: not memory of the object's.
  const int64_t mappingCost = [&] {
    const int64_t at = resident();
    void* p = VirtualAlloc(nullptr, kSpooled, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    EXPECT_NE(p, nullptr);
    const int64_t cost = resident() - at;
    if (p) VirtualFree(p, 0, MEM_RELEASE);
    return std::max<int64_t>(cost, 0);
  }();
  EXPECT_LE(mappingCost, 8 << 20) << "a mapping costs the system far less than its size";
  constexpr int64_t kWindow = 4 * int64_t{kvp::kChunkSize} + (int64_t{1} << 20);
  for (long announced : {inMemory, kSpooled}) {
    if (announced < 1) continue;  // every body is spooled
    SCOPED_TRACE("announced " + std::to_string(announced));
    Host().SetBody(body);
    Host().SetTotalBytes(announced);
    const int64_t before = resident(), committedBefore = kvtest::PrivateCommit();
    int64_t peak = before, committedPeak = committedBefore;
    int reads = 0;
    Host().ObserveReads([&] {
      peak = std::max(peak, resident());
      committedPeak = std::max(committedPeak, kvtest::PrivateCommit());
      ++reads;
    });
    Create();
    Host().ObserveReads(nullptr);
    EXPECT_EQ(reads, (announced + kvp::kChunkSize - 1) / kvp::kChunkSize);
    EXPECT_EQ(TotalBytes(), announced);
    EXPECT_EQ(Process().FSpool != nullptr, announced == kSpooled);
    // Every byte that came is in place; the rest reads as zeros.
    std::string head(body.size() + 16, 'x');
    Process().RequestBody().ReadAt(0, head.data(), static_cast<int64_t>(head.size()));
    EXPECT_EQ(head, body + std::string(16, '\0'));
    EXPECT_LE(peak - before, static_cast<int64_t>(body.size()) + kWindow + mappingCost)
        << "resident memory grew by " << (peak - before) << " bytes while " << body.size()
        << " arrived (the system charges " << mappingCost << " for the mapping)";
    EXPECT_LE(committedPeak - committedBefore, static_cast<int64_t>(body.size()) + kWindow)
        << "commit charge grew by " << (committedPeak - committedBefore) << " bytes while "
        << body.size() << " arrived";
    EXPECT_GT(before, 0);
    Destroy();
  }
}

// Out of memory on the failure path itself: making the failure text fails
// after a read failed. The creation fails with that error; nothing is freed
// that was never made, nothing is written.
bool g_failNextBstr = false;
decltype(&SysAllocStringLen) g_sysAllocStringLen = nullptr;

BSTR WINAPI SysAllocStringLenFailingOnce(const OLECHAR* text, UINT length) {
  if (std::exchange(g_failNextBstr, false)) return nullptr;
  return g_sysAllocStringLen(text, length);
}

TEST_F(IntakeTest, OutOfMemoryForTheFailureTextEndsTheCreationCleanly) {
  Host().SetBody(UploadBody(10));
  Host().FailReadAt(1, Failure{E_FAIL, L"", L""});
  kvtest::ImportPatch patch(GetModuleHandleW(nullptr), "oleaut32.dll", "SysAllocStringLen",
                            reinterpret_cast<const void*>(&SysAllocStringLenFailingOnce));
  ASSERT_TRUE(patch.Active());
  g_sysAllocStringLen = patch.Original<decltype(&SysAllocStringLen)>();
  Host().ObserveReads([] { g_failNextBstr = true; });
  EXPECT_THROW(Create(), kvp::EOutOfMemory);
  EXPECT_FALSE(g_failNextBstr) << "the failure text was never made";
  EXPECT_EQ(Host().Written(), L"");
  EXPECT_EQ(Host().Count("Write"), 0);
}

}  // namespace
