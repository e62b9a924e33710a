// HT block decoder: code tables, the worked 1x1 segment, the checks in their
// order, and damaged segments (random, truncated, bit-flipped).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
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

}  // namespace
