// zfp chunk codec, NonFinite::Keep: framed chunks whose NaN and infinities
// come back bit for bit in every lossy mode, shape and dims mapping; finite
// chunks unframed; every truncation and record damage refused or decoded,
// never read past the input (run under the sanitizers).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "zfp/chunk.hpp"
#include "zfp/nonfinite.hpp"

using namespace varnel;
using namespace varnel::zfpc;

namespace {

using Shape = std::vector<std::uint64_t>;
using Bytes = std::vector<std::uint8_t>;

std::vector<ZfpChunkConfig> lossy_configs() {
  std::vector<ZfpChunkConfig> out(3);
  out[0].mode = "fixed_rate";
  out[0].rate = 10;
  out[1].mode = "fixed_accuracy";
  out[1].tolerance = 1e-3;
  out[2].mode = "fixed_precision";
  out[2].precision = 20;
  return out;
}

template <class T>
Bytes chunk_of(const std::vector<T>& v) {
  Bytes b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

// A smooth field with non-finite values every `every`-th element (0: none),
// of several kinds: NaN, -NaN, a payload NaN, +inf, -inf.
template <class T>
std::vector<T> field(std::uint64_t count, std::uint64_t every, std::uint64_t seed) {
  std::vector<T> v(count);
  std::mt19937_64 rng(seed);
  for (std::uint64_t i = 0; i < count; ++i) v[i] = static_cast<T>(std::sin(0.05 * static_cast<double>(i)));
  if (every == 0) return v;
  using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  const U payload_nan = sizeof(T) == 4 ? U(0x7fc00123u) : U(0x7ff8000000000456ull);
  for (std::uint64_t i = rng() % every; i < count; i += 1 + rng() % (2 * every)) {
    switch (rng() % 5) {
      case 0: v[i] = std::numeric_limits<T>::quiet_NaN(); break;
      case 1: v[i] = -std::numeric_limits<T>::quiet_NaN(); break;
      case 2: std::memcpy(&v[i], &payload_nan, sizeof(T)); break;
      case 3: v[i] = std::numeric_limits<T>::infinity(); break;
      default: v[i] = -std::numeric_limits<T>::infinity(); break;
    }
  }
  return v;
}

Result<Bytes> encode_keeping(const Bytes& chunk, const Shape& shape, ElementType dtype, const ZfpChunkConfig& cfg) {
  auto plan = ChunkEncoder::plan(chunk, shape, dtype, cfg, NonFinite::Keep);
  if (!plan) return std::unexpected(plan.error());
  Bytes out(plan->capacity());
  auto n = plan->encode_into(out);
  if (!n) return std::unexpected(n.error());
  if (*n != 0) return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n));
  return plan->encode_framed();
}

Result<Bytes> decode(const Bytes& chunk, const Shape& shape, ElementType dtype, const ZfpChunkConfig& cfg) {
  auto size = decoded_size(shape, dtype, cfg);
  if (!size) return std::unexpected(size.error());
  Bytes out(*size);
  auto r = decode_framed_into(chunk, shape, dtype, cfg, out);
  if (!r) return std::unexpected(r.error());
  return out;
}

template <class T>
void round_trip(const Shape& shape, std::uint64_t every, std::optional<std::uint8_t> dims) {
  std::uint64_t count = 1;
  for (auto e : shape) count *= e;
  const ElementType dtype = sizeof(T) == 4 ? ElementType::F32 : ElementType::F64;
  const std::vector<T> values = field<T>(count, every, count + every);
  const Bytes chunk = chunk_of(values);
  for (ZfpChunkConfig cfg : lossy_configs()) {
    cfg.dims = dims;
    SCOPED_TRACE(cfg.mode + " every " + std::to_string(every) + " shape size " + std::to_string(shape.size()));
    auto coded = encode_keeping(chunk, shape, dtype, cfg);
    ASSERT_TRUE(coded.has_value()) << coded.error().message;
    bool any = false;
    for (T v : values) any |= !std::isfinite(v);
    EXPECT_EQ(is_framed(*coded), any);
    if (!any) {
      EXPECT_EQ(*coded, *encode_chunk(chunk, shape, dtype, cfg));
    }
    auto back = decode(*coded, shape, dtype, cfg);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    for (std::uint64_t i = 0; i < count; ++i) {
      T v;
      std::memcpy(&v, back->data() + i * sizeof(T), sizeof(T));
      if (!std::isfinite(values[i])) {
        ASSERT_EQ(std::memcmp(&v, &values[i], sizeof(T)), 0) << i;
      } else {
        ASSERT_TRUE(std::isfinite(v)) << i;
        if (cfg.mode == "fixed_accuracy") {
          ASSERT_LE(std::abs(double(v) - double(values[i])), 1e-3) << i;
        }
      }
    }
    // Every prefix is refused, and a record byte changed never crashes.
    if (any && count <= 300) {
      for (std::size_t n = 0; n < coded->size(); ++n) {
        Bytes cut(coded->begin(), coded->begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(decode(cut, shape, dtype, cfg).has_value()) << n;
      }
      std::uint64_t stream = 0;
      std::memcpy(&stream, coded->data() + 8, 8);
      for (std::size_t i = kFrameHeaderSize + stream; i < coded->size(); ++i) {
        for (const std::uint8_t flip : {0x01, 0x40, 0x80, 0xff}) {
          Bytes bad = *coded;
          bad[i] ^= flip;
          (void)decode(bad, shape, dtype, cfg);
        }
      }
    }
  }
}

TEST(ZfpNonFinite, ComeBackBitForBitInEveryLossyMode) {
  const Shape shapes[] = {{37}, {8, 8}, {9, 7}, {6, 5, 9}, {3, 4, 4, 5}, {64, 61}};
  for (const Shape& shape : shapes) {
    for (const std::uint64_t every : {0, 1, 3, 17}) {
      round_trip<float>(shape, every, std::nullopt);
      round_trip<double>(shape, every, std::nullopt);
    }
  }
  round_trip<float>({1, 2, 1, 4, 4}, 3, 3);  // squeezed to 3-D with dims
  round_trip<double>({5, 1, 7}, 2, 2);
}

TEST(ZfpNonFinite, AllNonFiniteChunk) {
  const Shape shape{16, 16};
  for (ZfpChunkConfig cfg : lossy_configs()) {
    std::vector<float> v(256, std::numeric_limits<float>::quiet_NaN());
    v[7] = -std::numeric_limits<float>::infinity();
    const Bytes chunk = chunk_of(v);
    auto coded = encode_keeping(chunk, shape, ElementType::F32, cfg);
    ASSERT_TRUE(coded.has_value());
    auto back = decode(*coded, shape, ElementType::F32, cfg);
    ASSERT_TRUE(back.has_value()) << back.error().message;
    EXPECT_EQ(*back, chunk);
  }
}

TEST(ZfpNonFinite, FrameChecks) {
  const Shape shape{8, 8};
  std::vector<float> v = field<float>(64, 5, 1);
  const Bytes chunk = chunk_of(v);
  const ZfpChunkConfig cfg = lossy_configs()[1];
  const Bytes coded = *encode_keeping(chunk, shape, ElementType::F32, cfg);
  ASSERT_TRUE(is_framed(coded));
  const auto message = [&](const Bytes& b) {
    auto r = decode(b, shape, ElementType::F32, cfg);
    return r ? std::string("decoded") : r.error().display();
  };
  Bytes b = coded;
  b[4] = 2;
  EXPECT_EQ(message(b), "malformed codestream at byte 4: varnel_zfp: framed chunk: version 2, but this varnel "
                        "reads version 1: a newer varnel wrote it");
  b = coded;
  b[6] = 1;
  EXPECT_EQ(message(b), "malformed codestream at byte 5: varnel_zfp: framed chunk: reserved header bytes are not zero");
  b = coded;
  b.push_back(1 << 2);
  EXPECT_NE(message(b).find("non-finite record"), std::string::npos) << message(b);
  b = coded;
  b.push_back(0);
  EXPECT_NE(message(b).find("bytes after the last block"), std::string::npos) << message(b);
  // Only lossy float chunks are framed.
  ZfpChunkConfig rev;
  Bytes out(256);
  EXPECT_FALSE(decode_framed_into(coded, shape, ElementType::F32, rev, out).has_value());
  // The module function's decode takes plain streams only.
  EXPECT_FALSE(decode_chunk(coded, shape, ElementType::F32, cfg).has_value());
  // Integers never stop the encoder.
  const Bytes ints(64 * 4, 0xff);
  auto plan = ChunkEncoder::plan(ints, shape, ElementType::I32, cfg, NonFinite::Keep);
  Bytes o(plan->capacity());
  EXPECT_GT(*plan->encode_into(o), 0u);
}

}  // namespace
