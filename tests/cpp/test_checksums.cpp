// Prefix checksums of the htj2k chunk container: chunks written with them
// decode as without, whole, reduced and compacted; every decode refuses
// bytes that are not those its index was written for (a flipped byte in a
// prefix or a checksum, a top-up taken 16 bytes further on, another chunk's
// codestreams behind this chunk's index) and names the plane; chunks without
// them decode as before.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codestream/container.hpp"
#include "core/crc32c.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;
using namespace varnel::zarr;
using codestream::ChunkHeader;
using codestream::PlaneEntry;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<std::uint64_t>;

// Samples spread over the dtype's range (a smooth ramp plus noise), so that
// every resolution has packets of its own.
Bytes sample_chunk(const Shape& shape, ElementType dtype, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::size_t n = 1;
  for (auto e : shape) n *= e;
  const std::size_t width = element_size(dtype);
  const std::int64_t lo = element_min(dtype), hi = std::min<std::int64_t>(element_max(dtype), 1 << 20);
  Bytes out(width * n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t v = lo + static_cast<std::int64_t>((i * 37 + rng() % 61) % static_cast<std::uint64_t>(hi - lo + 1));
    std::memcpy(&out[width * i], &v, width);  // little-endian hosts: the low bytes
  }
  return out;
}

Bytes encode(const Bytes& raw, const Shape& shape, ElementType dtype, std::uint8_t levels,
             bool checksums) {
  Htj2kConfig config;
  config.xy_levels = levels;
  config.checksums = checksums;
  auto out = encode_chunk(raw, shape, dtype, config);
  EXPECT_TRUE(out) << out.error().display();
  return out ? *out : Bytes{};
}

// The parsed header and index of a chunk the test wrote (an empty header,
// and a failure, where it does not parse).
ChunkHeader header_of(const Bytes& chunk) {
  auto parsed = ChunkHeader::parse(chunk);
  EXPECT_TRUE(parsed && parsed->planes);
  if (!parsed || !parsed->planes) return ChunkHeader{{}, std::vector<PlaneEntry>{}, 0};
  return std::move(*parsed);
}

// What the Python reduced reader assembles: header and index re-pointed at
// the prefixes of resolution `top`, placed back to back; the lengths and
// checksums of resolutions above `top` become those of `top`.
Bytes compacted(const Bytes& chunk, std::uint8_t top) {
  auto header = header_of(chunk);
  Bytes body;
  std::uint64_t at = header.index_end(header.planes->size());
  for (PlaneEntry& e : *header.planes) {
    const std::uint32_t needed = e.prefix_lengths[top];
    body.insert(body.end(), chunk.begin() + static_cast<std::ptrdiff_t>(e.offset),
                chunk.begin() + static_cast<std::ptrdiff_t>(e.offset + needed));
    for (std::size_t r = top; r < e.prefix_lengths.size(); ++r) {
      e.prefix_lengths[r] = needed;
      if (!e.checksums.empty()) e.checksums[r] = e.checksums[top];
    }
    e.offset = at;
    e.length = needed;
    at += needed;
  }
  Bytes out = *header.to_bytes();
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Result<Bytes> reduced(const Bytes& chunk, const Shape& shape, ElementType dtype,
                      std::uint8_t reduce) {
  return decode_chunk_reduced(chunk, shape, dtype, reduce);
}

// The error text of a result, or "ok".
template <class T>
std::string outcome(const Result<T>& r) {
  return r ? "ok" : r.error().message;
}

}  // namespace

// Checksums on and off, over every dtype and several level counts: the same
// samples back whole and at every reduce, from the chunk and from its
// compaction; the index with checksums differs only in its entries.
TEST(Checksums, RoundTripEveryDtypeLevelAndReduce) {
  const ElementType dtypes[] = {ElementType::U8,  ElementType::I8,  ElementType::U16,
                                ElementType::I16, ElementType::U32, ElementType::I32};
  const struct {
    Shape shape;
    std::uint8_t levels;
  } cases[] = {{{2, 37, 53}, 0}, {{3, 64, 48}, 2}, {{1, 2, 40, 33}, 4}, {{9, 130}, 6}};
  for (ElementType dtype : dtypes)
    for (const auto& c : cases) {
      const std::string what = std::string(element_name(dtype)) + " L" + std::to_string(c.levels);
      const Bytes raw = sample_chunk(c.shape, dtype, c.levels + 3);
      const Bytes plain = encode(raw, c.shape, dtype, c.levels, false);
      const Bytes summed = encode(raw, c.shape, dtype, c.levels, true);
      EXPECT_EQ(plain[5], 1) << what;
      EXPECT_EQ(summed[5], 3) << what;
      const auto plain_header = header_of(plain);
      EXPECT_EQ(summed.size(), plain.size() + plain_header.planes->size() * 4 * (c.levels + 1u))
          << what;
      for (const Bytes* chunk : {&plain, &summed}) {
        auto whole = decode_chunk(*chunk, c.shape, dtype);
        ASSERT_TRUE(whole) << what << ": " << whole.error().display();
        EXPECT_EQ(*whole, raw) << what;
      }
      for (std::uint8_t reduce = 0; reduce <= c.levels; ++reduce) {
        auto expected = reduced(plain, c.shape, dtype, reduce);
        ASSERT_TRUE(expected) << what << " reduce " << int(reduce);
        const auto top = static_cast<std::uint8_t>(c.levels - reduce);
        for (const Bytes& chunk : {summed, compacted(summed, top), compacted(plain, top)}) {
          auto got = reduced(chunk, c.shape, dtype, reduce);
          ASSERT_TRUE(got) << what << " reduce " << int(reduce) << ": " << got.error().display();
          EXPECT_EQ(*got, *expected) << what << " reduce " << int(reduce);
        }
      }
    }
}

// The writer's checksums are those of its prefixes, as an independent
// reader computes them (whole-buffer CRC per prefix).
TEST(Checksums, AreTheCrcOfEachPrefix) {
  const Shape shape{2, 50, 70};
  const Bytes chunk = encode(sample_chunk(shape, ElementType::U16, 4), shape, ElementType::U16, 3, true);
  const auto header = header_of(chunk);
  for (const PlaneEntry& e : *header.planes) {
    ASSERT_EQ(e.checksums.size(), 4u);
    EXPECT_EQ(e.prefix_lengths.back() + 2u, e.length);  // the EOC marker follows the last prefix
    for (std::size_t r = 0; r < 4; ++r)
      EXPECT_EQ(e.checksums[r], crc32c(std::span(chunk).subspan(e.offset, e.prefix_lengths[r])));
  }
  Htj2kConfig unindexed;
  unindexed.index = false;
  unindexed.checksums = true;
  auto refused = encode_chunk(sample_chunk(shape, ElementType::U16, 4), shape, ElementType::U16, unindexed);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::InvalidArgument);
}

namespace {

// Three planes of 4 levels; every damage below hits plane 1 at resolution
// `r` (or from it on) and is read at each `top`.
struct Damage {
  const char* name;
  // Changes `chunk` (its index is `header`) at plane 1, resolution r.
  std::function<void(Bytes& chunk, const ChunkHeader& header, std::size_t r)> apply;
};

const Shape kShape{3, 96, 80};
constexpr std::uint8_t kLevels = 4;

std::size_t entry_at(const ChunkHeader& header, std::size_t plane) {
  return header.header_size() + plane * header.entry_size();
}

}  // namespace

TEST(Checksums, EveryDamageIsRefusedNamingPlaneAndResolution) {
  const Bytes raw = sample_chunk(kShape, ElementType::U16, 11);
  const Bytes chunk = encode(raw, kShape, ElementType::U16, kLevels, true);
  const Bytes other = encode(sample_chunk(kShape, ElementType::U16, 12), kShape, ElementType::U16,
                             kLevels, true);
  const auto header = header_of(chunk);
  const PlaneEntry& e = (*header.planes)[1];
  const Damage damages[] = {
      {"a flipped byte in the resolution's packets",
       [](Bytes& c, const ChunkHeader& h, std::size_t r) {
         const PlaneEntry& p = (*h.planes)[1];
         c[p.offset + p.prefix_lengths[r] - 1] ^= 0x01;
       }},
      {"a flipped checksum byte",
       [](Bytes& c, const ChunkHeader& h, std::size_t r) {
         c[entry_at(h, 1) + 12 + 4 * (kLevels + 1) + 4 * r + 2] ^= 0x80;
       }},
      {"the resolution's top-up taken 16 bytes further on",
       [](Bytes& c, const ChunkHeader& h, std::size_t r) {
         const PlaneEntry& p = (*h.planes)[1];
         const std::size_t from = p.offset + (r ? p.prefix_lengths[r - 1] : 0);
         const std::size_t to = p.offset + p.prefix_lengths[r];
         std::memmove(&c[from], &c[from + 16], to - from);
       }},
  };
  for (const Damage& d : damages)
    for (std::size_t r = 0; r <= kLevels; ++r) {
      if (r > 0 && e.prefix_lengths[r] == e.prefix_lengths[r - 1]) continue;  // no packets of its own
      Bytes bad = chunk;
      d.apply(bad, header, r);
      for (std::size_t top = 0; top <= kLevels; ++top) {
        const auto reduce = static_cast<std::uint8_t>(kLevels - top);
        const std::string what =
            std::string(d.name) + ", resolution " + std::to_string(r) + ", read at " + std::to_string(top);
        // A damage at resolution r is beyond what a read below r covers.
        const bool covered = top >= r;
        const std::string expected_text =
            "plane 1: resolution " + std::to_string(top) + " prefix checksum mismatch";
        const bool checksum_hit = std::string(d.name) == "a flipped checksum byte";
        const bool fails = checksum_hit ? top == r : covered;
        for (const Bytes& read : {bad, compacted(bad, static_cast<std::uint8_t>(top))}) {
          auto got = reduced(read, kShape, ElementType::U16, reduce);
          if (!fails) {
            EXPECT_TRUE(got) << what << ": " << got.error().display();
            continue;
          }
          ASSERT_FALSE(got) << what;
          EXPECT_EQ(got.error().kind, ErrorKind::Malformed) << what;
          EXPECT_NE(got.error().message.find(expected_text), std::string::npos)
              << what << ": " << got.error().message;
        }
        if (top == kLevels) {
          const Bytes into_size(raw.size());
          Bytes out = into_size;
          auto whole = decode_chunk(bad, kShape, ElementType::U16);
          auto into = decode_chunk_into(bad, kShape, ElementType::U16, out);
          EXPECT_EQ(outcome(whole) == "ok", !fails) << what << ": " << outcome(whole);
          EXPECT_EQ(outcome(into), outcome(whole)) << what;
        }
      }
    }

  // Another chunk's codestreams behind this chunk's index (an object
  // replaced between the fetch of its index and of its prefixes): the
  // other chunk's bytes at this one's offsets, for as long as they last.
  Bytes mixed = chunk;
  const std::size_t start = header.index_end(header.planes->size());
  for (std::size_t i = start; i < mixed.size(); ++i) mixed[i] = i < other.size() ? other[i] : 0;
  for (std::uint8_t reduce = 0; reduce <= kLevels; ++reduce) {
    auto got = reduced(mixed, kShape, ElementType::U16, reduce);
    ASSERT_FALSE(got) << int(reduce);
    EXPECT_NE(got.error().message.find("plane 0: resolution " + std::to_string(kLevels - reduce) +
                                       " prefix checksum mismatch"),
              std::string::npos)
        << got.error().message;
  }
  EXPECT_EQ(outcome(decode_chunk(mixed, kShape, ElementType::U16)).find("plane 0: resolution 4"), 0u);
}

// Without the checksums flag the same damage goes unseen by the index: an
// older chunk still decodes as before, and a top-up shifted by 16 bytes is
// not refused for what it is (the decode fails elsewhere or gives other
// samples).
TEST(Checksums, ChunksWithoutThemDecodeAsBefore) {
  const Bytes raw = sample_chunk(kShape, ElementType::U16, 11);
  const Bytes chunk = encode(raw, kShape, ElementType::U16, kLevels, false);
  EXPECT_EQ(*decode_chunk(chunk, kShape, ElementType::U16), raw);
  const auto header = header_of(chunk);
  const PlaneEntry& p = (*header.planes)[1];
  Bytes bad = chunk;
  std::memmove(&bad[p.offset + p.prefix_lengths[2]], &bad[p.offset + p.prefix_lengths[2] + 16],
               p.prefix_lengths[3] - p.prefix_lengths[2]);
  auto got = reduced(bad, kShape, ElementType::U16, 1);
  EXPECT_EQ(outcome(got).find("checksum"), std::string::npos);
  EXPECT_NE(got.value_or(Bytes{}), *reduced(chunk, kShape, ElementType::U16, 1));
}
