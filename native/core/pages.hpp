// varnel core: page hints for large fresh buffers.
//
// A buffer of megabytes touched for the first time costs a page fault per
// 4 KiB page: a trap, a zeroed page, a return. Two hints cut that cost;
// neither changes contents or behaviour, and a kernel that declines either
// changes nothing but speed.
//  - `advise_huge_pages`, before the first touch, asks for transparent huge
//    pages: one fault per 2 MiB where the kernel enables them for advised
//    ranges. Each is zeroed whole, so it suits buffers written soon after.
//  - `populate_for_write` faults a range in with one call (Linux 5.14's
//    MADV_POPULATE_WRITE): the same zeroed 4 KiB pages without a trap each.
//    Called just ahead of a writer, the pages are still in cache when it
//    writes them.
//
// The policy, for both codecs:
//  - Working buffers (sample and coefficient planes, core/big_buffer.hpp)
//    and encoded streams are advised for huge pages: they are filled and
//    read again while the call runs, so the whole-page zeroing pays.
//  - Decoded outputs are not advised. A decoder writes its output once, in
//    order; with 4 KiB pages the kernel zeroes each page just before it is
//    written, and the page is still in cache. A 2 MiB page is zeroed whole
//    first, past the cache, and written again afterwards; on virtual
//    machines whose host reclaims free guest memory a fresh 2 MiB page can
//    also cost the host a refault. Measured on such a machine (256^3
//    float64 zfp decodes), an advised output made decoding swing between
//    0.85x and 2x the time of 4 KiB pages. A decoder that wants fewer traps
//    faults its output in with `populate_for_write`, a window just ahead of
//    itself (zfp/blocks.cpp).
#pragma once

#if !defined(__wasi__)
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdint>

namespace varnel {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Hints huge pages for the whole 2 MiB pages inside [p, p + bytes).
inline void advise_huge_pages(const void* p, std::size_t bytes) {
#if defined(__wasi__)  // WebAssembly memory has no pages to advise
  (void)p;
  (void)bytes;
#else
  if (bytes < kHugePage) return;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (a + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  const std::uintptr_t last = (a + bytes) & ~std::uintptr_t{kHugePage - 1};
  if (last > first)
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// Faults in, writable, the whole pages inside [p, p + bytes) (the partial
// pages at either end are left alone: they may hold someone else's bytes).
// Does nothing where the kernel lacks the call; errno is left as it was.
void populate_for_write(void* p, std::size_t bytes);

}  // namespace varnel
