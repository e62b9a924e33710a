// OpenJPH (Debian's libopenjph, through its public API only) as the peer of
// the HTJ2K benchmarks: whole-plane reversible coding in memory with the
// profile varnel writes (one tile, 5/3, 64x64 code-blocks, RPCL, no colour
// transform), plus the timing helper the benchmarks share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

namespace bench {

inline std::vector<std::uint8_t> ojph_encode(const std::vector<std::int32_t>& samples, std::size_t width,
                                             std::size_t height, unsigned depth, unsigned levels = 5) {
  ojph::codestream cs;
  ojph::param_siz siz = cs.access_siz();
  siz.set_image_extent(ojph::point(static_cast<ojph::ui32>(width), static_cast<ojph::ui32>(height)));
  siz.set_num_components(1);
  siz.set_component(0, ojph::point(1, 1), depth, false);
  siz.set_image_offset(ojph::point(0, 0));
  siz.set_tile_size(ojph::size(static_cast<ojph::ui32>(width), static_cast<ojph::ui32>(height)));
  siz.set_tile_offset(ojph::point(0, 0));
  ojph::param_cod cod = cs.access_cod();
  cod.set_num_decomposition(levels);
  cod.set_block_dims(64, 64);
  cod.set_progression_order("RPCL");
  cod.set_color_transform(false);
  cod.set_reversible(true);
  cs.set_planar(false);
  ojph::mem_outfile out;
  out.open();
  cs.write_headers(&out);
  ojph::ui32 comp = 0;
  ojph::line_buf* line = cs.exchange(nullptr, comp);
  for (std::size_t y = 0; y < height; ++y) {
    std::memcpy(line->i32, samples.data() + y * width, width * sizeof(std::int32_t));
    line = cs.exchange(line, comp);
  }
  cs.flush();
  std::vector<std::uint8_t> bytes(out.get_data(), out.get_data() + out.tell());
  cs.close();
  return bytes;
}

inline std::vector<std::int32_t> ojph_decode(const std::vector<std::uint8_t>& bytes, std::size_t width,
                                             std::size_t height) {
  ojph::mem_infile in;
  in.open(bytes.data(), bytes.size());
  ojph::codestream cs;
  cs.read_headers(&in);
  cs.create();
  std::vector<std::int32_t> out(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    ojph::ui32 comp = 0;
    ojph::line_buf* line = cs.pull(comp);
    std::memcpy(out.data() + y * width, line->i32, width * sizeof(std::int32_t));
  }
  cs.close();
  return out;
}

// CPU time of the calling thread, in seconds: other processes on a shared
// machine cost it nothing.
inline double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Times `a` and `b` in turn, A B A B …, `runs` times each, in thread CPU
// time; returns the two medians in seconds. Alternating keeps a drift in
// the machine's speed from favouring either side.
template <class A, class B>
std::pair<double, double> alternating_medians(int runs, A&& a, B&& b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    double t0 = thread_seconds();
    a();
    ta.push_back(thread_seconds() - t0);
    t0 = thread_seconds();
    b();
    tb.push_back(thread_seconds() - t0);
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

// Median wall time of `runs` calls of `f`, in seconds.
template <class F>
double median_seconds(int runs, F&& f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace bench
