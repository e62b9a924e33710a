#include "core/dtype.hpp"

namespace varnel {

std::optional<ElementType> element_type_from_name(std::string_view name) {
  struct Entry {
    std::string_view name;
    ElementType type;
  };
  static constexpr Entry kNames[] = {
      {"uint8", ElementType::U8},    {"u1", ElementType::U8},  {"|u1", ElementType::U8},
      {"int8", ElementType::I8},     {"i1", ElementType::I8},  {"|i1", ElementType::I8},
      {"uint16", ElementType::U16},  {"u2", ElementType::U16}, {"<u2", ElementType::U16},
      {"int16", ElementType::I16},   {"i2", ElementType::I16}, {"<i2", ElementType::I16},
      {"uint32", ElementType::U32},  {"u4", ElementType::U32}, {"<u4", ElementType::U32},
      {"int32", ElementType::I32},   {"i4", ElementType::I32}, {"<i4", ElementType::I32},
      {"int64", ElementType::I64},   {"i8", ElementType::I64}, {"<i8", ElementType::I64},
      {"float32", ElementType::F32}, {"f4", ElementType::F32}, {"<f4", ElementType::F32},
      {"float64", ElementType::F64}, {"f8", ElementType::F64}, {"<f8", ElementType::F64},
  };
  for (const Entry& e : kNames)
    if (e.name == name) return e.type;
  return std::nullopt;
}

}  // namespace varnel
