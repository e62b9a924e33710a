// zfp chunk codec: round trips in every mode and element type, stream layout
// known answers, and every stream check of the decoder with its message.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "zfp/chunk.hpp"
#include "zfp/narrow.hpp"

using namespace varnel;
using namespace varnel::zfpc;

namespace {

using Shape = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

ZfpChunkConfig reversible() { return {}; }
ZfpChunkConfig fixed_rate(double r) {
  ZfpChunkConfig c;
  c.mode = "fixed_rate";
  c.rate = r;
  return c;
}
ZfpChunkConfig fixed_accuracy(double t) {
  ZfpChunkConfig c;
  c.mode = "fixed_accuracy";
  c.tolerance = t;
  return c;
}
ZfpChunkConfig fixed_precision(std::uint32_t p) {
  ZfpChunkConfig c;
  c.mode = "fixed_precision";
  c.precision = p;
  return c;
}

std::uint64_t count_of(const Shape& s) {
  std::uint64_t n = 1;
  for (auto e : s) n *= e;
  return n;
}

// A smooth field plus noise, written as `dtype` elements.
Bytes sample_chunk(const Shape& shape, ElementType dtype, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::uint64_t n = count_of(shape);
  Bytes out(n * element_size(dtype));
  std::uniform_real_distribution<double> noise(-1, 1);
  for (std::uint64_t i = 0; i < n; ++i) {
    const double smooth = std::sin(0.05 * static_cast<double>(i)) + 0.25 * noise(rng);
    std::uint8_t* p = out.data() + i * element_size(dtype);
    switch (dtype) {
      case ElementType::U8: *p = static_cast<std::uint8_t>(rng()); break;
      case ElementType::I8: *p = static_cast<std::uint8_t>(rng()); break;
      case ElementType::U16: case ElementType::I16: { auto v = static_cast<std::uint16_t>(rng()); std::memcpy(p, &v, 2); break; }
      case ElementType::I32: { auto v = static_cast<std::int32_t>(rng()); std::memcpy(p, &v, 4); break; }
      case ElementType::I64: { auto v = static_cast<std::int64_t>(rng()); std::memcpy(p, &v, 8); break; }
      case ElementType::F32: { auto v = static_cast<float>(smooth * 1000); std::memcpy(p, &v, 4); break; }
      case ElementType::F64: { double v = smooth * 1e6; std::memcpy(p, &v, 8); break; }
      case ElementType::U32: break;  // not a zfp type
    }
  }
  return out;
}

constexpr ElementType kAllTypes[] = {ElementType::U8,  ElementType::I8,  ElementType::U16, ElementType::I16,
                                  ElementType::I32, ElementType::I64, ElementType::F32, ElementType::F64};

void expect_stream_error(const Result<Bytes>& r, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << message;
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().offset, 0u);
  EXPECT_EQ(r.error().message, message);
}

void expect_invalid(const Result<Bytes>& r, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << message;
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().message, message);
}

}  // namespace

TEST(ZfpChunk, ReversibleIsLosslessForEveryTypeAndShape) {
  const Shape shapes[] = {{1}, {7}, {64}, {3, 5}, {4, 4}, {1, 9}, {17, 6}, {2, 3, 5}, {1, 8, 8},
                          {5, 4, 9}, {2, 3, 4, 5}, {4, 1, 7, 6}, {1, 1, 1, 1}};
  std::uint64_t seed = 1;
  for (ElementType t : kAllTypes) {
    for (const auto& s : shapes) {
      const Bytes in = sample_chunk(s, t, seed++);
      auto enc = encode_chunk(in, s, t, reversible());
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      EXPECT_EQ(enc->size() % 8, 0u);
      auto dec = decode_chunk(*enc, s, t, reversible());
      ASSERT_TRUE(dec.has_value()) << dec.error().message;
      EXPECT_EQ(*dec, in) << element_name(t) << " shape of " << s.size() << " dims";
    }
  }
}

TEST(ZfpChunk, ReversibleKeepsExtremeValues) {
  // Full-range integers and special floats survive the lossless mode.
  std::vector<std::int32_t> i32 = {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                                   0, -1, 1, std::numeric_limits<std::int32_t>::min(), 12345, -7};
  std::vector<std::int64_t> i64 = {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                                   0, -1, 1, std::numeric_limits<std::int64_t>::min() + 1, 12345, -7};
  std::vector<double> f64 = {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::denorm_min(), -0.0, 0.0, 1e-300, 3.5, -2.25};
  const Shape s{2, 4};
  auto check = [&](const void* data, std::size_t bytes, ElementType t) {
    Bytes in(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + bytes);
    auto enc = encode_chunk(in, s, t, reversible());
    ASSERT_TRUE(enc.has_value());
    auto dec = decode_chunk(*enc, s, t, reversible());
    ASSERT_TRUE(dec.has_value());
    EXPECT_EQ(*dec, in) << element_name(t);
  };
  check(i32.data(), 32, ElementType::I32);
  check(i64.data(), 64, ElementType::I64);
  check(f64.data(), 64, ElementType::F64);
}

TEST(ZfpChunk, SqueezeAndPadRoundTrips) {
  const struct { Shape chunk; std::uint8_t dims; } cases[] = {
      {{1, 1, 4, 4}, 2}, {{1, 8, 1, 8}, 3}, {{1, 1, 100}, 1}, {{1, 1}, 3}, {{3, 1, 1, 5, 1, 2}, 4}, {{9}, 4}};
  for (const auto& c : cases) {
    for (ElementType t : {ElementType::U16, ElementType::F32, ElementType::I64}) {
      ZfpChunkConfig cfg;
      cfg.dims = c.dims;
      const Bytes in = sample_chunk(c.chunk, t, 7);
      auto enc = encode_chunk(in, c.chunk, t, cfg);
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      auto dec = decode_chunk(*enc, c.chunk, t, cfg);
      ASSERT_TRUE(dec.has_value()) << dec.error().message;
      EXPECT_EQ(*dec, in);
    }
  }
  // [1, 1, 4, 4] with dims 2 is a [4, 4] field; without dims it is 4-D.
  const Shape s{1, 1, 4, 4};
  ZfpChunkConfig two;
  two.dims = 2;
  const Bytes in = sample_chunk(s, ElementType::F32, 3);
  auto enc = encode_chunk(in, s, ElementType::F32, two);
  ASSERT_TRUE(enc.has_value());
  auto plain = encode_chunk(in, Shape{4, 4}, ElementType::F32, reversible());
  EXPECT_EQ(*enc, *plain);
  expect_stream_error(decode_chunk(*enc, s, ElementType::F32, reversible()),
                      "varnel_zfp: stream declares dimensions [4, 4, 0, 0], expected [4, 4, 1, 1] "
                      "(shape [1, 1, 4, 4])");
}

TEST(ZfpChunk, LossyModesStayWithinTheirBounds) {
  const Shape shapes[] = {{100}, {13, 21}, {9, 10, 11}, {3, 4, 5, 6}};
  for (const auto& s : shapes) {
    const Bytes in = sample_chunk(s, ElementType::F64, 11);
    const std::uint64_t n = count_of(s);
    std::vector<double> x(n);
    std::memcpy(x.data(), in.data(), in.size());
    for (double tol : {1.0, 1e-3, 1e-9}) {
      auto enc = encode_chunk(in, s, ElementType::F64, fixed_accuracy(tol));
      ASSERT_TRUE(enc.has_value());
      auto dec = decode_chunk(*enc, s, ElementType::F64, fixed_accuracy(tol));
      ASSERT_TRUE(dec.has_value());
      std::vector<double> y(n);
      std::memcpy(y.data(), dec->data(), dec->size());
      double worst = 0;
      for (std::uint64_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(x[i] - y[i]));
      EXPECT_LE(worst, tol);
    }
    // More bit planes, smaller errors; all 64 leave only rounding.
    double previous = std::numeric_limits<double>::infinity();
    for (std::uint32_t p : {8u, 16u, 32u, 64u}) {
      auto enc = encode_chunk(in, s, ElementType::F64, fixed_precision(p));
      ASSERT_TRUE(enc.has_value());
      auto dec = decode_chunk(*enc, s, ElementType::F64, fixed_precision(p));
      ASSERT_TRUE(dec.has_value());
      std::vector<double> y(n);
      std::memcpy(y.data(), dec->data(), dec->size());
      double worst = 0;
      for (std::uint64_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(x[i] - y[i]));
      EXPECT_LE(worst, previous);
      previous = worst;
    }
    EXPECT_LE(previous, 1e-6);
    for (double rate : {4.0, 16.0, 40.0}) {
      auto enc = encode_chunk(in, s, ElementType::F64, fixed_rate(rate));
      ASSERT_TRUE(enc.has_value());
      auto dec = decode_chunk(*enc, s, ElementType::F64, fixed_rate(rate));
      ASSERT_TRUE(dec.has_value()) << dec.error().message;
      EXPECT_EQ(dec->size(), in.size());
    }
  }
}

TEST(ZfpChunk, LossyModesForEveryType) {
  const Shape s{6, 10};
  for (ElementType t : kAllTypes) {
    const Bytes in = sample_chunk(s, t, 5);
    for (const auto& c : {fixed_rate(12), fixed_accuracy(0.5), fixed_precision(24), reversible()}) {
      auto enc = encode_chunk(in, s, t, c);
      ASSERT_TRUE(enc.has_value()) << enc.error().message;
      auto dec = decode_chunk(*enc, s, t, c);
      ASSERT_TRUE(dec.has_value()) << dec.error().message;
      EXPECT_EQ(dec->size(), in.size());
    }
  }
  // Narrow types saturate rather than wrap when a coarse mode overshoots.
  Bytes extremes(64, 0);
  for (int i = 0; i < 64; ++i) extremes[i] = i % 2 ? 255 : 0;
  auto enc = encode_chunk(extremes, Shape{8, 8}, ElementType::U8, fixed_precision(3));
  ASSERT_TRUE(enc.has_value());
  auto dec = decode_chunk(*enc, Shape{8, 8}, ElementType::U8, fixed_precision(3));
  ASSERT_TRUE(dec.has_value());
  EXPECT_EQ(dec->size(), 64u);
}

TEST(ZfpChunk, StreamStartsWithTheFullHeader) {
  const Shape s{3, 5};
  const Bytes in = sample_chunk(s, ElementType::F64, 2);
  ASSERT_EQ(in.size(), 120u);
  auto enc = encode_chunk(in, s, ElementType::F64, reversible());
  ASSERT_TRUE(enc.has_value());
  EXPECT_EQ(enc->size() % 8, 0u);
  ASSERT_GE(enc->size(), 16u);
  EXPECT_EQ((*enc)[0], 'z');
  EXPECT_EQ((*enc)[1], 'f');
  EXPECT_EQ((*enc)[2], 'p');
  EXPECT_EQ((*enc)[3], 5);
}

TEST(ZfpChunk, FixedRateStreamHasItsExactSize) {
  // 16 blocks of 128 bits after a 96-bit header: 2144 bits, 272 bytes.
  const Shape s{16, 16};
  const Bytes in = sample_chunk(s, ElementType::F32, 4);
  auto enc = encode_chunk(in, s, ElementType::F32, fixed_rate(8));
  ASSERT_TRUE(enc.has_value());
  EXPECT_EQ(enc->size(), 272u);
  Bytes shorter(enc->begin(), enc->end() - 8);
  expect_stream_error(decode_chunk(shorter, s, ElementType::F32, fixed_rate(8)),
                      "varnel_zfp: fixed-rate stream is 264 bytes, computed size is 272");
  Bytes longer = *enc;
  longer.resize(280, 0);
  expect_stream_error(decode_chunk(longer, s, ElementType::F32, fixed_rate(8)),
                      "varnel_zfp: fixed-rate stream is 280 bytes, computed size is 272");
  // Rates with the same bits per block are interchangeable.
  EXPECT_TRUE(decode_chunk(*enc, s, ElementType::F32, fixed_rate(8.01)).has_value());
}

TEST(ZfpChunk, FixedRateBudgetsTheHeaderCannotRecordAreRefused) {
  // 1 bit per value on a 1-D int32 field rounds to... 4 bits, fine; 0.1 rounds
  // to 0 bits per block, 10000 gives 40000: neither fits the header's mode.
  const Shape s{8};
  const Bytes in = sample_chunk(s, ElementType::I32, 1);
  EXPECT_TRUE(encode_chunk(in, s, ElementType::I32, fixed_rate(1)).has_value());
  expect_invalid(encode_chunk(in, s, ElementType::I32, fixed_rate(0.1)),
                 "varnel_zfp: fixed rate 0.1 gives 0 bits per 4-value block, which a ZFP header cannot "
                 "record (1..=32768 bits per block)");
  expect_invalid(encode_chunk(in, s, ElementType::I32, fixed_rate(10000)),
                 "varnel_zfp: fixed rate 10000 gives 40000 bits per 4-value block, which a ZFP header "
                 "cannot record (1..=32768 bits per block)");
  expect_invalid(decode_chunk(Bytes(16), s, ElementType::I32, fixed_rate(10000)),
                 "varnel_zfp: fixed rate 10000 gives 40000 bits per 4-value block, which a ZFP header "
                 "cannot record (1..=32768 bits per block)");
  // The largest recordable budget still decodes: 2 blocks of 32768 bits after
  // the 148-bit header of the long mode form.
  auto enc = encode_chunk(in, s, ElementType::I32, fixed_rate(8192));
  ASSERT_TRUE(enc.has_value()) << enc.error().message;
  EXPECT_EQ(enc->size(), (148 + 2 * 32768 + 63) / 64 * 8);
  auto dec = decode_chunk(*enc, s, ElementType::I32, fixed_rate(8192));
  ASSERT_TRUE(dec.has_value()) << dec.error().message;
  EXPECT_EQ(dec->size(), in.size());
}

TEST(ZfpChunk, ChunkSizeChecks) {
  expect_invalid(encode_chunk(Bytes(30), Shape{4, 4}, ElementType::U16, reversible()),
                 "zfp: chunk shape [4, 4] (U16) needs 32 bytes, got 30");
  ZfpChunkConfig d3;
  d3.dims = 3;
  expect_invalid(encode_chunk(Bytes(7), Shape{1, 2, 1, 4}, ElementType::F64, d3),
                 "zfp: chunk shape [1, 2, 1, 4] (F64) needs 64 bytes, got 7");
  const Shape huge{1ull << 32, 1ull << 32};
  expect_invalid(encode_chunk(Bytes(8), huge, ElementType::U8, reversible()),
                 "zfp: chunk shape [4294967296, 4294967296] overflows usize");
  expect_invalid(decode_chunk(Bytes(8), huge, ElementType::U8, reversible()),
                 "zfp: chunk shape [4294967296, 4294967296] overflows usize");
  expect_invalid(encode_chunk(Bytes(8), Shape{1ull << 62}, ElementType::F64, reversible()),
                 "zfp: chunk shape [4611686018427387904] overflows usize");
  // Configuration errors come before the shape is looked at.
  ZfpChunkConfig bad;
  bad.mode = "lossless";
  auto r = encode_chunk(Bytes(1), Shape{}, ElementType::U8, bad);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::Unsupported);
  expect_invalid(decode_chunk(Bytes(1), Shape{}, ElementType::U8, reversible()), "zfp: chunk shape has no dimensions");
}

TEST(ZfpChunk, HeaderMetadataBounds) {
  // Four dimensions leave 12 bits per extent: 4097 does not fit.
  const Shape s{1, 1, 1, 4097};
  expect_invalid(encode_chunk(Bytes(4097 * 4), s, ElementType::F32, reversible()),
                 "varnel_zfp: shape [1, 1, 1, 4097] exceeds the ZFP header metadata bounds");
  EXPECT_TRUE(encode_chunk(Bytes(4096), Shape{1, 1, 1, 4096}, ElementType::U8, reversible()).has_value());
}

TEST(ZfpChunk, DecoderChecksTheHeaderInOrder) {
  const Shape s{8, 4};
  // A ramp: its reversible stream is short enough for every configuration's
  // size bound, so the header checks are reached.
  std::vector<float> ramp(32);
  for (int i = 0; i < 32; ++i) ramp[i] = static_cast<float>(i);
  Bytes in(128);
  std::memcpy(in.data(), ramp.data(), 128);
  auto enc = encode_chunk(in, s, ElementType::F32, reversible());
  ASSERT_TRUE(enc.has_value());

  expect_stream_error(decode_chunk(Bytes(8), s, ElementType::F32, reversible()), "varnel_zfp: invalid ZFP header magic");
  expect_stream_error(decode_chunk(Bytes(), s, ElementType::F32, reversible()), "varnel_zfp: invalid ZFP header magic");
  Bytes bad_magic = *enc;
  bad_magic[3] = 4;  // codec version
  expect_stream_error(decode_chunk(bad_magic, s, ElementType::F32, reversible()), "varnel_zfp: invalid ZFP header magic");

  expect_stream_error(decode_chunk(*enc, s, ElementType::I32, reversible()),
                      "varnel_zfp: stream holds float samples, expected int32");
  expect_stream_error(decode_chunk(*enc, s, ElementType::F64, reversible()),
                      "varnel_zfp: stream holds float samples, expected double");
  expect_stream_error(decode_chunk(*enc, Shape{4, 8}, ElementType::F32, reversible()),
                      "varnel_zfp: stream declares dimensions [4, 8, 0, 0], expected [8, 4, 0, 0] (shape [4, 8])");
  expect_stream_error(decode_chunk(*enc, Shape{32}, ElementType::F32, reversible()),
                      "varnel_zfp: stream declares dimensions [4, 8, 0, 0], expected [32, 0, 0, 0] (shape [32])");
  for (const auto& other : {fixed_accuracy(0.5), fixed_precision(20)}) {
    expect_stream_error(decode_chunk(*enc, s, ElementType::F32, other),
                        "varnel_zfp: stream compression parameters do not match the configuration");
  }
  // A fixed-rate configuration bounds the stream tighter than the reversible
  // stream's length: the size message comes first.
  const Bytes noisy = sample_chunk(s, ElementType::F32, 9);
  auto noisy_enc = encode_chunk(noisy, s, ElementType::F32, reversible());
  ASSERT_TRUE(noisy_enc.has_value());
  auto r = decode_chunk(*noisy_enc, s, ElementType::F32, fixed_rate(9));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().message, "varnel_zfp: stream is " + std::to_string(noisy_enc->size()) +
                                   " bytes but this configuration compresses to at most 56");
  EXPECT_EQ(r.error().display().rfind("malformed codestream at byte 0: varnel_zfp: ", 0), 0u);

  // Tolerances and precisions that change minexp or maxprec are told apart.
  auto acc = encode_chunk(in, s, ElementType::F32, fixed_accuracy(0.5));
  ASSERT_TRUE(acc.has_value());
  expect_stream_error(decode_chunk(*acc, s, ElementType::F32, fixed_accuracy(0.25)),
                      "varnel_zfp: stream compression parameters do not match the configuration");
  EXPECT_TRUE(decode_chunk(*acc, s, ElementType::F32, fixed_accuracy(0.75)).has_value());  // same minexp
  auto prec = encode_chunk(in, s, ElementType::F32, fixed_precision(20));
  expect_stream_error(decode_chunk(*prec, s, ElementType::F32, fixed_precision(21)),
                      "varnel_zfp: stream compression parameters do not match the configuration");
  auto rate = encode_chunk(in, s, ElementType::F32, fixed_rate(16));
  expect_stream_error(decode_chunk(*rate, s, ElementType::F32, fixed_rate(17)),
                      "varnel_zfp: stream compression parameters do not match the configuration");
}

TEST(ZfpChunk, StreamLongerThanTheBoundFailsBeforeTheHeader) {
  const Shape s{4};
  Bytes junk(4096, 0xAB);  // not even a header
  auto r = decode_chunk(junk, s, ElementType::F64, reversible());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);
  EXPECT_EQ(r.error().message.rfind("varnel_zfp: stream is 4096 bytes but this configuration compresses to at most ", 0),
            0u);
}

TEST(ZfpChunk, TrailingBytesAreIgnoredOutsideFixedRate) {
  const Shape s{5, 7};
  const Bytes in = sample_chunk(s, ElementType::I16, 8);
  auto enc = encode_chunk(in, s, ElementType::I16, reversible());
  ASSERT_TRUE(enc.has_value());
  Bytes longer = *enc;
  longer.resize(longer.size() + 8, 0xFF);
  auto dec = decode_chunk(longer, s, ElementType::I16, reversible());
  ASSERT_TRUE(dec.has_value());
  EXPECT_EQ(*dec, in);
}

TEST(ZfpChunk, SameInputGivesSameBytes) {
  const Shape s{33, 17};
  const Bytes in = sample_chunk(s, ElementType::F64, 21);
  for (const auto& c : {fixed_rate(10), fixed_accuracy(1e-2), fixed_precision(30), reversible()}) {
    EXPECT_EQ(*encode_chunk(in, s, ElementType::F64, c), *encode_chunk(in, s, ElementType::F64, c));
  }
}

TEST(ZfpChunk, UnalignedInputIsCopiedNotMisread) {
  const Shape s{6, 6};
  const Bytes in = sample_chunk(s, ElementType::F64, 30);
  Bytes shifted(in.size() + 1);
  std::memcpy(shifted.data() + 1, in.data(), in.size());
  auto a = encode_chunk(in, s, ElementType::F64, reversible());
  auto b = encode_chunk(std::span(shifted).subspan(1), s, ElementType::F64, reversible());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  Bytes enc_shifted(a->size() + 3);
  std::memcpy(enc_shifted.data() + 3, a->data(), a->size());
  auto dec = decode_chunk(std::span(enc_shifted).subspan(3), s, ElementType::F64, reversible());
  ASSERT_TRUE(dec.has_value());
  EXPECT_EQ(*dec, in);
}

TEST(ZfpChunk, DecodingIntoACallersBufferMatches) {
  const Shape s{5, 9};
  for (ElementType t : kAllTypes) {
    const Bytes in = sample_chunk(s, t, 40);
    for (const auto& c : {reversible(), fixed_rate(10), fixed_accuracy(0.25), fixed_precision(16)}) {
      auto enc = encode_chunk(in, s, t, c);
      ASSERT_TRUE(enc.has_value());
      auto whole = decode_chunk(*enc, s, t, c);
      ASSERT_TRUE(whole.has_value());
      auto size = decoded_size(s, t, c);
      ASSERT_TRUE(size.has_value());
      EXPECT_EQ(*size, whole->size());
      for (std::size_t shift : {0u, 1u, 3u}) {  // aligned and misaligned outputs
        Bytes buf(*size + shift, 0xEE);
        auto r = decode_chunk_into(*enc, s, t, c, std::span(buf).subspan(shift));
        ASSERT_TRUE(r.has_value()) << r.error().message;
        EXPECT_TRUE(std::equal(whole->begin(), whole->end(), buf.begin() + static_cast<std::ptrdiff_t>(shift)));
      }
    }
  }
  auto enc = encode_chunk(Bytes(32), Shape{4, 4}, ElementType::U16, reversible());
  Bytes small(30);
  auto r = decode_chunk_into(*enc, Shape{4, 4}, ElementType::U16, reversible(), small);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "zfp: chunk shape [4, 4] (U16) needs 32 bytes, got 30");
  // Stream errors come first, as in decode_chunk.
  r = decode_chunk_into(Bytes(8), Shape{4, 4}, ElementType::U16, reversible(), small);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "varnel_zfp: invalid ZFP header magic");
  EXPECT_EQ(decoded_size(Shape{}, ElementType::U8, reversible()).error().message, "zfp: chunk shape has no dimensions");
}

// The decoder faults its output in ahead of the blocks, a window at a time;
// no window may reach a page past the output's end. Fresh mappings (nothing
// resident) with the output at either alignment, one field per kind of
// window: 1-D runs, 2-D row slabs merged, 3-D plane slabs, and a 3-D field
// whose slab is too large to fault ahead.
TEST(ZfpChunk, DecodingFaultsInNoPageBeyondTheOutput) {
  struct Case {
    Shape shape;
    ElementType dtype;
  };
  const Case cases[] = {{{300001}, ElementType::F64},
                        {{701, 903}, ElementType::F32},
                        {{21, 300, 301}, ElementType::U16},
                        {{5, 1100, 503}, ElementType::F32}};
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (const Case& k : cases) {
    const Bytes in = sample_chunk(k.shape, k.dtype, 41);
    auto enc = encode_chunk(in, k.shape, k.dtype, fixed_rate(12));
    ASSERT_TRUE(enc.has_value());
    auto whole = decode_chunk(*enc, k.shape, k.dtype, fixed_rate(12));
    ASSERT_TRUE(whole.has_value());
    for (std::size_t shift : {std::size_t{0}, std::size_t{40}}) {
      const std::size_t mapped = (shift + whole->size() + page - 1) / page * page + 4 * page;
      void* map = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(map, MAP_FAILED);
      auto* base = static_cast<std::uint8_t*>(map);
      std::span<std::uint8_t> out(base + shift, whole->size());
      auto r = decode_chunk_into(*enc, k.shape, k.dtype, fixed_rate(12), out);
      ASSERT_TRUE(r.has_value()) << r.error().message;
      EXPECT_TRUE(std::equal(whole->begin(), whole->end(), out.begin()));
      const std::size_t after = (shift + whole->size() + page - 1) / page * page;
      std::vector<unsigned char> resident((mapped - after) / page);
      ASSERT_EQ(mincore(base + after, mapped - after, resident.data()), 0);
      for (unsigned char v : resident) EXPECT_EQ(v & 1, 0) << k.shape.size() << "-D, shift " << shift;
      munmap(map, mapped);
    }
  }
}

TEST(ZfpChunk, StreamSizeBoundsThatOverflowAreRefused) {
  // 2^58 blocks of up to 16658 bits: no 64-bit byte count holds the bound, so
  // decoding refuses the configuration before looking at the stream.
  const Shape s{1ull << 60};
  auto r = decode_chunk(Bytes(16), s, ElementType::U8, reversible());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
  EXPECT_EQ(r.error().message, "varnel_zfp: shape [1152921504606846976] exceeds the ZFP stream size bounds");
}

// The planned encoder sizes the output before coding: exactly in fixed-rate
// mode, by zfp's bound otherwise; at any alignment it writes the stream of
// encode_chunk, and a buffer short of its capacity is refused.
TEST(ZfpChunk, PlannedEncodeWritesTheSameStreamAtAnyAlignment) {
  const Shape shape{7, 9, 6};
  for (const ElementType dtype : {ElementType::F32, ElementType::I64, ElementType::U8, ElementType::I16}) {
    for (const char* mode : {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"}) {
      ZfpChunkConfig cfg;
      cfg.mode = mode;
      if (cfg.mode == "fixed_rate") cfg.rate = 5;
      if (cfg.mode == "fixed_accuracy") cfg.tolerance = 0.5;
      if (cfg.mode == "fixed_precision") cfg.precision = 12;
      const Bytes chunk = sample_chunk(shape, dtype, 5);
      auto expected = encode_chunk(chunk, shape, dtype, cfg);
      ASSERT_TRUE(expected.has_value()) << expected.error().message;
      auto plan = ChunkEncoder::plan(chunk, shape, dtype, cfg);
      ASSERT_TRUE(plan.has_value());
      EXPECT_EQ(plan->exact_size().has_value(), cfg.mode == "fixed_rate");
      if (plan->exact_size()) {
        EXPECT_EQ(*plan->exact_size(), expected->size());
      }
      EXPECT_GE(plan->capacity(), expected->size());
      for (std::size_t offset : {0u, 1u, 3u}) {
        Bytes out(plan->capacity() + offset);
        auto n = plan->encode_into(std::span(out).subspan(offset));
        ASSERT_TRUE(n.has_value());
        EXPECT_EQ(Bytes(out.begin() + offset, out.begin() + offset + *n), *expected) << mode << offset;
      }
      Bytes small(plan->capacity() - 8);
      EXPECT_FALSE(plan->encode_into(small).has_value());
    }
  }
}

// Refusing non-finite values: one NaN or infinity anywhere (in a whole
// block or an edge block, of 1-4-D fields) stops a lossy encode with the
// count and the first position in C order; reversible mode and the Code
// policy write the same stream as ever.
TEST(ZfpChunk, NonFiniteValuesAreRefusedInLossyModesOnRequest) {
  struct Case {
    Shape shape;
    std::vector<std::uint64_t> at;  // flat indices of the non-finite values, ascending
    double value;
    std::string first;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {{37}, {36}, nan, "(36,)"},                          // the edge block of a 1-D field
      {{8, 8}, {5}, inf, "(0, 5)"},                        // a whole 2-D block
      {{9, 7}, {62}, -inf, "(8, 6)"},                      // the corner edge block
      {{6, 5, 9}, {100, 101, 269}, nan, "(2, 1, 1)"},      // several
      {{3, 4, 4, 5}, {0}, inf, "(0, 0, 0, 0)"},            // a 4-D field
      {{1, 2, 1, 4, 4}, {31}, nan, "(0, 1, 0, 3, 3)"},     // squeezed to 3-D with dims
  };
  for (const ElementType dtype : {ElementType::F32, ElementType::F64}) {
    for (const Case& c : cases) {
      Bytes chunk = sample_chunk(c.shape, dtype, 3);
      for (const std::uint64_t i : c.at) {
        if (dtype == ElementType::F32) {
          const float v = static_cast<float>(c.value);
          std::memcpy(chunk.data() + 4 * i, &v, 4);
        } else {
          std::memcpy(chunk.data() + 8 * i, &c.value, 8);
        }
      }
      for (const char* mode : {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"}) {
        ZfpChunkConfig cfg;
        cfg.mode = mode;
        if (cfg.mode == "fixed_rate") cfg.rate = 10;
        if (cfg.mode == "fixed_accuracy") cfg.tolerance = 1e-3;
        if (cfg.mode == "fixed_precision") cfg.precision = 20;
        if (c.shape.size() > 4) cfg.dims = 3;
        auto coded = encode_chunk(chunk, c.shape, dtype, cfg);  // the Code policy
        ASSERT_TRUE(coded.has_value()) << coded.error().message;
        auto plan = ChunkEncoder::plan(chunk, c.shape, dtype, cfg, NonFinite::Stop);
        ASSERT_TRUE(plan.has_value());
        Bytes out(plan->capacity());
        auto n = plan->encode_into(out);
        if (cfg.mode == "reversible") {
          ASSERT_TRUE(n.has_value());
          EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n)), *coded);
          continue;
        }
        ASSERT_FALSE(n.has_value()) << mode << " " << c.first;
        EXPECT_EQ(n.error().kind, ErrorKind::InvalidArgument);
        const std::string what = std::isnan(c.value) ? "NaN" : c.value > 0 ? "inf" : "-inf";
        EXPECT_EQ(n.error().message,
                  "zfp: " + std::string(mode) + " mode cannot code NaN or infinite values, which it would return as "
                  "finite numbers: the chunk holds " + std::to_string(c.at.size()) + ", the first (" + what +
                  ") at " + c.first + "; mode=\"reversible\" keeps them exactly");
      }
    }
  }
  // Finite chunks: the checked encode writes the unchecked stream.
  for (const ElementType dtype : {ElementType::F32, ElementType::F64, ElementType::I32}) {
    const Shape shape{9, 13, 6};
    const Bytes chunk = sample_chunk(shape, dtype, 8);
    const ZfpChunkConfig cfg = fixed_accuracy(1e-2);
    auto plan = ChunkEncoder::plan(chunk, shape, dtype, cfg, NonFinite::Stop);
    ASSERT_TRUE(plan.has_value());
    Bytes out(plan->capacity());
    auto n = plan->encode_into(out);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n)), *encode_chunk(chunk, shape, dtype, cfg));
  }
}

// The row store of decoded narrow integers (SSE2 on x86-64) against the
// element store, on values a lossy decode can produce: far outside the
// type's range both ways, at the saturation edges, and at random.
template <class N>
void expect_rows_match_elements() {
  std::mt19937 rng(7);
  std::vector<std::int32_t> values = {std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max(), -1, 0, 1};
  for (int edge : {N::kLo, N::kHi})
    for (int d = -2; d <= 2; ++d)
      for (int low : {0, 1, (1 << 15) - 1})
        values.push_back(static_cast<std::int32_t>((std::int64_t{edge + d} << (sizeof(typename N::Element) == 1 ? 23 : 15)) + low));
  for (int i = 0; i < 4000; ++i) values.push_back(static_cast<std::int32_t>(rng()));
  while (values.size() % 4) values.push_back(0);
  constexpr std::size_t w = sizeof(typename N::Element);
  for (std::size_t i = 0; i < values.size(); i += 4) {
    std::uint8_t row[4 * w + 1], elements[4 * w + 1];
    std::memset(row, 0xA5, sizeof row);
    std::memset(elements, 0xA5, sizeof elements);
    N::store4(values.data() + i, row + 1);  // unaligned, as in a field
    for (std::size_t x = 0; x < 4; ++x) N::store(values[i + x], elements + 1 + x * w);
    ASSERT_EQ(0, std::memcmp(row, elements, sizeof row)) << "values from " << values[i];
  }
}

TEST(ZfpNarrow, RowStoreMatchesTheElementStore) {
  expect_rows_match_elements<zfpc::NarrowU8>();
  expect_rows_match_elements<zfpc::NarrowI8>();
  expect_rows_match_elements<zfpc::NarrowU16>();
  expect_rows_match_elements<zfpc::NarrowI16>();
}
