// OpenJPH as a peer of the HTJ2K benchmarks, through its public API only:
// whole-plane reversible coding in memory with the profile varnel writes
// (one tile, 5/3, 64x64 code-blocks, RPCL, no colour transform), one row at
// a time through its line interface. The same calls serve Debian's
// libopenjph (codestream_openjph) and OpenJPH 0.31.0 built from its release
// archive (bench_htj2k_peers, cmake/peers.cmake); whichever headers come
// first on the include path decide.
//
// Samples are row-major elements of any integer type of up to 32 bits
// (std::int32_t, std::uint16_t, std::uint8_t): encode widens each row into
// OpenJPH's line, decode narrows each line into the caller's buffer, as a
// user holding an array of that type does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

namespace bench {

template <class T>
std::vector<std::uint8_t> ojph_encode(std::span<const T> samples, std::size_t width, std::size_t height,
                                      unsigned depth, unsigned levels = 5) {
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
    std::copy_n(samples.data() + y * width, width, line->i32);
    line = cs.exchange(line, comp);
  }
  cs.flush();
  std::vector<std::uint8_t> bytes(out.get_data(), out.get_data() + out.tell());
  cs.close();
  return bytes;
}

// Decodes a single-component width x height codestream into `out`
// (width * height elements), narrowing each sample to T.
template <class T>
void ojph_decode_into(std::span<const std::uint8_t> bytes, std::size_t width, std::size_t height,
                      std::span<T> out) {
  ojph::mem_infile in;
  in.open(bytes.data(), bytes.size());
  ojph::codestream cs;
  cs.read_headers(&in);
  cs.create();
  for (std::size_t y = 0; y < height; ++y) {
    ojph::ui32 comp = 0;
    const ojph::line_buf* line = cs.pull(comp);
    std::transform(line->i32, line->i32 + width, out.data() + y * width,
                   [](std::int32_t v) { return static_cast<T>(v); });
  }
  cs.close();
}

inline std::vector<std::uint8_t> ojph_encode(const std::vector<std::int32_t>& samples, std::size_t width,
                                             std::size_t height, unsigned depth, unsigned levels = 5) {
  return ojph_encode(std::span<const std::int32_t>(samples), width, height, depth, levels);
}

inline std::vector<std::int32_t> ojph_decode(const std::vector<std::uint8_t>& bytes, std::size_t width,
                                             std::size_t height) {
  std::vector<std::int32_t> out(width * height);
  ojph_decode_into(std::span<const std::uint8_t>(bytes), width, height, std::span<std::int32_t>(out));
  return out;
}

}  // namespace bench
