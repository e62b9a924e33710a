// Large per-call buffers: a thread's released block serves its next request
// of at most that size (and only then), two live arrays never share memory,
// the larger of two released blocks is the one kept, and blocks above the
// reuse limit are never kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>

#include "core/big_buffer.hpp"

namespace {

using varnel::BigArray;
using varnel::kMallocReuseLimit;

TEST(BigArray, ReleasedBlockServesTheThreadsNextRequest) {
  struct Case {
    std::size_t first, second;
    bool reused;
  };
  const Case cases[] = {
      {1 << 20, 1 << 20, true},   {1 << 20, 1000, true},  {1 << 20, (1 << 20) + 4, false},
      {4 << 20, 16 << 20, false}, {16 << 20, 4, true},
  };
  // Sizes in bytes (multiples of 4). Each case in a thread of its own, which
  // starts without a kept block.
  for (const Case& c : cases) {
    std::thread([&] {
      const std::int32_t* first_data = nullptr;
      {
        BigArray<std::int32_t> a(c.first / 4);
        ASSERT_FALSE(a.empty());
        std::memset(a.data(), 0x5A, c.first / 4 * 4);
        first_data = a.data();
      }
      BigArray<std::int32_t> b(c.second / 4);
      ASSERT_EQ(b.size(), c.second / 4);
      EXPECT_EQ(b.data() == first_data, c.reused) << c.first << " then " << c.second;
      b.data()[b.size() - 1] = 7;  // the whole requested range is usable
    }).join();
  }
}

TEST(BigArray, LiveArraysNeverShareAndTheLargerBlockIsKept) {
  std::thread([] {
    const std::int32_t* big = nullptr;
    {
      BigArray<std::int32_t> large(1 << 20), small(1000);
      ASSERT_NE(small.data(), large.data());
      big = large.data();
    }  // large is released after small: it replaces the smaller kept block
    BigArray<std::int32_t> again(1 << 20);
    EXPECT_EQ(again.data(), big);
    BigArray<std::int32_t> other(1 << 20);
    EXPECT_NE(other.data(), again.data());
  }).join();
}

TEST(BigArray, BlocksAboveTheReuseLimitAreNotKept) {
  std::thread([] {
    const std::size_t n = kMallocReuseLimit / sizeof(std::uint8_t) + 1;
    const std::uint8_t* huge = nullptr;
    {
      BigArray<std::uint8_t> a(n);
      ASSERT_FALSE(a.empty());
      huge = a.data();
      a.data()[n - 1] = 1;
    }
    BigArray<std::uint8_t> b(1000);
    EXPECT_NE(b.data(), huge);
  }).join();
}

}  // namespace
