// varnel htj2k: the reversible 5/3 wavelet on 64-bit coefficients, for
// planes whose samples are too deep for the 32-bit transform of dwt.hpp
// (32-bit samples: the transform adds up to 4 bits a level).
//
// Same layout, level order and results as `forward_53` / `inverse_53` on
// any plane both can hold; the arithmetic wraps in 64 bits, so malformed
// coefficients cannot overflow. Plain scalar code, over the whole plane with
// one row or column of scratch, or streamed row by row without a plane
// (`inverse_53_wide_levels_rows`): only data that needs it takes this path.
// Fails only with InvalidArgument "plane buffer smaller than width * height"
// (also for width 0 or height 0), before touching the plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace varnel::htj2k {

Result<void> forward_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels);

Result<void> inverse_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels);

// The 64-bit counterparts of dwt.hpp's RowSink and LevelRows, with the same
// contracts: rows of the restored plane in order; and for level k (0 the
// finest, W_k x H_k its region) the Mallat rows r of its bands, after
// ready(context, k, j) announced low-pass row j and high-pass row j.
// row(context, k, r, &low, &high) points high at the floor(W_k / 2)
// coefficients right of the middle and, for the high-pass rows
// (r >= ceil(H_k / 2)) and the low-pass rows of the coarsest level only,
// low at the ceil(W_k / 2) left of it; a finer level's LL rows are the
// coarser level's restored rows. With no level to undo, ready(context, 0,
// y) and then row(context, 0, y, ...) point low at plane row y. Returning
// false stops the transform.
struct WideRowSink {
  void* context = nullptr;
  bool (*take)(void* context, std::size_t y, const std::int64_t* row) = nullptr;
};

struct WideLevelRows {
  void* context = nullptr;
  bool (*ready)(void* context, unsigned level, std::size_t j) = nullptr;
  void (*row)(void* context, unsigned level, std::size_t r, const std::int64_t** low,
              const std::int64_t** high) = nullptr;
};

// `inverse_53_wide` without a plane: every level undone as one stream, in
// four rows of its own, the coarsest pulling its rows from `bands`, each
// finer level its LL rows from the next coarser one, the finest handing its
// rows to `sink`. Results are those of `inverse_53_wide` bit for bit.
// Fails with InvalidArgument when width or height is 0.
Result<void> inverse_53_wide_levels_rows(std::size_t width, std::size_t height,
                                         std::uint8_t levels, WideLevelRows bands,
                                         WideRowSink sink);

}  // namespace varnel::htj2k
