// varnel zfp: narrow integers as zfp's int32 values, one element at a time.
//
// 8- and 16-bit integers travel through zfp as int32 with the value (made
// signed by an offset) in the top value bits: bits 23..30 for bytes, 15..30
// for 16-bit types. Back, an arithmetic shift (flooring) and a saturation.
// Both the whole-chunk conversions and the block coder use these.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

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
};

using NarrowU8 = NarrowInt<std::uint8_t, 23, 128>;
using NarrowI8 = NarrowInt<std::int8_t, 23, 0>;
using NarrowU16 = NarrowInt<std::uint16_t, 15, 32768>;
using NarrowI16 = NarrowInt<std::int16_t, 15, 0>;

}  // namespace varnel::zfpc
