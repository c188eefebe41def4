// Where bodies are kept: TMemoryStream (size, position, reads and writes,
// zero fill, reserved room), the spool file, and the window that reads
// either.
#include "engine/bodyview.h"
#include "engine/memstream.h"
#include "engine/spoolfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

#include "server/exceptions.h"

namespace {

std::string Content(const kvp::TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.Memory()), static_cast<size_t>(s.Size()));
}

TEST(MemoryStream, ReadAndWriteAtThePosition) {
  kvp::TMemoryStream s;
  char buf[16] = {};
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Read(buf, 4), 0);

  EXPECT_EQ(s.Write("hello", 5), 5);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.Write(" world", 6), 6);
  EXPECT_EQ(Content(s), "hello world");

  s.SetPosition(4);
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "o w");
  EXPECT_EQ(s.Position(), 7);
  EXPECT_EQ(s.Read(buf, 100), 4) << "a read stops at the end";
  EXPECT_EQ(std::string(buf, 4), "orld");
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Read(buf, -1), 0);

  s.SetPosition(6);
  s.Write("W", 1);  // overwrite in the middle
  EXPECT_EQ(Content(s), "hello World");
  EXPECT_EQ(s.Size(), 11);

  s.SetPosition(-5);
  EXPECT_EQ(s.Position(), 0);
  s.SetPosition(100);
  EXPECT_EQ(s.Read(buf, 1), 0);
}

TEST(MemoryStream, GrowthIsZeroFilled) {
  kvp::TMemoryStream s;
  s.SetPosition(3);
  s.Write("ab", 2);  // a write past the end fills the gap with zeros
  EXPECT_EQ(Content(s), std::string("\0\0\0ab", 5));

  s.SetSize(8);
  EXPECT_EQ(Content(s), std::string("\0\0\0ab\0\0\0", 8));
  EXPECT_EQ(s.Position(), 5) << "setting the size keeps the position";

  s.SetSize(4);
  EXPECT_EQ(Content(s), std::string("\0\0\0a", 4));
  s.SetSize(6);  // bytes cut off before do not come back
  EXPECT_EQ(Content(s), std::string("\0\0\0a\0\0", 6));

  s.SetPosition(0);
  std::string big(100000, 'x');
  s.Write(big.data(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(Content(s), big);
  s.SetSize(0);
  s.SetSize(3);
  EXPECT_EQ(Content(s), std::string(3, '\0'));

  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(MemoryStream, ReservedRoomTakesWritesAndReadsAtOffsets) {
  // A heap block below 1 MiB, reserved address space from there on.
  for (const int64_t room : {int64_t{300000}, int64_t{3000000}}) {
    SCOPED_TRACE(room);
    kvp::TMemoryStream s;
    s.Write("old", 3);
    s.Reserve(room);  // empties the stream
    EXPECT_EQ(s.Size(), 0);
    std::string chunk(102400, 'c');
    for (int i = 0; i < 2; ++i) s.Write(chunk.data(), static_cast<int64_t>(chunk.size()));
    s.SetSize(room);  // a short read leaves zeros behind
    EXPECT_EQ(Content(s),
              std::string(204800, 'c') + std::string(static_cast<size_t>(room) - 204800, '\0'));
    s.SetPosition(room);
    s.Write("tail", 4);  // past the reserved room: the stream moves
    EXPECT_EQ(s.Size(), room + 4);
    char buf[6];
    s.ReadAt(204798, buf, 6);
    EXPECT_EQ(std::string(buf, 6), std::string("cc\0\0\0\0", 6));
    s.ReadAt(room, buf, 4);
    EXPECT_EQ(std::string(buf, 4), "tail");
    EXPECT_THROW(s.ReadAt(room + 1, buf, 4), kvp::EReadError);
    EXPECT_THROW(s.ReadAt(-1, buf, 1), kvp::EReadError);
  }
}

TEST(SpoolFile, KeepsWhatArrivedAndReadsTheRestAsZeros) {
  kvp::TSpoolFile spool(std::wstring(), 10);
  spool.Append("abc", 3);
  spool.Append("defghijkl", 9);  // never past the announced size
  EXPECT_EQ(spool.Written(), 10);
  char buf[10];
  spool.ReadAt(2, buf, 8);
  EXPECT_EQ(std::string(buf, 8), "cdefghij");
  EXPECT_THROW(spool.ReadAt(5, buf, 6), kvp::EReadError);

  kvp::TSpoolFile partial(std::wstring(), 6);
  partial.Append("xy", 2);
  partial.ReadAt(1, buf, 5);
  EXPECT_EQ(std::string(buf, 5), std::string("y\0\0\0\0", 5));

  // Chunks gathered into pieces: a read across what is on disk, what is
  // gathered and what never came, before and after the flush.
  const int64_t size = 3 * kvp::kSpoolPiece;
  std::string bytes(static_cast<size_t>(size), '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  kvp::TSpoolFile pieces(std::wstring(), size);
  const int64_t arrived = kvp::kSpoolPiece + 300000;
  for (int64_t at = 0; at < arrived; at += 102400)
    pieces.Append(bytes.data() + at, std::min<int64_t>(102400, arrived - at));
  std::string expect = bytes.substr(0, static_cast<size_t>(arrived));
  expect.resize(static_cast<size_t>(size), '\0');
  for (int flushed = 0; flushed < 2; ++flushed) {
    std::string seen(600000, 'x');
    pieces.ReadAt(kvp::kSpoolPiece - 5, seen.data(), 600000);
    EXPECT_EQ(seen, expect.substr(kvp::kSpoolPiece - 5, 600000)) << flushed;
    pieces.Flush();
  }
}

TEST(BodyView, SeesAMemoryBodyWholeAndOtherBodiesThroughItsWindow) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += static_cast<char>('A' + i % 26);
  kvp::TMemoryStream memory;
  memory.Write(text.data(), 100);
  kvp::TSpoolFile spool(std::wstring(), 100);
  spool.Append(text.data(), 100);

  kvp::TBodyView whole(memory, 8);
  EXPECT_EQ(whole.Bytes(10, 100).size(), 90u) << "memory is never copied";
  EXPECT_EQ(whole.Bytes(100, 100).size(), 0u);

  kvp::TBodyView windowed(spool, 8);
  auto seen = [](std::span<const uint8_t> b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
  };
  EXPECT_EQ(seen(windowed.Bytes(10, 100)), text.substr(10, 8));
  EXPECT_EQ(seen(windowed.Bytes(15, 100)), text.substr(15, 3)) << "the rest of the window";
  EXPECT_EQ(seen(windowed.Bytes(15, 100, 5)), text.substr(15, 8)) << "refilled for five";
  EXPECT_EQ(seen(windowed.Bytes(96, 100, 8)), text.substr(96, 4)) << "the body's end";
  EXPECT_EQ(seen(windowed.Bytes(3, 6)), text.substr(3, 3)) << "a step back, up to end";
  windowed.Widen(40);
  EXPECT_EQ(seen(windowed.Bytes(50, 100)), text.substr(50, 40));
}

}  // namespace
