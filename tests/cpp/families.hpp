// Test support: GoogleTest parameters over every kernel family this CPU runs
// (core/cpu.hpp), named after the family: `Suite/GivesThePortableWords/avx2`.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/cpu.hpp"

namespace varnel::test {

inline ::testing::internal::ParamGenerator<Isa> runnable_families() {
  const auto r = isa_runnable();
  return ::testing::ValuesIn(std::vector<Isa>(r.begin(), r.end()));
}

inline std::string family_name(const ::testing::TestParamInfo<Isa>& info) {
  return std::string(isa_name(info.param));
}

}  // namespace varnel::test

#define VARNEL_FOR_EVERY_FAMILY(suite)                                                  \
  INSTANTIATE_TEST_SUITE_P(Families, suite, ::varnel::test::runnable_families(), \
                           ::varnel::test::family_name)
