// The writer's 64-bit path (coded_planes.hpp): planes whose K_max exceeds
// what 32-bit words hold are widened, transformed and coded in 64 bits. The
// result is laid out as the 32-bit path lays out its own, so the packets,
// headers and index that follow are the same code.
#include <algorithm>

#include "codestream/coded_planes.hpp"
#include "core/big_buffer.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt_wide.hpp"

namespace varnel::codestream {
namespace {

// Codes every block of `band` of the 64-bit plane, appending the cleanup
// segments to `body`. Each coefficient becomes |c| << (63 - M_b) with its
// sign in bit 63: the band's top bit-plane lands at bit 62, and with
// M_b - 1 missing MSBs the cleanup pass codes |c| itself.
Result<CodedBand> code_band_wide(const std::int64_t* coeffs, std::size_t stride, const Band& band,
                                 std::uint32_t cbw, std::uint32_t cbh, std::uint32_t magb,
                                 htj2k::WideBlockEncoder& encoder, std::vector<std::uint64_t>& words,
                                 std::vector<std::uint8_t>& body) {
  CodedBand out;
  const BlockGrid grid = BlockGrid::of(band, cbw, cbh);
  out.across = grid.across;
  out.down = grid.down;
  out.blocks.resize(grid.across * grid.down);
  const unsigned shift = 63u - magb;
  std::size_t k = 0;
  for (std::uint64_t j = 0; j < grid.down; ++j) {
    for (std::uint64_t i = 0; i < grid.across; ++i, ++k) {
      const BlockRect rect = grid.block(i, j);
      const std::size_t w = rect.width, h = rect.height;
      const std::int64_t* src = coeffs + (band.y0 + rect.y0) * stride + band.x0 + rect.x0;
      std::uint64_t any = 0;
      for (std::size_t y = 0; y < h; ++y, src += stride) {
        for (std::size_t x = 0; x < w; ++x) {
          const std::int64_t c = src[x];
          const std::uint64_t m = c < 0 ? 0 - static_cast<std::uint64_t>(c) : static_cast<std::uint64_t>(c);
          any |= m;
          words[y * w + x] = (c < 0 ? std::uint64_t{1} << 63 : 0) | m << shift;
        }
      }
      if (any == 0) continue;  // not included in its packet
      const std::size_t at = body.size();
      VARNEL_ASSIGN_OR_RETURN(auto lcup, encoder.encode(std::span<const std::uint64_t>(words.data(), w * h),
                                                        w, h, w, magb - 1, body));
      out.blocks[k] = {at, static_cast<std::uint32_t>(lcup), static_cast<std::uint8_t>(magb - 1)};
    }
  }
  return out;
}

}  // namespace

Result<CodedPlanes> code_planes_wide(std::size_t width, std::size_t height, std::size_t comps,
                                     std::uint8_t depth, const EncodeParams& params,
                                     const Quant& quant, const ShiftedPlane& next_plane) {
  const std::uint32_t cbw = params.block_width, cbh = params.block_height;
  const unsigned levels = params.levels;
  const std::size_t area = width * height;  // the caller's plane holds it
  CodedPlanes out;
  out.body.reserve(std::min<std::size_t>(comps * (area * ((depth + 7u) / 8u) + 4096),
                                         std::size_t{1} << 30));
  out.coded.resize(comps);
  out.bands.resize(levels + 1);
  for (unsigned r = 0; r <= levels; ++r)
    out.bands[r] = bands_of_resolution(width, height, static_cast<std::uint8_t>(levels),
                                       static_cast<std::uint8_t>(r));
  BigArray<std::int64_t> plane(area);
  if (plane.empty()) return std::unexpected(unsupported("image too large to encode in memory"));
  htj2k::WideBlockEncoder encoder;
  std::vector<std::uint64_t> words(htj2k::MAX_BLOCK_AREA);
  for (std::size_t c = 0; c < comps; ++c) {
    VARNEL_ASSIGN_OR_RETURN(const std::span<std::int32_t> samples, next_plane(c));
    std::copy_n(samples.data(), area, plane.data());
    VARNEL_TRY(htj2k::forward_53_wide(std::span(plane.data(), area), width, height,
                                      static_cast<std::uint8_t>(levels)));
    out.coded[c].resize(levels + 1);
    for (unsigned r = 0; r <= levels; ++r) {
      const auto bw = static_cast<std::uint32_t>(effective_block_side(cbw, static_cast<std::uint8_t>(r)));
      const auto bh = static_cast<std::uint32_t>(effective_block_side(cbh, static_cast<std::uint8_t>(r)));
      for (const Band& b : out.bands[r]) {
        VARNEL_ASSIGN_OR_RETURN(auto cb, code_band_wide(plane.data(), width, b, bw, bh,
                                                        quant.band_magb(b.resolution, b.kind),
                                                        encoder, words, out.body));
        out.coded[c][r].push_back(std::move(cb));
      }
    }
  }
  return out;
}

}  // namespace varnel::codestream
