#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codestream/bitio.hpp"
#include "codestream/tagtree.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

TagTree tree(std::uint64_t w, std::uint64_t h, std::uint8_t fill) {
  auto t = TagTree::make(w, h, fill);
  EXPECT_TRUE(t.has_value());
  return t ? std::move(*t) : TagTree{};
}

std::vector<std::uint8_t> bits_of(const char* text) {
  std::vector<std::uint8_t> out;
  HeaderBitWriter w(out);
  for (const char* c = text; *c; ++c) {
    if (*c == '0' || *c == '1') w.put_bit(*c == '1');
  }
  w.flush();
  return out;
}

}  // namespace

TEST(TagTree, LevelShapes) {
  const TagTree one = tree(1, 1, 9);
  ASSERT_EQ(one.levels(), 2u);
  EXPECT_EQ(one.value(0, 0, 0), 9);
  EXPECT_EQ(one.value(1, 0, 0), 0);

  const TagTree row = tree(4, 1, 0);
  ASSERT_EQ(row.levels(), 4u);
  const std::uint64_t widths[] = {4, 2, 1, 1};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(row.level_width(k), widths[k]);
    EXPECT_EQ(row.level_height(k), 1u);
  }

  const TagTree odd = tree(5, 3, 0);
  ASSERT_EQ(odd.levels(), 5u);  // 5x3, 3x2, 2x1, 1x1, top
  EXPECT_EQ(odd.level_width(1), 3u);
  EXPECT_EQ(odd.level_height(1), 2u);
  EXPECT_EQ(odd.level_width(2), 2u);
  EXPECT_EQ(odd.level_height(2), 1u);
}

TEST(TagTree, ReduceTakesTheMinimumOfExistingChildren) {
  TagTree t = tree(3, 3, 255);
  for (std::uint64_t y = 0; y < 3; ++y)
    for (std::uint64_t x = 0; x < 3; ++x) t.set_leaf(x, y, 0);
  t.set_leaf(2, 2, 1);
  t.reduce();
  ASSERT_EQ(t.levels(), 4u);
  EXPECT_EQ(t.value(1, 0, 0), 0);
  EXPECT_EQ(t.value(1, 1, 0), 0);
  EXPECT_EQ(t.value(1, 0, 1), 0);
  EXPECT_EQ(t.value(1, 1, 1), 1);
  EXPECT_EQ(t.value(2, 0, 0), 0);
  EXPECT_EQ(t.value(3, 0, 0), 0);

  TagTree all = tree(3, 2, 7);
  all.reduce();
  EXPECT_EQ(all.value(1, 1, 0), 7);  // a node with a single existing child
  EXPECT_EQ(all.value(2, 0, 0), 7);  // the root
  EXPECT_EQ(all.value(3, 0, 0), 0);  // the node above the root
}

TEST(TagTree, RefusesANodeCountBeyondTheAddressSpace) {
  auto big = TagTree::make(std::uint64_t{1} << 40, std::uint64_t{1} << 40, 0);
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error().display(), "invalid argument: tag tree too large");
}

// T.800 B.10.2 known answers: a value is coded as (value - parent) zeros and
// a one on every not yet coded node of the path from the root.
TEST(TagTree, ValueCodingKnownAnswers) {
  {
    std::vector<std::uint8_t> out;
    HeaderBitWriter w(out);
    TagTree t = tree(1, 1, 3);
    t.reduce();
    t.encode_value(w, 0, 0);
    w.flush();
    EXPECT_EQ(out, bits_of("0001"));
  }
  {
    std::vector<std::uint8_t> out;
    HeaderBitWriter w(out);
    TagTree t = tree(2, 1, 0);
    t.set_leaf(0, 0, 2);
    t.set_leaf(1, 0, 3);
    t.reduce();
    t.encode_value(w, 0, 0);  // root 2: 001, leaf 2 - 2: 1
    t.encode_value(w, 1, 0);  // leaf 3 - 2: 01
    w.flush();
    EXPECT_EQ(out, bits_of("001 1 01"));
  }
  {
    // Inclusion with threshold 1 over 4 x 1 leaves 1 0 1 1: root 0 -> 1,
    // node (0) 0 -> 1, leaf 0 value 1 -> 0; leaf 1 -> 1; node (1) value 1 -> 0
    // and leaves 2 and 3 cost nothing.
    std::vector<std::uint8_t> out;
    HeaderBitWriter w(out);
    TagTree t = tree(4, 1, 1);
    t.set_leaf(1, 0, 0);
    t.reduce();
    EXPECT_FALSE(t.encode_inclusion(w, 0, 0));
    EXPECT_TRUE(t.encode_inclusion(w, 1, 0));
    EXPECT_FALSE(t.encode_inclusion(w, 2, 0));
    EXPECT_FALSE(t.encode_inclusion(w, 3, 0));
    w.flush();
    EXPECT_EQ(out, bits_of("110 1 0"));
  }
}

// Inclusion and value trees written leaf by leaf in raster order, as a packet
// header interleaves them, read back to the same answers and leaf values.
TEST(TagTree, RoundTripsRandomGrids) {
  std::mt19937 rng(1234);
  for (int trial = 0; trial < 400; ++trial) {
    const std::uint64_t w = 1 + rng() % 17, h = 1 + rng() % 17;
    const unsigned density = rng() % 5;
    const unsigned spread = 1 + rng() % 40;
    std::vector<std::uint8_t> inc(w * h), val(w * h);
    for (auto& v : inc) v = (rng() % 4) < density ? 0 : 1;
    for (auto& v : val) v = static_cast<std::uint8_t>(rng() % spread + (trial % 3 == 0 ? 200 : 0));

    TagTree ti = tree(w, h, 255), tv = tree(w, h, 255);
    for (std::uint64_t y = 0; y < h; ++y)
      for (std::uint64_t x = 0; x < w; ++x) {
        ti.set_leaf(x, y, inc[y * w + x]);
        tv.set_leaf(x, y, val[y * w + x]);
      }
    ti.reduce();
    tv.reduce();
    std::vector<std::uint8_t> out;
    HeaderBitWriter bw(out);
    for (std::uint64_t y = 0; y < h; ++y)
      for (std::uint64_t x = 0; x < w; ++x) {
        const bool in = ti.encode_inclusion(bw, x, y);
        EXPECT_EQ(in, inc[y * w + x] == 0);
        if (in) tv.encode_value(bw, x, y);
      }
    bw.flush();

    TagTree ri = tree(w, h, 0), rv = tree(w, h, 0);
    HeaderBitReader br(out, 0, 0);
    for (std::uint64_t y = 0; y < h; ++y)
      for (std::uint64_t x = 0; x < w; ++x) {
        auto in = ri.decode_inclusion(br, x, y);
        ASSERT_TRUE(in.has_value());
        ASSERT_EQ(*in, inc[y * w + x] == 0) << trial;
        if (*in) {
          auto v = rv.decode_value(br, x, y);
          ASSERT_TRUE(v.has_value());
          ASSERT_EQ(*v, val[y * w + x]) << trial;
        }
      }
    // Everything written was read, up to the padding of the last byte.
    EXPECT_EQ(br.position() + (br.last_was_ff() ? 1 : 0), out.size());

    // Walking the rows in runs, with dense and with sparse trees, reads the
    // same bits to the same answers, and every skipped leaf is excluded.
    auto runs = [&](auto& inclusion, auto& values) {
      HeaderBitReader rr(out, 0, 0);
      for (std::uint64_t y = 0; y < h; ++y)
        for (std::uint64_t x = 0; x < w;) {
          auto run = inclusion.decode_inclusion_run(rr, x, y);
          ASSERT_TRUE(run.has_value());
          if (*run != 0) {
            ASSERT_GT(*run, x);
            for (; x < std::min(*run, w); ++x) ASSERT_NE(inc[y * w + x], 0) << trial;
            continue;
          }
          ASSERT_EQ(inc[y * w + x], 0) << trial;
          auto v = values.decode_value(rr, x, y);
          ASSERT_TRUE(v.has_value());
          ASSERT_EQ(*v, val[y * w + x]) << trial;
          ++x;
        }
      EXPECT_EQ(rr.position(), br.position()) << trial;
    };
    TagTree di = tree(w, h, 0), dv = tree(w, h, 0);
    runs(di, dv);
    SparseTagTree si, sv;
    ASSERT_TRUE(si.reset(w, h).has_value());
    ASSERT_TRUE(sv.reset(w, h).has_value());
    runs(si, sv);
  }
}

TEST(TagTree, DecodedValuesSaturateAt255) {
  // 300 zeros then a one on a 1 x 1 tree.
  std::vector<std::uint8_t> out;
  HeaderBitWriter w(out);
  for (int i = 0; i < 300; ++i) w.put_bit(0);
  w.put_bit(1);
  w.flush();
  TagTree t = tree(1, 1, 0);
  HeaderBitReader r(out, 0, 0);
  auto v = t.decode_value(r, 0, 0);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, 255);
}

TEST(TagTree, ReadingPastTheDataIsTruncation) {
  const std::vector<std::uint8_t> zeros(3, 0x00);
  TagTree t = tree(2, 2, 0);
  HeaderBitReader r(zeros, 0, 40);
  auto v = t.decode_value(r, 1, 1);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().display(), "malformed codestream at byte 43: packet header truncated");
}
