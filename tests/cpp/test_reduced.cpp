// Reduced-resolution reads: the parse of a codestream cut after a prefix
// (accepts every prefix the plane index names, decodes from it what the
// whole codestream gives, refuses a cut inside a needed packet, never
// crashes on any cut), the index parse of a reduced read, and the chunk
// decode from whole and compacted chunks under damage.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codestream/container.hpp"
#include "codestream/reader.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;
using namespace varnel::zarr;
using codestream::ChunkHeader;
using codestream::Codestream;
using codestream::PlaneEntry;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<std::uint64_t>;

constexpr const char* kProgressions[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};

Bytes sample_chunk(const Shape& shape, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::size_t n = 1;
  for (auto e : shape) n *= e;
  Bytes out(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<std::uint16_t>((i % 97) * 40 + rng() % 300);
    std::memcpy(&out[2 * i], &v, 2);
  }
  return out;
}

Bytes encode(const Shape& shape, const char* progression, std::uint8_t levels,
             std::uint32_t seed = 1) {
  Htj2kConfig config;
  config.progression = progression;
  config.xy_levels = levels;
  auto out = encode_chunk(sample_chunk(shape, seed), shape, ElementType::U16, config);
  EXPECT_TRUE(out) << out.error().display();
  return out ? *out : Bytes{};
}

// The one codestream of a one-plane chunk, and its index entry.
std::pair<Bytes, PlaneEntry> single_plane(const Bytes& chunk) {
  auto header = ChunkHeader::parse(chunk);
  EXPECT_TRUE(header && header->planes);
  const PlaneEntry& e = header->planes->front();
  return {Bytes(chunk.begin() + static_cast<std::ptrdiff_t>(e.offset),
                chunk.begin() + static_cast<std::ptrdiff_t>(e.offset + e.length)),
          e};
}

// Header, index pointing at the prefixes of resolution `top` placed back to
// back, then those prefixes: what a byte-range reader assembles.
Bytes compacted(const Bytes& chunk, std::uint8_t top) {
  auto header = *ChunkHeader::parse(chunk);
  Bytes body;
  std::uint64_t at = header.header_size() + header.planes->size() * header.entry_size();
  for (PlaneEntry& e : *header.planes) {
    const std::uint32_t needed = e.prefix_lengths[top];
    body.insert(body.end(), chunk.begin() + static_cast<std::ptrdiff_t>(e.offset),
                chunk.begin() + static_cast<std::ptrdiff_t>(e.offset + needed));
    for (std::size_t r = top; r < e.prefix_lengths.size(); ++r) e.prefix_lengths[r] = needed;
    e.offset = at;
    e.length = needed;
    at += needed;
  }
  Bytes out = *header.to_bytes();
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace

// The 70001-wide plane has several precincts in its two finer resolutions,
// whose packets PCRL and CPRL interleave by position.
TEST(ParsePrefix, EveryIndexedPrefixDecodesAsTheWholeCodestream) {
  for (const char* progression : kProgressions) {
    for (const auto& [shape, levels] : std::vector<std::pair<Shape, std::uint8_t>>{
             {{45, 71}, 4}, {{1, 9}, 2}, {{130, 66}, 5}, {{16, 16}, 0}, {{3, 70001}, 2}}) {
      const auto [cs_bytes, entry] = single_plane(encode(shape, progression, levels));
      const auto whole = Codestream::parse(cs_bytes);
      ASSERT_TRUE(whole);
      // The whole codestream parses the same both ways.
      const auto again = Codestream::parse_prefix(cs_bytes);
      ASSERT_TRUE(again);
      EXPECT_EQ(again->end, whole->end);
      for (std::uint8_t r = 0; r <= levels; ++r) {
        const std::span<const std::uint8_t> prefix(cs_bytes.data(), entry.prefix_lengths[r]);
        // Without EOC the strict parse refuses what the prefix parse takes.
        EXPECT_FALSE(Codestream::parse(prefix)) << progression << " r=" << int(r);
        auto cut = Codestream::parse_prefix(prefix);
        ASSERT_TRUE(cut) << progression << " r=" << int(r) << ": " << cut.error().display();
        EXPECT_EQ(cut->end, prefix.size());
        auto from_prefix = cut->decode_to_resolution(r);
        auto from_whole = whole->decode_to_resolution(r);
        ASSERT_TRUE(from_prefix) << progression << " r=" << int(r) << ": "
                                 << from_prefix.error().display();
        ASSERT_TRUE(from_whole);
        EXPECT_EQ(from_prefix->width, from_whole->width);
        EXPECT_EQ(from_prefix->height, from_whole->height);
        EXPECT_EQ(from_prefix->components, from_whole->components) << progression << int(r);
      }
    }
  }
}

TEST(ParsePrefix, ACutInsideANeededPacketIsMalformed) {
  for (const char* progression : kProgressions) {
    const auto [cs_bytes, entry] = single_plane(encode({40, 37}, progression, 3));
    const auto whole = *Codestream::parse(cs_bytes);
    const std::size_t body = whole.tile_parts.front().body_start;
    for (std::uint8_t r = 0; r <= 3; ++r) {
      for (std::size_t n = body; n < entry.prefix_lengths[r]; ++n) {
        auto cut = Codestream::parse_prefix(std::span(cs_bytes.data(), n));
        ASSERT_TRUE(cut) << n;
        auto image = cut->decode_to_resolution(r);
        ASSERT_FALSE(image) << progression << " r=" << int(r) << " n=" << n;
        EXPECT_EQ(image.error().kind, ErrorKind::Malformed) << image.error().display();
      }
    }
    // A cut inside the main or tile-part header is refused by the parse.
    for (std::size_t n = 0; n < body; ++n)
      ASSERT_FALSE(Codestream::parse_prefix(std::span(cs_bytes.data(), n))) << n;
  }
}

TEST(ParsePrefix, NoCutOfADamagedCodestreamCrashes) {
  std::mt19937 rng(11);
  for (const char* progression : kProgressions) {
    const auto [cs_bytes, entry] = single_plane(encode({20, 13}, progression, 3));
    for (int round = 0; round < 4; ++round) {
      Bytes damaged = cs_bytes;
      if (round > 0) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      for (std::size_t n = 0; n <= damaged.size(); ++n) {
        auto cut = Codestream::parse_prefix(std::span(damaged.data(), n));
        if (!cut) continue;
        for (std::uint8_t r = 0; r <= 4; ++r) {
          auto image = cut->decode_to_resolution(r);
          if (image) {
            ASSERT_EQ(image->components.size(), 1u);
          }
        }
      }
    }
  }
}

TEST(ParseForReduced, ChecksOnlyWhatTheReadNeeds) {
  const Shape shape{2, 30, 20};
  const Bytes chunk = encode(shape, "RPCL", 3);
  auto display = [](const auto& r) { return r ? std::string("ok") : r.error().display(); };
  EXPECT_EQ(display(ChunkHeader::parse_for_reduced(chunk, 4)),
            "invalid argument: htj2k: reduce 4 exceeds the chunk's 3 wavelet levels");
  Htj2kConfig no_index;
  no_index.index = false;
  const Bytes bare = *encode_chunk(sample_chunk(shape, 1), shape, ElementType::U16, no_index);
  EXPECT_EQ(display(ChunkHeader::parse_for_reduced(bare, 0)),
            "invalid argument: htj2k: a reduced-resolution decode needs the plane index (chunk "
            "written with index=False)");
  // A header error comes first, as in the whole parse.
  Bytes bad = chunk;
  bad[0] = 'x';
  EXPECT_EQ(display(ChunkHeader::parse_for_reduced(bad, 9)), display(ChunkHeader::parse(bad)));

  // Entries shortened to the prefix of resolution 1, and prefixes above it
  // left as they were: a reduced read at 2 takes them, the whole parse not.
  auto header = *ChunkHeader::parse(chunk);
  for (PlaneEntry& e : *header.planes) e.length = e.prefix_lengths[1];
  Bytes shortened = *header.to_bytes();
  shortened.insert(shortened.end(), chunk.begin() + static_cast<std::ptrdiff_t>(shortened.size()),
                   chunk.end());
  EXPECT_EQ(display(ChunkHeader::parse(shortened)),
            "malformed codestream at byte 20: plane prefix lengths are inconsistent");
  EXPECT_EQ(display(ChunkHeader::parse_for_reduced(shortened, 2)), "ok");
  EXPECT_EQ(display(ChunkHeader::parse_for_reduced(shortened, 1)),
            "malformed codestream at byte 20: plane prefix lengths are inconsistent");
  // The prefix read must lie inside the chunk.
  const Bytes compact = compacted(chunk, 1);
  EXPECT_TRUE(decode_chunk_reduced(compact, shape, ElementType::U16, 2));
  EXPECT_EQ(display(decode_chunk_reduced(Bytes(compact.begin(), compact.end() - 1), shape,
                                         ElementType::U16, 2)),
            "malformed codestream at byte " +
                std::to_string(ChunkHeader::parse(compact)->planes->back().offset) +
                ": plane prefix exceeds the chunk");
}

TEST(DecodeChunkReduced, DamagedWholeAndCompactedChunksNeverCrash) {
  std::mt19937_64 rng(5);
  const Shape shape{2, 24, 19};
  for (const char* progression : {"RPCL", "CPRL"}) {
    const Bytes chunk = encode(shape, progression, 3);
    for (std::uint8_t reduce = 0; reduce <= 3; ++reduce) {
      const auto size = *reduced_size(shape, ElementType::U16, reduce);
      const Bytes expected = *decode_chunk_reduced(chunk, shape, ElementType::U16, reduce);
      ASSERT_EQ(expected.size(), size);
      const Bytes compact = compacted(chunk, static_cast<std::uint8_t>(3 - reduce));
      ASSERT_EQ(*decode_chunk_reduced(compact, shape, ElementType::U16, reduce), expected);
      for (const Bytes* source : {&chunk, &compact}) {
        for (int round = 0; round < 300; ++round) {
          Bytes damaged = *source;
          damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
          Bytes out(size);
          auto owned = decode_chunk_reduced(damaged, shape, ElementType::U16, reduce);
          auto into = decode_chunk_reduced_into(damaged, shape, ElementType::U16, reduce, out);
          ASSERT_EQ(owned.has_value(), into.has_value());
          if (owned) {
            ASSERT_EQ(*owned, out);
          } else {
            ASSERT_EQ(owned.error(), into.error());
          }
        }
        for (std::size_t n = 0; n < source->size(); n += 3)
          (void)decode_chunk_reduced(std::span(source->data(), n), shape, ElementType::U16, reduce);
      }
    }
  }
}
