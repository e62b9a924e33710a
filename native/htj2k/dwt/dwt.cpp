// The 2-D drivers of the reversible 5/3 wavelet and its horizontal lifting.
//
// Each level is one streaming pass over the rows of its region. Forward: for
// j = 0, 1, ... the vertical high-pass row d(j) = x(2j+1) - floor((x(2j) +
// x(2j+2)) / 2) goes to a row temporary, the low-pass row s(j) = x(2j) +
// floor((d(j-1) + d(j) + 2) / 4) to a line buffer, and s(j), transformed
// horizontally, lands in row j, whose input has been read by then. The saved
// high-pass rows are transformed horizontally into rows ceil(H/2) ... at the
// end. Every row thus sees its whole vertical lifting before its horizontal
// lifting, which is the order of T.800 Annex F that the result depends on.
// The inverse walks the same steps backwards, bottom-up, so that each output
// row only overwrites rows that have been consumed.
//
// Vertical steps are whole-row kernel calls over contiguous samples (never a
// column walk); the horizontal pass splits a row into its even and odd
// samples, lifts the two halves with the same kernels and stores them. Plane
// reads and writes are therefore about one and a half times those of a copy
// per level.
#include <cstring>
#include <memory>

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
// - line: one row of n = max(width, height) samples;
// - low: ceil(n/2) + 1 samples, the even half of a row plus one slot that
//   repeats the last even sample (the symmetric extension on the right);
// - high: floor(n/2) + 2 samples, the odd half of a row at offset 1, with the
//   first and last odd samples repeated on either side;
// - rows: floor(height/2) rows, the vertical high-pass rows of a level.
// The pointers are 64-byte aligned. Sizes cannot overflow: the plane, which
// holds width * height elements, exists.
struct Scratch {
  Scratch(std::size_t width, std::size_t height) {
    const std::size_t n = width > height ? width : height;
    const std::size_t line_len = round_up(n), low_len = round_up(n - n / 2 + 1),
                      high_len = round_up(n / 2 + 2), rows_len = (height / 2) * round_up(width);
    memory = std::make_unique_for_overwrite<std::int32_t[]>(line_len + low_len + high_len +
                                                            rows_len + kAlign);
    auto* base = memory.get();
    base += (kAlign - (reinterpret_cast<std::uintptr_t>(base) / sizeof(std::int32_t)) % kAlign) %
            kAlign;
    line = base;
    low = line + line_len;
    high = low + low_len;
    rows = high + high_len;
  }
  std::unique_ptr<std::int32_t[]> memory;
  std::int32_t* line;
  std::int32_t* low;
  std::int32_t* high;
  std::int32_t* rows;
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
    const std::size_t nl = h - h / 2, nh = h / 2, ts = round_up(w);
    auto row = [&](std::size_t r) { return p + r * stride; };
    auto saved = [&](std::size_t j) { return s_.rows + j * ts; };
    for (std::size_t j = 0; j < nl; ++j) {
      const std::int32_t* even = row(2 * j);
      if (j < nh) {
        const std::int32_t* below = 2 * j + 2 < h ? row(2 * j + 2) : even;
        k_.predict_sub(saved(j), row(2 * j + 1), even, below, w);
      }
      // d(-1) is d(0); past the last odd row (odd h) the last one repeats.
      const std::int32_t* above = saved(j > 0 ? j - 1 : 0);
      const std::int32_t* next = saved(j < nh ? j : nh - 1);
      k_.update_add(s_.line, even, above, next, w);
      forward_row(s_.line, row(j), w);
    }
    for (std::size_t j = 0; j < nh; ++j) forward_row(saved(j), row(nl + j), w);
  }

  void inverse_level(std::int32_t* p, std::size_t stride, std::size_t w, std::size_t h) {
    if (h == 1) {
      inverse_row(p, p, w);
      return;
    }
    const std::size_t nl = h - h / 2, nh = h / 2, ts = round_up(w);
    auto row = [&](std::size_t r) { return p + r * stride; };
    auto saved = [&](std::size_t j) { return s_.rows + j * ts; };
    for (std::size_t j = 0; j < nh; ++j) inverse_row(row(nl + j), saved(j), w);
    // Bottom-up: rows 2j and 2j+1 are written only after the low-pass rows
    // above j have been read; x(2j+2) is ready from the previous step.
    for (std::size_t j = nl; j-- > 0;) {
      inverse_row(row(j), s_.line, w);
      const std::int32_t* above = saved(j > 0 ? j - 1 : 0);
      const std::int32_t* next = saved(j < nh ? j : nh - 1);
      std::int32_t* even = row(2 * j);
      k_.update_sub(even, s_.line, above, next, w);
      if (j < nh) {
        const std::int32_t* below = 2 * j + 2 < h ? row(2 * j + 2) : even;
        k_.predict_add(row(2 * j + 1), saved(j), even, below, w);
      }
    }
  }

 private:
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
