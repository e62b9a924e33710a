// varnel zfp: fresh large buffers with few page faults.
//
// The encoder's buffers (samples, streams) are used once and are often tens
// of megabytes: touching them a 4 KiB page at a time costs more than some of
// the coding. Asking for transparent huge pages before the first touch turns
// those faults into a few 2 MiB ones. Advice only: contents and behaviour do
// not change, and where the kernel declines nothing happens.
//
// Decoded outputs are not advised. A decoder writes its output once, in
// order; with 4 KiB pages the kernel zeroes each page just before it is
// written, and the page is still in cache. A 2 MiB page is zeroed whole
// first, past the cache, and written again afterwards; on virtual machines
// whose host reclaims free guest memory a fresh 2 MiB page can also cost the
// host a refault. Measured on such a machine (256^3 float64 decodes), the
// advised output made decoding swing between 0.85x and 2x the time of 4 KiB
// pages.
#pragma once

#include <cstddef>
#include <memory>

#include "core/pages.hpp"

namespace varnel::zfpc {

// An uninitialised array of `n` elements, advised likewise (the caller
// writes every element before reading any).
template <class T>
std::unique_ptr<T[]> uninitialised_array(std::size_t n) {
  std::unique_ptr<T[]> p(new T[n]);
  advise_huge_pages(p.get(), n * sizeof(T));
  return p;
}

}  // namespace varnel::zfpc
