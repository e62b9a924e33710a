#include "python/dtype_names.hpp"

namespace varnel::python {

std::optional<SampleType> sample_type(std::string_view name) {
  struct Entry {
    std::string_view name;
    SampleType type;
  };
  static constexpr Entry kNames[] = {
      {"uint8", SampleType::U8},   {"u1", SampleType::U8},   {"|u1", SampleType::U8},
      {"int8", SampleType::I8},    {"i1", SampleType::I8},   {"|i1", SampleType::I8},
      {"uint16", SampleType::U16}, {"u2", SampleType::U16},  {"<u2", SampleType::U16},
      {"int16", SampleType::I16},  {"i2", SampleType::I16},  {"<i2", SampleType::I16},
      {"uint32", SampleType::U32}, {"u4", SampleType::U32},  {"<u4", SampleType::U32},
      {"int32", SampleType::I32},  {"i4", SampleType::I32},  {"<i4", SampleType::I32},
  };
  for (const Entry& e : kNames)
    if (e.name == name) return e.type;
  return std::nullopt;
}

}  // namespace varnel::python
