// The cache of large working blocks: which sizes it keeps, how much, and that
// a kept block is handed out again whole.
#include "engine/blockpool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using kvp::TBlock;

TEST(BlockPool, KeepsCachedSizesUpToItsLimitAndHandsThemOutAgain) {
  TBlock::Trim();
  ASSERT_EQ(TBlock::CachedBytes(), 0u);

  const void* first = nullptr;
  {
    TBlock b(TBlock::kPooledMin);
    std::memset(b.Data(), 0x5a, b.Bytes());
    first = b.Data();
  }
  EXPECT_EQ(TBlock::CachedBytes(), TBlock::kPooledMin);
  {
    TBlock again(TBlock::kPooledMin);
    EXPECT_EQ(again.Data(), first) << "the cached block is reused";
    EXPECT_EQ(TBlock::CachedBytes(), 0u);
    TBlock other(TBlock::kPooledMin * 2);  // another size: not that block
    EXPECT_NE(other.Data(), first);
  }
  EXPECT_EQ(TBlock::CachedBytes(), TBlock::kPooledMin * 3);

  // Sizes outside the cached ones go straight back to the heap.
  {
    TBlock small(TBlock::kPooledMin / 2), odd(TBlock::kPooledMin + 4096),
        huge(TBlock::kPooledMax * 2);
  }
  EXPECT_EQ(TBlock::CachedBytes(), TBlock::kPooledMin * 3);

  // No more than 8 MiB is kept, however many blocks come back.
  {
    std::vector<TBlock> many;
    for (int i = 0; i < 12; ++i) many.emplace_back(TBlock::kPooledMax / 4);  // 1 MiB each
  }
  EXPECT_LE(TBlock::CachedBytes(), size_t{8} << 20);
  EXPECT_GE(TBlock::CachedBytes(), size_t{7} << 20);

  // Moving hands the block over; the moved-from owner gives nothing back.
  TBlock::Trim();
  {
    TBlock a(TBlock::kPooledMin);
    TBlock b(std::move(a));
    EXPECT_EQ(a.Data(), nullptr);
    a = std::move(b);
    EXPECT_NE(a.Data(), nullptr);
    EXPECT_EQ(b.Bytes(), 0u);
  }
  EXPECT_EQ(TBlock::CachedBytes(), TBlock::kPooledMin);
  TBlock::Trim();
  EXPECT_EQ(TBlock::CachedBytes(), 0u);
  TBlock empty(0);
  EXPECT_EQ(empty.Data(), nullptr);
}

}  // namespace
