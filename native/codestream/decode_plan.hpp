// Resolution-limited decode in two steps, for callers that own the sample
// planes (the chunk driver reuses one plane for every plane of a chunk).
//
// `plan_decode` walks the packets up to resolution H = min(target, N_L):
// it parses every packet header and locates every code-block, without
// allocating anything large, so a codestream that cannot hold what it
// declares fails here. `run_decode` then decodes the blocks straight into
// the caller's planes (W_H x H_H samples each, any contents on entry: the
// windows of blocks that are not coded are zeroed, the rest is written by
// the block decoder), undoes the 5/3 transform and the component transform,
// and, if asked, the DC level shift. `Codestream::decode_to_resolution` is
// these two steps with planes of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codestream/reader.hpp"
#include "htj2k/dwt/dwt.hpp"
#include "core/error.hpp"

namespace varnel::codestream {

// One rectangle of one component plane (offset of its top-left sample).
struct PlaneWindow {
  std::size_t plane = 0;
  std::uint32_t component = 0;
  std::uint32_t width = 0, height = 0;
};

// One code-block to decode: where its bytes are and where it goes.
struct BlockJob {
  PlaneWindow window;
  std::size_t data = 0;  // offset in the joined packet data
  std::uint32_t lcup = 0, lref = 0;
  std::uint8_t missing_msbs = 0;
  std::uint8_t passes = 0;
  std::uint8_t magb = 0;
};

// Move-only: `joined` views either the codestream's bytes (one tile-part)
// or `joined_storage` (several). A copy's `joined` would still view the
// original's storage; a move keeps the vector's buffer, and with it the view.
struct DecodePlan {
  std::size_t width = 0, height = 0;  // W_H x H_H
  std::size_t components = 0;
  std::uint8_t resolution = 0;        // H
  std::vector<BlockJob> jobs;
  std::vector<PlaneWindow> zeros;     // code-block windows no packet codes
  std::vector<std::uint8_t> joined_storage;  // tile-part bodies, when several
  std::span<const std::uint8_t> joined;      // the joined packet data

  DecodePlan() = default;
  DecodePlan(DecodePlan&&) = default;
  DecodePlan& operator=(DecodePlan&&) = default;
  DecodePlan(const DecodePlan&) = delete;
  DecodePlan& operator=(const DecodePlan&) = delete;
};

Result<DecodePlan> plan_decode(const Codestream& cs, std::uint8_t target);

// plan_decode for a codestream whose `check_supported` has already passed
// (the chunk driver checks each plane's codestream once, when it parses it).
Result<DecodePlan> plan_decode_checked(const Codestream& cs, std::uint8_t target);

// planes: one per component, each at least width * height samples. A
// codestream that needs the 64-bit datapath (quant.hpp) is decoded by
// run_decode_wide_clamped (decode_wide.hpp).
Result<void> run_decode(const Codestream& cs, const DecodePlan& plan,
                        std::span<const std::span<std::int32_t>> planes, bool dc_shift);

// Checks the planes (32-bit or 64-bit samples) against the plan and zeroes
// the windows of the blocks no packet codes: the first step of run_decode
// and of run_decode_wide.
template <class Sample>
Result<void> prepare_planes(const DecodePlan& plan, std::span<const std::span<Sample>> planes) {
  const std::size_t width = plan.width, height = plan.height;
  if (planes.size() != plan.components)
    return std::unexpected(invalid("one plane per component required"));
  for (const auto& p : planes)
    if (p.size() / std::max<std::size_t>(width, 1) < height)
      return std::unexpected(invalid("plane buffer smaller than width * height"));
  for (const PlaneWindow& w : plan.zeros) {
    Sample* row = planes[w.component].data() + w.plane;
    for (std::uint32_t y = 0; y < w.height; ++y, row += width) std::fill_n(row, w.width, Sample{0});
  }
  return {};
}

// run_decode for a one-component plan without the DC level shift, whose rows
// go to `sink` top to bottom, without a plane: `workspace` (at least
// `rows_workspace_samples(plan)` samples, any contents) holds the coarsest
// level's LL band and, for every level, one strip of its high-pass bands, a
// row of code-blocks, decoded just before the inverse transform reads it
// (htj2k::inverse_53_levels_rows); a level whose bands have M_b <= 15
// keeps its strip in 16-bit coefficients, two to a workspace sample. So a
// decode needs the coarsest band and a row of blocks per level (a
// twentieth of a large plane with five levels in 16 bits, a tenth in 32),
// and every level's rows are restored from cache. Unsupported for a
// codestream that needs the 64-bit datapath (decode_wide.hpp streams it
// with 64-bit strips: run_decode_wide_rows).
std::size_t rows_workspace_samples(const DecodePlan& plan);
Result<void> run_decode_rows(const Codestream& cs, const DecodePlan& plan,
                             std::span<std::int32_t> workspace, htj2k::RowSink sink);

// The DC level shift (T.800 G.1.2) of one unsigned component, in place,
// clamped to the component's range; signed components are left alone.
void dc_shift_component(std::span<std::int32_t> samples, const SizComponent& component);

}  // namespace varnel::codestream
