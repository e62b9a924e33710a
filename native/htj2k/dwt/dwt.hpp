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
// back. The coarser levels are undone in place as by `inverse_53`; the finest
// one is undone in four row buffers as it streams, so at that level the plane
// is read once and not written. Its contents are unspecified afterwards. The
// checks and their failure are those of `inverse_53`; a sink that stops the
// transform does not make it fail.
// Lets the caller fill the finest level's coefficients just in time: before
// the streamed finest level first reads low-pass row j (plane row j) and
// high-pass row j (plane row ceil(height / 2) + j, when there is one), it
// calls ready(context, j), for j = 0 .. ceil(height / 2) - 1 in order. The
// coarser levels, undone before, read only the region of the finest level's
// low-pass band, which must be complete on entry. Returning false stops the
// transform (as a sink does). Not called when the transform has no level.
struct RowGate {
  void* context = nullptr;
  bool (*ready)(void* context, std::size_t j) = nullptr;
};

Result<void> inverse_53_rows(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                             std::uint8_t levels, RowSink sink, RowGate gate = {});

// Where the finest level's coefficients are when they are not one plane:
// row(context, r, &low, &high) points low at the ceil(width / 2) coefficients
// of row r of that level's Mallat layout left of the middle and high at the
// floor(width / 2) right of it (r < ceil(height / 2): a low-pass row, LL then
// HL; otherwise high-pass row r - ceil(height / 2), LH then HH). Row r is
// asked for only after the gate let its row j through (as for
// `inverse_53_rows`), and read before the next row j is let through.
struct BandRows {
  void* context = nullptr;
  void (*row)(void* context, std::size_t r, const std::int32_t** low,
              const std::int32_t** high) = nullptr;
};

// The samples `inverse_53_bands_rows` needs in `low_band`: the finest
// level's low-pass band, ceil(width / 2) x ceil(height / 2), or the whole
// plane when no level does anything (levels 0, or a 1 x 1 plane).
std::size_t low_band_samples(std::size_t width, std::size_t height, std::uint8_t levels);

// `inverse_53_rows` without a plane: `low_band` holds the finest level's
// LL band alone (row stride ceil(width / 2)), where the coarser levels are
// undone in place (it is overwritten); the finest level's rows come from
// `bands` (its LL rows pointing into `low_band`) and the restored rows go to
// `sink`. When no level does anything, `low_band` is the plane (stride
// width) and goes to the sink as it is. Fails with InvalidArgument when
// width or height is 0 or `low_band` is smaller than `low_band_samples`.
// So a caller needs the LL band and the finest high-pass rows the gate has
// let through, never the plane.
Result<void> inverse_53_bands_rows(std::span<std::int32_t> low_band, std::size_t width,
                                   std::size_t height, std::uint8_t levels, BandRows bands,
                                   RowSink sink, RowGate gate = {});

}  // namespace varnel::htj2k
