#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codestream/container.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/crc32c.hpp"
#include "core/plane.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_u64(Bytes& b, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes header_bytes(std::uint8_t flags, std::uint8_t levels, std::vector<std::uint32_t> shape) {
  Bytes b = {'v', 'r', 'h', 't', 1, flags, levels, static_cast<std::uint8_t>(shape.size())};
  for (auto e : shape) put_u32(b, e);
  return b;
}

void put_entry(Bytes& b, std::uint64_t offset, std::uint32_t length,
               std::vector<std::uint32_t> prefixes) {
  put_u64(b, offset);
  put_u32(b, length);
  for (auto p : prefixes) put_u32(b, p);
}

// The error display of parsing `bytes`, or "ok".
std::string parse_display(const Bytes& bytes) {
  auto h = ChunkHeader::parse(bytes);
  return h ? "ok" : h.error().display();
}

ChunkHeader sample_header() {
  ChunkHeader h;
  h.shape = {2, 3, 4};
  h.xy_levels = 5;
  h.planes = std::vector<PlaneEntry>{
      {{10, 20, 30, 40, 50, 60}, 92, 60, {}},
      {{1, 2, 3, 4, 5, 7}, 152, 7, {}},
  };
  return h;
}

}  // namespace

TEST(ChunkHeader, SerializesTheWorkedHeader) {
  auto bytes = sample_header().to_bytes();
  ASSERT_TRUE(bytes);
  const Bytes prefix = {0x76, 0x72, 0x68, 0x74, 0x01, 0x01, 0x05, 0x03, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
  ASSERT_EQ(bytes->size(), 20u + 2 * 36u);
  EXPECT_EQ(Bytes(bytes->begin(), bytes->begin() + 20), prefix);
  // The first entry: offset 92 (the end of the index), length 60.
  EXPECT_EQ((*bytes)[20], 92);
  EXPECT_EQ((*bytes)[28], 60);
  EXPECT_EQ((*bytes)[56], 152);
}

TEST(ChunkHeader, RoundTrips) {
  const ChunkHeader h = sample_header();
  Bytes bytes = *h.to_bytes();
  bytes.resize(bytes.size() + 67);  // the codestreams, never looked at
  auto parsed = ChunkHeader::parse(bytes);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(*parsed, h);

  ChunkHeader bare;
  bare.shape = {7, 1, 65536};
  bare.xy_levels = 32;
  Bytes b2 = *bare.to_bytes();
  EXPECT_EQ(b2.size(), 8u + 12u);
  EXPECT_EQ(b2[5], 0);
  EXPECT_EQ(*ChunkHeader::parse(b2), bare);
}

TEST(ChunkHeader, ZeroLevelsGiveSixteenByteEntries) {
  ChunkHeader h;
  h.shape = {2, 5, 5};
  h.xy_levels = 0;
  h.planes = std::vector<PlaneEntry>{{{4}, 52, 9, {}}, {{9}, 61, 9, {}}};
  Bytes bytes = *h.to_bytes();
  EXPECT_EQ(bytes.size(), 20u + 2 * 16u);
  bytes.resize(70);
  EXPECT_EQ(*ChunkHeader::parse(bytes), h);
}

TEST(ChunkHeader, ToBytesRefusesBrokenPreconditions) {
  ChunkHeader h;
  h.shape = {4};
  EXPECT_EQ(h.to_bytes().error().message, "chunk header ndim 1 outside 2..=32");
  h.shape.assign(33, 1);
  EXPECT_EQ(h.to_bytes().error().message, "chunk header ndim 33 outside 2..=32");
  h.shape = {4, 4};
  h.xy_levels = 33;
  EXPECT_EQ(h.to_bytes().error().message,
            "chunk header xy_levels 33 exceeds the 32-level J2K bound (T.800 SPcod)");
  h.xy_levels = 2;
  h.planes = std::vector<PlaneEntry>{{{1, 2}, 48, 2, {}}};
  EXPECT_FALSE(h.to_bytes());
}

TEST(ChunkHeader, PrefixChecksInOrder) {
  EXPECT_EQ(parse_display(Bytes(7, 0)), "malformed codestream at byte 0: chunk header prefix too short");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 'x', 1, 0, 5, 2}),
            "malformed codestream at byte 0: not an htj2k chunk (bad magic)");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 2, 9, 99, 0}),
            "malformed codestream at byte 4: unsupported htj2k chunk container version");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 1, 4, 99, 0}),
            "malformed codestream at byte 5: unknown htj2k chunk container flags");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 1, 1, 33, 0}),
            "malformed codestream at byte 6: xy_levels exceeds the 32-level J2K bound (T.800 SPcod)");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 1, 1, 32, 1}),
            "malformed codestream at byte 7: chunk ndim outside 2..=32");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 1, 1, 32, 33}),
            "malformed codestream at byte 7: chunk ndim outside 2..=32");
  EXPECT_EQ(parse_display({'v', 'r', 'h', 't', 1, 0, 5, 2}),
            "malformed codestream at byte 8: truncated chunk header");
  Bytes eleven = header_bytes(0, 5, {3, 4});
  eleven.resize(15);
  EXPECT_EQ(parse_display(eleven), "malformed codestream at byte 15: truncated chunk header");
}

TEST(ChunkHeader, ZeroExtentIsReportedAtItsPosition) {
  Bytes b = header_bytes(1, 5, {2, 3, 0, 4});
  EXPECT_EQ(parse_display(b), "malformed codestream at byte 16: zero chunk dimension");
  b = header_bytes(0, 5, {2, 3, 4, 0});
  EXPECT_EQ(parse_display(b), "malformed codestream at byte 20: zero chunk dimension");
}

TEST(ChunkHeader, PlaneCountBound) {
  auto ok = ChunkHeader::parse(header_bytes(0, 0, {4096, 4096, 2, 2}));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->plane_count(), 1u << 24);
  EXPECT_EQ(parse_display(header_bytes(0, 0, {4097, 4096, 2, 2})),
            "malformed codestream at byte 8: chunk declares more planes than supported");
  // The running product is checked as it grows, so it cannot wrap.
  std::vector<std::uint32_t> huge(30, 0xFFFFFFFFu);
  huge.push_back(1);
  huge.push_back(1);
  EXPECT_EQ(parse_display(header_bytes(0, 0, huge)),
            "malformed codestream at byte 8: chunk declares more planes than supported");
  // A two-dimensional chunk is one plane, whatever its extents.
  EXPECT_EQ(parse_display(header_bytes(0, 0, {0xFFFFFFFFu, 0xFFFFFFFFu})), "ok");
}

TEST(ChunkHeader, IndexChecks) {
  // Flag 1 with no index bytes at all.
  Bytes b = header_bytes(1, 5, {2, 3});
  EXPECT_EQ(parse_display(b), "malformed codestream at byte 16: truncated coefficient-plane index");

  // Shape (2, 3, 4), L = 1: entries of 20 bytes at 20 and 40, index end 60.
  const auto two = [](std::uint64_t o0, std::uint32_t l0, std::vector<std::uint32_t> p0,
                      std::uint64_t o1, std::uint32_t l1, std::vector<std::uint32_t> p1) {
    Bytes c = header_bytes(1, 1, {2, 3, 4});
    put_entry(c, o0, l0, p0);
    put_entry(c, o1, l1, p1);
    return c;
  };
  EXPECT_EQ(parse_display(two(60, 10, {5, 10}, 70, 10, {5, 10})), "ok");
  EXPECT_EQ(parse_display(two(59, 10, {5, 10}, 70, 10, {5, 10})),
            "malformed codestream at byte 20: plane offsets overlap or precede the index");
  EXPECT_EQ(parse_display(two(60, 10, {5, 10}, 69, 10, {5, 10})),
            "malformed codestream at byte 40: plane offsets overlap or precede the index");
  // Gaps between planes are allowed, and so are empty planes.
  EXPECT_EQ(parse_display(two(100, 0, {0, 0}, 100, 10, {0, 10})), "ok");
  EXPECT_EQ(parse_display(two(60, 20, {10, 9}, 80, 10, {5, 10})),
            "malformed codestream at byte 20: plane prefix lengths are inconsistent");
  EXPECT_EQ(parse_display(two(60, 20, {10, 21}, 80, 10, {5, 10})),
            "malformed codestream at byte 20: plane prefix lengths are inconsistent");
  EXPECT_EQ(parse_display(two(60, 20, {20, 20}, 80, 10, {5, 10})), "ok");
  EXPECT_EQ(parse_display(two(60, 10, {5, 10}, ~std::uint64_t{0} - 5, 10, {5, 10})),
            "malformed codestream at byte 40: plane byte range overflows");
  // The parser never checks that ranges end inside the chunk.
  EXPECT_EQ(parse_display(two(60, 10, {5, 10}, 1u << 30, 10, {5, 10})), "ok");
}

TEST(ChunkHeader, PrefixLengthsWithThreeResolutions) {
  const auto one = [](std::vector<std::uint32_t> p, std::uint32_t length) {
    Bytes c = header_bytes(1, 2, {3, 4});
    put_entry(c, 44, length, p);
    return parse_display(c);
  };
  EXPECT_EQ(one({10, 20, 20}, 20), "ok");
  EXPECT_EQ(one({10, 9, 20}, 20), "malformed codestream at byte 16: plane prefix lengths are inconsistent");
  EXPECT_EQ(one({10, 20, 21}, 20), "malformed codestream at byte 16: plane prefix lengths are inconsistent");
}

TEST(ChunkHeader, EveryTruncationIsRefused) {
  Bytes full = *sample_header().to_bytes();
  for (std::size_t n = 0; n < full.size(); ++n) {
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    auto h = ChunkHeader::parse(cut);
    ASSERT_FALSE(h) << n;
    EXPECT_EQ(h.error().kind, ErrorKind::Malformed);
    const std::string& m = h.error().message;
    if (n < 8) {
      EXPECT_EQ(m, "chunk header prefix too short");
    } else if (n < 20) {
      EXPECT_EQ(m, "truncated chunk header");
      EXPECT_EQ(h.error().offset, n);
    } else {
      EXPECT_EQ(m, "truncated coefficient-plane index");
      EXPECT_EQ(h.error().offset, n);
    }
  }
}

TEST(ChunkHeader, SurvivesRandomBytesAndBitFlips) {
  std::mt19937_64 rng(12345);
  Bytes full = *sample_header().to_bytes();
  full.resize(full.size() + 67);
  int accepted = 0;
  for (std::size_t bit = 0; bit < 92 * 8; ++bit) {
    Bytes flipped = full;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto h = ChunkHeader::parse(flipped);
    if (h) {
      ++accepted;
      ASSERT_EQ(h->planes.has_value(), flipped[5] == 1);
    } else {
      ASSERT_EQ(h.error().kind, ErrorKind::Malformed);
      ASSERT_LE(h.error().offset, flipped.size());
    }
  }
  EXPECT_GT(accepted, 0);
  for (int round = 0; round < 20000; ++round) {
    Bytes noise(rng() % 200);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(rng());
    if (noise.size() >= 8 && round % 2 == 0) {
      // Keep a valid prefix so the deeper checks are reached too.
      const std::uint8_t prefix[] = {'v', 'r', 'h', 't', 1, static_cast<std::uint8_t>(rng() % 2),
                                     static_cast<std::uint8_t>(rng() % 34),
                                     static_cast<std::uint8_t>(rng() % 6)};
      std::copy(prefix, prefix + 8, noise.begin());
    }
    auto h = ChunkHeader::parse(noise);
    if (!h) {
      ASSERT_LE(h.error().offset, noise.size());
    }
  }
}

namespace {

Bytes write_plane(std::size_t w, std::size_t h, std::uint8_t levels, bool index,
                  std::uint8_t progression = 2) {
  std::vector<std::int32_t> samples(w * h);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int32_t>((i * 37) % 251);
  auto plane = CoeffPlane::make(samples, w, h);
  EncodeParams p;
  p.levels = levels;
  p.index = index;
  p.progression = progression;
  auto cs = encode_image_with_depth(std::span<const CoeffPlane>(&*plane, 1), 8, false, p);
  EXPECT_TRUE(cs) << cs.error().display();
  return *cs;
}

}  // namespace

TEST(PlaneEntry, PrefixesAreTheFurthestPacketEndPerResolution) {
  for (std::uint8_t progression = 0; progression < 5; ++progression) {
    const Bytes bytes = write_plane(70, 45, 3, true, progression);
    auto cs = Codestream::parse(bytes);
    ASSERT_TRUE(cs);
    auto packets = cs->packet_index();
    ASSERT_TRUE(packets);
    auto entry = PlaneEntry::from_codestream(*cs, 1234);
    ASSERT_TRUE(entry) << entry.error().display();
    EXPECT_EQ(entry->offset, 1234u);
    EXPECT_EQ(entry->length, bytes.size());
    ASSERT_EQ(entry->prefix_lengths.size(), 4u);
    for (std::uint8_t r = 0; r <= 3; ++r) {
      std::uint64_t furthest = 0;
      for (const PacketRef& p : *packets)
        if (p.resolution <= r) furthest = std::max<std::uint64_t>(furthest, p.offset + p.length);
      EXPECT_EQ(entry->prefix_lengths[r], furthest);
    }
    // The full resolution needs everything but the EOC marker.
    EXPECT_EQ(entry->prefix_lengths.back(), bytes.size() - 2);
    EXPECT_LT(entry->prefix_lengths.front(), entry->prefix_lengths.back());
  }
}

TEST(PlaneEntry, ZeroLevelsGiveOnePrefix) {
  const Bytes bytes = write_plane(5, 4, 0, true);
  auto cs = Codestream::parse(bytes);
  auto entry = PlaneEntry::from_codestream(*cs, 0);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->prefix_lengths, std::vector<std::uint32_t>{static_cast<std::uint32_t>(bytes.size() - 2)});
}

TEST(PlaneEntry, NeedsPltSegments) {
  const Bytes bytes = write_plane(16, 16, 2, false);
  auto cs = Codestream::parse(bytes);
  ASSERT_TRUE(cs);
  auto entry = PlaneEntry::from_codestream(*cs, 0);
  ASSERT_FALSE(entry);
  EXPECT_EQ(entry.error().display(), cs->packet_index().error().display());
  EXPECT_EQ(entry.error().kind, ErrorKind::Unsupported);
}

// --- prefix checksums (flags 3) ----------------------------------------------

namespace {

ChunkHeader checksummed_header() {
  ChunkHeader h;
  h.shape = {2, 3, 4};
  h.xy_levels = 1;
  h.checksums = true;
  PlaneEntry a{{10, 20}, 76, 20, {0x11223344, 0xA0B0C0D0}};
  PlaneEntry b{{1, 7}, 96, 7, {0, 0xFFFFFFFF}};
  h.planes = std::vector<PlaneEntry>{a, b};
  return h;
}

}  // namespace

TEST(ChunkHeader, ChecksumEntriesFollowThePrefixLengths) {
  auto bytes = checksummed_header().to_bytes();
  ASSERT_TRUE(bytes) << bytes.error().display();
  // 20 header bytes, then two entries of 8 + 4 + 2 x 4 + 2 x 4 bytes.
  ASSERT_EQ(bytes->size(), 20u + 2 * 28u);
  EXPECT_EQ((*bytes)[5], 3);  // index and checksums
  Bytes first(bytes->begin() + 20, bytes->begin() + 48);
  Bytes expected;
  put_entry(expected, 76, 20, {10, 20});
  put_u32(expected, 0x11223344);
  put_u32(expected, 0xA0B0C0D0);
  EXPECT_EQ(first, expected);
  EXPECT_EQ(checksummed_header().index_end(2), 76u);

  Bytes chunk = *bytes;
  chunk.resize(chunk.size() + 27);
  auto parsed = ChunkHeader::parse(chunk);
  ASSERT_TRUE(parsed) << parsed.error().display();
  EXPECT_EQ(*parsed, checksummed_header());
  auto reduced = ChunkHeader::parse_for_reduced(chunk, 1);
  ASSERT_TRUE(reduced) << reduced.error().display();
  EXPECT_EQ((*reduced->planes)[1].checksums, (std::vector<std::uint32_t>{0, 0xFFFFFFFF}));
}

TEST(ChunkHeader, ChecksumFlagsAndCountsAreChecked) {
  const struct {
    const char* name;
    std::uint8_t flags;
    const char* display;
  } parses[] = {
      {"checksums without index", 2,
       "malformed codestream at byte 5: htj2k chunk container flags: checksums without a plane "
       "index"},
      {"an unknown bit", 4, "malformed codestream at byte 5: unknown htj2k chunk container flags"},
      {"an unknown bit with both", 7,
       "malformed codestream at byte 5: unknown htj2k chunk container flags"},
  };
  for (const auto& c : parses)
    EXPECT_EQ(parse_display(header_bytes(c.flags, 0, {1, 1})), c.display) << c.name;

  ChunkHeader missing = checksummed_header();
  (*missing.planes)[1].checksums.pop_back();
  ChunkHeader unflagged = checksummed_header();
  unflagged.checksums = false;
  ChunkHeader unindexed = checksummed_header();
  unindexed.planes.reset();
  const struct {
    const char* name;
    ChunkHeader header;
  } writes[] = {{"one checksum short", missing},
                {"checksums without the flag", unflagged},
                {"the flag without an index", unindexed}};
  for (const auto& c : writes) {
    auto bytes = c.header.to_bytes();
    ASSERT_FALSE(bytes) << c.name;
    EXPECT_EQ(bytes.error().kind, ErrorKind::InvalidArgument) << c.name;
  }
}

TEST(ChunkHeader, EveryTruncationOfAChecksummedIndexIsRefused) {
  Bytes bytes = *checksummed_header().to_bytes();
  bytes.resize(bytes.size() + 27);
  for (std::size_t n = 0; n < 76; ++n) {
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(ChunkHeader::parse(cut)) << n;
  }
}

TEST(PlaneEntry, ChecksumsCoverEachPrefixAndCatchItsBytes) {
  std::vector<std::uint8_t> codestream(300);
  for (std::size_t i = 0; i < codestream.size(); ++i)
    codestream[i] = static_cast<std::uint8_t>(i * 7 + 3);
  PlaneEntry e{{0, 40, 40, 298}, 1000, 300, {}};
  ASSERT_TRUE(e.add_checksums(codestream));
  ASSERT_EQ(e.checksums.size(), 4u);
  EXPECT_EQ(e.checksums[0], 0u);  // the CRC of no bytes
  EXPECT_EQ(e.checksums[1], e.checksums[2]);
  for (std::size_t r = 0; r < 4; ++r) {
    EXPECT_EQ(e.checksums[r], crc32c(std::span(codestream).first(e.prefix_lengths[r]))) << r;
    EXPECT_TRUE(e.verify_prefix(codestream, r, 9)) << r;
  }
  // A byte inside prefix 3 only, and one past every prefix.
  Bytes flipped = codestream;
  flipped[100] ^= 0x20;
  EXPECT_TRUE(e.verify_prefix(flipped, 1, 9));
  auto bad = e.verify_prefix(flipped, 3, 9);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(bad.error().offset, 1000u);
  EXPECT_NE(bad.error().message.find("plane 9: resolution 3 prefix checksum mismatch (stored 0x"),
            std::string::npos)
      << bad.error().message;
  flipped = codestream;
  flipped[299] ^= 1;
  EXPECT_TRUE(e.verify_prefix(flipped, 3, 9));

  PlaneEntry decreasing{{40, 39}, 0, 300, {}};
  EXPECT_FALSE(decreasing.add_checksums(codestream));
  PlaneEntry beyond{{40, 301}, 0, 300, {}};
  EXPECT_FALSE(beyond.add_checksums(codestream));
  EXPECT_FALSE(e.verify_prefix(std::span(codestream).first(297), 3, 0));  // a short caller
}

