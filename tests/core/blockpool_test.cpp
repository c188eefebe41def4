// The cache of large working blocks: which size it keeps, how much, that a
// kept block is handed out again whole, and that threads taking and giving
// back blocks at once never get the same one.
#include "engine/blockpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using kvp::TBlock;

TEST(BlockPool, KeepsItsSizeUpToItsLimitAndHandsItOutAgain) {
  constexpr size_t kSize = TBlock::kPooledSize;
  TBlock::Trim();
  ASSERT_EQ(TBlock::CachedBytes(), 0u);

  const void* first = nullptr;
  {
    TBlock b(kSize);
    std::memset(b.Data(), 0x5a, b.Bytes());
    first = b.Data();
  }
  EXPECT_EQ(TBlock::CachedBytes(), kSize);
  {
    TBlock again(kSize);
    EXPECT_EQ(again.Data(), first) << "the cached block is reused";
    EXPECT_EQ(TBlock::CachedBytes(), 0u);
  }
  EXPECT_EQ(TBlock::CachedBytes(), kSize);

  // Other sizes go straight back to the heap and never come from the cache.
  {
    TBlock small(kSize / 2), odd(kSize + 4096), twice(kSize * 2);
    EXPECT_NE(twice.Data(), first);
    EXPECT_EQ(TBlock::CachedBytes(), kSize);
  }
  EXPECT_EQ(TBlock::CachedBytes(), kSize);

  // No more than 8 MiB is kept, however many blocks come back.
  {
    std::vector<TBlock> many;
    for (int i = 0; i < 40; ++i) many.emplace_back(kSize);
  }
  EXPECT_EQ(TBlock::CachedBytes(), size_t{8} << 20);

  // Moving hands the block over; the moved-from owner gives nothing back.
  TBlock::Trim();
  {
    TBlock a(kSize);
    TBlock b(std::move(a));
    EXPECT_EQ(a.Data(), nullptr);
    a = std::move(b);
    EXPECT_NE(a.Data(), nullptr);
    EXPECT_EQ(b.Bytes(), 0u);
  }
  EXPECT_EQ(TBlock::CachedBytes(), kSize);
  TBlock::Trim();
  EXPECT_EQ(TBlock::CachedBytes(), 0u);
  TBlock empty(0);
  EXPECT_EQ(empty.Data(), nullptr);
}

// Eight threads take and give back cached blocks, and blocks of another
// size, as fast as they can. Each marks the ends of its block with its own byte and finds
// them unchanged before it gives the block back: a block handed to two
// threads at once would show the other's mark. (On two cores an unguarded
// cache rarely hands one out twice; built with -fsanitize=thread, this test
// reports such a cache every time.)
TEST(BlockPool, ThreadsNeverGetTheSameBlock) {
  TBlock::Trim();
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  constexpr size_t kEdge = 256;
  std::atomic<int> clashes{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto mark = static_cast<unsigned char>(0xa0 + t);
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();  // all start together
      for (int i = 0; i < kRounds; ++i) {
        TBlock b(i % 3 == 2 ? TBlock::kPooledSize * 2 : TBlock::kPooledSize);
        auto* p = static_cast<unsigned char*>(b.Data());
        unsigned char* tail = p + b.Bytes() - kEdge;
        std::memset(p, mark, kEdge);
        std::memset(tail, mark, kEdge);
        if (i % 16 == 0) std::this_thread::yield();
        const auto mine = [&](const unsigned char* at) {
          return std::all_of(at, at + kEdge, [&](unsigned char c) { return c == mark; });
        };
        if (!mine(p) || !mine(tail)) clashes.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(clashes.load(), 0) << "a block was in two threads' hands at once";
  EXPECT_LE(TBlock::CachedBytes(), size_t{8} << 20);
  TBlock::Trim();
  EXPECT_EQ(TBlock::CachedBytes(), 0u);
}

}  // namespace
