// The codestream writer: level shift, forward 5/3, HT code-blocks straight
// from the transformed plane, packets in progression order, and the headers
// (T.800 Annex A with the T.814 capabilities), optionally with TLM and PLT.
#include "codestream/writer.hpp"

#include <algorithm>
#include <bit>
#include <memory>

#include "core/big_buffer.hpp"
#include "codestream/coded_planes.hpp"
#include "codestream/markers.hpp"
#include "codestream/reader.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt.hpp"

namespace varnel::codestream {
namespace {

// Reused across all blocks of a call.
struct BlockScratch {
  htj2k::BlockEncoder encoder;
};

// Codes every block of `band`, appending the cleanup segments to `body`.
Result<CodedBand> code_band_into(const std::int32_t* coeffs, std::size_t stride, const Band& band,
                                 std::uint32_t cbw, std::uint32_t cbh, std::uint32_t magb,
                                 BlockScratch& scratch, std::vector<std::uint8_t>& body) {
  CodedBand out;
  const BlockGrid grid = BlockGrid::of(band, cbw, cbh);
  out.across = grid.across;
  out.down = grid.down;
  out.blocks.resize(grid.across * grid.down);
  std::size_t k = 0;
  for (std::uint64_t j = 0; j < grid.down; ++j) {
    for (std::uint64_t i = 0; i < grid.across; ++i, ++k) {
      const BlockRect rect = grid.block(i, j);
      const std::size_t w = rect.width, h = rect.height;
      const std::int32_t* src = coeffs + (band.y0 + rect.y0) * stride + band.x0 + rect.x0;
      const std::size_t at = body.size();
      VARNEL_ASSIGN_OR_RETURN(auto lcup, scratch.encoder.encode_coefficients(
                                             std::span<const std::int32_t>(src, (h - 1) * stride + w),
                                             w, h, stride, magb, body));
      if (lcup == 0) continue;  // all zero: not included in its packet
      out.blocks[k] = {at, static_cast<std::uint32_t>(lcup), static_cast<std::uint8_t>(magb - 1)};
    }
  }
  return out;
}

// The blocks of `band` inside the precinct window, as the packet coder wants
// them (views into `body`).
BandBlocks window_blocks(const CodedBand& band, std::uint64_t fx, std::uint64_t fy,
                         std::uint64_t across, std::uint64_t down,
                         std::span<const std::uint8_t> body) {
  BandBlocks bb;
  bb.across = across;
  bb.down = down;
  bb.blocks.reserve(across * down);
  for (std::uint64_t y = 0; y < down; ++y) {
    for (std::uint64_t x = 0; x < across; ++x) {
      const CodedBlock& cb = band.blocks[(fy + y) * band.across + fx + x];
      CodeBlock b;
      if (cb.lcup != 0) {
        b.data = body.subspan(cb.offset, cb.lcup);
        b.lcup = cb.lcup;
        b.missing_msbs = cb.missing_msbs;
      }
      b.passes = 1;
      bb.blocks.push_back(b);
    }
  }
  return bb;
}

// dst = src - shift with 32-bit wrapping (the DC level shift).
[[gnu::noinline]] void shift_into(const std::int32_t* __restrict src, std::int32_t* __restrict dst,
                                  std::size_t n, std::uint32_t shift) {
  for (std::size_t i = 0; i < n; ++i)
    dst[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(src[i]) - shift);
}

// The DC level shift in place, returning the smallest and largest sample
// before the shift: one vectorisable pass for the range check and the shift.
[[gnu::noinline]] std::pair<std::int32_t, std::int32_t> shift_in_place(std::int32_t* __restrict s,
                                                                        std::size_t n,
                                                                        std::uint32_t shift) {
  std::int32_t mn = INT32_MAX, mx = INT32_MIN;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t v = s[i];
    mn = std::min(mn, v);
    mx = std::max(mx, v);
    s[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) - shift);
  }
  return {mn, mx};
}

// Smallest and largest sample, in one vectorisable pass.
[[gnu::noinline]] std::pair<std::int32_t, std::int32_t> sample_range(const std::int32_t* __restrict s,
                                                                     std::size_t n) {
  std::int32_t mn = INT32_MAX, mx = INT32_MIN;
  for (std::size_t i = 0; i < n; ++i) {
    mn = std::min(mn, s[i]);
    mx = std::max(mx, s[i]);
  }
  return {mn, mx};
}

bool power_of_two_side(std::uint32_t v) { return v >= 4 && v <= 1024 && std::has_single_bit(v); }

}  // namespace

std::vector<std::int32_t> level_shifted(std::span<const std::int32_t> samples, std::uint8_t depth,
                                        bool is_signed) {
  std::vector<std::int32_t> out(samples.begin(), samples.end());
  if (is_signed || depth == 0) return out;
  const std::uint32_t shift = depth - 1u < 32 ? (std::uint32_t{1} << (depth - 1u)) : 0;
  for (std::int32_t& v : out) v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) - shift);
  return out;
}

Result<BandBlocks> code_band(std::span<const std::int32_t> coeffs, std::size_t stride,
                             const Band& band, std::uint32_t cbw, std::uint32_t cbh,
                             const Quant& quant, std::vector<std::uint8_t>& storage) {
  if (!power_of_two_side(cbw) || !power_of_two_side(cbh) || cbw * cbh > 4096)
    return std::unexpected(
        invalid("code-block sides must be powers of two in 4..=1024, area <= 4096"));
  if (!band.empty()) {
    std::uint64_t last = 0;
    if (band.x0 + band.width > stride ||
        __builtin_mul_overflow(band.y0 + band.height - 1, std::uint64_t{stride}, &last) ||
        last + band.x0 + band.width > coeffs.size())
      return std::unexpected(invalid("band outside the coefficient plane"));
  }
  const std::uint32_t magb = quant.band_magb(band.resolution, band.kind);
  if (magb < 1 || magb > 30)
    return std::unexpected(unsupported("bit depth exceeds the 32-bit HT datapath (K_max > 30)"));
  BlockScratch scratch;
  VARNEL_ASSIGN_OR_RETURN(auto coded, code_band_into(coeffs.data(), stride, band, cbw, cbh, magb, scratch, storage));
  return window_blocks(coded, 0, 0, coded.across, coded.down, storage);
}

namespace {

// The checks of steps 1.1 to 1.8, in order (the sample range comes next).
Result<void> check_image(std::size_t width, std::size_t height, std::uint8_t depth,
                         const EncodeParams& params) {
  if (width == 0 || height == 0) return std::unexpected(invalid("empty image"));
  if (params.irreversible) return std::unexpected(unsupported("writer is lossless (5/3) only"));
  if (params.layers != 1) return std::unexpected(unsupported("writer emits a single quality layer"));
  if (!params.precincts.empty()) return std::unexpected(unsupported("writer uses maximal precincts"));
  const std::uint32_t cbw = params.block_width, cbh = params.block_height;
  if (!power_of_two_side(cbw) || !power_of_two_side(cbh) || cbw * cbh > 4096)
    return std::unexpected(
        invalid("code-block sides must be powers of two in 4..=1024, area <= 4096"));
  if (depth < 1 || depth > 38)
    return std::unexpected(invalid("declared bit depth must be in 1..=38"));
  return ok();
}

bool in_range(std::pair<std::int32_t, std::int32_t> range, std::uint8_t depth, bool is_signed) {
  const std::int64_t lo = is_signed ? -(std::int64_t{1} << (depth - 1)) : 0;
  const std::int64_t hi = is_signed ? (std::int64_t{1} << (depth - 1)) - 1 : (std::int64_t{1} << depth) - 1;
  return range.first >= lo && range.second <= hi;
}

// The checks after the sample range: quantization, the u32 sizes.
Result<Quant> check_quant(std::size_t width, std::size_t height, std::uint8_t depth,
                          bool is_signed, const EncodeParams& params) {
  VARNEL_ASSIGN_OR_RETURN(auto quant, Quant::reversible(params.levels, depth, 0));
  // COD holds at most 32 levels (T.800 SPcod); a 33-level codestream would
  // be refused by every reader, this one included.
  if (params.levels > 32)
    return std::unexpected(invalid("more than 32 decomposition levels (T.800 SPcod)"));
  // 32-bit samples cannot carry the level shift 2^(depth - 1) of a deeper
  // unsigned component.
  if (!is_signed && depth > 32)
    return std::unexpected(unsupported("unsigned depth beyond 32 bits (level shift exceeds the samples)"));
  // Checked here rather than after coding: nothing else can fail for such
  // a plane before it, and it spares coding 2^32 samples in vain.
  if (width > 0xFFFFFFFFu) return std::unexpected(invalid("width exceeds u32"));
  if (height > 0xFFFFFFFFu) return std::unexpected(invalid("height exceeds u32"));
  return quant;
}

// The header records of the codestream; the packet order comes from the
// same sequence the reader expects.
Codestream header_layout(std::size_t width, std::size_t height, std::size_t comps,
                         std::uint8_t depth, bool is_signed, const EncodeParams& params,
                         const Quant& quant) {
  Codestream layout;
  layout.siz.xsiz = layout.siz.xtsiz = static_cast<std::uint32_t>(width);
  layout.siz.ysiz = layout.siz.ytsiz = static_cast<std::uint32_t>(height);
  layout.siz.rsiz = kRsizHt;
  layout.siz.components.assign(comps, SizComponent{is_signed, depth, 1, 1});
  layout.cod.scod = 0;
  layout.cod.progression = params.progression;
  layout.cod.layers = 1;
  layout.cod.mct = 0;
  layout.cod.levels = params.levels;
  layout.cod.xcb = static_cast<std::uint8_t>(std::countr_zero(params.block_width) - 2);
  layout.cod.ycb = static_cast<std::uint8_t>(std::countr_zero(params.block_height) - 2);
  layout.cod.cblk_style = static_cast<std::uint8_t>(kCblkHt | (params.causal ? kCblkCausal : 0));
  layout.cod.transform = 1;
  layout.qcd = quant;
  return layout;
}

// Step 2: level shift, transform and code each plane in turn. The body's
// capacity is reserved generously up front (untouched pages cost nothing)
// so that it is never copied as it grows.
template <class NextPlane>
Result<CodedPlanes> code_planes(std::size_t width, std::size_t height, std::size_t comps,
                                std::uint8_t depth, const EncodeParams& params,
                                const Quant& quant, NextPlane&& next_plane) {
  const std::uint32_t cbw = params.block_width, cbh = params.block_height;
  const unsigned levels = params.levels;
  CodedPlanes out;
  // (Capped: larger bodies grow geometrically as usual.)
  out.body.reserve(std::min<std::size_t>(comps * (width * height * ((depth + 7u) / 8u) + 4096),
                                         std::size_t{1} << 30));
  advise_huge_pages(out.body.data(), out.body.capacity());
  out.coded.resize(comps);
  out.bands.resize(levels + 1);
  for (unsigned r = 0; r <= levels; ++r)
    out.bands[r] = bands_of_resolution(width, height, static_cast<std::uint8_t>(levels),
                                       static_cast<std::uint8_t>(r));
  BlockScratch scratch;
  for (std::size_t c = 0; c < comps; ++c) {
    VARNEL_ASSIGN_OR_RETURN(const std::span<std::int32_t> plane,
                            next_plane(c, static_cast<std::uint8_t>(levels)));
    out.coded[c].resize(levels + 1);
    for (unsigned r = 0; r <= levels; ++r) {
      const std::uint32_t bw = static_cast<std::uint32_t>(effective_block_side(cbw, static_cast<std::uint8_t>(r)));
      const std::uint32_t bh = static_cast<std::uint32_t>(effective_block_side(cbh, static_cast<std::uint8_t>(r)));
      for (const Band& b : out.bands[r]) {
        VARNEL_ASSIGN_OR_RETURN(auto cb, code_band_into(plane.data(), width, b, bw, bh,
                                                        quant.band_magb(b.resolution, b.kind),
                                                        scratch, out.body));
        out.coded[c][r].push_back(std::move(cb));
      }
    }
  }
  return out;
}

// The packets in progression order: their headers (one buffer, each
// packet's end in `header_end`), their blocks and their lengths.
struct Packets {
  std::vector<PacketId> seq;
  std::vector<std::uint8_t> headers;
  std::vector<std::size_t> header_end;
  std::vector<std::uint32_t> lengths;  // header and data, for PLT and Psot
  std::vector<std::vector<BandBlocks>> bands;
};

// Steps 3-4: packet headers in progression order; lengths for PLT and Psot.
Result<Packets> write_packet_headers(const Codestream& layout, const CodedPlanes& planes,
                                     const EncodeParams& params) {
  const std::uint32_t cbw = params.block_width, cbh = params.block_height;
  Packets out;
  out.seq = layout.packet_sequence();
  const std::size_t count = out.seq.size();
  out.header_end.resize(count);
  out.lengths.resize(count);
  out.bands.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const PacketId& p = out.seq[i];
    const unsigned r = p.resolution;
    // Maximal precincts: 2^15 in resolution 0, 2^14 in the bands above it.
    const unsigned s = r == 0 ? 15 : 14;
    std::vector<BandBlocks>& pb = out.bands[i];
    std::uint64_t data_bytes = 0;
    for (std::size_t k = 0; k < planes.bands[r].size(); ++k) {
      const Band& b = planes.bands[r][k];
      const CodedBand& cb = planes.coded[p.component][r][k];
      const unsigned xcb = std::countr_zero(static_cast<std::uint32_t>(effective_block_side(cbw, static_cast<std::uint8_t>(r))));
      const unsigned ycb = std::countr_zero(static_cast<std::uint32_t>(effective_block_side(cbh, static_cast<std::uint8_t>(r))));
      std::uint64_t fx = 0, fy = 0, across = 0, down = 0;
      const std::uint64_t x0 = p.precinct_x << s, y0 = p.precinct_y << s;
      if (!b.empty() && x0 < b.width && y0 < b.height) {
        const std::uint64_t x1 = std::min(b.width, (p.precinct_x + 1) << s);
        const std::uint64_t y1 = std::min(b.height, (p.precinct_y + 1) << s);
        fx = x0 >> xcb;
        fy = y0 >> ycb;
        across = ((x1 + (std::uint64_t{1} << xcb) - 1) >> xcb) - fx;
        down = ((y1 + (std::uint64_t{1} << ycb) - 1) >> ycb) - fy;
      }
      pb.push_back(window_blocks(cb, fx, fy, across, down, planes.body));
      for (const CodeBlock& blk : pb.back().blocks) data_bytes += blk.lcup;
    }
    VARNEL_ASSIGN_OR_RETURN(auto hl, append_packet_header(pb, out.headers));
    out.header_end[i] = out.headers.size();
    out.lengths[i] = static_cast<std::uint32_t>(hl + data_bytes);
  }
  return out;
}

// Step 5: the PLT segments, each payload (Zplt and the coded lengths) at
// most 65000 bytes.
Result<std::vector<std::uint8_t>> plt_segments(std::span<const std::uint32_t> lengths) {
  std::vector<std::uint8_t> plt;
  std::size_t start = 0;
  unsigned z = 0;
  while (start < lengths.size()) {
    std::size_t size = 1, end = start;
    while (end < lengths.size() && size + plt_coded_size(lengths[end]) <= 65000)
      size += plt_coded_size(lengths[end++]);
    auto payload = plt_payload(static_cast<std::uint8_t>(z), lengths.subspan(start, end - start));
    VARNEL_TRY(push_segment(plt, marker::PLT, payload));
    start = end;
    if (start < lengths.size()) {
      if (z == 255) return std::unexpected(invalid("more than 256 PLT segments required"));
      ++z;
    }
  }
  return plt;
}

// Steps 6, 8 and 9: the main header, the one tile-part (SOT, PLT, SOD and
// the packets) and EOC, appended to `out`. `psot` is the tile-part's length.
// Returns where the packets start, from SOC.
Result<std::size_t> append_codestream(const Codestream& layout, const EncodeParams& params,
                               const Packets& packets, std::span<const std::uint8_t> plt,
                               std::uint64_t psot, std::vector<std::uint8_t>& out) {
  const std::size_t size_bound =
      static_cast<std::size_t>(256 + layout.qcd.steps.size() + 3 * layout.siz.components.size() + psot);
  if (out.capacity() - out.size() < size_bound)
    out.reserve(std::max(2 * out.capacity(), out.size() + size_bound));
  const std::size_t start = out.size();
  push_marker(out, marker::SOC);
  auto push = [&](std::uint16_t code, const std::vector<std::uint8_t>& payload) {
    return push_segment(out, code, payload);
  };
  // CAP straight after SIZ, where T.800 (2019) Annex A places it: some readers
  // (Grok) look for it only there and mis-decode without it.
  VARNEL_TRY(push(marker::SIZ, layout.siz.to_bytes()));
  VARNEL_TRY(push(marker::CAP, Cap::from_magb(layout.qcd.magb()).to_bytes()));
  VARNEL_TRY(push(marker::COD, layout.cod.to_bytes()));
  VARNEL_TRY(push(marker::QCD, layout.qcd.to_bytes()));
  VARNEL_TRY(push(marker::COM, com_payload(kComText)));
  if (params.index) {
    const std::uint32_t tl[1] = {static_cast<std::uint32_t>(psot)};
    VARNEL_TRY(push(marker::TLM, tlm_payload(tl)));
  }
  Sot sot;
  sot.isot = 0;
  sot.psot = static_cast<std::uint32_t>(psot);
  sot.tpsot = 0;
  sot.tnsot = 1;
  VARNEL_TRY(push(marker::SOT, sot.to_bytes()));
  out.insert(out.end(), plt.begin(), plt.end());
  push_marker(out, marker::SOD);
  const std::size_t body = out.size() - start;
  std::size_t h0 = 0;
  for (std::size_t i = 0; i < packets.seq.size(); ++i) {
    out.insert(out.end(), packets.headers.begin() + static_cast<std::ptrdiff_t>(h0),
               packets.headers.begin() + static_cast<std::ptrdiff_t>(packets.header_end[i]));
    h0 = packets.header_end[i];
    for (const BandBlocks& bb : packets.bands[i])
      for (const CodeBlock& blk : bb.blocks)
        if (blk.data) out.insert(out.end(), blk.data->begin(), blk.data->end());
  }
  push_marker(out, marker::EOC);
  return body;
}

// Steps 2 to 9 once the input is checked. `next_plane(c, levels)` returns
// component c, level-shifted and transformed with that many levels, in a
// plane buffer the writer may read until the next call (it may be the
// caller's own samples). The codestream is appended to `out`.
template <class NextPlane>
Result<void> write_codestream(std::size_t width, std::size_t height, std::size_t comps,
                              std::uint8_t depth, bool is_signed, const EncodeParams& params,
                              const Quant& quant, NextPlane&& next_plane,
                              std::vector<std::uint8_t>& out, ResolutionEnds* ends) {
  const Codestream layout = header_layout(width, height, comps, depth, is_signed, params, quant);
  // The planes too deep for 32-bit words take the 64-bit path, untransformed.
  VARNEL_ASSIGN_OR_RETURN(
      const CodedPlanes planes,
      needs_wide_datapath(quant)
          ? code_planes_wide(width, height, comps, depth, params, quant,
                             [&](std::size_t c) { return next_plane(c, std::uint8_t{0}); })
          : code_planes(width, height, comps, depth, params, quant, next_plane));
  VARNEL_ASSIGN_OR_RETURN(const Packets packets, write_packet_headers(layout, planes, params));
  std::vector<std::uint8_t> plt;
  if (params.index) {
    VARNEL_ASSIGN_OR_RETURN(auto segments, plt_segments(packets.lengths));
    plt = std::move(segments);
  }
  // Step 6: the tile-part's length, SOT (12) + PLT + SOD (2) + packets.
  std::uint64_t packet_bytes = 0;
  for (std::uint32_t l : packets.lengths) packet_bytes += l;
  const std::uint64_t psot = 14 + plt.size() + packet_bytes;
  VARNEL_ASSIGN_OR_RETURN(const std::size_t body, append_codestream(layout, params, packets, plt, psot, out));
  if (ends) {
    // Each packet ends where the PLT lengths put it (codestream::packet_index).
    ends->assign(std::size_t{params.levels} + 1, 0);
    std::uint64_t at = body;
    for (std::size_t i = 0; i < packets.seq.size(); ++i) {
      at += packets.lengths[i];
      std::uint64_t& end = (*ends)[packets.seq[i].resolution];
      end = std::max(end, at);
    }
  }
  return ok();
}

}  // namespace

Result<std::vector<std::uint8_t>> encode_image_with_depth(std::span<const CoeffPlane> planes,
                                                          std::uint8_t depth, bool is_signed,
                                                          const EncodeParams& params) {
  // 1. Checks, in order.
  if (planes.empty()) return std::unexpected(invalid("at least one component required"));
  const std::size_t width = planes[0].width(), height = planes[0].height();
  if (width == 0 || height == 0) return std::unexpected(invalid("empty image"));
  for (const CoeffPlane& p : planes)
    if (p.width() != width || p.height() != height)
      return std::unexpected(invalid("all components must have identical dimensions"));
  VARNEL_TRY(check_image(width, height, depth, params));
  for (const CoeffPlane& p : planes)
    if (!in_range(sample_range(p.samples().data(), p.samples().size()), depth, is_signed))
      return std::unexpected(invalid("sample outside the declared dtype range"));
  VARNEL_ASSIGN_OR_RETURN(auto quant, check_quant(width, height, depth, is_signed, params));

  // Every sample is written by the level shift, so the buffer is not zeroed.
  const std::size_t samples = width * height;
  BigArray<std::int32_t> storage(samples);
  if (storage.empty()) return std::unexpected(unsupported("image too large to encode in memory"));
  const std::uint32_t shift = is_signed ? 0 : (depth - 1u < 32 ? std::uint32_t{1} << (depth - 1u) : 0);
  auto next_plane = [&](std::size_t c, std::uint8_t levels) -> Result<std::span<std::int32_t>> {
    shift_into(planes[c].samples().data(), storage.data(), samples, shift);
    const std::span<std::int32_t> plane(storage.data(), samples);
    VARNEL_TRY(htj2k::forward_53(plane, width, height, levels));
    return plane;
  };
  std::vector<std::uint8_t> out;
  VARNEL_TRY(write_codestream(width, height, planes.size(), depth, is_signed, params, quant,
                               next_plane, out, nullptr));
  return out;
}

namespace {

// The checks that open the single-plane entries: the buffer holds the plane,
// then the image parameters. Returns the plane's area.
Result<std::size_t> checked_area(std::size_t buffer, std::size_t width, std::size_t height,
                                 std::uint8_t depth, const EncodeParams& params) {
  std::size_t area = 0;
  if (__builtin_mul_overflow(width, height, &area) || buffer < area)
    return std::unexpected(invalid("plane buffer smaller than width * height"));
  VARNEL_TRY(check_image(width, height, depth, params));
  return area;
}

// The rest of a single-plane entry: the quantization check, then the
// codestream of the plane that `transform(plane, levels)` transforms in
// place, appended to `out` (nothing is appended on failure).
template <class Transform>
Result<void> append_plane(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                          std::uint8_t depth, bool is_signed, const EncodeParams& params,
                          const Transform& transform, std::vector<std::uint8_t>& out,
                          ResolutionEnds* ends) {
  VARNEL_ASSIGN_OR_RETURN(auto quant, check_quant(width, height, depth, is_signed, params));
  const std::size_t at = out.size();
  auto w = write_codestream(
      width, height, 1, depth, is_signed, params, quant,
      [&](std::size_t, std::uint8_t levels) -> Result<std::span<std::int32_t>> {
        VARNEL_TRY(transform(plane, levels));
        return plane;
      },
      out, ends);
  if (!w) {
    out.resize(at);
    return std::unexpected(std::move(w.error()));
  }
  return ok();
}

}  // namespace

Result<void> encode_plane_in_place(std::span<std::int32_t> samples, std::size_t width,
                                   std::size_t height, std::uint8_t depth, bool is_signed,
                                   const EncodeParams& params, std::vector<std::uint8_t>& out,
                                   bool level_shifted) {
  VARNEL_ASSIGN_OR_RETURN(auto area, checked_area(samples.size(), width, height, depth, params));
  // The range check and the level shift share one pass (on failure the
  // samples are left shifted: they are the writer's to change either way).
  const std::uint32_t shift = is_signed ? 0 : (depth - 1u < 32 ? std::uint32_t{1} << (depth - 1u) : 0);
  const auto plane = samples.first(area);
  if (!level_shifted && !in_range(shift_in_place(plane.data(), area, shift), depth, is_signed))
    return std::unexpected(invalid("sample outside the declared dtype range"));
  return append_plane(
      plane, width, height, depth, is_signed, params,
      [&](std::span<std::int32_t> p, std::uint8_t levels) { return htj2k::forward_53(p, width, height, levels); },
      out, nullptr);
}

Result<void> encode_plane_from_rows(std::span<std::int32_t> scratch, std::size_t width,
                                    std::size_t height, std::uint8_t depth, bool is_signed,
                                    const EncodeParams& params, htj2k::RowSource rows,
                                    std::vector<std::uint8_t>& out, ResolutionEnds* ends) {
  VARNEL_ASSIGN_OR_RETURN(auto area, checked_area(scratch.size(), width, height, depth, params));
  return append_plane(
      scratch.first(area), width, height, depth, is_signed, params,
      [&](std::span<std::int32_t> p, std::uint8_t levels) {
        return htj2k::forward_53_rows(p, width, height, levels, rows);
      },
      out, ends);
}

}  // namespace varnel::codestream
