// HT block encoder: known answers, argument checks, stream-level properties
// of the cleanup segment and round trips through the block decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "htj2k/block/encode.hpp"

namespace varnel::htj2k {
namespace {

std::vector<std::uint8_t> encode_ok(const std::vector<std::uint32_t>& s, std::size_t w,
                                    std::size_t h, std::uint32_t mm) {
  auto r = encode_block(s, w, h, w, mm);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return r ? *r : std::vector<std::uint8_t>{};
}

TEST(BlockEncode, WorkedExampleOneByOne) {
  // Magnitude 2 with p = 1: mu = 1, positive.
  EXPECT_EQ(encode_ok({2}, 1, 1, 29), (std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00}));
}

}  // namespace
}  // namespace varnel::htj2k
