// Resolution-limited decode: the packet walk with precinct windows, the HT
// code-blocks of every packet up to the chosen resolution, the inverse 5/3
// transform, the reversible component transform and the DC level shift.
//
// The shape of a decode, in order (each a function below):
//   plan_decode            check_supported, then plan_decode_checked:
//     join_tile_parts        the packet data, one view of all tile-part bodies
//     size_planes            W_H x H_H, checked against the address space
//     describe_resolutions   bands, precinct and code-block exponents, M_b
//     check_packet_budget    the data holds a byte per coded packet, or refused
//     locate_blocks          phase 1: every packet header parsed, every block located
//     find_uncoded_windows   the windows no packet codes, to be zeroed
//   run_decode             phase 2, into the caller's planes:
//     decode_blocks          prepare_planes (checks, zeroes), then each BlockJob
//     inverse_53             per plane (htj2k/dwt)
//     inverse RCT            when the COD asks for it
//     dc_shift_component     per unsigned component
//   run_decode_rows        phase 2 for one plane streamed row by row, from the
//                          coarsest LL band and a strip of high-pass blocks
//                          per level (16-bit where the bands' M_b allow)
//
// Phase 1 allocates nothing large, so a codestream that cannot hold what it
// declares fails there; then the coefficient planes are allocated and the
// blocks decoded straight into them. Planes are not cleared beforehand: the
// block decoder writes every sample of a coded block, and only the windows
// of the blocks that no packet codes are zeroed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "codestream/coefficients.hpp"
#include "codestream/decode_plan.hpp"
#include "codestream/decode_wide.hpp"
#include "codestream/geometry.hpp"
#include "codestream/packet.hpp"
#include "codestream/packet_order.hpp"
#include "codestream/reader.hpp"
#include "htj2k/block/decode.hpp"
#include "htj2k/dwt/dwt.hpp"

namespace varnel::codestream {
namespace {


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
  std::size_t first_block = 0;  // index of its first band's first block in the coverage map
};

// Code-block grid of a band: blocks of 2^xcb x 2^ycb from the band's origin.
std::uint64_t blocks_across(const BandInfo& bi) { return ceil_shift(bi.band.width, bi.xcb); }
std::uint64_t blocks_down(const BandInfo& bi) { return ceil_shift(bi.band.height, bi.ycb); }

// Precincts of a resolution's cols x rows grid whose window holds code-blocks
// in some band: in each band those are the precincts starting inside it,
// the first ceil(width / 2^sx) columns of the first ceil(height / 2^sy)
// rows, so they form a union of rectangles anchored at the grid's origin,
// counted by inclusion and exclusion.
std::uint64_t coded_precincts(const ResolutionInfo& ri, std::uint64_t cols, std::uint64_t rows) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> rects;
  for (const BandInfo& bi : ri.bands)
    if (!bi.band.empty())
      rects.emplace_back(std::min(ceil_shift(bi.band.width, bi.sx), cols),
                         std::min(ceil_shift(bi.band.height, bi.sy), rows));
  unsigned __int128 sum = 0, minus = 0;
  const std::size_t n = rects.size();  // at most 3
  for (std::size_t set = 1; set < (std::size_t{1} << n); ++set) {
    std::uint64_t c = UINT64_MAX, r = UINT64_MAX;
    for (std::size_t k = 0; k < n; ++k)
      if (set & (std::size_t{1} << k)) {
        c = std::min(c, rects[k].first);
        r = std::min(r, rects[k].second);
      }
    const unsigned __int128 area = static_cast<unsigned __int128>(c) * r;
    (__builtin_popcountll(set) % 2 ? sum : minus) += area;
  }
  const unsigned __int128 count = sum - minus;  // <= cols * rows
  return count > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(count);
}

// Stage 1: the packet data, the tile-part bodies in order (a view of the
// codestream's bytes when there is only one).
void join_tile_parts(const Codestream& cs, DecodePlan& plan) {
  const std::span<const std::uint8_t> data = cs.data;
  auto clip = [&](std::size_t v) { return std::min(v, data.size()); };
  if (cs.tile_parts.size() == 1) {
    const std::size_t b = clip(cs.tile_parts[0].body_start), e = clip(cs.tile_parts[0].body_end);
    plan.joined = data.subspan(b, e > b ? e - b : 0);
    return;
  }
  std::size_t total = 0;
  for (const TilePart& tp : cs.tile_parts) {
    const std::size_t b = clip(tp.body_start), e = clip(tp.body_end);
    total += e > b ? e - b : 0;
  }
  plan.joined_storage.reserve(total);
  for (const TilePart& tp : cs.tile_parts) {
    const std::size_t b = clip(tp.body_start), e = clip(tp.body_end);
    if (e > b) plan.joined_storage.insert(plan.joined_storage.end(), data.begin() + b, data.begin() + e);
  }
  plan.joined = plan.joined_storage;
}

// Stage 2: the size of the resolution decoded, W_H x H_H, and the planes'
// size, checked against what the address space can hold.
Result<void> size_planes(const Codestream& cs, DecodePlan& plan) {
  const unsigned levels = cs.cod.levels, H = plan.resolution;
  const std::uint64_t out_w = halved(cs.siz.xsiz, levels - H);
  const std::uint64_t out_h = halved(cs.siz.ysiz, levels - H);
  std::uint64_t plane_samples = 0, all_samples = 0;
  if (__builtin_mul_overflow(out_w, out_h, &plane_samples) ||
      __builtin_mul_overflow(plane_samples, std::uint64_t{plan.components}, &all_samples) ||
      all_samples > std::numeric_limits<std::size_t>::max() / sizeof(std::int32_t) / 2)
    return std::unexpected(unsupported("image too large to decode in memory"));
  plan.width = static_cast<std::size_t>(out_w);
  plan.height = static_cast<std::size_t>(out_h);
  return ok();
}

// Stage 3, per resolution: its bands, precinct and code-block exponents,
// M_b, and where its blocks start in the coverage map (resolutions <= H
// only; no band holds more blocks than samples, so the map is at most one
// byte per sample of a plane).
struct Resolutions {
  std::vector<ResolutionInfo> info;  // resolutions 0..N_L
  std::uint64_t map_blocks = 0;      // blocks of resolutions 0..H
};

Resolutions describe_resolutions(const Codestream& cs, unsigned H) {
  const Siz& siz = cs.siz;
  const Cod& cod = cs.cod;
  const unsigned levels = cod.levels;
  const unsigned xcb = cod.xcb + 2u, ycb = cod.ycb + 2u;
  Resolutions out;
  std::vector<ResolutionInfo>& res = out.info;
  res.resize(levels + 1);
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
    res[r].first_block = static_cast<std::size_t>(out.map_blocks);
    for (const Band& b : bands_of_resolution(siz.xsiz, siz.ysiz, static_cast<std::uint8_t>(levels),
                                             static_cast<std::uint8_t>(r))) {
      BandInfo bi;
      bi.band = b;
      bi.sx = sx;
      bi.sy = sy;
      bi.xcb = std::min(sx, xcb);
      bi.ycb = std::min(sy, ycb);
      bi.magb = static_cast<std::uint8_t>(std::min<std::uint32_t>(
          cs.qcd.band_magb(static_cast<std::uint8_t>(r), b.kind), 255));
      if (r <= H) out.map_blocks += blocks_across(bi) * blocks_down(bi);  // <= plane_samples
      res[r].bands.push_back(bi);
    }
  }
  return out;
}

// Stage 4: every packet whose precinct holds code-blocks takes at least one
// byte of packet data (its header's first bit); the walk reaches every
// packet of the resolutions <= H. When the data cannot hold those, the
// codestream is refused here, before any work in proportion to its
// declared size.
Result<void> check_packet_budget(const Codestream& cs, const Resolutions& res,
                                 const DecodePlan& plan) {
  std::uint64_t coded = 0;
  for (unsigned r = 0; r <= plan.resolution; ++r) {
    const auto [cols, rows] = cs.precinct_grid(static_cast<std::uint8_t>(r));
    coded = sat_add(coded, sat_mul(coded_precincts(res.info[r], cols, rows), plan.components));
  }
  if (coded > plan.joined.size())
    return std::unexpected(malformed(plan.joined.size(), "packet data too short for the declared packets"));
  return ok();
}

// The code-blocks of packet `p`'s precinct in each band of its resolution:
// their grid (`descs`) and the grid position of the first (`firsts`:
// column, row).
void describe_precinct(const ResolutionInfo& ri, const PacketId& p,
                       std::vector<BandDescriptor>& descs,
                       std::vector<std::pair<std::uint64_t, std::uint64_t>>& firsts) {
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
}

// Stage 5: parses the headers of the walked packets and locates every block
// of resolution <= H, as a job of the plan; returns each job's index in the
// coverage map. The walk ends after the last packet of resolution <= H;
// each packet with code-blocks takes a byte, so it stops at the end of the
// data after at most one packet without code-blocks per resolution and
// component.
Result<std::vector<std::size_t>> locate_blocks(const Codestream& cs, const Resolutions& res,
                                               DecodePlan& plan) {
  const unsigned H = plan.resolution;
  const std::uint64_t out_w = plan.width;
  const bool sop = (cs.cod.scod & kScodSop) != 0;
  const bool eph = (cs.cod.scod & kScodEph) != 0;
  const std::span<const std::uint8_t> joined = plan.joined;
  PacketOrder order(cs, static_cast<std::uint8_t>(H));
  std::vector<std::size_t> job_block;
  std::vector<BlockHeader> headers;
  std::vector<BandDescriptor> descs;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> firsts;  // first block column, row
  std::size_t pos = 0;
  while (const std::optional<PacketId> next = order.next()) {
    const PacketId& p = *next;
    if (pos > joined.size()) return std::unexpected(malformed(pos, "packet body truncated"));
    const ResolutionInfo& ri = res.info[p.resolution];
    describe_precinct(ri, p, descs, firsts);
    VARNEL_ASSIGN_OR_RETURN(const std::size_t header_length,
                            parse_packet_header_into(joined.subspan(pos), descs, sop, eph, pos, headers));
    pos += header_length;
    for (const BlockHeader& bh : headers) {
      const std::uint64_t len = std::uint64_t{bh.lcup} + bh.lref;
      if (len > joined.size() - std::min(pos, joined.size()))
        return std::unexpected(malformed(pos, "packet body truncated"));
      if (p.resolution <= H) {
        const BandInfo& bi = ri.bands[bh.band];
        const std::uint64_t gx = firsts[bh.band].first + bh.x, gy = firsts[bh.band].second + bh.y;
        const std::uint64_t bx = gx << bi.xcb, by = gy << bi.ycb;
        BlockJob job;
        job.data = pos;
        job.window.component = p.component;
        job.lcup = bh.lcup;
        job.lref = bh.lref;
        job.window.width = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{1} << bi.xcb, bi.band.width - bx));
        job.window.height = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t{1} << bi.ycb, bi.band.height - by));
        job.window.plane = static_cast<std::size_t>((bi.band.y0 + by) * out_w + bi.band.x0 + bx);
        job.missing_msbs = bh.missing_msbs;
        job.passes = bh.passes;
        job.magb = bi.magb;
        plan.jobs.push_back(job);
        std::size_t block = ri.first_block;
        for (std::size_t k = 0; k < bh.band; ++k)
          block += static_cast<std::size_t>(blocks_across(ri.bands[k]) * blocks_down(ri.bands[k]));
        job_block.push_back(block + static_cast<std::size_t>(gy * blocks_across(bi) + gx));
      }
      pos += static_cast<std::size_t>(len);
    }
  }
  return job_block;
}

// Stage 6: the windows of the blocks of resolutions <= H that no packet
// codes, a run of such blocks in a row of blocks making one window, and
// runs of the same columns in consecutive rows one taller window (so the
// list grows with the coded blocks, which the data must hold, not with the
// area or the rows). Together with the coded blocks they tile each plane:
// the bands of those resolutions tile the W_H x H_H region, the block grid
// tiles each band.
void find_uncoded_windows(const Resolutions& res, std::span<const std::size_t> job_block,
                          DecodePlan& plan) {
  const std::uint64_t out_w = plan.width;
  std::vector<std::uint8_t> coded;
  for (std::size_t c = 0; c < plan.components; ++c) {
    coded.assign(static_cast<std::size_t>(res.map_blocks), 0);
    for (std::size_t j = 0; j < plan.jobs.size(); ++j)
      if (plan.jobs[j].window.component == c) coded[job_block[j]] = 1;
    std::size_t block = 0;
    for (unsigned r = 0; r <= plan.resolution; ++r) {
      for (const BandInfo& bi : res.info[r].bands) {
        const std::uint64_t across = blocks_across(bi), down = blocks_down(bi);
        for (std::uint64_t gy = 0; gy < down; ++gy, block += across) {
          const std::uint64_t by = gy << bi.ycb;
          for (std::uint64_t gx = 0; gx < across;) {
            if (coded[block + gx]) {
              ++gx;
              continue;
            }
            std::uint64_t end = gx + 1;
            while (end < across && !coded[block + end]) ++end;
            const std::uint64_t bx = gx << bi.xcb;
            PlaneWindow w;
            w.component = static_cast<std::uint32_t>(c);
            w.width = static_cast<std::uint32_t>(std::min(end << bi.xcb, bi.band.width) - bx);
            w.height = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(std::uint64_t{1} << bi.ycb, bi.band.height - by));
            w.plane = static_cast<std::size_t>((bi.band.y0 + by) * out_w + bi.band.x0 + bx);
            // A run right below one of the same columns extends it, so an
            // uncoded band is one window, however many rows of blocks.
            PlaneWindow* last = plan.zeros.empty() ? nullptr : &plan.zeros.back();
            if (last && last->component == w.component && last->width == w.width &&
                last->plane + std::size_t{last->height} * out_w == w.plane)
              last->height += w.height;
            else
              plan.zeros.push_back(w);
            gx = end;
          }
        }
      }
    }
  }
}

}  // namespace

// The stages in order (the list at the top of this file).
Result<DecodePlan> plan_decode_checked(const Codestream& cs, std::uint8_t target) {
  DecodePlan plan;
  plan.components = cs.siz.components.size();
  plan.resolution = static_cast<std::uint8_t>(std::min<unsigned>(target, cs.cod.levels));
  join_tile_parts(cs, plan);
  VARNEL_TRY(size_planes(cs, plan));
  const Resolutions res = describe_resolutions(cs, plan.resolution);
  VARNEL_TRY(check_packet_budget(cs, res, plan));
  VARNEL_ASSIGN_OR_RETURN(const std::vector<std::size_t> job_block, locate_blocks(cs, res, plan));
  find_uncoded_windows(res, job_block, plan);
  return plan;
}

Result<DecodePlan> plan_decode(const Codestream& cs, std::uint8_t target) {
  VARNEL_TRY(cs.check_supported());
  return plan_decode_checked(cs, target);
}

void dc_shift_component(std::span<std::int32_t> v, const SizComponent& sc) {
  if (sc.is_signed) return;
  const unsigned d = std::clamp<unsigned>(sc.depth, 1, 38);
  if (d <= 31) {
    // Clamp to [-2^(d-1), 2^(d-1) - 1] first, then shift: no overflow,
    // and the loop vectorises.
    const std::int32_t half = static_cast<std::int32_t>(std::uint32_t{1} << (d - 1));
    const std::int32_t lo = -half, hi = half - 1;
    for (std::int32_t& x : v) x = std::min(std::max(x, lo), hi) + half;
  } else {
    // Depths beyond 31 bits are clamped to what 32-bit signed output can hold.
    const std::int64_t half = std::int64_t{1} << (d - 1);
    for (std::int32_t& x : v)
      x = static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{x} + half, 0, INT32_MAX));
  }
}

namespace {

// Decodes code-blocks as coefficients, each into the window at `base`, rows
// `stride` samples apart, that the caller checked.
class JobRunner {
 public:
  JobRunner(const Codestream& cs, const DecodePlan& plan)
      : plan_(plan), causal_((cs.cod.cblk_style & kCblkCausal) != 0) {}

  Result<void> run(const BlockJob& job, std::int32_t* base, std::size_t stride) {
    const PlaneWindow& w = job.window;
    // The decoder expects a zero window (its refinement passes add to the
    // cleanup pass's words); the cleanup pass writes every sample of it.
    // M_b >= 1 for any block that has coded bit-planes; words of a band
    // with M_b = 0 are all zero.
    const unsigned shift = 31u - std::min<unsigned>(job.magb, 31u);
    const std::size_t window = (w.height - 1u) * stride + w.width;
    VARNEL_ASSIGN_OR_RETURN(const bool coefficients, decoder_.decode_coefficients(
        plan_.joined.subspan(job.data, std::size_t{job.lcup} + job.lref),
        std::span<std::int32_t>(base, window), w.width, w.height, stride, job.missing_msbs,
        {job.lcup, job.lref, job.passes}, causal_, shift));
    // Blocks with refinement passes leave words.
    if (!coefficients) to_coefficients_(base, w.width, w.height, stride, shift);
    return ok();
  }

  // `run` of two jobs at once (htj2k::BlockDecoder::decode_coefficients_pair).
  Result<void> run_pair(const BlockJob& a, std::int32_t* base_a, std::size_t stride_a,
                        const BlockJob& b, std::int32_t* base_b, std::size_t stride_b) {
    const htj2k::BlockDecoder::CoefficientBlock blocks[2] = {block(a, base_a, stride_a),
                                                             block(b, base_b, stride_b)};
    VARNEL_ASSIGN_OR_RETURN(const auto coefficients,
                            decoder_.decode_coefficients_pair(blocks[0], blocks[1], causal_));
    for (int n = 0; n < 2; ++n)
      if (!coefficients[n])
        to_coefficients_(blocks[n].out.data(), blocks[n].width, blocks[n].height,
                         blocks[n].stride, blocks[n].shift);
    return ok();
  }

  // Runs `jobs` (their windows checked by the caller, at `bases` with
  // `strides`), two at a time.
  template <class Base, class Stride>
  Result<void> run_all(std::span<const BlockJob* const> jobs, const Base& base, const Stride& stride) {
    std::size_t k = 0;
    for (; k + 1 < jobs.size(); k += 2)
      VARNEL_TRY(run_pair(*jobs[k], base(k), stride(k), *jobs[k + 1], base(k + 1), stride(k + 1)));
    if (k < jobs.size()) VARNEL_TRY(run(*jobs[k], base(k), stride(k)));
    return ok();
  }

  // `run_all` into windows of int16 coefficients (the caller's bands have
  // M_b <= 15). A block without refinement passes is decoded straight into
  // its window; one with them into 32-bit scratch, then saturated into it.
  template <class Base, class Stride>
  Result<void> run_all_narrow(std::span<const BlockJob* const> jobs, const Base& base,
                              const Stride& stride) {
    std::size_t area = 0;
    for (const BlockJob* job : jobs)
      area = std::max<std::size_t>(area, std::size_t{job->window.width} * job->window.height);
    auto describe = [&](std::size_t k, std::size_t slot) {
      const BlockJob& job = *jobs[k];
      const PlaneWindow& w = job.window;
      if (job.passes <= 1 || job.lref == 0) {
        htj2k::BlockDecoder::CoefficientBlock b = block(job, nullptr, 0);
        b.stride = stride(k);
        b.narrow = std::span<std::int16_t>(base(k), (w.height - 1u) * b.stride + w.width);
        return b;
      }
      if (scratch_.size() < 2 * area) scratch_.resize(2 * area);
      return block(job, scratch_.data() + slot * area, w.width);
    };
    auto settle = [&](std::size_t k, const htj2k::BlockDecoder::CoefficientBlock& b,
                      bool coefficients) {
      if (!b.narrow.empty()) return;
      if (!coefficients) to_coefficients_(b.out.data(), b.width, b.height, b.stride, b.shift);
      narrow_(b.out.data(), b.width, b.height, base(k), stride(k));
    };
    std::size_t k = 0;
    for (; k + 1 < jobs.size(); k += 2) {
      const htj2k::BlockDecoder::CoefficientBlock blocks[2] = {describe(k, 0), describe(k + 1, 1)};
      VARNEL_ASSIGN_OR_RETURN(const auto coefficients,
                              decoder_.decode_coefficients_pair(blocks[0], blocks[1], causal_));
      settle(k, blocks[0], coefficients[0]);
      settle(k + 1, blocks[1], coefficients[1]);
    }
    if (k < jobs.size()) {
      const htj2k::BlockDecoder::CoefficientBlock b = describe(k, 0);
      VARNEL_ASSIGN_OR_RETURN(const bool coefficients, decoder_.decode_coefficients(b, causal_));
      settle(k, b, coefficients);
    }
    return ok();
  }

 private:
  htj2k::BlockDecoder::CoefficientBlock block(const BlockJob& job, std::int32_t* base,
                                              std::size_t stride) const {
    const PlaneWindow& w = job.window;
    htj2k::BlockDecoder::CoefficientBlock b;
    b.data = plan_.joined.subspan(job.data, std::size_t{job.lcup} + job.lref);
    if (base != nullptr) b.out = std::span<std::int32_t>(base, (w.height - 1u) * stride + w.width);
    b.width = w.width;
    b.height = w.height;
    b.stride = stride;
    b.missing_msbs = job.missing_msbs;
    b.passes = {job.lcup, job.lref, job.passes};
    b.shift = 31u - std::min<unsigned>(job.magb, 31u);
    return b;
  }

 public:

 private:
  const DecodePlan& plan_;
  bool causal_;
  htj2k::BlockDecoder decoder_;
  WordsToCoefficients to_coefficients_ = coefficient_kernels().words_to_coefficients;
  NarrowCoefficients narrow_ = coefficient_kernels().narrow_coefficients;
  std::vector<std::int32_t> scratch_;  // run_all_narrow: two blocks with refinement passes
};

// Checks the planes against the plan and decodes every code-block into
// them, zeroing the windows of the blocks no packet codes.
Result<void> decode_blocks(const Codestream& cs, const DecodePlan& plan,
                           std::span<const std::span<std::int32_t>> planes) {
  VARNEL_TRY(prepare_planes(plan, planes));
  JobRunner runner(cs, plan);
  for (const BlockJob& job : plan.jobs)
    VARNEL_TRY(runner.run(job, planes[job.window.component].data() + job.window.plane, plan.width));
  return ok();
}

}  // namespace

Result<void> run_decode(const Codestream& cs, const DecodePlan& plan,
                        std::span<const std::span<std::int32_t>> planes, bool dc_shift) {
  if (needs_wide_datapath(cs.qcd)) return run_decode_wide_clamped(cs, plan, planes, dc_shift);
  const std::size_t comps = plan.components;
  const std::size_t width = plan.width, height = plan.height;
  VARNEL_TRY(decode_blocks(cs, plan, planes));

  const std::size_t area = width * height;
  for (const auto& plane : planes) {
    VARNEL_TRY(htj2k::inverse_53(plane.first(area), width, height, plan.resolution));
  }

  // Reversible component transform (T.800 G.2), inverse.
  if (comps >= 3 && cs.cod.mct == 1) {
    std::int32_t* c0 = planes[0].data();
    std::int32_t* c1 = planes[1].data();
    std::int32_t* c2 = planes[2].data();
    // Sums wrap in 32 bits (only corrupt input gets there); this keeps the
    // loop vectorisable and free of signed overflow.
    auto add = [](std::int32_t a, std::int32_t b) {
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
    };
    for (std::size_t i = 0; i < area; ++i) {
      const std::int32_t y0 = c0[i], y1 = c1[i], y2 = c2[i];
      const std::int32_t g = static_cast<std::int32_t>(static_cast<std::uint32_t>(y0) -
                                                       static_cast<std::uint32_t>(add(y1, y2) >> 2));
      c0[i] = add(y2, g);
      c1[i] = g;
      c2[i] = add(y1, g);
    }
  }

  // DC level shift of unsigned components, clamped to their range.
  if (dc_shift)
    for (std::size_t c = 0; c < comps; ++c) dc_shift_component(planes[c].first(area), cs.siz.components[c]);
  return ok();
}

namespace {

// Where run_decode_rows keeps the coefficients: the coarsest level's LL band
// whole (low_w x low_h, stride low_w; the whole plane when no level does
// anything), then for every level k, finest first, one strip of `strip`
// rows of its high-pass bands: HL (stride W_k - wl_k) and LH beside HH
// (stride W_k), in 16 or 32 bits a coefficient. A strip holds one row of
// code-blocks: `strip` is the level's tallest high-pass block. Level k
// works on the W_k x H_k region (W_0 x H_0 the plane), its LL band
// wl_k x nl_k being level k + 1's region.
struct LevelLayout {
  std::size_t w = 0, h = 0, wl = 0, nl = 0, strip = 1;
  std::size_t hl_at = 0, bottom_at = 0;  // workspace offsets of the strip's two parts
  // The strip holds 16-bit coefficients: every high-pass block of the level
  // has M_b <= kNarrowPlanes.
  bool narrow = false;
  std::size_t hl_stride() const { return w - wl; }
};

// A band's coefficients are below 2^M_b in magnitude (T.800 E.1: M_b =
// G + epsilon_b - 1 bit-planes; the block decoder keeps no bit above them),
// so a band of M_b <= 15 fits int16.
constexpr unsigned kNarrowPlanes = 15;

bool fits_narrow(const BlockJob& job) { return job.magb <= kNarrowPlanes; }

// Workspace samples (32-bit) of a strip part of `count` coefficients: a
// narrow one packs two to a sample.
std::size_t part_samples(std::size_t count, bool narrow) {
  return narrow ? count / 2 + count % 2 : count;
}

struct RowsLayout {
  std::size_t width = 0, low_w = 0, low_h = 0;
  std::vector<LevelLayout> levels;  // finest first
  std::size_t samples = 0;
};

// The plane offset `at` as band coordinates: which region holds it (of
// which level), its row within that region's band (its plane row for the
// LL band) and its column there.
enum class Region { low, hl, bottom };
struct Placed {
  Region region;
  unsigned level;
  std::size_t row, x;
};

Placed place(const RowsLayout& l, std::size_t at) {
  const std::size_t y = at / l.width, x = at % l.width;
  for (unsigned k = 0; k < l.levels.size(); ++k) {
    const LevelLayout& v = l.levels[k];
    if (y >= v.nl) return {Region::bottom, k, y - v.nl, x};
    if (x >= v.wl) return {Region::hl, k, y, x - v.wl};
  }
  return {Region::low, 0, y, x};
}

// The plane row where the region holding `p` ends.
std::size_t region_end(const RowsLayout& l, const Placed& p) {
  if (p.region == Region::low) return l.low_h;
  const LevelLayout& v = l.levels[p.level];
  return p.region == Region::hl ? v.nl : v.h;
}

RowsLayout rows_layout(const DecodePlan& plan) {
  RowsLayout l;
  l.width = plan.width;
  std::size_t w = plan.width, h = plan.height;
  const unsigned count = htj2k::active_levels(w, h, plan.resolution);
  for (unsigned k = 0; k < count; ++k) {
    LevelLayout v;
    v.w = w;
    v.h = h;
    v.wl = w - w / 2;
    v.nl = h - h / 2;
    l.levels.push_back(v);
    w = v.wl;
    h = v.nl;
  }
  l.low_w = w;
  l.low_h = h;
  std::vector<bool> wide(l.levels.size(), false);
  for (const BlockJob& job : plan.jobs) {
    const Placed p = place(l, job.window.plane);
    if (p.region != Region::low) {
      std::size_t& strip = l.levels[p.level].strip;
      strip = std::max<std::size_t>(strip, job.window.height);
      if (!fits_narrow(job)) wide[p.level] = true;
    }
  }
  // Each strip is no taller than its level's bands (nl rows at most), so
  // the workspace stays within three times the plane (the most, for a plane
  // one row high, whose every level reserves a bottom part it never uses),
  // which size_planes allows.
  std::size_t at = l.low_w * l.low_h;
  for (unsigned k = 0; k < l.levels.size(); ++k) {
    LevelLayout& v = l.levels[k];
    v.strip = std::min(v.strip, v.nl);
    v.narrow = !wide[k];
    v.hl_at = at;
    at += part_samples(v.strip * v.hl_stride(), v.narrow);
    v.bottom_at = at;
    at += part_samples(v.strip * v.w, v.narrow);
  }
  l.samples = at;
  return l;
}

std::size_t columns(const RowsLayout& l, const Placed& p) {
  if (p.region == Region::low) return l.low_w;
  const LevelLayout& v = l.levels[p.level];
  return p.region == Region::hl ? v.hl_stride() : v.w;
}

// The window fits the columns of its region.
bool fits_across(const RowsLayout& l, const Placed& p, const PlaneWindow& w) {
  const std::size_t cols = columns(l, p);
  return p.x <= cols && w.width <= cols - p.x;
}

// The window fits its region's columns and `rows` rows counted from `first`.
bool fits(const RowsLayout& l, const Placed& p, const PlaneWindow& w, std::size_t first,
          std::size_t rows) {
  return fits_across(l, p, w) && p.row >= first && w.height <= rows &&
         p.row - first <= rows - w.height;
}

// A code-block or an uncoded window of a strip, keyed by its first row
// within its band.
struct Late {
  std::size_t key;
  const BlockJob* job;
};
struct Zero {
  std::size_t key;
  PlaneWindow window;
};

// The strip of one level's high-pass bands. It holds band rows [origin,
// origin + strip). It moves to row j when the transform is about to read
// row j past it or a row of blocks starts there; the rows before j are read
// by then. A narrow strip holds int16 coefficients, which the transform
// widens as it reads them.
struct LevelStrip {
  const RowsLayout* l = nullptr;
  const LevelLayout* v = nullptr;
  std::byte *hl = nullptr, *bottom = nullptr;
  std::vector<Late> late;
  std::vector<Zero> zeros;
  std::vector<const Zero*> active;  // uncoded windows that reach the strip
  std::vector<const BlockJob*> row_jobs;  // the row of blocks being decoded
  std::size_t next_job = 0, next_zero = 0, origin = 0, end = 0, decoded_until = 0;

  void attach(const RowsLayout& layout, unsigned level, std::int32_t* workspace) {
    l = &layout;
    v = &layout.levels[level];
    hl = reinterpret_cast<std::byte*>(workspace + v->hl_at);
    bottom = reinterpret_cast<std::byte*>(workspace + v->bottom_at);
  }

  std::size_t sample_bytes() const { return v->narrow ? sizeof(std::int16_t) : sizeof(std::int32_t); }
  std::size_t stride(Region r) const { return r == Region::hl ? v->hl_stride() : v->w; }
  std::byte* at(const Placed& p) const {
    return (p.region == Region::hl ? hl : bottom) +
           ((p.row - origin) * stride(p.region) + p.x) * sample_bytes();
  }

  // Band row `row` of the HL band or of LH beside HH, from column x on.
  htj2k::BandRow row_of(Region r, std::size_t row, std::size_t x = 0) const {
    const std::byte* from =
        (r == Region::hl ? hl : bottom) + ((row - origin) * stride(r) + x) * sample_bytes();
    htj2k::BandRow out;
    if (v->narrow)
      out.narrow = reinterpret_cast<const std::int16_t*>(from);
    else
      out.wide = reinterpret_cast<const std::int32_t*>(from);
    return out;
  }

  bool block_row_at(std::size_t j) const { return next_job < late.size() && late[next_job].key <= j; }

  Result<void> move_to(std::size_t j, JobRunner& runner) {
    if (j < decoded_until)  // a row of blocks overlapping the last: not our geometry
      return std::unexpected(malformed(0, "code-block rows overlap"));
    origin = j;
    end = j + v->strip;
    for (; next_zero < zeros.size() && zeros[next_zero].key < end; ++next_zero)
      active.push_back(&zeros[next_zero]);
    for (std::size_t k = 0; k < active.size();) {
      const PlaneWindow& w = active[k]->window;
      const std::size_t first = active[k]->key, last = first + w.height;
      if (last <= origin) {  // done with: drop it
        active[k] = active.back();
        active.pop_back();
        continue;
      }
      Placed p = place(*l, w.plane);
      const std::size_t from = std::max(first, origin), to = std::min(last, end);
      p.row = from;
      if (!fits_across(*l, p, w)) return std::unexpected(malformed(0, "uncoded window outside its band"));
      std::byte* row = at(p);
      const std::size_t step = stride(p.region) * sample_bytes();
      for (std::size_t y = from; y < to; ++y, row += step)
        std::memset(row, 0, std::size_t{w.width} * sample_bytes());
      ++k;
    }
    const std::size_t first = next_job;
    for (; block_row_at(j); ++next_job) {
      const BlockJob& job = *late[next_job].job;
      const Placed p = place(*l, job.window.plane);
      if (p.row != j || !fits(*l, p, job.window, origin, v->strip))
        return std::unexpected(malformed(0, "code-block outside its strip"));
      row_jobs.push_back(&job);
      decoded_until = std::max<std::size_t>(decoded_until, j + job.window.height);
    }
    auto base = [&](std::size_t k) { return at(place(*l, late[first + k].job->window.plane)); };
    auto step = [&](std::size_t k) { return stride(place(*l, late[first + k].job->window.plane).region); };
    const Result<void> r =
        v->narrow
            ? runner.run_all_narrow(row_jobs, [&](std::size_t k) { return reinterpret_cast<std::int16_t*>(base(k)); }, step)
            : runner.run_all(row_jobs, [&](std::size_t k) { return reinterpret_cast<std::int32_t*>(base(k)); }, step);
    row_jobs.clear();
    return r;
  }
};

}  // namespace

std::size_t rows_workspace_samples(const DecodePlan& plan) { return rows_layout(plan).samples; }

Result<void> run_decode_rows(const Codestream& cs, const DecodePlan& plan,
                             std::span<std::int32_t> workspace, htj2k::RowSink sink) {
  if (plan.components != 1) return std::unexpected(invalid("one component required"));
  if (needs_wide_datapath(cs.qcd))
    return std::unexpected(unsupported("K_max > 30 needs the 64-bit datapath (run_decode_wide)"));
  const RowsLayout l = rows_layout(plan);
  if (workspace.size() < l.samples)
    return std::unexpected(invalid("workspace smaller than rows_workspace_samples"));
  std::int32_t* const low = workspace.data();
  std::vector<LevelStrip> strips(l.levels.size());
  for (unsigned k = 0; k < strips.size(); ++k) strips[k].attach(l, k, low);
  const Result<void> outside = std::unexpected(malformed(0, "code-block outside its band"));
  JobRunner runner(cs, plan);
  // The coarsest LL band's blocks and uncoded windows go in first; the
  // high-pass bands' wait for their level's strip, a row of blocks decoded
  // just before the inverse transform reads it, while it is still in cache.
  // An uncoded window may run down from one band into the band below it
  // (find_uncoded_windows joins them when their columns agree): it is cut
  // where its region ends.
  for (PlaneWindow w : plan.zeros) {
    while (w.height > 0) {
      const Placed p = place(l, w.plane);
      const std::size_t y = w.plane / l.width, end = region_end(l, p);
      PlaneWindow part = w;
      if (end > y && w.height > end - y) part.height = static_cast<std::uint32_t>(end - y);
      w.height -= part.height;
      w.plane += std::size_t{part.height} * l.width;
      if (p.region != Region::low) {
        strips[p.level].zeros.push_back({p.row, part});
        continue;
      }
      if (!fits(l, p, part, 0, l.low_h)) return outside;
      std::int32_t* row = low + p.row * l.low_w + p.x;
      for (std::uint32_t r = 0; r < part.height; ++r, row += l.low_w)
        std::memset(row, 0, std::size_t{part.width} * sizeof(std::int32_t));
    }
  }
  std::vector<const BlockJob*> low_jobs;
  for (const BlockJob& job : plan.jobs) {
    const Placed p = place(l, job.window.plane);
    if (p.region != Region::low) {
      strips[p.level].late.push_back({p.row, &job});
      continue;
    }
    if (!fits(l, p, job.window, 0, l.low_h)) return outside;
    low_jobs.push_back(&job);
  }
  VARNEL_TRY(runner.run_all(
      low_jobs,
      [&](std::size_t k) {
        const Placed p = place(l, low_jobs[k]->window.plane);
        return low + p.row * l.low_w + p.x;
      },
      [&](std::size_t) { return l.low_w; }));
  auto by_key = [](const auto& a, const auto& b) { return a.key < b.key; };
  for (LevelStrip& s : strips) {
    std::stable_sort(s.late.begin(), s.late.end(), by_key);
    std::stable_sort(s.zeros.begin(), s.zeros.end(), by_key);
  }

  struct Context {
    const RowsLayout* l;
    std::int32_t* low;
    std::vector<LevelStrip>* strips;
    JobRunner* runner;
    Result<void> status = ok();
  } ctx{&l, low, &strips, &runner};
  const htj2k::LevelRows bands{
      &ctx,
      [](void* c, unsigned level, std::size_t j) {
        auto& ctx = *static_cast<Context*>(c);
        LevelStrip& s = (*ctx.strips)[level];
        if (j < s.end && !s.block_row_at(j)) return true;
        ctx.status = s.move_to(j, *ctx.runner);
        return ctx.status.has_value();
      },
      [](void* c, unsigned level, std::size_t r, htj2k::BandRow* lo, htj2k::BandRow* hi) {
        const auto& ctx = *static_cast<const Context*>(c);
        const RowsLayout& l = *ctx.l;
        if (l.levels.empty()) {  // no level: the LL band is the plane
          lo->wide = ctx.low + r * l.low_w;
          return;
        }
        const LevelLayout& v = l.levels[level];
        const LevelStrip& s = (*ctx.strips)[level];
        if (r < v.nl) {
          if (level + 1 == l.levels.size()) lo->wide = ctx.low + r * l.low_w;
          *hi = s.row_of(Region::hl, r);
        } else {
          *lo = s.row_of(Region::bottom, r - v.nl);
          *hi = s.row_of(Region::bottom, r - v.nl, v.wl);
        }
      }};
  VARNEL_TRY(htj2k::inverse_53_levels_rows(plan.width, plan.height, plan.resolution, bands, sink));
  return ctx.status;
}

Result<DecodedImage> Codestream::decode_to_resolution(std::uint8_t target) const {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_decode(*this, target));
  DecodedImage image;
  image.width = plan.width;
  image.height = plan.height;
  std::vector<std::span<std::int32_t>> views;
  image.components.resize(plan.components);
  for (auto& plane : image.components) {
    plane.resize(plan.width * plan.height);
    views.emplace_back(plane);
  }
  VARNEL_TRY(run_decode(*this, plan, views, true));
  return image;
}

}  // namespace varnel::codestream
