// Kernel families: the VARNEL_ISA rule, the family a kind hands out for a
// request (never one the CPU lacks), and that every kind runs the family the
// process selected. CTest runs this binary again with VARNEL_ISA set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "codestream/coefficients.hpp"
#include "core/cpu.hpp"
#include "htj2k/block/kernels.hpp"
#include "htj2k/dwt/kernels.hpp"
#include "zarr/narrow.hpp"

using namespace varnel;

namespace {

TEST(Isa, VariableLowersTheFamilyButNeverRaisesIt) {
  struct Case {
    Isa detected;
    const char* value;
    Isa want;
  };
  const Case cases[] = {
      {Isa::avx512, nullptr, Isa::avx512},   {Isa::avx2, "", Isa::avx2},
      {Isa::avx512, "portable", Isa::portable}, {Isa::avx512, "AVX2", Isa::avx2},
      {Isa::avx2, "avx512", Isa::avx2},       {Isa::portable, "avx2", Isa::portable},
      {Isa::avx512, "Avx512", Isa::avx512},   {Isa::avx512, "sse2", Isa::portable},
      {Isa::avx2, "avx2 ", Isa::portable},    {Isa::avx512, "avx", Isa::portable},
  };
  for (const Case& c : cases)
    EXPECT_EQ(isa_choose(c.detected, c.value), c.want) << (c.value ? c.value : "(unset)");
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512})
    EXPECT_EQ(isa_from_name(isa_name(isa)), std::optional(isa));
}

TEST(Isa, EveryKindRunsTheSelectedFamily) {
  EXPECT_EQ(isa_selected(), isa_choose(isa_detected(), std::getenv("VARNEL_ISA")));
  ASSERT_FALSE(isa_runnable().empty());
  EXPECT_EQ(isa_runnable().front(), Isa::portable);
  EXPECT_EQ(isa_runnable().back(), isa_detected());
  EXPECT_EQ(&htj2k::lift_kernels(), &htj2k::lift_kernels_for(isa_selected()));
  EXPECT_EQ(&htj2k::block_kernels(), &htj2k::block_kernels_for(isa_selected()));
  EXPECT_EQ(&zarr::narrow_kernels(), &zarr::narrow_kernels_for(isa_selected()));
  EXPECT_EQ(&codestream::coefficient_kernels(),
            &codestream::coefficient_kernels_for(isa_selected()));
  if (isa_selected() == Isa::portable) {
    EXPECT_EQ(&htj2k::lift_kernels(), &htj2k::lift_portable_kernels());
    EXPECT_EQ(&htj2k::block_kernels(), &htj2k::block_portable_kernels());
    EXPECT_EQ(&zarr::narrow_kernels(), &zarr::narrow_portable_kernels());
    EXPECT_EQ(&codestream::coefficient_kernels(), &codestream::coefficient_portable_kernels());
  }
}

// Two stand-in families, each table naming its own.
const Isa& portable_table() { static const Isa t = Isa::portable; return t; }
const Isa& avx512_table() { static const Isa t = Isa::avx512; return t; }

TEST(Isa, PickFallsToTheNextLowerFamilyTheCpuRuns) {
  static constexpr Family<Isa> kFamilies[] = {{Isa::avx512, avx512_table},
                                              {Isa::portable, portable_table}};
  const bool has512 = isa_detected() == Isa::avx512;
  EXPECT_EQ(pick_family(kFamilies, Isa::portable), Isa::portable);
  EXPECT_EQ(pick_family(kFamilies, Isa::avx2), Isa::portable);  // no avx2 table of its own
  EXPECT_EQ(pick_family(kFamilies, Isa::avx512), has512 ? Isa::avx512 : Isa::portable);
  // The real kinds: asking for more than the CPU has gives what it has.
  EXPECT_EQ(&htj2k::lift_kernels_for(Isa::avx512), &htj2k::lift_kernels_for(isa_detected()));
  EXPECT_EQ(&zarr::narrow_kernels_for(Isa::portable), &zarr::narrow_portable_kernels());
}

}  // namespace
