// varnel codestream writer: one image (one or more equally sized planes of
// integer samples) becomes one lossless HTJ2K codestream in memory.
//
// The profile written is fixed: one tile at the origin, one tile-part, one
// quality layer, maximal precincts, reversible 5/3, HT code-blocks with a
// single cleanup pass, no SOP/EPH; TLM and PLT index segments on request.
// Main header: SOC, SIZ, CAP, COD, QCD, COM, TLM (the reader takes any order).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "codestream/geometry.hpp"
#include "codestream/packet.hpp"
#include "codestream/quant.hpp"
#include "core/error.hpp"
#include "htj2k/dwt/dwt.hpp"
#include "core/plane.hpp"

namespace varnel::codestream {

// Coding parameters handed to the writer by the chunk encode driver.
struct EncodeParams {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> precincts;  // must be empty
  std::uint16_t block_width = 64;
  std::uint16_t block_height = 64;
  bool causal = false;        // COD code-block style bit 3
  std::uint16_t layers = 1;   // must be 1
  bool irreversible = false;  // must be false
  bool index = true;          // write TLM and PLT
  std::uint8_t progression = 2;  // 0 LRCP, 1 RLCP, 2 RPCL, 3 PCRL, 4 CPRL
  std::uint8_t levels = 5;       // decomposition levels N_L
};

// The complete codestream (SOC .. EOC) of `planes` (the components, in
// order), whose samples are declared to be `depth` bits, signed or not.
Result<std::vector<std::uint8_t>> encode_image_with_depth(std::span<const CoeffPlane> planes,
                                                          std::uint8_t depth, bool is_signed,
                                                          const EncodeParams& params);

// encode_image_with_depth for a single plane whose samples the writer may
// overwrite: they are level-shifted and transformed in place, and the
// codestream is appended to `out` (nothing is appended on failure). Same
// checks and errors, plus InvalidArgument "plane buffer smaller than width *
// height" when `samples` is shorter than the plane. With `level_shifted` the
// caller vouches that the samples are in the declared range and already
// level-shifted (their pass that widens them did both), and the writer
// neither checks nor shifts them.
Result<void> encode_plane_in_place(std::span<std::int32_t> samples, std::size_t width,
                                   std::size_t height, std::uint8_t depth, bool is_signed,
                                   const EncodeParams& params, std::vector<std::uint8_t>& out,
                                   bool level_shifted = false);

// Where a written codestream's packets end, per resolution 0..N_L: the
// furthest end, from SOC, of any packet of that resolution (the positions
// its PLT segments give). The chunk index is made from these
// (PlaneEntry::from_resolution_ends) without parsing the codestream back.
using ResolutionEnds = std::vector<std::uint64_t>;

// encode_plane_in_place for a plane whose rows `rows` gives in order,
// level-shifted and within the declared range (the caller vouches for both):
// the first wavelet level is computed as they stream in
// (htj2k::forward_53_rows), so the plane is never held untransformed.
// `scratch` (at least width * height samples, any contents) receives the
// coefficients. Same checks and errors as encode_plane_in_place, all made
// before any row is asked for. With `ends`, also where the packets end.
Result<void> encode_plane_from_rows(std::span<std::int32_t> scratch, std::size_t width,
                                    std::size_t height, std::uint8_t depth, bool is_signed,
                                    const EncodeParams& params, htj2k::RowSource rows,
                                    std::vector<std::uint8_t>& out, ResolutionEnds* ends = nullptr);

// A copy of `samples`, reduced by 2^(depth-1) when unsigned (32-bit wrapping);
// signed samples are copied unchanged.
std::vector<std::int32_t> level_shifted(std::span<const std::int32_t> samples, std::uint8_t depth,
                                        bool is_signed);

// Codes every code-block of one band of a transformed plane (`coeffs`, row
// stride `stride`) with nominal blocks of cbw x cbh. The cleanup segments are
// appended to `storage`, and the returned blocks' data are views into it:
// `storage` must not grow while they are in use.
Result<BandBlocks> code_band(std::span<const std::int32_t> coeffs, std::size_t stride,
                             const Band& band, std::uint32_t cbw, std::uint32_t cbh,
                             const Quant& quant, std::vector<std::uint8_t>& storage);

}  // namespace varnel::codestream
