#include "core/cpu.hpp"

namespace varnel {

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's answer also requires the OS to save the YMM registers.
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

}  // namespace varnel
