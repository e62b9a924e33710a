// varnel zfp: numbers and shapes as the zfp codec's messages print them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace varnel::zfpc {

// Shortest decimal that reads back to the same value, never in exponent
// notation ("0.5", "-1", "-0", "1000000000000000000000"); "NaN", "inf",
// "-inf".
std::string format_double(double v);

// "[1, 64, 64]".
std::string format_shape(std::span<const std::uint64_t> shape);

}  // namespace varnel::zfpc
