// CRC-32C: the published check values, every kernel family against the
// portable one over lengths that cross the interleaved blocks, and the
// continuation over a split buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "core/crc32c.hpp"
#include "families.hpp"

using namespace varnel;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t crc_of(const Crc32cKernels& k, std::span<const std::uint8_t> bytes,
                     std::uint32_t crc = 0) {
  return ~k.update(~crc, bytes.data(), bytes.size());
}

Bytes filled(std::size_t n, std::uint8_t (*byte)(std::size_t)) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = byte(i);
  return b;
}

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

class Crc32cFamily : public ::testing::TestWithParam<Isa> {};

}  // namespace

// iSCSI's check values (RFC 3720 B.4) and the common "123456789" check.
TEST_P(Crc32cFamily, GivesTheCheckValues) {
  const Crc32cKernels& k = crc32c_kernels_for(GetParam());
  const std::string_view digits = "123456789";
  const struct {
    const char* name;
    Bytes bytes;
    std::uint32_t crc;
  } cases[] = {
      {"empty", {}, 0x00000000},
      {"digits", Bytes(digits.begin(), digits.end()), 0xE3069283},
      {"32 zeros", Bytes(32, 0x00), 0x8A9136AA},
      {"32 ones", Bytes(32, 0xFF), 0x62A8AB43},
      {"0..31", filled(32, [](std::size_t i) { return static_cast<std::uint8_t>(i); }), 0x46DD794E},
      {"31..0", filled(32, [](std::size_t i) { return static_cast<std::uint8_t>(31 - i); }),
       0x113FDB5C},
  };
  for (const auto& c : cases) EXPECT_EQ(crc_of(k, c.bytes), c.crc) << c.name;
}

// Lengths around the 3 x 1024-byte rounds of the interleaved kernel, at odd
// alignments, with the whole-buffer answer of the portable tables.
TEST_P(Crc32cFamily, AgreesWithThePortableTablesAtEveryBoundary) {
  const Crc32cKernels& k = crc32c_kernels_for(GetParam());
  const Crc32cKernels& portable = crc32c_portable_kernels();
  const Bytes data = random_bytes(3 * 3072 + 64, 5);
  for (std::size_t base : {3072u, 6144u, 9216u})
    for (std::size_t n = base - 9; n <= base + 9; ++n)
      for (std::size_t at : {0u, 1u, 7u}) {
        const std::span<const std::uint8_t> view(data.data() + at, n);
        ASSERT_EQ(crc_of(k, view), crc_of(portable, view)) << n << " bytes at " << at;
      }
}

// crc32c(a ++ b) == crc32c_extend(crc32c(a), b) for every split point of a
// buffer, as the index writer's one pass over a codestream relies on.
TEST_P(Crc32cFamily, ContinuesAcrossASplit) {
  const Crc32cKernels& k = crc32c_kernels_for(GetParam());
  const Bytes data = random_bytes(7000, 9);
  const std::uint32_t whole = crc_of(k, data);
  for (std::size_t split = 0; split <= data.size(); split += 131) {
    const std::span<const std::uint8_t> all(data);
    EXPECT_EQ(crc_of(k, all.subspan(split), crc_of(k, all.first(split))), whole) << split;
  }
}

VARNEL_FOR_EVERY_FAMILY(Crc32cFamily);
