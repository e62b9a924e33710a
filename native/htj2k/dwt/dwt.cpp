// The 2-D drivers of the reversible 5/3 wavelet and its horizontal lifting.
//
// Forward, each level makes two passes over the rows of its region. The
// first runs the vertical lifting in place as one stream down the rows: for
// j = 0, 1, ... row 2j+1 becomes d(j) = x(2j+1) - floor((x(2j) + x(2j+2)) / 2)
// and row 2j becomes s(j) = x(2j) + floor((d(j-1) + d(j) + 2) / 4). The
// second moves the low-pass rows to the top and the high-pass rows to the
// bottom by following the cycles of that row permutation, and lifts each
// row horizontally on its way. So every row sees its whole vertical lifting
// before its horizontal lifting, the order of T.800 Annex F that the result
// depends on. The inverse does the same steps backwards: permutation with
// the horizontal inverse first, then one top-down vertical stream.
//
// Vertical steps are whole-row kernel calls over contiguous samples (never a
// column walk); the horizontal lifting splits a row into its even and odd
// samples and lifts the two halves with the same kernels, straight into the
// destination row. No plane-sized temporary is needed: the plane is read
// and written twice per level, and the scratch is two rows.
//
// `inverse_53_rows` and `inverse_53_levels_rows` undo every level
// differently, as one stream per level, each pulling rows from the next
// coarser one: a level reads each low-pass and high-pass row of its Mallat
// layout (a low-pass row's LL part being the next coarser level's restored
// row) and unlifts it horizontally into one of four row buffers (two even,
// two odd), where the vertical steps run as soon as their neighbours are
// there; every finished row of the finest level goes to the caller's sink.
// Nothing is written back or permuted, and the coarser levels' rows are
// restored just before the finer level needs them, while they are in cache.
// `forward_53_rows` is the mirror image of the finest level's stream:
// rows come from the caller's source into four row buffers, are lifted
// vertically there, and each finished low-pass or high-pass row is lifted
// horizontally straight into its place in the Mallat layout; the coarser
// levels then run in place.
#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "htj2k/dwt/dwt.hpp"
#include "htj2k/dwt/kernels.hpp"

namespace varnel::htj2k {

const LiftKernels& lift_kernels_for(Isa isa) {
  static constexpr Family<LiftKernels> kFamilies[] = {
      {Isa::portable, lift_portable_kernels},
      {Isa::avx2, lift_avx2_kernels},
  };
  return pick_family(kFamilies, isa);
}

const LiftKernels& lift_kernels() {
  static const LiftKernels& chosen = lift_kernels_for(isa_selected());
  return chosen;
}

namespace {

constexpr std::size_t kAlign = 16;  // elements: 64 bytes

constexpr std::size_t round_up(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// One row split into its two halves: `low` holds ceil(n/2) samples plus one
// slot that repeats the last one (the symmetric extension on the right of an
// even-length row), `high` floor(n/2) samples.
struct Halves {
  std::int32_t* low;
  std::int32_t* high;
};

// Working memory of one call, allocated once and used by every level: two
// `Halves` for rows of `width` samples (64-byte aligned) and one flag per row
// for the row permutation. Sizes cannot overflow: the plane, which holds
// width * height elements, exists.
struct Scratch {
  Scratch(std::size_t width, std::size_t height) : moved(height) {
    const std::size_t low_len = round_up(width - width / 2 + 1), high_len = round_up(width / 2);
    memory = std::make_unique_for_overwrite<std::int32_t[]>(2 * (low_len + high_len) + kAlign);
    auto* base = memory.get();
    base += (kAlign - (reinterpret_cast<std::uintptr_t>(base) / sizeof(std::int32_t)) % kAlign) %
            kAlign;
    first = {base, base + low_len};
    second = {first.high + high_len, first.high + high_len + low_len};
  }
  std::unique_ptr<std::int32_t[]> memory;
  Halves first, second;
  std::vector<std::uint8_t> moved;
};

class Lifter {
 public:
  Lifter(const LiftKernels& k, std::size_t width, std::size_t height)
      : k_(k), s_(width, height) {}

  const LiftKernels& kernels() const { return k_; }
  // Scratch halves for rows of up to `width` samples.
  Halves halves() const { return s_.first; }

  // Horizontal forward lifting (T.800 F.4.8, signal starting at an even
  // index), in two halves so that a row can be read before its destination
  // is free: split_row reads the row, lift_row writes low-pass then
  // high-pass coefficients to dst.
  void split_row(const std::int32_t* src, Halves h, std::size_t n) const {
    if (n == 1) {
      h.low[0] = src[0];  // a single sample is its own low-pass coefficient
      return;
    }
    k_.split(src, h.low, h.high, n);
  }

  void lift_row(Halves h, std::int32_t* dst, std::size_t n) const {
    if (n == 1) {
      dst[0] = h.low[0];
      return;
    }
    const std::size_t nl = n - n / 2, nh = n / 2;
    std::int32_t* d = dst + nl;
    if (nl == nh) h.low[nl] = h.low[nl - 1];
    k_.predict_sub(d, h.high, h.low, h.low + 1, nh);
    // s(k) = x(2k) + floor((d(k-1) + d(k) + 2) / 4), with d(-1) = d(0) and,
    // for odd n, d(nh) = d(nh-1).
    dst[0] = lift_sum(h.low[0], update_term(d[0], d[0]));
    k_.update_add(dst + 1, h.low + 1, d, d + 1, nh - 1);
    if (nl > nh) dst[nl - 1] = lift_sum(h.low[nl - 1], update_term(d[nh - 1], d[nh - 1]));
  }

  // Horizontal inverse lifting (T.800 F.3.8): unlift_row reads the
  // coefficients of src and rebuilds the even then the odd samples in the
  // halves, merge_row interleaves them into dst.
  // `src` holds the ceil(n/2) low-pass coefficients, `d` the floor(n/2)
  // high-pass ones (in one row, d = src + ceil(n/2)).
  // Either half may be 16-bit (the kernels widen it as they load).
  template <class Low, class High>
  void unlift_row(const Low* src, const High* d, Halves h, std::size_t n) const {
    if (n == 1) {
      h.low[0] = src[0];
      return;
    }
    const std::size_t nl = n - n / 2, nh = n / 2;
    h.low[0] = lift_diff(src[0], update_term(d[0], d[0]));
    update_sub_kernel<Low, High>()(h.low + 1, src + 1, d, d + 1, nh - 1);
    if (nl > nh) h.low[nl - 1] = lift_diff(src[nl - 1], update_term(d[nh - 1], d[nh - 1]));
    if (nl == nh) h.low[nl] = h.low[nl - 1];
    predict_add_kernel<High>()(h.high, d, h.low, h.low + 1, nh);
  }

  // A BandRow's low half is 16-bit only when its high half is (dwt.hpp).
  void unlift_row(BandRow low, BandRow high, Halves h, std::size_t n) const {
    if (high.narrow == nullptr) return unlift_row(low.wide, high.wide, h, n);
    if (low.narrow == nullptr) return unlift_row(low.wide, high.narrow, h, n);
    unlift_row(low.narrow, high.narrow, h, n);
  }

  void merge_row(Halves h, std::int32_t* dst, std::size_t n) const {
    if (n == 1) {
      dst[0] = h.low[0];
      return;
    }
    k_.merge(h.low, h.high, dst, n);
  }

  // One level on the w x h region at p with row stride `stride`.
  void forward_level(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h) {
    if (h == 1) {
      split_row(p, s_.first, w);
      lift_row(s_.first, p, w);
      return;
    }
    const std::size_t nl = h - h / 2, nh = h / 2;
    auto row = [&](std::size_t r) { return p + r * stride; };
    // Vertical lifting, one stream down the rows.
    for (std::size_t j = 0; j < nl; ++j) {
      std::int32_t* even = row(2 * j);
      if (j < nh) {  // d(j) in place of x(2j+1)
        const std::int32_t* below = 2 * j + 2 < h ? row(2 * j + 2) : even;
        k_.predict_sub(row(2 * j + 1), row(2 * j + 1), even, below, w);
      }
      // s(j) in place of x(2j): d(-1) is d(0), and past the last odd row
      // (odd h) the last d repeats.
      const std::int32_t* above = row(j > 0 ? 2 * j - 1 : 1);
      const std::int32_t* next = row(j < nh ? 2 * j + 1 : 2 * nh - 1);
      k_.update_add(even, even, above, next, w);
    }
    // Even rows to the top half and odd rows to the bottom half, each row
    // lifted horizontally on its way.
    permute_rows(
        p, stride, h, [nl](std::size_t to) { return to < nl ? 2 * to : 2 * (to - nl) + 1; },
        [&](const std::int32_t* src, Halves hv) { split_row(src, hv, w); },
        [&](Halves hv, std::int32_t* dst) { lift_row(hv, dst, w); });
  }

  // The first level of the forward transform on the w x h plane at p, its
  // rows taken from source (see the file comment).
  void forward_level_rows(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h,
                          RowSource source) {
    std::int32_t* even[2];
    std::int32_t* odd[2];
    row_buffers(w, even, odd);
    auto fill = [&](std::size_t y, std::int32_t* row) { source.fill(source.context, y, row); };
    auto lift = [&](const std::int32_t* row, std::size_t to) {
      split_row(row, s_.first, w);
      lift_row(s_.first, p + to * stride, w);
    };
    fill(0, even[0]);
    if (h == 1) {
      lift(even[0], 0);
      return;
    }
    // d(j) = x(2j+1) - floor((x(2j) + x(2j+2)) / 2), x(2j+2) repeating x(2j)
    // below the last row; s(j) = x(2j) + floor((d(j-1) + d(j) + 2) / 4), d(-1)
    // repeating d(0) and, for odd h, the last d repeating. s(j) goes to row
    // j, d(j) to row nl + j.
    const std::size_t nl = h - h / 2, nh = h / 2;
    for (std::size_t j = 0; j < nl; ++j) {
      std::int32_t* const e = even[j & 1];
      const std::int32_t* d_prev = odd[(j + 1) & 1];  // d(j-1)
      const std::int32_t* d_cur = d_prev;              // past the last d: d(nh-1)
      if (j < nh) {
        std::int32_t* const d = odd[j & 1];
        fill(2 * j + 1, d);
        const std::int32_t* below = e;
        if (2 * j + 2 < h) {
          fill(2 * j + 2, even[(j + 1) & 1]);
          below = even[(j + 1) & 1];
        }
        k_.predict_sub(d, d, e, below, w);
        lift(d, nl + j);
        d_cur = d;
        if (j == 0) d_prev = d;
      }
      k_.update_add(e, e, d_prev, d_cur, w);
      lift(e, j);
    }
  }

  void inverse_level(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h) {
    const std::size_t wl = w - w / 2;
    if (h == 1) {
      unlift_row(p, p + wl, s_.first, w);
      merge_row(s_.first, p, w);
      return;
    }
    const std::size_t nl = h - h / 2, nh = h / 2;
    auto row = [&](std::size_t r) { return p + r * stride; };
    // Low-pass rows back to the even rows and high-pass rows to the odd
    // rows, each row's horizontal lifting undone on its way.
    permute_rows(
        p, stride, h, [nl](std::size_t to) { return to % 2 == 0 ? to / 2 : nl + to / 2; },
        [&](const std::int32_t* src, Halves hv) { unlift_row(src, src + wl, hv, w); },
        [&](Halves hv, std::int32_t* dst) { merge_row(hv, dst, w); });
    // Vertical lifting undone, one stream down the rows: x(2j+2) is rebuilt
    // before x(2j+1), which needs it.
    k_.update_sub(row(0), row(0), row(1), row(1), w);
    for (std::size_t j = 0; j < nh; ++j) {
      const std::int32_t* below = row(2 * j);
      if (2 * j + 2 < h) {
        const std::int32_t* next = row(2 * j + 3 < h ? 2 * j + 3 : 2 * j + 1);
        k_.update_sub(row(2 * j + 2), row(2 * j + 2), row(2 * j + 1), next, w);
        below = row(2 * j + 2);
      }
      k_.predict_add(row(2 * j + 1), row(2 * j + 1), row(2 * j), below, w);
    }
  }

 private:
  // Four aligned row buffers of w samples for the streamed levels: two for
  // even rows, two for odd rows.
  void row_buffers(std::size_t w, std::int32_t* even[2], std::int32_t* odd[2]) {
    const std::size_t len = round_up(w);
    rows_ = std::make_unique_for_overwrite<std::int32_t[]>(4 * len + kAlign);
    std::int32_t* base = rows_.get();
    base += (kAlign - (reinterpret_cast<std::uintptr_t>(base) / sizeof(std::int32_t)) % kAlign) %
            kAlign;
    even[0] = base;
    even[1] = base + len;
    odd[0] = base + 2 * len;
    odd[1] = base + 3 * len;
  }

  // Rearranges the h rows so that row `to` receives the old row source(to),
  // passed through load (which reads a row into halves) and store (which
  // writes halves to a row). The permutation is followed cycle by cycle: the
  // first row of a cycle waits in the second halves, every other row goes
  // straight to its place, whose old content was read just before. So each
  // row is read once and written once.
  template <class Source, class Load, class Store>
  void permute_rows(std::int32_t* p, std::size_t stride, std::size_t h, Source source, Load load,
                    Store store) {
    std::fill(s_.moved.begin(), s_.moved.begin() + h, std::uint8_t{0});
    for (std::size_t start = 0; start < h; ++start) {
      if (s_.moved[start]) continue;
      s_.moved[start] = 1;
      std::size_t from = source(start);
      if (from == start) {
        load(p + start * stride, s_.first);
        store(s_.first, p + start * stride);
        continue;
      }
      load(p + start * stride, s_.second);
      std::size_t to = start;
      while (from != start) {
        load(p + from * stride, s_.first);
        store(s_.first, p + to * stride);
        s_.moved[from] = 1;
        to = from;
        from = source(to);
      }
      store(s_.second, p + to * stride);
    }
  }

  // The kernels of unlift_row's steps for operands x of type X and a, b of
  // type AB (16-bit ones are widened as they load).
  template <class X, class AB>
  auto update_sub_kernel() const {
    if constexpr (std::is_same_v<AB, std::int32_t>)
      return k_.update_sub;
    else if constexpr (std::is_same_v<X, std::int32_t>)
      return k_.update_sub_wn;
    else
      return k_.update_sub_nn;
  }
  template <class X>
  auto predict_add_kernel() const {
    if constexpr (std::is_same_v<X, std::int32_t>)
      return k_.predict_add;
    else
      return k_.predict_add_nw;
  }

  const LiftKernels& k_;
  Scratch s_;
  std::unique_ptr<std::int32_t[]> rows_;  // the streamed levels' four rows
};

// One level of a streamed inverse (see the file comment): restores the
// rows of its W x H region top to bottom, one per call of `next`, from the
// rows `bands` gives for its level and, unless it is the coarsest, the LL
// rows that the next coarser level restores. Four row buffers of its own;
// the halves of the shared Lifter are used only between two pulls.
class LevelStream {
 public:
  LevelStream(const Lifter& lifter, LevelRows bands, unsigned level, std::size_t w, std::size_t h,
              LevelStream* coarser)
      : lifter_(lifter), k_(lifter.kernels()), bands_(bands), level_(level), w_(w), h_(h),
        nl_(h - h / 2), nh_(h / 2), coarser_(coarser) {
    const std::size_t len = round_up(w);
    rows_ = std::make_unique_for_overwrite<std::int32_t[]>(4 * len + kAlign);
    std::int32_t* base = rows_.get();
    base += (kAlign - (reinterpret_cast<std::uintptr_t>(base) / sizeof(std::int32_t)) % kAlign) %
            kAlign;
    even_[0] = base;
    even_[1] = base + len;
    odd_[0] = base + 2 * len;
    odd_[1] = base + 3 * len;
  }

  // The next restored row (valid until the next call), or null when a gate
  // or a coarser level stopped the transform.
  const std::int32_t* next() {
    const std::size_t y = y_++;
    if (y == 0) {
      if (!ready(0) || !unlift(0, even_[0])) return nullptr;
      if (h_ == 1) return even_[0];
      // x(0) from low-pass row 0 and high-pass row 0 (d(-1) repeating d(0)).
      if (!unlift(nl_, odd_[0])) return nullptr;
      k_.update_sub(even_[0], even_[0], odd_[0], odd_[0], w_);
      return even_[0];
    }
    const std::size_t j = (y - 1) / 2;
    if (y % 2 == 0) return even_[(j + 1) & 1];  // x(2j+2), rebuilt with x(2j+1)
    // x(2j+1) from high-pass row j, x(2j) and x(2j+2); x(2j+2) first, from
    // low-pass row j + 1 and high-pass rows j and j + 1 (the last, for odd
    // H, repeating its neighbour; for even H, x(2j+2) past the end repeats
    // x(2j)).
    std::int32_t* const e = even_[j & 1];
    std::int32_t* const d = odd_[j & 1];
    const std::int32_t* below = e;
    if (j + 1 < nl_) {
      if (!ready(j + 1)) return nullptr;
      std::int32_t* const e_next = even_[(j + 1) & 1];
      const std::int32_t* next = d;
      if (j + 1 < nh_) {
        if (!unlift(nl_ + j + 1, odd_[(j + 1) & 1])) return nullptr;
        next = odd_[(j + 1) & 1];
      }
      if (!unlift(j + 1, e_next)) return nullptr;
      k_.update_sub(e_next, e_next, d, next, w_);
      below = e_next;
    }
    k_.predict_add(d, d, e, below, w_);
    return d;
  }

 private:
  bool ready(std::size_t j) {
    return bands_.ready == nullptr || bands_.ready(bands_.context, level_, j);
  }

  // Row r of the level's Mallat layout, its horizontal lifting undone, into dst.
  bool unlift(std::size_t r, std::int32_t* dst) {
    BandRow low, high;
    if (r < nl_ && coarser_ != nullptr) {
      low.wide = coarser_->next();  // before the halves are used here
      if (low.wide == nullptr) return false;
    }
    bands_.row(bands_.context, level_, r, &low, &high);
    lifter_.unlift_row(low, high, lifter_.halves(), w_);
    lifter_.merge_row(lifter_.halves(), dst, w_);
    return true;
  }

  const Lifter& lifter_;
  const LiftKernels& k_;
  LevelRows bands_;
  unsigned level_;
  std::size_t w_, h_, nl_, nh_;
  LevelStream* coarser_;
  std::size_t y_ = 0;
  std::unique_ptr<std::int32_t[]> rows_;
  std::int32_t* even_[2];
  std::int32_t* odd_[2];
};

Result<void> check_plane(std::span<std::int32_t> plane, std::size_t width, std::size_t height) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area) ||
      plane.size() < area) {
    return std::unexpected(invalid("plane buffer smaller than width * height"));
  }
  return ok();
}

}  // namespace

Result<void> forward_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  if (levels == 0 || (width == 1 && height == 1)) return ok();
  Lifter lifter(kernels, width, height);
  std::size_t w = width, h = height;
  for (unsigned level = 0; level < levels && (w > 1 || h > 1); ++level) {
    lifter.forward_level(plane.data(), width, w, h);
    w -= w / 2;
    h -= h / 2;
  }
  return ok();
}

namespace {

// The number of levels of an inverse that do something (1 x 1 levels are
// skipped) and the regions they work on, finest first.
struct LevelRegions {
  std::size_t ws[256], hs[256];
  unsigned count = 0;
  LevelRegions(std::size_t width, std::size_t height, std::uint8_t levels) {
    for (std::size_t w = width, h = height; count < levels && (w > 1 || h > 1); ++count) {
      ws[count] = w;
      hs[count] = h;
      w -= w / 2;
      h -= h / 2;
    }
  }
};

}  // namespace

Result<void> forward_53_rows_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                                  std::size_t width, std::size_t height, std::uint8_t levels,
                                  RowSource source) {
  VARNEL_TRY(check_plane(plane, width, height));
  if (levels == 0 || (width == 1 && height == 1)) {
    for (std::size_t y = 0; y < height; ++y) source.fill(source.context, y, plane.data() + y * width);
    return ok();
  }
  Lifter lifter(kernels, width, height);
  lifter.forward_level_rows(plane.data(), width, width, height, source);
  std::size_t w = width - width / 2, h = height - height / 2;
  for (unsigned level = 1; level < levels && (w > 1 || h > 1); ++level) {
    lifter.forward_level(plane.data(), width, w, h);
    w -= w / 2;
    h -= h / 2;
  }
  return ok();
}

Result<void> inverse_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  LevelRegions regions(width, height, levels);
  if (regions.count == 0) return ok();
  Lifter lifter(kernels, width, height);
  for (unsigned k = regions.count; k-- > 0;)
    lifter.inverse_level(plane.data(), width, regions.ws[k], regions.hs[k]);
  return ok();
}

unsigned active_levels(std::size_t width, std::size_t height, std::uint8_t levels) {
  return LevelRegions(width, height, levels).count;
}

namespace {

// Every level streamed (the levels of `regions`, at least one): a chain of
// LevelStreams, the finest pulled row by row into the sink.
void stream_levels(const LiftKernels& kernels, const LevelRegions& regions, LevelRows bands,
                   RowSink sink) {
  const Lifter lifter(kernels, regions.ws[0], 0);
  std::vector<std::unique_ptr<LevelStream>> streams(regions.count);
  for (unsigned k = regions.count; k-- > 0;)
    streams[k] = std::make_unique<LevelStream>(lifter, bands, k, regions.ws[k], regions.hs[k],
                                               k + 1 < regions.count ? streams[k + 1].get() : nullptr);
  for (std::size_t y = 0; y < regions.hs[0]; ++y) {
    const std::int32_t* row = streams[0]->next();
    if (row == nullptr || !sink.take(sink.context, y, row)) return;
  }
}

}  // namespace

Result<void> inverse_53_rows_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                                  std::size_t width, std::size_t height, std::uint8_t levels,
                                  RowSink sink, RowGate gate) {
  VARNEL_TRY(check_plane(plane, width, height));
  LevelRegions regions(width, height, levels);
  if (regions.count == 0) {
    for (std::size_t y = 0; y < height; ++y)
      if (!sink.take(sink.context, y, plane.data() + y * width)) break;
    return ok();
  }
  // Level k's Mallat rows are the plane's rows, its W_k columns.
  struct InPlane {
    const std::int32_t* p;
    std::size_t width;
    const LevelRegions* regions;
    RowGate gate;
  } in{plane.data(), width, &regions, gate};
  const LevelRows bands{
      &in,
      [](void* ctx, unsigned level, std::size_t j) {
        const auto& in = *static_cast<const InPlane*>(ctx);
        return level != 0 || in.gate.ready == nullptr || in.gate.ready(in.gate.context, j);
      },
      [](void* ctx, unsigned level, std::size_t r, BandRow* low, BandRow* high) {
        const auto& in = *static_cast<const InPlane*>(ctx);
        const std::size_t w = in.regions->ws[level], h = in.regions->hs[level];
        const std::int32_t* row = in.p + r * in.width;
        if (level + 1 == in.regions->count || r >= h - h / 2) low->wide = row;
        high->wide = row + (w - w / 2);
      }};
  stream_levels(kernels, regions, bands, sink);
  return ok();
}

Result<void> inverse_53_levels_rows_with(const LiftKernels& kernels, std::size_t width,
                                         std::size_t height, std::uint8_t levels, LevelRows bands,
                                         RowSink sink) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area))
    return std::unexpected(invalid("plane of no samples"));
  LevelRegions regions(width, height, levels);
  if (regions.count == 0) {
    for (std::size_t y = 0; y < height; ++y) {
      BandRow low, high;
      bands.row(bands.context, 0, y, &low, &high);
      if (!sink.take(sink.context, y, low.wide)) break;
    }
    return ok();
  }
  stream_levels(kernels, regions, bands, sink);
  return ok();
}

Result<void> forward_53(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                        std::uint8_t levels) {
  return forward_53_with(lift_kernels(), plane, width, height, levels);
}

Result<void> inverse_53(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                        std::uint8_t levels) {
  return inverse_53_with(lift_kernels(), plane, width, height, levels);
}

Result<void> forward_53_rows(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                             std::uint8_t levels, RowSource source) {
  return forward_53_rows_with(lift_kernels(), plane, width, height, levels, source);
}

Result<void> inverse_53_levels_rows(std::size_t width, std::size_t height, std::uint8_t levels,
                                    LevelRows bands, RowSink sink) {
  return inverse_53_levels_rows_with(lift_kernels(), width, height, levels, bands, sink);
}

Result<void> inverse_53_rows(std::span<std::int32_t> plane, std::size_t width, std::size_t height,
                             std::uint8_t levels, RowSink sink, RowGate gate) {
  return inverse_53_rows_with(lift_kernels(), plane, width, height, levels, sink, gate);
}

}  // namespace varnel::htj2k
