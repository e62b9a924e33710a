// Codestream writer: the worked 1x1 codestream byte for byte, the checks in
// their order, header contents, PLT splitting and packet order.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codestream/markers.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

using Bytes = std::vector<std::uint8_t>;

Result<Bytes> encode(const std::vector<std::int32_t>& samples, std::size_t w, std::size_t h,
                     std::uint8_t depth, bool is_signed, const EncodeParams& p) {
  auto plane = CoeffPlane::make(samples, w, h);
  if (!plane) return std::unexpected(plane.error());
  const CoeffPlane planes[1] = {*plane};
  return encode_image_with_depth(planes, depth, is_signed, p);
}

EncodeParams params(std::uint8_t levels, std::uint8_t progression, bool index) {
  EncodeParams p;
  p.levels = levels;
  p.progression = progression;
  p.index = index;
  return p;
}

void expect_error(const Result<Bytes>& r, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, kind);
  EXPECT_EQ(r.error().message, message);
}

}  // namespace

TEST(Writer, worked_1x1_codestream_byte_for_byte) {
  Bytes want = {0xFF, 0x4F,
                // SIZ
                0xFF, 0x51, 0x00, 0x29, 0x40, 0x00};
  for (int i = 0; i < 2; ++i) want.insert(want.end(), {0, 0, 0, 1});
  for (int i = 0; i < 2; ++i) want.insert(want.end(), {0, 0, 0, 0});
  for (int i = 0; i < 2; ++i) want.insert(want.end(), {0, 0, 0, 1});
  for (int i = 0; i < 2; ++i) want.insert(want.end(), {0, 0, 0, 0});
  want.insert(want.end(), {0x00, 0x01, 0x07, 0x01, 0x01});
  // CAP, straight after SIZ
  want.insert(want.end(), {0xFF, 0x50, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02});
  // COD
  want.insert(want.end(), {0xFF, 0x52, 0x00, 0x0C, 0x00, 0x02, 0x00, 0x01, 0x00, 0x05, 0x04, 0x04, 0x40, 0x01});
  // QCD
  want.insert(want.end(), {0xFF, 0x5C, 0x00, 0x13, 0x20, 0x48});
  for (int i = 0; i < 12; ++i) want.push_back(0x50);
  for (int i = 0; i < 3; ++i) want.push_back(0x48);
  // COM
  want.insert(want.end(), {0xFF, 0x64, 0x00, 0x1C, 0x00, 0x01});
  for (char c : std::string("varnel varnel-codestream")) want.push_back(static_cast<std::uint8_t>(c));
  // TLM
  want.insert(want.end(), {0xFF, 0x55, 0x00, 0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x1F});
  // SOT, PLT, SOD, six empty packets, EOC
  want.insert(want.end(), {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x01});
  want.insert(want.end(), {0xFF, 0x58, 0x00, 0x09, 0x00, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01});
  want.insert(want.end(), {0xFF, 0x93, 0, 0, 0, 0, 0, 0, 0xFF, 0xD9});

  auto got = encode({128}, 1, 1, 8, false, params(5, 2, true));
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(*got, want);
}

TEST(Writer, checks_in_order) {
  const std::vector<std::int32_t> s(16, 0);
  EXPECT_EQ(encode_image_with_depth({}, 8, false, EncodeParams{}).error().message,
            "at least one component required");
  expect_error(encode({}, 0, 0, 8, false, {}), ErrorKind::InvalidArgument, "empty image");
  {
    auto a = CoeffPlane::make(s, 4, 4);
    auto b = CoeffPlane::make(std::span(s).first(8), 4, 2);
    const CoeffPlane planes[2] = {*a, *b};
    auto r = encode_image_with_depth(planes, 8, false, {});
    expect_error(r, ErrorKind::InvalidArgument, "all components must have identical dimensions");
  }
  EncodeParams p;
  p.irreversible = true;
  p.layers = 2;
  expect_error(encode(s, 4, 4, 8, false, p), ErrorKind::Unsupported, "writer is lossless (5/3) only");
  p.irreversible = false;
  expect_error(encode(s, 4, 4, 8, false, p), ErrorKind::Unsupported, "writer emits a single quality layer");
  p.layers = 1;
  p.precincts = {{15, 15}};
  expect_error(encode(s, 4, 4, 8, false, p), ErrorKind::Unsupported, "writer uses maximal precincts");
  p.precincts.clear();
  const std::string cb = "code-block sides must be powers of two in 4..=1024, area <= 4096";
  for (auto [w, h] : {std::pair{128, 64}, {48, 48}, {2, 64}, {2048, 2}, {64, 0}}) {
    p.block_width = static_cast<std::uint16_t>(w);
    p.block_height = static_cast<std::uint16_t>(h);
    expect_error(encode(s, 4, 4, 8, false, p), ErrorKind::InvalidArgument, cb);
  }
  p.block_width = 1024;
  p.block_height = 4;
  EXPECT_TRUE(encode(s, 4, 4, 8, false, p).has_value());
  p.block_width = p.block_height = 64;
  expect_error(encode(s, 4, 4, 0, false, p), ErrorKind::InvalidArgument, "declared bit depth must be in 1..=38");
  expect_error(encode(s, 4, 4, 39, false, p), ErrorKind::InvalidArgument, "declared bit depth must be in 1..=38");
  // Range: signed depth 8 accepts -128, refuses 128; unsigned refuses -1 and 256.
  EXPECT_TRUE(encode({-128}, 1, 1, 8, true, p).has_value());
  expect_error(encode({128}, 1, 1, 8, true, p), ErrorKind::InvalidArgument, "sample outside the declared dtype range");
  expect_error(encode({-1}, 1, 1, 8, false, p), ErrorKind::InvalidArgument, "sample outside the declared dtype range");
  expect_error(encode({256}, 1, 1, 8, false, p), ErrorKind::InvalidArgument, "sample outside the declared dtype range");
  // Quant errors pass through; then the unsigned depth bound.
  expect_error(encode(s, 4, 4, 8, false, params(34, 2, true)), ErrorKind::InvalidArgument,
               "more than 33 decomposition levels");
  expect_error(encode(s, 4, 4, 8, false, params(33, 2, true)), ErrorKind::InvalidArgument,
               "more than 32 decomposition levels (T.800 SPcod)");
  EXPECT_TRUE(encode(s, 4, 4, 8, false, params(32, 2, true)).has_value());
  expect_error(encode(s, 4, 4, 36, false, params(6, 2, true)), ErrorKind::InvalidArgument,
               "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  expect_error(encode(s, 4, 4, 33, false, params(5, 2, true)), ErrorKind::Unsupported,
               "unsigned depth beyond 32 bits (level shift exceeds the samples)");
  EXPECT_TRUE(encode(s, 4, 4, 35, true, params(5, 2, true)).has_value());
}

TEST(Writer, largest_depth_per_level_count) {
  // Up to the 38-bit bound on depth plus wavelet gain, past K_max 30 on the
  // 64-bit path; the samples decode back.
  const std::vector<std::int32_t> s(64, -1);
  const std::pair<int, int> limits[] = {{0, 37}, {1, 36}, {2, 35}, {5, 35}, {6, 34}, {12, 34}};
  for (auto [levels, depth] : limits) {
    auto ok = encode(s, 8, 8, static_cast<std::uint8_t>(depth), true,
                     params(static_cast<std::uint8_t>(levels), 2, true));
    ASSERT_TRUE(ok.has_value()) << levels;
    auto cs = Codestream::parse(*ok);
    ASSERT_TRUE(cs.has_value());
    auto image = cs->decode_to_resolution(cs->cod.levels);
    ASSERT_TRUE(image.has_value()) << image.error().display();
    EXPECT_EQ(image->components[0], s);
    auto r = encode(s, 8, 8, static_cast<std::uint8_t>(depth + 1), true,
                    params(static_cast<std::uint8_t>(levels), 2, true));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message, "bit depth + wavelet gain exceeds the 38-bit J2K bound");
  }
}

TEST(Writer, level_shift) {
  const std::vector<std::int32_t> s = {0, 128, 255};
  EXPECT_EQ(level_shifted(s, 8, false), (std::vector<std::int32_t>{-128, 0, 127}));
  EXPECT_EQ(level_shifted(s, 8, true), s);
  const std::vector<std::int32_t> big = {0};
  EXPECT_EQ(level_shifted(big, 32, false), (std::vector<std::int32_t>{INT32_MIN}));
}

TEST(Writer, headers_parse_back) {
  std::vector<std::int32_t> s(37 * 23);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int32_t>(i % 65536);
  auto bytes = encode(s, 37, 23, 16, false, params(5, 4, true));
  ASSERT_TRUE(bytes.has_value());
  auto cs = Codestream::parse(*bytes);
  ASSERT_TRUE(cs.has_value()) << cs.error().display();
  EXPECT_EQ(cs->siz.xsiz, 37u);
  EXPECT_EQ(cs->siz.ysiz, 23u);
  EXPECT_EQ(cs->siz.components.size(), 1u);
  EXPECT_EQ(cs->siz.components[0].depth, 16);
  EXPECT_EQ(cs->cod.progression, 4);
  EXPECT_EQ(cs->cod.levels, 5);
  EXPECT_TRUE(cs->cap_present);
  EXPECT_EQ(cs->ccap15, 10);  // K_max 18
  EXPECT_EQ(cs->qcd.magb(), 18u);
  EXPECT_EQ(cs->comment, "varnel varnel-codestream");
  ASSERT_EQ(cs->tile_parts.size(), 1u);
  EXPECT_EQ(cs->tlm, (std::vector<std::uint32_t>{cs->tile_parts[0].sot.psot}));
  EXPECT_EQ(cs->end, bytes->size());
  auto index = cs->packet_index();
  ASSERT_TRUE(index.has_value()) << index.error().display();
  EXPECT_EQ(index->size(), 6u);

  // Index off: no TLM, no PLT, Psot = 14 + packet data.
  auto plain = encode(s, 37, 23, 16, false, params(5, 4, false));
  auto pcs = Codestream::parse(*plain);
  ASSERT_TRUE(pcs.has_value());
  EXPECT_TRUE(pcs->tlm.empty());
  EXPECT_TRUE(pcs->tile_parts[0].plt.empty());
  const TilePart& tp = pcs->tile_parts[0];
  EXPECT_EQ(tp.sot.psot, 14 + (tp.body_end - tp.body_start));
  EXPECT_EQ(pcs->packet_index().error().message, "codestream has no PLT index");
}

TEST(Writer, zero_plane_and_mid_grey_plane) {
  // All 128: level shifts to zeros, no block included (every packet is 0x00).
  auto grey = encode(std::vector<std::int32_t>(64 * 64, 128), 64, 64, 8, false, params(5, 2, true));
  auto cs = Codestream::parse(*grey);
  ASSERT_TRUE(cs.has_value());
  for (std::uint32_t l : cs->tile_parts[0].plt) EXPECT_EQ(l, 1u);
  // All 0: -128 after the shift; the LL band has an included block.
  auto zero = encode(std::vector<std::int32_t>(64 * 64, 0), 64, 64, 8, false, params(5, 2, true));
  auto zs = Codestream::parse(*zero);
  ASSERT_TRUE(zs.has_value());
  EXPECT_GT(zs->tile_parts[0].plt[0], 1u);
}

TEST(Writer, packet_order_with_two_components) {
  std::vector<std::int32_t> a(16 * 16, 3), b(16 * 16, 200);
  auto pa = CoeffPlane::make(a, 16, 16);
  auto pb = CoeffPlane::make(b, 16, 16);
  const CoeffPlane planes[2] = {*pa, *pb};
  for (std::uint8_t prog : {0, 1, 2, 3, 4}) {
    auto bytes = encode_image_with_depth(planes, 8, false, params(2, prog, true));
    ASSERT_TRUE(bytes.has_value());
    auto cs = Codestream::parse(*bytes);
    auto idx = cs->packet_index();
    ASSERT_TRUE(idx.has_value()) << idx.error().display();
    ASSERT_EQ(idx->size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
      const bool comp_major = prog >= 3;
      EXPECT_EQ((*idx)[i].component, comp_major ? i / 3 : i % 2) << int(prog) << " " << i;
      EXPECT_EQ((*idx)[i].resolution, comp_major ? i % 3 : i / 2) << int(prog) << " " << i;
    }
  }
}

TEST(Writer, plt_splits_at_65000_byte_payloads) {
  // 11000 one-sample components with 5 levels: 66000 packets, each length
  // coded in one byte, so the first PLT segment takes 64999 of them.
  const std::size_t comps = 11000;
  std::vector<std::int32_t> samples(comps);
  for (std::size_t i = 0; i < comps; ++i) samples[i] = static_cast<std::int32_t>(i % 251);
  std::vector<CoeffPlane> planes;
  for (std::size_t i = 0; i < comps; ++i) planes.push_back(*CoeffPlane::make(std::span(samples).subspan(i, 1), 1, 1));
  auto bytes = encode_image_with_depth(planes, 8, false, params(5, 0, true));
  ASSERT_TRUE(bytes.has_value()) << bytes.error().display();
  auto cs = Codestream::parse(*bytes);
  ASSERT_TRUE(cs.has_value()) << cs.error().display();
  EXPECT_EQ(cs->tile_parts[0].plt.size(), 66000u);
  // Find the two PLT segments and their Zplt.
  std::vector<std::pair<std::size_t, std::uint8_t>> segments;  // (L, Zplt)
  const Bytes& b = *bytes;
  for (std::size_t p = cs->tile_parts[0].sot_offset + 12; p < cs->tile_parts[0].body_start - 2;) {
    const std::size_t len = (b[p + 2] << 8) | b[p + 3];
    if (b[p] == 0xFF && b[p + 1] == 0x58) segments.push_back({len - 2, b[p + 4]});
    p += 2 + len;
  }
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0], (std::pair<std::size_t, std::uint8_t>{65000, 0}));
  EXPECT_EQ(segments[1], (std::pair<std::size_t, std::uint8_t>{1 + 66000 - 64999, 1}));
  auto idx = cs->packet_index();
  ASSERT_TRUE(idx.has_value()) << idx.error().display();
  EXPECT_EQ(idx->size(), 66000u);
}

TEST(Writer, more_levels_than_the_size_allows) {
  auto bytes = encode({7, 9, 11}, 3, 1, 8, false, params(8, 2, true));
  ASSERT_TRUE(bytes.has_value());
  auto cs = Codestream::parse(*bytes);
  auto idx = cs->packet_index();
  ASSERT_TRUE(idx.has_value());
  ASSERT_EQ(idx->size(), 9u);
  // Resolutions 1 to 6 are 1 x 1 like resolution 0: their bands are empty
  // and their packets single 0x00 bytes.
  for (std::size_t r = 1; r <= 6; ++r) EXPECT_EQ((*idx)[r].length, 1u) << r;
  EXPECT_GT((*idx)[0].length, 1u);
}

TEST(Writer, code_band_codes_only_non_zero_blocks) {
  // A 100 x 70 band of a plane with stride 128: 2 x 2 blocks of 64 x 64;
  // only the top-left block holds a non-zero coefficient.
  std::vector<std::int32_t> coeffs(128 * 80, 0);
  coeffs[5 * 128 + 7] = -3;
  Band band;
  band.width = 100;
  band.height = 70;
  band.resolution = 0;
  auto quant = Quant::reversible(0, 8, 0);
  std::vector<std::uint8_t> storage;
  auto bb = code_band(coeffs, 128, band, 64, 64, *quant, storage);
  ASSERT_TRUE(bb.has_value()) << bb.error().display();
  EXPECT_EQ(bb->across, 2u);
  EXPECT_EQ(bb->down, 2u);
  ASSERT_EQ(bb->blocks.size(), 4u);
  ASSERT_TRUE(bb->blocks[0].data.has_value());
  EXPECT_EQ(bb->blocks[0].lcup, storage.size());
  EXPECT_EQ(bb->blocks[0].missing_msbs, 7);  // M_b = 8 with N_L = 0
  EXPECT_EQ(bb->blocks[0].passes, 1);
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(bb->blocks[i].data.has_value());
  // A band reaching past the plane is refused.
  band.height = 90;
  EXPECT_FALSE(code_band(coeffs, 128, band, 64, 64, *quant, storage).has_value());
}
