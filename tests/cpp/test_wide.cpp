// The 64-bit datapath: the block coder against the 32-bit one, the 64-bit
// wavelet against the 32-bit one, the streamed 64-bit decode against the
// whole-plane one, and uint32 / int32 chunks of every extreme through the
// chunk driver at every level count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codestream/decode_plan.hpp"
#include "codestream/decode_wide.hpp"
#include "codestream/quant.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt.hpp"
#include "htj2k/dwt/dwt_wide.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Magnitudes below 2^magb with random signs, in one of four patterns.
enum class Fill { zero, max, alternating, random };

std::vector<std::int64_t> coefficients(std::size_t n, unsigned magb, Fill fill, unsigned seed) {
  std::mt19937_64 rng(seed);
  const std::int64_t top = (std::int64_t{1} << magb) - 1;
  std::vector<std::int64_t> c(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (fill) {
      case Fill::zero: c[i] = 0; break;
      case Fill::max: c[i] = top; break;
      case Fill::alternating: c[i] = i % 2 ? -top : top; break;
      case Fill::random:
        c[i] = static_cast<std::int64_t>(rng() >> (64 - magb));
        if (rng() & 1) c[i] = -c[i];
        break;
    }
  }
  return c;
}

std::vector<std::uint64_t> words_of(const std::vector<std::int64_t>& c, unsigned magb) {
  std::vector<std::uint64_t> w(c.size());
  for (std::size_t i = 0; i < c.size(); ++i)
    w[i] = (c[i] < 0 ? std::uint64_t{1} << 63 : 0) |
           static_cast<std::uint64_t>(c[i] < 0 ? -c[i] : c[i]) << (63 - magb);
  return w;
}

struct BlockShape {
  std::size_t w, h;
};
constexpr BlockShape kShapes[] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {64, 64}, {4, 1024}, {1024, 4}};

TEST(WideBlock, writes_the_32_bit_coders_bytes_where_both_apply) {
  for (unsigned magb : {1u, 7u, 16u, 30u})
    for (BlockShape s : kShapes)
      for (Fill f : {Fill::max, Fill::alternating, Fill::random}) {
        SCOPED_TRACE(testing::Message() << magb << " " << s.w << "x" << s.h << " " << int(f));
        const auto c = coefficients(s.w * s.h, magb, f, magb * 7 + unsigned(s.w));
        std::vector<std::uint32_t> narrow(c.size());
        for (std::size_t i = 0; i < c.size(); ++i)
          narrow[i] = (c[i] < 0 ? 1u << 31 : 0u) |
                      static_cast<std::uint32_t>(c[i] < 0 ? -c[i] : c[i]) << (31 - magb);
        auto expected = htj2k::encode_block(narrow, s.w, s.h, s.w, magb - 1);
        ASSERT_TRUE(expected) << expected.error().display();
        Bytes got;
        htj2k::WideBlockEncoder encoder;
        ASSERT_TRUE(encoder.encode(words_of(c, magb), s.w, s.h, s.w, magb - 1, got));
        EXPECT_EQ(got, *expected);
      }
}

// Up to the entry's bound, missing_msbs 61: MagSgn values of up to 63 bits,
// past what the stream writer takes in one put.
TEST(WideBlock, round_trips_every_extreme_up_to_62_bit_planes) {
  htj2k::WideBlockEncoder encoder;
  htj2k::WideBlockDecoder decoder;
  for (unsigned magb : {1u, 30u, 31u, 33u, 36u, 37u, 55u, 56u, 57u, 61u, 62u})
    for (BlockShape s : kShapes)
      for (Fill f : {Fill::zero, Fill::max, Fill::alternating, Fill::random}) {
        SCOPED_TRACE(testing::Message() << magb << " " << s.w << "x" << s.h << " " << int(f));
        const auto c = coefficients(s.w * s.h, magb, f, magb + unsigned(s.h));
        const auto words = words_of(c, magb);
        Bytes seg;
        auto lcup = encoder.encode(words, s.w, s.h, s.w, magb - 1, seg);
        ASSERT_TRUE(lcup) << lcup.error().display();
        // Decoded: (2 |c| + 1) << (p - 1) for p = 63 - magb, the half step
        // below the coded plane; |c| again once shifted down.
        std::vector<std::uint64_t> out(c.size() + 3, 0);
        auto r = decoder.decode(seg, out, s.w, s.h, s.w, magb - 1,
                                {static_cast<std::uint32_t>(*lcup), 0, 1}, false);
        ASSERT_TRUE(r) << r.error().display();
        for (std::size_t i = 0; i < c.size(); ++i)
          ASSERT_EQ(out[i] >> (63 - magb) << (63 - magb), words[i]) << i;
        EXPECT_EQ(out[c.size()], 0u);  // nothing past the window
      }
}

TEST(WideBlock, decodes_refinement_passes_as_the_32_bit_decoder) {
  // A 32-bit block coded down to plane 20 with random SigProp/MagRef bytes
  // after it: the 64-bit decoder at the same p (62 - 42 = 30 - 10) gives the
  // same magnitudes and signs.
  for (unsigned seed = 0; seed < 20; ++seed) {
    const BlockShape s = kShapes[seed % 5];
    const auto c = coefficients(s.w * s.h, 12, Fill::random, seed);
    std::vector<std::uint32_t> narrow(c.size());
    for (std::size_t i = 0; i < c.size(); ++i)
      narrow[i] = (c[i] < 0 ? 1u << 31 : 0u) | static_cast<std::uint32_t>(c[i] < 0 ? -c[i] : c[i]) << 19;
    auto seg = htj2k::encode_block(narrow, s.w, s.h, s.w, 10);  // p = 20: bit 19 left to refine
    ASSERT_TRUE(seg);
    const std::uint32_t lcup = static_cast<std::uint32_t>(seg->size());
    std::mt19937 rng(seed);
    for (int i = 0; i < 24; ++i) seg->push_back(static_cast<std::uint8_t>(rng() & 0x7F));
    for (std::uint32_t passes : {2u, 3u}) {
      std::vector<std::uint32_t> expected(c.size(), 0);
      ASSERT_TRUE(htj2k::decode_block(*seg, expected, s.w, s.h, s.w, 10, {lcup, 24, passes}, seed & 1));
      std::vector<std::uint64_t> got(c.size(), 0);
      htj2k::WideBlockDecoder decoder;
      ASSERT_TRUE(decoder.decode(*seg, got, s.w, s.h, s.w, 10 + 32, {lcup, 24, passes}, seed & 1));
      for (std::size_t i = 0; i < c.size(); ++i)
        ASSERT_EQ(got[i], std::uint64_t{expected[i] >> 31} << 63 | (expected[i] & 0x7FFFFFFFu))
            << seed << " " << passes << " " << i;
    }
  }
}

TEST(WideBlock, refuses_what_64_bits_cannot_hold) {
  const std::vector<std::uint64_t> words(16, 1);
  Bytes seg;
  htj2k::WideBlockEncoder encoder;
  EXPECT_FALSE(encoder.encode(words, 4, 4, 4, 62, seg));
  EXPECT_FALSE(encoder.encode(words, 4, 4, 3, 0, seg));
  EXPECT_TRUE(seg.empty());
  std::vector<std::uint64_t> out(16);
  htj2k::WideBlockDecoder decoder;
  const Bytes data = {0, 0, 0, 0x20};
  EXPECT_EQ(decoder.decode(data, out, 4, 4, 4, 62, {4, 0, 1}, false).error().message,
            "missing MSBs >= 62: not decodable in 64 bits");
}

TEST(WideDwt, agrees_with_the_32_bit_transform_and_round_trips) {
  std::mt19937 rng(5);
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 7}, {9, 1}, {2, 3}, {33, 17}, {64, 64}, {100, 37}})
    for (std::uint8_t levels : {0, 1, 2, 5, 8, 32}) {
      SCOPED_TRACE(testing::Message() << w << "x" << h << " L" << int(levels));
      std::vector<std::int32_t> narrow(w * h);
      for (auto& v : narrow) v = static_cast<std::int32_t>(rng() % 65536) - 32768;
      std::vector<std::int64_t> wide(narrow.begin(), narrow.end());
      ASSERT_TRUE(htj2k::forward_53(narrow, w, h, levels));
      ASSERT_TRUE(htj2k::forward_53_wide(wide, w, h, levels));
      ASSERT_EQ(wide, std::vector<std::int64_t>(narrow.begin(), narrow.end()));
      // Full 32-bit samples: the 64-bit transform restores them.
      std::vector<std::int64_t> deep(w * h);
      for (auto& v : deep) v = static_cast<std::int32_t>(rng());
      auto back = deep;
      ASSERT_TRUE(htj2k::forward_53_wide(back, w, h, levels));
      ASSERT_TRUE(htj2k::inverse_53_wide(back, w, h, levels));
      EXPECT_EQ(back, deep);
    }
  std::vector<std::int64_t> small(3);
  EXPECT_FALSE(htj2k::inverse_53_wide(small, 2, 2, 1));
}

// uint32 / int32 chunks: extremes and full-range noise at every level count.
template <class T>
std::vector<T> chunk_values(Fill fill, std::size_t n, unsigned seed) {
  constexpr T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  std::mt19937 rng(seed);
  std::vector<T> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (fill) {
      case Fill::zero: v[i] = 0; break;
      case Fill::max: v[i] = i % 3 == 0 ? lo : hi; break;
      case Fill::alternating: v[i] = (i + i / 37) % 2 ? lo : hi; break;
      case Fill::random: v[i] = static_cast<T>(rng()); break;
    }
  }
  return v;
}

template <class T>
void expect_chunk_round_trips(ElementType type) {
  const std::vector<std::uint64_t> shape = {2, 37, 70};
  for (Fill f : {Fill::zero, Fill::max, Fill::alternating, Fill::random})
    for (std::uint8_t levels : {0, 1, 2, 3, 4, 5, 6, 7, 8, 32}) {
      SCOPED_TRACE(testing::Message() << int(f) << " L" << int(levels));
      const auto values = chunk_values<T>(f, 2 * 37 * 70, levels);
      Bytes chunk(values.size() * sizeof(T));
      std::memcpy(chunk.data(), values.data(), chunk.size());
      zarr::Htj2kConfig config;
      config.xy_levels = levels;
      auto coded = zarr::encode_chunk(chunk, shape, type, config);
      ASSERT_TRUE(coded) << coded.error().display();
      auto back = zarr::decode_chunk(*coded, shape, type);
      ASSERT_TRUE(back) << back.error().display();
      EXPECT_EQ(*back, chunk);
      if (levels > 0) {  // one level down decodes too, clipped to the dtype
        auto reduced = zarr::decode_chunk_reduced(*coded, shape, type, 1);
        ASSERT_TRUE(reduced) << reduced.error().display();
        EXPECT_EQ(reduced->size(), 2 * 19 * 35 * sizeof(T));
      }
    }
}

// The streamed 64-bit inverse against the whole-plane one, fed the Mallat
// rows of the same plane: any 64-bit coefficients, every level count.
TEST(WideDwt, streams_every_level_as_the_whole_plane_inverse) {
  std::mt19937_64 rng(9);
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 8}, {7, 1}, {2, 2}, {3, 2},
                      {5, 9}, {33, 17}, {64, 65}, {100, 37}})
    for (std::uint8_t levels : {0, 1, 2, 3, 6, 32}) {
      SCOPED_TRACE(testing::Message() << w << "x" << h << " L" << int(levels));
      std::vector<std::int64_t> plane(w * h);
      for (auto& v : plane) v = static_cast<std::int64_t>(rng());
      struct Source {
        const std::int64_t* p;
        std::size_t width, levels;
        std::vector<std::size_t> asked;  // the j each level announces next
      } src{plane.data(), w, htj2k::active_levels(w, h, levels), {}};
      src.asked.assign(std::max<std::size_t>(src.levels, 1), 0);
      const htj2k::WideLevelRows bands{
          &src,
          [](void* c, unsigned level, std::size_t j) {
            auto& s = *static_cast<Source*>(c);
            EXPECT_EQ(s.asked[level]++, j);  // in order, each once
            return true;
          },
          [](void* c, unsigned level, std::size_t r, const std::int64_t** low,
             const std::int64_t** high) {
            // Level k's Mallat rows are the plane's rows, its W_k columns.
            const auto& s = *static_cast<const Source*>(c);
            std::size_t wk = s.width;
            for (unsigned k = 0; k < level; ++k) wk -= wk / 2;
            *low = s.p + r * s.width;
            *high = *low + (wk - wk / 2);
          }};
      struct Collect {
        std::size_t width;
        std::vector<std::int64_t> out;
      } collect{w, {}};
      const htj2k::WideRowSink into{&collect, [](void* c, std::size_t y, const std::int64_t* row) {
        auto& k = *static_cast<Collect*>(c);
        EXPECT_EQ(k.out.size(), y * k.width);  // in order, each once
        k.out.insert(k.out.end(), row, row + k.width);
        return true;
      }};
      ASSERT_TRUE(htj2k::inverse_53_wide_levels_rows(w, h, levels, bands, into));
      ASSERT_TRUE(htj2k::inverse_53_wide(plane, w, h, levels));
      EXPECT_EQ(collect.out, plane);
    }
  EXPECT_FALSE(htj2k::inverse_53_wide_levels_rows(0, 4, 1, {}, {}));
}

TEST(WideChunk, uint32_round_trips_every_value_at_every_level_count) {
  expect_chunk_round_trips<std::uint32_t>(ElementType::U32);
}

TEST(WideChunk, int32_round_trips_every_value_at_every_level_count) {
  expect_chunk_round_trips<std::int32_t>(ElementType::I32);
}

TEST(WideChunk, takes_the_wide_path_only_when_the_depth_needs_it) {
  const std::vector<std::uint64_t> shape = {8, 8};
  for (auto [top, kmax] : {std::pair<std::uint32_t, unsigned>{(1u << 28) - 1, 30}, {1u << 28, 31},
                           {0xFFFFFFFFu, 34}}) {
    std::vector<std::uint32_t> v(64, 0);
    v[9] = top;
    Bytes chunk(256);
    std::memcpy(chunk.data(), v.data(), 256);
    zarr::Htj2kConfig config;
    config.xy_levels = 2;
    config.index = false;
    auto coded = zarr::encode_chunk(chunk, shape, ElementType::U32, config);
    ASSERT_TRUE(coded);
    auto planes = zarr::plane_ranges(*coded);
    ASSERT_TRUE(planes);
    auto cs = codestream::Codestream::parse(std::span(*coded).subspan(planes->ranges[0].offset));
    ASSERT_TRUE(cs);
    EXPECT_EQ(cs->qcd.magb(), kmax);
    EXPECT_EQ(*zarr::decode_chunk(*coded, shape, ElementType::U32), chunk);
  }
}

TEST(WideChunk, names_a_sample_that_does_not_fit_the_decode_dtype) {
  std::vector<std::uint32_t> v(16, 7);
  v[3] = 0xFFFFFFF0u;
  Bytes chunk(64);
  std::memcpy(chunk.data(), v.data(), 64);
  const std::vector<std::uint64_t> shape = {4, 4};
  auto coded = zarr::encode_chunk(chunk, shape, ElementType::U32, {});
  ASSERT_TRUE(coded);
  auto as_int = zarr::decode_chunk(*coded, shape, ElementType::I32);
  ASSERT_FALSE(as_int);
  EXPECT_EQ(as_int.error().message,
            "decoded sample range [7, 4294967280] does not fit dtype I32 (corrupt or mismatched chunk)");
}

TEST(WideChunk, every_truncation_fails_cleanly) {
  const auto values = chunk_values<std::uint32_t>(Fill::random, 16 * 16, 3);
  Bytes chunk(values.size() * 4);
  std::memcpy(chunk.data(), values.data(), chunk.size());
  const std::vector<std::uint64_t> shape = {16, 16};
  auto coded = zarr::encode_chunk(chunk, shape, ElementType::U32, {});
  ASSERT_TRUE(coded);
  for (std::size_t n = 0; n < coded->size(); ++n) {
    auto r = zarr::decode_chunk(std::span(*coded).first(n), shape, ElementType::U32);
    EXPECT_FALSE(r.has_value() && *r == chunk) << n;
  }
  // Flipped bytes decode to something or fail, never beyond the buffers.
  std::mt19937 rng(1);
  for (int i = 0; i < 300; ++i) {
    Bytes bad = *coded;
    bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    (void)zarr::decode_chunk(bad, shape, ElementType::U32);
  }
}

// The streamed decode (run_decode_wide_rows) against the whole-plane one
// (run_decode_wide) at every resolution of 32-bit codestreams: odd sizes,
// blocks short and tall (strips of 4 to 64 rows, the last one cut by the
// band's edge), every level count, extremes and noise.
TEST(WideRows, streams_every_resolution_as_the_whole_plane_decode) {
  struct Case {
    std::size_t w, h;
    std::uint16_t block_w, block_h;
    std::uint8_t levels;
  };
  const Case cases[] = {{1, 1, 64, 64, 0},  {1, 1, 64, 64, 3},   {37, 70, 64, 64, 0},
                        {37, 70, 64, 64, 5}, {130, 67, 16, 4, 3},  {67, 130, 4, 16, 4},
                        {129, 200, 32, 8, 2}, {200, 3, 8, 32, 6},  {64, 64, 64, 64, 1},
                        {300, 129, 64, 64, 8}, {130, 67, 16, 4, 0}};
  for (const Case& c : cases)
    for (Fill fill : {Fill::max, Fill::alternating, Fill::random}) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " blocks " << c.block_w << "x"
                                      << c.block_h << " L" << int(c.levels) << " fill "
                                      << int(fill));
      const auto values = chunk_values<std::int32_t>(fill, c.w * c.h, c.levels);
      codestream::EncodeParams params;
      params.levels = c.levels;
      params.block_width = c.block_w;
      params.block_height = c.block_h;
      const CoeffPlane plane = *CoeffPlane::make(values, c.w, c.h);
      auto bytes = codestream::encode_image_with_depth(std::span(&plane, 1), 32, true, params);
      ASSERT_TRUE(bytes) << bytes.error().display();
      auto cs = codestream::Codestream::parse(*bytes);
      ASSERT_TRUE(cs) << cs.error().display();
      ASSERT_TRUE(codestream::needs_wide_datapath(cs->qcd));
      for (unsigned target = 0; target <= c.levels; ++target) {
        SCOPED_TRACE(testing::Message() << "resolution " << target);
        auto plan = codestream::plan_decode(*cs, static_cast<std::uint8_t>(target));
        ASSERT_TRUE(plan) << plan.error().display();
        std::vector<std::int64_t> whole(plan->width * plan->height, 99);
        const std::span<std::int64_t> view(whole);
        ASSERT_TRUE(codestream::run_decode_wide(*cs, *plan, std::span(&view, 1)));
        struct Collect {
          std::size_t width;
          std::vector<std::int64_t> out;
        } collect{plan->width, {}};
        const htj2k::WideRowSink sink{&collect, [](void* ctx, std::size_t, const std::int64_t* row) {
          auto& k = *static_cast<Collect*>(ctx);
          k.out.insert(k.out.end(), row, row + k.width);
          return true;
        }};
        ASSERT_TRUE(codestream::run_decode_wide_rows(*cs, *plan, sink));
        ASSERT_EQ(collect.out, whole);
        if (target == c.levels) {  // lossless at full resolution
          EXPECT_EQ(whole, std::vector<std::int64_t>(values.begin(), values.end()));
        }
      }
    }
}

}  // namespace

// The inverse reversible component transform (T.800 G.2) on both datapaths:
// three planes written as the forward transform of random RGB, the COD's
// multiple component transform flag set, and decoded back to the RGB.
TEST(WideColour, undoes_the_component_transform_on_both_datapaths) {
  struct Case {
    std::uint8_t depth;  // 32 takes the 64-bit path, 20 the 32-bit one
    std::int32_t bound;  // |R|, |G|, |B| below this, so chroma fits 32 bits
    std::uint8_t levels;
  };
  const Case cases[] = {{20, 1 << 17, 0}, {20, 1 << 17, 3}, {32, 1 << 29, 0}, {32, 1 << 29, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << int(c.depth) << " levels " << int(c.levels));
    const std::size_t w = 37, h = 21, n = w * h;
    std::mt19937 rng(c.depth + c.levels);
    std::uniform_int_distribution<std::int32_t> sample(-c.bound, c.bound - 1);
    std::vector<std::vector<std::int32_t>> rgb(3, std::vector<std::int32_t>(n));
    for (auto& p : rgb)
      for (auto& v : p) v = sample(rng);
    rgb[1][0] = -c.bound, rgb[0][0] = rgb[2][0] = c.bound - 1;  // the largest chroma
    std::vector<std::vector<std::int32_t>> ycc(3, std::vector<std::int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t r = rgb[0][i], g = rgb[1][i], b = rgb[2][i];
      ycc[0][i] = static_cast<std::int32_t>((r + 2 * g + b) >> 2);
      ycc[1][i] = static_cast<std::int32_t>(b - g);
      ycc[2][i] = static_cast<std::int32_t>(r - g);
    }
    std::vector<CoeffPlane> planes;
    for (const auto& p : ycc) planes.push_back(*CoeffPlane::make(p, w, h));
    codestream::EncodeParams params;
    params.levels = c.levels;
    auto bytes = codestream::encode_image_with_depth(planes, c.depth, true, params);
    ASSERT_TRUE(bytes) << bytes.error().display();
    // COD: marker, Lcod, Scod, progression, layers (2 bytes), then the flag.
    const std::uint8_t cod[] = {0xFF, 0x52};
    auto at = std::search(bytes->begin(), bytes->end(), std::begin(cod), std::end(cod));
    ASSERT_NE(at, bytes->end());
    ASSERT_EQ(at[8], 0);
    at[8] = 1;
    auto cs = codestream::Codestream::parse(*bytes);
    ASSERT_TRUE(cs) << cs.error().display();
    EXPECT_EQ(codestream::needs_wide_datapath(cs->qcd), c.depth == 32);
    auto image = cs->decode_to_resolution(c.levels);
    ASSERT_TRUE(image) << image.error().display();
    EXPECT_TRUE(image->components == rgb);
  }
}
