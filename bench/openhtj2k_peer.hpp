// OpenHTJ2K as a peer of the HTJ2K benchmarks, through its public API only
// (encoder.hpp, decoder.hpp): whole-plane reversible coding in memory with
// the profile varnel writes (one tile, 5/3, 64x64 code-blocks, RPCL, one
// layer, no colour transform, raw codestream), on one thread (num_threads =
// 1). Both directions go row by row through its streaming calls: encode
// widens each row into the row the encoder asks for, decode narrows each row
// its callback hands over into the caller's buffer. Every decode uses a
// fresh decoder that copies its input (init, not init_borrow, which rewrites
// input bytes; no single-tile reuse, whose cache is not safe across streams).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <decoder.hpp>
#include <encoder.hpp>

namespace bench {

template <class T>
std::vector<std::uint8_t> htj2k_encode(std::span<const T> samples, std::size_t width, std::size_t height,
                                       unsigned depth, unsigned levels = 5) {
  open_htj2k::siz_params siz{};
  siz.Rsiz = 0;
  siz.Xsiz = static_cast<std::uint32_t>(width);
  siz.Ysiz = static_cast<std::uint32_t>(height);
  siz.XOsiz = siz.YOsiz = siz.XTOsiz = siz.YTOsiz = 0;
  siz.XTsiz = siz.Xsiz;
  siz.YTsiz = siz.Ysiz;
  siz.Csiz = 1;
  siz.Ssiz = {static_cast<std::uint8_t>(depth - 1)};  // unsigned
  siz.XRsiz = {1};
  siz.YRsiz = {1};
  open_htj2k::cod_params cod{};
  cod.blkwidth = 4;  // the stored exponents: 64 = 2^(4 + 2)
  cod.blkheight = 4;
  cod.is_max_precincts = true;
  cod.use_SOP = false;
  cod.use_EPH = false;
  cod.progression_order = 2;  // RPCL
  cod.number_of_layers = 1;
  cod.use_color_trafo = 0;
  cod.dwt_levels = static_cast<std::uint8_t>(levels);
  cod.codeblock_style = 0x40;  // HT code-blocks
  cod.transformation = 1;      // reversible 5/3
  open_htj2k::qcd_params qcd{};
  qcd.number_of_guardbits = 1;
  qcd.is_derived = false;
  qcd.base_step = 1.0;
  constexpr std::uint8_t kNoQfactor = 0xFF;
  std::vector<std::int32_t*> planes = {nullptr};  // rows come from the callback
  std::vector<std::uint8_t> out;
  open_htj2k::openhtj2k_encoder encoder("", planes, siz, cod, qcd, kNoQfactor, false, 0, 1);
  encoder.set_output_buffer(out);
  const std::size_t n = encoder.invoke_line_based_stream([&](std::uint32_t y, std::int32_t** rows, std::uint16_t) {
    if ((std::size_t{y} + 1) * width > samples.size()) return;
    std::copy_n(samples.data() + std::size_t{y} * width, width, rows[0]);
  });
  out.resize(std::min(out.size(), n));
  return out;
}

// Decodes a single-component width x height codestream into `out`
// (width * height elements), narrowing each sample to T.
template <class T>
void htj2k_decode_into(std::span<const std::uint8_t> bytes, std::size_t width, std::span<T> out) {
  open_htj2k::openhtj2k_decoder decoder;
  decoder.init(bytes.data(), bytes.size(), 0, 1);
  decoder.parse();
  std::vector<std::uint32_t> widths, heights;
  std::vector<std::uint8_t> depths;
  std::vector<bool> is_signed;
  decoder.invoke_line_based_stream(
      [&](std::uint32_t y, std::int32_t* const* rows, std::uint16_t) {
        if ((std::size_t{y} + 1) * width > out.size()) return;  // not this plane's row: the check fails
        std::transform(rows[0], rows[0] + width, out.data() + std::size_t{y} * width,
                       [](std::int32_t v) { return static_cast<T>(v); });
      },
      widths, heights, depths, is_signed);
}

}  // namespace bench
