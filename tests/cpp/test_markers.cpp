#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "codestream/markers.hpp"
#include "codestream/quant.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes segment(std::uint16_t code, const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(push_segment(out, code, payload).has_value());
  return out;
}

template <class T>
void expect_malformed(const Result<T>& r, std::uint64_t at, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << "expected: " << message;
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().offset, at);
  EXPECT_EQ(r.error().message, message);
}

// Every parser runs on an exact-size heap copy, so that the sanitizer build
// sees any read past the payload.
template <class F>
auto on_copy(std::span<const std::uint8_t> bytes, std::uint64_t at, F parse) {
  const Bytes copy(bytes.begin(), bytes.end());
  return parse(std::span<const std::uint8_t>(copy), at);
}

Bytes u32be(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

// A SIZ payload from its fields, for parser checks.
Bytes siz_payload(std::uint32_t xsiz, std::uint32_t ysiz, std::uint32_t xo, std::uint32_t yo,
                  std::uint32_t xt, std::uint32_t yt, std::uint32_t xto, std::uint32_t yto,
                  std::uint16_t csiz, const Bytes& comps) {
  return cat({{0x40, 0x00}, u32be(xsiz), u32be(ysiz), u32be(xo), u32be(yo), u32be(xt), u32be(yt),
              u32be(xto), u32be(yto), {std::uint8_t(csiz >> 8), std::uint8_t(csiz)}, comps});
}

Siz one_by_one_siz() {
  Siz s;
  s.components = {{false, 8, 1, 1}};
  s.xsiz = s.ysiz = s.xtsiz = s.ytsiz = 1;
  return s;
}

const Bytes kComBytes(kComText.begin(), kComText.end());

}  // namespace

// ---- known answers ------------------------------------------------------------

TEST(Markers, WritesTheSegmentsOfTheOneSampleCodestream) {
  // The segments of a 1 x 1 unsigned 8-bit plane, N_L = 5, RPCL, 64 x 64
  // blocks, with the index segments.
  Cod cod;
  cod.progression = 2;
  const Sot sot{31, 0, 0, 1};
  const std::uint32_t psot = 31;
  const std::uint32_t packets[] = {1, 1, 1, 1, 1, 1};

  struct Case {
    const char* name;
    Bytes got, want;
  } cases[] = {
      {"SIZ", segment(marker::SIZ, one_by_one_siz().to_bytes()),
       cat({{0xFF, 0x51, 0x00, 0x29, 0x40, 0x00}, u32be(1), u32be(1), u32be(0), u32be(0), u32be(1),
            u32be(1), u32be(0), u32be(0), {0x00, 0x01, 0x07, 0x01, 0x01}})},
      {"COD", segment(marker::COD, cod.to_bytes()),
       {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x01, 0x00, 0x05, 0x04, 0x04, 0x40, 0x01}},
      {"CAP", segment(marker::CAP, Cap::from_magb(10).to_bytes()),
       {0xFF, 0x50, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02}},
      {"COM", segment(marker::COM, com_payload(codestream::kComText)),
       cat({{0xFF, 0x64, 0x00, 0x1C, 0x00, 0x01}, kComBytes})},
      {"TLM", segment(marker::TLM, tlm_payload({&psot, 1})),
       {0xFF, 0x55, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x1F}},
      {"SOT", segment(marker::SOT, sot.to_bytes()),
       {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x01}},
      {"PLT", segment(marker::PLT, plt_payload(0, packets)),
       {0xFF, 0x58, 0x00, 0x09, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

TEST(Markers, AssemblesTheWholeOneSampleCodestream) {
  Cod cod;
  cod.progression = 2;
  auto quant = Quant::reversible(5, 8, 0);
  ASSERT_TRUE(quant.has_value());
  const std::uint32_t packets[] = {1, 1, 1, 1, 1, 1};
  const std::uint32_t psot = 12 + 11 + 2 + 6;

  Bytes cs;
  push_marker(cs, marker::SOC);
  ASSERT_TRUE(push_segment(cs, marker::SIZ, one_by_one_siz().to_bytes()).has_value());
  ASSERT_TRUE(push_segment(cs, marker::CAP, Cap::from_magb(quant->magb()).to_bytes()).has_value());
  ASSERT_TRUE(push_segment(cs, marker::COD, cod.to_bytes()).has_value());
  ASSERT_TRUE(push_segment(cs, marker::QCD, quant->to_bytes()).has_value());
  ASSERT_TRUE(push_segment(cs, marker::COM, com_payload(codestream::kComText)).has_value());
  ASSERT_TRUE(push_segment(cs, marker::TLM, tlm_payload({&psot, 1})).has_value());
  ASSERT_TRUE(push_segment(cs, marker::SOT, Sot{psot, 0, 0, 1}.to_bytes()).has_value());
  ASSERT_TRUE(push_segment(cs, marker::PLT, plt_payload(0, packets)).has_value());
  push_marker(cs, marker::SOD);
  cs.insert(cs.end(), 6, 0x00);
  push_marker(cs, marker::EOC);

  Bytes qcd = {0xFF, 0x5C, 0x00, 0x13, 0x20, 0x48};
  qcd.insert(qcd.end(), 12, 0x50);
  qcd.insert(qcd.end(), 3, 0x48);
  const Bytes want = cat({
      {0xFF, 0x4F},
      {0xFF, 0x51, 0x00, 0x29, 0x40, 0x00},
      u32be(1), u32be(1), u32be(0), u32be(0), u32be(1), u32be(1), u32be(0), u32be(0),
      {0x00, 0x01, 0x07, 0x01, 0x01},
      {0xFF, 0x50, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02},
      {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x01, 0x00, 0x05, 0x04, 0x04, 0x40, 0x01},
      qcd,
      {0xFF, 0x64, 0x00, 0x1C, 0x00, 0x01}, kComBytes,
      {0xFF, 0x55, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x1F},
      {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x01},
      {0xFF, 0x58, 0x00, 0x09, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
      {0xFF, 0x93, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xD9},
  });
  EXPECT_EQ(cs, want);
}

TEST(Markers, PushSegmentBoundsThePayload) {
  Bytes out = {0xAA};
  const Bytes max(65533, 0x11);
  ASSERT_TRUE(push_segment(out, marker::COM, max).has_value());
  ASSERT_EQ(out.size(), 1u + 4 + 65533);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0x64);
  EXPECT_EQ(out[3], 0xFF);  // L = 0xFFFF
  EXPECT_EQ(out[4], 0xFF);

  const Bytes before = out;
  auto r = push_segment(out, marker::COM, Bytes(65534, 0x22));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().message, "marker segment payload exceeds 65533 bytes");
  EXPECT_EQ(out, before);

  Bytes empty;
  ASSERT_TRUE(push_segment(empty, marker::PLT, {}).has_value());
  EXPECT_EQ(empty, (Bytes{0xFF, 0x58, 0x00, 0x02}));
}

TEST(Markers, CodesPacketLengthsInSevenBitGroups) {
  struct Case {
    std::uint32_t value;
    Bytes coded;
  } cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x81, 0x00}},
      {300, {0x82, 0x2C}},
      {(1u << 14) - 1, {0xFF, 0x7F}},
      {1u << 14, {0x81, 0x80, 0x00}},
      {(1u << 21) - 1, {0xFF, 0xFF, 0x7F}},
      {1u << 21, {0x81, 0x80, 0x80, 0x00}},
      {(1u << 28) - 1, {0xFF, 0xFF, 0xFF, 0x7F}},
      {1u << 28, {0x81, 0x80, 0x80, 0x80, 0x00}},
      {0xFFFFFFFFu, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Case& c : cases) {
    const Bytes want = cat({{0x07}, c.coded});
    EXPECT_EQ(plt_payload(7, {&c.value, 1}), want) << c.value;
    EXPECT_EQ(plt_coded_size(c.value), c.coded.size()) << c.value;
    auto parsed = parse_plt(want, 0);
    ASSERT_TRUE(parsed.has_value()) << c.value;
    EXPECT_EQ(*parsed, std::vector<std::uint32_t>{c.value});
  }
}

TEST(Markers, CapMagnitudeBoundField) {
  struct Case {
    std::uint32_t b;
    std::uint16_t p;
  } cases[] = {{0, 0},   {8, 0},   {9, 1},   {10, 2},  {18, 10}, {27, 19},
               {28, 20}, {31, 20}, {32, 21}, {37, 22}, {71, 30}, {75, 31}};
  for (const Case& c : cases) EXPECT_EQ(Cap::from_magb(c.b).ccap15, c.p) << c.b;
  // Beyond what five bits can say the field saturates instead of wrapping.
  EXPECT_EQ(Cap::from_magb(76).ccap15, 31);
  EXPECT_EQ(Cap::from_magb(0xFFFFFFFFu).ccap15, 31);
  // The field read back per T.814 is an upper bound on B (exact up to 27).
  for (std::uint32_t b = 0; b <= 75; ++b) {
    const std::uint32_t p = Cap::from_magb(b).ccap15;
    const std::uint32_t bound = p < 20 ? p + 8 : 4 * (p - 19) + 27;
    EXPECT_GE(bound, b) << b;
    if (b >= 8 && b <= 27) {
      EXPECT_EQ(bound, b);
    }
  }
}

// ---- SIZ ----------------------------------------------------------------------

TEST(SizParse, ChecksInOrderWithExactMessages) {
  const std::uint64_t at = 1234;
  const Bytes comp = {0x07, 0x01, 0x01};
  struct Case {
    const char* what;
    Bytes payload;
    const char* message;
  } cases[] = {
      {"35 bytes", Bytes(35, 0), "SIZ too short"},
      {"Csiz 0 in 36 bytes", siz_payload(4, 4, 0, 0, 4, 4, 0, 0, 0, {}), "SIZ component list truncated"},
      {"two components, five bytes", siz_payload(4, 4, 0, 0, 4, 4, 0, 0, 2, {7, 1, 1, 7, 1}),
       "SIZ component list truncated"},
      {"depth 39", siz_payload(4, 4, 0, 0, 4, 4, 0, 0, 1, {0x26, 1, 1}), "SIZ component depth outside 1..=38"},
      {"signed depth 39", siz_payload(4, 4, 0, 0, 4, 4, 0, 0, 1, {0xA6, 1, 1}),
       "SIZ component depth outside 1..=38"},
      {"second component bad", siz_payload(4, 4, 0, 0, 4, 4, 0, 0, 2, {0x07, 1, 1, 0x7F, 1, 1}),
       "SIZ component depth outside 1..=38"},
      {"depth before tile size", siz_payload(4, 4, 0, 0, 0, 0, 0, 0, 1, {0x26, 1, 1}),
       "SIZ component depth outside 1..=38"},
      {"XTsiz 0", siz_payload(4, 4, 0, 0, 0, 4, 0, 0, 1, comp), "SIZ with a zero tile dimension"},
      {"YTsiz 0", siz_payload(4, 4, 0, 0, 4, 0, 0, 0, 1, comp), "SIZ with a zero tile dimension"},
      {"tile size before origin", siz_payload(0, 4, 0, 0, 0, 4, 0, 0, 1, comp), "SIZ with a zero tile dimension"},
      {"XOsiz = Xsiz", siz_payload(4, 4, 4, 0, 4, 4, 0, 0, 1, comp), "SIZ canvas origin at or past its size"},
      {"YOsiz > Ysiz", siz_payload(4, 4, 0, 9, 4, 4, 0, 0, 1, comp), "SIZ canvas origin at or past its size"},
      {"Xsiz 0", siz_payload(0, 4, 0, 0, 4, 4, 0, 0, 1, comp), "SIZ canvas origin at or past its size"},
      {"XTOsiz > XOsiz", siz_payload(4, 4, 1, 1, 4, 4, 2, 0, 1, comp), "SIZ tile origin past the canvas origin"},
      {"YTOsiz > YOsiz", siz_payload(4, 4, 1, 1, 4, 4, 0, 2, 1, comp), "SIZ tile origin past the canvas origin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expect_malformed(on_copy(c.payload, at, Siz::parse), at, c.message);
  }
}

TEST(SizParse, AcceptsTheLimits) {
  // Depth 38 unsigned and signed, origins one short of the size, tile origin
  // equal to the image origin, odd subsampling taken as stored.
  const Bytes p = siz_payload(10, 20, 9, 19, 1, 1, 9, 19, 3, {0x25, 1, 1, 0xA5, 2, 3, 0x00, 0, 255});
  auto s = on_copy(p, 0, Siz::parse);
  ASSERT_TRUE(s.has_value()) << s.error().message;
  ASSERT_EQ(s->components.size(), 3u);
  EXPECT_EQ(s->components[0], (SizComponent{false, 38, 1, 1}));
  EXPECT_EQ(s->components[1], (SizComponent{true, 38, 2, 3}));
  EXPECT_EQ(s->components[2], (SizComponent{false, 1, 0, 255}));
  EXPECT_EQ(s->xosiz, 9u);
  EXPECT_EQ(s->ytosiz, 19u);
  EXPECT_EQ(s->rsiz, 0x4000);
  // Bytes after the last component are ignored.
  Bytes longer = p;
  longer.insert(longer.end(), {1, 2, 3, 4});
  auto l = on_copy(longer, 0, Siz::parse);
  ASSERT_TRUE(l.has_value());
  EXPECT_EQ(*l, *s);
  // Large unsigned values compare unsigned.
  auto big = on_copy(siz_payload(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0, 0xFFFFFFFF, 1, 0, 0, 1, {7, 1, 1}), 0,
                     Siz::parse);
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->xsiz, 0xFFFFFFFFu);
}

TEST(SizParse, RoundTripsRandomRecords) {
  std::mt19937 rng(41);
  for (int n = 0; n < 500; ++n) {
    Siz s;
    s.components.resize(1 + rng() % (n < 10 ? 3000 : 40));
    for (SizComponent& c : s.components)
      c = {bool(rng() & 1), std::uint8_t(1 + rng() % 38), std::uint8_t(rng()), std::uint8_t(rng())};
    s.rsiz = std::uint16_t(rng());
    s.xsiz = 1 + rng() % 0xFFFFFFFEu;
    s.ysiz = 1 + rng() % 0xFFFFFFFEu;
    s.xosiz = rng() % s.xsiz;
    s.yosiz = rng() % s.ysiz;
    s.xtosiz = s.xosiz ? rng() % (s.xosiz + 1) : 0;
    s.ytosiz = s.yosiz ? rng() % (s.yosiz + 1) : 0;
    s.xtsiz = 1 + rng() % 0xFFFFFFFEu;
    s.ytsiz = 1 + rng() % 0xFFFFFFFEu;
    const Bytes bytes = s.to_bytes();
    ASSERT_EQ(bytes.size(), 36 + 3 * s.components.size());
    auto back = on_copy(bytes, 7, Siz::parse);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, s);
  }
}

// ---- COD ----------------------------------------------------------------------

TEST(CodParse, ChecksInOrderWithExactMessages) {
  const std::uint64_t at = 77;
  auto cod = [](std::uint8_t scod, std::uint8_t levels, std::uint8_t xcb, std::uint8_t ycb, Bytes tail = {}) {
    return cat({{scod, 0x02, 0x00, 0x01, 0x00, levels, xcb, ycb, 0x40, 0x01}, tail});
  };
  struct Case {
    const char* what;
    Bytes payload;
    const char* message;
  } cases[] = {
      {"9 bytes", Bytes(9, 0), "COD too short"},
      {"33 levels", cod(0, 33, 4, 4), "COD with more than 32 decomposition levels"},
      {"levels before exponents", cod(0, 255, 9, 9), "COD with more than 32 decomposition levels"},
      {"xcb 9", cod(0, 5, 9, 0), "COD code-block exponents out of range"},
      {"ycb 9", cod(0, 5, 0, 9), "COD code-block exponents out of range"},
      {"area 8192", cod(0, 5, 5, 4), "COD code-block exponents out of range"},
      {"exponents before precincts", cod(1, 5, 5, 4), "COD code-block exponents out of range"},
      {"no precinct bytes", cod(1, 2, 4, 4), "COD precinct list truncated"},
      {"two of three precinct bytes", cod(1, 2, 4, 4, {0x00, 0x11}), "COD precinct list truncated"},
      {"zero exponents at resolution 1", cod(1, 2, 4, 4, {0x00, 0x00, 0x11}),
       "COD precinct exponent 0 above resolution 0"},
      {"PPx 0 at resolution 2", cod(1, 2, 4, 4, {0x11, 0x11, 0x50}), "COD precinct exponent 0 above resolution 0"},
      {"PPy 0 at resolution 2", cod(1, 2, 4, 4, {0x11, 0x11, 0x05}), "COD precinct exponent 0 above resolution 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expect_malformed(on_copy(c.payload, at, Cod::parse), at, c.message);
  }
}

TEST(CodParse, AcceptsTheLimits) {
  auto levels32 = on_copy(Bytes{0, 0, 0, 1, 0, 32, 4, 4, 0x40, 1}, 0, Cod::parse);
  ASSERT_TRUE(levels32.has_value());
  EXPECT_EQ(levels32->levels, 32);
  EXPECT_TRUE(levels32->precincts.empty());

  auto wide = on_copy(Bytes{0, 0, 0, 1, 0, 5, 8, 0, 0x40, 1}, 0, Cod::parse);  // 1024 x 4
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->xcb, 8);
  EXPECT_EQ(wide->ycb, 0);

  // Scod 7: precincts, SOP and EPH; resolution 0 with 1 x 1 precincts; the
  // low nibble is PPx. Trailing bytes are ignored.
  auto pre = on_copy(Bytes{0x07, 4, 0x01, 0x02, 1, 2, 3, 3, 0x48, 1, 0x00, 0x5A, 0xFF, 0x99}, 0, Cod::parse);
  ASSERT_TRUE(pre.has_value()) << pre.error().message;
  EXPECT_EQ(pre->scod, 0x07);
  EXPECT_EQ(pre->progression, 4);
  EXPECT_EQ(pre->layers, 0x0102);
  EXPECT_EQ(pre->mct, 1);
  EXPECT_EQ(pre->cblk_style, 0x48);
  EXPECT_EQ(pre->precincts,
            (std::vector<PrecinctSize>{{0, 0}, {10, 5}, {15, 15}}));

  // Without Scod bit 0 extra bytes are no precinct list.
  auto plain = on_copy(Bytes{0x06, 0, 0, 1, 0, 2, 4, 4, 0x40, 1, 0x00, 0x00, 0x00}, 0, Cod::parse);
  ASSERT_TRUE(plain.has_value());
  EXPECT_TRUE(plain->precincts.empty());
}

TEST(CodParse, RoundTripsRandomRecords) {
  std::mt19937 rng(42);
  for (int n = 0; n < 2000; ++n) {
    Cod c;
    c.scod = std::uint8_t(rng() & 0x07);
    c.progression = std::uint8_t(rng() % 5);
    c.layers = std::uint16_t(rng());
    c.mct = std::uint8_t(rng() & 1);
    c.levels = std::uint8_t(rng() % 33);
    c.xcb = std::uint8_t(rng() % 9);
    c.ycb = std::uint8_t(rng() % (9 - c.xcb));
    c.cblk_style = std::uint8_t(rng());
    c.transform = std::uint8_t(rng() & 1);
    if (c.scod & kScodPrecincts)
      for (unsigned r = 0; r <= c.levels; ++r)
        c.precincts.push_back(r == 0 ? PrecinctSize{std::uint8_t(rng() % 16), std::uint8_t(rng() % 16)}
                                     : PrecinctSize{std::uint8_t(1 + rng() % 15), std::uint8_t(1 + rng() % 15)});
    const Bytes bytes = c.to_bytes();
    ASSERT_EQ(bytes.size(), 10 + c.precincts.size());
    auto back = on_copy(bytes, 3, Cod::parse);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, c);
  }
}

TEST(CodWrite, KeepsPrecinctExponentsInTheirNibbles) {
  Cod c;
  c.scod = kScodPrecincts;
  c.levels = 1;
  c.precincts = {{15, 15}, {7, 3}};
  const Bytes b = c.to_bytes();
  ASSERT_EQ(b.size(), 12u);
  EXPECT_EQ(b[10], 0xFF);
  EXPECT_EQ(b[11], 0x37);
  // Precincts are only written when Scod says they follow.
  c.scod = 0;
  EXPECT_EQ(c.to_bytes().size(), 10u);
}

// ---- CAP and SOT --------------------------------------------------------------

TEST(CapParse, ChecksTheHtBit) {
  expect_malformed(on_copy(Bytes{0x00, 0x02, 0x00, 0x00, 0x00}, 9, Cap::parse), 9, "CAP too short");
  expect_malformed(on_copy(Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x02}, 9, Cap::parse), 9,
                   "CAP without the Part-15 (Pcap^15) bit");
  expect_malformed(on_copy(Bytes{0xFF, 0xFD, 0xFF, 0xFF, 0x00, 0x02}, 9, Cap::parse), 9,
                   "CAP without the Part-15 (Pcap^15) bit");
  auto other_bits = on_copy(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x99}, 9, Cap::parse);
  ASSERT_TRUE(other_bits.has_value());
  EXPECT_EQ(other_bits->ccap15, 0x1234);
  for (std::uint32_t v = 0; v < 0x10000; v += 97) {
    const Cap c{std::uint16_t(v)};
    auto back = on_copy(c.to_bytes(), 0, Cap::parse);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c);
  }
}

TEST(SotParse, ReadsAndRoundTrips) {
  expect_malformed(on_copy(Bytes(7, 0), 55, Sot::parse), 55, "SOT too short");
  auto s = on_copy(Bytes{0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x05, 0x06}, 0, Sot::parse);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(*s, (Sot{0xDEADBEEF, 0x1234, 5, 6}));
  std::mt19937 rng(43);
  for (int n = 0; n < 1000; ++n) {
    const Sot t{std::uint32_t(rng()), std::uint16_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())};
    const Bytes b = t.to_bytes();
    ASSERT_EQ(b.size(), 8u);
    auto back = on_copy(b, 0, Sot::parse);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, t);
  }
}

TEST(ComWrite, RcomThenText) {
  EXPECT_EQ(com_payload(""), (Bytes{0x00, 0x01}));
  EXPECT_EQ(com_payload("ab"), (Bytes{0x00, 0x01, 'a', 'b'}));
  EXPECT_EQ(codestream::kComText.size(), 24u);
}

// ---- TLM ----------------------------------------------------------------------

TEST(TlmParse, ChecksAndEntryForms) {
  const std::uint64_t at = 300;
  expect_malformed(on_copy(Bytes{}, at, parse_tlm), at, "TLM too short");
  expect_malformed(on_copy(Bytes{0x00}, at, parse_tlm), at, "TLM too short");
  expect_malformed(on_copy(Bytes{0x00, 0x30}, at, parse_tlm), at, "invalid TLM ST field");
  expect_malformed(on_copy(Bytes{0x00, 0x70, 1, 2, 3}, at, parse_tlm), at, "invalid TLM ST field");
  expect_malformed(on_copy(cat({{0x00, 0x40}, Bytes(9, 1)}), at, parse_tlm), at, "TLM entries truncated");
  expect_malformed(on_copy(Bytes{0x00, 0x60, 0, 1, 0, 0, 0}, at, parse_tlm), at, "TLM entries truncated");

  auto two = on_copy(Bytes{0x00, 0x40, 0, 0, 0, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF}, at, parse_tlm);
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(*two, (std::vector<TlmEntry>{{std::nullopt, 31}, {std::nullopt, 0xFFFFFFFF}}));

  auto empty = on_copy(Bytes{0x05, 0x40}, at, parse_tlm);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  struct Case {
    Bytes payload;
    std::vector<TlmEntry> want;
  } forms[] = {
      {{0x00, 0x00, 0x12, 0x34}, {{std::nullopt, 0x1234}}},                        // ST 0, 16-bit
      {{0x00, 0x10, 0x07, 0x12, 0x34}, {{7, 0x1234}}},                             // ST 1, 16-bit
      {{0x00, 0x20, 0x01, 0x07, 0x12, 0x34}, {{0x0107, 0x1234}}},                  // ST 2, 16-bit
      {{0x00, 0x50, 0x09, 0x00, 0x01, 0x00, 0x00}, {{9, 0x10000}}},                // ST 1, 32-bit
      {{0xFF, 0x6F, 0xAB, 0xCD, 0x80, 0, 0, 1, 0, 0, 0, 0, 0, 2},                  // ST 2, 32-bit,
       {{0xABCD, 0x80000001}, {0, 2}}},                                            // other bits ignored
  };
  for (const Case& c : forms) {
    auto got = on_copy(c.payload, at, parse_tlm);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_EQ(*got, c.want);
  }
}

TEST(TlmParse, RoundTripsWrittenLengths) {
  std::mt19937 rng(44);
  for (std::size_t n : {0u, 1u, 2u, 17u, 16382u}) {
    std::vector<std::uint32_t> lengths(n);
    for (auto& l : lengths) l = std::uint32_t(rng());
    const Bytes payload = tlm_payload(lengths);
    ASSERT_EQ(payload.size(), 2 + 4 * n);
    Bytes seg;
    ASSERT_TRUE(push_segment(seg, marker::TLM, payload).has_value());
    auto back = on_copy(payload, 0, parse_tlm);
    ASSERT_TRUE(back.has_value());
    ASSERT_EQ(back->size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_FALSE((*back)[i].tile.has_value());
      EXPECT_EQ((*back)[i].length, lengths[i]);
    }
  }
}

// ---- PLT ----------------------------------------------------------------------

TEST(PltParse, ChecksWithExactMessages) {
  const std::uint64_t at = 4096;
  expect_malformed(on_copy(Bytes{}, at, parse_plt), at, "PLT too short");
  expect_malformed(on_copy(Bytes{0x00, 0x82}, at, parse_plt), at, "PLT ends mid-varint");
  expect_malformed(on_copy(Bytes{0x00, 0x05, 0xFF, 0xFF}, at, parse_plt), at, "PLT ends mid-varint");
  // 2^32 and anything longer is refused instead of wrapping to a short length.
  expect_malformed(on_copy(Bytes{0x00, 0x90, 0x80, 0x80, 0x80, 0x00}, at, parse_plt), at,
                   "PLT packet length exceeds 32 bits");
  expect_malformed(on_copy(Bytes{0x00, 0x81, 0x80, 0x80, 0x80, 0x80, 0x00}, at, parse_plt), at,
                   "PLT packet length exceeds 32 bits");
  expect_malformed(on_copy(Bytes{0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, at, parse_plt), at,
                   "PLT packet length exceeds 32 bits");

  struct Case {
    Bytes payload;
    std::vector<std::uint32_t> want;
  } cases[] = {
      {{0x00}, {}},
      {{0x00, 0x82, 0x2C}, {300}},
      {{0x03, 0x00, 0x7F, 0x81, 0x00}, {0, 127, 128}},
      // Leading zero groups change nothing.
      {{0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, {0xFFFFFFFF}},
      {{0x00, 0x80, 0x00}, {0}},
  };
  for (const Case& c : cases) {
    auto got = on_copy(c.payload, at, parse_plt);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    EXPECT_EQ(*got, c.want);
  }
}

TEST(PltParse, RoundTripsLengthsOfEverySize) {
  std::mt19937 rng(45);
  for (int n = 0; n < 300; ++n) {
    std::vector<std::uint32_t> lengths(rng() % 200);
    for (auto& l : lengths) l = std::uint32_t(rng()) >> (rng() % 32);  // all five coded sizes
    const std::uint8_t z = std::uint8_t(rng());
    const Bytes payload = plt_payload(z, lengths);
    std::size_t expect = 1;
    for (auto l : lengths) expect += plt_coded_size(l);
    ASSERT_EQ(payload.size(), expect);
    EXPECT_EQ(payload[0], z);
    auto back = on_copy(payload, 0, parse_plt);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, lengths);
  }
}

// ---- truncations and noise ------------------------------------------------------

namespace {

// The messages any parser may give; noise must end in one of them.
const std::set<std::string> kMessages = {
    "SIZ too short", "SIZ component list truncated", "SIZ component depth outside 1..=38",
    "SIZ with a zero tile dimension", "SIZ canvas origin at or past its size",
    "SIZ tile origin past the canvas origin", "COD too short", "COD with more than 32 decomposition levels",
    "COD code-block exponents out of range", "COD precinct list truncated",
    "COD precinct exponent 0 above resolution 0", "CAP too short", "CAP without the Part-15 (Pcap^15) bit",
    "SOT too short", "TLM too short", "invalid TLM ST field", "TLM entries truncated", "PLT too short",
    "PLT ends mid-varint", "PLT packet length exceeds 32 bits"};

template <class T>
void expect_value_or_known_error(const Result<T>& r, std::uint64_t at) {
  if (r.has_value()) return;
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().offset, at);
  EXPECT_TRUE(kMessages.count(r.error().message)) << r.error().message;
}

}  // namespace

TEST(MarkerParsers, RefuseEveryTruncationOfFixedLayouts) {
  Siz siz = one_by_one_siz();
  siz.components.push_back({true, 16, 1, 1});
  Cod cod;
  cod.scod = 1;
  cod.levels = 3;
  cod.precincts = {{0, 0}, {7, 7}, {8, 8}, {15, 15}};
  const Bytes siz_b = siz.to_bytes(), cod_b = cod.to_bytes(), cap_b = Cap{0x0A}.to_bytes(),
              sot_b = Sot{999, 1, 0, 1}.to_bytes();
  for (std::size_t n = 0; n < siz_b.size(); ++n)
    EXPECT_FALSE(on_copy(std::span(siz_b).first(n), 0, Siz::parse).has_value()) << n;
  for (std::size_t n = 0; n < cod_b.size(); ++n)
    EXPECT_FALSE(on_copy(std::span(cod_b).first(n), 0, Cod::parse).has_value()) << n;
  for (std::size_t n = 0; n < cap_b.size(); ++n)
    EXPECT_FALSE(on_copy(std::span(cap_b).first(n), 0, Cap::parse).has_value()) << n;
  for (std::size_t n = 0; n < sot_b.size(); ++n)
    EXPECT_FALSE(on_copy(std::span(sot_b).first(n), 0, Sot::parse).has_value()) << n;
}

TEST(MarkerParsers, TruncatedIndexSegmentsFailOrGiveAPrefix) {
  const std::vector<std::uint32_t> lengths = {5, 300, 70000, 1u << 25, 0xFFFFFFFF, 0, 127};
  const Bytes plt = plt_payload(2, lengths);
  for (std::size_t n = 0; n < plt.size(); ++n) {
    auto r = on_copy(std::span(plt).first(n), 0, parse_plt);
    if (n == 0) {
      expect_malformed(r, 0, "PLT too short");
      continue;
    }
    // Cut at a varint boundary: a prefix of the lengths; elsewhere refused.
    std::size_t end = 1, whole = 0;
    while (whole < lengths.size() && end + plt_coded_size(lengths[whole]) <= n) end += plt_coded_size(lengths[whole++]);
    if (end == n) {
      ASSERT_TRUE(r.has_value()) << n;
      EXPECT_EQ(*r, std::vector<std::uint32_t>(lengths.begin(), lengths.begin() + whole));
    } else {
      expect_malformed(r, 0, "PLT ends mid-varint");
    }
  }
  const Bytes tlm = tlm_payload(lengths);
  for (std::size_t n = 0; n < tlm.size(); ++n) {
    auto r = on_copy(std::span(tlm).first(n), 0, parse_tlm);
    if (n < 2)
      expect_malformed(r, 0, "TLM too short");
    else if ((n - 2) % 4 != 0)
      expect_malformed(r, 0, "TLM entries truncated");
    else
      EXPECT_EQ(r->size(), (n - 2) / 4);
  }
}

TEST(MarkerParsers, SurviveRandomBytesAndBitFlips) {
  std::mt19937 rng(46);
  Siz siz = one_by_one_siz();
  Cod cod;
  cod.scod = 1;
  cod.levels = 2;
  cod.precincts = {{1, 2}, {3, 4}, {5, 6}};
  const std::vector<std::uint32_t> lengths = {1, 200, 40000, 1u << 30};
  const Bytes seeds[] = {siz.to_bytes(), cod.to_bytes(), Cap{3}.to_bytes(), Sot{5, 0, 0, 1}.to_bytes(),
                         tlm_payload(lengths), plt_payload(0, lengths)};
  auto run_all = [](const Bytes& b, std::uint64_t at) {
    expect_value_or_known_error(on_copy(b, at, Siz::parse), at);
    expect_value_or_known_error(on_copy(b, at, Cod::parse), at);
    expect_value_or_known_error(on_copy(b, at, Cap::parse), at);
    expect_value_or_known_error(on_copy(b, at, Sot::parse), at);
    expect_value_or_known_error(on_copy(b, at, parse_tlm), at);
    expect_value_or_known_error(on_copy(b, at, parse_plt), at);
  };
  for (int n = 0; n < 3000; ++n) {
    Bytes noise(rng() % 80);
    for (auto& b : noise) b = std::uint8_t(rng());
    run_all(noise, n);
  }
  for (const Bytes& seed : seeds)
    for (std::size_t bit = 0; bit < 8 * seed.size(); ++bit) {
      Bytes b = seed;
      b[bit / 8] ^= std::uint8_t(1u << (bit % 8));
      run_all(b, bit);
    }
}
