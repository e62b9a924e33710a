// The 64-bit decode path (decode_wide.hpp).
#include "codestream/decode_wide.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "core/big_buffer.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt_wide.hpp"

namespace varnel::codestream {
namespace {

// Words (bit 63 the sign, the band's top bit-plane at bit 62) of a w x h
// block (rows `words_stride` apart) into coefficients of a band with
// M_b = magb: magnitude >> (63 - M_b). `dst` may be `words`.
void words_to_coefficients(const std::uint64_t* words, std::size_t words_stride, std::size_t w,
                           std::size_t h, std::int64_t* dst, std::size_t stride, unsigned magb) {
  const unsigned shift = 63u - std::min(magb, 63u);
  for (std::size_t y = 0; y < h; ++y, dst += stride) {
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint64_t word = words[y * words_stride + x];
      const auto m = static_cast<std::int64_t>((word & (~std::uint64_t{0} >> 1)) >> shift);
      dst[x] = (word >> 63) != 0 ? -m : m;
    }
  }
}

}  // namespace

Result<void> run_decode_wide(const Codestream& cs, const DecodePlan& plan,
                             std::span<const std::span<std::int64_t>> planes) {
  VARNEL_TRY(prepare_planes(plan, planes));
  const std::size_t width = plan.width, height = plan.height;
  const bool causal = (cs.cod.cblk_style & kCblkCausal) != 0;
  htj2k::WideBlockDecoder decoder;
  std::vector<std::uint64_t> words(htj2k::MAX_BLOCK_AREA);
  for (const BlockJob& job : plan.jobs) {
    const PlaneWindow& w = job.window;
    // The plan keeps every window inside its plane and within the block
    // area; the decoder wants a zero window of its own (stride w.width).
    const std::size_t n = std::size_t{w.width} * w.height;
    std::fill_n(words.data(), std::min(n, words.size()), 0);
    VARNEL_TRY(decoder.decode(plan.joined.subspan(job.data, std::size_t{job.lcup} + job.lref),
                              std::span(words.data(), std::min(n, words.size())), w.width,
                              w.height, w.width, job.missing_msbs,
                              {job.lcup, job.lref, job.passes}, causal));
    words_to_coefficients(words.data(), w.width, w.width, w.height,
                          planes[w.component].data() + w.plane, width, job.magb);
  }
  const std::size_t area = width * height;
  for (const auto& plane : planes)
    VARNEL_TRY(htj2k::inverse_53_wide(plane.first(area), width, height, plan.resolution));
  return ok();
}

namespace {

// Where run_decode_wide_rows keeps the coefficients: the coarsest level's
// LL band whole (low_w x low_h; none when no level does anything) and,
// per level k (finest first, region w x h, LL band wl x nl), one strip of
// `strip` band rows [origin, origin + strip): HL (w - wl a row) and LH
// beside HH (w a row). A strip is zeroed when it moves, then the row of
// blocks starting there is decoded into it; band rows no block codes stay
// zero.
struct WideStrip {
  std::size_t w = 0, h = 0, wl = 0, nl = 0, strip = 1;
  std::int64_t *hl = nullptr, *bottom = nullptr;  // in WideRows' workspace
  std::vector<std::pair<std::size_t, const BlockJob*>> jobs;  // by first band row
  std::size_t next_job = 0, origin = 0, end = 0, decoded_until = 0;
  // Workspace samples of the strip's two parts: HL, and LH beside HH when
  // the level has high-pass rows (a region one row high has none).
  std::size_t hl_samples() const { return strip * (w - wl); }
  std::size_t bottom_samples() const { return h > nl ? strip * w : 0; }
  std::size_t samples() const { return hl_samples() + bottom_samples(); }
};

enum class WideRegion { low, hl, bottom };
struct WidePlaced {
  WideRegion region;
  unsigned level;
  std::size_t row, x;
};

class WideRows {
 public:
  WideRows(const Codestream& cs, const DecodePlan& plan)
      : plan_(plan), causal_((cs.cod.cblk_style & kCblkCausal) != 0) {
    std::size_t w = plan.width, h = plan.height;
    const unsigned count = htj2k::active_levels(w, h, plan.resolution);
    if (count == 0) {
      // No level to undo: the plane is streamed as one strip of rows of
      // blocks all the same, as a level without a low-pass band (wl = 0)
      // or high-pass rows (nl = h) whose HL part is the plane.
      flat_ = true;
      WideStrip& v = levels_.emplace_back();
      v.w = w;
      v.h = v.nl = h;
      return;  // no LL band
    }
    levels_.resize(count);
    for (WideStrip& v : levels_) {
      v.w = w;
      v.h = h;
      v.wl = w - w / 2;
      v.nl = h - h / 2;
      w = v.wl;
      h = v.nl;
    }
    low_w_ = w;
    low_h_ = h;
  }

  // Sizes the strips and the LL band, decodes the LL band's blocks and
  // sorts the others into their levels' strips.
  Result<void> start() {
    for (const BlockJob& job : plan_.jobs) {
      const WidePlaced p = place(job.window.plane);
      if (p.region != WideRegion::low) {
        WideStrip& v = levels_[p.level];
        v.strip = std::max<std::size_t>(v.strip, job.window.height);
        v.jobs.emplace_back(p.row, &job);
      }
    }
    // One workspace: the LL band, then the strips. Each strip is no taller
    // than its level's bands, so the workspace stays within twice the plane.
    std::size_t samples = low_w_ * low_h_;
    for (WideStrip& v : levels_) {
      v.strip = std::min(v.strip, v.nl);
      samples += v.samples();
      std::stable_sort(v.jobs.begin(), v.jobs.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    workspace_ = BigArray<std::int64_t>(std::max<std::size_t>(samples, 1));
    if (workspace_.empty()) return std::unexpected(unsupported("image too large to decode in memory"));
    low_ = workspace_.data();
    std::int64_t* at = low_ + low_w_ * low_h_;
    // The strips are laid out by the sizes counted above, so a level without
    // high-pass rows takes no room for them (and has no bottom part).
    for (WideStrip& v : levels_) {
      v.hl = at;
      v.bottom = v.bottom_samples() > 0 ? v.hl + v.hl_samples() : nullptr;
      at += v.samples();
    }
    std::fill_n(low_, low_w_ * low_h_, 0);
    for (const BlockJob& job : plan_.jobs) {
      const WidePlaced p = place(job.window.plane);
      if (p.region != WideRegion::low) continue;
      if (!fits(p, job.window, low_w_, 0, low_h_))
        return std::unexpected(malformed(0, "code-block outside its band"));
      VARNEL_TRY(decode(job, low_ + p.row * low_w_ + p.x, low_w_));
    }
    return ok();
  }

  // Level `level` is about to read its band rows j: the strip moves to j
  // when j is past it or a row of blocks starts at j.
  Result<void> ready(unsigned level, std::size_t j) {
    WideStrip& v = levels_[level];
    const bool block_row = v.next_job < v.jobs.size() && v.jobs[v.next_job].first <= j;
    if (j < v.end && !block_row) return ok();
    if (j < v.decoded_until) return std::unexpected(malformed(0, "code-block rows overlap"));
    v.origin = j;
    v.end = j + v.strip;
    std::fill_n(v.hl, v.samples(), 0);
    for (; v.next_job < v.jobs.size() && v.jobs[v.next_job].first <= j; ++v.next_job) {
      const BlockJob& job = *v.jobs[v.next_job].second;
      const WidePlaced p = place(job.window.plane);
      const bool hl = p.region == WideRegion::hl;
      const std::size_t stride = hl ? v.w - v.wl : v.w;
      if (p.row != j || !fits(p, job.window, stride, j, v.strip))
        return std::unexpected(malformed(0, "code-block outside its strip"));
      std::int64_t* base = (hl ? v.hl : v.bottom) + (p.row - j) * stride + p.x;
      VARNEL_TRY(decode(job, base, stride));
      v.decoded_until = std::max<std::size_t>(v.decoded_until, j + job.window.height);
    }
    return ok();
  }

  void row(unsigned level, std::size_t r, const std::int64_t** low,
           const std::int64_t** high) const {
    const WideStrip& v = levels_[level];
    if (flat_) {
      *low = v.hl + (r - v.origin) * v.w;
      return;
    }
    if (r < v.nl) {
      if (level + 1 == levels_.size()) *low = low_ + r * low_w_;
      *high = v.hl + (r - v.origin) * (v.w - v.wl);
    } else {
      *low = v.bottom + (r - v.nl - v.origin) * v.w;
      *high = *low + v.wl;
    }
  }

 private:
  // Band coordinates of plane offset `at` (as the 32-bit streamed decode).
  WidePlaced place(std::size_t at) const {
    const std::size_t y = at / plan_.width, x = at % plan_.width;
    for (unsigned k = 0; k < levels_.size(); ++k) {
      const WideStrip& v = levels_[k];
      if (y >= v.nl) return {WideRegion::bottom, k, y - v.nl, x};
      if (x >= v.wl) return {WideRegion::hl, k, y, x - v.wl};
    }
    return {WideRegion::low, 0, y, x};
  }

  // The window fits `cols` columns and `rows` rows counted from `first`.
  static bool fits(const WidePlaced& p, const PlaneWindow& w, std::size_t cols,
                   std::size_t first, std::size_t rows) {
    return p.x <= cols && w.width <= cols - p.x && p.row >= first && w.height <= rows &&
           p.row - first <= rows - w.height;
  }

  // One block into its zeroed window at `base` (rows `stride` apart): words
  // first, then coefficients in place.
  Result<void> decode(const BlockJob& job, std::int64_t* base, std::size_t stride) {
    const PlaneWindow& w = job.window;
    if (w.width == 0 || w.height == 0) return ok();
    auto* words = reinterpret_cast<std::uint64_t*>(base);
    VARNEL_TRY(decoder_.decode(plan_.joined.subspan(job.data, std::size_t{job.lcup} + job.lref),
                               std::span(words, (w.height - 1u) * stride + w.width), w.width,
                               w.height, stride, job.missing_msbs, {job.lcup, job.lref, job.passes},
                               causal_));
    words_to_coefficients(words, stride, w.width, w.height, base, stride, job.magb);
    return ok();
  }

  const DecodePlan& plan_;
  bool causal_;
  htj2k::WideBlockDecoder decoder_;
  std::vector<WideStrip> levels_;  // finest first
  bool flat_ = false;              // levels_ is the plane as one strip
  std::size_t low_w_ = 0, low_h_ = 0;
  BigArray<std::int64_t> workspace_;
  std::int64_t* low_ = nullptr;  // the LL band, at the start of workspace_
};

}  // namespace

Result<void> run_decode_wide_rows(const Codestream& cs, const DecodePlan& plan,
                                  htj2k::WideRowSink sink) {
  if (plan.components != 1) return std::unexpected(invalid("one component required"));
  if (plan.width == 0 || plan.height == 0) return ok();
  WideRows rows(cs, plan);
  VARNEL_TRY(rows.start());
  struct Context {
    WideRows* rows;
    Result<void> status = ok();
  } ctx{&rows};
  const htj2k::WideLevelRows bands{
      &ctx,
      [](void* c, unsigned level, std::size_t j) {
        auto& ctx = *static_cast<Context*>(c);
        ctx.status = ctx.rows->ready(level, j);
        return ctx.status.has_value();
      },
      [](void* c, unsigned level, std::size_t r, const std::int64_t** low,
         const std::int64_t** high) {
        static_cast<const Context*>(c)->rows->row(level, r, low, high);
      }};
  VARNEL_TRY(htj2k::inverse_53_wide_levels_rows(plan.width, plan.height, plan.resolution, bands,
                                                sink));
  return ctx.status;
}

Result<void> run_decode_wide_clamped(const Codestream& cs, const DecodePlan& plan,
                                     std::span<const std::span<std::int32_t>> planes,
                                     bool dc_shift) {
  const std::size_t comps = plan.components, area = plan.width * plan.height;
  if (planes.size() != comps) return std::unexpected(invalid("one plane per component required"));
  for (const auto& p : planes)
    if (p.size() < area) return std::unexpected(invalid("plane buffer smaller than width * height"));
  std::vector<BigArray<std::int64_t>> storage;
  std::vector<std::span<std::int64_t>> wide;
  for (std::size_t c = 0; c < comps; ++c) {
    storage.emplace_back(std::max<std::size_t>(area, 1));
    if (storage.back().empty())
      return std::unexpected(unsupported("image too large to decode in memory"));
    wide.emplace_back(storage.back().data(), area);
  }
  VARNEL_TRY(run_decode_wide(cs, plan, wide));
  // Reversible component transform (T.800 G.2), inverse; the sums wrap
  // (only corrupt input gets near the 64-bit range).
  if (comps >= 3 && cs.cod.mct == 1) {
    auto add = [](std::int64_t a, std::int64_t b) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
    };
    for (std::size_t i = 0; i < area; ++i) {
      const std::int64_t y0 = wide[0][i], y1 = wide[1][i], y2 = wide[2][i];
      const std::int64_t g = add(y0, -(add(y1, y2) >> 2));
      wide[0][i] = add(y2, g);
      wide[1][i] = g;
      wide[2][i] = add(y1, g);
    }
  }
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  for (std::size_t c = 0; c < comps; ++c) {
    const SizComponent& sc = cs.siz.components[c];
    std::int32_t* out = planes[c].data();
    if (dc_shift && !sc.is_signed) {
      // Clamped to the component's range, then shifted (T.800 G.1.2).
      const unsigned d = std::clamp<unsigned>(sc.depth, 1, 38);
      const std::int64_t half = std::int64_t{1} << (d - 1);
      for (std::size_t i = 0; i < area; ++i)
        out[i] = static_cast<std::int32_t>(
            std::clamp(std::clamp(wide[c][i], -half, half - 1) + half, kMin, kMax));
    } else {
      for (std::size_t i = 0; i < area; ++i)
        out[i] = static_cast<std::int32_t>(std::clamp(wide[c][i], kMin, kMax));
    }
  }
  return ok();
}

}  // namespace varnel::codestream
