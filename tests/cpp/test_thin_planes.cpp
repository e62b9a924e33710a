// Planes a few samples high or wide through every chunk entry point, for
// every dtype family and both datapaths: a region one row (or column) high
// keeps its height through the levels, so the streamed decodes meet levels
// with no high-pass rows. Full resolution must be lossless; a reduced
// resolution must be the LL band of the forward 5/3 (T.800 F.4.8.2), which
// no decoder takes part in, clipped to the component's range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codestream/quant.hpp"
#include "codestream/reader.hpp"
#include "htj2k/dwt/dwt_wide.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A dtype and the values drawn for it: the whole range, or a range just deep
// enough that the transform's growth takes K_max past 30 (the 64-bit path).
struct Kind {
  const char* name;
  ElementType type;
  std::size_t size;
  std::int64_t lo, hi;
};
constexpr Kind kKinds[] = {
    {"uint32 full", ElementType::U32, 4, 0, 0xFFFFFFFFll},
    {"int32 full", ElementType::I32, 4, INT32_MIN, INT32_MAX},
    {"uint32 2^28", ElementType::U32, 4, 0, 1ll << 28},
    {"int32 2^27", ElementType::I32, 4, -(1ll << 27), 1ll << 27},
    {"uint16 full", ElementType::U16, 2, 0, 0xFFFF},
    {"int16 full", ElementType::I16, 2, INT16_MIN, INT16_MAX},
};

std::vector<std::int64_t> draw(const Kind& k, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  const auto span = static_cast<std::uint64_t>(k.hi - k.lo) + 1;
  std::vector<std::int64_t> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = k.lo + static_cast<std::int64_t>(rng() % span);
  v[0] = k.hi;  // both extremes, where there is room
  if (n > 1) v[n - 1] = k.lo;
  return v;
}

Bytes pack(const Kind& k, const std::vector<std::int64_t>& v) {
  Bytes out(v.size() * k.size);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const auto u = static_cast<std::uint64_t>(v[i]);  // little-endian targets
    std::memcpy(out.data() + i * k.size, &u, k.size);
  }
  return out;
}

// Resolution `reduce` below full of an h x w plane: the LL band of `reduce`
// forward levels, clipped to a component of `depth` bits.
std::vector<std::int64_t> reference(std::vector<std::int64_t> plane, std::size_t h,
                                    std::size_t w, unsigned reduce, unsigned depth,
                                    bool is_signed) {
  EXPECT_TRUE(htj2k::forward_53_wide(plane, w, h, static_cast<std::uint8_t>(reduce)));
  const std::int64_t lo = is_signed ? -(std::int64_t{1} << (depth - 1)) : 0;
  const std::int64_t hi = lo + (std::int64_t{1} << depth) - 1;
  const std::size_t rh = (h + (std::size_t{1} << reduce) - 1) >> reduce;
  const std::size_t rw = (w + (std::size_t{1} << reduce) - 1) >> reduce;
  std::vector<std::int64_t> out;
  for (std::size_t y = 0; y < rh; ++y)
    for (std::size_t x = 0; x < rw; ++x) out.push_back(std::clamp(plane[y * w + x], lo, hi));
  return out;
}

struct Shape {
  std::size_t h, w;
};

std::vector<Shape> thin_shapes() {
  std::vector<Shape> shapes;
  for (std::size_t h = 1; h <= 4; ++h)
    for (std::size_t w : {1, 2, 3, 4, 7, 8, 63, 64, 65, 4096}) {
      shapes.push_back({h, w});
      if (w != h) shapes.push_back({w, h});
    }
  // Taller planes whose coarser levels end one row high.
  for (Shape s : {Shape{5, 300}, Shape{8, 1000}, Shape{17, 129}}) shapes.push_back(s);
  return shapes;
}

void expect_every_entry_point_exact(const Kind& k, Shape s, std::uint8_t levels, unsigned seed) {
  SCOPED_TRACE(testing::Message() << k.name << " " << s.h << "x" << s.w << " L" << int(levels));
  const auto values = draw(k, s.h * s.w, seed);
  const Bytes chunk = pack(k, values);
  const std::vector<std::uint64_t> shape = {1, s.h, s.w};
  zarr::Htj2kConfig config;
  config.xy_levels = levels;
  auto coded = zarr::encode_chunk(chunk, shape, k.type, config);
  ASSERT_TRUE(coded) << coded.error().display();

  auto back = zarr::decode_chunk(*coded, shape, k.type);
  ASSERT_TRUE(back) << back.error().display();
  ASSERT_EQ(*back, chunk);
  Bytes into(chunk.size(), 0xA5);
  ASSERT_TRUE(zarr::decode_chunk_into(*coded, shape, k.type, into));
  ASSERT_EQ(into, chunk);

  auto planes = zarr::plane_ranges(*coded);
  ASSERT_TRUE(planes);
  auto cs = codestream::Codestream::parse(std::span(*coded).subspan(planes->ranges[0].offset));
  ASSERT_TRUE(cs);
  const codestream::SizComponent& c = cs->siz.components[0];
  for (unsigned reduce = 0; reduce <= levels; ++reduce) {
    SCOPED_TRACE(testing::Message() << "reduce " << reduce);
    const Bytes expected =
        pack(k, reference(values, s.h, s.w, reduce, c.depth, c.is_signed));
    auto reduced = zarr::decode_chunk_reduced(*coded, shape, k.type, static_cast<std::uint8_t>(reduce));
    ASSERT_TRUE(reduced) << reduced.error().display();
    ASSERT_EQ(*reduced, expected);
    Bytes reduced_into(expected.size(), 0xA5);
    ASSERT_TRUE(zarr::decode_chunk_reduced_into(*coded, shape, k.type,
                                                static_cast<std::uint8_t>(reduce), reduced_into));
    ASSERT_EQ(reduced_into, expected);
  }
}

TEST(ThinPlanes, decode_exactly_through_every_entry_point_at_every_level_count) {
  unsigned seed = 0;
  for (const Kind& k : kKinds)
    for (Shape s : thin_shapes())
      for (std::uint8_t levels = 0; levels <= 6; ++levels)
        expect_every_entry_point_exact(k, s, levels, ++seed);
}

// A row long enough that five levels of growth take 30-bit data onto the
// 64-bit path, through the same checks.
TEST(ThinPlanes, a_long_row_of_30_bit_data_takes_the_64_bit_path_exactly) {
  constexpr Kind k{"uint32 2^30", ElementType::U32, 4, 0, (1ll << 30) - 1};
  const Bytes chunk = pack(k, draw(k, 65536, 1));
  zarr::Htj2kConfig config;
  config.xy_levels = 5;
  const std::vector<std::uint64_t> shape = {1, 1, 65536};
  auto coded = zarr::encode_chunk(chunk, shape, k.type, config);
  ASSERT_TRUE(coded);
  auto planes = zarr::plane_ranges(*coded);
  ASSERT_TRUE(planes);
  auto cs = codestream::Codestream::parse(std::span(*coded).subspan(planes->ranges[0].offset));
  ASSERT_TRUE(cs);
  ASSERT_TRUE(codestream::needs_wide_datapath(cs->qcd));
  expect_every_entry_point_exact(k, {1, 65536}, 5, 1);
}

}  // namespace
