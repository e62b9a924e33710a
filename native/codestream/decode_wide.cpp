// The 64-bit decode path (decode_wide.hpp).
#include "codestream/decode_wide.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "core/big_buffer.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt_wide.hpp"

namespace varnel::codestream {
namespace {

// Words (bit 63 the sign, the band's top bit-plane at bit 62) of a w x h
// block into coefficients of a band with M_b = magb: magnitude >> (63 - M_b).
void words_to_coefficients(const std::uint64_t* words, std::size_t w, std::size_t h,
                           std::int64_t* dst, std::size_t stride, unsigned magb) {
  const unsigned shift = 63u - std::min(magb, 63u);
  for (std::size_t y = 0; y < h; ++y, dst += stride) {
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint64_t word = words[y * w + x];
      const auto m = static_cast<std::int64_t>((word & (~std::uint64_t{0} >> 1)) >> shift);
      dst[x] = (word >> 63) != 0 ? -m : m;
    }
  }
}

}  // namespace

Result<void> run_decode_wide(const Codestream& cs, const DecodePlan& plan,
                             std::span<const std::span<std::int64_t>> planes) {
  VARNEL_TRY(prepare_planes(plan, planes));
  const std::size_t width = plan.width, height = plan.height;
  const bool causal = (cs.cod.cblk_style & kCblkCausal) != 0;
  htj2k::WideBlockDecoder decoder;
  std::vector<std::uint64_t> words(htj2k::MAX_BLOCK_AREA);
  for (const BlockJob& job : plan.jobs) {
    const PlaneWindow& w = job.window;
    // The plan keeps every window inside its plane and within the block
    // area; the decoder wants a zero window of its own (stride w.width).
    const std::size_t n = std::size_t{w.width} * w.height;
    std::fill_n(words.data(), std::min(n, words.size()), 0);
    VARNEL_TRY(decoder.decode(plan.joined.subspan(job.data, std::size_t{job.lcup} + job.lref),
                              std::span(words.data(), std::min(n, words.size())), w.width,
                              w.height, w.width, job.missing_msbs,
                              {job.lcup, job.lref, job.passes}, causal));
    words_to_coefficients(words.data(), w.width, w.height, planes[w.component].data() + w.plane,
                          width, job.magb);
  }
  const std::size_t area = width * height;
  for (const auto& plane : planes)
    VARNEL_TRY(htj2k::inverse_53_wide(plane.first(area), width, height, plan.resolution));
  return ok();
}

Result<void> run_decode_wide_clamped(const Codestream& cs, const DecodePlan& plan,
                                     std::span<const std::span<std::int32_t>> planes,
                                     bool dc_shift) {
  const std::size_t comps = plan.components, area = plan.width * plan.height;
  if (planes.size() != comps) return std::unexpected(invalid("one plane per component required"));
  for (const auto& p : planes)
    if (p.size() < area) return std::unexpected(invalid("plane buffer smaller than width * height"));
  std::vector<BigArray<std::int64_t>> storage;
  std::vector<std::span<std::int64_t>> wide;
  for (std::size_t c = 0; c < comps; ++c) {
    storage.emplace_back(std::max<std::size_t>(area, 1));
    if (storage.back().empty())
      return std::unexpected(unsupported("image too large to decode in memory"));
    wide.emplace_back(storage.back().data(), area);
  }
  VARNEL_TRY(run_decode_wide(cs, plan, wide));
  // Reversible component transform (T.800 G.2), inverse; the sums wrap
  // (only corrupt input gets near the 64-bit range).
  if (comps >= 3 && cs.cod.mct == 1) {
    auto add = [](std::int64_t a, std::int64_t b) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
    };
    for (std::size_t i = 0; i < area; ++i) {
      const std::int64_t y0 = wide[0][i], y1 = wide[1][i], y2 = wide[2][i];
      const std::int64_t g = add(y0, -(add(y1, y2) >> 2));
      wide[0][i] = add(y2, g);
      wide[1][i] = g;
      wide[2][i] = add(y1, g);
    }
  }
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  for (std::size_t c = 0; c < comps; ++c) {
    const SizComponent& sc = cs.siz.components[c];
    std::int32_t* out = planes[c].data();
    if (dc_shift && !sc.is_signed) {
      // Clamped to the component's range, then shifted (T.800 G.1.2).
      const unsigned d = std::clamp<unsigned>(sc.depth, 1, 38);
      const std::int64_t half = std::int64_t{1} << (d - 1);
      for (std::size_t i = 0; i < area; ++i)
        out[i] = static_cast<std::int32_t>(
            std::clamp(std::clamp(wide[c][i], -half, half - 1) + half, kMin, kMax));
    } else {
      for (std::size_t i = 0; i < area; ++i)
        out[i] = static_cast<std::int32_t>(std::clamp(wide[c][i], kMin, kMax));
    }
  }
  return ok();
}

}  // namespace varnel::codestream
