// The 2-D drivers of the reversible 5/3 wavelet and its horizontal lifting.
//
// Forward, each level makes two passes over the rows of its region. The
// first runs the vertical lifting in place as one stream down the rows: for
// j = 0, 1, ... row 2j+1 becomes d(j) = x(2j+1) - floor((x(2j) + x(2j+2)) / 2)
// and row 2j becomes s(j) = x(2j) + floor((d(j-1) + d(j) + 2) / 4); as soon as
// a row's vertical lifting is complete, its horizontal lifting runs on it.
// Every row thus sees its whole vertical lifting before its horizontal
// lifting, the order of T.800 Annex F that the result depends on. The second
// pass moves the low-pass rows to the top and the high-pass rows to the
// bottom by following the cycles of that row permutation. The inverse does
// the same steps backwards: permutation first, then one top-down stream.
//
// Vertical steps are whole-row kernel calls over contiguous samples (never a
// column walk); the horizontal pass splits a row into its even and odd
// samples, lifts the two halves with the same kernels and stores them back.
// No plane-sized temporary is needed: the plane is read and written about
// twice per level, and the scratch is a few rows.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "htj2k/dwt/dwt.hpp"
#include "htj2k/dwt/kernels.hpp"

namespace varnel::htj2k {

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  // libgcc's answer also requires the OS to save the YMM registers.
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

const LiftKernels& lift_kernels() {
  static const LiftKernels& chosen = cpu_has_avx2() ? avx2_kernels() : portable_kernels();
  return chosen;
}

namespace {

constexpr std::size_t kAlign = 16;  // elements: 64 bytes

constexpr std::size_t round_up(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// Working memory of one call, allocated once and used by every level:
// - line: one row of `width` samples (the row held out of a permutation cycle);
// - low: ceil(width/2) + 1 samples, the even half of a row plus one slot that
//   repeats the last even sample (the symmetric extension on the right);
// - high: floor(width/2) + 2 samples, the odd half of a row at offset 1, with
//   the first and last odd samples repeated on either side;
// - moved: one flag per row for the row permutation.
// Sizes cannot overflow: the plane, which holds width * height elements,
// exists.
struct Scratch {
  Scratch(std::size_t width, std::size_t height) : moved(height) {
    const std::size_t line_len = round_up(width), low_len = round_up(width - width / 2 + 1),
                      high_len = round_up(width / 2 + 2);
    memory = std::make_unique_for_overwrite<std::int32_t[]>(line_len + low_len + high_len + kAlign);
    auto* base = memory.get();
    base += (kAlign - (reinterpret_cast<std::uintptr_t>(base) / sizeof(std::int32_t)) % kAlign) %
            kAlign;
    line = base;
    low = line + line_len;
    high = low + low_len;
  }
  std::unique_ptr<std::int32_t[]> memory;
  std::int32_t* line;
  std::int32_t* low;
  std::int32_t* high;
  std::vector<std::uint8_t> moved;
};

class Lifter {
 public:
  Lifter(const LiftKernels& k, std::size_t width, std::size_t height)
      : k_(k), s_(width, height) {}

  // One row of n samples: src (which may be dst) to low-pass then high-pass
  // coefficients in dst. T.800 F.4.8 on a signal that starts at an even index.
  void forward_row(const std::int32_t* src, std::int32_t* dst, std::size_t n) {
    if (n == 1) {
      dst[0] = src[0];  // a single sample is its own low-pass coefficient
      return;
    }
    const std::size_t nl = n - n / 2, nh = n / 2;
    std::int32_t* lo = s_.low;
    std::int32_t* d = s_.high + 1;
    k_.split(src, lo, d, n);
    if (nl == nh) lo[nl] = lo[nl - 1];
    k_.predict_sub(d, d, lo, lo + 1, nh);
    d[-1] = d[0];
    d[nh] = d[nh - 1];
    k_.update_add(lo, lo, d - 1, d, nl);
    std::memcpy(dst, lo, nl * sizeof(std::int32_t));
    std::memcpy(dst + nl, d, nh * sizeof(std::int32_t));
  }

  // The reverse of forward_row (T.800 F.3.8): even samples first, then odd.
  void inverse_row(const std::int32_t* src, std::int32_t* dst, std::size_t n) {
    if (n == 1) {
      dst[0] = src[0];
      return;
    }
    const std::size_t nl = n - n / 2, nh = n / 2;
    std::int32_t* lo = s_.low;
    std::int32_t* d = s_.high + 1;
    std::memcpy(lo, src, nl * sizeof(std::int32_t));
    std::memcpy(d, src + nl, nh * sizeof(std::int32_t));
    d[-1] = d[0];
    d[nh] = d[nh - 1];
    k_.update_sub(lo, lo, d - 1, d, nl);
    if (nl == nh) lo[nl] = lo[nl - 1];
    k_.predict_add(d, d, lo, lo + 1, nh);
    k_.merge(lo, d, dst, n);
  }

  // One level on the w x h region at p with row stride `stride`.
  void forward_level(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h) {
    if (h == 1) {
      forward_row(p, p, w);
      return;
    }
    const std::size_t nl = h - h / 2, nh = h / 2;
    auto row = [&](std::size_t r) { return p + r * stride; };
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
      // Rows whose vertical lifting is complete get their horizontal lifting.
      forward_row(even, even, w);
      if (j > 0) forward_row(row(2 * j - 1), row(2 * j - 1), w);
    }
    if (nl == nh) forward_row(row(h - 1), row(h - 1), w);
    // Even rows to the top half, odd rows to the bottom half.
    permute_rows(p, stride, w, h, [nl](std::size_t to) {
      return to < nl ? 2 * to : 2 * (to - nl) + 1;
    });
  }

  void inverse_level(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h) {
    if (h == 1) {
      inverse_row(p, p, w);
      return;
    }
    const std::size_t nl = h - h / 2, nh = h / 2;
    auto row = [&](std::size_t r) { return p + r * stride; };
    // Low-pass rows back to the even rows, high-pass rows to the odd rows.
    permute_rows(p, stride, w, h, [nl](std::size_t to) {
      return to % 2 == 0 ? to / 2 : nl + to / 2;
    });
    // Top-down: each row gets its horizontal lifting undone just before the
    // vertical steps that read it.
    inverse_row(row(1), row(1), w);
    inverse_row(row(0), row(0), w);
    k_.update_sub(row(0), row(0), row(1), row(1), w);
    for (std::size_t j = 0; j < nh; ++j) {
      // Here x(2j) is restored and row 2j+1 holds d(j).
      const std::int32_t* below = row(2 * j);
      if (2 * j + 2 < h) {
        if (2 * j + 3 < h) inverse_row(row(2 * j + 3), row(2 * j + 3), w);
        inverse_row(row(2 * j + 2), row(2 * j + 2), w);
        const std::int32_t* next = row(2 * j + 3 < h ? 2 * j + 3 : 2 * j + 1);
        k_.update_sub(row(2 * j + 2), row(2 * j + 2), row(2 * j + 1), next, w);
        below = row(2 * j + 2);
      }
      k_.predict_add(row(2 * j + 1), row(2 * j + 1), row(2 * j), below, w);
    }
  }

 private:
  // Rearranges the h rows (w samples each) so that row `to` receives the old
  // row source(to). The permutation is followed cycle by cycle, so each row
  // is copied once (plus one row per cycle through the line buffer), and the
  // row overwritten next is always the one just read.
  template <class Source>
  void permute_rows(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h,
                    Source source) {
    const std::size_t bytes = w * sizeof(std::int32_t);
    std::fill(s_.moved.begin(), s_.moved.begin() + h, std::uint8_t{0});
    for (std::size_t start = 0; start < h; ++start) {
      if (s_.moved[start]) continue;
      s_.moved[start] = 1;
      std::size_t to = start, from = source(start);
      if (from == start) continue;
      std::memcpy(s_.line, p + start * stride, bytes);
      while (from != start) {
        std::memcpy(p + to * stride, p + from * stride, bytes);
        s_.moved[from] = 1;
        to = from;
        from = source(to);
      }
      std::memcpy(p + to * stride, s_.line, bytes);
    }
  }

  const LiftKernels& k_;
  Scratch s_;
};

Result<void> check_plane(std::span<std::int32_t> plane, std::size_t width, std::size_t height) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area) ||
      plane.size() < area) {
    return std::unexpected(Error::invalid("plane buffer smaller than width * height"));
  }
  return ok();
}

}  // namespace

Result<void> forward_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels) {
  if (auto checked = check_plane(plane, width, height); !checked) return checked;
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

Result<void> inverse_53_with(const LiftKernels& kernels, std::span<std::int32_t> plane,
                             std::size_t width, std::size_t height, std::uint8_t levels) {
  if (auto checked = check_plane(plane, width, height); !checked) return checked;
  if (levels == 0 || (width == 1 && height == 1)) return ok();
  // The regions of the levels that do something; 1 x 1 levels are skipped.
  std::size_t ws[256], hs[256];
  unsigned count = 0;
  for (std::size_t w = width, h = height; count < levels && (w > 1 || h > 1); ++count) {
    ws[count] = w;
    hs[count] = h;
    w -= w / 2;
    h -= h / 2;
  }
  Lifter lifter(kernels, width, height);
  while (count-- > 0) lifter.inverse_level(plane.data(), width, ws[count], hs[count]);
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

}  // namespace varnel::htj2k
