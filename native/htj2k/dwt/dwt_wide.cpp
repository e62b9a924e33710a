// The reversible 5/3 wavelet on 64-bit coefficients (dwt_wide.hpp): T.800
// F.4.8.2 (forward) and F.3.8.2 (inverse) lifting with the whole-sample
// symmetric extension, columns first and then rows at every level.
#include "htj2k/dwt/dwt_wide.hpp"

#include <algorithm>
#include <vector>

namespace varnel::htj2k {
namespace {

// Wrapping arithmetic; floor division by 2^s of a wrapped sum.
std::int64_t add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
std::int64_t sub(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
std::int64_t predict(std::int64_t a, std::int64_t b) { return add(a, b) >> 1; }
std::int64_t update(std::int64_t a, std::int64_t b) { return add(add(a, b), 2) >> 2; }

// One signal of n samples, `step` apart, lifted through `tmp` (n samples):
// low-pass coefficients first, high-pass after them (same step).
void forward_1d(std::int64_t* x, std::size_t n, std::size_t step, std::int64_t* tmp) {
  if (n < 2) return;  // a single sample is left unchanged
  const std::size_t nl = n - n / 2, nh = n / 2;
  std::int64_t* low = tmp;
  std::int64_t* high = tmp + nl;
  auto at = [&](std::size_t i) { return x[i * step]; };
  for (std::size_t k = 0; k < nh; ++k) {
    const std::int64_t right = 2 * k + 2 < n ? at(2 * k + 2) : at(2 * k);
    high[k] = sub(at(2 * k + 1), predict(at(2 * k), right));
  }
  for (std::size_t k = 0; k < nl; ++k) {
    const std::int64_t dl = high[k > 0 ? k - 1 : 0], dr = high[std::min(k, nh - 1)];
    low[k] = add(at(2 * k), update(dl, dr));
  }
  for (std::size_t i = 0; i < n; ++i) x[i * step] = tmp[i];
}

void inverse_1d(std::int64_t* x, std::size_t n, std::size_t step, std::int64_t* tmp) {
  if (n < 2) return;
  const std::size_t nl = n - n / 2, nh = n / 2;
  auto low = [&](std::size_t k) { return x[k * step]; };
  auto high = [&](std::size_t k) { return x[(nl + k) * step]; };
  for (std::size_t k = 0; k < nl; ++k)
    tmp[2 * k] = sub(low(k), update(high(k > 0 ? k - 1 : 0), high(std::min(k, nh - 1))));
  for (std::size_t k = 0; k < nh; ++k) {
    const std::int64_t right = 2 * k + 2 < n ? tmp[2 * k + 2] : tmp[2 * k];
    tmp[2 * k + 1] = add(high(k), predict(tmp[2 * k], right));
  }
  for (std::size_t i = 0; i < n; ++i) x[i * step] = tmp[i];
}

Result<void> check_plane(std::span<std::int64_t> plane, std::size_t width, std::size_t height) {
  std::size_t area = 0;
  if (width == 0 || height == 0 || __builtin_mul_overflow(width, height, &area) ||
      plane.size() < area)
    return std::unexpected(invalid("plane buffer smaller than width * height"));
  return ok();
}

// The regions of the levels that do something: level k works on ws[k] x hs[k].
struct Regions {
  std::vector<std::size_t> ws, hs;
  Regions(std::size_t width, std::size_t height, std::uint8_t levels) {
    for (std::size_t w = width, h = height; ws.size() < levels && (w > 1 || h > 1);
         w -= w / 2, h -= h / 2) {
      ws.push_back(w);
      hs.push_back(h);
    }
  }
};

}  // namespace

Result<void> forward_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  const Regions regions(width, height, levels);
  std::vector<std::int64_t> tmp(std::max(width, height));
  for (std::size_t k = 0; k < regions.ws.size(); ++k) {
    const std::size_t w = regions.ws[k], h = regions.hs[k];
    for (std::size_t x = 0; x < w; ++x) forward_1d(plane.data() + x, h, width, tmp.data());
    for (std::size_t y = 0; y < h; ++y) forward_1d(plane.data() + y * width, w, 1, tmp.data());
  }
  return ok();
}

Result<void> inverse_53_wide(std::span<std::int64_t> plane, std::size_t width,
                             std::size_t height, std::uint8_t levels) {
  VARNEL_TRY(check_plane(plane, width, height));
  const Regions regions(width, height, levels);
  std::vector<std::int64_t> tmp(std::max(width, height));
  for (std::size_t k = regions.ws.size(); k-- > 0;) {
    const std::size_t w = regions.ws[k], h = regions.hs[k];
    for (std::size_t y = 0; y < h; ++y) inverse_1d(plane.data() + y * width, w, 1, tmp.data());
    for (std::size_t x = 0; x < w; ++x) inverse_1d(plane.data() + x, h, width, tmp.data());
  }
  return ok();
}

}  // namespace varnel::htj2k
