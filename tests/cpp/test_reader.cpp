// Codestream parser: every check with its message and offset, the
// supported-subset check, precinct grids, packet sequences and the packet
// index with its TLM and PLT consistency checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "codestream/markers.hpp"
#include "codestream/packet_order.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes seg(std::uint16_t m, const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(push_segment(out, m, payload).has_value());
  return out;
}

void append(Bytes& a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); }

// A hand-assembled codestream: SOC, main segments, tile-parts, EOC.
struct Stream {
  Siz siz;
  Cod cod;
  Quant qcd;
  Bytes before;  // main-header segments before SIZ
  Bytes after;   // main-header segments after QCD
  Bytes tile_header;
  Bytes body = {0x00, 0x00};
  std::optional<std::uint32_t> psot;  // default: the real length

  Stream() {
    siz.xsiz = siz.xtsiz = 8;
    siz.ysiz = siz.ytsiz = 8;
    siz.components = {SizComponent{false, 8, 1, 1}};
    cod.levels = 1;
    cod.progression = 0;
    qcd = *Quant::reversible(1, 8, 0);
  }
  std::size_t main_end() const { return 2 + before.size() + 4 + 36 + 3 * siz.components.size() + 4 + cod.to_bytes().size() + 4 + qcd.to_bytes().size() + after.size(); }
  Bytes build() const {
    Bytes out = {0xFF, 0x4F};
    append(out, before);
    append(out, seg(marker::SIZ, siz.to_bytes()));
    append(out, seg(marker::COD, cod.to_bytes()));
    append(out, seg(marker::QCD, qcd.to_bytes()));
    append(out, after);
    Sot sot;
    sot.psot = psot.value_or(static_cast<std::uint32_t>(14 + tile_header.size() + body.size()));
    append(out, seg(marker::SOT, sot.to_bytes()));
    append(out, tile_header);
    out.push_back(0xFF);
    out.push_back(0x93);
    append(out, body);
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
  }
};

void expect_malformed(const Result<Codestream>& r, std::uint64_t at, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << message;
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed) << r.error().display();
  EXPECT_EQ(r.error().message, message);
  EXPECT_EQ(r.error().offset, at) << message;
}

void expect_unsupported(const Error& e, const std::string& message) {
  EXPECT_EQ(e.kind, ErrorKind::Unsupported) << e.display();
  EXPECT_EQ(e.message, message);
}

Bytes written(std::size_t w, std::size_t h, std::uint8_t levels, std::uint8_t prog, bool index) {
  std::vector<std::int32_t> s(w * h);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int32_t>((i * 37) % 256);
  const CoeffPlane planes[1] = {*CoeffPlane::make(s, w, h)};
  EncodeParams p;
  p.levels = levels;
  p.progression = prog;
  p.index = index;
  return *encode_image_with_depth(planes, 8, false, p);
}

}  // namespace

TEST(Reader, parses_a_hand_assembled_codestream) {
  Stream s;
  const Bytes b = s.build();
  auto cs = Codestream::parse(b);
  ASSERT_TRUE(cs.has_value()) << cs.error().display();
  EXPECT_EQ(cs->siz, s.siz);
  EXPECT_EQ(cs->cod, s.cod);
  EXPECT_EQ(cs->qcd, s.qcd);
  EXPECT_FALSE(cs->cap_present);
  EXPECT_FALSE(cs->comment.has_value());
  EXPECT_EQ(cs->main_header_end, s.main_end());
  ASSERT_EQ(cs->tile_parts.size(), 1u);
  EXPECT_EQ(cs->tile_parts[0].sot_offset, s.main_end());
  EXPECT_EQ(cs->tile_parts[0].body_start, s.main_end() + 14);
  EXPECT_EQ(cs->tile_parts[0].body_end, s.main_end() + 16);
  EXPECT_EQ(cs->end, b.size());
  // Bytes after EOC are not part of it.
  Bytes more = b;
  more.insert(more.end(), {1, 2, 3});
  EXPECT_EQ(Codestream::parse(more)->end, b.size());
}

TEST(Reader, start_of_codestream_checks) {
  expect_malformed(Codestream::parse(Bytes{}), 0, "unexpected end of codestream");
  expect_malformed(Codestream::parse(Bytes{0xFF}), 0, "unexpected end of codestream");
  expect_malformed(Codestream::parse(Bytes{0xFF, 0x51, 0, 0}), 0, "missing SOC");
  expect_malformed(Codestream::parse(Bytes{0xFF, 0x4F, 0xFF}), 2, "unexpected end of codestream");
  expect_malformed(Codestream::parse(Bytes{0xFF, 0x4F, 0xFF, 0x51, 0x00}), 2, "unexpected end of codestream");
  // Main header followed directly by EOC: four bytes are needed at a marker.
  Stream s;
  Bytes b = {0xFF, 0x4F};
  append(b, seg(marker::SIZ, s.siz.to_bytes()));
  const std::size_t eoc = b.size();
  b.insert(b.end(), {0xFF, 0xD9});
  expect_malformed(Codestream::parse(b), eoc, "unexpected end of codestream");
}

TEST(Reader, main_header_checks) {
  Stream s;
  s.after = {0x12, 0x34, 0x00, 0x04, 0, 0};
  expect_malformed(Codestream::parse(s.build()), s.main_end() - 6, "expected a marker in the main header");
  s.after = {0xFF, 0x64, 0x00, 0x01};
  expect_malformed(Codestream::parse(s.build()), s.main_end() - 4, "marker segment length out of bounds");
  {
    Bytes b = s.build();
    b.resize(s.main_end() - 4);
    b.insert(b.end(), {0xFF, 0x64, 0x7F, 0xFF, 0, 1});
    expect_malformed(Codestream::parse(b), s.main_end() - 4, "marker segment length out of bounds");
  }
  s.after = seg(marker::CAP, {0x00, 0x02, 0x00, 0x00, 0x00});
  expect_malformed(Codestream::parse(s.build()), s.main_end() - 9, "CAP too short");
  s.after = seg(marker::CAP, {0x00, 0x01, 0x00, 0x00, 0x00, 0x05});
  expect_malformed(Codestream::parse(s.build()), s.main_end() - 10, "CAP without the Part-15 (Pcap^15) bit");
  s.after = seg(marker::CAP, {0x00, 0x02, 0x00, 0x00, 0x12, 0x05});
  auto cap = Codestream::parse(s.build());
  ASSERT_TRUE(cap.has_value());
  EXPECT_TRUE(cap->cap_present);
  EXPECT_EQ(cap->ccap15, 0x1205);
  // Segment parsers report at the segment's marker.
  s.after.clear();
  s.before = seg(marker::COD, {0, 0, 0, 1, 0, 33, 4, 4, 0x40, 1});
  expect_malformed(Codestream::parse(s.build()), 2, "COD with more than 32 decomposition levels");
  s.before = seg(marker::QCD, {0x21});
  expect_malformed(Codestream::parse(s.build()), 2, "unsupported quantization style (derived)");
  s.before = seg(marker::TLM, {0x00, 0x70});
  expect_malformed(Codestream::parse(s.build()), 2, "invalid TLM ST field");
  s.before.clear();
  // COC and QCC are refused.
  s.after = seg(marker::COC, {0, 0, 5, 4, 4, 0x40, 1});
  expect_unsupported(Codestream::parse(s.build()).error(), "per-component COC/QCC overrides");
  s.after = seg(marker::QCC, {0, 0x20, 0x48});
  expect_unsupported(Codestream::parse(s.build()).error(), "per-component COC/QCC overrides");
}

TEST(Reader, segments_in_any_order_and_missing_ones) {
  Stream s;
  const Bytes siz = seg(marker::SIZ, s.siz.to_bytes()), cod = seg(marker::COD, s.cod.to_bytes()),
              qcd = seg(marker::QCD, s.qcd.to_bytes());
  auto with = [&](std::vector<const Bytes*> parts) {
    Bytes b = {0xFF, 0x4F};
    for (const Bytes* p : parts) append(b, *p);
    const std::size_t sot = b.size();
    Sot t;
    t.psot = 16;
    append(b, seg(marker::SOT, t.to_bytes()));
    b.insert(b.end(), {0xFF, 0x93, 0, 0, 0xFF, 0xD9});
    return std::pair{b, sot};
  };
  {
    auto [b, sot] = with({&qcd, &cod, &siz});
    EXPECT_TRUE(Codestream::parse(b).has_value());
  }
  {
    auto [b, sot] = with({&cod, &qcd});
    expect_malformed(Codestream::parse(b), sot, "missing SIZ");
  }
  {
    auto [b, sot] = with({&siz, &qcd});
    expect_malformed(Codestream::parse(b), sot, "missing COD");
  }
  {
    auto [b, sot] = with({&siz, &cod});
    expect_malformed(Codestream::parse(b), sot, "missing QCD");
  }
}

TEST(Reader, comments_keep_the_last_and_replace_bad_utf8) {
  Stream s;
  append(s.after, seg(marker::COM, {0, 1, 'a'}));
  append(s.after, seg(marker::COM, {0, 1, 'h', 0xC3, 0xA9, 0xFF, 'x', 0xE2, 0x82}));
  EXPECT_EQ(Codestream::parse(s.build())->comment, "h\xC3\xA9\xEF\xBF\xBDx\xEF\xBF\xBD");
  s.after = seg(marker::COM, {0});
  EXPECT_EQ(Codestream::parse(s.build())->comment, "");
}

TEST(Reader, tile_part_checks) {
  Stream s;
  const std::size_t t = s.main_end();
  {
    Bytes b = s.build();
    b[t + 17] = 0x91;  // the marker after the first tile-part
    expect_malformed(Codestream::parse(b), t + 16, "expected SOT or EOC");
    b = s.build();
    b[t + 3] = 11;
    expect_malformed(Codestream::parse(b), t, "SOT with unexpected length");
    b = s.build();
    b.resize(t + 10);
    expect_malformed(Codestream::parse(b), t, "truncated SOT segment");
    b.resize(t + 1);
    expect_malformed(Codestream::parse(b), t, "unexpected end of codestream");
  }
  s.tile_header = {0xFF, 0x58, 0x00, 0x01};
  expect_malformed(Codestream::parse(s.build()), t + 12, "tile-part marker length out of bounds");
  s.tile_header = seg(marker::COD, s.cod.to_bytes());
  expect_unsupported(Codestream::parse(s.build()).error(), "tile-part coding-style overrides");
  s.tile_header = seg(marker::QCD, s.qcd.to_bytes());
  expect_unsupported(Codestream::parse(s.build()).error(), "tile-part coding-style overrides");
  s.tile_header = seg(marker::PLT, {0, 0x82});
  expect_malformed(Codestream::parse(s.build()), t + 12, "PLT ends mid-varint");
  s.tile_header = seg(marker::PLT, {0, 0x82, 0x2C, 0x05});
  EXPECT_EQ(Codestream::parse(s.build())->tile_parts[0].plt, (std::vector<std::uint32_t>{300, 5}));
  s.tile_header.clear();
  s.psot = 1000;
  expect_malformed(Codestream::parse(s.build()), t, "Psot out of bounds");
  s.psot = 13;  // ends before SOD
  expect_malformed(Codestream::parse(s.build()), t, "Psot out of bounds");
  // Psot 0: the body runs to two bytes before the end, which must be EOC.
  s.psot = 0;
  auto cs = Codestream::parse(s.build());
  ASSERT_TRUE(cs.has_value()) << cs.error().display();
  EXPECT_EQ(cs->tile_parts[0].body_end, s.build().size() - 2);
  Bytes b = s.build();
  b.back() = 0xD8;
  expect_malformed(Codestream::parse(b), b.size() - 2, "expected SOT or EOC");
}

TEST(Reader, subset_check_names_each_feature) {
  auto check = [](const Stream& s) { return Codestream::parse(s.build())->check_supported(); };
  {
    Stream s;
    EXPECT_TRUE(check(s).has_value());
    s.siz.xtsiz = 4;
    expect_unsupported(check(s).error(), "multi-tile or offset-canvas codestreams");
  }
  {
    Stream s;
    s.siz.xosiz = 1;
    s.siz.xtosiz = 1;
    expect_unsupported(check(s).error(), "multi-tile or offset-canvas codestreams");
  }
  {
    Stream s;
    s.siz.components[0].dy = 2;
    expect_unsupported(check(s).error(), "component subsampling");
  }
  {
    Stream s;
    s.cod.cblk_style = 0;
    expect_unsupported(check(s).error(), "non-HT (legacy J2K-1) block coding");
    s.cod.cblk_style = 0xC0;
    expect_unsupported(check(s).error(), "mixed HT/legacy block coding");
  }
  {
    Stream s;
    s.cod.transform = 0;
    expect_unsupported(check(s).error(), "irreversible (9/7) codestreams");
  }
  {
    Stream s;
    s.qcd.style = 2;
    s.qcd.steps = {0x4000, 0x4800, 0x4800, 0x5000};
    expect_unsupported(check(s).error(), "irreversible (9/7) codestreams");
  }
  {
    Stream s;
    s.cod.layers = 2;
    expect_unsupported(check(s).error(), "multiple quality layers");
  }
  for (std::uint8_t prog : {3, 4}) {
    Stream s;
    s.cod.progression = prog;
    s.cod.scod = kScodPrecincts;
    s.cod.precincts = {{15, 15}, {15, 15}};
    expect_unsupported(check(s).error(), "PCRL/CPRL with explicit precinct sizes");
    s.cod.progression = 2;
    EXPECT_TRUE(check(s).has_value());
  }
  // Segments that change how packets or coefficients are read are refused;
  // PLM, CRG and unknown ones are skipped.
  const std::pair<std::uint16_t, const char*> refused[] = {
      {marker::POC, "progression order changes (POC)"},
      {marker::PPM, "packed packet headers (PPM/PPT)"},
      {marker::RGN, "region of interest (RGN)"}};
  for (auto [m, message] : refused) {
    Stream s;
    s.after = seg(m, {0, 0, 0, 0, 0, 0, 0});
    expect_unsupported(check(s).error(), message);
  }
  {
    Stream s;
    s.tile_header = seg(marker::PPT, {0, 0x80});
    expect_unsupported(check(s).error(), "packed packet headers (PPM/PPT)");
    s.tile_header = seg(marker::RGN, {0, 0, 3});
    expect_unsupported(check(s).error(), "region of interest (RGN)");
    s.tile_header = seg(marker::POC, {0, 0, 0, 1, 1, 0, 0});
    expect_unsupported(check(s).error(), "progression order changes (POC)");
  }
  for (std::uint16_t m : {marker::PLM, marker::CRG, std::uint16_t{0xFF6F}}) {
    Stream s;
    s.after = seg(m, {0, 1, 2, 3});
    EXPECT_TRUE(check(s).has_value());
  }
}

TEST(Reader, precinct_grid) {
  Stream s;
  s.siz.xsiz = s.siz.xtsiz = 40000;
  s.siz.ysiz = s.siz.ytsiz = 3;
  s.cod.levels = 2;
  s.qcd = *Quant::reversible(2, 8, 0);
  auto cs = Codestream::parse(s.build());
  ASSERT_TRUE(cs.has_value());
  EXPECT_EQ(cs->precinct_grid(2), (std::pair<std::uint64_t, std::uint64_t>{2, 1}));
  EXPECT_EQ(cs->precinct_grid(1), (std::pair<std::uint64_t, std::uint64_t>{1, 1}));
  cs->cod.scod = kScodPrecincts;
  cs->cod.precincts = {{0, 0}, {3, 1}};
  EXPECT_EQ(cs->precinct_grid(0), (std::pair<std::uint64_t, std::uint64_t>{10000, 1}));
  EXPECT_EQ(cs->precinct_grid(1), (std::pair<std::uint64_t, std::uint64_t>{2500, 1}));
  EXPECT_EQ(cs->precinct_grid(2), (std::pair<std::uint64_t, std::uint64_t>{5000, 2}));  // last entry
}

TEST(Reader, packet_sequences) {
  Stream s;
  s.siz.xsiz = s.siz.xtsiz = 16;
  s.siz.ysiz = s.siz.ytsiz = 8;
  s.siz.components.resize(2);
  s.cod.levels = 1;
  s.cod.scod = kScodPrecincts;
  s.cod.precincts = {{3, 3}, {3, 3}};  // r0 8x4: 1x1 precincts; r1 16x8: 2x1
  auto cs = Codestream::parse(s.build());
  ASSERT_TRUE(cs.has_value());
  auto ids = [&](std::uint8_t prog) {
    cs->cod.progression = prog;
    std::vector<std::string> out;
    for (const PacketId& p : cs->packet_sequence())
      out.push_back(std::to_string(p.component) + std::to_string(p.resolution) +
                    std::to_string(p.precinct_x) + std::to_string(p.precinct_y));
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(ids(0), (V{"0000", "1000", "0100", "0110", "1100", "1110"}));
  EXPECT_EQ(ids(1), ids(0));
  EXPECT_EQ(ids(2), (V{"0000", "1000", "0100", "1100", "0110", "1110"}));
  // Position-major orders with maximal precincts: component, resolution.
  cs->cod.scod = 0;
  cs->cod.precincts.clear();
  EXPECT_EQ(ids(3), (V{"0000", "0100", "1000", "1100"}));
  EXPECT_EQ(ids(4), (V{"0000", "0100", "1000", "1100"}));
  EXPECT_EQ(cs->packet_count(), 4u);
  // Packets stop at a resolution for the resolution-major orders only.
  cs->cod.progression = 2;
  EXPECT_EQ(cs->packet_sequence(0).size(), 2u);
  cs->cod.progression = 4;
  EXPECT_EQ(cs->packet_sequence(0).size(), 4u);
}

TEST(Reader, packet_index_of_own_codestreams) {
  for (std::uint8_t prog = 0; prog < 5; ++prog) {
    const Bytes b = written(50, 30, 3, prog, true);
    auto cs = Codestream::parse(b);
    ASSERT_TRUE(cs.has_value());
    auto idx = cs->packet_index();
    ASSERT_TRUE(idx.has_value()) << idx.error().display();
    ASSERT_EQ(idx->size(), 4u);
    std::uint64_t pos = cs->tile_parts[0].body_start;
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ((*idx)[i].resolution, i);
      EXPECT_EQ((*idx)[i].offset, pos);
      pos += (*idx)[i].length;
    }
    EXPECT_EQ(pos, cs->tile_parts[0].body_end);
  }
}

TEST(Reader, packet_index_checks) {
  const Bytes good = written(20, 20, 2, 2, true);
  auto base = Codestream::parse(good);
  ASSERT_TRUE(base.has_value());
  const std::size_t tstart = base->tile_parts[0].sot_offset;
  {
    auto cs = *base;
    cs.tlm = {cs.tlm[0], 5};
    auto r = cs.packet_index();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "TLM lists more tile-parts than found");
    EXPECT_EQ(r.error().offset, tstart + base->tlm[0]);
  }
  {
    auto cs = *base;
    cs.main_header_end += 1;
    auto r = cs.packet_index();
    EXPECT_EQ(r.error().message, "TLM offsets disagree with SOT positions");
    EXPECT_EQ(r.error().offset, tstart + 1);
  }
  {
    auto cs = *base;
    cs.tile_parts[0].plt.push_back(0);
    auto r = cs.packet_index();
    EXPECT_EQ(r.error().message, "PLT lists more packets than expected");
    EXPECT_EQ(r.error().offset, cs.tile_parts[0].body_end);
  }
  {
    auto cs = *base;
    cs.tile_parts[0].plt[1] += 1;
    auto r = cs.packet_index();
    EXPECT_EQ(r.error().message, "PLT lengths do not cover the tile-part body");
    EXPECT_EQ(r.error().offset, cs.tile_parts[0].body_end + 1);
  }
  {
    auto cs = *base;
    const std::uint32_t last = cs.tile_parts[0].plt.back();
    cs.tile_parts[0].plt.pop_back();
    cs.tile_parts[0].plt.back() += last;
    auto r = cs.packet_index();
    EXPECT_EQ(r.error().message, "PLT covers fewer packets than expected");
    EXPECT_EQ(r.error().offset, good.size());
  }
  {
    auto cs = *base;
    cs.tile_parts[0].plt.clear();
    expect_unsupported(cs.packet_index().error(), "codestream has no PLT index");
    cs.cod.layers = 3;
    expect_unsupported(cs.packet_index().error(), "multiple quality layers");
  }
  {
    // A shorter TLM list is accepted.
    auto cs = *base;
    cs.tlm.clear();
    EXPECT_TRUE(cs.packet_index().has_value());
  }
}

TEST(Reader, truncations_of_valid_input_are_refused) {
  const Bytes good = written(33, 17, 3, 2, true);
  for (std::size_t n = 0; n < good.size(); ++n) {
    Bytes t(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    auto cs = Codestream::parse(t);
    EXPECT_FALSE(cs.has_value() && cs->end == good.size()) << n;
    if (cs) {
      // A prefix that still parses (EOC found inside) must not index as if whole.
      (void)cs->packet_index();
    }
  }
}

TEST(Reader, packet_index_over_two_tile_parts) {
  // Own codestream without index segments, re-cut into two tile-parts at a
  // packet boundary, each with a PLT segment for its packets, and a TLM.
  const Bytes good = written(40, 40, 3, 1, true);
  auto cs = Codestream::parse(good);
  ASSERT_TRUE(cs.has_value());
  const std::vector<std::uint32_t> lengths = cs->tile_parts[0].plt;
  ASSERT_EQ(lengths.size(), 4u);
  const std::size_t body = cs->tile_parts[0].body_start;
  const std::size_t split = body + lengths[0] + lengths[1];
  const std::vector<std::uint32_t> first(lengths.begin(), lengths.begin() + 2),
      second(lengths.begin() + 2, lengths.end());
  Bytes t(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cs->main_header_end));
  std::vector<std::uint32_t> tlm;
  auto tile_part = [&](std::size_t from, std::size_t to, std::uint8_t index,
                       const std::vector<std::uint32_t>& plt) {
    const Bytes p = seg(marker::PLT, plt_payload(0, plt));
    Sot sot;
    sot.psot = static_cast<std::uint32_t>(14 + p.size() + to - from);
    sot.tpsot = index;
    sot.tnsot = 2;
    tlm.push_back(sot.psot);
    append(t, seg(marker::SOT, sot.to_bytes()));
    append(t, p);
    t.insert(t.end(), {0xFF, 0x93});
    t.insert(t.end(), good.begin() + static_cast<std::ptrdiff_t>(from), good.begin() + static_cast<std::ptrdiff_t>(to));
  };
  tile_part(body, split, 0, first);
  tile_part(split, cs->tile_parts[0].body_end, 1, second);
  t.insert(t.end(), {0xFF, 0xD9});
  auto two = Codestream::parse(t);
  ASSERT_TRUE(two.has_value()) << two.error().display();
  two->tlm = tlm;  // the TLM of the original main header listed one tile-part
  auto idx = two->packet_index();
  ASSERT_TRUE(idx.has_value()) << idx.error().display();
  ASSERT_EQ(idx->size(), 4u);
  EXPECT_EQ((*idx)[0].offset, two->tile_parts[0].body_start);
  EXPECT_EQ((*idx)[2].offset, two->tile_parts[1].body_start);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ((*idx)[i].length, lengths[i]);
  two->tlm = {tlm[0] + 1, tlm[1]};
  auto bad = two->packet_index();
  EXPECT_EQ(bad.error().message, "TLM offsets disagree with SOT positions");
  EXPECT_EQ(bad.error().offset, two->tile_parts[1].sot_offset + 1);
}

// The order as a list built by sorting (T.800 B.12): resolution-major orders
// nest their loops; position-major orders sort every precinct by its origin
// on the reference grid, then resolution. The walk to resolution H ends after
// the list's last packet of resolution <= H.
std::vector<PacketId> reference_walk(const Codestream& cs, unsigned H) {
  struct Entry { std::uint64_t y, x; unsigned r; std::uint64_t px, py; };
  const unsigned levels = cs.cod.levels;
  const auto comps = static_cast<std::uint32_t>(cs.siz.components.size());
  std::vector<Entry> all;
  for (unsigned r = 0; r <= levels; ++r) {
    const auto [cols, rows] = cs.precinct_grid(static_cast<std::uint8_t>(r));
    const PrecinctSize pp = cs.cod.precincts.empty() ? PrecinctSize{15, 15}
                            : r < cs.cod.precincts.size() ? cs.cod.precincts[r] : cs.cod.precincts.back();
    for (std::uint64_t py = 0; py < rows; ++py)
      for (std::uint64_t px = 0; px < cols; ++px)
        all.push_back({py << (pp.ppy + levels - r), px << (pp.ppx + levels - r), r, px, py});
  }
  std::vector<PacketId> seq;
  auto add = [&](std::uint32_t c, const Entry& e) {
    seq.push_back({c, static_cast<std::uint8_t>(e.r), e.px, e.py});
  };
  const std::uint8_t prog = cs.cod.progression;
  if (prog == 3 || prog == 4) {
    std::stable_sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) {
      return std::tie(a.y, a.x, a.r) < std::tie(b.y, b.x, b.r);
    });
    if (prog == 4) {
      for (std::uint32_t c = 0; c < comps; ++c)
        for (const Entry& e : all) add(c, e);
    } else {
      for (std::size_t i = 0, j = 0; i < all.size(); i = j) {
        while (j < all.size() && all[j].y == all[i].y && all[j].x == all[i].x) ++j;
        for (std::uint32_t c = 0; c < comps; ++c)
          for (std::size_t k = i; k < j; ++k) add(c, all[k]);
      }
    }
  } else {
    for (unsigned r = 0; r <= levels; ++r) {
      std::vector<Entry> here;
      for (const Entry& e : all)
        if (e.r == r) here.push_back(e);
      if (prog == 2) {
        for (const Entry& e : here)
          for (std::uint32_t c = 0; c < comps; ++c) add(c, e);
      } else {
        for (std::uint32_t c = 0; c < comps; ++c)
          for (const Entry& e : here) add(c, e);
      }
    }
  }
  std::size_t end = 0;
  for (std::size_t i = 0; i < seq.size(); ++i)
    if (seq[i].resolution <= H) end = i + 1;
  seq.resize(end);
  return seq;
}

TEST(Reader, packet_order_matches_the_sorted_list) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    Stream s;
    s.siz.xsiz = s.siz.xtsiz = 1 + rng() % 300;
    s.siz.ysiz = s.siz.ytsiz = 1 + rng() % 300;
    s.siz.components.resize(1 + rng() % 3, SizComponent{false, 8, 1, 1});
    s.cod.levels = static_cast<std::uint8_t>(rng() % 5);
    s.qcd = *Quant::reversible(s.cod.levels, 8, 0);
    s.cod.progression = static_cast<std::uint8_t>(rng() % 5);
    auto cs = Codestream::parse(s.build());
    ASSERT_TRUE(cs.has_value()) << cs.error().display();
    // Explicit precincts from 2 x 2 up, varied per resolution.
    cs->cod.precincts.clear();
    for (unsigned r = 0; r <= cs->cod.levels; ++r)
      cs->cod.precincts.push_back({static_cast<std::uint8_t>(1 + rng() % 6),
                                   static_cast<std::uint8_t>(1 + rng() % 6)});
    if (trial % 4 == 0) cs->cod.precincts.clear();
    for (unsigned H = 0; H <= cs->cod.levels; ++H) {
      PacketOrder order(*cs, static_cast<std::uint8_t>(H));
      std::vector<PacketId> walk;
      while (const auto id = order.next()) walk.push_back(*id);
      ASSERT_EQ(walk, reference_walk(*cs, H)) << trial << " H " << H;
    }
  }
}
