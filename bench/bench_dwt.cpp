// Speed of the 5-level reversible 5/3 transform, forward and inverse, with
// each kernel family, against one plain copy (memcpy) of the same plane.
// The copy and the transforms are timed in turn within every run, so that
// they share the machine's load; best and median of N runs are printed.
//   bench_dwt [runs]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/cpu.hpp"
#include "htj2k/dwt/kernels.hpp"

using namespace varnel::htj2k;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Series {
  std::vector<double> t;
  double best() const { return *std::min_element(t.begin(), t.end()); }
  double median() const {
    auto s = t;
    std::sort(s.begin(), s.end());
    return s[s.size() / 2];
  }
};

void report(const char* what, std::size_t samples, const Series& s, const Series& copy) {
  std::printf("  %-18s best %8.2f ms %8.1f Msamples/s  x%5.2f copy | median %8.2f ms  x%5.2f copy\n",
              what, s.best() * 1e3, samples / s.best() / 1e6, s.best() / copy.best(),
              s.median() * 1e3, s.median() / copy.median());
}

struct Timed {
  std::string_view name;
  const LiftKernels* kernels;
  Series forward, inverse;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  constexpr std::uint8_t kLevels = 5;
  std::printf("reversible 5/3, %u levels, %d runs, CPU families up to %s (VARNEL_ISA selects %s)\n",
              kLevels, runs, std::string(varnel::isa_name(varnel::isa_detected())).c_str(),
              std::string(varnel::isa_name(varnel::isa_selected())).c_str());
  for (std::size_t side : {2048uz, 4096uz}) {
    const std::size_t n = side * side;
    std::vector<std::int32_t> plane(n), other(n);
    std::mt19937 rng(1);
    std::uniform_int_distribution<std::int32_t> dist(-32768, 32767);
    for (auto& v : plane) v = dist(rng);
    const auto original = plane;

    // Each family with a table of its own (a family without one runs the
    // next lower family's table).
    std::vector<Timed> families;
    for (varnel::Isa isa : varnel::isa_runnable()) {
      const LiftKernels* k = &lift_kernels_for(isa);
      if (families.empty() || families.back().kernels != k)
        families.push_back({varnel::isa_name(isa), k, {}, {}});
    }
    Series copy;
    for (int i = 0; i < runs; ++i) {
      auto t0 = Clock::now();
      std::memcpy(other.data(), plane.data(), n * sizeof(std::int32_t));
      copy.t.push_back(seconds(t0, Clock::now()));
      for (Timed& f : families) {
        // Forward then inverse, so that every run starts from the samples.
        t0 = Clock::now();
        if (!forward_53_with(*f.kernels, plane, side, side, kLevels)) return 1;
        const auto t1 = Clock::now();
        if (!inverse_53_with(*f.kernels, plane, side, side, kLevels)) return 1;
        const auto t2 = Clock::now();
        f.forward.t.push_back(seconds(t0, t1));
        f.inverse.t.push_back(seconds(t1, t2));
      }
    }
    if (plane != original || other != original) {
      std::printf("round trip failed\n");
      return 1;
    }
    std::printf("%zux%zu  memcpy best %.2f ms (%.1f Msamples/s), median %.2f ms\n", side, side,
                copy.best() * 1e3, n / copy.best() / 1e6, copy.median() * 1e3);
    char label[64];
    for (const Timed& f : families) {
      std::snprintf(label, sizeof label, "%.*s forward", int(f.name.size()), f.name.data());
      report(label, n, f.forward, copy);
      std::snprintf(label, sizeof label, "%.*s inverse", int(f.name.size()), f.name.data());
      report(label, n, f.inverse, copy);
    }
  }
  return 0;
}
