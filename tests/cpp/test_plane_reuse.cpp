// Decoding into caller-owned planes: any prior contents are overwritten
// (windows of uncoded blocks zeroed, coded ones written whole), so one plane
// buffer can serve every plane of a chunk; and the chunk driver's fused
// level shift and narrowing give what the two-step path gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "codestream/decode_plan.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A plane mixing flat regions (whose code-blocks are not coded), noise and
// edges, so both kinds of window occur at every resolution.
std::vector<std::int32_t> patchy(std::size_t w, std::size_t h, std::int32_t lo, std::int32_t hi,
                                 std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int32_t> any(lo, hi);
  std::vector<std::int32_t> s(w * h);
  const std::int32_t flat = any(rng);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x)
      s[y * w + x] = (x < w / 3 + 1 && y < h / 2 + 1) ? any(rng) : flat;
  return s;
}

Bytes codestream_of(const std::vector<std::int32_t>& s, std::size_t w, std::size_t h,
                    std::uint8_t depth, bool is_signed, std::uint8_t levels) {
  auto plane = CoeffPlane::make(s, w, h);
  EXPECT_TRUE(plane);
  codestream::EncodeParams p;
  p.levels = levels;
  auto cs = codestream::encode_image_with_depth(std::span<const CoeffPlane>(&*plane, 1), depth,
                                                is_signed, p);
  EXPECT_TRUE(cs) << cs.error().display();
  return cs ? *cs : Bytes{};
}

TEST(PlaneReuse, GarbageInThePlaneIsOverwritten) {
  struct Case {
    std::size_t w, h;
    std::uint8_t levels;
  };
  for (const Case c : {Case{300, 200, 5}, Case{129, 65, 3}, Case{64, 64, 0}, Case{1, 90, 4},
                       Case{77, 1, 2}, Case{255, 257, 7}}) {
    const auto samples = patchy(c.w, c.h, 0, 4095, static_cast<std::uint32_t>(c.w));
    const Bytes bytes = codestream_of(samples, c.w, c.h, 12, false, c.levels);
    auto cs = codestream::Codestream::parse(bytes);
    ASSERT_TRUE(cs);
    for (std::uint8_t target = 0; target <= c.levels; ++target) {
      auto expected = cs->decode_to_resolution(target);
      ASSERT_TRUE(expected);
      auto plan = codestream::plan_decode(*cs, target);
      ASSERT_TRUE(plan);
      ASSERT_EQ(plan->width, expected->width);
      ASSERT_EQ(plan->height, expected->height);
      for (std::int32_t fill : {-1, 0x5A5A5A5A}) {
        std::vector<std::int32_t> plane(plan->width * plan->height, fill);
        const std::span<std::int32_t> view(plane);
        ASSERT_TRUE(codestream::run_decode(*cs, *plan, std::span(&view, 1), true));
        EXPECT_EQ(plane, expected->components[0]) << c.w << "x" << c.h << " target " << +target;
      }
      if (target == c.levels) {
        EXPECT_EQ(expected->components[0], samples);
      }
      // The flat region leaves high-pass blocks uncoded.
      if (c.w == 300 && target == c.levels) {
        EXPECT_FALSE(plan->zeros.empty());
      }
    }
  }
}

TEST(PlaneReuse, RunDecodeChecksItsPlanes) {
  const auto samples = patchy(40, 30, -100, 100, 3);
  const Bytes bytes = codestream_of(samples, 40, 30, 8, true, 2);
  auto cs = codestream::Codestream::parse(bytes);
  ASSERT_TRUE(cs);
  auto plan = codestream::plan_decode(*cs, 2);
  ASSERT_TRUE(plan);
  std::vector<std::int32_t> small(40 * 30 - 1);
  const std::span<std::int32_t> view(small);
  EXPECT_FALSE(codestream::run_decode(*cs, *plan, std::span(&view, 1), true));
  EXPECT_FALSE(codestream::run_decode(*cs, *plan, {}, true));
}

// Planes that differ a lot (noise, flat, all zero, extremes) in one chunk:
// the reused plane buffer must not carry anything from one to the next.
TEST(PlaneReuse, ChunkPlanesDoNotLeakIntoEachOther) {
  const std::size_t w = 150, h = 70;
  struct Type {
    ElementType type;
    std::int64_t lo, hi;
  };
  for (const Type t : {Type{ElementType::U8, 0, 255}, Type{ElementType::I8, -128, 127},
                       Type{ElementType::U16, 0, 65535}, Type{ElementType::I16, -32768, 32767},
                       Type{ElementType::U32, 0, 0x7FFFFFF}, Type{ElementType::I32, -(1 << 26), 1 << 26}}) {
    const std::size_t width = element_size(t.type);
    std::vector<std::vector<std::int64_t>> planes;
    std::mt19937_64 rng(static_cast<std::uint64_t>(t.type) + 1);
    std::uniform_int_distribution<std::int64_t> any(t.lo, t.hi);
    std::vector<std::int64_t> noise(w * h), flat(w * h, t.hi), zero(w * h, 0), mixed(w * h);
    for (auto& v : noise) v = any(rng);
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = (i / 37) % 2 ? t.lo : any(rng);
    planes = {noise, flat, zero, mixed, flat};
    Bytes chunk;
    for (const auto& p : planes)
      for (std::int64_t v : p) {
        std::uint8_t b[8];
        std::memcpy(b, &v, 8);  // little-endian: the low bytes come first
        chunk.insert(chunk.end(), b, b + width);
      }
    const std::vector<std::uint64_t> shape{planes.size(), h, w};
    for (bool index : {true, false}) {
      zarr::Htj2kConfig config;
      config.index = index;
      auto encoded = zarr::encode_chunk(chunk, shape, t.type, config);
      ASSERT_TRUE(encoded) << encoded.error().display();
      auto decoded = zarr::decode_chunk(*encoded, shape, t.type);
      ASSERT_TRUE(decoded) << decoded.error().display();
      EXPECT_EQ(*decoded, chunk) << element_name(t.type);
    }
  }
}

// The fused level shift and range check report the shifted range, as the
// two-step path (decode_plane, then narrow_samples) does.
TEST(PlaneReuse, FusedNarrowingReportsTheSameRange) {
  const std::size_t w = 33, h = 17;
  std::vector<std::uint16_t> values(w * h);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i * 97 % 1000);
  values[5] = 999;
  Bytes chunk(values.size() * 2);
  std::memcpy(chunk.data(), values.data(), chunk.size());
  const std::vector<std::uint64_t> shape{h, w};
  auto encoded = zarr::encode_chunk(chunk, shape, ElementType::U16, {});
  ASSERT_TRUE(encoded);
  auto planes = zarr::plane_ranges(*encoded);
  ASSERT_TRUE(planes);
  const auto& r = planes->ranges[0];
  auto samples = zarr::decode_plane(planes->header,
                                    std::span(*encoded).subspan(r.offset, r.length));
  ASSERT_TRUE(samples);
  for (ElementType t : {ElementType::U8, ElementType::I8}) {
    Bytes out;
    auto two_step = zarr::narrow_samples(*samples, t, out);
    auto fused = zarr::decode_chunk(*encoded, shape, t);
    ASSERT_FALSE(two_step);
    ASSERT_FALSE(fused);
    EXPECT_EQ(fused.error().display(), two_step.error().display());
    EXPECT_NE(fused.error().message.find("[0, 999]"), std::string::npos) << fused.error().message;
  }
}

}  // namespace

namespace {

// Coding a plane in place gives the codestream of the copying writer, and
// the same errors in the same order.
TEST(PlaneReuse, InPlaceWriterMatchesTheCopyingWriter) {
  struct Case {
    std::size_t w, h;
    std::uint8_t depth;
    bool is_signed;
    std::uint8_t levels;
    bool index;
  };
  for (const Case c : {Case{300, 200, 12, false, 5, true}, Case{1, 1, 8, false, 5, true},
                       Case{97, 3, 8, true, 2, false}, Case{64, 130, 16, true, 6, true},
                       Case{5, 77, 1, false, 0, false}, Case{200, 9, 27, false, 7, true}}) {
    const std::int32_t lo = c.is_signed ? -(1 << (c.depth - 1)) : 0;
    const std::int32_t hi = c.is_signed ? (1 << (c.depth - 1)) - 1 : (1 << c.depth) - 1;
    auto samples = patchy(c.w, c.h, lo, hi, c.depth);
    const auto original = samples;  // encode_plane_in_place overwrites samples
    auto plane = CoeffPlane::make(samples, c.w, c.h);
    ASSERT_TRUE(plane);
    codestream::EncodeParams p;
    p.levels = c.levels;
    p.index = c.index;
    auto copied = codestream::encode_image_with_depth(std::span<const CoeffPlane>(&*plane, 1),
                                                      c.depth, c.is_signed, p);
    ASSERT_TRUE(copied) << copied.error().display();
    Bytes out{1, 2, 3};
    auto in_place = codestream::encode_plane_in_place(samples, c.w, c.h, c.depth, c.is_signed, p, out);
    ASSERT_TRUE(in_place) << in_place.error().display();
    ASSERT_EQ(out.size(), copied->size() + 3);
    EXPECT_TRUE(std::equal(copied->begin(), copied->end(), out.begin() + 3)) << c.w << "x" << c.h;

    // And from rows streamed in (level-shifted by the source, as the chunk
    // driver does) into a scratch plane of any contents.
    const std::int32_t shift = c.is_signed ? 0 : std::int32_t(1u << (c.depth - 1));
    struct Feed {
      const std::vector<std::int32_t>* samples;
      std::size_t w;
      std::int32_t shift;
    } feed{&original, c.w, shift};
    const htj2k::RowSource source{&feed, [](void* ctx, std::size_t y, std::int32_t* row) {
      const auto& f = *static_cast<const Feed*>(ctx);
      for (std::size_t x = 0; x < f.w; ++x) row[x] = (*f.samples)[y * f.w + x] - f.shift;
    }};
    std::vector<std::int32_t> scratch(c.w * c.h, -7);
    Bytes streamed{4, 5};
    auto from_rows = codestream::encode_plane_from_rows(scratch, c.w, c.h, c.depth, c.is_signed, p,
                                                        source, streamed);
    ASSERT_TRUE(from_rows) << from_rows.error().display();
    ASSERT_EQ(streamed.size(), copied->size() + 2);
    EXPECT_TRUE(std::equal(copied->begin(), copied->end(), streamed.begin() + 2)) << c.w << "x" << c.h;
  }

  auto error_of = [](std::vector<std::int32_t> s, std::size_t w, std::size_t h, std::uint8_t depth,
                     bool is_signed, codestream::EncodeParams p) {
    Bytes out{9};
    auto r = codestream::encode_plane_in_place(s, w, h, depth, is_signed, p, out);
    EXPECT_EQ(out, Bytes{9});  // nothing appended on failure
    return r ? std::string("ok") : r.error().display();
  };
  codestream::EncodeParams p;
  EXPECT_EQ(error_of({1, 2, 3}, 2, 2, 8, false, p),
            "invalid argument: plane buffer smaller than width * height");
  EXPECT_EQ(error_of({}, 0, 3, 8, false, p), "invalid argument: empty image");
  EXPECT_EQ(error_of({0}, 1, 1, 0, false, p), "invalid argument: declared bit depth must be in 1..=38");
  EXPECT_EQ(error_of({128}, 1, 1, 8, true, p),
            "invalid argument: sample outside the declared dtype range");
  // The range is checked before the depth bounds, as in the copying writer.
  EXPECT_EQ(error_of({-1}, 1, 1, 33, false, p),
            "invalid argument: sample outside the declared dtype range");
  EXPECT_EQ(error_of({0}, 1, 1, 33, false, p),
            "unsupported: unsigned depth beyond 32 bits (level shift exceeds the samples)");
}

}  // namespace

#include "families.hpp"
#include "zarr/narrow.hpp"

namespace {

// Every narrowing family agrees with the portable one byte for byte and on
// the range verdict, with and without the level shift, for every element
// type, every length remainder, in range and out of it.
class NarrowFamily : public ::testing::TestWithParam<Isa> {};
VARNEL_FOR_EVERY_FAMILY(NarrowFamily);

TEST_P(NarrowFamily, GivesThePortableBytes) {
  const auto narrow = zarr::narrow_kernels_for(GetParam()).narrow;
  std::mt19937 rng(5);
  for (ElementType t : {ElementType::U8, ElementType::I8, ElementType::U16, ElementType::I16,
                       ElementType::U32, ElementType::I32}) {
    for (unsigned depth : {0u, 1u, 8u, 12u, 16u, 31u}) {
      zarr::Narrowing how;
      how.width = static_cast<unsigned>(element_size(t));
      how.lo = static_cast<std::int32_t>(std::max<std::int64_t>(element_min(t), INT32_MIN));
      const auto hi = static_cast<std::int32_t>(std::min<std::int64_t>(element_max(t), INT32_MAX));
      how.span = static_cast<std::uint32_t>(hi) - static_cast<std::uint32_t>(how.lo);
      if (depth > 0) {  // the shift of an unsigned component of that depth
        const std::int32_t half = static_cast<std::int32_t>(std::uint32_t{1} << (depth - 1));
        how.clamp_lo = -half;
        how.clamp_hi = half - 1;
        how.add = half;
      }
      for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 64u, 333u}) {
        for (std::int32_t reach : {100, 30000, 1 << 20, INT32_MAX}) {
          std::uniform_int_distribution<std::int32_t> any(-reach, reach);
          std::vector<std::int32_t> src(n);
          for (auto& v : src) v = any(rng);
          std::vector<std::uint8_t> a(n * how.width + 1, 0xEE), b(n * how.width + 1, 0xEE);
          const bool fa = zarr::narrow_portable_kernels().narrow(src.data(), a.data(), n, how);
          const bool fb = narrow(src.data(), b.data(), n, how);
          ASSERT_EQ(fa, fb) << element_name(t) << " depth " << depth << " n " << n;
          if (fa) {
            EXPECT_EQ(a, b) << element_name(t) << " depth " << depth << " n " << n;
          }
          EXPECT_EQ(a.back(), 0xEE);  // nothing written past the run
          EXPECT_EQ(b.back(), 0xEE);
        }
      }
    }
  }
}

}  // namespace

namespace {

// A plane without a coded block is cleared in one window per band, not one
// per block or row of blocks.
TEST(PlaneReuse, UncodedRunsShareAWindow) {
  const std::size_t w = 300, h = 200;
  const std::vector<std::int32_t> flat(w * h, 2048);  // level-shifts to zero
  const Bytes bytes = codestream_of(flat, w, h, 12, false, 5);
  auto cs = codestream::Codestream::parse(bytes);
  ASSERT_TRUE(cs);
  auto plan = codestream::plan_decode(*cs, 5);
  ASSERT_TRUE(plan);
  EXPECT_TRUE(plan->jobs.empty());
  // LL 10 x 7 and the three bands of each of the five levels.
  EXPECT_EQ(plan->zeros.size(), 1u + 3u * 5u);
  std::vector<std::int32_t> plane(w * h, -7);
  const std::span<std::int32_t> view(plane);
  ASSERT_TRUE(codestream::run_decode(*cs, *plan, std::span(&view, 1), true));
  EXPECT_EQ(plane, flat);
}

}  // namespace
