// zfp chunk codec: damaged, truncated and random streams end in an error or
// in decoded data of the right size, never in a crash or a read outside the
// input (run this under the sanitizer build); a stream cut inside its blocks
// is refused, whatever the mode.
#include <gtest/gtest.h>
#include <zfp.h>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "zfp/chunk.hpp"

using namespace varnel;
using namespace varnel::zfpc;

namespace {

using Shape = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kTruncated = "varnel_zfp decompress: stream truncated";

ZfpChunkConfig config(const char* mode, std::optional<std::uint8_t> dims = std::nullopt) {
  ZfpChunkConfig c;
  c.mode = mode;
  c.dims = dims;
  if (c.mode == "fixed_rate") c.rate = 6;
  if (c.mode == "fixed_accuracy") c.tolerance = 1e-2;
  if (c.mode == "fixed_precision") c.precision = 18;
  return c;
}

constexpr const char* kModes[] = {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"};

struct Case {
  Shape shape;
  ElementType dtype;
  std::optional<std::uint8_t> dims = std::nullopt;
};

const Case kCases[] = {{{37}, ElementType::F64},          {{9, 7}, ElementType::F32},
                       {{5, 6, 7}, ElementType::I32},     {{3, 4, 2, 5}, ElementType::I64},
                       {{6, 10}, ElementType::U16},       {{2, 2, 9}, ElementType::I8},
                       {{1, 8, 1, 8}, ElementType::F32, 3}, {{1, 1, 33}, ElementType::U8, 1},
                       {{4, 1, 6}, ElementType::I16, 2},  {{2, 3, 1, 5}, ElementType::F64, 4}};

Bytes chunk_for(const Case& c, std::uint64_t seed) {
  std::uint64_t n = 1;
  for (auto e : c.shape) n *= e;
  Bytes b(n * element_size(c.dtype));
  std::mt19937_64 rng(seed);
  if (c.dtype == ElementType::F32) {
    for (std::uint64_t i = 0; i < n; ++i) {
      float v = static_cast<float>(std::cos(0.1 * static_cast<double>(i)) * 100 + (rng() % 100) * 0.01);
      std::memcpy(&b[i * 4], &v, 4);
    }
  } else if (c.dtype == ElementType::F64) {
    for (std::uint64_t i = 0; i < n; ++i) {
      double v = std::sin(0.2 * static_cast<double>(i)) * 1e3 + static_cast<double>(rng() % 1000) * 1e-3;
      std::memcpy(&b[i * 8], &v, 8);
    }
  } else {
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  }
  return b;
}

// Decodes and checks the outcome is one of the two allowed ones. Returns the
// message ("" for success).
std::string decode_outcome(std::span<const std::uint8_t> stream, const Case& c, const ZfpChunkConfig& cfg) {
  auto r = decode_chunk(stream, c.shape, c.dtype, cfg);
  if (r) {
    std::uint64_t n = 1;
    for (auto e : c.shape) n *= e;
    EXPECT_EQ(r->size(), n * element_size(c.dtype));
    return "";
  }
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed) << r.error().message;
  // A truncation is reported where the input ends, the other stream checks
  // at 0.
  EXPECT_EQ(r.error().offset, r.error().message == kTruncated ? stream.size() : 0u) << r.error().message;
  EXPECT_EQ(r.error().message.rfind("varnel_zfp", 0), 0u) << r.error().message;
  return r.error().message;
}

// The stream libzfp's own whole-field call writes for the chunk's samples
// with the stream parameters of `cfg`, in whole 64-bit words.
Bytes zfp_reference(const Bytes& chunk, const Case& c, const ZfpChunkConfig& cfg) {
  const ScalarType type = scalar_type_of(c.dtype);
  const Shape shape = *effective_shape(c.shape, cfg.dims);
  const StreamParams p = stream_params(*cfg.zfp_mode(), type, static_cast<unsigned>(shape.size()));
  std::vector<std::int32_t> wide(chunk.size() / element_size(c.dtype));
  void* data = const_cast<std::uint8_t*>(chunk.data());
  if (element_size(c.dtype) < 4) {
    promote(chunk, c.dtype, wide);
    data = wide.data();
  }
  zfp_field* f = zfp_field_alloc();
  zfp_field_set_type(f, static_cast<zfp_type>(type));
  const auto n = [&](std::size_t axis) { return shape[shape.size() - 1 - axis]; };
  switch (shape.size()) {
    case 1: zfp_field_set_size_1d(f, n(0)); break;
    case 2: zfp_field_set_size_2d(f, n(0), n(1)); break;
    case 3: zfp_field_set_size_3d(f, n(0), n(1), n(2)); break;
    default: zfp_field_set_size_4d(f, n(0), n(1), n(2), n(3)); break;
  }
  zfp_field_set_pointer(f, data);
  zfp_stream* zs = zfp_stream_open(nullptr);
  zfp_stream_set_params(zs, p.minbits, p.maxbits, p.maxprec, p.minexp);
  Bytes buffer(zfp_stream_maximum_size(zs, f) + 8);
  bitstream* bits = stream_open(buffer.data(), buffer.size());
  zfp_stream_set_bit_stream(zs, bits);
  zfp_stream_rewind(zs);
  EXPECT_GT(zfp_write_header(zs, f, ZFP_HEADER_FULL), 0u);
  const std::size_t written = zfp_compress(zs, f);  // flushed to a whole library word
  stream_close(bits);
  zfp_stream_close(zs);
  zfp_field_free(f);
  buffer.resize((written + 7) / 8 * 8);
  return buffer;
}

}  // namespace

// Every cut of a valid stream (libzfp's own stream, byte for byte), from one
// byte to all of it. A cut that keeps every bit the blocks use loses only
// the zero tail of the last word and decodes to the whole stream's values;
// every shorter one is refused, by
// the exact size outside of which no fixed-rate stream exists, else by the
// truncation error at the cut (or by a header check when the header itself
// was cut). decode_chunk_into gives the same answers.
TEST(ZfpMalformed, EveryCutIsRefusedUnlessOnlyPaddingIsGone) {
  constexpr std::size_t kWholeHeader = (ZFP_HEADER_MAX_BITS + 7) / 8;
  std::size_t padding_cuts = 0;
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m, c.dims);
      const Bytes chunk = chunk_for(c, 4);
      auto enc = encode_chunk(chunk, c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      auto whole = decode_chunk(*enc, c.shape, c.dtype, cfg);
      ASSERT_TRUE(whole.has_value()) << whole.error().message;
      ASSERT_EQ(*enc, zfp_reference(chunk, c, cfg));
      ASSERT_EQ(enc->size() % 8, 0u);
      const bool fixed_rate = std::string(m) == "fixed_rate";
      bool refused = false;  // once a cut is, every shorter one is
      for (std::size_t len = enc->size(); len-- > 0;) {
        SCOPED_TRACE(std::string(m) + " " + std::string(element_name(c.dtype)) + " cut to " +
                     std::to_string(len) + " of " + std::to_string(enc->size()));
        // A private copy of exactly `len` bytes, so that a read past it is
        // caught by the address sanitizer.
        const Bytes cut(enc->begin(), enc->begin() + static_cast<std::ptrdiff_t>(len));
        auto r = decode_chunk(cut, c.shape, c.dtype, cfg);
        Bytes into(whole->size());
        auto r_into = decode_chunk_into(cut, c.shape, c.dtype, cfg, into);
        if (!fixed_rate && !refused && r) {
          ASSERT_GT(len + 8, enc->size());  // only the last word's zero tail
          EXPECT_EQ(*r, *whole);
          ASSERT_TRUE(r_into.has_value()) << r_into.error().message;
          EXPECT_EQ(into, *whole);
          ++padding_cuts;
          continue;
        }
        refused = true;
        ASSERT_FALSE(r.has_value());
        ASSERT_FALSE(r_into.has_value());
        EXPECT_EQ(r_into.error(), r.error());
        const Error expected =
            fixed_rate ? malformed(0, "varnel_zfp: fixed-rate stream is " + std::to_string(len) +
                                                 " bytes, computed size is " + std::to_string(enc->size()))
                       : malformed(len, kTruncated);
        if (len >= kWholeHeader) {
          EXPECT_EQ(r.error(), expected) << r.error().message;
        } else if (r.error() != expected) {
          EXPECT_EQ(decode_outcome(cut, c, cfg).rfind("varnel_zfp: ", 0), 0u);
        }
      }
    }
  }
  // The decoder counts the bits its blocks read, whatever the library's
  // stream word: some streams end with whole bytes of padding.
  EXPECT_GT(padding_cuts, 0u);
}

TEST(ZfpMalformed, BitFlipsDecodeOrFail) {
  std::map<std::string, int> seen;
  std::mt19937_64 rng(42);
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m, c.dims);
      auto enc = encode_chunk(chunk_for(c, 2), c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value());
      // Every bit of the header, then random bits of the body.
      const std::size_t header_bits = std::min<std::size_t>(enc->size() * 8, 160);
      for (std::size_t bit = 0; bit < header_bits + 200; ++bit) {
        const std::size_t at = bit < header_bits ? bit : rng() % (enc->size() * 8);
        Bytes damaged = *enc;
        damaged[at / 8] ^= static_cast<std::uint8_t>(1u << (at % 8));
        ++seen[decode_outcome(damaged, c, cfg)];
      }
    }
  }
  // The header checks are all reachable by damage.
  for (const char* message : {"varnel_zfp: invalid ZFP header magic",
                              "varnel_zfp: invalid ZFP compression mode in header",
                              "varnel_zfp: stream compression parameters do not match the configuration"}) {
    EXPECT_GT(seen[message], 0) << message;
  }
  bool holds = false, declares = false;
  for (const auto& [msg, n] : seen) {
    holds |= msg.rfind("varnel_zfp: stream holds ", 0) == 0;
    declares |= msg.rfind("varnel_zfp: stream declares dimensions ", 0) == 0;
  }
  EXPECT_TRUE(holds);
  EXPECT_TRUE(declares);
  for (const auto& [msg, n] : seen) std::printf("  %6d  %s\n", n, msg.empty() ? "(decoded)" : msg.c_str());
}

TEST(ZfpMalformed, ValidHeaderThenRandomBlocks) {
  // A genuine header followed by noise reaches the block decoder in every
  // mode, and decodes unless its blocks need more bits than the stream has
  // (never in fixed-rate mode, whose blocks have a fixed size).
  std::mt19937_64 rng(7);
  std::map<std::string, int> seen;
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m, c.dims);
      auto enc = encode_chunk(chunk_for(c, 3), c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value());
      const std::string allowed = std::string(m) == "fixed_rate" ? "" : kTruncated;
      for (int round = 0; round < 20; ++round) {
        Bytes noisy = *enc;
        for (std::size_t i = 16; i < noisy.size(); ++i) noisy[i] = static_cast<std::uint8_t>(rng());
        std::string outcome = decode_outcome(noisy, c, cfg);
        EXPECT_TRUE(outcome == "" || outcome == allowed) << outcome;
        ++seen[outcome];
        // All ones is the longest path through a block decoder.
        for (std::size_t i = 16; i < noisy.size(); ++i) noisy[i] = 0xFF;
        outcome = decode_outcome(noisy, c, cfg);
        EXPECT_TRUE(outcome == "" || outcome == allowed) << outcome;
        ++seen[outcome];
      }
    }
  }
  EXPECT_GT(seen[""], 0);
  EXPECT_GT(seen[kTruncated], 0);
}

TEST(ZfpMalformed, RandomBytesDecodeOrFail) {
  std::mt19937_64 rng(99);
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m, c.dims);
      for (int round = 0; round < 200; ++round) {
        Bytes junk(rng() % 300);
        for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
        // Half of them with a valid magic, to get past the first check.
        if (round % 2 && junk.size() >= 4) {
          junk[0] = 'z';
          junk[1] = 'f';
          junk[2] = 'p';
          junk[3] = 5;
        }
        decode_outcome(junk, c, cfg);
      }
    }
  }
}

TEST(ZfpMalformed, HugeShapeWithTinyStreamAllocatesNothingFirst) {
  // A stray stream against a large declared shape fails on its header before
  // any shape-sized output is made.
  const Shape big{1u << 20, 1u << 12};
  auto r = decode_chunk(Bytes(16, 0), big, ElementType::F64, config("reversible"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "varnel_zfp: invalid ZFP header magic");
}

// Streams long enough to be read in place for most of their blocks before
// the decoder moves to its padded copy of the last words: every cut in the
// last few kilobytes, and a stream that starts at an odd address (read
// through the copy alone), give the answers of a whole decode; run under
// the address sanitizer, a read past the cut is caught. (A block reads at
// most about 2 KiB here.)
TEST(ZfpMalformed, LongStreamsAreReadInPlaceUpToTheirLastWords) {
  const Case cases[] = {{{100, 90}, ElementType::F32}, {{20, 20, 21}, ElementType::F64}, {{96, 96}, ElementType::U16}};
  for (const auto& c : cases) {
    for (const char* m : kModes) {
      const auto cfg = config(m, c.dims);
      const Bytes chunk = chunk_for(c, 11);
      auto enc = encode_chunk(chunk, c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      ASSERT_EQ(*enc, zfp_reference(chunk, c, cfg));
      ASSERT_GT(enc->size(), 5000u);  // longer than a block can read
      auto whole = decode_chunk(*enc, c.shape, c.dtype, cfg);
      ASSERT_TRUE(whole.has_value()) << whole.error().message;
      Bytes odd(enc->size() + 1);
      std::memcpy(odd.data() + 1, enc->data(), enc->size());
      auto shifted = decode_chunk(std::span(odd).subspan(1), c.shape, c.dtype, cfg);
      ASSERT_TRUE(shifted.has_value());
      EXPECT_EQ(*shifted, *whole);
      const bool fixed_rate = std::string(m) == "fixed_rate";
      bool refused = false;
      // Every cut in the last word and a bit beyond, then every 9th byte.
      for (std::size_t len = enc->size() - 1; len > enc->size() - 2500;
           len -= enc->size() - len < 64 ? 1 : 9) {
        SCOPED_TRACE(std::string(m) + " cut to " + std::to_string(len));
        const Bytes cut(enc->begin(), enc->begin() + static_cast<std::ptrdiff_t>(len));
        auto r = decode_chunk(cut, c.shape, c.dtype, cfg);
        if (!fixed_rate && !refused && r) {
          ASSERT_GT(len + 8, enc->size());
          EXPECT_EQ(*r, *whole);
          continue;
        }
        refused = true;
        ASSERT_FALSE(r.has_value());
        if (!fixed_rate) {
          EXPECT_EQ(r.error(), malformed(len, kTruncated));
        }
      }
    }
  }
}
