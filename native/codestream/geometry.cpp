#include "codestream/geometry.hpp"

#include <algorithm>

namespace varnel::codestream {

std::uint64_t halved(std::uint64_t n, unsigned times) {
  // n / 2 + n % 2 never overflows, unlike (n + 1) / 2 at the top of the range.
  for (unsigned i = 0; i < times && n > 1; ++i) n = n / 2 + (n & 1);
  return n;
}

std::vector<Band> bands_of_resolution(std::uint64_t width, std::uint64_t height,
                                      std::uint8_t levels, std::uint8_t r) {
  if (r > levels) return {};
  if (r == 0) {
    return {Band{0, 0, halved(width, levels), halved(height, levels), 0, kLL}};
  }
  // Resolution r is the image halved N - r times; resolution r - 1, whose
  // size is (a, b), is the low-pass corner of its decomposition level.
  const std::uint64_t wr = halved(width, levels - r);
  const std::uint64_t hr = halved(height, levels - r);
  const std::uint64_t a = halved(wr, 1);
  const std::uint64_t b = halved(hr, 1);
  return {
      Band{a, 0, wr - a, b, r, kHL},
      Band{0, b, a, hr - b, r, kLH},
      Band{a, b, wr - a, hr - b, r, kHH},
  };
}

std::uint64_t effective_block_side(std::uint64_t side, std::uint8_t r) {
  const std::uint64_t precinct = r == 0 ? std::uint64_t{1} << 15 : std::uint64_t{1} << 14;
  return std::min(side, precinct);
}

static std::uint64_t blocks_along(std::uint64_t extent, std::uint64_t side) {
  return extent / side + (extent % side != 0 ? 1 : 0);
}

BlockGrid BlockGrid::of(std::uint64_t band_width, std::uint64_t band_height, std::uint64_t cbw,
                        std::uint64_t cbh) {
  BlockGrid g;
  g.band_width = band_width;
  g.band_height = band_height;
  g.cbw = std::max<std::uint64_t>(cbw, 1);
  g.cbh = std::max<std::uint64_t>(cbh, 1);
  if (band_width != 0 && band_height != 0) {
    g.across = blocks_along(band_width, g.cbw);
    g.down = blocks_along(band_height, g.cbh);
  }
  return g;
}

BlockRect BlockGrid::block(std::uint64_t i, std::uint64_t j) const {
  BlockRect rect;
  rect.x0 = i * cbw;
  rect.y0 = j * cbh;
  rect.width = std::min(cbw, band_width - rect.x0);
  rect.height = std::min(cbh, band_height - rect.y0);
  return rect;
}

}  // namespace varnel::codestream
