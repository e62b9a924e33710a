// varnel htj2k: the reversible 5/3 wavelet transform (T.800 Annex F, integer
// lifting), in two dimensions, in place, over any number of levels.
//
// The plane is row-major with row stride `width`; only its first
// width * height elements are touched. After `forward_53` with L levels the
// sub-bands sit in the Mallat layout: at level k (region Wk x Hk, Wk =
// ceil(width / 2^k)) LL is [0, ceil(Wk/2)) x [0, ceil(Hk/2)), HL to its right,
// LH below it, HH diagonal; LL is the region of level k + 1. Each level runs
// its vertical lifting before its horizontal lifting (the order is part of
// the result). Levels past the first 1 x 1 region are no-ops, so any count up
// to 255 is accepted; `inverse_53` with the same arguments restores the plane
// bit for bit.
//
// Both operations fail only with InvalidArgument "plane buffer smaller than
// width * height" (also for width 0 or height 0), before touching the plane.
// They are re-entrant and keep no state; the row kernels (AVX2 or portable
// SSE2) are chosen once per process (core/cpu.hpp, VARNEL_ISA).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace varnel::htj2k {

Result<void> forward_53(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                        std::uint8_t levels);

Result<void> inverse_53(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                        std::uint8_t levels);

// Fills row y of a plane to transform (`width` samples) when asked; rows are
// asked for in order, y = 0 .. height - 1, each once.
struct RowSource {
  void* context = nullptr;
  void (*fill)(void* context, std::size_t y, std::int32_t* row) = nullptr;
};

// `forward_53` of the plane whose rows `source` gives, into `plane`: the
// finest level is computed as the rows stream in, in four row buffers, and
// its sub-band rows are written to their places in the Mallat layout (so at
// that level the plane is only written, once); the coarser levels then run
// in place as in `forward_53`. The result is that of `forward_53` on the
// plane of those rows. Same checks and failure as `forward_53`, before any
// row is asked for.
Result<void> forward_53_rows(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                             std::uint8_t levels, RowSource source);

// Takes the rows of a restored plane in order, y = 0 .. height - 1, each
// `width` samples that stay valid until the call returns; returning false
// stops the transform.
struct RowSink {
  void* context = nullptr;
  bool (*take)(void* context, std::size_t y, const std::int32_t* row) = nullptr;
};

// `inverse_53` with the restored rows handed to `sink` instead of written
// back: every level is undone as one stream in four row buffers of its own
// (as by `inverse_53_levels_rows`), so the plane is read once and not
// written. The checks and their failure are those of `inverse_53`; a sink
// that stops the transform does not make it fail.
// Lets the caller fill the finest level's high-pass coefficients just in
// time: before the streamed finest level first reads its HL row j (plane
// row j, right of column ceil(width / 2)) and high-pass row j (plane row
// ceil(height / 2) + j, when there is one), it calls ready(context, j), for
// j = 0 .. ceil(height / 2) - 1 in order. The region of the finest level's
// low-pass band, which the coarser levels read, must be complete on entry.
// Returning false stops the transform (as a sink does). Not called when the
// transform has no level.
struct RowGate {
  void* context = nullptr;
  bool (*ready)(void* context, std::size_t j) = nullptr;
};

Result<void> inverse_53_rows(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                             std::uint8_t levels, RowSink sink, RowGate gate = {});

// The levels of an inverse with `levels` levels that do something: a level
// whose region is 1 x 1 and every level past it do nothing.
unsigned active_levels(std::size_t width, std::size_t height, std::uint8_t levels);

// Where the coefficients of every level are when they are not one plane.
// Level k (0 = finest, up to active_levels - 1) works on the region
// W_k x H_k (W_0 x H_0 = width x height, W_k+1 = ceil(W_k / 2), H_k+1 =
// ceil(H_k / 2)) whose Mallat-layout rows are: r < ceil(H_k / 2) a low-pass
// row, the LL band left of column ceil(W_k / 2) and HL right of it;
// otherwise high-pass row r - ceil(H_k / 2), LH then HH.
// row(context, k, r, &low, &high) points high at the floor(W_k / 2)
// coefficients right of the middle and, for high-pass rows and for the
// low-pass rows of the coarsest level only, low at the ceil(W_k / 2) left of
// it; the LL rows of a finer level are the restored rows of the next coarser
// one, which never leave the transform's own row buffers (low.wide is set
// to them on entry). The high half may be given in 16 bits (BandRow.narrow),
// and then the low half of a high-pass row too; the transform widens them
// as it reads them. Before level k
// first reads its low-pass row j and its high-pass row j (when there is
// one) it calls ready(context, k, j), for j = 0 .. ceil(H_k / 2) - 1 in
// order; row(k, r) is asked for after that and read before the next
// ready(k, ...). Returning false stops the transform (as a sink does).
// When no level does anything, row(context, 0, y, &low, &high) points
// low.wide at plane row y, which goes to the sink as it is (ready is not
// called).
// Coefficients of a row held in 32 or in 16 bits: one of the two is set.
struct BandRow {
  const std::int32_t* wide = nullptr;
  const std::int16_t* narrow = nullptr;
};

struct LevelRows {
  void* context = nullptr;
  bool (*ready)(void* context, unsigned level, std::size_t j) = nullptr;
  void (*row)(void* context, unsigned level, std::size_t r, BandRow* low, BandRow* high) = nullptr;
};

// `inverse_53_rows` without a plane: every level is undone as one stream, the
// coarsest pulling its rows from `bands` and every finer level pulling its
// LL rows from the next coarser level as it restores them, and the finest
// level's rows go to `sink`. The working memory is four rows per level.
// Fails with InvalidArgument when width or height is 0.
Result<void> inverse_53_levels_rows(std::size_t width, std::size_t height, std::uint8_t levels,
                                    LevelRows bands, RowSink sink);

}  // namespace varnel::htj2k
