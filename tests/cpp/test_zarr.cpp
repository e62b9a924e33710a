#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
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

namespace {

using Bytes = std::vector<std::uint8_t>;
using Shape = std::vector<std::uint64_t>;

template <class T>
Bytes bytes_of(const std::vector<T>& values) {
  Bytes b(values.size() * sizeof(T));
  std::memcpy(b.data(), values.data(), b.size());
  return b;
}

Bytes encode(const Bytes& chunk, const Shape& shape, ElementType t, Htj2kConfig config = {}) {
  auto out = encode_chunk(chunk, shape, t, config);
  EXPECT_TRUE(out) << out.error().display();
  return out ? *out : Bytes{};
}

std::string encode_error(const Bytes& chunk, const Shape& shape, ElementType t,
                         Htj2kConfig config = {}) {
  auto out = encode_chunk(chunk, shape, t, config);
  return out ? "ok" : out.error().display();
}

std::string decode_error(const Bytes& chunk, const Shape& shape, ElementType t) {
  auto out = decode_chunk(chunk, shape, t);
  return out ? "ok" : out.error().display();
}

// Depth declared by each plane's codestream (SIZ component 0).
std::vector<int> plane_depths(const Bytes& container) {
  auto planes = plane_ranges(container);
  EXPECT_TRUE(planes);
  std::vector<int> depths;
  for (const PlaneRange& r : planes->ranges) {
    auto cs = Codestream::parse(std::span(container).subspan(r.offset, r.length));
    EXPECT_TRUE(cs);
    depths.push_back(cs->siz.components.at(0).depth);
  }
  return depths;
}

void put_u32le(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_u32be(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

// --- encode -----------------------------------------------------------------

TEST(EncodeChunk, SinglePlaneLayout) {
  const Bytes chunk = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const Bytes out = encode(chunk, {3, 4}, ElementType::U8);
  auto header = ChunkHeader::parse(out);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->shape, (std::vector<std::uint32_t>{3, 4}));
  EXPECT_EQ(header->xy_levels, 5);
  ASSERT_TRUE(header->planes);
  ASSERT_EQ(header->planes->size(), 1u);
  const auto& e = header->planes->front();
  EXPECT_EQ(e.offset, 8u + 4 * 2 + 1 * (16 + 4 * 5));
  EXPECT_EQ(e.offset + e.length, out.size());
  EXPECT_EQ(e.prefix_lengths.size(), 6u);
  EXPECT_LE(e.prefix_lengths.back(), e.length);
}

TEST(EncodeChunk, IndexEntriesAreBackToBack) {
  std::vector<std::uint16_t> values(5 * 3 * 33 * 17);
  std::iota(values.begin(), values.end(), 0);
  Htj2kConfig config;
  config.xy_levels = 3;
  const Bytes out = encode(bytes_of(values), {5, 3, 33, 17}, ElementType::U16, config);
  auto header = ChunkHeader::parse(out);
  ASSERT_TRUE(header && header->planes);
  ASSERT_EQ(header->planes->size(), 15u);
  std::uint64_t at = 8 + 4 * 4 + 15 * (16 + 4 * 3);
  for (const auto& e : *header->planes) {
    EXPECT_EQ(e.offset, at);
    ASSERT_EQ(e.prefix_lengths.size(), 4u);
    for (std::size_t r = 1; r < 4; ++r) EXPECT_LE(e.prefix_lengths[r - 1], e.prefix_lengths[r]);
    EXPECT_GT(e.prefix_lengths[0], 0u);
    // Every codestream ends with EOC.
    EXPECT_EQ(out[e.offset + e.length - 2], 0xFF);
    EXPECT_EQ(out[e.offset + e.length - 1], 0xD9);
    at += e.length;
  }
  EXPECT_EQ(at, out.size());
}

TEST(EncodeChunk, WithoutIndexTheCodestreamsFollowTheHeader) {
  std::vector<std::int16_t> values(2 * 9 * 7, -3);
  Htj2kConfig config;
  config.index = false;
  const Bytes out = encode(bytes_of(values), {2, 9, 7}, ElementType::I16, config);
  EXPECT_EQ(out[5], 0);
  EXPECT_EQ(out[8 + 12], 0xFF);  // SOC right after the header
  EXPECT_EQ(out[8 + 12 + 1], 0x4F);
  auto planes = plane_ranges(out);
  ASSERT_TRUE(planes);
  ASSERT_EQ(planes->ranges.size(), 2u);
  EXPECT_EQ(planes->ranges[0].offset, 20u);
  EXPECT_EQ(planes->ranges[1].offset, 20u + planes->ranges[0].length);
  EXPECT_EQ(planes->ranges[1].offset + planes->ranges[1].length, out.size());
  // No PLT segments without an index.
  auto cs = Codestream::parse(std::span(out).subspan(20));
  ASSERT_TRUE(cs);
  EXPECT_FALSE(cs->packet_index());
}

TEST(EncodeChunk, DepthFollowsEachPlanesValues) {
  // Planes of 2 x 3: max 255, max 127, all zero, max 65535.
  std::vector<std::uint16_t> u16 = {255, 0, 1, 2, 3, 4, 127, 0, 0, 0, 0, 0,
                                    0,   0, 0, 0, 0, 0, 65535, 0, 0, 0, 0, 0};
  EXPECT_EQ(plane_depths(encode(bytes_of(u16), {4, 2, 3}, ElementType::U16)),
            (std::vector<int>{8, 7, 1, 16}));
  std::vector<std::int16_t> i16 = {255, 0, 1, 2, 3, 4, -256, 0, 0, 0, 0, 0, -257, 0, 0, 0, 0, 0};
  EXPECT_EQ(plane_depths(encode(bytes_of(i16), {3, 2, 3}, ElementType::I16)),
            (std::vector<int>{9, 9, 10}));
  std::vector<std::int8_t> i8 = {-1, 0, -1, 0, -128, 5, 0, 0, 127, 0, 0, 0};
  EXPECT_EQ(plane_depths(encode(bytes_of(i8), {3, 2, 2}, ElementType::I8)),
            (std::vector<int>{1, 8, 8}));
  std::vector<std::int32_t> i32 = {-(1 << 20), 0, 0, 1 << 20};
  EXPECT_EQ(plane_depths(encode(bytes_of(i32), {1, 2, 2}, ElementType::I32)),
            (std::vector<int>{22}));
}

TEST(EncodeChunk, ChecksInOrder) {
  const Bytes six(6);
  Htj2kConfig c;
  c.xy_levels = 33;
  c.progression = "rpcl";
  c.reversible = false;
  EXPECT_EQ(encode_error(six, {2, 3}, ElementType::U8, c),
            "invalid argument: htj2k: xy_levels exceeds the 32-level J2K bound (T.800 SPcod)");
  c.xy_levels = 32;
  EXPECT_EQ(encode_error(six, {2, 3}, ElementType::U8, c),
            "unsupported: htj2k: unknown progression order \"rpcl\"");
  c.progression = "CPRL";
  EXPECT_EQ(encode_error(six, {2, 3}, ElementType::U8, c),
            "unsupported: htj2k: lossy (reversible: false) coding lands with a later phase");
  EXPECT_EQ(encode_error(six, {2}, ElementType::U8),
            "invalid argument: htj2k needs a chunk with trailing 2D (y, x) planes; got 1 dimension(s)");
  EXPECT_EQ(encode_error(six, {}, ElementType::U8),
            "invalid argument: htj2k needs a chunk with trailing 2D (y, x) planes; got 0 dimension(s)");
  EXPECT_EQ(encode_error(six, Shape(33, 1), ElementType::U8),
            "invalid argument: htj2k chunks carry at most 32 dimensions; got 33");
  EXPECT_EQ(encode_error(six, {4, 0, 8}, ElementType::U8),
            "invalid argument: htj2k needs non-zero chunk extents; dimension 1 of [4, 0, 8] is 0");
  EXPECT_EQ(encode_error(six, {1u << 31, 1u << 31, 1u << 31}, ElementType::U8),
            "invalid argument: chunk element count overflows");
  EXPECT_EQ(encode_error(six, {1ull << 62, 2}, ElementType::U16),
            "invalid argument: chunk byte length overflows");
  EXPECT_EQ(encode_error(Bytes(47), {2, 3, 4}, ElementType::U16),
            "invalid argument: chunk of shape [2, 3, 4] and dtype U16 needs 48 bytes, got 47");
  EXPECT_EQ(encode_error(six, {2, 3}, ElementType::I32),
            "invalid argument: chunk of shape [2, 3] and dtype I32 needs 24 bytes, got 6");
}

TEST(EncodeChunk, RefusesMorePlanesThanTheContainerHolds) {
  // Such a container would be written, then refused by every reader.
  const Bytes chunk((1u << 24) + 1);
  EXPECT_EQ(encode_error(chunk, {(1u << 24) + 1, 1, 1}, ElementType::U8),
            "invalid argument: htj2k chunks carry at most 16777216 planes; got 16777217");
  EXPECT_EQ(encode_error(chunk, {(1u << 23) + 1, 2, 1, 1}, ElementType::U8),
            "invalid argument: chunk of shape [8388609, 2, 1, 1] and dtype U8 needs 16777218 "
            "bytes, got 16777217");
}

TEST(EncodeChunk, EveryProgressionNameIsKnown) {
  const char* names[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};
  for (std::uint8_t code = 0; code < 5; ++code) {
    Htj2kConfig c;
    c.progression = names[code];
    EXPECT_EQ(*c.progression_order(), code);
  }
  Htj2kConfig c;
  for (const char* bad : {"", "RPCL ", "rpcl", "RPC", "R\"P"}) {
    c.progression = bad;
    EXPECT_EQ(c.progression_order().error().kind, ErrorKind::Unsupported) << bad;
  }
  c.progression = "a\"b";
  EXPECT_EQ(c.progression_order().error().message, "htj2k: unknown progression order \"a\\\"b\"");
}

TEST(EncodeChunk, CodesUint32AboveThe31BitRange) {
  // Once refused ("exceeds the 32-bit HT datapath"): now the 64-bit path.
  std::vector<std::uint32_t> values = {1, 2, 3, 2147483647u, 5, 6, 7, 2147483648u, 4294967295u};
  const Bytes chunk = bytes_of(values);
  EXPECT_EQ(*decode_chunk(encode(chunk, {1, 3, 3}, ElementType::U32), Shape{1, 3, 3}, ElementType::U32),
            chunk);
  EXPECT_EQ(plane_depths(encode(chunk, {1, 3, 3}, ElementType::U32)), std::vector<int>{32});
}

TEST(EncodeChunk, DeepPlaneBesideShallowOnes) {
  // Plane 0 is small (32-bit path); plane 1 needs the 64-bit path.
  std::vector<std::int32_t> values(2 * 4 * 4, 1);
  values[16 + 5] = -2147483647 - 1;
  const Bytes chunk = bytes_of(values);
  const Bytes coded = encode(chunk, {2, 4, 4}, ElementType::I32);
  EXPECT_EQ(plane_depths(coded), (std::vector<int>{2, 32}));
  EXPECT_EQ(*decode_chunk(coded, Shape{2, 4, 4}, ElementType::I32), chunk);
}

TEST(EncodeChunk, ExtentBeyondU32IsRefused) {
  // Leading extents are only limited by the container's 32-bit fields.
  const Shape shape = {1ull << 32, 1, 1};
  std::vector<std::uint8_t> huge;  // never allocated: the size check fails first
  EXPECT_EQ(encode_error(huge, shape, ElementType::U8),
            "invalid argument: chunk of shape [4294967296, 1, 1] and dtype U8 needs 4294967296 "
            "bytes, got 0");
}

// --- decode -----------------------------------------------------------------

TEST(DecodeChunk, RoundTripsEveryTypeWithAndWithoutIndex) {
  std::mt19937 rng(42);
  const ElementType types[] = {ElementType::U8, ElementType::I8, ElementType::U16,
                              ElementType::I16, ElementType::U32, ElementType::I32};
  const Shape shapes[] = {{1, 1}, {3, 5}, {2, 17, 9}, {2, 1, 3, 64}, {70, 65}};
  for (ElementType t : types) {
    const std::int64_t lo = std::max<std::int64_t>(element_min(t), -(1 << 24));
    const std::int64_t hi = std::min<std::int64_t>(element_max(t), 1 << 24);
    for (const Shape& shape : shapes) {
      std::size_t count = 1;
      for (auto e : shape) count *= e;
      Bytes chunk(count * element_size(t));
      for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t v = lo + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
        std::memcpy(chunk.data() + i * element_size(t), &v, element_size(t));
      }
      for (bool index : {true, false}) {
        for (std::uint8_t levels : {0, 1, 5}) {
          Htj2kConfig c;
          c.index = index;
          c.xy_levels = levels;
          const Bytes coded = encode(chunk, shape, t, c);
          auto back = decode_chunk(coded, shape, t);
          ASSERT_TRUE(back) << back.error().display();
          ASSERT_EQ(*back, chunk) << element_name(t) << " levels " << int(levels);
        }
      }
    }
  }
}

TEST(DecodeChunk, ShapeMustMatchTheHeader) {
  const Bytes coded = encode(Bytes(24), {2, 3, 4}, ElementType::U8);
  EXPECT_EQ(decode_error(coded, {2, 3, 5}, ElementType::U8),
            "malformed codestream at byte 0: chunk header declares shape [2, 3, 4], decode expects "
            "[2, 3, 5]");
  EXPECT_EQ(decode_error(coded, {6, 4}, ElementType::U8),
            "malformed codestream at byte 0: chunk header declares shape [2, 3, 4], decode expects "
            "[6, 4]");
  EXPECT_EQ(decode_error(coded, {1, 2, 3, 4}, ElementType::U8),
            "malformed codestream at byte 0: chunk header declares shape [2, 3, 4], decode expects "
            "[1, 2, 3, 4]");
  EXPECT_EQ(decode_error(coded, {(1ull << 32) + 2, 3, 4}, ElementType::U8),
            "malformed codestream at byte 0: chunk header declares shape [2, 3, 4], decode expects "
            "[4294967298, 3, 4]");
}

TEST(DecodeChunk, AnyDtypeWhoseRangeHoldsTheValues) {
  std::vector<std::uint16_t> values = {0, 17, 200, 255, 128, 3};
  const Bytes coded = encode(bytes_of(values), {2, 3}, ElementType::U16);
  auto as_u8 = decode_chunk(coded, Shape{2, 3}, ElementType::U8);
  ASSERT_TRUE(as_u8);
  EXPECT_EQ(*as_u8, (Bytes{0, 17, 200, 255, 128, 3}));
  EXPECT_EQ(decode_error(coded, {2, 3}, ElementType::I8),
            "malformed codestream at byte 0: decoded sample range [0, 255] does not fit dtype I8 "
            "(corrupt or mismatched chunk)");
  auto as_i32 = decode_chunk(coded, Shape{2, 3}, ElementType::I32);
  ASSERT_TRUE(as_i32);
  EXPECT_EQ(as_i32->size(), 24u);

  std::vector<std::int16_t> negative = {-5, 0, 7, 300};
  const Bytes signed_coded = encode(bytes_of(negative), {2, 2}, ElementType::I16);
  EXPECT_EQ(decode_error(signed_coded, {2, 2}, ElementType::U16),
            "malformed codestream at byte 0: decoded sample range [-5, 300] does not fit dtype U16 "
            "(corrupt or mismatched chunk)");
  EXPECT_EQ(decode_error(signed_coded, {2, 2}, ElementType::U32),
            "malformed codestream at byte 0: decoded sample range [-5, 300] does not fit dtype U32 "
            "(corrupt or mismatched chunk)");
}

TEST(DecodeChunk, IndexRangeBeyondTheChunk) {
  Bytes coded = encode(Bytes(12, 7), {3, 4}, ElementType::U8);
  auto header = ChunkHeader::parse(coded);
  ASSERT_TRUE(header);
  const std::uint64_t offset = header->planes->front().offset;
  // Length one byte too long for the chunk.
  put_u32le(coded, 16 + 8, header->planes->front().length + 1);
  EXPECT_EQ(decode_error(coded, {3, 4}, ElementType::U8),
            "malformed codestream at byte " + std::to_string(offset) +
                ": plane byte range exceeds the chunk");
}

TEST(DecodeChunk, TrailingBytesAreIgnored) {
  const Bytes chunk = {9, 8, 7, 6, 5, 4};
  for (bool index : {true, false}) {
    Htj2kConfig c;
    c.index = index;
    Bytes coded = encode(chunk, {1, 2, 3}, ElementType::U8, c);
    coded.insert(coded.end(), {0xFF, 0xD9, 0, 1, 2});
    auto back = decode_chunk(coded, Shape{1, 2, 3}, ElementType::U8);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(*back, chunk);
  }
}

TEST(DecodeChunk, MissingOrCutCodestreamsWithoutIndex) {
  Htj2kConfig c;
  c.index = false;
  const Bytes coded = encode(Bytes(2 * 4 * 4, 3), {2, 4, 4}, ElementType::U8, c);
  // Header only: the parser fails on the empty region at byte 0 of plane 0.
  Bytes header_only(coded.begin(), coded.begin() + 20);
  const std::string e0 = decode_error(header_only, {2, 4, 4}, ElementType::U8);
  EXPECT_EQ(e0.rfind("malformed codestream at byte ", 0), 0u) << e0;
  // The last codestream cut short.
  Bytes cut(coded.begin(), coded.end() - 1);
  EXPECT_NE(decode_error(cut, {2, 4, 4}, ElementType::U8), "ok");
}

TEST(DecodeChunk, PlaneSizeMustMatchTheHeader) {
  Htj2kConfig c;
  c.index = false;
  Bytes coded = encode(Bytes(8 * 16, 1), {8, 16}, ElementType::U8, c);
  put_u32le(coded, 12, 15);  // header x extent 16 -> 15
  EXPECT_EQ(decode_error(coded, {8, 15}, ElementType::U8),
            "malformed codestream at byte 0: plane decodes to 1x8x16, chunk header declares 8x15x1");
}

TEST(DecodeChunk, HugeDeclaredPlaneIsRefusedBeforeDecoding) {
  // A tiny chunk whose codestream SIZ claims a 60000 x 60000 image (one
  // tile, so the codestream is otherwise supported): refused by comparing
  // with the header, without allocating the plane.
  Htj2kConfig c;
  c.index = false;
  Bytes coded = encode(Bytes(4, 0), {1, 4}, ElementType::U8, c);
  const std::size_t cs = 16;  // codestream start; SIZ follows SOC
  ASSERT_EQ(coded[cs + 2], 0xFF);
  ASSERT_EQ(coded[cs + 3], 0x51);
  for (std::size_t field : {8u, 12u, 24u, 28u}) put_u32be(coded, cs + field, 60000);
  EXPECT_EQ(decode_error(coded, {1, 4}, ElementType::U8),
            "malformed codestream at byte 0: plane decodes to 1x60000x60000, chunk header declares "
            "1x4x1");
}

TEST(DecodeChunk, ParserOffsetsCountFromThePlane) {
  Htj2kConfig c;
  c.index = true;
  Bytes coded = encode(Bytes(2 * 3 * 3, 5), {2, 3, 3}, ElementType::U8, c);
  auto header = ChunkHeader::parse(coded);
  const std::uint64_t second = header->planes->at(1).offset;
  coded[second] = 0x00;  // break plane 1's SOC
  auto direct = Codestream::parse(std::span(coded).subspan(second));
  ASSERT_FALSE(direct);
  EXPECT_EQ(decode_error(coded, {2, 3, 3}, ElementType::U8), direct.error().display());
}

TEST(NarrowSamples, ChecksTheRangeThenAppends) {
  Bytes out = {0xAA};
  std::vector<std::int32_t> s = {-3, 300};
  auto r = narrow_samples(s, ElementType::U8, out);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            "malformed codestream at byte 0: decoded sample range [-3, 300] does not fit dtype U8 "
            "(corrupt or mismatched chunk)");
  EXPECT_EQ(out, Bytes{0xAA});
  EXPECT_TRUE(narrow_samples({}, ElementType::U8, out));
  s = {-128, 127, -1};
  ASSERT_TRUE(narrow_samples(s, ElementType::I8, out));
  EXPECT_EQ(out, (Bytes{0xAA, 0x80, 0x7F, 0xFF}));
  out.clear();
  s = {65535, 0, 258};
  ASSERT_TRUE(narrow_samples(s, ElementType::U16, out));
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0, 0, 2, 1}));
  out.clear();
  s = {-2147483647 - 1, 2147483647};
  ASSERT_TRUE(narrow_samples(s, ElementType::I32, out));
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0x7F}));
  EXPECT_FALSE(narrow_samples(s, ElementType::U32, out));
  s = {0, 2147483647};
  EXPECT_TRUE(narrow_samples(s, ElementType::U32, out));
  s = {-32769};
  EXPECT_FALSE(narrow_samples(s, ElementType::I16, out));
  s = {65536};
  EXPECT_FALSE(narrow_samples(s, ElementType::U16, out));
}

TEST(DecodeChunk, MalformedInputNeverCrashes) {
  std::mt19937_64 rng(99);
  std::vector<std::uint16_t> values(2 * 12 * 10);
  for (auto& v : values) v = static_cast<std::uint16_t>(rng() % 1000);
  for (bool index : {true, false}) {
    Htj2kConfig c;
    c.index = index;
    const Bytes coded = encode(bytes_of(values), {2, 12, 10}, ElementType::U16, c);
    // Every truncation fails with an error.
    for (std::size_t n = 0; n < coded.size(); ++n) {
      Bytes cut(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(n));
      auto r = decode_chunk(cut, Shape{2, 12, 10}, ElementType::U16);
      ASSERT_FALSE(r) << n;
    }
    // Bit flips end in an error or in some decoded values of the right size.
    for (int round = 0; round < 3000; ++round) {
      Bytes flipped = coded;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) flipped[rng() % flipped.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      auto r = decode_chunk(flipped, Shape{2, 12, 10}, ElementType::U16);
      if (r) {
        ASSERT_EQ(r->size(), values.size() * 2);
      }
    }
  }
}

// Decoding into a caller's buffer gives the same bytes and the same errors
// as decoding into an owned one, on good, damaged and mismatched input.
TEST(DecodeChunkInto, AgreesWithDecodeChunk) {
  std::mt19937_64 rng(7);
  std::vector<std::int16_t> values(3 * 17 * 9);
  for (auto& v : values) v = static_cast<std::int16_t>(static_cast<int>(rng() % 2000) - 1000);
  const Shape shape{3, 17, 9};
  const Bytes coded = encode(bytes_of(values), shape, ElementType::I16);
  auto into = [&](const Bytes& chunk, const Shape& s, ElementType t, std::size_t size) {
    Bytes out(size, 0xAB);
    auto r = decode_chunk_into(chunk, s, t, out);
    return r ? out : Bytes{};
  };
  EXPECT_EQ(into(coded, shape, ElementType::I16, values.size() * 2), bytes_of(values));
  EXPECT_EQ(*decoded_size(shape, ElementType::I16), values.size() * 2);
  EXPECT_EQ(decoded_size(Shape{1ull << 40, 1ull << 40}, ElementType::U8).error().display(),
            "invalid argument: chunk byte length overflows");

  // A buffer of the wrong size is refused, whatever the chunk holds.
  Bytes small(values.size() * 2 - 1);
  EXPECT_EQ(decode_chunk_into(coded, shape, ElementType::I16, small).error().display(),
            "invalid argument: decode output buffer does not match the chunk shape");

  for (int round = 0; round < 500; ++round) {
    Bytes damaged = coded;
    damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    const ElementType t = round % 3 == 0 ? ElementType::U16 : ElementType::I16;
    Bytes out(values.size() * 2);
    auto a = decode_chunk(damaged, shape, t);
    auto b = decode_chunk_into(damaged, shape, t, out);
    ASSERT_EQ(a.has_value(), b.has_value()) << round;
    if (a) {
      ASSERT_EQ(*a, out) << round;
    } else {
      ASSERT_EQ(a.error(), b.error()) << round;
    }
  }
  EXPECT_EQ(decode_chunk_into(coded, Shape{3, 17, 8}, ElementType::I16, small).error(),
            decode_chunk(coded, Shape{3, 17, 8}, ElementType::I16).error());
}

// The encoder builds the plane index from what the writer knows; it must be
// the index that each codestream's own PLT segments give.
TEST(EncodeChunk, IndexIsTheOneEachCodestreamsPacketsGive) {
  struct Case { Shape shape; std::string progression; std::uint8_t levels; };
  const Case cases[] = {
      {{3, 37, 61}, "RPCL", 5}, {{2, 64, 64}, "LRCP", 3}, {{1, 1, 200}, "RLCP", 4},
      {{2, 130, 9}, "PCRL", 6}, {{2, 300, 257}, "CPRL", 2}, {{1, 5, 5}, "RPCL", 0},
  };
  std::mt19937 rng(21);
  for (const Case& c : cases) {
    std::vector<std::uint16_t> values(std::accumulate(c.shape.begin(), c.shape.end(), std::uint64_t{1},
                                                      std::multiplies<>()));
    for (auto& v : values) v = static_cast<std::uint16_t>(rng() % 4096);
    Htj2kConfig config;
    config.progression = c.progression;
    config.xy_levels = c.levels;
    const Bytes out = encode(bytes_of(values), c.shape, ElementType::U16, config);
    auto header = ChunkHeader::parse(out);
    ASSERT_TRUE(header) << header.error().display();
    ASSERT_TRUE(header->planes);
    for (const codestream::PlaneEntry& e : *header->planes) {
      auto cs = Codestream::parse(std::span(out).subspan(e.offset, e.length));
      ASSERT_TRUE(cs) << cs.error().display();
      auto parsed = codestream::PlaneEntry::from_codestream(*cs, e.offset);
      ASSERT_TRUE(parsed) << parsed.error().display();
      EXPECT_EQ(e, *parsed) << c.progression << " " << int(c.levels);
    }
  }
}
