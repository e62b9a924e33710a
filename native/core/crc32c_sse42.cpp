// CRC-32C with the SSE4.2 crc32 instruction (the only file built with
// -msse4.2). Long runs go as three interleaved streams, so that the
// instruction's three-cycle latency is hidden, and are joined by shifting
// the earlier streams' registers over the later streams' bytes (a carry-less
// multiply by x^(8 * bytes) mod P, done here with the same instruction).
#include "core/crc32c.hpp"

#if defined(__SSE4_2__)

#include <nmmintrin.h>

#include <cstring>

namespace varnel {
namespace {

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

std::uint32_t update_serial(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
  std::uint64_t s = state;
  for (; n >= 8; n -= 8, p += 8) s = _mm_crc32_u64(s, load64(p));
  auto s32 = static_cast<std::uint32_t>(s);
  for (; n > 0; --n, ++p) s32 = _mm_crc32_u8(s32, *p);
  return s32;
}

// Multiplication of two bit-reflected polynomials mod P, bit by bit (only
// for the few shift constants).
constexpr std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (int i = 0; i < 32; ++i) {
    if (a & 0x80000000u) product ^= b;
    a <<= 1;
    b = b & 1 ? (b >> 1) ^ 0x82F63B78u : b >> 1;
  }
  return product;
}

// x^(8 * bytes - 33) mod P, reflected: the factor that shifts a register over
// `bytes` zero bytes when applied by `shifted` (whose product carries an
// extra x, and whose reduction an x^32).
constexpr std::uint32_t shift_factor(std::size_t bytes) {
  std::uint32_t result = 0x80000000u;  // x^0
  std::uint32_t power = 0x40000000u;   // x^1
  for (std::size_t e = 8 * bytes - 33; e != 0; e >>= 1) {
    if (e & 1) result = multiply(result, power);
    power = multiply(power, power);
  }
  return result;
}

constexpr std::size_t kBlock = 1024;  // bytes per stream per round
constexpr std::uint32_t kShift1 = shift_factor(kBlock);
constexpr std::uint32_t kShift2 = shift_factor(2 * kBlock);

// The register `state` shifted over bytes zero bytes (factor `shift`):
// multiply, then reduce the 64-bit product with the instruction itself.
std::uint32_t shifted(std::uint32_t state, std::uint32_t shift) {
  // Carry-less 32 x 32 multiply: as a reflected 64-bit message the product
  // is state * shift * x, and one crc32 step over it multiplies by x^32 mod P.
  std::uint64_t product = 0;
  for (int k = 0; k < 32; ++k)
    if ((shift >> k) & 1) product ^= std::uint64_t{state} << k;
  return static_cast<std::uint32_t>(_mm_crc32_u64(0, product));
}

std::uint32_t update_sse42(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
  while (n >= 3 * kBlock) {
    std::uint64_t a = state, b = 0, c = 0;
    for (std::size_t i = 0; i < kBlock; i += 8) {
      a = _mm_crc32_u64(a, load64(p + i));
      b = _mm_crc32_u64(b, load64(p + kBlock + i));
      c = _mm_crc32_u64(c, load64(p + 2 * kBlock + i));
    }
    state = shifted(static_cast<std::uint32_t>(a), kShift2) ^
            shifted(static_cast<std::uint32_t>(b), kShift1) ^ static_cast<std::uint32_t>(c);
    p += 3 * kBlock;
    n -= 3 * kBlock;
  }
  return update_serial(state, p, n);
}

}  // namespace

const Crc32cKernels& crc32c_sse42_kernels() {
  static constexpr Crc32cKernels k{update_sse42};
  return k;
}

}  // namespace varnel

#else  // a target without SSE4.2 (WebAssembly): the portable family stands in

namespace varnel {
const Crc32cKernels& crc32c_sse42_kernels() { return crc32c_portable_kernels(); }
}  // namespace varnel

#endif
