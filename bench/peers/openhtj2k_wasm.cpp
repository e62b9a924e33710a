// OpenHTJ2K's decoder behind the same export as bench/peers/openjph_wasm.cpp,
// for bench/bench_wasm.py: decode a single-component codestream into int32
// samples (at `reduce` levels below full resolution), one thread, a fresh
// decoder per call, through its row-callback path. Used as a black box
// through its public header.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder.hpp"

extern "C" __attribute__((export_name("peer_alloc"))) void* peer_alloc(std::uint32_t n) { return std::malloc(n); }
extern "C" __attribute__((export_name("peer_free"))) void peer_free(void* p) { std::free(p); }

// Returns the number of samples written to `out` (width * height at the level).
extern "C" __attribute__((export_name("peer_decode")))
std::uint32_t peer_decode(const std::uint8_t* data, std::uint32_t size, std::uint32_t reduce, std::int32_t* out) {
  open_htj2k::openhtj2k_decoder decoder(data, size, static_cast<std::uint8_t>(reduce), 1);
  decoder.parse();
  std::vector<std::uint32_t> width, height;
  std::vector<std::uint8_t> depth;
  std::vector<bool> is_signed;
  // (invoke_line_based_stream fills width before the first row arrives.)
  decoder.invoke_line_based_stream(
      [&](std::uint32_t y, std::int32_t* const* lines, std::uint16_t) {
        std::memcpy(out + std::size_t{y} * width[0], lines[0], width[0] * sizeof(std::int32_t));
      },
      width, height, depth, is_signed);
  return width.empty() ? 0 : width[0] * height[0];
}

extern "C" int __cxa_thread_atexit(void (*)(void*), void*, void*) { return 0; }

// OpenHTJ2K reports errors by throwing; this build has no exception support,
// so a throw stops the instance (the benchmark decodes valid streams only).
extern "C" void* __cxa_allocate_exception(std::size_t n) { return std::malloc(n); }
extern "C" void __cxa_throw(void*, void*, void (*)(void*)) { __builtin_trap(); }
