// varnel core: a read-only view of one 2-D plane of 32-bit signed samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace varnel {

class CoeffPlane {
 public:
  // Fails with InvalidArgument "plane length N != width W * height H" unless
  // samples.size() == width * height (an overflowing product never matches).
  static Result<CoeffPlane> make(std::span<const std::int32_t> samples, std::size_t width,
                                 std::size_t height);

  std::span<const std::int32_t> samples() const { return samples_; }
  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }
  std::int32_t at(std::size_t x, std::size_t y) const { return samples_[y * width_ + x]; }

 private:
  CoeffPlane(std::span<const std::int32_t> s, std::size_t w, std::size_t h)
      : samples_(s), width_(w), height_(h) {}
  std::span<const std::int32_t> samples_;
  std::size_t width_ = 0;
  std::size_t height_ = 0;
};

}  // namespace varnel
