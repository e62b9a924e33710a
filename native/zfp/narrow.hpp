// varnel zfp: narrow integers as zfp's int32 values, one element at a time.
//
// 8- and 16-bit integers travel through zfp as int32 with the value (made
// signed by an offset) in the top value bits: bits 23..30 for bytes, 15..30
// for 16-bit types. Back, an arithmetic shift (flooring) and a saturation.
// Both the whole-chunk conversions and the block coder use these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel::zfpc {

template <class In, int Shift, std::int32_t Offset>
struct NarrowInt {
  using Element = In;
  static constexpr std::int32_t kLo = -(std::int32_t{1} << (8 * sizeof(In) - 1));
  static constexpr std::int32_t kHi = (std::int32_t{1} << (8 * sizeof(In) - 1)) - 1;

  // Reads the element at `p` (any alignment) as a zfp value.
  static std::int32_t load(const std::uint8_t* p) {
    In v;
    std::memcpy(&v, p, sizeof(In));
    return (static_cast<std::int32_t>(v) - Offset) * (std::int32_t{1} << Shift);
  }
  // Writes the element a decoded zfp value stands for at `p` (any alignment).
  static void store(std::int32_t value, std::uint8_t* p) {
    const In v = static_cast<In>(std::clamp(value >> Shift, kLo, kHi) + Offset);
    std::memcpy(p, &v, sizeof(In));
  }

  // store() of the four values at `v` to the four elements at `p`: one row
  // of a decoded block. SSE2 (every x86-64 CPU): the shift, the signed
  // saturating packs are the clamp, and the offset of the unsigned types
  // is their top bit flipped.
  static void store4(const std::int32_t* v, std::uint8_t* p) {
#if defined(__SSE2__)
    __m128i x = _mm_srai_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)), Shift);
    x = _mm_packs_epi32(x, x);  // int16 lanes, saturated
    if constexpr (sizeof(In) == 1) x = _mm_packs_epi16(x, x);  // int8 lanes, saturated
    if constexpr (Offset != 0) x = _mm_xor_si128(x, _mm_set1_epi16(static_cast<short>(sizeof(In) == 1 ? 0x8080 : 0x8000)));
    if constexpr (sizeof(In) == 1) {
      const std::int32_t bytes = _mm_cvtsi128_si32(x);
      std::memcpy(p, &bytes, 4);
    } else {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p), x);
    }
#else
    for (std::size_t i = 0; i < 4; ++i) store(v[i], p + i * sizeof(In));
#endif
  }
};

using NarrowU8 = NarrowInt<std::uint8_t, 23, 128>;
using NarrowI8 = NarrowInt<std::int8_t, 23, 0>;
using NarrowU16 = NarrowInt<std::uint16_t, 15, 32768>;
using NarrowI16 = NarrowInt<std::int16_t, 15, 0>;

}  // namespace varnel::zfpc
