// Speed of the 5-level reversible 5/3 transform, forward and inverse, with
// each kernel family, against one plain copy (memcpy) of the same plane
// measured in the same run. Best and median of N runs.
//   bench_dwt [runs]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "htj2k/dwt/kernels.hpp"

using namespace varnel::htj2k;

namespace {

struct Stats {
  double best, median;
};

template <class F>
Stats measure(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(t.begin(), t.end());
  return {t.front(), t[t.size() / 2]};
}

void report(const char* what, std::size_t samples, Stats s, Stats copy) {
  std::printf("  %-22s best %8.2f ms  %7.1f Msamples/s  x%5.2f copy   (median %8.2f ms, x%5.2f)\n",
              what, s.best * 1e3, samples / s.best / 1e6, s.best / copy.best, s.median * 1e3,
              s.median / copy.median);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  constexpr std::uint8_t kLevels = 5;
  std::printf("reversible 5/3, %u levels, best of %d (AVX2 %s)\n", kLevels, runs,
              cpu_has_avx2() ? "available" : "absent");
  for (std::size_t side : {2048uz, 4096uz}) {
    const std::size_t n = side * side;
    std::vector<std::int32_t> plane(n), other(n);
    std::mt19937 rng(1);
    std::uniform_int_distribution<std::int32_t> dist(-32768, 32767);
    for (auto& v : plane) v = dist(rng);
    const auto original = plane;

    const Stats copy = measure(runs, [&] {
      std::memcpy(other.data(), plane.data(), n * sizeof(std::int32_t));
    });
    std::printf("%zux%zu: memcpy best %.2f ms (%.1f Msamples/s)\n", side, side, copy.best * 1e3,
                n / copy.best / 1e6);

    struct Family {
      const char* name;
      const LiftKernels* k;
    };
    std::vector<Family> families{{"portable", &portable_kernels()}};
    if (cpu_has_avx2()) families.push_back({"avx2", &avx2_kernels()});
    for (const Family& f : families) {
      // Alternate forward and inverse so that every run sees valid input.
      std::vector<double> fwd, inv;
      for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (!forward_53_with(*f.k, plane, side, side, kLevels)) return 1;
        auto t1 = std::chrono::steady_clock::now();
        if (!inverse_53_with(*f.k, plane, side, side, kLevels)) return 1;
        auto t2 = std::chrono::steady_clock::now();
        fwd.push_back(std::chrono::duration<double>(t1 - t0).count());
        inv.push_back(std::chrono::duration<double>(t2 - t1).count());
      }
      if (plane != original) {
        std::printf("round trip failed\n");
        return 1;
      }
      std::sort(fwd.begin(), fwd.end());
      std::sort(inv.begin(), inv.end());
      char label[64];
      std::snprintf(label, sizeof label, "%s forward", f.name);
      report(label, n, {fwd.front(), fwd[fwd.size() / 2]}, copy);
      std::snprintf(label, sizeof label, "%s inverse", f.name);
      report(label, n, {inv.front(), inv[inv.size() / 2]}, copy);
    }
  }
  return 0;
}
