#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codestream/geometry.hpp"

using namespace varnel::codestream;

TEST(Geometry, HalvesRoundingUp) {
  EXPECT_EQ(halved(5, 1), 3u);
  EXPECT_EQ(halved(5, 2), 2u);
  EXPECT_EQ(halved(5, 10), 1u);
  EXPECT_EQ(halved(0, 3), 0u);
  EXPECT_EQ(halved(1, 40), 1u);
  EXPECT_EQ(halved(UINT64_MAX, 1), std::uint64_t{1} << 63);
  EXPECT_EQ(halved(UINT64_MAX, 64), 1u);
}

TEST(Geometry, BandsOfFiveByThreeOneLevel) {
  const auto detail = bands_of_resolution(5, 3, 1, 1);
  ASSERT_EQ(detail.size(), 3u);
  EXPECT_EQ(detail[0], (Band{3, 0, 2, 2, 1, kHL}));
  EXPECT_EQ(detail[1], (Band{0, 2, 3, 1, 1, kLH}));
  EXPECT_EQ(detail[2], (Band{3, 2, 2, 1, 1, kHH}));
  const auto low = bands_of_resolution(5, 3, 1, 0);
  ASSERT_EQ(low.size(), 1u);
  EXPECT_EQ(low[0], (Band{0, 0, 3, 2, 0, kLL}));
}

TEST(Geometry, MoreLevelsThanTheSizeAllowsGivesEmptyBands) {
  for (std::uint8_t r = 1; r <= 2; ++r) {
    for (const Band& b : bands_of_resolution(1, 1, 2, r)) {
      EXPECT_TRUE(b.empty());
      EXPECT_EQ(BlockGrid::of(b, 64, 64).across * BlockGrid::of(b, 64, 64).down, 0u);
    }
  }
  const auto ll = bands_of_resolution(1, 1, 2, 0);
  EXPECT_EQ(ll[0], (Band{0, 0, 1, 1, 0, kLL}));
  // A 1 x n image: the horizontal detail bands are empty, the vertical are not.
  const auto tall = bands_of_resolution(1, 9, 1, 1);
  EXPECT_EQ(tall[0], (Band{1, 0, 0, 5, 1, kHL}));
  EXPECT_EQ(tall[1], (Band{0, 5, 1, 4, 1, kLH}));
  EXPECT_EQ(tall[2], (Band{1, 5, 0, 4, 1, kHH}));
}

TEST(Geometry, ResolutionAboveTheLevelsHasNoBands) {
  EXPECT_TRUE(bands_of_resolution(64, 64, 2, 3).empty());
  EXPECT_EQ(bands_of_resolution(64, 64, 0, 0)[0], (Band{0, 0, 64, 64, 0, kLL}));
}

// The bands of all resolutions tile the plane exactly once, and the bands of
// resolutions 0..r tile the top-left corner of the size of resolution r.
TEST(Geometry, BandsTileThePlaneForManySizes) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint64_t w = 1 + rng() % 70;
    const std::uint64_t h = 1 + rng() % 70;
    const auto levels = static_cast<std::uint8_t>(rng() % 9);
    std::vector<int> hits(w * h, 0);
    for (unsigned r = 0; r <= levels; ++r) {
      for (const Band& b : bands_of_resolution(w, h, levels, static_cast<std::uint8_t>(r))) {
        EXPECT_EQ(b.resolution, r);
        for (std::uint64_t y = b.y0; y < b.y0 + b.height; ++y)
          for (std::uint64_t x = b.x0; x < b.x0 + b.width; ++x) ++hits[y * w + x];
      }
      const std::uint64_t wr = halved(w, levels - r), hr = halved(h, levels - r);
      for (std::uint64_t y = 0; y < h; ++y)
        for (std::uint64_t x = 0; x < w; ++x)
          ASSERT_EQ(hits[y * w + x], (x < wr && y < hr) ? 1 : 0)
              << w << "x" << h << " levels " << int(levels) << " r " << r;
    }
  }
}

TEST(Geometry, BlockGridCutsTheLastColumnShort) {
  const BlockGrid g = BlockGrid::of(100, 64, 64, 64);
  EXPECT_EQ(g.across, 2u);
  EXPECT_EQ(g.down, 1u);
  EXPECT_EQ(g.block(0, 0), (BlockRect{0, 0, 64, 64}));
  EXPECT_EQ(g.block(1, 0), (BlockRect{64, 0, 36, 64}));
  const BlockGrid empty = BlockGrid::of(0, 50, 64, 64);
  EXPECT_EQ(empty.across, 0u);
  EXPECT_EQ(empty.down, 0u);
}

TEST(Geometry, BlockGridCoversEveryBandSample) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    const std::uint64_t w = 1 + rng() % 300, h = 1 + rng() % 300;
    const std::uint64_t cbw = std::uint64_t{1} << (2 + rng() % 5);
    const std::uint64_t cbh = std::uint64_t{1} << (2 + rng() % 5);
    const BlockGrid g = BlockGrid::of(w, h, cbw, cbh);
    EXPECT_EQ(g.across, (w + cbw - 1) / cbw);
    EXPECT_EQ(g.down, (h + cbh - 1) / cbh);
    std::uint64_t area = 0;
    for (std::uint64_t j = 0; j < g.down; ++j) {
      for (std::uint64_t i = 0; i < g.across; ++i) {
        const BlockRect r = g.block(i, j);
        EXPECT_GE(r.width, 1u);
        EXPECT_LE(r.width, cbw);
        EXPECT_LE(r.x0 + r.width, w);
        EXPECT_LE(r.y0 + r.height, h);
        area += r.width * r.height;
      }
    }
    EXPECT_EQ(area, w * h);
  }
}

TEST(Geometry, EffectiveBlockSideIsCappedByTheMaximalPrecinct) {
  EXPECT_EQ(effective_block_side(64, 0), 64u);
  EXPECT_EQ(effective_block_side(1024, 5), 1024u);
  EXPECT_EQ(effective_block_side(std::uint64_t{1} << 20, 0), std::uint64_t{1} << 15);
  EXPECT_EQ(effective_block_side(std::uint64_t{1} << 20, 1), std::uint64_t{1} << 14);
}
