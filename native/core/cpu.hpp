// varnel core: the instruction-set families of the kernels, and which one a
// process runs.
//
// Every kernel kind (wavelet lifting, HT MagSgn, narrowing, ...) offers one
// table of functions per family that has code of its own, and picks its table
// once, from `isa_selected()`, with `pick_family`. A family without a table of
// its own for a kind falls back to the next lower one; portable always exists.
// Adding a family to a kind is one source file (`*_avx2.cpp`, `*_avx512.cpp`:
// the build compiles only those with the family's instruction flags) and one
// entry in the kind's `Family` list.
//
// The families, in rising order:
//   portable  the baseline of the target (SSE2 on x86-64; on WebAssembly,
//             SIMD128, where a kind's `*_simd128.cpp` table, if it has one,
//             stands in its list as portable; those files compile to
//             nothing elsewhere)
//   avx2      AVX2 (256-bit integer vectors)
//   avx512    AVX-512 F, BW, DQ, VL, CD and VBMI (512-bit vectors, masks,
//             lane leading-zero counts, byte permutes), with BMI1/2: the
//             flags the build gives every *_avx512.cpp file
// A family counts as supported when the CPU has all its features and the OS
// saves the vector registers they use. Detection runs once per process
// (thread-safe) and is cached.
//
// VARNEL_ISA (environment, read once, when the first kernel is chosen) can
// force a lower family for testing and benchmarking:
//   unset or empty            the highest supported family
//   portable | avx2 | avx512  that family, or the highest supported one when
//                             the CPU lacks it (never code the CPU cannot run)
//   anything else             portable (an unknown request never raises the
//                             family)
// Names are case-insensitive.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace varnel {

enum class Isa : unsigned char { portable = 0, avx2 = 1, avx512 = 2 };
inline constexpr std::size_t kIsaCount = 3;

// "portable", "avx2", "avx512".
std::string_view isa_name(Isa isa);
// The family of a name (case-insensitive), or nothing.
std::optional<Isa> isa_from_name(std::string_view name);

// The highest family this CPU and OS support.
Isa isa_detected();
// The family the kernels use: `isa_choose(isa_detected(), getenv("VARNEL_ISA"))`.
Isa isa_selected();
// The rule for VARNEL_ISA above; `value` is null when the variable is unset.
Isa isa_choose(Isa detected, const char* value);
// Every family this CPU supports, portable first (tests and benchmarks run
// each of them).
std::span<const Isa> isa_runnable();

// One kernel kind's table for a family.
template <class Table>
struct Family {
  Isa isa;
  const Table& (*table)();
};

// The table of the highest family in `families` that is at most `isa` and
// supported by this CPU; `families` must hold a portable entry. A kind's list
// reads: static constexpr Family<LiftKernels> kFamilies[] = {
//          {Isa::portable, lift_portable_kernels}, {Isa::avx2, lift_avx2_kernels}};
template <class Table, std::size_t N>
const Table& pick_family(const Family<Table> (&families)[N], Isa isa) {
  if (isa > isa_detected()) isa = isa_detected();
  const Family<Table>* best = nullptr;
  for (const Family<Table>& f : families)
    if (f.isa <= isa && (best == nullptr || f.isa > best->isa)) best = &f;
  return best->table();
}

}  // namespace varnel
