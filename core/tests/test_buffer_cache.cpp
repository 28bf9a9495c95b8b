// Big arrays come back from the cache instead of fresh pages, the cache stays
// under its cap, and small arrays never enter it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "buffer_cache.hpp"

using namespace tarvix;

TEST(BufferCache, ReusesFittingBlocksAndStaysUnderItsCap) {
  cache::clear();
  const std::size_t mb = std::size_t{1} << 20;
  void* a = cache::acquire(10 * mb);
  std::memset(a, 1, 10 * mb);  // every page is writable
  cache::release(a, 10 * mb);
  EXPECT_EQ(cache::cached_bytes(), 10 * mb);
  EXPECT_EQ(cache::acquire(9 * mb), a);  // fits: the same block, mapped once
  EXPECT_EQ(cache::cached_bytes(), 0u);
  cache::release(a, 9 * mb);
  void* b = cache::acquire(4 * mb);  // would waste more than it asks for: fresh
  EXPECT_NE(b, a);
  cache::release(b, 4 * mb);

  // Blocks beyond the cap are unmapped, oldest first.
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(cache::acquire(cache::kCachedBytes / 4));
  for (void* p : blocks) cache::release(p, cache::kCachedBytes / 4);
  EXPECT_LE(cache::cached_bytes(), cache::kCachedBytes);
  cache::clear();  // (emptied: else the count below would hold these blocks too)

  {
    std::vector<double, cache::Allocator<double>> small(1000, 2.0), big(cache::kMinBytes / sizeof(double), 3.0);
    EXPECT_EQ(small.back(), 2.0);
    EXPECT_EQ(big.back(), 3.0);
  }
  EXPECT_EQ(cache::cached_bytes(), cache::kMinBytes);  // only the big one came back
  cache::clear();
}
