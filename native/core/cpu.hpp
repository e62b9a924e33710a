// varnel core: the one run-time CPU question the codecs ask.
#pragma once

namespace varnel {

// Whether AVX2 code may run: the CPU has it and the OS saves the YMM
// registers. Detected once per process (thread-safe) and cached.
bool cpu_has_avx2();

}  // namespace varnel
