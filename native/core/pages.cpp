#include "core/pages.hpp"

#if defined(__wasi__)

// WebAssembly memory has no pages to fault in: it is committed as it grows.
void varnel::populate_for_write(void*, std::size_t) {}

#else

#include <unistd.h>

#include <atomic>
#include <cerrno>

// Linux 5.14; older headers lack the name, older kernels refuse the value.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace varnel {
namespace {

std::uintptr_t page_size() {
  static const std::uintptr_t size = [] {
    const long s = ::sysconf(_SC_PAGESIZE);
    return s > 0 ? static_cast<std::uintptr_t>(s) : std::uintptr_t{4096};
  }();
  return size;
}

// Set once the kernel has refused the call as unknown: no more attempts.
std::atomic<bool> populate_unsupported{false};

}  // namespace

void populate_for_write(void* p, std::size_t bytes) {
  if (populate_unsupported.load(std::memory_order_relaxed)) return;
  const std::uintptr_t page = page_size();
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (a + page - 1) & ~(page - 1);
  const std::uintptr_t last = (a + bytes) & ~(page - 1);
  if (last <= first) return;
  const int saved = errno;
  if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
    populate_unsupported.store(true, std::memory_order_relaxed);
  errno = saved;
}

}  // namespace varnel

#endif  // __wasi__
