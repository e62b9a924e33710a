// The streamed decode (run_decode_rows: the coarsest LL band and one strip
// of high-pass code-blocks per level, never a plane) against the plane
// decode (run_decode), over sizes, level counts, code-block shapes and
// resolutions; its workspace; and the chunk decode of every dtype, which
// goes through it, at extreme values and every level count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <random>
#include <vector>

#include "codestream/decode_plan.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/dtype.hpp"
#include "core/plane.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Samples = std::vector<std::int32_t>;

Bytes encode_plane(const Samples& s, std::size_t w, std::size_t h, std::uint8_t levels,
                   std::uint16_t block_w, std::uint16_t block_h, std::uint8_t depth = 12) {
  EncodeParams p;
  p.levels = levels;
  p.block_width = block_w;
  p.block_height = block_h;
  const CoeffPlane planes[1] = {*CoeffPlane::make(s, w, h)};
  auto r = encode_image_with_depth(planes, depth, true, p);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r ? *r : Bytes{};
}

// The rows run_decode_rows hands to its sink, in order, from a workspace
// that starts out as garbage (a read of a sample never written would show).
Samples streamed(const Codestream& cs, const DecodePlan& plan) {
  struct Collect {
    Samples rows;
    std::size_t width, next_y = 0;
    bool in_order = true;
  } c{{}, plan.width};
  const htj2k::RowSink sink{&c, [](void* ctx, std::size_t y, const std::int32_t* row) {
    auto& c = *static_cast<Collect*>(ctx);
    c.in_order = c.in_order && y == c.next_y++;
    c.rows.insert(c.rows.end(), row, row + c.width);
    return true;
  }};
  Samples workspace(rows_workspace_samples(plan), 0x7EADBEEF);
  auto r = run_decode_rows(cs, plan, workspace, sink);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  EXPECT_TRUE(c.in_order && c.next_y == plan.height);
  return c.rows;
}

Samples whole(const Codestream& cs, const DecodePlan& plan) {
  Samples plane(plan.width * plan.height, 0x7EADBEEF);
  const std::span<std::int32_t> views[1] = {plane};
  auto r = run_decode(cs, plan, views, false);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return plane;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> out(1);
  for (char c : line) {
    if (c == '\t')
      out.emplace_back();
    else
      out.back().push_back(c);
  }
  return out;
}

struct Case {
  std::size_t w, h;
  std::uint16_t block_w, block_h;
};

}  // namespace

// Every resolution of every level count, on planes of 1 row or column,
// odd and even sizes, and code-blocks from 4 rows to 1024 (so a strip is a
// fraction of a band, a whole band, or taller than it).
TEST(DecodeRows, GivesThePlaneDecodeAtEveryResolution) {
  std::mt19937 rng(5);
  const Case cases[] = {{1, 1, 64, 64},   {1, 37, 64, 64},   {37, 1, 64, 64},  {2, 2, 4, 4},
                        {5, 3, 4, 4},     {33, 65, 16, 8},   {64, 64, 64, 64}, {65, 130, 32, 4},
                        {130, 67, 4, 32}, {257, 19, 1024, 4}, {19, 257, 4, 1024}, {200, 150, 8, 8}};
  for (const Case& c : cases) {
    Samples noisy(c.w * c.h);
    for (auto& v : noisy) v = static_cast<std::int32_t>(rng() % 4096) - 2048;
    // Runs of zeros leave whole code-blocks uncoded, in strips and across
    // them; a constant plane leaves every high-pass block uncoded, in
    // windows that run down across bands.
    for (std::size_t y = c.h / 3; y < c.h / 2; ++y)
      std::fill_n(noisy.begin() + static_cast<std::ptrdiff_t>(y * c.w), c.w, 0);
    for (const Samples& s : {noisy, Samples(c.w * c.h, 1000)})
    for (std::uint8_t levels : {0, 1, 2, 3, 5, 8, 32}) {
      const Bytes coded = encode_plane(s, c.w, c.h, levels, c.block_w, c.block_h);
      auto cs = Codestream::parse(coded);
      ASSERT_TRUE(cs) << cs.error().display();
      for (unsigned target = 0; target <= levels; ++target) {
        auto plan = plan_decode(*cs, static_cast<std::uint8_t>(target));
        ASSERT_TRUE(plan) << plan.error().display();
        const Samples expected = whole(*cs, *plan);
        ASSERT_EQ(streamed(*cs, *plan), expected)
            << c.w << "x" << c.h << " blocks " << c.block_w << "x" << c.block_h << " L"
            << int(levels) << " resolution " << target;
        if (target == levels) {
          ASSERT_EQ(expected, s);
        }
      }
    }
  }
}

// The largest M_b of the high-pass blocks of a full-resolution plan, of
// level 0 only or of every level.
unsigned high_pass_magb(const DecodePlan& plan, bool finest) {
  unsigned most = 0;
  for (const BlockJob& job : plan.jobs) {
    const std::size_t x = job.window.plane % plan.width, y = job.window.plane / plan.width;
    const bool level0 = x >= (plan.width + 1) / 2 || y >= (plan.height + 1) / 2;
    if (level0 || !finest)
      most = std::max<unsigned>(most, job.magb);
  }
  return most;
}

// A level's strip is 16-bit while its bands have M_b <= 15. The writer's
// high-pass bands have M_b = depth + 1 at level 0 and depth + 2 above, the
// LL band depth + 1 (T.800 Annex E gains), so signed depth 13 is 16-bit throughout, 14 at level 0 only (the
// levels above it 32-bit), 15 nowhere. Extreme patterns on both sides of
// that switch (a checkerboard of the range's ends, whose HH coefficients
// are the largest; impulses of the extreme values at a strip's edge rows
// 63, 64, 65; noise), odd sizes, every resolution.
TEST(DecodeRows, SixteenBitStripsAtTheirSwitchPoint) {
  enum class Pattern { checkerboard, impulses, noise };
  struct Case {
    std::uint8_t depth;
    bool finest_narrow, all_narrow;
  };
  const Case cases[] = {{8, true, true},    {12, true, true},   {13, true, true},
                        {14, true, false},  {15, false, false}, {17, false, false}};
  std::mt19937 rng(11);
  for (const Case& c : cases)
    for (Pattern pattern : {Pattern::checkerboard, Pattern::impulses, Pattern::noise})
      for (auto [w, h] : {std::pair{131uz, 130uz}, {260, 197}}) {
        const std::int32_t lo = -(1 << (c.depth - 1)), hi = (1 << (c.depth - 1)) - 1;
        Samples s(w * h, 0);
        for (std::size_t y = 0; y < h; ++y)
          for (std::size_t x = 0; x < w; ++x) {
            std::int32_t& v = s[y * w + x];
            if (pattern == Pattern::checkerboard) v = (x + y) % 2 ? hi : lo;
            if (pattern == Pattern::noise) v = lo + static_cast<std::int32_t>(rng() % (std::uint32_t(hi - lo) + 1));
            if (pattern == Pattern::impulses && x % 2 == 1 && (y == 63 || y == 65 || y == 127))
              v = x % 4 == 1 ? hi : lo;
            if (pattern == Pattern::impulses && y == 64 && x % 3 == 0) v = lo;
          }
        const Bytes coded = encode_plane(s, w, h, 3, 64, 64, c.depth);
        auto cs = Codestream::parse(coded);
        ASSERT_TRUE(cs) << cs.error().display();
        for (unsigned target = 0; target <= 3; ++target) {
          auto plan = plan_decode(*cs, static_cast<std::uint8_t>(target));
          ASSERT_TRUE(plan) << plan.error().display();
          const Samples expected = whole(*cs, *plan);
          ASSERT_EQ(streamed(*cs, *plan), expected)
              << "depth " << int(c.depth) << " pattern " << int(pattern) << " " << w << "x" << h
              << " resolution " << target;
          if (target == 3) {
            EXPECT_EQ(high_pass_magb(*plan, true) <= 15, c.finest_narrow) << "depth " << int(c.depth);
            if (pattern == Pattern::noise) {  // every block coded, at every level
              EXPECT_EQ(high_pass_magb(*plan, false) <= 15, c.all_narrow) << "depth " << int(c.depth);
            }
            ASSERT_EQ(expected, s) << "depth " << int(c.depth) << " pattern " << int(pattern);
          }
        }
      }
}

// The workspace is the coarsest LL band plus, per level, a row of 64-row
// code-blocks of its high-pass bands, in 16-bit coefficients when they fit
// (two to a workspace sample): a twentieth of a large plane with five
// levels, and never more than the plane.
TEST(DecodeRows, WorkspaceIsTheCoarsestBandAndARowOfBlocksPerLevel) {
  for (auto [w, h, levels] : {std::tuple{2048uz, 2048uz, 5}, {1000, 3000, 2}, {3, 2, 1},
                              {1, 1, 4}, {7, 9, 0}}) {
    std::mt19937 rng(3);
    Samples s(w * h);
    for (auto& v : s) v = static_cast<std::int32_t>(rng() % 4096) - 2048;  // every block coded
    const Bytes coded = encode_plane(s, w, h, static_cast<std::uint8_t>(levels), 64, 64);
    auto cs = Codestream::parse(coded);
    ASSERT_TRUE(cs);
    auto plan = plan_decode(*cs, 255);
    ASSERT_TRUE(plan);
    std::size_t wk = w, hk = h, strips = 0;
    for (int k = 0; k < levels && (wk > 1 || hk > 1); ++k) {
      const std::size_t rows = std::min<std::size_t>(64, hk - hk / 2);
      strips += (rows * (wk / 2) + 1) / 2 + (rows * wk + 1) / 2;  // 12-bit noise: 16-bit strips
      wk -= wk / 2;
      hk -= hk / 2;
    }
    EXPECT_EQ(rows_workspace_samples(*plan), wk * hk + strips) << w << "x" << h;
    if (w * h >= 2048 * 2048) {
      EXPECT_LE(rows_workspace_samples(*plan), w * h / 20);
    }
    EXPECT_LE(rows_workspace_samples(*plan), std::max<std::size_t>(w * h, 1));
    // A workspace one sample short is refused before anything is decoded.
    Samples short_one(rows_workspace_samples(*plan) - 1);
    const htj2k::RowSink never{nullptr, [](void*, std::size_t, const std::int32_t*) {
      ADD_FAILURE() << "row taken";
      return false;
    }};
    EXPECT_FALSE(run_decode_rows(*cs, *plan, short_one, never).has_value());
  }
}

// Chunks of every dtype, at its extreme values and every level count up to
// beyond the plane's size, through the streamed chunk decode, full and
// reduced (a reduced plane of constant samples is that constant).
TEST(DecodeRows, ChunksOfEveryDtypeAtEveryLevelCount) {
  const ElementType types[] = {ElementType::U8, ElementType::I8, ElementType::U16,
                               ElementType::I16, ElementType::U32, ElementType::I32};
  std::mt19937 rng(7);
  for (ElementType t : types) {
    const std::int64_t lo = std::max<std::int64_t>(element_min(t), -(std::int64_t{1} << 24));
    const std::int64_t hi = std::min<std::int64_t>(element_max(t), std::int64_t{1} << 24);
    for (auto [h, w] : {std::pair{1uz, 1uz}, {1, 70}, {70, 1}, {67, 129}, {130, 66}}) {
      const std::vector<std::uint64_t> shape{h, w};
      Bytes chunk(h * w * element_size(t));
      for (std::size_t i = 0; i < h * w; ++i) {
        const std::int64_t v = i % 5 == 0 ? lo : i % 5 == 1 ? hi
                             : lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
        std::memcpy(chunk.data() + i * element_size(t), &v, element_size(t));
      }
      for (std::uint8_t levels : {0, 1, 2, 3, 4, 5, 6, 7, 8, 32}) {
        zarr::Htj2kConfig config;
        config.xy_levels = levels;
        auto coded = zarr::encode_chunk(chunk, shape, t, config);
        ASSERT_TRUE(coded) << coded.error().display();
        auto back = zarr::decode_chunk(*coded, shape, t);
        ASSERT_TRUE(back) << back.error().display();
        ASSERT_EQ(*back, chunk) << element_name(t) << " " << h << "x" << w << " L" << int(levels);
      }
      Bytes flat(h * w * element_size(t));
      for (std::size_t i = 0; i < h * w; ++i) std::memcpy(flat.data() + i * element_size(t), &hi, element_size(t));
      zarr::Htj2kConfig config;
      config.xy_levels = 3;
      auto coded = zarr::encode_chunk(flat, shape, t, config);
      ASSERT_TRUE(coded);
      for (std::uint8_t reduce = 0; reduce <= 3; ++reduce) {
        auto back = zarr::decode_chunk_reduced(*coded, shape, t, reduce);
        ASSERT_TRUE(back) << back.error().display() << " " << element_name(t) << " " << h << "x"
                          << w << " reduce " << int(reduce);
        const std::size_t n = codestream::halved(h, reduce) * codestream::halved(w, reduce);
        ASSERT_EQ(*back, Bytes(flat.begin(), flat.begin() + static_cast<std::ptrdiff_t>(n * element_size(t))))
            << element_name(t) << " reduce " << int(reduce);
      }
    }
  }
}

// The conformance codestreams of the supported subset (other encoders'
// code-block sizes, precincts and styles), one component at a time through
// the streamed decode, against the plane decode at every resolution.
TEST(DecodeRows, ConformanceCodestreamsGiveThePlaneDecode) {
  const std::string dir = std::string(VARNEL_SOURCE_DIR) + "/tests/data/htj2k-conformance/";
  std::ifstream manifest(dir + "MANIFEST.tsv");
  std::string line;
  std::getline(manifest, line);
  const std::vector<std::string> header = split_tabs(line);
  const auto column = [&](const std::string& name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t file = column("file"), in_subset = column("in_subset");
  int checked = 0;
  while (std::getline(manifest, line)) {
    const std::vector<std::string> cells = split_tabs(line);
    if (cells.size() <= std::max(file, in_subset) || cells[in_subset] != "yes") continue;
    SCOPED_TRACE(cells[file]);
    std::ifstream f(dir + cells[file], std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(f), {}};
    auto cs = Codestream::parse(bytes);
    ASSERT_TRUE(cs) << cs.error().display();
    if (cs->siz.components.size() != 1) continue;
    for (unsigned target = 0; target <= cs->cod.levels; ++target) {
      auto plan = plan_decode(*cs, static_cast<std::uint8_t>(target));
      ASSERT_TRUE(plan) << plan.error().display();
      ASSERT_EQ(streamed(*cs, *plan), whole(*cs, *plan)) << "resolution " << target;
    }
    ++checked;
  }
  EXPECT_GT(checked, 5);
}
