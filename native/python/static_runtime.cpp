// What the statically linked C++ runtime takes from the C library beyond
// glibc 2.28, provided here (hidden inside each module, so these definitions
// take the runtime's references instead of glibc's) so that the wheel runs
// on glibc 2.28 and later.
//
// - arc4random (glibc 2.36): GCC 12's libstdc++.a, built on glibc 2.36,
//   seeds std::random_device with it; the runtime's exception classes pull
//   that code into every module even though varnel never makes a
//   random_device. This one draws the same kernel randomness through
//   getrandom (glibc 2.25).
// - __libc_single_threaded (glibc 2.32): libstdc++ skips atomic reference
//   counting while it is non-zero. Zero here: the runtime always counts
//   atomically, which is what it does in any process with a second thread.
#include <sys/random.h>

#include <cerrno>
#include <cstdint>

extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random() {
  std::uint32_t value = 0;
  auto* at = reinterpret_cast<unsigned char*>(&value);
  std::size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = getrandom(at + got, sizeof value - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      __builtin_trap();  // no kernel randomness: arc4random has no way to fail
    }
  }
  return value;
}
