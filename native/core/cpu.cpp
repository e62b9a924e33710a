#include "core/cpu.hpp"

#include <array>
#include <cstdlib>

namespace varnel {
namespace {

constexpr std::array<std::string_view, kIsaCount> kNames = {"portable", "avx2", "avx512"};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

Isa detect() {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's answers include the OS check (XGETBV) for the YMM and ZMM state.
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return Isa::portable;
  // Exactly the flags CMakeLists.txt gives the *_avx512.cpp files.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512cd") && __builtin_cpu_supports("avx512vbmi") &&
      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2"))
    return Isa::avx512;
  return Isa::avx2;
#else
  return Isa::portable;
#endif
}

}  // namespace

std::string_view isa_name(Isa isa) { return kNames[static_cast<std::size_t>(isa)]; }

std::optional<Isa> isa_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    const std::string_view n = kNames[i];
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < n.size() && same; ++k) same = lower(name[k]) == n[k];
    if (same) return static_cast<Isa>(i);
  }
  return std::nullopt;
}

Isa isa_detected() {
  static const Isa isa = detect();
  return isa;
}

Isa isa_choose(Isa detected, const char* value) {
  if (value == nullptr || *value == '\0') return detected;
  const std::optional<Isa> asked = isa_from_name(value);
  if (!asked) return Isa::portable;
  return *asked < detected ? *asked : detected;
}

Isa isa_selected() {
  static const Isa isa = isa_choose(isa_detected(), std::getenv("VARNEL_ISA"));
  return isa;
}

std::span<const Isa> isa_runnable() {
  static constexpr std::array<Isa, kIsaCount> all = {Isa::portable, Isa::avx2, Isa::avx512};
  return std::span<const Isa>(all).first(static_cast<std::size_t>(isa_detected()) + 1);
}

}  // namespace varnel
