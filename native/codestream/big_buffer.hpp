// Large per-call buffers (whole sample planes, codestream bodies).
//
// Such buffers come straight from fresh anonymous mappings, so every 4 KiB
// page costs a fault on first touch. `BigArray` allocates uninitialised
// storage aligned to 2 MiB and asks the kernel for transparent huge pages
// over it, which cuts those faults 512-fold where huge pages are enabled
// for advised ranges. `advise_huge_pages` gives the same hint for a range
// that some other container owns (a vector's reserved capacity).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace varnel::codestream {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

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
    const bool huge = bytes >= kHugePage;
    if (huge) bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    const std::align_val_t align{huge ? kHugePage : 64};
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
