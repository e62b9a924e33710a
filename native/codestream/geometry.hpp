// varnel codestream: where the sub-bands of each resolution lie in a
// transformed plane, and how a sub-band is cut into code-blocks.
//
// The codec codes one tile at the origin of the reference grid without
// subsampling, so every size is a plain halving of the image size (rounding
// up). The transformed plane keeps the Mallat layout with the row stride of
// the full image width: `Band::x0/y0` address coefficients in that plane.
#pragma once

#include <cstdint>
#include <vector>

namespace varnel::codestream {

// Sub-band kinds, in the order T.800 numbers them within a resolution.
enum BandKind : std::uint8_t { kLL = 0, kHL = 1, kLH = 2, kHH = 3 };

// One sub-band rectangle of a transformed plane (either side may be 0).
struct Band {
  std::uint64_t x0 = 0;
  std::uint64_t y0 = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint8_t resolution = 0;
  std::uint8_t kind = kLL;

  bool empty() const { return width == 0 || height == 0; }
  bool operator==(const Band&) const = default;
};

// n halved `times` times, rounding up at every halving (ceil(n / 2^times)).
std::uint64_t halved(std::uint64_t n, unsigned times);

// The bands of resolution r of an image of width x height transformed with
// `levels` decomposition levels: { LL } for r = 0, { HL, LH, HH } for
// 1 <= r <= levels, nothing for r > levels.
std::vector<Band> bands_of_resolution(std::uint64_t width, std::uint64_t height,
                                      std::uint8_t levels, std::uint8_t r);

// The code-block side that applies at resolution r with maximal precincts
// (PPx = PPy = 15): a code-block may not exceed the precinct in the sub-band,
// 2^15 at resolution 0 and 2^14 above it.
std::uint64_t effective_block_side(std::uint64_t side, std::uint8_t r);

// Position and size of one code-block, relative to its band's top-left corner.
struct BlockRect {
  std::uint64_t x0 = 0;
  std::uint64_t y0 = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  bool operator==(const BlockRect&) const = default;
};

// The code-block grid of a band: blocks of nominal cbw x cbh anchored at the
// band's corner, numbered in raster order; the last column and row may be
// smaller. An empty band has no blocks (across = down = 0).
struct BlockGrid {
  std::uint64_t band_width = 0;
  std::uint64_t band_height = 0;
  std::uint64_t cbw = 1;
  std::uint64_t cbh = 1;
  std::uint64_t across = 0;
  std::uint64_t down = 0;

  // cbw and cbh must be at least 1 (they are powers of two in practice).
  static BlockGrid of(std::uint64_t band_width, std::uint64_t band_height, std::uint64_t cbw,
                      std::uint64_t cbh);
  static BlockGrid of(const Band& band, std::uint64_t cbw, std::uint64_t cbh) {
    return of(band.width, band.height, cbw, cbh);
  }

  // Block (i, j): column i < across, row j < down.
  BlockRect block(std::uint64_t i, std::uint64_t j) const;
};

}  // namespace varnel::codestream
