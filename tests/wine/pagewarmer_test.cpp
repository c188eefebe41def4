// The helper that maps a body buffer's pages ahead of the copy: it never
// writes where the copy writes, and it is gone when its owner is.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "engine/pagewarmer.h"

namespace {

using kvp::TPageWarmer;

struct Region {
  explicit Region(size_t n)
      : size(n),
        data(static_cast<uint8_t*>(
            VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))) {}
  ~Region() {
    if (data) VirtualFree(data, 0, MEM_RELEASE);
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  size_t size;
  uint8_t* data;
};

uint8_t PatternAt(size_t i) {
  return static_cast<uint8_t>((i * 2654435761u >> 13) | 1);  // never zero
}

TEST(PageWarmer, SmallBuffersAreLeftAlone) {
  Region r(TPageWarmer::kMinSize - TPageWarmer::kPage);
  ASSERT_NE(r.data, nullptr);
  TPageWarmer w(r.data, r.size);
  EXPECT_FALSE(w.Running());
  w.Claim(r.size);  // free when nothing runs
  TPageWarmer none(nullptr, size_t{64} << 20);
  EXPECT_FALSE(none.Running());
}

// The copy writes in uneven chunks, letting the helper run in between; every
// byte written must survive, every byte not written must stay zero.
TEST(PageWarmer, CopyAndHelperNeverMeet) {
  std::mt19937 rng(7);
  size_t warmed = 0;
  for (int round = 0; round < 4; ++round) {
    Region r((size_t{24} << 20) + 1234);
    ASSERT_NE(r.data, nullptr);
    size_t at = 0;
    std::vector<std::pair<size_t, size_t>> written;
    {
      TPageWarmer w(r.data, r.size);
      ASSERT_TRUE(w.Running());
      while (at < r.size) {
        size_t n = std::uniform_int_distribution<size_t>(1, 300000)(rng);
        n = std::min(n, r.size - at);
        // A short read: the copy moves on, the rest of this stretch stays zero.
        const size_t skip = round % 2 && n > 8 ? n / 8 : 0;
        w.Claim(at + n - skip);
        for (size_t i = at; i < at + n - skip; ++i) r.data[i] = PatternAt(i);
        written.emplace_back(at, at + n - skip);
        at += n;
        if (written.size() % 4 == 0) SwitchToThread();
      }
      w.Claim(r.size);
      EXPECT_LE(w.PagesWarmed(), r.size / TPageWarmer::kPage);
      warmed += w.PagesWarmed();
    }
    size_t next = 0, bad = 0;
    for (const auto& [from, to] : written) {
      for (size_t i = next; i < from; ++i) bad += r.data[i] != 0;
      for (size_t i = from; i < to; ++i) bad += r.data[i] != PatternAt(i);
      next = to;
    }
    for (size_t i = next; i < r.size; ++i) bad += r.data[i] != 0;
    ASSERT_EQ(bad, 0u) << "round " << round;
  }
  EXPECT_GT(warmed, 0u) << "the helper never ran: nothing was tested";
}

// Once its owner is gone the helper writes nothing more, even when it was
// stopped long before the end of the buffer.
TEST(PageWarmer, StopsWithItsOwner) {
  Region r(size_t{96} << 20);
  ASSERT_NE(r.data, nullptr);
  { TPageWarmer w(r.data, r.size); }
  std::memset(r.data, 0xA5, r.size);
  Sleep(100);
  size_t changed = 0;
  for (size_t i = 0; i < r.size; i += 512) changed += r.data[i] != 0xA5;
  EXPECT_EQ(changed, 0u);
}

}  // namespace
