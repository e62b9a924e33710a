// Resolution-limited decode: the packet walk with precinct windows, the HT
// code-blocks of every packet up to the chosen resolution, the inverse 5/3
// transform, the reversible component transform and the DC level shift.
//
// The walk runs in two phases. First every packet header of the walked
// prefix is parsed and every code-block's bytes located (nothing large is
// allocated, so a codestream that cannot hold what it declares fails here);
// then the coefficient planes are allocated and the blocks decoded straight
// into them.
#include <algorithm>
#include <limits>
#include <new>

#include "codestream/geometry.hpp"
#include "codestream/packet.hpp"
#include "codestream/reader.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/dwt/dwt.hpp"

namespace varnel::codestream {
namespace {

Error err(std::uint64_t at, std::string_view message) {
  return Error::malformed(at, std::string(message));
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
std::uint64_t ceil_shift(std::uint64_t n, unsigned s) {
  return (n >> s) + ((n & ((std::uint64_t{1} << s) - 1)) != 0 ? 1 : 0);
}

// What the walk needs to know of one band of a resolution.
struct BandInfo {
  Band band;
  unsigned sx = 0, sy = 0;    // precinct exponents inside the band
  unsigned xcb = 0, ycb = 0;  // code-block exponents at this resolution
  std::uint8_t magb = 0;
};

struct ResolutionInfo {
  std::vector<BandInfo> bands;
};

// One code-block to decode: where its bytes are and where it goes.
struct BlockJob {
  std::size_t data = 0;   // offset in the joined packet data
  std::size_t plane = 0;  // offset of its top-left sample in its component plane
  std::uint32_t component = 0;
  std::uint32_t lcup = 0, lref = 0;
  std::uint16_t width = 0, height = 0;
  std::uint8_t missing_msbs = 0;
  std::uint8_t passes = 0;
  std::uint8_t magb = 0;
};

// Sign-magnitude words with the band's top bit-plane at bit 30 become
// two's-complement coefficients: magnitude >> (31 - M_b), negated when bit
// 31 is set. The half step below the lowest decoded bit-plane falls away
// when that plane is bit 31 - M_b.
void words_to_coefficients(std::int32_t* row, std::size_t width, std::size_t height,
                           std::size_t stride, unsigned shift) {
  for (std::size_t y = 0; y < height; ++y, row += stride) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint32_t w = static_cast<std::uint32_t>(row[x]);
      const std::int32_t m = static_cast<std::int32_t>((w & 0x7FFFFFFFu) >> shift);
      const std::int32_t s = static_cast<std::int32_t>(w) >> 31;  // 0 or -1
      row[x] = (m ^ s) - s;
    }
  }
}

}  // namespace

Result<DecodedImage> Codestream::decode_to_resolution(std::uint8_t target) const {
  if (auto s = check_supported(); !s) return std::unexpected(std::move(s.error()));

  const unsigned levels = cod.levels;
  const unsigned H = std::min<unsigned>(target, levels);
  const std::size_t comps = siz.components.size();
  const bool causal = (cod.cblk_style & kCblkCausal) != 0;
  const bool sop = (cod.scod & kScodSop) != 0;
  const bool eph = (cod.scod & kScodEph) != 0;
  const unsigned xcb = cod.xcb + 2u, ycb = cod.ycb + 2u;

  // Joined packet data: the tile-part bodies in order (a view when there is
  // only one).
  std::vector<std::uint8_t> joined_storage;
  std::span<const std::uint8_t> joined;
  auto clip = [&](std::size_t v) { return std::min(v, data.size()); };
  if (tile_parts.size() == 1) {
    const std::size_t b = clip(tile_parts[0].body_start), e = clip(tile_parts[0].body_end);
    joined = data.subspan(b, e > b ? e - b : 0);
  } else {
    std::size_t total = 0;
    for (const TilePart& tp : tile_parts) {
      const std::size_t b = clip(tp.body_start), e = clip(tp.body_end);
      total += e > b ? e - b : 0;
    }
    joined_storage.reserve(total);
    for (const TilePart& tp : tile_parts) {
      const std::size_t b = clip(tp.body_start), e = clip(tp.body_end);
      if (e > b) joined_storage.insert(joined_storage.end(), data.begin() + b, data.begin() + e);
    }
    joined = joined_storage;
  }

  // Size of the resolution decoded, and the planes' size (checked).
  const std::uint64_t out_w = halved(siz.xsiz, levels - H);
  const std::uint64_t out_h = halved(siz.ysiz, levels - H);
  std::uint64_t plane_samples = 0, all_samples = 0;
  if (__builtin_mul_overflow(out_w, out_h, &plane_samples) ||
      __builtin_mul_overflow(plane_samples, std::uint64_t{comps}, &all_samples) ||
      all_samples > std::numeric_limits<std::size_t>::max() / sizeof(std::int32_t) / 2)
    return std::unexpected(Error::unsupported("image too large to decode in memory"));

  // Per resolution: its bands, precinct and code-block exponents, M_b.
  std::vector<ResolutionInfo> res(levels + 1);
  for (unsigned r = 0; r <= levels; ++r) {
    unsigned ppx = 15, ppy = 15;
    if (!cod.precincts.empty()) {
      const PrecinctSize& p = r < cod.precincts.size() ? cod.precincts[r] : cod.precincts.back();
      ppx = p.ppx;
      ppy = p.ppy;
    }
    unsigned sx = r == 0 ? ppx : (ppx == 0 ? 0 : ppx - 1);
    unsigned sy = r == 0 ? ppy : (ppy == 0 ? 0 : ppy - 1);
    sx = std::min(sx, 31u);
    sy = std::min(sy, 31u);
    for (const Band& b : bands_of_resolution(siz.xsiz, siz.ysiz, static_cast<std::uint8_t>(levels),
                                             static_cast<std::uint8_t>(r))) {
      BandInfo bi;
      bi.band = b;
      bi.sx = sx;
      bi.sy = sy;
      bi.xcb = std::min(sx, xcb);
      bi.ycb = std::min(sy, ycb);
      bi.magb = static_cast<std::uint8_t>(std::min<std::uint32_t>(
          qcd.band_magb(static_cast<std::uint8_t>(r), b.kind), 255));
      res[r].bands.push_back(bi);
    }
  }

  // A packet whose precinct holds code-blocks takes at least one byte; only
  // packets with empty precinct windows (edge precincts, 1 x 1 resolutions)
  // can take none. A sequence longer than that cannot be held by the data,
  // so it is refused before it is built.
  {
    std::uint64_t walked = 0, free_packets = 0;
    const bool position_major = cod.progression == 3 || cod.progression == 4;
    for (unsigned r = 0; r <= levels; ++r) {
      const auto [cols, rows] = precinct_grid(static_cast<std::uint8_t>(r));
      if (position_major || r <= H) walked = sat_add(walked, sat_mul(sat_mul(cols, rows), comps));
      free_packets = sat_add(free_packets, sat_mul(sat_add(sat_add(cols, rows), 1), comps));
    }
    if (walked > sat_add(joined.size(), free_packets))
      return std::unexpected(err(joined.size(), "packet header truncated"));
  }

  const std::vector<PacketId> seq = packet_sequence(static_cast<std::uint8_t>(H));
  std::size_t walk_end = 0;  // one past the last packet of resolution <= H
  for (std::size_t i = 0; i < seq.size(); ++i)
    if (seq[i].resolution <= H) walk_end = i + 1;

  // Phase 1: parse the headers of the walked packets and locate every block.
  std::vector<BlockJob> jobs;
  std::vector<BlockHeader> headers;
  std::vector<BandDescriptor> descs;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> firsts;  // first block column, row
  std::size_t pos = 0;
  for (std::size_t i = 0; i < walk_end; ++i) {
    const PacketId& p = seq[i];
    if (pos > joined.size()) return std::unexpected(err(pos, "packet body truncated"));
    const ResolutionInfo& ri = res[p.resolution];
    descs.clear();
    firsts.clear();
    for (const BandInfo& bi : ri.bands) {
      BandDescriptor d;
      d.magb = bi.magb;
      std::uint64_t fx = 0, fy = 0;
      const std::uint64_t bw = bi.band.width, bh = bi.band.height;
      // Precinct origin in the band; p.precinct_x < 2^32, so no overflow.
      const std::uint64_t x0 = p.precinct_x << bi.sx, y0 = p.precinct_y << bi.sy;
      if (bw != 0 && bh != 0 && x0 < bw && y0 < bh) {
        const std::uint64_t x1 = std::min(bw, (p.precinct_x + 1) << bi.sx);
        const std::uint64_t y1 = std::min(bh, (p.precinct_y + 1) << bi.sy);
        fx = x0 >> bi.xcb;
        fy = y0 >> bi.ycb;
        d.across = ceil_shift(x1, bi.xcb) - fx;
        d.down = ceil_shift(y1, bi.ycb) - fy;
      }
      descs.push_back(d);
      firsts.emplace_back(fx, fy);
    }
    auto hl = parse_packet_header_into(joined.subspan(pos), descs, sop, eph, pos, headers);
    if (!hl) return std::unexpected(std::move(hl.error()));
    pos += *hl;
    for (const BlockHeader& bh : headers) {
      const std::uint64_t len = std::uint64_t{bh.lcup} + bh.lref;
      if (len > joined.size() - std::min(pos, joined.size()))
        return std::unexpected(err(pos, "packet body truncated"));
      if (p.resolution <= H) {
        const BandInfo& bi = ri.bands[bh.band];
        const std::uint64_t bx = (firsts[bh.band].first + bh.x) << bi.xcb;
        const std::uint64_t by = (firsts[bh.band].second + bh.y) << bi.ycb;
        BlockJob job;
        job.data = pos;
        job.component = p.component;
        job.lcup = bh.lcup;
        job.lref = bh.lref;
        job.width = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(std::uint64_t{1} << bi.xcb, bi.band.width - bx));
        job.height = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(std::uint64_t{1} << bi.ycb, bi.band.height - by));
        job.plane = static_cast<std::size_t>((bi.band.y0 + by) * out_w + bi.band.x0 + bx);
        job.missing_msbs = bh.missing_msbs;
        job.passes = bh.passes;
        job.magb = bi.magb;
        jobs.push_back(job);
      }
      pos += static_cast<std::size_t>(len);
    }
  }

  // Phase 2: planes, blocks, inverse transform.
  DecodedImage image;
  image.width = static_cast<std::size_t>(out_w);
  image.height = static_cast<std::size_t>(out_h);
  try {
    image.components.resize(comps);
    for (auto& plane : image.components) plane.assign(static_cast<std::size_t>(plane_samples), 0);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::unsupported("image too large to decode in memory"));
  }

  htj2k::BlockDecoder decoder;
  for (const BlockJob& job : jobs) {
    std::int32_t* base = image.components[job.component].data() + job.plane;
    const std::size_t window = (job.height - 1u) * image.width + job.width;
    auto out = std::span<std::uint32_t>(reinterpret_cast<std::uint32_t*>(base), window);
    auto r = decoder.decode(joined.subspan(job.data, std::size_t{job.lcup} + job.lref), out,
                            job.width, job.height, image.width, job.missing_msbs,
                            {job.lcup, job.lref, job.passes}, causal);
    if (!r) return std::unexpected(std::move(r.error()));
    // M_b >= 1 for any block that has coded bit-planes; words of a band
    // with M_b = 0 are all zero.
    const unsigned shift = 31u - std::min<unsigned>(job.magb, 31u);
    words_to_coefficients(base, job.width, job.height, image.width, shift);
  }

  for (auto& plane : image.components) {
    auto r = htj2k::inverse_53(plane, image.width, image.height, static_cast<std::uint8_t>(H));
    if (!r) return std::unexpected(std::move(r.error()));
  }

  // Reversible component transform (T.800 G.2), inverse.
  if (comps >= 3 && cod.mct == 1) {
    auto& c0 = image.components[0];
    auto& c1 = image.components[1];
    auto& c2 = image.components[2];
    const std::size_t n = std::min({c0.size(), c1.size(), c2.size()});
    // Sums wrap in 32 bits (only corrupt input gets there); this keeps the
    // loop vectorisable and free of signed overflow.
    auto add = [](std::int32_t a, std::int32_t b) {
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
    };
    for (std::size_t i = 0; i < n; ++i) {
      const std::int32_t y0 = c0[i], y1 = c1[i], y2 = c2[i];
      const std::int32_t g = static_cast<std::int32_t>(static_cast<std::uint32_t>(y0) -
                                                       static_cast<std::uint32_t>(add(y1, y2) >> 2));
      c0[i] = add(y2, g);
      c1[i] = g;
      c2[i] = add(y1, g);
    }
  }

  // DC level shift of unsigned components, clamped to their range. Depths
  // beyond 31 bits are clamped to what 32-bit signed output can hold.
  for (std::size_t c = 0; c < comps; ++c) {
    const SizComponent& sc = siz.components[c];
    if (sc.is_signed) continue;
    const unsigned d = std::clamp<unsigned>(sc.depth, 1, 38);
    std::vector<std::int32_t>& v = image.components[c];
    if (d <= 31) {
      // Clamp to [-2^(d-1), 2^(d-1) - 1] first, then shift: no overflow,
      // and the loop vectorises.
      const std::int32_t half = static_cast<std::int32_t>(std::uint32_t{1} << (d - 1));
      const std::int32_t lo = -half, hi = half - 1;
      for (std::int32_t& x : v) x = std::min(std::max(x, lo), hi) + half;
    } else {
      const std::int64_t half = std::int64_t{1} << (d - 1);
      for (std::int32_t& x : v)
        x = static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{x} + half, 0, INT32_MAX));
    }
  }
  return image;
}

}  // namespace varnel::codestream
