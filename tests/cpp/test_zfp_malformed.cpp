// zfp chunk codec: damaged, truncated and random streams end in an error or
// in decoded data of the right size, never in a crash or a read outside the
// input (run this under the sanitizer build).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zfp/chunk.hpp"

using namespace varnel;
using namespace varnel::zfpc;

namespace {

using Shape = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

ZfpChunkConfig config(const char* mode) {
  ZfpChunkConfig c;
  c.mode = mode;
  if (c.mode == "fixed_rate") c.rate = 6;
  if (c.mode == "fixed_accuracy") c.tolerance = 1e-2;
  if (c.mode == "fixed_precision") c.precision = 18;
  return c;
}

constexpr const char* kModes[] = {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"};

struct Case {
  Shape shape;
  ZfpDtype dtype;
};

const Case kCases[] = {{{37}, ZfpDtype::F64}, {{9, 7}, ZfpDtype::F32}, {{5, 6, 7}, ZfpDtype::I32},
                       {{3, 4, 2, 5}, ZfpDtype::I64}, {{6, 10}, ZfpDtype::U16}, {{2, 2, 9}, ZfpDtype::I8}};

Bytes chunk_for(const Case& c, std::uint64_t seed) {
  std::uint64_t n = 1;
  for (auto e : c.shape) n *= e;
  Bytes b(n * zfp_dtype_size(c.dtype));
  std::mt19937_64 rng(seed);
  if (c.dtype == ZfpDtype::F32) {
    for (std::uint64_t i = 0; i < n; ++i) {
      float v = static_cast<float>(std::cos(0.1 * static_cast<double>(i)) * 100 + (rng() % 100) * 0.01);
      std::memcpy(&b[i * 4], &v, 4);
    }
  } else if (c.dtype == ZfpDtype::F64) {
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
    EXPECT_EQ(r->size(), n * zfp_dtype_size(c.dtype));
    return "";
  }
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed) << r.error().message;
  EXPECT_EQ(r.error().offset, 0u);
  EXPECT_EQ(r.error().message.rfind("varnel_zfp", 0), 0u) << r.error().message;
  EXPECT_EQ(r.error().message.find("run past"), std::string::npos);
  return r.error().message;
}

}  // namespace

TEST(ZfpMalformed, EveryTruncationDecodesOrFails) {
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m);
      auto enc = encode_chunk(chunk_for(c, 1), c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      for (std::size_t len = 0; len < enc->size(); ++len) {
        // A private copy of exactly `len` bytes, so that a read past it is
        // caught by the address sanitizer.
        Bytes cut(enc->begin(), enc->begin() + static_cast<std::ptrdiff_t>(len));
        const std::string outcome = decode_outcome(cut, c, cfg);
        if (len < 12) {
          EXPECT_NE(outcome, "") << "a stream without a whole header decoded";
        }
        if (std::string(m) == "fixed_rate") {
          EXPECT_NE(outcome, "") << len;
        }
      }
    }
  }
}

TEST(ZfpMalformed, BitFlipsDecodeOrFail) {
  std::map<std::string, int> seen;
  std::mt19937_64 rng(42);
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m);
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
  // A genuine header followed by noise reaches the block decoder in every mode.
  std::mt19937_64 rng(7);
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m);
      auto enc = encode_chunk(chunk_for(c, 3), c.shape, c.dtype, cfg);
      ASSERT_TRUE(enc.has_value());
      for (int round = 0; round < 20; ++round) {
        Bytes noisy = *enc;
        for (std::size_t i = 16; i < noisy.size(); ++i) noisy[i] = static_cast<std::uint8_t>(rng());
        EXPECT_EQ(decode_outcome(noisy, c, cfg), "");
        // All ones is the longest path through a block decoder.
        for (std::size_t i = 16; i < noisy.size(); ++i) noisy[i] = 0xFF;
        EXPECT_EQ(decode_outcome(noisy, c, cfg), "");
      }
    }
  }
}

TEST(ZfpMalformed, RandomBytesDecodeOrFail) {
  std::mt19937_64 rng(99);
  for (const auto& c : kCases) {
    for (const char* m : kModes) {
      const auto cfg = config(m);
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
  auto r = decode_chunk(Bytes(16, 0), big, ZfpDtype::F64, config("reversible"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "varnel_zfp: invalid ZFP header magic");
}
