// varnel core: the element types of a chunk, their sizes and their names.
//
// One enum for both codecs: htj2k codes the integers of up to 32 bits
// (zarr/htj2k.hpp), zfp all but uint32 (zfp/chunk.hpp, which maps them to
// zfp's own scalar types at its edge). The dtype names a caller may pass
// are looked up in one table; each codec then refuses the types it does not
// code with its own message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace varnel {

enum class ElementType : std::uint8_t { U8, I8, U16, I16, U32, I32, I64, F32, F64 };

// Width of one element in bytes (1, 2, 4 or 8).
constexpr std::size_t element_size(ElementType t) {
  switch (t) {
    case ElementType::U8: case ElementType::I8: return 1;
    case ElementType::U16: case ElementType::I16: return 2;
    case ElementType::U32: case ElementType::I32: case ElementType::F32: return 4;
    case ElementType::I64: case ElementType::F64: return 8;
  }
  return 1;
}

constexpr bool element_is_float(ElementType t) { return t == ElementType::F32 || t == ElementType::F64; }

constexpr bool element_signed(ElementType t) {
  return t == ElementType::I8 || t == ElementType::I16 || t == ElementType::I32 ||
         t == ElementType::I64 || element_is_float(t);
}

// Smallest and largest value of an integer type, widened to 64 bits.
constexpr std::int64_t element_min(ElementType t) {
  if (!element_signed(t)) return 0;
  return static_cast<std::int64_t>(~std::uint64_t{0} << (8 * element_size(t) - 1));
}
constexpr std::int64_t element_max(ElementType t) {
  const unsigned bits = 8 * static_cast<unsigned>(element_size(t)) - (element_signed(t) ? 1 : 0);
  return static_cast<std::int64_t>((std::uint64_t{1} << bits) - 1);
}

// Printed name used in messages: "U8", "I8", "U16", "I16", "U32", "I32",
// "I64", "F32", "F64".
constexpr std::string_view element_name(ElementType t) {
  switch (t) {
    case ElementType::U8: return "U8";
    case ElementType::I8: return "I8";
    case ElementType::U16: return "U16";
    case ElementType::I16: return "I16";
    case ElementType::U32: return "U32";
    case ElementType::I32: return "I32";
    case ElementType::I64: return "I64";
    case ElementType::F32: return "F32";
    case ElementType::F64: return "F64";
  }
  return "?";
}

// The dtype names callers pass (exact, case-sensitive): numpy's name, its
// short code and that code with the byte-order character numpy and zarr
// print ("|" for one byte, "<" for the wider types): "uint8" "u1" "|u1",
// "int8" "i1" "|i1", "uint16" "u2" "<u2", "int16" "i2" "<i2", "uint32" "u4"
// "<u4", "int32" "i4" "<i4", "int64" "i8" "<i8", "float32" "f4" "<f4",
// "float64" "f8" "<f8". No big-endian or "=" forms; anything else gives
// nothing.
std::optional<ElementType> element_type_from_name(std::string_view name);

// The same, when `codes` (a codec's set of types) holds the type.
inline std::optional<ElementType> element_type_from_name(std::string_view name,
                                                         bool (*codes)(ElementType)) {
  const std::optional<ElementType> t = element_type_from_name(name);
  return t && codes(*t) ? t : std::nullopt;
}

}  // namespace varnel
