// HT block encoder: known answers, argument checks, stream-level properties
// of the cleanup segment and round trips through the block decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/block/mel.hpp"
#include "htj2k/block/streams.hpp"

namespace varnel::htj2k {
namespace {

std::vector<std::uint8_t> encode_ok(const std::vector<std::uint32_t>& s, std::size_t w,
                                    std::size_t h, std::uint32_t mm) {
  auto r = encode_block(s, w, h, w, mm);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return r ? *r : std::vector<std::uint8_t>{};
}

std::uint32_t word(bool negative, std::uint32_t magnitude) {
  return (negative ? 0x80000000u : 0u) | magnitude;
}

// ---------------------------------------------------------------- known answers

TEST(BlockEncode, WorkedExampleOneByOne) {
  // Magnitude 2 with p = 1: mu = 1, positive.
  EXPECT_EQ(encode_ok({2}, 1, 1, 29), (std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00}));
  // Bits below p are dropped: magnitude 3 codes the same mu.
  EXPECT_EQ(encode_ok({3}, 1, 1, 29), (std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00}));
}

TEST(BlockEncode, ReusableEncoderAppendsAndMatchesOneShot) {
  BlockEncoder enc;
  std::vector<std::uint8_t> out = {0xAA};
  auto n = enc.encode(std::vector<std::uint32_t>{2}, 1, 1, 1, 29, out);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 4u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0xAA, 0xFE, 0x00, 0x63, 0x00}));
  // After a large block the encoder still produces the same small one.
  std::vector<std::uint32_t> big(64 * 64, 0x12345u);
  ASSERT_TRUE(enc.encode(big, 64, 64, 64, 10, out).has_value());
  std::vector<std::uint8_t> again;
  ASSERT_TRUE(enc.encode(std::vector<std::uint32_t>{2}, 1, 1, 1, 29, again).has_value());
  EXPECT_EQ(again, (std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00}));
}

// ---------------------------------------------------------------- argument checks

TEST(BlockEncode, RejectsBadGeometry) {
  const std::string dims = "code-block dimensions must be 1..=1024 with area <= 4096";
  std::vector<std::uint32_t> s(8192, 1);
  struct Case { std::size_t w, h; };
  for (const Case c : {Case{1025, 1}, Case{0, 1}, Case{1, 0}, Case{65, 64}, Case{1, 1025},
                       Case{2048, 2}}) {
    auto r = encode_block(s, c.w, c.h, std::max<std::size_t>(c.w, 1), 0);
    ASSERT_FALSE(r.has_value()) << c.w << "x" << c.h;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(r.error().message, dims);
  }
  for (const Case c : {Case{1024, 4}, Case{4, 1024}, Case{64, 64}, Case{1, 1024}, Case{1024, 1}})
    EXPECT_TRUE(encode_block(s, c.w, c.h, c.w, 0).has_value()) << c.w << "x" << c.h;
}

TEST(BlockEncode, RejectsShortBufferAndStride) {
  const std::string msg = "sample buffer too small for code-block geometry";
  std::vector<std::uint32_t> s(4 * 3, 1);
  // Exactly width + stride * (height - 1) words is enough.
  EXPECT_TRUE(encode_block(std::span(s).first(4 + 5 * 1), 4, 2, 5, 0).has_value());
  auto short_buf = encode_block(std::span(s).first(4 + 5 * 1 - 1), 4, 2, 5, 0);
  ASSERT_FALSE(short_buf.has_value());
  EXPECT_EQ(short_buf.error().message, msg);
  auto narrow = encode_block(s, 4, 2, 3, 0);
  ASSERT_FALSE(narrow.has_value());
  EXPECT_EQ(narrow.error().message, msg);
  auto huge = encode_block(s, 4, 3, SIZE_MAX / 2, 0);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error().message, msg);
}

TEST(BlockEncode, RejectsMissingMsbsFromThirty) {
  std::vector<std::uint32_t> s = {2};
  EXPECT_TRUE(encode_block(s, 1, 1, 1, 29).has_value());
  for (std::uint32_t mm : {30u, 31u, 1000u}) {
    auto r = encode_block(s, 1, 1, 1, mm);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
    EXPECT_EQ(r.error().message, "missing_msbs must be < 30 for the 32-bit datapath");
  }
}

TEST(BlockEncode, ChecksRunInOrderAndLeaveOutputAlone) {
  BlockEncoder enc;
  std::vector<std::uint8_t> out = {1, 2, 3};
  // Bad dimensions win over a short buffer and a bad missing_msbs.
  auto r = enc.encode(std::span<const std::uint32_t>{}, 0, 1, 0, 99, out);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "code-block dimensions must be 1..=1024 with area <= 4096");
  auto r2 = enc.encode(std::span<const std::uint32_t>{}, 1, 1, 1, 99, out);
  ASSERT_FALSE(r2.has_value());
  EXPECT_EQ(r2.error().message, "sample buffer too small for code-block geometry");
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3}));
}

// ---------------------------------------------------------------- bit writers

// Bits as sent, least significant first within each put.
using Bits = std::vector<int>;

void append_bits(Bits& bits, std::uint64_t value, unsigned n) {
  for (unsigned i = 0; i < n; ++i) bits.push_back(int((value >> i) & 1));
}

class MagSgnWidths : public ::testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(UpTo, MagSgnWidths, ::testing::Values(31u, 56u));

// Puts of up to GetParam() bits: one sample's bits, or a whole quad's.
TEST_P(MagSgnWidths, MagSgnStuffsAfterFFAndReadsBack) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint8_t> buf(8192);
    MagSgnWriter w(buf.data());
    Bits sent;
    const int puts = int(rng() % 200);
    for (int i = 0; i < puts; ++i) {
      const unsigned n = rng() % (GetParam() + 1);
      // Mostly all-ones values, to make 0xFF bytes common.
      std::uint64_t v = (trial % 2 == 0) ? (std::uint64_t{1} << n) - 1
                                         : (std::uint64_t{rng()} << 32 | rng());
      v &= (std::uint64_t{1} << n) - 1;
      w.put(v, n);
      append_bits(sent, v, n);
    }
    const std::size_t len = w.finish();
    ASSERT_LE(len, buf.size());
    if (len > 0) {
      EXPECT_NE(buf[len - 1], 0xFF);
    }
    // Read forward: 7 bits after 0xFF, then 0xFF fill past the end.
    Bits got;
    bool after_ff = false;
    for (std::size_t i = 0; got.size() < sent.size(); ++i) {
      const std::uint8_t b = i < len ? buf[i] : 0xFF;
      if (after_ff) {
        EXPECT_LT(b, 0x80) << "byte " << i;
      }
      append_bits(got, b, after_ff ? 7 : 8);
      after_ff = b == 0xFF;
    }
    got.resize(sent.size());
    EXPECT_EQ(got, sent) << "trial " << trial;
  }
}

class VlcWidths : public ::testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(UpTo, VlcWidths, ::testing::Values(16u, 30u));

// Puts of up to GetParam() bits: one codeword, or a quad pair's codewords
// and U-VLC bits.
TEST_P(VlcWidths, VlcStuffsSevenOnesAfterBigBytesAndReadsBack) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint8_t> buf(8192);
    VlcEncoder w(buf.data());
    Bits sent;
    const int puts = int(rng() % 300);
    for (int i = 0; i < puts; ++i) {
      const unsigned n = 1 + rng() % GetParam();
      std::uint32_t v = (rng() % 3 != 0) ? 0x3FFFFFFFu : std::uint32_t(rng());
      v &= (1u << n) - 1;
      w.put(v, n);
      append_bits(sent, v, n);
    }
    w.settle();
    ASSERT_LT(w.open_bits(), 8u);
    const unsigned open = w.open_bits();
    if (open > 0) w.append(static_cast<std::uint8_t>(w.open_byte() & ((1u << open) - 1)));
    const std::size_t len = w.size();
    ASSERT_EQ(buf[0], 0xFF);
    // Read in writing order (the segment holds it reversed): byte 1 starts
    // with the four 1 bits that later carry Scup; after a byte above 0x8F, a
    // byte with seven low 1 bits gives only those seven bits and is 0x7F.
    Bits got;
    bool big = true;
    for (std::size_t i = 1; i < len; ++i) {
      const std::uint8_t b = buf[i];
      const bool stuffed = big && (b & 0x7F) == 0x7F;
      if (stuffed) {
        EXPECT_EQ(b, 0x7F) << "byte " << i;
      }
      append_bits(got, b, stuffed ? 7 : 8);
      big = b > 0x8F;
    }
    ASSERT_GE(got.size(), sent.size() + 4);
    EXPECT_EQ(Bits(got.begin(), got.begin() + 4), Bits(4, 1));
    EXPECT_EQ(Bits(got.begin() + 4, got.begin() + 4 + sent.size()), sent) << "trial " << trial;
  }
}

// Reads MEL bits back (most significant first, 7 bits after 0xFF) and
// replays the run-length state machine.
TEST(BlockStreams, MelEventsReadBack) {
  std::mt19937 rng(6);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint8_t> buf(4096);
    MelEncoder mel(buf.data());
    std::vector<int> events;
    const int n = int(rng() % 400);
    const unsigned density = 1 + rng() % 20;
    for (int i = 0; i < n; ++i) {
      events.push_back(rng() % density == 0);
      mel.encode(events.back());
    }
    const MelEncoder::Tail tail = mel.finish();
    std::vector<std::uint8_t> bytes(buf.begin(), buf.begin() + mel.size());
    if (tail.mask != 0) bytes.push_back(tail.byte);
    std::size_t pos = 0;
    int bit_left = 0;
    std::uint8_t cur = 0;
    bool after_ff = false;
    auto next_bit = [&]() -> int {
      if (bit_left == 0) {
        cur = pos < bytes.size() ? bytes[pos] : 0xFF;
        ++pos;
        bit_left = after_ff ? 7 : 8;
        after_ff = cur == 0xFF;
      }
      return (cur >> --bit_left) & 1;
    };
    std::vector<int> got;
    unsigned k = 0;
    while (got.size() < events.size()) {
      if (next_bit() == 1) {
        for (unsigned i = 0; i < (1u << MEL_E[k]); ++i) got.push_back(0);
        k = std::min(k + 1, 12u);
      } else {
        unsigned run = 0;
        for (unsigned i = 0; i < MEL_E[k]; ++i) run = run << 1 | unsigned(next_bit());
        for (unsigned i = 0; i < run; ++i) got.push_back(0);
        got.push_back(1);
        k = k > 0 ? k - 1 : 0;
      }
    }
    got.resize(events.size());
    EXPECT_EQ(got, events) << "trial " << trial;
  }
}

// ---------------------------------------------------------------- block generators

struct Block {
  std::size_t w, h, stride;
  std::uint32_t mm;
  std::vector<std::uint32_t> s;
};

enum class Pattern { Zero, OneNonZero, Sparse, Dense, Largest, Laplacian, Ones };

Block make_block(std::mt19937& rng, std::size_t w, std::size_t h, std::uint32_t mm, Pattern pat,
                 std::size_t extra_stride = 0) {
  Block b{w, h, w + extra_stride, mm, {}};
  b.s.assign(b.stride * h, 0xDEADBEEFu);  // padding words must be ignored
  const unsigned p = 30 - mm;
  const std::uint64_t max_mu = (std::uint64_t{1} << (mm + 1)) - 1;  // mu < 2^(31 - p)
  auto low_bits = [&] { return p == 0 ? 0u : std::uint32_t(rng()) & ((1u << p) - 1); };
  auto sample = [&](std::uint64_t mu) {
    mu = std::min(mu, max_mu);
    return word(rng() & 1, std::uint32_t(mu << p) | low_bits());
  };
  std::uniform_int_distribution<std::uint64_t> any_mu(0, max_mu);
  std::exponential_distribution<double> lap(1.0);
  const double scale = std::ldexp(1.0, int(std::min<std::uint32_t>(mm, 14)));
  const std::size_t one = std::uniform_int_distribution<std::size_t>(0, w * h - 1)(rng);
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      std::uint64_t mu = 0;
      switch (pat) {
        case Pattern::Zero: mu = 0; break;
        case Pattern::OneNonZero: mu = (y * w + x == one) ? std::max<std::uint64_t>(1, any_mu(rng)) : 0; break;
        case Pattern::Sparse: mu = (rng() % 16 == 0) ? any_mu(rng) : 0; break;
        case Pattern::Dense: mu = any_mu(rng); break;
        case Pattern::Largest: mu = max_mu; break;
        case Pattern::Laplacian: mu = std::uint64_t(lap(rng) * scale * ((x + y) % 7 == 0 ? 4 : 0.3)); break;
        case Pattern::Ones: mu = 1; break;
      }
      // Insignificant samples keep their dropped low bits and sign: both
      // must be ignored.
      b.s[y * b.stride + x] = mu == 0 ? (word(rng() & 1, low_bits())) : sample(mu);
    }
  }
  return b;
}

// ---------------------------------------------------------------- stream checks

// The cleanup segment's own invariants, independent of any decoder.
void check_segment(const std::vector<std::uint8_t>& seg, const std::string& what) {
  ASSERT_GE(seg.size(), 2u) << what;
  const std::size_t lcup = seg.size();
  const std::size_t scup = (std::size_t{seg[lcup - 1]} << 4) | (seg[lcup - 2] & 0x0F);
  ASSERT_NE(seg[lcup - 1], 0xFF) << what;
  ASSERT_GE(scup, 2u) << what;
  ASSERT_LE(scup, lcup) << what;
  ASSERT_LE(scup, 4079u) << what;
  // MagSgn: a byte after 0xFF has bit 7 clear, and the stream does not end
  // on 0xFF.
  const std::size_t ms = lcup - scup;
  for (std::size_t i = 0; i + 1 < ms; ++i) {
    if (seg[i] == 0xFF) {
      EXPECT_LT(seg[i + 1], 0x80) << what << " magsgn byte " << i;
    }
  }
  if (ms > 0) {
    EXPECT_NE(seg[ms - 1], 0xFF) << what;
  }
}

// ---------------------------------------------------------------- round trips

void round_trip(const Block& b, const std::string& what) {
  auto seg = encode_block(b.s, b.w, b.h, b.stride, b.mm);
  ASSERT_TRUE(seg.has_value()) << what << ": " << seg.error().display();
  check_segment(*seg, what);
  std::vector<std::uint32_t> out(b.stride * b.h, 0);
  BlockPasses passes{static_cast<std::uint32_t>(seg->size()), 0, 1};
  auto d = decode_block(*seg, out, b.w, b.h, b.stride, b.mm, passes, false);
  ASSERT_TRUE(d.has_value()) << what << ": " << d.error().display();
  const unsigned p = 30 - b.mm;
  for (std::size_t y = 0; y < b.h; ++y) {
    for (std::size_t x = 0; x < b.w; ++x) {
      const std::uint32_t in = b.s[y * b.stride + x];
      const std::uint32_t mu = (in & 0x7FFFFFFFu) >> p;
      const std::uint32_t got = out[y * b.stride + x];
      ASSERT_EQ((got & 0x7FFFFFFFu) >> p, mu) << what << " at " << x << "," << y;
      if (mu != 0) {
        ASSERT_EQ(got >> 31, in >> 31) << what << " sign at " << x << "," << y;
      } else {
        ASSERT_EQ(got, 0u) << what << " at " << x << "," << y;
      }
    }
  }
}

const char* name_of(Pattern p) {
  switch (p) {
    case Pattern::Zero: return "zero";
    case Pattern::OneNonZero: return "one";
    case Pattern::Sparse: return "sparse";
    case Pattern::Dense: return "dense";
    case Pattern::Largest: return "largest";
    case Pattern::Laplacian: return "laplacian";
    case Pattern::Ones: return "ones";
  }
  return "?";
}

constexpr Pattern ALL_PATTERNS[] = {Pattern::Zero,    Pattern::OneNonZero, Pattern::Sparse,
                                    Pattern::Dense,   Pattern::Largest,    Pattern::Laplacian,
                                    Pattern::Ones};

std::string label(const Block& b, Pattern p) {
  return std::to_string(b.w) + "x" + std::to_string(b.h) + " stride " + std::to_string(b.stride) +
         " mm " + std::to_string(b.mm) + " " + name_of(p);
}

TEST(BlockEncodeRoundTrip, SizeClassesEveryPattern) {
  std::mt19937 rng(1234);
  struct Size { std::size_t w, h; };
  const Size sizes[] = {{1, 1},   {1, 2},   {2, 1},   {2, 2},   {3, 3},    {1, 37},  {37, 1},
                        {1, 1024}, {1024, 1}, {5, 7},  {7, 5},   {63, 65},  {65, 63}, {64, 64},
                        {1024, 4}, {4, 1024}, {3, 1024}, {1024, 3}, {33, 17}, {128, 32}};
  for (const Size sz : sizes)
    for (Pattern pat : ALL_PATTERNS)
      for (std::uint32_t mm : {0u, 13u, 29u}) {
        const Block b = make_block(rng, sz.w, sz.h, mm, pat);
        round_trip(b, label(b, pat));
      }
}

TEST(BlockEncodeRoundTrip, EveryMissingMsbs) {
  std::mt19937 rng(99);
  for (std::uint32_t mm = 0; mm < 30; ++mm)
    for (Pattern pat : ALL_PATTERNS) {
      const Block b = make_block(rng, 64, 64, mm, pat);
      round_trip(b, label(b, pat));
      const Block c = make_block(rng, 9, 13, mm, pat, 3);
      round_trip(c, label(c, pat));
    }
}

TEST(BlockEncodeRoundTrip, RandomShapesAndStrides) {
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    const std::size_t w = std::uniform_int_distribution<std::size_t>(1, 1024)(rng);
    const std::size_t hmax = std::min<std::size_t>(1024, 4096 / w);
    const std::size_t h = std::uniform_int_distribution<std::size_t>(1, hmax)(rng);
    const std::uint32_t mm = std::uniform_int_distribution<std::uint32_t>(0, 29)(rng);
    const Pattern pat = ALL_PATTERNS[rng() % std::size(ALL_PATTERNS)];
    const Block b = make_block(rng, w, h, mm, pat, rng() % 3);
    round_trip(b, label(b, pat));
  }
}

// Magnitudes that put 0xFF bytes and stuffing into every stream: long runs
// of all-ones MagSgn bits and of every exponent.
TEST(BlockEncodeRoundTrip, StuffingHeavyBlocks) {
  std::mt19937 rng(5);
  for (std::uint32_t mm : {0u, 7u, 15u, 22u}) {
    for (int variant = 0; variant < 20; ++variant) {
      Block b{64, 64, 64, mm, std::vector<std::uint32_t>(64 * 64)};
      const unsigned p = 30 - mm;
      const std::uint64_t max_mu = (std::uint64_t{1} << (mm + 1)) - 1;
      for (std::size_t i = 0; i < b.s.size(); ++i) {
        // mu = 2^k gives v = 2^(k+1) - 2 + s: all ones with s = 1.
        const unsigned k = (variant + i / 7) % (mm + 1);
        std::uint64_t mu = std::min<std::uint64_t>(std::uint64_t{1} << k, max_mu);
        if (variant % 3 == 1 && rng() % 5 == 0) mu = 0;
        b.s[i] = word(variant % 2 == 0 || (rng() & 1), std::uint32_t(mu << p));
      }
      round_trip(b, "stuffing mm " + std::to_string(mm) + " variant " + std::to_string(variant));
    }
  }
}

// Magnitudes on every exponent boundary (2^k - 1, 2^k, 2^k + 1) for every
// p, mixed in quads with smaller and equal neighbours.
TEST(BlockEncodeRoundTrip, ExponentBoundaries) {
  std::mt19937 rng(8);
  for (std::uint32_t mm = 0; mm < 30; ++mm) {
    const unsigned p = 30 - mm;
    const std::uint64_t max_mu = (std::uint64_t{1} << (mm + 1)) - 1;
    std::vector<std::uint64_t> mus;
    for (unsigned k = 0; k <= mm + 1; ++k)
      for (std::int64_t d : {-1, 0, 1}) {
        const std::int64_t mu = std::int64_t{1} << k;
        if (mu + d >= 1 && std::uint64_t(mu + d) <= max_mu) mus.push_back(std::uint64_t(mu + d));
      }
    Block b{32, 32, 32, mm, std::vector<std::uint32_t>(32 * 32)};
    for (std::size_t i = 0; i < b.s.size(); ++i) {
      const std::uint64_t mu = (rng() % 4 == 0) ? 0 : mus[(i + rng() % 3) % mus.size()];
      b.s[i] = word(rng() & 1, std::uint32_t(mu << p));
    }
    round_trip(b, "boundaries mm " + std::to_string(mm));
  }
}

// Damaged segments (truncated, bit-flipped, random tails) decode to some
// values or to a named error, never out of bounds: run under the sanitizers.
TEST(BlockEncodeRoundTrip, DamagedSegmentsAreHandled) {
  std::mt19937 rng(21);
  for (int i = 0; i < 60; ++i) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const Pattern pat = ALL_PATTERNS[rng() % std::size(ALL_PATTERNS)];
    const Block b = make_block(rng, w, h, rng() % 30, pat);
    auto seg = encode_block(b.s, b.w, b.h, b.stride, b.mm);
    ASSERT_TRUE(seg.has_value());
    std::vector<std::vector<std::uint8_t>> damaged;
    for (std::size_t cut = 0; cut < seg->size(); cut += 1 + seg->size() / 8)
      damaged.emplace_back(seg->begin(), seg->begin() + cut);
    for (int f = 0; f < 8; ++f) {
      auto d = *seg;
      d[rng() % d.size()] ^= std::uint8_t(1u << (rng() % 8));
      damaged.push_back(std::move(d));
    }
    auto noise = *seg;
    for (std::size_t k = 0; k + 2 < noise.size(); ++k) noise[k] = std::uint8_t(rng());
    damaged.push_back(std::move(noise));
    for (const auto& d : damaged) {
      std::vector<std::uint32_t> out(b.stride * b.h, 0);
      BlockPasses passes{static_cast<std::uint32_t>(d.size()), 0, 1};
      auto r = decode_block(d, out, b.w, b.h, b.stride, b.mm, passes, false);
      if (!r) {
        EXPECT_EQ(r.error().kind, ErrorKind::Malformed) << r.error().display();
      }
    }
  }
}

TEST(BlockEncode, SegmentInvariantsOnRandomBlocks) {
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    const std::size_t w = 1 + rng() % 64, h = 1 + rng() % 64;
    const Pattern pat = ALL_PATTERNS[rng() % std::size(ALL_PATTERNS)];
    const Block b = make_block(rng, w, h, rng() % 30, pat);
    auto seg = encode_block(b.s, b.w, b.h, b.stride, b.mm);
    ASSERT_TRUE(seg.has_value());
    check_segment(*seg, label(b, pat));
  }
}

}  // namespace
}  // namespace varnel::htj2k
