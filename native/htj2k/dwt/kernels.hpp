// varnel htj2k: the row kernels of the 5/3 wavelet and how they are chosen.
//
// A `LiftKernels` table holds one family of element-wise row operations: the
// four lifting steps and the even/odd split and merge of the horizontal pass.
// The families (core/cpu.hpp) are `lift_portable_kernels()` (SSE2, two 128-bit
// vectors per step, every x86-64 processor) and `lift_avx2_kernels()` (256-bit
// vectors); they give identical results. A new family is one file defining
// its table function and one entry in the list of `lift_kernels_for`.
//
// Arithmetic wraps modulo 2^32 and divisions are arithmetic right shifts
// (floor), so the lifting stays exactly invertible even for sums that leave
// the 32-bit range; valid planes never get there.
#pragma once

#include "core/cpu.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "htj2k/dwt/dwt.hpp"

namespace varnel::htj2k {

// dst[i] = x[i] -/+ floor((a[i] + b[i]) / 2)        (predict)
// dst[i] = x[i] +/- floor((a[i] + b[i] + 2) / 4)    (update)
// for i < n. dst may be x (in place); a and b may be the same row; dst must
// not overlap a or b otherwise.
using LiftRow = void (*)(std::int32_t* dst, const std::int32_t* x, const std::int32_t* a,
                         const std::int32_t* b, std::size_t n);

// The inverse steps on rows that hold some operands in 16 bits (the
// decoder's 16-bit strips, BandRow): the same arithmetic on the operands
// widened as they load. `_wn`: x 32-bit, a and b 16-bit; `_nn`: all three
// 16-bit; `_nw`: x 16-bit, a and b 32-bit.
using LiftRowWn = void (*)(std::int32_t* dst, const std::int32_t* x, const std::int16_t* a,
                           const std::int16_t* b, std::size_t n);
using LiftRowNn = void (*)(std::int32_t* dst, const std::int16_t* x, const std::int16_t* a,
                           const std::int16_t* b, std::size_t n);
using LiftRowNw = void (*)(std::int32_t* dst, const std::int16_t* x, const std::int32_t* a,
                           const std::int32_t* b, std::size_t n);

struct LiftKernels {
  LiftRow predict_sub;  // forward
  LiftRow update_add;   // forward
  LiftRow update_sub;   // inverse
  LiftRow predict_add;  // inverse
  // split: low[k] = row[2k] for k < ceil(n/2), high[k] = row[2k+1] for k < floor(n/2).
  void (*split)(const std::int32_t* row, std::int32_t* low, std::int32_t* high, std::size_t n);
  // merge: the reverse of split, row[2k] = low[k], row[2k+1] = high[k].
  void (*merge)(const std::int32_t* low, const std::int32_t* high, std::int32_t* row,
                std::size_t n);
  LiftRowWn update_sub_wn;  // inverse, 16-bit high-pass operands
  LiftRowNn update_sub_nn;
  LiftRowNw predict_add_nw;
};

// The scalar lifting arithmetic that every kernel's tail and the oracle of
// the tests share: 32-bit sums that wrap, floor division by shifting.
inline std::int32_t lift_sum(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t lift_diff(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
// floor((a + b) / 2)
inline std::int32_t predict_term(std::int32_t a, std::int32_t b) { return lift_sum(a, b) >> 1; }
// floor((a + b + 2) / 4)
inline std::int32_t update_term(std::int32_t a, std::int32_t b) {
  return lift_sum(lift_sum(a, b), 2) >> 2;
}

// The family tables, one per kernels_<family>.cpp. Call them only through
// `lift_kernels_for`, which never hands out a family the CPU lacks.
const LiftKernels& lift_portable_kernels();
const LiftKernels& lift_avx2_kernels();

// The table of `isa`, or of the highest lower family the CPU runs.
const LiftKernels& lift_kernels_for(Isa isa);
// The table the transform uses: `lift_kernels_for(isa_selected())`, chosen once.
const LiftKernels& lift_kernels();

// The transform with an explicit kernel family (tests compare families).
Result<void> forward_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels);
Result<void> inverse_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels);
Result<void> forward_53_rows_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                                  std::size_t width, std::size_t height, std::uint8_t levels,
                                  RowSource source);
Result<void> inverse_53_rows_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                                  std::size_t width, std::size_t height, std::uint8_t levels,
                                  RowSink sink, RowGate gate = {});
Result<void> inverse_53_levels_rows_with(const LiftKernels& kernels, std::size_t width,
                                         std::size_t height, std::uint8_t levels, LevelRows bands,
                                         RowSink sink);

}  // namespace varnel::htj2k
