// varnel zfp: fresh large buffers with few page faults.
//
// The encoder's buffers (samples, streams) are used once and are often tens
// of megabytes: touching them a 4 KiB page at a time costs more than some of
// the coding. Asking for transparent huge pages before the first touch turns
// those faults into a few 2 MiB ones. Advice only: contents and behaviour do
// not change, and where the kernel declines nothing happens.
//
// Decoded outputs are not advised: core/pages.hpp gives the policy and why.
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
