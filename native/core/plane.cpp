#include "core/plane.hpp"

#include <limits>
#include <string>

namespace varnel {

Result<CoeffPlane> CoeffPlane::make(std::span<const std::int32_t> samples, std::size_t width,
                                    std::size_t height) {
  std::size_t area = 0;
  if (__builtin_mul_overflow(width, height, &area)) area = std::numeric_limits<std::size_t>::max();
  if (samples.size() != area || area == std::numeric_limits<std::size_t>::max()) {
    return std::unexpected(invalid("plane length " + std::to_string(samples.size()) +
                                          " != width " + std::to_string(width) + " * height " +
                                          std::to_string(height)));
  }
  return CoeffPlane(samples, width, height);
}

}  // namespace varnel
