// varnel codestream: what the writer keeps of a coded image until it writes
// the packets, and the 64-bit path that codes planes too deep for the
// 32-bit one (writer_wide.cpp). Internal to the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "codestream/geometry.hpp"
#include "codestream/quant.hpp"
#include "codestream/writer.hpp"
#include "core/error.hpp"

namespace varnel::codestream {

// A coded block: its bytes are a range of the one body buffer.
struct CodedBlock {
  std::size_t offset = 0;
  std::uint32_t lcup = 0;  // 0: not included
  std::uint8_t missing_msbs = 0;
};

struct CodedBand {
  std::uint64_t across = 0;
  std::uint64_t down = 0;
  std::vector<CodedBlock> blocks;  // raster order
};

// Every plane's coded blocks: the cleanup segments of all planes in one
// body buffer, in packet-body order (component, resolution, band, raster).
struct CodedPlanes {
  std::vector<std::uint8_t> body;
  std::vector<std::vector<std::vector<CodedBand>>> coded;  // [c][r][band]
  std::vector<std::vector<Band>> bands;                    // [r]
};

// Component c's samples, level-shifted and untransformed, valid until the
// next call.
using ShiftedPlane = std::function<Result<std::span<std::int32_t>>(std::size_t c)>;

// The coded planes of a codestream whose K_max needs 64-bit words
// (needs_wide_datapath): each plane is widened to 64 bits, transformed
// (htj2k/dwt/dwt_wide.hpp) and coded (htj2k/block/block64.hpp).
Result<CodedPlanes> code_planes_wide(std::size_t width, std::size_t height, std::size_t comps,
                                     std::uint8_t depth, const EncodeParams& params,
                                     const Quant& quant, const ShiftedPlane& next_plane);

}  // namespace varnel::codestream
