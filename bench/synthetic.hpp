// Deterministic, realistic-looking planes for the C++ HTJ2K benchmarks (the
// C++ counterparts of synthetic.py and the images of
// bench_htj2k_imagecodecs.py; same kinds of content, not the same values):
//
//   microscopy(size, blobs, seed): 12-bit fluorescence-like plane in uint16,
//     a smooth uneven background, Gaussian blobs of varied size and
//     brightness, Poisson shot noise;
//   photo_mosaic(size, seed): 8-bit photograph-like mosaic of patches (smooth
//     gradients, oriented stripes, smoothed-noise textures, shaded checkers)
//     with hard edges between them and mild sensor noise;
//   microscopy_stack(planes, size, seed): `planes` microscopy planes back to
//     back (C order, plane-major).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace bench {

inline std::vector<std::uint16_t> microscopy(std::size_t size, int blobs, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double n = static_cast<double>(size);
  std::vector<double> f(size * size);
  const double phase = 6.0 * u(rng);
  for (std::size_t y = 0; y < size; ++y)
    for (std::size_t x = 0; x < size; ++x)
      f[y * size + x] = 200.0 + 30.0 * x / n + 80.0 * std::sin(x / (n / 13.6) + phase) * std::cos(y / (n / 9.7));
  const int s = static_cast<int>(size);
  for (int b = 0; b < blobs; ++b) {
    const double cx = u(rng) * n, cy = u(rng) * n, r = 2.0 + 10.0 * u(rng);
    const double a = 300.0 + 3000.0 * u(rng);
    const int x0 = std::max(0, int(cx - 4 * r)), x1 = std::min(s, int(cx + 4 * r) + 1);
    const int y0 = std::max(0, int(cy - 4 * r)), y1 = std::min(s, int(cy + 4 * r) + 1);
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        f[y * size + x] += a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * r * r));
  }
  std::vector<std::uint16_t> out(size * size);
  for (std::size_t i = 0; i < f.size(); ++i) {
    std::poisson_distribution<int> shot(std::min(f[i], 4095.0));
    out[i] = static_cast<std::uint16_t>(std::min(shot(rng), 4095));
  }
  return out;
}

inline std::vector<std::uint16_t> microscopy_stack(std::size_t planes, std::size_t size, std::uint64_t seed) {
  std::vector<std::uint16_t> out;
  out.reserve(planes * size * size);
  const int blobs = std::max(8, static_cast<int>(size * size / 4700));  // the density of 900 on 2048^2
  for (std::size_t z = 0; z < planes; ++z) {
    const auto plane = microscopy(size, blobs, seed + z);
    out.insert(out.end(), plane.begin(), plane.end());
  }
  return out;
}

// Sorted cut positions in [64, extent - 64), with 0 and extent at the ends.
inline std::vector<std::size_t> mosaic_cuts(std::size_t extent, int cuts, std::mt19937_64& rng) {
  std::uniform_int_distribution<std::size_t> pos(64, extent - 65);
  std::vector<std::size_t> c = {0, extent};
  for (int i = 0; i < cuts; ++i) c.push_back(pos(rng));
  std::sort(c.begin(), c.end());
  c.erase(std::unique(c.begin(), c.end()), c.end());
  return c;
}

inline std::vector<std::uint8_t> photo_mosaic(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * u(rng); };
  std::vector<double> img(size * size);
  const auto ys = mosaic_cuts(size, 14, rng);
  for (std::size_t i = 0; i + 1 < ys.size(); ++i) {
    const auto xs = mosaic_cuts(size, 13, rng);
    for (std::size_t j = 0; j + 1 < xs.size(); ++j) {
      const std::size_t y0 = ys[i], y1 = ys[i + 1], x0 = xs[j], x1 = xs[j + 1];
      const std::size_t ph = y1 - y0, pw = x1 - x0;
      const double base = uniform(30, 220);
      const int kind = static_cast<int>(u(rng) * 4);
      auto at = [&](std::size_t yy, std::size_t xx) -> double& { return img[(y0 + yy) * size + x0 + xx]; };
      if (kind == 0) {  // smooth gradient (sky, walls)
        const double gy = uniform(-0.3, 0.3), gx = uniform(-0.3, 0.3);
        for (std::size_t yy = 0; yy < ph; ++yy)
          for (std::size_t xx = 0; xx < pw; ++xx) at(yy, xx) = base + gy * yy + gx * xx;
      } else if (kind == 1) {  // oriented stripes (fabric, fences)
        const double a = uniform(0, std::numbers::pi), f = uniform(0.05, 0.6), amp = uniform(10, 60);
        for (std::size_t yy = 0; yy < ph; ++yy)
          for (std::size_t xx = 0; xx < pw; ++xx)
            at(yy, xx) = base + amp * std::sin(f * (std::cos(a) * xx + std::sin(a) * yy));
      } else if (kind == 2) {  // smoothed noise (foliage, gravel): 4x4 cells, then a small blur
        const std::size_t cw = pw / 4 + 3, ch = ph / 4 + 3;
        std::vector<double> cells(cw * ch);
        for (auto& c : cells) c = gauss(rng);
        const double amp = uniform(10, 40);
        auto cell = [&](std::size_t yy, std::size_t xx) { return cells[(yy / 4) * cw + xx / 4]; };
        for (std::size_t yy = 0; yy < ph; ++yy)
          for (std::size_t xx = 0; xx < pw; ++xx)
            at(yy, xx) = base + amp * (cell(yy + 2, xx + 1) + cell(yy + 1, xx + 1) + cell(yy + 2, xx) +
                                       cell(yy, xx + 1)) / 4;
      } else {  // checkers with shading (tiles, windows)
        const std::size_t s = 6 + static_cast<std::size_t>(u(rng) * 18);
        const double c = uniform(20, 80);
        for (std::size_t yy = 0; yy < ph; ++yy)
          for (std::size_t xx = 0; xx < pw; ++xx)
            at(yy, xx) = base - 40 + ((yy / s + xx / s) % 2) * c + 0.1 * yy;
      }
    }
  }
  std::vector<std::uint8_t> out(size * size);
  for (std::size_t i = 0; i < img.size(); ++i)
    out[i] = static_cast<std::uint8_t>(std::clamp(std::rint(img[i] + 2.0 * gauss(rng)), 0.0, 255.0));
  return out;
}

}  // namespace bench
