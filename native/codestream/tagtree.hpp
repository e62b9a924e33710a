// varnel codestream: the tag tree of packet headers (T.800 B.10.2).
//
// A quad-tree over a band's code-block grid: level 0 holds one node per
// code-block (the leaves), each level above halves the grid (rounding up)
// until a single root, and one further 1 x 1 node above the root is always 0
// so the root is coded relative to 0. Level k has ceil(w / 2^k) x
// ceil(h / 2^k) nodes (at least 1 x 1), stored row by row; leaf (x, y) has the
// ancestor (x >> k, y >> k) at level k.
//
// The tree codes, for the one quality layer of this codec, code-block
// inclusion (threshold 1) and the number of missing MSBs (full value), in
// both directions. All levels live in one buffer that `reset` reuses.
// `SparseTagTree` decodes the same trees keeping only the nodes read so far,
// for grids far larger than the bits that could code them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "codestream/bitio.hpp"
#include "core/error.hpp"

namespace varnel::codestream {

class TagTree {
 public:
  TagTree() = default;

  // A tree over width x height leaves whose leaf values are `fill` and whose
  // other values and all states are 0. Fails with InvalidArgument "tag tree
  // too large" when the node count overflows the address space.
  static Result<TagTree> make(std::uint64_t width, std::uint64_t height, std::uint8_t fill);
  // The same, in place, reusing the storage.
  Result<void> reset(std::uint64_t width, std::uint64_t height, std::uint8_t fill);

  // Sets every node above the leaves to the minimum of its existing
  // children and the top node to 0. States are left alone.
  void reduce();

  // Number of levels, leaves and top node included (f + 1).
  std::size_t levels() const { return level_count_; }
  std::uint64_t level_width(std::size_t k) const { return widths_[k]; }
  std::uint64_t level_height(std::size_t k) const { return heights_[k]; }

  std::uint8_t value(std::size_t k, std::uint64_t x, std::uint64_t y) const {
    return values_[index(k, x, y)];
  }
  std::uint8_t state(std::size_t k, std::uint64_t x, std::uint64_t y) const {
    return states_[index(k, x, y)];
  }
  void set_leaf(std::uint64_t x, std::uint64_t y, std::uint8_t v) { values_[index(0, x, y)] = v; }
  std::uint8_t leaf(std::uint64_t x, std::uint64_t y) const { return values_[index(0, x, y)]; }

  // Coordinates must lie inside the level's grid. A default-constructed tree
  // (no levels) includes nothing and codes nothing.

  // Encoder side (after the leaves are set and `reduce` has run).
  // Inclusion of leaf (x, y) with threshold 1; returns whether it is included
  // (leaf value 0).
  bool encode_inclusion(HeaderBitWriter& bits, std::uint64_t x, std::uint64_t y);
  // Value of leaf (x, y): for each not yet coded node from the root down,
  // (value - parent value) zero bits and a one bit.
  void encode_value(HeaderBitWriter& bits, std::uint64_t x, std::uint64_t y);

  // Decoder side (on a tree made with fill 0).
  // Inclusion of leaf (x, y) with threshold 1.
  Result<bool> decode_inclusion(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y);
  // Value of leaf (x, y); node values saturate at 255.
  Result<std::uint8_t> decode_value(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y);
  // Inclusion of leaf (x, y) for a walk along a row: 0 when it is
  // included, else the first column past the span of the node that
  // excludes it (every leaf of the row before that column is excluded too,
  // and reading their inclusion would take no bits).
  Result<std::uint64_t> decode_inclusion_run(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y);

 private:
  // f + 1 levels with f = ceil(log2 side) + 1 <= 65 for 64-bit sides.
  static constexpr std::size_t kMaxLevels = 66;

  std::size_t index(std::size_t k, std::uint64_t x, std::uint64_t y) const {
    return offsets_[k] + static_cast<std::size_t>(x) + static_cast<std::size_t>(y) * widths_[k];
  }

  std::vector<std::uint8_t> values_;
  std::vector<std::uint8_t> states_;
  std::size_t offsets_[kMaxLevels] = {};
  std::uint64_t widths_[kMaxLevels] = {};
  std::uint64_t heights_[kMaxLevels] = {};
  std::size_t level_count_ = 0;
};

// Decoder side of a tag tree (fill 0) that stores only the nodes whose bits
// it has read, so its memory grows with the bits, not with the grid: the
// packet header parser takes it for a band whose dense trees the rest of the
// packet data could not justify. Same answers as TagTree's decoder.
class SparseTagTree {
 public:
  // Fails as TagTree::reset does.
  Result<void> reset(std::uint64_t width, std::uint64_t height);
  Result<std::uint8_t> decode_value(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y);
  Result<std::uint64_t> decode_inclusion_run(HeaderBitReader& bits, std::uint64_t x, std::uint64_t y);

 private:
  static constexpr std::size_t kMaxLevels = 66;
  static constexpr std::uint16_t kCoded = 0x100;  // above the 8-bit value

  std::uint64_t key(std::size_t k, std::uint64_t x, std::uint64_t y) const {
    return (std::uint64_t{k} << 56) | ((x >> k) + (y >> k) * widths_[k]);
  }
  // Value and kCoded of a node; 0 for one not read yet.
  std::uint16_t node(std::uint64_t key) const {
    const auto it = nodes_.find(key);
    return it == nodes_.end() ? 0 : it->second;
  }

  std::unordered_map<std::uint64_t, std::uint16_t> nodes_;
  std::uint64_t widths_[kMaxLevels] = {};
  std::size_t level_count_ = 0;
};

}  // namespace varnel::codestream
