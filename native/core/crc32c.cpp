// CRC-32C: the portable kernel (slicing by 8) and the choice of family.
#include "core/crc32c.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace varnel {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78;  // Castagnoli, bit-reflected

// table[0][b]: the register after shifting byte b through it; table[k][b]:
// the same byte followed by k zero bytes, so eight bytes fold in one step.
constexpr auto kTables = [] {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = c & 1 ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}();

std::uint32_t update_portable(std::uint32_t state, const std::uint8_t* p, std::size_t n) {
  const auto& t = kTables;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
    }
    lo ^= state;
    state = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; n > 0; --n, ++p) state = (state >> 8) ^ t[0][(state ^ *p) & 0xFF];
  return state;
}

}  // namespace

const Crc32cKernels& crc32c_portable_kernels() {
  static constexpr Crc32cKernels k{update_portable};
  return k;
}

const Crc32cKernels& crc32c_kernels_for(Isa isa) {
  // Every CPU of the avx2 family has SSE4.2.
  static constexpr Family<Crc32cKernels> kFamilies[] = {
      {Isa::portable, crc32c_portable_kernels},
      {Isa::avx2, crc32c_sse42_kernels},
  };
  return pick_family(kFamilies, isa);
}

const Crc32cKernels& crc32c_kernels() {
  static const Crc32cKernels& chosen = crc32c_kernels_for(isa_selected());
  return chosen;
}

}  // namespace varnel
