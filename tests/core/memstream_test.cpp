// TMemoryStream: size, position, reads and writes, zero fill, views and the
// count of live streams.
#include "engine/memstream.h"

#include <gtest/gtest.h>

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

TEST(MemoryStream, ViewsReadAnotherStreamsBytes) {
  const int64_t before = kvp::TMemoryStream::LiveCount();
  {
    kvp::TMemoryStream owner;
    owner.Write("0123456789", 10);
    EXPECT_FALSE(owner.IsView());
    EXPECT_NE(owner.WritableMemory(), nullptr);

    std::unique_ptr<kvp::TMemoryStream> view(kvp::TMemoryStream::CreateView(owner.Memory() + 2, 5));
    EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before + 2);
    EXPECT_TRUE(view->IsView());
    EXPECT_EQ(view->WritableMemory(), nullptr);
    EXPECT_EQ(view->Memory(), owner.Memory() + 2);
    EXPECT_EQ(Content(*view), "23456");
    char buf[8];
    view->SetPosition(3);
    EXPECT_EQ(view->Read(buf, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "56");

    EXPECT_THROW(view->Write("x", 1), kvp::EStreamError);
    EXPECT_THROW(view->SetSize(1), kvp::EStreamError);
    EXPECT_EQ(Content(owner), "0123456789") << "a view never changes its owner";
    view.reset();  // the owner's bytes stay
    EXPECT_EQ(Content(owner), "0123456789");
    EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before + 1);
  }
  EXPECT_EQ(kvp::TMemoryStream::LiveCount(), before);
}

}  // namespace
