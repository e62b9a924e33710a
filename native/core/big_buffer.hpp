// Large per-call buffers (whole sample planes, codestream bodies).
//
// Buffers up to `kMallocReuseLimit` come from plain malloc, and each thread
// keeps the largest one it released (one block, at most that limit) for its
// next BigArray: a run of chunk calls then works in warm pages instead of
// mapping, faulting, zeroing and unmapping (and, with several threads,
// shooting down the other cores' TLB entries) on every call. Left to malloc
// alone that fails for a 16 MiB plane next to the call's other buffers: the
// heap's free top then passes glibc's trim threshold (twice the dynamic mmap
// threshold) and is handed back to the system after every call. The kept
// block is freed when its thread ends. Larger buffers always come from fresh
// anonymous mappings, where every 4 KiB page costs a fault on first touch;
// those are aligned to 2 MiB and advised for transparent huge pages, which
// cuts the faults 512-fold where huge pages are enabled for advised ranges.
// `advise_huge_pages` (core/pages.hpp) gives the same hint for a range
// that some other container owns (a vector's reserved capacity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "core/pages.hpp"

namespace varnel {

// glibc's largest dynamic mmap threshold (DEFAULT_MMAP_THRESHOLD_MAX on
// 64-bit targets): requests above it are always mapped afresh.
inline constexpr std::size_t kMallocReuseLimit = std::size_t{32} << 20;

namespace detail {

inline constexpr std::align_val_t kMallocAlign{__STDCPP_DEFAULT_NEW_ALIGNMENT__};

// The block a thread keeps between BigArrays (malloc alignment, at most
// kMallocReuseLimit bytes).
struct SpareBlock {
  void* p = nullptr;
  std::size_t bytes = 0;
  SpareBlock() = default;
  SpareBlock(const SpareBlock&) = delete;
  SpareBlock& operator=(const SpareBlock&) = delete;
  ~SpareBlock() {
    if (p) ::operator delete(p, kMallocAlign);
  }
};
inline thread_local SpareBlock spare_block;

// A block of at least `bytes` (<= kMallocReuseLimit): the spare one when it
// is large enough, else a new one. Null when allocation fails.
inline void* take_block(std::size_t& bytes) {
  SpareBlock& s = spare_block;
  if (s.p && s.bytes >= bytes) {
    bytes = s.bytes;
    return std::exchange(s.p, nullptr);
  }
  return ::operator new(bytes, kMallocAlign, std::nothrow);
}

// Keeps the larger of a released block and the spare one; frees the other.
inline void give_block(void* p, std::size_t bytes) {
  SpareBlock& s = spare_block;
  if (s.p && s.bytes >= bytes) {
    ::operator delete(p, kMallocAlign);
    return;
  }
  if (s.p) ::operator delete(s.p, kMallocAlign);
  s.p = p;
  s.bytes = bytes;
}

}  // namespace detail

// n uninitialised elements of a trivial type T; empty when allocation
// fails (the caller reports it).
template <class T>
class BigArray {
 public:
  BigArray() = default;
  explicit BigArray(std::size_t n) {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    std::size_t bytes = 0;
    if (n == 0 || __builtin_mul_overflow(n, sizeof(T), &bytes)) return;
    if (bytes <= kMallocReuseLimit) {
      void* p = detail::take_block(bytes);
      if (!p) return;
      data_.reset(static_cast<T*>(p));
      data_.get_deleter().bytes = bytes;
      size_ = n;
      return;
    }
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    // A larger alignment than malloc's goes through memalign, which asks for
    // the size plus the alignment and so maps every same-size request afresh
    // (as blocks of this size are anyway).
    const std::align_val_t align{kHugePage};
    void* p = ::operator new(bytes, align, std::nothrow);
    if (!p) return;
    advise_huge_pages(p, bytes);
    data_.reset(static_cast<T*>(p));
    data_.get_deleter().align = align;
    size_ = n;
  }

  T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  // bytes: the size of a reusable block (0 for a huge one, which is freed).
  struct Free {
    std::align_val_t align{detail::kMallocAlign};
    std::size_t bytes = 0;
    void operator()(T* p) const {
      if (bytes != 0)
        detail::give_block(p, bytes);
      else
        ::operator delete(static_cast<void*>(p), align);
    }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
};

}  // namespace varnel
