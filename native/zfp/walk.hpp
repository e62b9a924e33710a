// varnel zfp: the walk over a field's 4^d blocks in zfp's order.
//
// Shared by the block coder (blocks.cpp) and the non-finite record
// (nonfinite.cpp), which must visit the blocks and their values in exactly
// the same order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "zfp/blocks.hpp"

namespace varnel::zfpc {

// Element strides of the field (x, y, z, w) and of a local 4^d block.
using Strides = std::array<std::ptrdiff_t, 4>;
constexpr Strides kBlockStrides{1, 4, 16, 64};

// Calls f(offset, extents, whole) for every block in zfp's order: offset is
// the element index of the block's first value, extents its size per axis
// (1 on the axes the field lacks); false from f stops the walk.
template <class F>
bool for_each_block(const Extents& e, const F& f) {
  const auto& n = e.n;
  const Strides s = {1, static_cast<std::ptrdiff_t>(n[0]), static_cast<std::ptrdiff_t>(n[0] * n[1]),
                     static_cast<std::ptrdiff_t>(n[0] * n[1] * n[2])};
  const auto step = [&](unsigned axis) -> std::size_t { return axis < e.dims ? 4 : 1; };
  const auto extent = [&](unsigned axis, std::size_t at) -> std::size_t {
    return axis < e.dims ? std::min<std::size_t>(4, n[axis] - at) : 1;
  };
  std::array<std::size_t, 4> b{};
  for (std::size_t w = 0; w < n[3]; w += step(3)) {
    b[3] = extent(3, w);
    for (std::size_t z = 0; z < n[2]; z += step(2)) {
      b[2] = extent(2, z);
      for (std::size_t y = 0; y < n[1]; y += step(1)) {
        b[1] = extent(1, y);
        const std::size_t row = y * s[1] + z * s[2] + w * s[3];
        const bool edge = (e.dims > 1 && b[1] < 4) || (e.dims > 2 && b[2] < 4) || (e.dims > 3 && b[3] < 4);
        for (std::size_t x = 0; x < n[0]; x += 4) {
          b[0] = extent(0, x);
          if (!f(row + x, b, !edge && b[0] == 4)) return false;
        }
      }
    }
  }
  return true;
}

inline Strides field_strides(const Extents& e) {
  return {1, static_cast<std::ptrdiff_t>(e.n[0]), static_cast<std::ptrdiff_t>(e.n[0] * e.n[1]),
          static_cast<std::ptrdiff_t>(e.n[0] * e.n[1] * e.n[2])};
}

// Visits the values of one block at `offset`: g(block index, field index).
template <class G>
void block_values(const Strides& s, std::size_t offset, const std::array<std::size_t, 4>& b, const G& g) {
  for (std::size_t w = 0; w < b[3]; ++w)
    for (std::size_t z = 0; z < b[2]; ++z)
      for (std::size_t y = 0; y < b[1]; ++y) {
        const std::size_t at = offset + y * s[1] + z * s[2] + w * s[3];
        const std::size_t k = 4 * y + 16 * z + 64 * w;
        for (std::size_t x = 0; x < b[0]; ++x) g(k + x, at + x);
      }
}

}  // namespace varnel::zfpc
