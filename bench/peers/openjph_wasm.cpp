// OpenJPH's decoder behind the same kind of export as web/varnel.wasm, for
// bench/bench_wasm.py: decode a single-component codestream into int32
// samples (at `reduce` levels below full resolution). Used as a black box
// through its public headers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "openjph/ojph_codestream.h"
#include "openjph/ojph_file.h"
#include "openjph/ojph_mem.h"
#include "openjph/ojph_params.h"

extern "C" __attribute__((export_name("peer_alloc"))) void* peer_alloc(std::uint32_t n) { return std::malloc(n); }
extern "C" __attribute__((export_name("peer_free"))) void peer_free(void* p) { std::free(p); }

// Returns the number of samples written to `out` (width * height at the level).
extern "C" __attribute__((export_name("peer_decode")))
std::uint32_t peer_decode(const std::uint8_t* data, std::uint32_t size, std::uint32_t reduce, std::int32_t* out) {
  ojph::mem_infile file;
  file.open(data, size);
  ojph::codestream cs;
  cs.read_headers(&file);
  if (reduce) cs.restrict_input_resolution(reduce, reduce);
  ojph::param_siz siz = cs.access_siz();
  const std::uint32_t width = siz.get_recon_width(0), height = siz.get_recon_height(0);
  cs.create();
  for (std::uint32_t y = 0; y < height; ++y) {
    ojph::ui32 comp = 0;
    ojph::line_buf* line = cs.pull(comp);
    std::memcpy(out + std::size_t{y} * width, line->i32, width * sizeof(std::int32_t));
  }
  cs.close();
  return width * height;
}

extern "C" int __cxa_thread_atexit(void (*)(void*), void*, void*) { return 0; }

// OpenJPH reports errors by throwing; this build has no exception support,
// so a throw stops the instance (the benchmark decodes valid streams only).
extern "C" void* __cxa_allocate_exception(std::size_t n) { return std::malloc(n); }
extern "C" void __cxa_throw(void*, void*, void (*)(void*)) { __builtin_trap(); }
