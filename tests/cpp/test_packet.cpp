#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codestream/bitio.hpp"
#include "codestream/packet.hpp"

using namespace varnel;
using namespace varnel::codestream;

using Bytes = std::vector<std::uint8_t>;

namespace {

// ---------------------------------------------------------------------------
// A reference packet-header writer for the test, written from T.800 B.10 and
// the HT segment rules of T.814, independent of the library's coder: general
// tag trees with per-node lower bounds, every pass count of 1 to 164
// (placeholder passes included), and the minimal Lblock.

class RefBits {
 public:
  Bytes bytes;
  bool stuffing_tail = false;  // the last byte carries no bit (it follows a 0xFF)

  void bit(unsigned b) {
    cur_ = (cur_ << 1) | (b & 1u);
    if (++n_ == cap_) {
      bytes.push_back(static_cast<std::uint8_t>(cur_));
      cap_ = cur_ == 0xFF ? 7 : 8;
      cur_ = 0;
      n_ = 0;
    }
  }
  void bits(std::uint32_t v, unsigned k) {
    while (k-- > 0) bit((v >> k) & 1u);
  }
  void finish() {
    if (n_ > 0) {
      bytes.push_back(static_cast<std::uint8_t>(cur_ << (cap_ - n_)));
    } else if (cap_ == 7) {
      bytes.push_back(0x00);
      stuffing_tail = true;
    }
  }

 private:
  unsigned cur_ = 0, n_ = 0, cap_ = 8;
};

class RefTagTree {
 public:
  RefTagTree(std::uint64_t w, std::uint64_t h, const std::vector<int>& leaves) : w_(w) {
    std::uint64_t lw = w, lh = h;
    std::size_t first = 0;
    nodes_.resize(leaves.size());
    for (std::size_t i = 0; i < leaves.size(); ++i) nodes_[i].value = leaves[i];
    while (lw > 1 || lh > 1) {
      const std::uint64_t pw = (lw + 1) / 2, ph = (lh + 1) / 2;
      const std::size_t parents = nodes_.size();
      nodes_.resize(parents + pw * ph, Node{1 << 30});
      for (std::uint64_t y = 0; y < lh; ++y)
        for (std::uint64_t x = 0; x < lw; ++x) {
          const std::size_t c = first + y * lw + x, p = parents + (y / 2) * pw + x / 2;
          nodes_[c].parent = static_cast<int>(p);
          nodes_[p].value = std::min(nodes_[p].value, nodes_[c].value);
        }
      first = parents;
      lw = pw;
      lh = ph;
    }
  }

  // Codes leaf (x, y) against `threshold`; returns whether its value is
  // below the threshold.
  bool encode(RefBits& out, std::uint64_t x, std::uint64_t y, int threshold) {
    std::vector<std::size_t> path;
    for (int n = static_cast<int>(y * w_ + x); n >= 0; n = nodes_[n].parent) path.push_back(n);
    int low = 0;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      Node& node = nodes_[*it];
      if (low > node.low) node.low = low; else low = node.low;
      while (low < threshold) {
        if (low >= node.value) {
          if (!node.known) {
            out.bit(1);
            node.known = true;
          }
          break;
        }
        out.bit(0);
        ++low;
      }
      node.low = low;
    }
    return nodes_[y * w_ + x].value < threshold;
  }

 private:
  struct Node {
    int value = 0;
    int low = 0;
    bool known = false;
    int parent = -1;
  };
  std::uint64_t w_;
  std::vector<Node> nodes_;
};

struct RefBlock {
  bool included = false;
  int zero_planes = 0;  // the tag-tree value Z
  unsigned passes = 1;  // 1 to 164
  std::uint32_t lcup = 0;
  std::uint32_t lref = 0;
};

struct RefBand {
  std::uint64_t across = 0, down = 0;
  std::uint8_t magb = 30;
  std::vector<RefBlock> blocks;
};

unsigned bit_length(std::uint32_t v) { return 32u - static_cast<unsigned>(std::countl_zero(v)); }
unsigned floor_log2(unsigned v) { return 31u - static_cast<unsigned>(std::countl_zero(v)); }

void ref_pass_count(RefBits& b, unsigned p) {
  if (p == 1) b.bits(0b0, 1);
  else if (p == 2) b.bits(0b10, 2);
  else if (p <= 5) { b.bits(0b11, 2); b.bits(p - 3, 2); }
  else if (p <= 36) { b.bits(0b1111, 4); b.bits(p - 6, 5); }
  else { b.bits(0b111111111, 9); b.bits(p - 37, 7); }
}

RefBits ref_header(const std::vector<RefBand>& bands) {
  RefBits b;
  bool any = false;
  for (const RefBand& band : bands)
    for (const RefBlock& blk : band.blocks) any = any || blk.included;
  if (!any) {
    b.bit(0);
    b.finish();
    return b;
  }
  b.bit(1);
  for (const RefBand& band : bands) {
    if (band.across == 0 || band.down == 0) continue;
    std::vector<int> inc, zero;
    for (const RefBlock& blk : band.blocks) {
      inc.push_back(blk.included ? 0 : 1);
      zero.push_back(blk.included ? blk.zero_planes : 0);
    }
    RefTagTree ti(band.across, band.down, inc), tz(band.across, band.down, zero);
    for (std::uint64_t y = 0, i = 0; y < band.down; ++y)
      for (std::uint64_t x = 0; x < band.across; ++x, ++i) {
        if (!ti.encode(b, x, y, 1)) continue;
        const RefBlock& blk = band.blocks[i];
        tz.encode(b, x, y, 1 << 20);
        ref_pass_count(b, blk.passes);
        const unsigned s = (blk.passes - 1) / 3, w = blk.passes - 3 * s;
        const unsigned extra = floor_log2(3 * s + 1);
        int lblock = 3;
        lblock = std::max(lblock, static_cast<int>(bit_length(blk.lcup)) - static_cast<int>(extra));
        if (w == 2) lblock = std::max(lblock, static_cast<int>(bit_length(blk.lref)));
        if (w == 3) lblock = std::max(lblock, static_cast<int>(bit_length(blk.lref)) - 1);
        for (int k = 3; k < lblock; ++k) b.bit(1);
        b.bit(0);
        b.bits(blk.lcup, lblock + extra);
        if (w == 2) b.bits(blk.lref, lblock);
        if (w == 3) b.bits(blk.lref, lblock + 1);
      }
  }
  b.finish();
  return b;
}

std::vector<BlockHeader> expected_headers(const std::vector<RefBand>& bands) {
  std::vector<BlockHeader> out;
  for (std::size_t bi = 0; bi < bands.size(); ++bi) {
    const RefBand& band = bands[bi];
    for (std::uint64_t y = 0, i = 0; y < band.down; ++y)
      for (std::uint64_t x = 0; x < band.across; ++x, ++i) {
        const RefBlock& blk = band.blocks[i];
        if (!blk.included) continue;
        const unsigned s = (blk.passes - 1) / 3, w = blk.passes - 3 * s;
        out.push_back(BlockHeader{bi, x, y, blk.lcup, w >= 2 ? blk.lref : 0,
                                  static_cast<std::uint8_t>(blk.zero_planes + s),
                                  static_cast<std::uint8_t>(w)});
      }
  }
  return out;
}

std::vector<BandDescriptor> descriptors(const std::vector<RefBand>& bands) {
  std::vector<BandDescriptor> out;
  for (const RefBand& b : bands) out.push_back({b.across, b.down, b.magb});
  return out;
}

// The library writer's view of the same packet (blocks of 1 to 3 passes),
// with data taken from `pool`.
std::vector<BandBlocks> library_bands(const std::vector<RefBand>& bands, const Bytes& pool,
                                      std::mt19937& rng) {
  std::vector<BandBlocks> out;
  for (const RefBand& band : bands) {
    BandBlocks bb;
    bb.across = band.across;
    bb.down = band.down;
    for (const RefBlock& blk : band.blocks) {
      CodeBlock cb;
      if (blk.included) {
        const std::size_t n = blk.lcup + blk.lref;
        const std::size_t at = rng() % (pool.size() - n + 1);
        cb.data = std::span<const std::uint8_t>(pool.data() + at, n);
        cb.lcup = blk.lcup;
        cb.lref = blk.lref;
        cb.missing_msbs = static_cast<std::uint8_t>(blk.zero_planes);
        cb.passes = static_cast<std::uint8_t>(blk.passes);
      }
      bb.blocks.push_back(cb);
    }
    out.push_back(std::move(bb));
  }
  return out;
}

std::uint32_t random_length(std::mt19937& rng, std::uint32_t lo, std::uint32_t hi) {
  // Spread over bit lengths, so Lblock takes many values.
  const unsigned bits = 1 + rng() % bit_length(hi);
  const std::uint32_t top = std::min<std::uint32_t>(hi, (std::uint32_t{1} << bits) - 1);
  const std::uint32_t v = top <= lo ? lo : lo + rng() % (top - lo + 1);
  return v;
}

// A random packet: 1 to 3 bands (some without blocks), random inclusion and
// missing MSBs; passes 1 to 3, or with `wide` any count up to 164.
std::vector<RefBand> random_packet(std::mt19937& rng, bool wide) {
  std::vector<RefBand> bands(1 + rng() % 3);
  const unsigned density = rng() % 5;  // in quarters
  for (RefBand& band : bands) {
    band.across = rng() % 8 == 0 ? 0 : 1 + rng() % 9;
    band.down = rng() % 8 == 0 ? 0 : 1 + rng() % 9;
    band.magb = static_cast<std::uint8_t>(1 + rng() % 31);
    if (wide) band.magb = static_cast<std::uint8_t>(band.magb + 60);
    band.blocks.resize(band.across * band.down);
    const int common = static_cast<int>(rng() % (band.magb / 2 + 1));
    for (RefBlock& blk : band.blocks) {
      blk.included = rng() % 4 < density;
      if (!blk.included) continue;
      blk.passes = wide ? (rng() % 2 ? 1 + rng() % 164 : 1 + rng() % 9) : 1 + rng() % 3;
      const unsigned s = (blk.passes - 1) / 3;
      const int room = band.magb - static_cast<int>(s);
      blk.zero_planes = std::min(room, common + static_cast<int>(rng() % 3));
      blk.lcup = random_length(rng, 2, 65534);
      const unsigned w = blk.passes - 3 * s;
      blk.lref = w >= 2 ? random_length(rng, 0, 2046) : 0;
    }
  }
  return bands;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string display(const Result<PacketHeader>& r) {
  return r ? std::string("ok") : r.error().display();
}

BandBlocks one_block(std::span<const std::uint8_t> data, std::uint32_t lcup, std::uint8_t missing) {
  BandBlocks bb;
  bb.across = 1;
  bb.down = 1;
  CodeBlock cb;
  cb.data = data;
  cb.lcup = lcup;
  cb.missing_msbs = missing;
  cb.passes = 1;
  bb.blocks.push_back(cb);
  return bb;
}

}  // namespace

// ---------------------------------------------------------------------------
// Known answers

TEST(Packet, WritesTheTwentyFiveBitExample) {
  Bytes body(100);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<BandBlocks> bands = {one_block(body, 100, 9)};
  auto packet = write_packet(bands);
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(*packet, concat({{0xC0, 0x17, 0xB2, 0x00}, body}));

  const BandDescriptor desc[] = {{1, 1, 10}};
  auto parsed = parse_packet_header(*packet, desc, false, false, 0);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->length, 4u);
  ASSERT_EQ(parsed->blocks.size(), 1u);
  EXPECT_EQ(parsed->blocks[0], (BlockHeader{0, 0, 0, 100, 0, 9, 1}));
}

TEST(Packet, EmptyPacketIsOneZeroByte) {
  BandBlocks nothing;
  nothing.across = 2;
  nothing.down = 3;
  nothing.blocks.resize(6);
  BandBlocks no_grid;  // a band without code-blocks
  const std::vector<BandBlocks> bands = {nothing, no_grid, nothing};
  auto packet = write_packet(bands);
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(*packet, Bytes{0x00});

  const BandDescriptor desc[] = {{2, 3, 5}, {0, 0, 5}, {2, 3, 5}};
  auto parsed = parse_packet_header(*packet, desc, false, false, 0);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_TRUE(parsed->blocks.empty());
  EXPECT_EQ(parsed->length, 1u);

  // No band has code-blocks: one byte is consumed unread, when there is one.
  const BandDescriptor none[] = {{0, 4, 5}, {3, 0, 5}};
  auto one = parse_packet_header(Bytes{0x80, 0x12}, none, false, false, 0);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->length, 1u);
  auto zero = parse_packet_header(Bytes{}, none, false, false, 0);
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->length, 0u);
  auto no_bands = parse_packet_header(Bytes{0x00}, {}, false, false, 0);
  ASSERT_TRUE(no_bands.has_value());
  EXPECT_EQ(no_bands->length, 1u);
}

TEST(Packet, StuffsAfterEveryFullByteOfOnes) {
  // Lcup 2047 (Lblock 11): 1110 11111111 0 11111111111 = EF F7 FF, and the
  // header, ending on 0xFF, takes a trailing 0x00.
  Bytes pool(4095, 0xAB);
  {
    const std::vector<BandBlocks> bands = {one_block(std::span(pool).first(2047), 2047, 0)};
    Bytes out;
    auto n = append_packet_header(bands, out);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(out, (Bytes{0xEF, 0xF7, 0xFF, 0x00}));
    EXPECT_EQ(*n, 4u);
  }
  {
    // Lcup 4095 (Lblock 12): the byte after 0xFF carries seven bits, its
    // first bit 0: EF FB FF 60.
    const std::vector<BandBlocks> bands = {one_block(pool, 4095, 0)};
    Bytes out;
    ASSERT_TRUE(append_packet_header(bands, out).has_value());
    EXPECT_EQ(out, (Bytes{0xEF, 0xFB, 0xFF, 0x60}));
  }
  const BandDescriptor desc[] = {{1, 1, 8}};
  for (const auto& [header, lcup] : {std::pair{Bytes{0xEF, 0xF7, 0xFF, 0x00}, 2047u},
                                     std::pair{Bytes{0xEF, 0xFB, 0xFF, 0x60}, 4095u}}) {
    auto parsed = parse_packet_header(concat({header, {0x55, 0x66}}), desc, false, false, 0);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->length, 4u);
    ASSERT_EQ(parsed->blocks.size(), 1u);
    EXPECT_EQ(parsed->blocks[0].lcup, lcup);
  }
}

TEST(Packet, PlaceholderPassesAddMissingMsbsAndWidenLcup) {
  // Z = 2, P = 4 (1101): S = 1, so missing MSBs 3, one pass of the last set,
  // Lcup = 100 in Lblock + 2 = 7 bits with Lblock 5:
  // 1 1 001 1101 110 1100100 -> CE EC 80.
  const Bytes header = {0xCE, 0xEC, 0x80};
  std::vector<RefBand> ref(1);
  ref[0].across = ref[0].down = 1;
  ref[0].blocks = {RefBlock{true, 2, 4, 100, 0}};
  EXPECT_EQ(ref_header(ref).bytes, header);

  const BandDescriptor desc[] = {{1, 1, 3}};
  auto parsed = parse_packet_header(header, desc, false, false, 0);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->blocks.size(), 1u);
  EXPECT_EQ(parsed->blocks[0], (BlockHeader{0, 0, 0, 100, 0, 3, 1}));
  EXPECT_EQ(parsed->length, 3u);

  // One bit-plane fewer allowed: the placeholder set no longer fits.
  const BandDescriptor tight[] = {{1, 1, 2}};
  auto refused = parse_packet_header(header, tight, false, false, 77);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "malformed codestream at byte 77: missing MSBs exceed the QCD K_max bound");
}

TEST(Packet, ReadsEveryPassCount) {
  for (unsigned p = 1; p <= 164; ++p) {
    std::vector<RefBand> ref(1);
    ref[0].across = 2;
    ref[0].down = 1;
    ref[0].magb = 80;
    ref[0].blocks = {RefBlock{true, 5, p, 3000, 1000}, RefBlock{true, 6, p, 2, 7}};
    const RefBits bits = ref_header(ref);
    auto parsed = parse_packet_header(bits.bytes, descriptors(ref), false, false, 0);
    ASSERT_TRUE(parsed.has_value()) << p << ": " << parsed.error().display();
    EXPECT_EQ(parsed->blocks, expected_headers(ref)) << p;
    EXPECT_EQ(parsed->length, bits.bytes.size());
    EXPECT_EQ(parsed->blocks[0].missing_msbs, 5 + (p - 1) / 3);
  }
}

TEST(Packet, RefusesSegmentLengthsOutOfRange) {
  const BandDescriptor desc[] = {{1, 1, 20}};
  auto parse_block = [&](RefBlock blk) {
    std::vector<RefBand> ref(1);
    ref[0].across = ref[0].down = 1;
    ref[0].blocks = {blk};
    return parse_packet_header(ref_header(ref).bytes, desc, false, false, 9);
  };
  EXPECT_EQ(display(parse_block({true, 0, 1, 1, 0})),
            "malformed codestream at byte 9: HT cleanup segment length out of range");
  EXPECT_EQ(display(parse_block({true, 0, 1, 65535, 0})),
            "malformed codestream at byte 9: HT cleanup segment length out of range");
  EXPECT_EQ(display(parse_block({true, 0, 1, 0, 0})),
            "malformed codestream at byte 9: HT cleanup segment length out of range");
  EXPECT_EQ(display(parse_block({true, 0, 2, 2, 2047})),
            "malformed codestream at byte 9: HT refinement segment length out of range");
  EXPECT_EQ(display(parse_block({true, 0, 3, 2, 2047})),
            "malformed codestream at byte 9: HT refinement segment length out of range");
  EXPECT_EQ(display(parse_block({true, 0, 1, 2, 0})), "ok");
  EXPECT_EQ(display(parse_block({true, 0, 1, 65534, 0})), "ok");
  EXPECT_EQ(display(parse_block({true, 0, 3, 65534, 2046})), "ok");
}

TEST(Packet, LblockGrowsToAtMostTwentyFour) {
  const BandDescriptor desc[] = {{1, 1, 20}};
  auto header_with_ones = [](unsigned ones) {
    RefBits b;
    b.bits(0b111, 3);  // non-empty, included, zero missing MSBs
    b.bit(0);          // one pass
    for (unsigned i = 0; i < ones; ++i) b.bit(1);
    b.bit(0);
    b.bits(100, 3 + ones);
    b.finish();
    return b.bytes;
  };
  auto longest = parse_packet_header(header_with_ones(21), desc, false, false, 0);
  ASSERT_TRUE(longest.has_value());
  EXPECT_EQ(longest->blocks[0].lcup, 100u);
  auto too_long = parse_packet_header(header_with_ones(22), desc, false, false, 5);
  EXPECT_EQ(display(too_long),
            "malformed codestream at byte 5: packet header Lblock exceeds the length bound");
}

TEST(Packet, SkipsSopAndConsumesEph) {
  Bytes body(100, 0x5A);
  const std::vector<BandBlocks> bands = {one_block(body, 100, 9)};
  const Bytes header = {0xC0, 0x17, 0xB2, 0x00};
  const Bytes sop = {0xFF, 0x91, 0x00, 0x04, 0x12, 0x34};
  const Bytes eph = {0xFF, 0x92};
  const BandDescriptor desc[] = {{1, 1, 10}};
  const BlockHeader block{0, 0, 0, 100, 0, 9, 1};

  auto with_sop = parse_packet_header(concat({sop, header, body}), desc, true, false, 0);
  ASSERT_TRUE(with_sop.has_value());
  EXPECT_EQ(with_sop->length, 10u);
  EXPECT_EQ(with_sop->blocks, std::vector<BlockHeader>{block});

  // The SOP flag only allows the marker; a packet without it is read as is.
  auto sop_absent = parse_packet_header(concat({header, body}), desc, true, false, 0);
  ASSERT_TRUE(sop_absent.has_value());
  EXPECT_EQ(sop_absent->length, 4u);

  auto both = parse_packet_header(concat({sop, header, eph, body}), desc, true, true, 0);
  ASSERT_TRUE(both.has_value());
  EXPECT_EQ(both->length, 12u);
  EXPECT_EQ(both->blocks, std::vector<BlockHeader>{block});

  auto no_eph = parse_packet_header(concat({header, body}), desc, false, true, 1000);
  EXPECT_EQ(display(no_eph), "malformed codestream at byte 1004: expected EPH after packet header");
  auto short_eph = parse_packet_header(concat({header, {0xFF}}), desc, false, true, 0);
  EXPECT_EQ(display(short_eph), "malformed codestream at byte 4: expected EPH after packet header");

  // An empty packet is followed by EPH too.
  auto empty = parse_packet_header(Bytes{0x00, 0xFF, 0x92}, desc, false, true, 0);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->length, 3u);

  EXPECT_EQ(consume_eph(eph, 0, 0).value(), 2u);
  EXPECT_EQ(consume_eph(Bytes{0x00, 0xFF, 0x92}, 1, 0).value(), 3u);
  EXPECT_FALSE(consume_eph(eph, 1, 0).has_value());
  EXPECT_EQ(consume_eph(eph, 5, 3).error().display(),
            "malformed codestream at byte 8: expected EPH after packet header");
}

TEST(Packet, KeepsBandPositionsAcrossBandsWithoutBlocks) {
  std::vector<RefBand> ref(3);
  ref[0].across = 0;
  ref[0].down = 4;
  ref[1].across = 2;
  ref[1].down = 1;
  ref[1].blocks = {RefBlock{}, RefBlock{true, 3, 1, 50, 0}};
  ref[2].across = 1;
  ref[2].down = 1;
  ref[2].blocks = {RefBlock{true, 4, 2, 60, 6}};
  auto parsed = parse_packet_header(ref_header(ref).bytes, descriptors(ref), false, false, 0);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->blocks, (std::vector<BlockHeader>{{1, 1, 0, 50, 0, 3, 1}, {2, 0, 0, 60, 6, 4, 2}}));
}

TEST(Packet, WriterRefusesInconsistentBlocks) {
  Bytes pool(200);
  auto message = [](std::vector<BandBlocks> bands) {
    auto r = write_packet(bands);
    return r ? std::string("ok") : r.error().display();
  };
  BandBlocks good = one_block(std::span(pool).first(100), 100, 0);
  EXPECT_EQ(message({good}), "ok");

  BandBlocks grid = good;
  grid.across = 2;
  EXPECT_EQ(message({grid}), "invalid argument: code-block list does not match the band's grid");
  BandBlocks passes = good;
  passes.blocks[0].passes = 4;
  EXPECT_EQ(message({passes}), "invalid argument: code-block passes must be 1 to 3");
  BandBlocks size = good;
  size.blocks[0].lcup = 99;
  EXPECT_EQ(message({size}), "invalid argument: code-block data length differs from Lcup + Lref");
  BandBlocks tiny = one_block(std::span(pool).first(1), 1, 0);
  EXPECT_EQ(message({tiny}), "invalid argument: code-block segment length out of range");
  BandBlocks lref_one_pass = one_block(std::span(pool).first(110), 100, 0);
  lref_one_pass.blocks[0].lref = 10;
  EXPECT_EQ(message({lref_one_pass}), "invalid argument: code-block segment length out of range");
}

// ---------------------------------------------------------------------------
// Properties

// Random packets of 1 to 3 passes per block: the library writer produces the
// reference writer's bytes, and the parser reads back the same block headers
// and header length, with and without SOP and EPH.
TEST(Packet, WriterAndParserAgreeOnRandomPackets) {
  std::mt19937 rng(20261207);
  Bytes pool(70000);
  for (auto& b : pool) b = static_cast<std::uint8_t>(rng());
  int stuffed = 0;
  for (int trial = 0; trial < 1500; ++trial) {
    const auto ref = random_packet(rng, false);
    const RefBits bits = ref_header(ref);
    stuffed += bits.stuffing_tail;
    const auto lib = library_bands(ref, pool, rng);
    Bytes packet;
    auto written = append_packet(lib, packet);
    ASSERT_TRUE(written.has_value()) << written.error().display();
    ASSERT_EQ(*written, packet.size());
    ASSERT_TRUE(std::equal(bits.bytes.begin(), bits.bytes.end(), packet.begin())) << trial;
    Bytes body;
    for (const BandBlocks& band : lib)
      for (const CodeBlock& cb : band.blocks)
        if (cb.data) body.insert(body.end(), cb.data->begin(), cb.data->end());
    ASSERT_EQ(packet, concat({bits.bytes, body}));

    const auto desc = descriptors(ref);
    const auto expected = expected_headers(ref);
    const bool sop = trial % 3 == 1, eph = trial % 4 == 2;
    const Bytes data = concat({sop ? Bytes{0xFF, 0x91, 0x00, 0x04, 0x00, 0x07} : Bytes{},
                               bits.bytes, eph ? Bytes{0xFF, 0x92} : Bytes{}, body});
    const std::uint64_t base = rng() % 100000;
    auto parsed = parse_packet_header(data, desc, sop, eph, base);
    ASSERT_TRUE(parsed.has_value()) << trial << ": " << parsed.error().display();
    EXPECT_EQ(parsed->blocks, expected) << trial;
    EXPECT_EQ(parsed->length, bits.bytes.size() + (sop ? 6 : 0) + (eph ? 2 : 0)) << trial;
  }
  EXPECT_GT(stuffed, 0);  // some headers ended on a 0xFF
}

// Headers from other writers: any pass count up to 164 (placeholder passes).
TEST(Packet, ParsesRandomHeadersWithPlaceholderPasses) {
  std::mt19937 rng(99);
  std::vector<BlockHeader> reused;
  for (int trial = 0; trial < 1500; ++trial) {
    const auto ref = random_packet(rng, true);
    const RefBits bits = ref_header(ref);
    const Bytes data = concat({bits.bytes, Bytes(rng() % 5, 0xEE)});
    auto length = parse_packet_header_into(data, descriptors(ref), false, false, 0, reused);
    ASSERT_TRUE(length.has_value()) << trial << ": " << length.error().display();
    EXPECT_EQ(reused, expected_headers(ref)) << trial;
    EXPECT_EQ(*length, bits.bytes.size());
  }
}

// Every prefix of a valid header is refused as truncated at the position of
// the first missing byte (a trailing stuffing byte carries no bit and may go).
TEST(Packet, EveryTruncationIsReportedAsTruncated) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    const auto ref = random_packet(rng, trial % 2 == 1);
    const RefBits bits = ref_header(ref);
    const auto desc = descriptors(ref);
    const bool sop = trial % 5 == 0;
    const Bytes full =
        concat({sop ? Bytes{0xFF, 0x91, 0x00, 0x04, 0x00, 0x00} : Bytes{}, bits.bytes});
    const std::size_t first = sop ? 6 : 0;
    const bool any_blocks = std::any_of(desc.begin(), desc.end(), [](const BandDescriptor& d) {
      return d.across != 0 && d.down != 0;
    });
    if (!any_blocks) {
      // Without code-blocks the header byte is consumed only when present.
      auto parsed = parse_packet_header(Bytes(full.begin(), full.begin() + first), desc, sop,
                                        false, 1000);
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->length, first);
      continue;
    }
    for (std::size_t cut = first; cut < full.size(); ++cut) {
      // Copy the prefix so that the sanitizer sees any read past it.
      const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
      auto parsed = parse_packet_header(prefix, desc, sop, false, 1000);
      if (bits.stuffing_tail && cut == full.size() - 1) {
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->length, cut);
        EXPECT_EQ(parsed->blocks, expected_headers(ref));
        continue;
      }
      ASSERT_FALSE(parsed.has_value()) << trial << " cut " << cut;
      EXPECT_EQ(parsed.error().display(), "malformed codestream at byte " +
                                              std::to_string(1000 + cut) +
                                              ": packet header truncated");
    }
  }
}

// Random bytes and bit flips end in a named error or in some block headers
// within the stated bounds, never in a crash or a read past the data.
TEST(Packet, SurvivesRandomBytesAndBitFlips) {
  std::mt19937 rng(31337);
  const std::vector<std::string> known = {
      "packet header truncated", "missing MSBs exceed the QCD K_max bound",
      "packet header Lblock exceeds the length bound", "HT cleanup segment length out of range",
      "HT refinement segment length out of range", "expected EPH after packet header"};
  auto check = [&](const Bytes& data, const std::vector<BandDescriptor>& desc, bool sop, bool eph) {
    auto parsed = parse_packet_header(data, desc, sop, eph, 0);
    if (!parsed) {
      EXPECT_EQ(parsed.error().kind, ErrorKind::Malformed);
      EXPECT_NE(std::find(known.begin(), known.end(), parsed.error().message), known.end())
          << parsed.error().message;
      EXPECT_LE(parsed.error().offset, data.size());
      return;
    }
    EXPECT_LE(parsed->length, data.size());
    for (const BlockHeader& b : parsed->blocks) {
      ASSERT_LT(b.band, desc.size());
      EXPECT_LT(b.x, desc[b.band].across);
      EXPECT_LT(b.y, desc[b.band].down);
      EXPECT_GE(b.passes, 1);
      EXPECT_LE(b.passes, 3);
      EXPECT_LE(b.missing_msbs, desc[b.band].magb);
      EXPECT_GE(b.lcup, 2u);
      EXPECT_LE(b.lcup, 65534u);
      EXPECT_LE(b.lref, 2046u);
    }
  };
  for (int trial = 0; trial < 3000; ++trial) {
    const auto ref = random_packet(rng, trial % 2 == 0);
    const bool sop = rng() % 4 == 0, eph = rng() % 4 == 0;
    if (trial % 3 == 0) {
      Bytes noise(rng() % 48);
      for (auto& b : noise) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xFF : rng());
      check(noise, descriptors(ref), sop, eph);
    } else {
      Bytes data = ref_header(ref).bytes;
      if (eph) data.insert(data.end(), {0xFF, 0x92});
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int f = 0; f < flips; ++f) data[rng() % data.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      check(data, descriptors(ref), sop, eph);
    }
  }
}

TEST(BitIo, StuffsBothWays) {
  Bytes out;
  HeaderBitWriter w(out);
  w.put_bits(0xFF, 8);
  w.put_bits(0x7F, 7);  // a full seven-bit byte
  w.put_bits(0x3, 2);
  w.flush();
  EXPECT_EQ(out, (Bytes{0xFF, 0x7F, 0xC0}));
  HeaderBitReader r(out, 0, 0);
  EXPECT_EQ(r.read_bits(8).value(), 0xFFu);
  EXPECT_EQ(r.read_bits(7).value(), 0x7Fu);
  EXPECT_EQ(r.read_bits(2).value(), 0x3u);
  EXPECT_EQ(r.read_bits(6).value(), 0u);
  EXPECT_EQ(r.read_bit().error().display(), "malformed codestream at byte 3: packet header truncated");

  // A 0xFF 0xFF pair: the second byte gives seven bits, and is itself 0xFF,
  // so the byte after it gives seven again.
  const Bytes ffs = {0xFF, 0xFF, 0xFF};
  HeaderBitReader r2(ffs, 0, 0);
  EXPECT_EQ(r2.read_bits(22).value(), 0x3FFFFFu);
  EXPECT_EQ(r2.position(), 3u);
  EXPECT_TRUE(r2.last_was_ff());
  EXPECT_FALSE(r2.read_bit().has_value());

  // Nothing written: nothing flushed. Eight ones: a trailing zero byte.
  Bytes none;
  HeaderBitWriter w0(none);
  w0.flush();
  EXPECT_TRUE(none.empty());
  Bytes ones;
  HeaderBitWriter w1(ones);
  w1.put_bits(0xFF, 8);
  w1.flush();
  EXPECT_EQ(ones, (Bytes{0xFF, 0x00}));

  // read_bits of 32 bits at once.
  const Bytes word = {0x12, 0x34, 0x56, 0x78};
  HeaderBitReader r3(word, 0, 0);
  EXPECT_EQ(r3.read_bits(32).value(), 0x12345678u);
}

// A band whose inclusion root is 0 costs one bit whatever its grid; a grid
// beyond what one precinct can hold is refused only when it must be read.
TEST(Packet, HugeBandsAreReadOnlyWhenIncluded) {
  // 1 (non-empty), 0 (band 0 root: nothing), then band 1 (1 x 1) included as
  // in the 25-bit example: 1 0000000001 0 11110 1100100.
  RefBits b;
  b.bits(0b10, 2);
  b.bits(0b1'0000000001'0'11110, 17);
  b.bits(100, 7);
  b.finish();
  const std::uint64_t huge = std::uint64_t{1} << 40;
  const BandDescriptor desc[] = {{huge, huge, 10}, {1, 1, 10}};
  auto parsed = parse_packet_header(b.bytes, desc, false, false, 0);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
  EXPECT_EQ(parsed->blocks, (std::vector<BlockHeader>{{1, 0, 0, 100, 0, 9, 1}}));
  EXPECT_EQ(parsed->length, b.bytes.size());

  const BandDescriptor included[] = {{huge, huge, 10}};
  auto refused = parse_packet_header(Bytes{0xC0, 0x00}, included, false, false, 0);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(), "unsupported: too many code-blocks in a packet band");

  // 8192 x 8192 blocks (the most a precinct holds) after two bytes whose
  // bits include the first few levels below the root: the trees keep only
  // the nodes read, and the header ends in truncation.
  const BandDescriptor most[] = {{8192, 8192, 10}};
  auto truncated = parse_packet_header(Bytes{0xFE, 0x00}, most, false, false, 7);
  ASSERT_FALSE(truncated.has_value());
  EXPECT_EQ(truncated.error().display(), "malformed codestream at byte 9: packet header truncated");
}

// A band with more blocks than its packet's bytes could code one bit each
// is read with sparse trees, to the same blocks the writer put in.
TEST(Packet, SparseBandsReadBackWhatWasWritten) {
  const std::uint64_t across = 512, down = 300;
  const Bytes payload(40, 0x55);
  for (const std::vector<std::pair<std::uint64_t, std::uint64_t>>& coded :
       {std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}},
        {{511, 299}}, {{3, 7}, {200, 7}, {511, 7}, {0, 299}}}) {
    std::vector<BandBlocks> bands(1);
    bands[0].across = across;
    bands[0].down = down;
    bands[0].blocks.resize(across * down);
    std::vector<BlockHeader> expected;
    std::uint8_t msbs = 2;
    for (const auto& [x, y] : coded) {
      CodeBlock& cb = bands[0].blocks[y * across + x];
      cb.data = std::span<const std::uint8_t>(payload);
      cb.lcup = 40;
      cb.passes = 1;
      cb.missing_msbs = msbs;
      expected.push_back({0, x, y, 40, 0, msbs, 1});
      ++msbs;
    }
    Bytes packet;
    auto written = append_packet(bands, packet);
    ASSERT_TRUE(written.has_value()) << written.error().display();
    ASSERT_LT(packet.size() * 8, across * down);  // the parser goes sparse
    const BandDescriptor desc[] = {{across, down, 10}};
    auto parsed = parse_packet_header(packet, desc, false, false, 0);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    std::sort(expected.begin(), expected.end(), [](const BlockHeader& a, const BlockHeader& b) {
      return std::tie(a.y, a.x) < std::tie(b.y, b.x);
    });
    EXPECT_EQ(parsed->blocks, expected);
    EXPECT_EQ(parsed->length, packet.size() - 40 * coded.size());
  }
}
