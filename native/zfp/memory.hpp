// varnel zfp: fresh large buffers with few page faults.
//
// The codec's buffers (samples, streams, decoded chunks) are used once and
// are often tens of megabytes: touching them a 4 KiB page at a time costs
// more than some of the coding. Asking for transparent huge pages before the
// first touch turns those faults into a few 2 MiB ones. Advice only: contents
// and behaviour do not change, and where the kernel declines nothing happens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace varnel::zfpc {

// Advises huge pages for the 2 MiB-aligned interior of [p, p + bytes).
void advise_huge_pages(void* p, std::size_t bytes);

// A zeroed byte vector of `n` bytes whose storage was advised before the
// zero-fill touched it.
std::vector<std::uint8_t> zeroed_bytes(std::size_t n);

// An uninitialised array of `n` elements, advised likewise (the caller
// writes every element before reading any).
template <class T>
std::unique_ptr<T[]> uninitialised_array(std::size_t n) {
  std::unique_ptr<T[]> p(new T[n]);
  advise_huge_pages(p.get(), n * sizeof(T));
  return p;
}

}  // namespace varnel::zfpc
