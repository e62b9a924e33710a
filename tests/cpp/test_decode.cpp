// Writer -> parser -> decode round trips over sizes, depths, levels and
// progressions; reduced resolutions; malformed input never crashes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"
#include "htj2k/dwt/dwt.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::int32_t> random_plane(std::size_t n, std::uint8_t depth, bool is_signed,
                                       std::mt19937& rng, bool smooth = false) {
  const std::int64_t lo = is_signed ? -(std::int64_t{1} << (depth - 1)) : 0;
  const std::int64_t hi = is_signed ? (std::int64_t{1} << (depth - 1)) - 1 : (std::int64_t{1} << depth) - 1;
  std::uniform_int_distribution<std::int64_t> d(lo, hi);
  std::vector<std::int32_t> v(n);
  std::int64_t walk = (lo + hi) / 2;
  for (auto& x : v) {
    if (smooth) {
      walk = std::clamp<std::int64_t>(walk + d(rng) % 7 - 3, lo, hi);
      x = static_cast<std::int32_t>(walk);
    } else {
      x = static_cast<std::int32_t>(d(rng));
    }
  }
  return v;
}

Bytes encode1(const std::vector<std::int32_t>& s, std::size_t w, std::size_t h, std::uint8_t depth,
              bool is_signed, std::uint8_t levels, std::uint8_t prog, bool index) {
  EncodeParams p;
  p.levels = levels;
  p.progression = prog;
  p.index = index;
  const CoeffPlane planes[1] = {*CoeffPlane::make(s, w, h)};
  auto r = encode_image_with_depth(planes, depth, is_signed, p);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r ? *r : Bytes{};
}

DecodedImage decode(const Bytes& b, std::uint8_t target = 255) {
  auto cs = Codestream::parse(b);
  EXPECT_TRUE(cs.has_value()) << cs.error().display();
  if (!cs) return {};
  auto img = cs->decode_to_resolution(target);
  EXPECT_TRUE(img.has_value()) << img.error().display();
  return img ? std::move(*img) : DecodedImage{};
}

}  // namespace

TEST(Decode, round_trips_sizes_levels_progressions) {
  std::mt19937 rng(1234);
  const std::pair<std::size_t, std::size_t> sizes[] = {
      {1, 1}, {1, 17}, {23, 1}, {2, 2}, {3, 5}, {7, 13}, {31, 29}, {64, 64}, {65, 63},
      {127, 131}, {200, 3}, {1, 300}, {257, 129}};
  for (auto [w, h] : sizes) {
    for (std::uint8_t levels : {0, 1, 2, 3, 5, 8}) {
      const std::uint8_t prog = static_cast<std::uint8_t>((w + h + levels) % 5);
      const bool index = (w + levels) % 2 == 0;
      const auto s = random_plane(w * h, 8, false, rng, levels % 2 == 1);
      const auto img = decode(encode1(s, w, h, 8, false, levels, prog, index));
      ASSERT_EQ(img.components.size(), 1u);
      EXPECT_EQ(img.width, w);
      EXPECT_EQ(img.height, h);
      EXPECT_EQ(img.components[0], s) << w << "x" << h << " levels " << int(levels);
    }
  }
}

TEST(Decode, round_trips_depths_and_signedness) {
  std::mt19937 rng(99);
  struct Case { std::uint8_t depth; bool is_signed; std::uint8_t levels; };
  const Case cases[] = {{1, false, 3}, {1, true, 2}, {2, false, 5}, {7, true, 5}, {8, true, 5},
                        {12, false, 5}, {16, false, 5}, {16, true, 6}, {20, true, 4},
                        {27, false, 6}, {27, true, 8}, {28, true, 5}, {29, false, 1}, {30, true, 0}};
  for (const Case& c : cases) {
    for (bool smooth : {false, true}) {
      const std::size_t w = 45, h = 38;
      const auto s = random_plane(w * h, c.depth, c.is_signed, rng, smooth);
      const auto img = decode(encode1(s, w, h, c.depth, c.is_signed, c.levels, 2, true));
      ASSERT_EQ(img.components.size(), 1u);
      EXPECT_EQ(img.components[0], s) << int(c.depth) << (c.is_signed ? " signed" : "");
    }
  }
}

TEST(Decode, extreme_values_round_trip) {
  // Largest magnitudes at the K_max bound: alternating extremes.
  for (auto [depth, levels] : {std::pair<int, int>{30, 0}, {29, 1}, {28, 5}, {27, 9}}) {
    for (bool is_signed : {false, true}) {
      const std::int64_t lo = is_signed ? -(std::int64_t{1} << (depth - 1)) : 0;
      const std::int64_t hi = is_signed ? (std::int64_t{1} << (depth - 1)) - 1 : (std::int64_t{1} << depth) - 1;
      std::vector<std::int32_t> s(33 * 17);
      for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::int32_t>(((i / 33 + i) % 2) ? hi : lo);
      const auto img = decode(encode1(s, 33, 17, static_cast<std::uint8_t>(depth), is_signed,
                                      static_cast<std::uint8_t>(levels), 1, false));
      ASSERT_EQ(img.components.size(), 1u);
      EXPECT_EQ(img.components[0], s) << depth << " " << levels;
    }
  }
}

TEST(Decode, round_trips_large_plane_and_all_progressions) {
  std::mt19937 rng(7);
  const std::size_t w = 2048, h = 2048;
  const auto s = random_plane(w * h, 12, false, rng, true);
  for (std::uint8_t prog : {0, 2, 4}) {
    const auto img = decode(encode1(s, w, h, 12, false, 5, prog, prog == 2));
    ASSERT_EQ(img.components.size(), 1u);
    EXPECT_TRUE(img.components[0] == s) << int(prog);
  }
}

TEST(Decode, several_components) {
  std::mt19937 rng(5);
  const std::size_t w = 70, h = 33;
  std::vector<std::vector<std::int32_t>> data;
  for (int c = 0; c < 4; ++c) data.push_back(random_plane(w * h, 10, true, rng, c % 2 == 0));
  std::vector<CoeffPlane> planes;
  for (auto& d : data) planes.push_back(*CoeffPlane::make(d, w, h));
  for (std::uint8_t prog = 0; prog < 5; ++prog) {
    EncodeParams p;
    p.levels = 3;
    p.progression = prog;
    auto bytes = encode_image_with_depth(planes, 10, true, p);
    ASSERT_TRUE(bytes.has_value());
    const auto img = decode(*bytes);
    ASSERT_EQ(img.components.size(), 4u);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(img.components[c], data[c]) << int(prog) << " " << c;
  }
}

TEST(Decode, reduced_resolution_is_the_low_pass_of_the_transform) {
  // At resolution H the decoder returns the LL band of N_L - H levels of
  // the forward transform (plus the DC shift), so compare with that.
  std::mt19937 rng(11);
  const std::size_t w = 97, h = 61;
  const auto s = random_plane(w * h, 8, true, rng, true);
  for (std::uint8_t prog : {0, 1, 2, 3, 4}) {
    const Bytes bytes = encode1(s, w, h, 8, true, 4, prog, true);
    for (std::uint8_t target = 0; target <= 4; ++target) {
      std::vector<std::int32_t> t = s;
      ASSERT_TRUE(htj2k::forward_53(t, w, h, static_cast<std::uint8_t>(4 - target)).has_value());
      std::size_t ww = w, hh = h;
      for (int k = 0; k < 4 - target; ++k) ww = (ww + 1) / 2, hh = (hh + 1) / 2;
      std::vector<std::int32_t> want;
      for (std::size_t y = 0; y < hh; ++y)
        for (std::size_t x = 0; x < ww; ++x) want.push_back(t[y * w + x]);
      const auto img = decode(bytes, target);
      EXPECT_EQ(img.width, ww);
      EXPECT_EQ(img.height, hh);
      ASSERT_EQ(img.components.size(), 1u);
      EXPECT_EQ(img.components[0], want) << int(prog) << " target " << int(target);
    }
  }
}

TEST(Decode, clamps_unsigned_after_the_dc_shift) {
  // A codestream whose reconstruction leaves the 8-bit range: write signed
  // 9-bit samples, then mark the component unsigned 8-bit in SIZ.
  std::vector<std::int32_t> s = {-130 - 128, 200, 0, -1};  // before the +128 shift
  Bytes b = encode1({-258 + 128 + 2, 200, 0, -1}, 2, 2, 9, true, 1, 2, false);
  (void)s;
  auto cs = Codestream::parse(b);
  ASSERT_TRUE(cs.has_value());
  // SIZ Ssiz of component 0 sits at SOC(2) + marker/length(4) + 36.
  ASSERT_EQ(b[2 + 4 + 36], 0x88);
  b[2 + 4 + 36] = 0x07;  // unsigned, depth 8
  auto img = decode(b);
  ASSERT_EQ(img.components.size(), 1u);
  // -128 + 128 = 0; 200 + 128 -> 255; 0 + 128; -1 + 128.
  EXPECT_EQ(img.components[0], (std::vector<std::int32_t>{0, 255, 128, 127}));
}

TEST(Decode, refuses_truncated_bodies) {
  std::mt19937 rng(3);
  const auto s = random_plane(40 * 40, 8, false, rng);
  Bytes b = encode1(s, 40, 40, 8, false, 2, 2, false);
  auto cs = Codestream::parse(b);
  ASSERT_TRUE(cs.has_value());
  // Shorten the tile-part: move EOC earlier and patch Psot.
  const TilePart tp = cs->tile_parts[0];
  const std::size_t cut = tp.body_start + (tp.body_end - tp.body_start) / 2;
  Bytes t(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(cut));
  t.push_back(0xFF);
  t.push_back(0xD9);
  const std::uint32_t psot = static_cast<std::uint32_t>(cut - tp.sot_offset);
  for (int i = 0; i < 4; ++i) t[tp.sot_offset + 6 + i] = static_cast<std::uint8_t>(psot >> (24 - 8 * i));
  auto ts = Codestream::parse(t);
  ASSERT_TRUE(ts.has_value()) << ts.error().display();
  auto img = ts->decode_to_resolution(255);
  ASSERT_FALSE(img.has_value());
  EXPECT_EQ(img.error().kind, ErrorKind::Malformed);
  EXPECT_TRUE(img.error().message == "packet body truncated" ||
              img.error().message == "packet header truncated")
      << img.error().message;
}

TEST(Decode, huge_declared_size_fails_cleanly) {
  // A 1x1 codestream whose SIZ is patched to 2^32-1 x 2^32-1: the packet
  // walk runs out of data before anything of that size is allocated.
  Bytes b = encode1({5}, 1, 1, 8, false, 5, 2, false);
  for (std::size_t off : {2 + 4 + 2, 2 + 4 + 6, 2 + 4 + 18, 2 + 4 + 22})
    for (int i = 0; i < 4; ++i) b[off + i] = 0xFF;
  auto cs = Codestream::parse(b);
  ASSERT_TRUE(cs.has_value()) << cs.error().display();
  for (std::uint8_t target : {0, 3, 5}) {
    auto img = cs->decode_to_resolution(target);
    ASSERT_FALSE(img.has_value());
    EXPECT_NE(img.error().kind, ErrorKind::InvalidArgument) << img.error().display();
  }
  for (std::uint8_t prog : {0, 3, 4}) {
    cs->cod.progression = prog;
    EXPECT_FALSE(cs->decode_to_resolution(5).has_value());
  }
}

TEST(Decode, bit_flips_and_truncations_never_crash) {
  std::mt19937 rng(2024);
  std::vector<Bytes> streams;
  {
    const auto s = random_plane(37 * 29, 12, false, rng, true);
    streams.push_back(encode1(s, 37, 29, 12, false, 3, 2, true));
    const auto t = random_plane(64 * 70, 8, true, rng);
    streams.push_back(encode1(t, 64, 70, 8, true, 5, 4, true));
  }
  std::size_t decoded = 0, failed = 0;
  for (const Bytes& good : streams) {
    for (std::size_t n = 0; n < good.size(); n += 1 + n / 50) {
      Bytes t(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
      auto cs = Codestream::parse(t);
      if (cs) (void)cs->decode_to_resolution(255);
    }
    std::uniform_int_distribution<std::size_t> at(0, good.size() - 1);
    for (int trial = 0; trial < 3000; ++trial) {
      Bytes t = good;
      const int flips = 1 + trial % 3;
      for (int f = 0; f < flips; ++f) t[at(rng)] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      auto cs = Codestream::parse(t);
      if (!cs) { ++failed; continue; }
      (void)cs->packet_index();
      auto img = cs->decode_to_resolution(static_cast<std::uint8_t>(trial % 7));
      img ? ++decoded : ++failed;
    }
    for (int trial = 0; trial < 300; ++trial) {
      Bytes t(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
      for (std::size_t i = 200; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(rng());
      auto cs = Codestream::parse(t);
      if (cs) (void)cs->decode_to_resolution(255);
    }
  }
  EXPECT_GT(decoded + failed, 0u);
}

TEST(Decode, planes_wider_than_one_maximal_precinct) {
  // 70000 samples: three precincts of 2^15 at full resolution, two at the
  // next; the packets follow the precinct grid in every progression.
  std::mt19937 rng(77);
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{70000, 3}, {2, 70000}}) {
    const auto s = random_plane(w * h, 8, false, rng, true);
    for (std::uint8_t prog = 0; prog < 5; ++prog) {
      const Bytes b = encode1(s, w, h, 8, false, 2, prog, true);
      auto cs = Codestream::parse(b);
      ASSERT_TRUE(cs.has_value());
      auto idx = cs->packet_index();
      ASSERT_TRUE(idx.has_value()) << idx.error().display();
      EXPECT_EQ(idx->size(), 1u + 2u + 3u);
      const auto img = decode(b);
      ASSERT_EQ(img.components.size(), 1u);
      EXPECT_TRUE(img.components[0] == s) << int(prog);
      const auto low = decode(b, 1);
      EXPECT_EQ(low.width, (w + 1) / 2);
    }
  }
}

TEST(Decode, packet_data_joined_across_tile_parts) {
  // The same tile cut into two tile-parts at an arbitrary body byte: the
  // packet walk reads the joined bodies.
  std::mt19937 rng(31);
  const auto s = random_plane(90 * 70, 10, false, rng, true);
  const Bytes b = encode1(s, 90, 70, 10, false, 3, 2, false);
  auto cs = Codestream::parse(b);
  ASSERT_TRUE(cs.has_value());
  const TilePart tp = cs->tile_parts[0];
  for (std::size_t cut : {tp.body_start + 1, (tp.body_start + tp.body_end) / 2, tp.body_end - 1}) {
    Bytes t(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(tp.sot_offset));
    auto tile_part = [&](std::size_t from, std::size_t to, std::uint8_t index) {
      const std::uint32_t psot = static_cast<std::uint32_t>(14 + to - from);
      t.insert(t.end(), {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, static_cast<std::uint8_t>(psot >> 24),
                         static_cast<std::uint8_t>(psot >> 16), static_cast<std::uint8_t>(psot >> 8),
                         static_cast<std::uint8_t>(psot), index, 2, 0xFF, 0x93});
      t.insert(t.end(), b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
    };
    tile_part(tp.body_start, cut, 0);
    tile_part(cut, tp.body_end, 1);
    t.insert(t.end(), {0xFF, 0xD9});
    auto two = Codestream::parse(t);
    ASSERT_TRUE(two.has_value()) << two.error().display();
    ASSERT_EQ(two->tile_parts.size(), 2u);
    const auto img = decode(t);
    ASSERT_EQ(img.components.size(), 1u);
    EXPECT_TRUE(img.components[0] == s) << cut;
  }
}

TEST(Decode, stops_after_the_last_packet_needed) {
  // Bytes after the last packet of resolution H are never read: garbling
  // them leaves a resolution-H decode of a resolution-major codestream
  // unchanged.
  std::mt19937 rng(8);
  const auto s = random_plane(120 * 90, 8, false, rng, true);
  for (std::uint8_t prog : {0, 1, 2}) {
    const Bytes b = encode1(s, 120, 90, 8, false, 4, prog, true);
    auto cs = Codestream::parse(b);
    auto idx = cs->packet_index();
    ASSERT_TRUE(idx.has_value());
    for (std::uint8_t target = 0; target < 4; ++target) {
      std::size_t end = 0;
      for (const PacketRef& p : *idx)
        if (p.resolution <= target) end = p.offset + p.length;
      Bytes t = b;
      for (std::size_t i = end; i + 2 < t.size(); ++i) t[i] = static_cast<std::uint8_t>(rng() | 0x80);
      const auto want = decode(b, target);
      const auto got = decode(t, target);
      EXPECT_EQ(got.components, want.components) << int(prog) << " " << int(target);
    }
  }
}

// Geometry far beyond the data: one row (or column) of 1 x 1 precincts
// across 2^24 or 2^32 - 1 samples, each precinct's packet needing a byte,
// behind a 3-byte body. Refused before the packets are walked; the walk
// itself would take one step per packet.
TEST(Decode, refuses_more_packets_than_the_data_holds) {
  for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{1u << 24, 1},
                             {1, 1u << 24}, {0xFFFFFFFFu, 1}, {0xFFFFFFFFu, 2}}) {
    for (std::uint8_t prog : {0, 1, 2}) {
      for (std::uint8_t levels : {0, 3}) {
        Bytes b = encode1({5}, 1, 1, 8, false, levels, prog, false);
        auto cs = Codestream::parse(b);
        ASSERT_TRUE(cs.has_value()) << cs.error().display();
        cs->siz.xsiz = cs->siz.xtsiz = w;
        cs->siz.ysiz = cs->siz.ytsiz = h;
        cs->cod.scod |= kScodPrecincts;
        cs->cod.precincts.assign(levels + 1u, PrecinctSize{1, 1});
        cs->cod.precincts[0] = {0, 0};
        for (std::uint8_t target : {std::uint8_t{0}, levels}) {
          auto img = cs->decode_to_resolution(target);
          ASSERT_FALSE(img.has_value());
          EXPECT_EQ(img.error().kind, ErrorKind::Malformed) << img.error().display();
          EXPECT_EQ(img.error().message, "packet data too short for the declared packets");
        }
      }
    }
  }
}
