// varnel core: the six integer element types of the htj2k codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnel {

enum class SampleType : std::uint8_t { U8, I8, U16, I16, U32, I32 };

// Width of one element in bytes (1, 2 or 4).
constexpr std::size_t sample_width(SampleType t) {
  switch (t) {
    case SampleType::U8: case SampleType::I8: return 1;
    case SampleType::U16: case SampleType::I16: return 2;
    case SampleType::U32: case SampleType::I32: return 4;
  }
  return 0;
}

constexpr bool sample_signed(SampleType t) {
  return t == SampleType::I8 || t == SampleType::I16 || t == SampleType::I32;
}

// Smallest and largest value of the type, widened to 64 bits.
constexpr std::int64_t sample_min(SampleType t) {
  if (!sample_signed(t)) return 0;
  return -(std::int64_t{1} << (8 * sample_width(t) - 1));
}
constexpr std::int64_t sample_max(SampleType t) {
  const unsigned bits = 8 * static_cast<unsigned>(sample_width(t));
  return sample_signed(t) ? (std::int64_t{1} << (bits - 1)) - 1 : (std::int64_t{1} << bits) - 1;
}

// Printed name used in messages: "U8", "I8", "U16", "I16", "U32", "I32".
constexpr std::string_view sample_name(SampleType t) {
  switch (t) {
    case SampleType::U8: return "U8";
    case SampleType::I8: return "I8";
    case SampleType::U16: return "U16";
    case SampleType::I16: return "I16";
    case SampleType::U32: return "U32";
    case SampleType::I32: return "I32";
  }
  return "?";
}

}  // namespace varnel
