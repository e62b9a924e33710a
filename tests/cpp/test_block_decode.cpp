// HT block decoder: code tables, the worked 1x1 segment, the checks in their
// order, and damaged segments (random, truncated, bit-flipped).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "htj2k/block/cxtvlc_rows.hpp"
#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/block/mel_decoder.hpp"
#include "htj2k/block/readers.hpp"

namespace {

using namespace varnel;
using namespace varnel::htj2k;

// ---- code tables -------------------------------------------------------------

TEST(DecVlcTables, EveryWindowOfEveryContextDecodes) {
  for (const auto* tbl : {&DEC_VLC_TBL0, &DEC_VLC_TBL1})
    for (unsigned i = 0; i < 1024; ++i) EXPECT_NE((*tbl)[i] & 7u, 0u) << "index " << i;
}

TEST(DecVlcTables, AgreeWithTheRows) {
  // Each row's codeword, read through every 7-bit window that starts with it,
  // gives that row; and the windows of a context are claimed by one row each.
  std::array<std::array<int, 1024>, 2> claims{};
  for (const CxtVlcRow& r : CXTVLC_ROWS) {
    const auto& tbl = r.table == 0 ? DEC_VLC_TBL0 : DEC_VLC_TBL1;
    for (unsigned w = 0; w < 128; ++w) {
      if ((w & ((1u << r.len) - 1u)) != r.cwd) continue;
      const std::uint16_t e = tbl[(r.c_q << 7) | w];
      EXPECT_EQ(e & 7u, r.len);
      EXPECT_EQ((e >> 3) & 1u, r.u_off);
      EXPECT_EQ((e >> 4) & 0xFu, r.rho);
      EXPECT_EQ((e >> 8) & 0xFu, r.e_1);
      EXPECT_EQ(e >> 12, r.e_k);
      ++claims[r.table][(r.c_q << 7) | w];
    }
  }
  for (const auto& c : claims)
    for (int n : c) EXPECT_EQ(n, 1);
}

TEST(DecVlcTables, RowCountsAndContextZeroNeverInsignificant) {
  std::size_t n0 = 0, n1 = 0;
  for (const CxtVlcRow& r : CXTVLC_ROWS) (r.table == 0 ? n0 : n1)++;
  EXPECT_EQ(n0, 444u);
  EXPECT_EQ(n1, 358u);
  // In context 0 a quad reaches the table only after a MEL event 1.
  for (unsigned w = 0; w < 128; ++w) {
    EXPECT_NE((DEC_VLC_TBL0[w] >> 4) & 0xFu, 0u);
    EXPECT_NE((DEC_VLC_TBL1[w] >> 4) & 0xFu, 0u);
  }
}

struct UvlcFields {
  unsigned plen, slen, s0, u0, u1;
};
UvlcFields fields(std::uint16_t e) {
  return {e & 7u, (e >> 3) & 0xFu, (e >> 7) & 7u, (e >> 10) & 7u, (e >> 13) & 7u};
}

TEST(UvlcTables, KnownEntries) {
  // mode 0: nothing.
  for (unsigned w = 0; w < 64; ++w) EXPECT_EQ(UVLC_TBL0[w], 0u);
  // mode 1, bits "1": u = 1.  "01": 2.  "001": 3 + 1 suffix bit.  "000": 5 + 5.
  auto f = fields(UVLC_TBL1[(1 << 6) | 0b000001]);
  EXPECT_EQ(f.plen, 1u); EXPECT_EQ(f.u0, 1u); EXPECT_EQ(f.slen, 0u); EXPECT_EQ(f.u1, 0u);
  f = fields(UVLC_TBL1[(1 << 6) | 0b000010]);
  EXPECT_EQ(f.plen, 2u); EXPECT_EQ(f.u0, 2u);
  f = fields(UVLC_TBL1[(1 << 6) | 0b000100]);
  EXPECT_EQ(f.plen, 3u); EXPECT_EQ(f.u0, 3u); EXPECT_EQ(f.slen, 1u); EXPECT_EQ(f.s0, 1u);
  f = fields(UVLC_TBL1[(1 << 6) | 0b000000]);
  EXPECT_EQ(f.plen, 3u); EXPECT_EQ(f.u0, 5u); EXPECT_EQ(f.slen, 5u); EXPECT_EQ(f.s0, 5u);
  // mode 2: the prefix belongs to the second quad.
  f = fields(UVLC_TBL1[(2 << 6) | 0b000100]);
  EXPECT_EQ(f.plen, 3u); EXPECT_EQ(f.u0, 0u); EXPECT_EQ(f.u1, 3u); EXPECT_EQ(f.s0, 0u);
  EXPECT_EQ(f.slen, 1u);
  // mode 3, non-initial: two prefixes, "01" then "000".
  f = fields(UVLC_TBL1[(3 << 6) | 0b000010]);
  EXPECT_EQ(f.plen, 5u); EXPECT_EQ(f.u0, 2u); EXPECT_EQ(f.u1, 5u); EXPECT_EQ(f.slen, 5u);
  EXPECT_EQ(f.s0, 0u);
  // mode 3, initial row, u0 > 2: q1 is one bit (here 1, so u1 = 2).
  f = fields(UVLC_TBL0[(3 << 6) | 0b001100]);
  EXPECT_EQ(f.plen, 4u); EXPECT_EQ(f.u0, 3u); EXPECT_EQ(f.u1, 2u); EXPECT_EQ(f.slen, 1u);
  EXPECT_EQ(f.s0, 1u);
  f = fields(UVLC_TBL0[(3 << 6) | 0b000000]);
  EXPECT_EQ(f.plen, 4u); EXPECT_EQ(f.u0, 5u); EXPECT_EQ(f.u1, 1u); EXPECT_EQ(f.slen, 5u);
  // mode 3, initial row, u0 <= 2: a normal second prefix.
  f = fields(UVLC_TBL0[(3 << 6) | 0b000001]);
  EXPECT_EQ(f.plen, 4u); EXPECT_EQ(f.u0, 1u); EXPECT_EQ(f.u1, 5u); EXPECT_EQ(f.slen, 5u);
  EXPECT_EQ(f.s0, 0u);
  // mode 4: both prefixes plus 2.
  f = fields(UVLC_TBL0[(4 << 6) | 0b000011]);
  EXPECT_EQ(f.plen, 2u); EXPECT_EQ(f.u0, 3u); EXPECT_EQ(f.u1, 3u); EXPECT_EQ(f.slen, 0u);
}

TEST(UvlcTables, PrefixLengthsFitTheWindow) {
  for (unsigned i = 0; i < 320; ++i) {
    const auto f = fields(UVLC_TBL0[i]);
    EXPECT_LE(f.plen, 6u);
    EXPECT_LE(f.slen, 10u);
    EXPECT_LE(f.s0, f.slen);
    if (i >= 64) {
      EXPECT_NE(f.plen, 0u);
    }
  }
  for (unsigned i = 64; i < 256; ++i) EXPECT_NE(fields(UVLC_TBL1[i]).plen, 0u);
}

// ---- readers -------------------------------------------------------------------

TEST(Readers, ForwardDropsTheBitAfter0xFFAndFills) {
  const std::uint8_t bytes[] = {0xFF, 0x7F, 0x01};
  MagSgnReader r(bytes, 3);
  EXPECT_EQ(r.take(8), 0xFFu);
  EXPECT_EQ(r.take(7), 0x7Fu);  // 7 bits from the stuffed byte
  EXPECT_EQ(r.take(8), 0x01u);
  r.refill();
  EXPECT_EQ(r.take(16), 0xFFFFu);  // fill
  r.refill();
  EXPECT_EQ(r.take(32), 0xFFFFFFFFu);
  SigPropReader z(bytes, 1);
  EXPECT_EQ(z.take(8), 0xFFu);
  EXPECT_EQ(z.take(20), 0u);
  // The fast path: four plain bytes at once, then a 0xFF among them.
  const std::uint8_t plain[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xFF, 0x80, 0x06};
  SigPropReader f(plain, 8);
  EXPECT_EQ(f.take(32), 0x04030201u);
  f.refill();
  EXPECT_EQ(f.take(8), 0x05u);
  EXPECT_EQ(f.take(8), 0xFFu);
  EXPECT_EQ(f.take(7), 0x00u);  // 0x80 after 0xFF: bit 7 dropped
  f.refill();
  EXPECT_EQ(f.take(8), 0x06u);
}

TEST(Readers, BackwardUnstuffsAfterBytesAbove0x8F) {
  // Read order: 0x90, 0x7F (7 bits: follows a byte > 0x8F), 0x7F (8 bits).
  const std::uint8_t bytes[] = {0x7F, 0x7F, 0x90};
  RevReader r = RevReader::magref(bytes, 3);  // starts as if after a byte > 0x8F
  EXPECT_EQ(r.take(8), 0x90u);
  EXPECT_EQ(r.take(7), 0x7Fu);
  EXPECT_EQ(r.take(8), 0x7Fu);
  EXPECT_EQ(r.take(16), 0u);
  const std::uint8_t first[] = {0xFF, 0x01};
  RevReader s = RevReader::magref(first, 2);  // 0x01: 8 bits; then 0xFF: 8 bits
  EXPECT_EQ(s.take(16), 0xFF01u);
}

TEST(Readers, VlcStartsInTheUpperNibble) {
  // Segment ... 0x12 0xF3 0x00 with Scup = 3: nibble 0xF -> 3 bits 0b111.
  const std::uint8_t seg[] = {0x12, 0xF3, 0x00};
  RevReader r = RevReader::vlc(seg, 3, 3);
  EXPECT_EQ(r.take(3), 7u);
  EXPECT_EQ(r.take(8), 0x12u);  // previous byte 0xF3 > 0x8F, but 0x12 is no 0x7F
  EXPECT_EQ(r.take(8), 0u);
  const std::uint8_t seg2[] = {0xAB, 0x53, 0x00};
  RevReader q = RevReader::vlc(seg2, 3, 3);
  EXPECT_EQ(q.take(4), 5u);
  EXPECT_EQ(q.take(8), 0xABu);
}

TEST(Readers, MelRunsFollowTheStateMachine) {
  // Bits 1111 0110 0000 1111 (the last byte's low nibble reads as 1s):
  // k 0..2 (E = 0): three full runs of one zero; k 3 (E = 1): full run of 2;
  // k 4: "0" + "1" -> one zero then a 1; k 3: full run of 2; k 4: "0" + "0";
  // k 3: "0" + "0"; k 2: "0" (no run bits); k 1, 2: full runs of one zero.
  const std::uint8_t bytes[] = {0xF6, 0x00};
  MelDecoder mel(bytes, 2);
  for (int want : {0, 0, 0, 2, 3, 2, 1, 1, 1, 0, 0}) EXPECT_EQ(mel.get_run(), want);
  // Events from the same stream: 0 0 0 00 01 00 1 1 1 0 0.
  MelDecoder ev(bytes, 2);
  for (int want : {0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 0, 0}) EXPECT_EQ(ev.event(), want == 1);
}

// ---- the worked 1x1 segment --------------------------------------------------

TEST(DecodeBlock, WorkedOneByOneSegment) {
  const std::vector<std::uint8_t> seg = {0xFE, 0x00, 0x63, 0x00};
  std::uint32_t out = 0xDEADBEEF;
  auto r = decode_block(seg, std::span(&out, 1), 1, 1, 1, 29, {4, 0, 1}, false);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(out, 3u);
  // Three passes at missing_msbs 29: only the cleanup pass is decoded.
  std::vector<std::uint8_t> with_ref = {0xFE, 0x00, 0x63, 0x00, 0xAA, 0x55};
  out = 0;
  r = decode_block(with_ref, std::span(&out, 1), 1, 1, 1, 29, {4, 2, 3}, false);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(out, 3u);
}

// A 17 x 13 code-block from an independent HTJ2K encoder (OpenJPH 0.9, one
// 8-bit component, reversible, no decomposition: the block holds the
// level-shifted samples, M_b = 9 bit-planes, missing MSBs 8, one pass).
TEST(DecodeBlock, BlockFromAnIndependentEncoder) {
  const char* hex =
      "857cdabcd1b69c5761fc3659d53ecf49de10df4bdeb4b1f38a572a7c3cf208d90f6c7318054feadf64c57d95568e69f3"
      "4a1a6eb6f26f6a0b189fafb9e3427660eb72aecf90fa748ded769ee27288ce2820bd34679caca3f7ab4d15247d68dd61"
      "623ee7c71af51e7265d8029582bfbec23271db9eb28670d676a16e83425860ccac1c704bb5a0137c34e446cae230cc03"
      "584dafd585417141eb75dea6eaeb64a9f38e838af20ca77d0f662afb34a5e7ff45acdb9e0efd2e7036414fa3fd3ebf46"
      "2d00205fe9fc7fdfb6cfe6e0201a0412404bf3e5cbc1e7c16153ff10f2f9a20e752eeb1cbe60dd834f3e52f5abe40eaa"
      "440f80001aa800055aa000156a8000185104";
  std::vector<std::uint8_t> seg;
  for (const char* c = hex; c[0] && c[1]; c += 2)
    seg.push_back(static_cast<std::uint8_t>(std::stoi(std::string(c, 2), nullptr, 16)));
  ASSERT_EQ(seg.size(), 258u);
  const std::size_t w = 17, h = 13;
  std::vector<std::uint32_t> out(w * h, 0);
  auto r = decode_block(seg, out, w, h, w, 8, {258, 0, 1}, false);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      int v = static_cast<int>((x * 37 + y * 91 + (x * y * 13) % 29) * 7 % 256);
      if (y == 3 && x == 5) v = 0;
      if (y == 7 && x == 11) v = 255;
      if (y == 0 && x == 0) v = 128;
      const int c = v - 128;  // level shift
      const std::uint32_t mag = out[y * w + x] & 0x7FFFFFFFu;
      // p = 30 - 8 = 22: the word is |c| << 22 plus half a step for c != 0.
      const std::uint32_t want_mag = c == 0 ? 0u : ((2u * std::abs(c) + 1u) << 21);
      EXPECT_EQ(mag, want_mag) << x << ", " << y;
      EXPECT_EQ(out[y * w + x] >> 31, c < 0 ? 1u : 0u) << x << ", " << y;
    }
}

// ---- checks in order ---------------------------------------------------------

struct CheckCase {
  const char* name;
  std::size_t width, height, stride, out_size;
  std::uint32_t mm;
  BlockPasses passes;
  std::vector<std::uint8_t> data;
  ErrorKind kind;
  std::uint64_t offset;
  const char* message;
};

TEST(DecodeBlock, ChecksInOrder) {
  const std::vector<std::uint8_t> good = {0xFE, 0x00, 0x63, 0x00};
  const std::vector<CheckCase> cases = {
      {"zero width", 0, 1, 1, 16, 29, {4, 0, 1}, good, ErrorKind::InvalidArgument, 0,
       "code-block dimensions must be 1..=1024"},
      {"1025 wide", 1025, 1, 1025, 2000, 29, {4, 0, 1}, good, ErrorKind::InvalidArgument, 0,
       "code-block dimensions must be 1..=1024"},
      {"65x64", 65, 64, 65, 65 * 64, 29, {4, 0, 1}, good, ErrorKind::InvalidArgument, 0,
       "code-block area must be <= 4096 samples (T.800 §B.7)"},
      {"stride below width", 4, 1, 3, 16, 29, {4, 0, 1}, good, ErrorKind::InvalidArgument, 0,
       "output buffer too small for code-block geometry"},
      {"short window", 4, 4, 8, 4 + 8 * 3 - 1, 29, {4, 0, 1}, good,
       ErrorKind::InvalidArgument, 0, "output buffer too small for code-block geometry"},
      {"four passes with refinement", 1, 1, 1, 1, 10, {4, 1, 4}, {0xFE, 0x00, 0x63, 0x00, 0},
       ErrorKind::Malformed, 0, "more than 3 coding passes"},
      {"missing msbs 30", 1, 1, 1, 1, 30, {4, 0, 1}, good, ErrorKind::Malformed, 0,
       "missing MSBs >= 30: not decodable in 32 bits"},
      {"lcup 1", 1, 1, 1, 1, 29, {1, 0, 1}, good, ErrorKind::Malformed, 0,
       "invalid code-block pass lengths"},
      {"lcup beyond data", 1, 1, 1, 1, 29, {5, 0, 1}, good, ErrorKind::Malformed, 0,
       "invalid code-block pass lengths"},
      {"lref beyond data", 1, 1, 1, 1, 29, {4, 1, 2}, good, ErrorKind::Malformed, 0,
       "invalid code-block pass lengths"},
      {"last byte 0xFF", 1, 1, 1, 1, 29, {4, 0, 1}, {0xFE, 0x00, 0x63, 0xFF},
       ErrorKind::Malformed, 2, "invalid Scup interface word"},
      {"scup 1", 1, 1, 1, 1, 29, {4, 0, 1}, {0xFE, 0x00, 0x61, 0x00}, ErrorKind::Malformed, 2,
       "invalid Scup interface word"},
      {"scup above lcup", 1, 1, 1, 1, 29, {4, 0, 1}, {0xFE, 0x00, 0x65, 0x00},
       ErrorKind::Malformed, 2, "invalid Scup interface word"},
      {"scup above lcup via last byte", 1, 1, 1, 1, 29, {3, 0, 1}, {0x00, 0x02, 0x01},
       ErrorKind::Malformed, 1, "invalid Scup interface word"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint32_t> out(c.out_size, 0x5A5A5A5Au);
    auto r = decode_block(c.data, out, c.width, c.height, c.stride, c.mm, c.passes, false);
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().kind, c.kind) << c.name;
    EXPECT_EQ(r.error().offset, c.offset) << c.name;
    EXPECT_EQ(r.error().message, c.message) << c.name;
    for (auto w : out) ASSERT_EQ(w, 0x5A5A5A5Au) << c.name << ": window touched";
  }
}

TEST(DecodeBlock, FourPassesWithoutRefinementDecodeAsOne) {
  const std::vector<std::uint8_t> seg = {0xFE, 0x00, 0x63, 0x00};
  std::uint32_t out = 0;
  auto r = decode_block(seg, std::span(&out, 1), 1, 1, 1, 29, {4, 0, 4}, false);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(out, 3u);
}

TEST(DecodeBlock, LargestAreasAccepted) {
  // One significant sample in the largest blocks of each shape.
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1024, 4}, {4, 1024}, {64, 64}}) {
    std::vector<std::uint32_t> samples(w * h, 0);
    samples[0] = 1u << 27;  // mu = 4 at p = 25
    auto seg = encode_block(samples, w, h, w, 5);
    ASSERT_TRUE(seg.has_value()) << seg.error().display();
    std::vector<std::uint32_t> out(w * h, 0);
    auto r = decode_block(*seg, out, w, h, w, 5,
                          {static_cast<std::uint32_t>(seg->size()), 0, 1}, false);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(out[0], (2u * 4u + 1u) << 24);
  }
}

// ---- damaged segments -----------------------------------------------------------

// Decodes `data` (copied to a buffer of exactly its size, so a sanitizer build
// sees any read past it) into a window framed by guard words, and checks that
// the decoder either fails with one of its named errors or completes, and
// never writes outside the window.
void decode_guarded(BlockDecoder& dec, const std::vector<std::uint8_t>& bytes, std::size_t w,
                    std::size_t h, std::size_t stride, std::uint32_t mm, BlockPasses bp,
                    bool causal) {
  static const std::vector<std::string> known = {
      "more than 3 coding passes", "missing MSBs >= 30: not decodable in 32 bits",
      "invalid code-block pass lengths", "invalid Scup interface word",
      "U_q exceeds the magnitude bound"};
  const std::vector<std::uint8_t> data(bytes);
  constexpr std::uint32_t guard = 0xC3C3C3C3u;
  const std::size_t window = stride * (h - 1) + w;
  std::vector<std::uint32_t> buf(window + 16, guard);
  std::span<std::uint32_t> out(buf.data() + 8, window);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) out[y * stride + x] = 0;
  auto r = dec.decode(data, out, w, h, stride, mm, bp, causal);
  if (!r) {
    ASSERT_EQ(r.error().kind, ErrorKind::Malformed) << r.error().display();
    ASSERT_NE(std::find(known.begin(), known.end(), r.error().message), known.end())
        << r.error().display();
    ASSERT_LE(r.error().offset, data.size());
  }
  for (std::size_t i = 0; i < 8; ++i) ASSERT_EQ(buf[i], guard) << "wrote before the window";
  for (std::size_t i = 8 + window; i < buf.size(); ++i)
    ASSERT_EQ(buf[i], guard) << "wrote after the window";
  for (std::size_t y = 0; y + 1 < h; ++y)
    for (std::size_t x = w; x < stride; ++x)
      ASSERT_EQ(out[y * stride + x], guard) << "wrote between rows";
}

struct Shape {
  std::size_t w, h;
};

Shape random_shape(std::mt19937& rng) {
  static const Shape fixed[] = {{1, 1}, {1, 1024}, {1024, 1}, {1024, 4}, {4, 1024},
                                {64, 64}, {3, 3},   {2, 1},    {1, 2},    {5, 819}};
  if (rng() % 3 == 0) return fixed[rng() % std::size(fixed)];
  std::size_t w = 1 + rng() % 1024, h = 1 + rng() % 1024;
  while (w * h > 4096) (rng() & 1) ? w = (w + 1) / 2 : h = (h + 1) / 2;
  return {w, h};
}

std::vector<std::uint8_t> valid_segment(std::mt19937& rng, std::size_t w, std::size_t h,
                                        std::uint32_t mm) {
  std::vector<std::uint32_t> s(w * h);
  const std::uint32_t keep = mm >= 29 ? 0x7FFFFFFFu : 0x7FFFFFFFu >> (rng() % 31);
  for (auto& v : s) v = (rng() % 4 == 0) ? (static_cast<std::uint32_t>(rng()) & (keep | 0x80000000u)) : 0u;
  s[rng() % s.size()] |= 0x40000000u;  // at least one significant sample
  auto seg = encode_block(s, w, h, w, mm);
  return seg ? *seg : std::vector<std::uint8_t>{0xFE, 0x00, 0x63, 0x00};
}

TEST(DecodeBlockDamage, RandomBytesAndDescriptors) {
  std::mt19937 rng(2024);
  BlockDecoder dec;
  for (int it = 0; it < 3000; ++it) {
    const Shape sh = random_shape(rng);
    const std::size_t n = rng() % 64 == 0 ? 0 : 1 + rng() % (rng() % 2 ? 16 : 4000);
    std::vector<std::uint8_t> data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    BlockPasses bp;
    bp.lcup = static_cast<std::uint32_t>(n == 0 ? rng() % 4 : rng() % (n + 2));
    bp.lref = static_cast<std::uint32_t>(rng() % 2 ? 0 : rng() % (n + 2));
    bp.count = static_cast<std::uint32_t>(rng() % 6);
    // Mostly a valid Scup so the decoder gets past its checks.
    if (bp.lcup >= 2 && bp.lcup <= n && rng() % 4) {
      const std::uint32_t scup = 2 + static_cast<std::uint32_t>(rng() % (bp.lcup - 1));
      data[bp.lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
      data[bp.lcup - 2] = static_cast<std::uint8_t>((data[bp.lcup - 2] & 0xF0) | (scup & 0xF));
    }
    const std::uint32_t mm = static_cast<std::uint32_t>(rng() % 32);
    const std::size_t stride = sh.w + rng() % 3;
    decode_guarded(dec, data, sh.w, sh.h, stride, mm, bp, rng() & 1);
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockDamage, TruncatedAndBitFlippedSegments) {
  std::mt19937 rng(77);
  BlockDecoder dec;
  for (int it = 0; it < 600; ++it) {
    const Shape sh = random_shape(rng);
    const std::uint32_t mm = static_cast<std::uint32_t>(rng() % 30);
    std::vector<std::uint8_t> seg = valid_segment(rng, sh.w, sh.h, mm);
    const auto lcup = static_cast<std::uint32_t>(seg.size());
    // Random refinement bytes after the cleanup segment.
    const std::size_t lref = rng() % 2 ? 0 : rng() % 200;
    for (std::size_t i = 0; i < lref; ++i) seg.push_back(static_cast<std::uint8_t>(rng()));
    const std::uint32_t count = lref ? 1 + static_cast<std::uint32_t>(rng() % 3) : 1;
    const std::size_t stride = sh.w + rng() % 2;
    // Intact.
    decode_guarded(dec, seg, sh.w, sh.h, stride, mm, {lcup, static_cast<std::uint32_t>(lref), count},
                   rng() & 1);
    // Bit flips anywhere.
    {
      auto bad = seg;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      decode_guarded(dec, bad, sh.w, sh.h, stride, mm,
                     {lcup, static_cast<std::uint32_t>(lref), count}, rng() & 1);
    }
    // Truncations: the data ends early while the descriptor still claims the
    // full lengths, or the descriptor is cut too (keeping the Scup bytes).
    {
      const std::size_t cut = rng() % seg.size();
      std::vector<std::uint8_t> shortd(seg.begin(), seg.begin() + static_cast<std::ptrdiff_t>(cut));
      decode_guarded(dec, shortd, sh.w, sh.h, stride, mm,
                     {lcup, static_cast<std::uint32_t>(lref), count}, false);
      if (lcup > 3) {
        const std::uint32_t keep = 2 + static_cast<std::uint32_t>(rng() % (lcup - 2));
        std::vector<std::uint8_t> tail(seg.begin() + (lcup - keep), seg.begin() + lcup);
        decode_guarded(dec, tail, sh.w, sh.h, stride, mm, {keep, 0, 1}, false);
      }
    }
    if (HasFatalFailure()) return;
  }
}

TEST(DecodeBlockDamage, EveryTruncationOfASmallSegment) {
  std::mt19937 rng(5);
  BlockDecoder dec;
  std::vector<std::uint32_t> s(16 * 16);
  for (auto& v : s) v = static_cast<std::uint32_t>(rng()) & 0x807FFFFFu;
  auto seg = encode_block(s, 16, 16, 16, 7);
  ASSERT_TRUE(seg.has_value());
  for (std::size_t n = 0; n <= seg->size(); ++n) {
    std::vector<std::uint8_t> d(seg->begin(), seg->begin() + static_cast<std::ptrdiff_t>(n));
    for (std::uint32_t lcup = 0; lcup <= n + 1; ++lcup)
      decode_guarded(dec, d, 16, 16, 16, 7, {lcup, 0, 1}, false);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
