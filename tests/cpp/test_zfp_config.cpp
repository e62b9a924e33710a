// zfp chunk codec: configuration checks, stream parameters, element types,
// shape mappings, narrow-integer promotion and message number formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "zfp/chunk.hpp"
#include "zfp/format.hpp"
#include "zfp/stream.hpp"

using namespace varnel;
using namespace varnel::zfpc;

namespace {

ZfpChunkConfig cfg(std::string mode) {
  ZfpChunkConfig c;
  c.mode = std::move(mode);
  return c;
}

void expect_error(const Result<ZfpMode>& r, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(r.has_value()) << message;
  EXPECT_EQ(r.error().kind, kind);
  EXPECT_EQ(r.error().message, message);
}

std::string mode_error(const ZfpChunkConfig& c) {
  auto r = c.zfp_mode();
  return r ? std::string("<ok>") : r.error().message;
}

}  // namespace

TEST(ZfpConfig, DimsAreCheckedBeforeTheModeName) {
  for (int d : {0, 5, 255}) {
    auto c = cfg("no such mode");
    c.dims = static_cast<std::uint8_t>(d);
    expect_error(c.zfp_mode(), ErrorKind::InvalidArgument,
                 "zfp: dims must be 1..=4, got " + std::to_string(d));
  }
  for (int d : {1, 2, 3, 4}) {
    auto c = cfg("reversible");
    c.dims = static_cast<std::uint8_t>(d);
    EXPECT_TRUE(c.zfp_mode().has_value());
  }
}

TEST(ZfpConfig, UnknownModesAreUnsupportedAndQuoted) {
  expect_error(cfg("Reversible").zfp_mode(), ErrorKind::Unsupported, "zfp: unknown mode \"Reversible\"");
  expect_error(cfg("fixed-rate").zfp_mode(), ErrorKind::Unsupported, "zfp: unknown mode \"fixed-rate\"");
  expect_error(cfg("").zfp_mode(), ErrorKind::Unsupported, "zfp: unknown mode \"\"");
  expect_error(cfg("a\"b\\c\n").zfp_mode(), ErrorKind::Unsupported,
               "zfp: unknown mode \"a\\\"b\\\\c\\n\"");
  // The rate of a known mode is never looked at for an unknown one.
  auto c = cfg("fixed_rate ");
  c.rate = -1;
  expect_error(c.zfp_mode(), ErrorKind::Unsupported, "zfp: unknown mode \"fixed_rate \"");
}

TEST(ZfpConfig, ForeignParametersAreRefusedInOrder) {
  auto c = cfg("reversible");
  c.rate = 8;
  expect_error(c.zfp_mode(), ErrorKind::InvalidArgument, "zfp: \"reversible\" mode does not take \"rate\"");
  c = cfg("reversible");
  c.tolerance = 0.1;
  c.precision = 3;
  EXPECT_EQ(mode_error(c), "zfp: \"reversible\" mode does not take \"tolerance\"");
  c = cfg("reversible");
  c.precision = 3;
  EXPECT_EQ(mode_error(c), "zfp: \"reversible\" mode does not take \"precision\"");

  c = cfg("fixed_rate");
  c.tolerance = 0.5;  // and no rate: the foreign parameter wins
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_rate\" mode does not take \"tolerance\"");
  c = cfg("fixed_rate");
  c.rate = 4;
  c.precision = 10;
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_rate\" mode does not take \"precision\"");

  c = cfg("fixed_accuracy");
  c.rate = 4;
  c.precision = 10;
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_accuracy\" mode does not take \"rate\"");
  c = cfg("fixed_accuracy");
  c.precision = 10;
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_accuracy\" mode does not take \"precision\"");

  c = cfg("fixed_precision");
  c.rate = 4;
  c.tolerance = 1;
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_precision\" mode does not take \"rate\"");
  c = cfg("fixed_precision");
  c.tolerance = 1;
  EXPECT_EQ(mode_error(c), "zfp: \"fixed_precision\" mode does not take \"tolerance\"");

  EXPECT_TRUE(cfg("x").forbid("rate", false).has_value());
  EXPECT_EQ(cfg("x").forbid("rate", true).error().message, "zfp: \"x\" mode does not take \"rate\"");
}

TEST(ZfpConfig, MissingParametersAreNamed) {
  expect_error(cfg("fixed_rate").zfp_mode(), ErrorKind::InvalidArgument, "zfp: fixed_rate mode needs a \"rate\"");
  expect_error(cfg("fixed_accuracy").zfp_mode(), ErrorKind::InvalidArgument,
               "zfp: fixed_accuracy mode needs a \"tolerance\"");
  expect_error(cfg("fixed_precision").zfp_mode(), ErrorKind::InvalidArgument,
               "zfp: fixed_precision mode needs a \"precision\"");
}

TEST(ZfpConfig, RateRange) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double rate; const char* shown; } bad[] = {
      {0.0, "0"}, {-0.0, "-0"}, {-1.0, "-1"}, {std::nan(""), "NaN"}, {inf, "inf"}, {-inf, "-inf"}};
  for (const auto& b : bad) {
    auto c = cfg("fixed_rate");
    c.rate = b.rate;
    expect_error(c.zfp_mode(), ErrorKind::InvalidArgument,
                 std::string("varnel_zfp: fixed-rate mode needs a positive finite rate, got ") + b.shown);
  }
  auto c = cfg("fixed_rate");
  c.rate = std::numeric_limits<double>::denorm_min();
  ASSERT_TRUE(c.zfp_mode().has_value());
  EXPECT_TRUE(std::holds_alternative<FixedRate>(c.zfp_mode()->value));
}

TEST(ZfpConfig, ToleranceRange) {
  for (double t : {0.0, -0.0}) {
    auto c = cfg("fixed_accuracy");
    c.tolerance = t;
    auto m = c.zfp_mode();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(stream_params(*m, ScalarType::Double, 3).minexp, -1074);
  }
  auto c = cfg("fixed_accuracy");
  c.tolerance = -1e-300;
  const std::string expansion = "-0." + std::string(299, '0') + "1";
  expect_error(c.zfp_mode(), ErrorKind::InvalidArgument,
               "varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, got " + expansion);
  c.tolerance = std::numeric_limits<double>::infinity();
  EXPECT_EQ(mode_error(c), "varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, got inf");
  c.tolerance = std::nan("");
  EXPECT_EQ(mode_error(c), "varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, got NaN");
}

TEST(ZfpConfig, PrecisionRange) {
  for (std::uint32_t p : {0u, 65u, 4294967295u}) {
    auto c = cfg("fixed_precision");
    c.precision = p;
    expect_error(c.zfp_mode(), ErrorKind::InvalidArgument,
                 "varnel_zfp: fixed-precision mode needs 1..=64 bit planes, got " + std::to_string(p));
  }
  auto c = cfg("fixed_precision");
  c.precision = 64;
  auto m = c.zfp_mode();
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(stream_params(*m, ScalarType::Float, 2).maxprec, 64u);
  EXPECT_EQ(stream_params(ZfpMode{FixedPrecision{1}}, ScalarType::Float, 2).maxprec, 1u);
  EXPECT_EQ(stream_params(ZfpMode{FixedPrecision{63}}, ScalarType::Float, 2).maxprec, 63u);
}

TEST(ZfpConfig, ValidateRunsOnModesBuiltDirectly) {
  EXPECT_EQ(ZfpMode{FixedRate{-2}}.validate().error().message,
            "varnel_zfp: fixed-rate mode needs a positive finite rate, got -2");
  EXPECT_TRUE(ZfpMode{Reversible{}}.validate().has_value());
  EXPECT_EQ(ZfpMode{FixedAccuracy{0.25}}.name(), "fixed_accuracy");
}

TEST(ZfpStreamParams, TableOfModes) {
  EXPECT_EQ(stream_params(ZfpMode{Reversible{}}, ScalarType::Int32, 1), (StreamParams{1, 16658, 64, -1075}));
  EXPECT_EQ(stream_params(ZfpMode{FixedPrecision{20}}, ScalarType::Double, 3),
            (StreamParams{1, 16658, 20, -1074}));
  // tolerance = m * 2^e, 0.5 <= m < 1: minexp = e - 1.
  EXPECT_EQ(stream_params(ZfpMode{FixedAccuracy{1.0}}, ScalarType::Float, 2).minexp, 0);
  EXPECT_EQ(stream_params(ZfpMode{FixedAccuracy{0.75}}, ScalarType::Float, 2).minexp, -1);
  EXPECT_EQ(stream_params(ZfpMode{FixedAccuracy{1e-3}}, ScalarType::Float, 2).minexp, -10);
  EXPECT_EQ(stream_params(ZfpMode{FixedAccuracy{std::numeric_limits<double>::denorm_min()}},
                          ScalarType::Double, 1).minexp, -1074);
  EXPECT_EQ(stream_params(ZfpMode{FixedAccuracy{1e-3}}, ScalarType::Float, 2),
            (StreamParams{1, 16658, 64, -10}));
}

TEST(ZfpStreamParams, FixedRateBudget) {
  // 16 * 0.1 + 0.5 floors to 2; float fields need at least 9, doubles 12.
  EXPECT_EQ(fixed_rate_bits(0.1, ScalarType::Float, 2), 9u);
  EXPECT_EQ(fixed_rate_bits(0.1, ScalarType::Int32, 2), 2u);
  EXPECT_EQ(fixed_rate_bits(0.1, ScalarType::Double, 2), 12u);
  EXPECT_EQ(fixed_rate_bits(0.1, ScalarType::Int64, 1), 0u);
  EXPECT_EQ(fixed_rate_bits(8, ScalarType::Float, 3), 512u);
  EXPECT_EQ(fixed_rate_bits(1.5, ScalarType::Double, 4), 384u);
  EXPECT_EQ(fixed_rate_bits(1e300, ScalarType::Int32, 4), 4294967295u);
  EXPECT_EQ(stream_params(ZfpMode{FixedRate{8}}, ScalarType::Float, 2), (StreamParams{128, 128, 64, -1074}));
}

TEST(ZfpFormat, NumbersInMessages) {
  const struct { double v; const char* s; } cases[] = {
      {0.5, "0.5"}, {-1.0, "-1"}, {0.0, "0"}, {-0.0, "-0"}, {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"}, {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"},
      {2.5e-5, "0.000025"}, {123456.789, "123456.789"}, {1e15, "1000000000000000"},
      {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"}, {-std::nan(""), "NaN"}};
  for (const auto& c : cases) EXPECT_EQ(format_double(c.v), c.s) << c.s;
  EXPECT_EQ(format_double(std::numeric_limits<double>::denorm_min()),
            "0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_double(std::numeric_limits<double>::max()), "17976931348623157" + std::string(292, '0'));
  // Every printed value reads back to itself.
  for (double v : {0.1, 1e-7, 3.14159, 6.02214076e23, 1e-300, 5e-324, 1.7976931348623157e308}) {
    EXPECT_EQ(std::strtod(format_double(v).c_str(), nullptr), v);
  }
  const std::uint64_t s[] = {1, 64, 64};
  EXPECT_EQ(format_shape(s), "[1, 64, 64]");
  EXPECT_EQ(format_shape({}), "[]");
}

TEST(ZfpDtypeNames, AcceptedAndRefused) {
  const struct { const char* name; ElementType t; } ok_names[] = {
      {"u1", ElementType::U8},    {"|u1", ElementType::U8},   {"uint8", ElementType::U8},   {"i1", ElementType::I8},
      {"|i1", ElementType::I8},   {"int8", ElementType::I8},  {"u2", ElementType::U16},     {"<u2", ElementType::U16},
      {"uint16", ElementType::U16}, {"i2", ElementType::I16}, {"<i2", ElementType::I16},    {"int16", ElementType::I16},
      {"i4", ElementType::I32},   {"<i4", ElementType::I32},  {"int32", ElementType::I32},  {"i8", ElementType::I64},
      {"<i8", ElementType::I64},  {"int64", ElementType::I64}, {"f4", ElementType::F32},    {"<f4", ElementType::F32},
      {"float32", ElementType::F32}, {"f8", ElementType::F64}, {"<f8", ElementType::F64},   {"float64", ElementType::F64}};
  for (const auto& n : ok_names) EXPECT_EQ(zfp_element_type(n.name), n.t) << n.name;
  for (const char* n : {"uint32", "<u4", "<u1", ">i2", "=i2", "float16", "bool", "Float32", "uint64",
                        "<f2", "", "f4 ", "<i1"}) {
    EXPECT_FALSE(zfp_element_type(n).has_value()) << n;
  }
  EXPECT_EQ(element_name(ElementType::U16), "U16");
  EXPECT_EQ(element_size(ElementType::F64), 8u);
  EXPECT_EQ(scalar_type_of(ElementType::U8), ScalarType::Int32);
  EXPECT_EQ(scalar_name(ScalarType::Double), "double");
}

namespace {
using Shape = std::vector<std::uint64_t>;
std::string shape_error(const Shape& s, std::optional<std::uint8_t> dims) {
  auto r = effective_shape(s, dims);
  if (r) return "<ok>";
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument);
  return r.error().message;
}
}  // namespace

TEST(ZfpShapes, DirectMapping) {
  EXPECT_EQ(shape_error({}, std::nullopt), "zfp: chunk shape has no dimensions");
  EXPECT_EQ(shape_error({4, 0, 4}, std::nullopt), "zfp: chunk shape [4, 0, 4] has a zero extent");
  EXPECT_EQ(shape_error({1, 1, 1, 8, 8}, std::nullopt),
            "zfp: chunk shape [1, 1, 1, 8, 8] has 5 dimensions but ZFP fields are 1-4 dimensional; "
            "collapse singleton dimensions with a reshape codec upstream");
  EXPECT_EQ(*effective_shape(Shape{1, 8, 8}, std::nullopt), (Shape{1, 8, 8}));
  EXPECT_EQ(*effective_shape(Shape{7}, std::nullopt), (Shape{7}));
  EXPECT_EQ(*effective_shape(Shape{2, 3, 4, 5}, std::nullopt), (Shape{2, 3, 4, 5}));
}

TEST(ZfpShapes, SqueezeAndPadMapping) {
  EXPECT_EQ(shape_error({}, 2), "zfp: chunk shape has no dimensions");
  EXPECT_EQ(shape_error({4, 0, 4}, 3), "zfp: chunk shape [4, 0, 4] has a zero extent");
  EXPECT_EQ(*effective_shape(Shape{1, 8, 1, 8}, 3), (Shape{1, 8, 8}));
  EXPECT_EQ(shape_error({2, 3, 4, 5}, 3),
            "zfp: chunk shape [2, 3, 4, 5] has 4 non-singleton dimensions but the configuration "
            "declares dims=3; reduce chunking or raise dims");
  EXPECT_EQ(*effective_shape(Shape{1, 1}, 3), (Shape{1, 1, 1}));
  EXPECT_EQ(*effective_shape(Shape{1, 1, 100}, 1), (Shape{100}));
  EXPECT_EQ(*effective_shape(Shape{7}, 1), (Shape{7}));
  EXPECT_EQ(*effective_shape(Shape{1, 1, 1, 1, 1, 9, 1, 3}, 4), (Shape{1, 1, 9, 3}));
  EXPECT_EQ(*effective_shape(Shape{1, 1, 4, 4}, 2), (Shape{4, 4}));
}

TEST(ZfpShapes, FieldShapeChecks) {
  EXPECT_EQ(validate_shape(Shape{}).error().message, "varnel_zfp: shape must have 1..=4 dimensions, got 0");
  EXPECT_EQ(validate_shape(Shape{1, 2, 3, 4, 5}).error().message,
            "varnel_zfp: shape must have 1..=4 dimensions, got 5");
  EXPECT_EQ(validate_shape(Shape{3, 0}).error().message, "varnel_zfp: shape [3, 0] has a zero extent");
  EXPECT_EQ(*validate_shape(Shape{3, 5, 1}), 3u);
  EXPECT_EQ(validate_shape_len(Shape{1ull << 32, 1ull << 32}, 0, "input").error().message,
            "varnel_zfp: shape [4294967296, 4294967296] overflows usize");
  EXPECT_EQ(validate_shape_len(Shape{3, 5}, 14, "output").error().message,
            "varnel_zfp: shape [3, 5] has 15 elements but the output holds 14");
  EXPECT_EQ(validate_shape_len(Shape{3, 5}, 16, "input").error().message,
            "varnel_zfp: shape [3, 5] has 15 elements but the input holds 16");
  EXPECT_EQ(*validate_shape_len(Shape{3, 5}, 15, "input"), 2u);
  EXPECT_EQ(validate_shape_len(Shape{3, 5}, 14, "input").error().kind, ErrorKind::InvalidArgument);
}

TEST(ZfpNarrowIntegers, PromotionKnownValues) {
  const std::uint8_t u8[] = {0, 128, 255};
  std::int32_t out[3];
  promote(u8, ElementType::U8, out);
  EXPECT_EQ(out[0], -1073741824);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 1065353216);
  const std::int16_t i16[] = {-32768, -1, 32767};
  std::uint8_t bytes[6];
  std::memcpy(bytes, i16, 6);
  promote(bytes, ElementType::I16, out);
  EXPECT_EQ(out[0], -1073741824);
  EXPECT_EQ(out[1], -32768);
  EXPECT_EQ(out[2], 32767 * 32768);
  const std::uint16_t u16[] = {0, 32768, 65535};
  std::memcpy(bytes, u16, 6);
  promote(bytes, ElementType::U16, out);
  EXPECT_EQ(out[0], -1073741824);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 32767 * 32768);
  const std::int8_t i8[] = {-128, 0, 127};
  promote(std::span(reinterpret_cast<const std::uint8_t*>(i8), 3), ElementType::I8, out);
  EXPECT_EQ(out[0], -1073741824);
  EXPECT_EQ(out[2], 127 << 23);
}

TEST(ZfpNarrowIntegers, DemotionSaturatesAndFloors) {
  const std::int32_t ext[] = {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()};
  EXPECT_EQ(demoted_bytes(ext, ElementType::U8), (std::vector<std::uint8_t>{255, 0}));
  EXPECT_EQ(demoted_bytes(ext, ElementType::I8), (std::vector<std::uint8_t>{127, 128}));
  auto u16 = demoted_bytes(ext, ElementType::U16);
  std::uint16_t u16v[2];
  std::memcpy(u16v, u16.data(), 4);
  EXPECT_EQ(u16v[0], 65535);
  EXPECT_EQ(u16v[1], 0);
  // The shift floors: everything in [-32768, -1] leaves as -1.
  const std::int32_t small[] = {-32768, -1, -16384, 0, 32767, 32768};
  auto i16 = demoted_bytes(small, ElementType::I16);
  std::int16_t v[6];
  std::memcpy(v, i16.data(), 12);
  EXPECT_EQ(v[0], -1);
  EXPECT_EQ(v[1], -1);
  EXPECT_EQ(v[2], -1);
  EXPECT_EQ(v[3], 0);
  EXPECT_EQ(v[4], 0);
  EXPECT_EQ(v[5], 1);
  // Promotion then demotion is the identity on every value.
  std::vector<std::uint8_t> all(65536 * 2);
  for (int i = 0; i < 65536; ++i) {
    const std::uint16_t x = static_cast<std::uint16_t>(i);
    std::memcpy(&all[2 * i], &x, 2);
  }
  for (ElementType t : {ElementType::U16, ElementType::I16}) {
    std::vector<std::int32_t> wide(65536);
    promote(all, t, wide);
    EXPECT_EQ(demoted_bytes(wide, t), all);
  }
  for (ElementType t : {ElementType::U8, ElementType::I8}) {
    std::vector<std::uint8_t> bytes8(256);
    for (int i = 0; i < 256; ++i) bytes8[i] = static_cast<std::uint8_t>(i);
    std::vector<std::int32_t> wide(256);
    promote(bytes8, t, wide);
    EXPECT_EQ(demoted_bytes(wide, t), bytes8);
  }
}
