// varnel core: the transparent-huge-page hint for large fresh buffers.
//
// A buffer of tens of megabytes touched for the first time costs a page
// fault per 4 KiB page; advised for transparent huge pages before that
// first touch, it costs one per 2 MiB where the kernel enables them for
// advised ranges. Only a hint: contents and behaviour never change, and a
// refusal changes nothing but speed.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace varnel {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Hints huge pages for the whole 2 MiB pages inside [p, p + bytes).
inline void advise_huge_pages(const void* p, std::size_t bytes) {
  if (bytes < kHugePage) return;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (a + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  const std::uintptr_t last = (a + bytes) & ~std::uintptr_t{kHugePage - 1};
  if (last > first)
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace varnel
