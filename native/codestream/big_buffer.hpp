// Large per-call buffers (whole sample planes, codestream bodies).
//
// Buffers up to `kMallocReuseLimit` come from plain malloc: after the first
// call glibc serves repeated requests of the same size from its heap, so a
// run of chunk calls reuses warm pages instead of mapping, faulting, zeroing
// and unmapping (and, with several threads, shooting down the other cores'
// TLB entries) on every call. Larger buffers always come from fresh
// anonymous mappings, where every 4 KiB page costs a fault on first touch;
// those are aligned to 2 MiB and advised for transparent huge pages, which
// cuts the faults 512-fold where huge pages are enabled for advised ranges.
// `advise_huge_pages` gives the same hint for a range that some other
// container owns (a vector's reserved capacity).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace varnel::codestream {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// glibc's largest dynamic mmap threshold (DEFAULT_MMAP_THRESHOLD_MAX on
// 64-bit targets): requests above it are always mapped afresh.
inline constexpr std::size_t kMallocReuseLimit = std::size_t{32} << 20;

// Hints huge pages for the whole 2 MiB pages inside [p, p + bytes). Only a
// hint: its failure changes nothing but speed.
inline void advise_huge_pages(const void* p, std::size_t bytes) {
  if (bytes < kHugePage) return;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (a + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  const std::uintptr_t last = (a + bytes) & ~std::uintptr_t{kHugePage - 1};
  if (last > first)
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// n uninitialised elements of a trivial type T; empty when allocation
// fails (the caller reports it).
template <class T>
class BigArray {
 public:
  BigArray() = default;
  explicit BigArray(std::size_t n) {
    std::size_t bytes = 0;
    if (n == 0 || __builtin_mul_overflow(n, sizeof(T), &bytes)) return;
    const bool huge = bytes > kMallocReuseLimit;
    if (huge) bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    // The default alignment is plain malloc; a larger one goes through
    // memalign, which asks for the size plus the alignment and so maps every
    // same-size request afresh.
    const std::align_val_t align{huge ? kHugePage : __STDCPP_DEFAULT_NEW_ALIGNMENT__};
    void* p = ::operator new(bytes, align, std::nothrow);
    if (!p) return;
    if (huge) advise_huge_pages(p, bytes);
    data_.reset(static_cast<T*>(p));
    data_.get_deleter().align = align;
    size_ = n;
  }

  T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Free {
    std::align_val_t align{64};
    void operator()(T* p) const { ::operator delete(static_cast<void*>(p), align); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace varnel::codestream
