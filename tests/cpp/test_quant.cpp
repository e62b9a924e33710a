#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codestream/markers.hpp"
#include "codestream/quant.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void expect_malformed(const Result<T>& r, std::uint64_t at, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << "expected: " << message;
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().offset, at);
  EXPECT_EQ(r.error().message, message);
}

template <class T>
void expect_invalid(const Result<T>& r, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << "expected: " << message;
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().message, message);
}

Result<Quant> parse_copy(const Bytes& payload, std::uint64_t at) {
  const Bytes copy(payload);  // exact-size heap buffer for the sanitizer
  return Quant::parse(copy, at);
}

// M_b expected of a subband, from the bit growth of the reversible 5/3 path:
// the samples' D bits, one more for the LL band of a transformed plane, and
// two or three more for detail bands (three for HH from level 6 up).
unsigned expected_magb(unsigned depth, unsigned levels, unsigned r, unsigned kind) {
  if (levels == 0) return depth;
  if (r == 0) return depth + 1;
  const unsigned d = levels - r + 1;
  if (d == 1) return depth + 1;
  return depth + ((kind == 3 && d >= 6) ? 3 : 2);
}

}  // namespace

TEST(QuantReversible, WorkedDepth8FiveLevels) {
  auto q = Quant::reversible(5, 8, 0);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->guard_bits, 1);
  EXPECT_EQ(q->style, 0);
  EXPECT_EQ(q->steps, (std::vector<std::uint16_t>{9, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 9, 9, 9}));
  Bytes want = {0x20, 0x48};
  for (int i = 0; i < 12; ++i) want.push_back(0x50);
  want.insert(want.end(), {0x48, 0x48, 0x48});
  EXPECT_EQ(q->to_bytes(), want);
  EXPECT_EQ(q->to_bytes().size(), 17u);
  EXPECT_EQ(q->magb(), 10u);
  EXPECT_EQ(Cap::from_magb(q->magb()).ccap15, 2);
}

TEST(QuantReversible, WorkedBounds) {
  struct Case {
    unsigned levels, depth;
    unsigned guard, kmax;
  } cases[] = {
      {6, 16, 1, 19},  // HH of level 6 has the largest range, 20
      {5, 16, 1, 18},  // uint16 with five levels: Ccap^15 = 10
      {0, 30, 1, 30},  // no transform: M_b = D
      {1, 33, 4, 34},  // V = 35 needs four guard bits
      {0, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.levels) + " levels, depth " + std::to_string(c.depth));
    auto q = Quant::reversible(std::uint8_t(c.levels), std::uint8_t(c.depth), 0);
    ASSERT_TRUE(q.has_value()) << q.error().message;
    EXPECT_EQ(q->guard_bits, c.guard);
    EXPECT_EQ(q->magb(), c.kmax);
  }
  EXPECT_EQ(Cap::from_magb(Quant::reversible(5, 16, 0)->magb()).ccap15, 10);
  auto q33 = Quant::reversible(1, 33, 0);
  EXPECT_EQ(q33->steps[0], 31);  // the LL exponent fills its five bits
  EXPECT_EQ(q33->steps.size(), 4u);

  // N = 0 with depth 38 needs 39 bits; so does depth 36 with six levels.
  expect_invalid(Quant::reversible(0, 38, 0), "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  expect_invalid(Quant::reversible(6, 36, 0), "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  expect_invalid(Quant::reversible(0, 30, 8), "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  expect_invalid(Quant::reversible(0, 255, 255), "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  EXPECT_TRUE(Quant::reversible(0, 37, 0).has_value());
  EXPECT_TRUE(Quant::reversible(0, 30, 7).has_value());

  auto q = Quant::reversible(33, 8, 0);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->steps.size(), 100u);
  expect_invalid(Quant::reversible(34, 8, 0), "more than 33 decomposition levels");
  expect_invalid(Quant::reversible(255, 255, 0), "more than 33 decomposition levels");
}

TEST(QuantReversible, LargestDepthUnderTheWriterBound) {
  // K_max <= 30 allows depth 30 without a transform, 29 with one level,
  // 28 with two to five and 27 from six levels on.
  for (unsigned levels = 0; levels <= 33; ++levels) {
    const unsigned largest = levels == 0 ? 30 : levels == 1 ? 29 : levels <= 5 ? 28 : 27;
    EXPECT_EQ(Quant::reversible(std::uint8_t(levels), std::uint8_t(largest), 0)->magb(), 30u) << levels;
    EXPECT_EQ(Quant::reversible(std::uint8_t(levels), std::uint8_t(largest + 1), 0)->magb(), 31u) << levels;
  }
}

TEST(QuantReversible, GivesEveryBandItsBitGrowth) {
  for (unsigned levels = 0; levels <= 33; ++levels)
    for (unsigned depth = 1; depth <= 40; ++depth)
      for (unsigned extra : {0u, 1u, 3u}) {
        SCOPED_TRACE(std::to_string(levels) + "/" + std::to_string(depth) + "/" + std::to_string(extra));
        const unsigned d = depth + extra;
        unsigned vmax = 0;
        for (unsigned r = 0; r <= levels; ++r)
          for (unsigned k = r == 0 ? 0 : 1; k <= (r == 0 ? 0u : 3u); ++k)
            vmax = std::max(vmax, expected_magb(d, levels, r, k) + 1);
        auto q = Quant::reversible(std::uint8_t(levels), std::uint8_t(depth), std::uint8_t(extra));
        if (vmax >= 39) {
          expect_invalid(q, "bit depth + wavelet gain exceeds the 38-bit J2K bound");
          continue;
        }
        ASSERT_TRUE(q.has_value());
        ASSERT_EQ(q->steps.size(), 3 * levels + 1);
        EXPECT_EQ(q->guard_bits, std::max(1u, vmax > 31 ? vmax - 31 : 0u));
        for (std::uint16_t e : q->steps) {
          EXPECT_GE(e, 1);
          EXPECT_LE(e, 31);
        }
        unsigned kmax = 0;
        for (unsigned r = 0; r <= levels; ++r)
          for (unsigned k = r == 0 ? 0 : 1; k <= (r == 0 ? 0u : 3u); ++k) {
            EXPECT_EQ(q->band_magb(std::uint8_t(r), std::uint8_t(k)), expected_magb(d, levels, r, k));
            kmax = std::max(kmax, expected_magb(d, levels, r, k));
          }
        EXPECT_EQ(q->magb(), kmax);

        // The payload reads back to the same record.
        auto back = parse_copy(q->to_bytes(), 0);
        ASSERT_TRUE(back.has_value()) << back.error().message;
        EXPECT_EQ(*back, *q);
      }
}

TEST(QuantParse, ChecksInOrderWithExactMessages) {
  const std::uint64_t at = 612;
  struct Case {
    const char* what;
    Bytes payload;
    const char* message;
  } cases[] = {
      {"empty", {}, "empty QCD payload"},
      {"style 1", {0x21}, "unsupported quantization style (derived)"},
      {"style 1 with steps", {0x21, 0x48, 0x00}, "unsupported quantization style (derived)"},
      {"style 3", {0x23, 0x48}, "unsupported quantization style (derived)"},
      {"style 31", {0x1F, 0x48}, "unsupported quantization style (derived)"},
      {"odd expounded", {0x22, 0x48}, "odd-length expounded QCD payload"},
      {"odd expounded, three bytes", {0x22, 0x48, 0x00, 0x48}, "odd-length expounded QCD payload"},
      {"no steps", {0x20}, "QCD with no subband step sizes"},
      {"no expounded steps", {0x42}, "QCD with no subband step sizes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expect_malformed(parse_copy(c.payload, at), at, c.message);
  }
}

TEST(QuantParse, ReadsEveryKmaxASegmentCanDeclare) {
  // G 7 and eps 31 make K_max 37, the deepest: the 64-bit datapath's.
  struct Case {
    Bytes payload;
    std::uint32_t kmax;
    bool wide;
  };
  const Case cases[] = {{{0xE0, 0xF8}, 37, true},
                        {{0x40, 0x48, 0x50, 0x50, 0xF8}, 32, true},
                        {{0xE2, 0xF8, 0x00}, 37, true},
                        {{0x20, 0xF0}, 30, false}};
  for (const Case& c : cases) {
    auto q = parse_copy(c.payload, 0);
    ASSERT_TRUE(q.has_value()) << q.error().message;
    EXPECT_EQ(q->magb(), c.kmax);
    EXPECT_EQ(needs_wide_datapath(*q), c.wide);
  }
}

TEST(QuantParse, ReadsBothStyles) {
  auto none = parse_copy({0x20, 0xF8}, 0);  // G 1, eps 31: M_b = 31 is the limit
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->steps, std::vector<std::uint16_t>{31});
  EXPECT_EQ(none->magb(), 31u);

  // Bits 0-2 of a style-0 byte are ignored.
  auto low = parse_copy({0x40, 0x4F, 0x07}, 0);
  ASSERT_TRUE(low.has_value());
  EXPECT_EQ(low->guard_bits, 2);
  EXPECT_EQ(low->steps, (std::vector<std::uint16_t>{9, 0}));
  EXPECT_EQ(low->entry_magb(1), 2u);  // eps 0 still leaves the guard bits
  EXPECT_EQ(low->magb(), 10u);

  auto expounded = parse_copy({0x22, 0xF8, 0x00, 0x4F, 0xFF}, 0);
  ASSERT_TRUE(expounded.has_value());
  EXPECT_EQ(expounded->style, 2);
  EXPECT_EQ(expounded->steps, (std::vector<std::uint16_t>{0xF800, 0x4FFF}));
  EXPECT_EQ(expounded->exponent(0), 31u);
  EXPECT_EQ(expounded->exponent(1), 9u);
  EXPECT_EQ(expounded->magb(), 31u);
  EXPECT_EQ(expounded->to_bytes(), (Bytes{0x22, 0xF8, 0x00, 0x4F, 0xFF}));
}

TEST(QuantBands, MapsResolutionAndKindToEntries) {
  Quant q;
  q.guard_bits = 1;
  q.steps = {5, 6, 7, 8, 9, 10, 11};  // LL, then two resolutions
  EXPECT_EQ(q.band_magb(0, 0), 5u);
  EXPECT_EQ(q.band_magb(1, 1), 6u);
  EXPECT_EQ(q.band_magb(1, 2), 7u);
  EXPECT_EQ(q.band_magb(1, 3), 8u);
  EXPECT_EQ(q.band_magb(2, 1), 9u);
  EXPECT_EQ(q.band_magb(2, 3), 11u);
  // Past the end of the list the last entry applies.
  EXPECT_EQ(q.band_magb(3, 1), 11u);
  EXPECT_EQ(q.band_magb(255, 3), 11u);
  EXPECT_EQ(quant_entry_index(0, 0), 0u);
  EXPECT_EQ(quant_entry_index(4, 2), 11u);

  Quant empty;
  EXPECT_EQ(empty.magb(), 0u);
  empty.guard_bits = 0;
  empty.steps = {0, 0};
  EXPECT_EQ(empty.magb(), 0u);
}

TEST(QuantParse, TruncationsGiveFewerStepsOrFail) {
  auto q = Quant::reversible(6, 12, 0);
  ASSERT_TRUE(q.has_value());
  Quant ex = *q;
  ex.style = kQuantExpounded;
  for (auto& s : ex.steps) s = std::uint16_t(s << 11 | 0x123);
  for (const Quant& full : {*q, ex}) {
    const Bytes bytes = full.to_bytes();
    const std::size_t width = full.style == kQuantNone ? 1 : 2;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      auto r = parse_copy(Bytes(bytes.begin(), bytes.begin() + n), 5);
      if (n == 0) {
        expect_malformed(r, 5, "empty QCD payload");
      } else if ((n - 1) % width != 0) {
        expect_malformed(r, 5, "odd-length expounded QCD payload");
      } else if (n == 1) {
        expect_malformed(r, 5, "QCD with no subband step sizes");
      } else {
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->steps, std::vector<std::uint16_t>(full.steps.begin(), full.steps.begin() + (n - 1) / width));
      }
    }
  }
}

TEST(QuantParse, SurvivesRandomBytes) {
  std::mt19937 rng(47);
  const std::vector<std::string> known = {
      "empty QCD payload", "unsupported quantization style (derived)", "odd-length expounded QCD payload",
      "QCD with no subband step sizes"};
  for (int n = 0; n < 5000; ++n) {
    Bytes b(rng() % 120);
    for (auto& x : b) x = std::uint8_t(rng());
    if (!b.empty() && (rng() & 1)) b[0] = std::uint8_t((b[0] & 0xE0) | ((rng() & 1) ? 0 : 2));
    auto r = parse_copy(b, std::uint64_t(n));
    if (r.has_value()) {
      EXPECT_LE(r->magb(), 37u);  // G <= 7, eps_b <= 31
      EXPECT_FALSE(r->steps.empty());
      continue;
    }
    EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
    EXPECT_EQ(r.error().offset, std::uint64_t(n));
    EXPECT_NE(std::find(known.begin(), known.end(), r.error().message), known.end()) << r.error().message;
  }
}
