// Whole-plane HTJ2K encode and decode: varnel against OpenJPH, in one process
// and one run, single-threaded, with the same settings (reversible 5/3,
// 5 levels, 64x64 code-blocks, RPCL, one tile, no markers beyond the profile).
//
// Data: a 2048x2048 uint16 microscopy-like plane (12 significant bits: smooth
// background, blobs, shot noise) and a 2048x2048 uint8 photographic-like plane
// (smooth shading, hard edges, texture, sensor noise). varnel runs through its
// chunk driver (one plane per chunk, no plane index); OpenJPH runs in memory
// through its line interface. Prints both throughputs, the ratio and both
// compressed sizes. The two codecs run in turn and are timed in thread CPU
// time, so load from other processes favours neither. OpenJPH is linked into
// this benchmark only.
//
//   bench_htj2k_openjph [repeats]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/dtype.hpp"
#include "openjph_peer.hpp"
#include "zarr/htj2k.hpp"

namespace {

constexpr std::size_t kSize = 2048;

struct Image {
  std::string name;
  std::size_t width = kSize, height = kSize;
  unsigned depth = 16;               // bits per sample given to the codecs
  varnel::ElementType type = varnel::ElementType::U16;
  std::vector<std::int32_t> samples;  // row-major
};

Image microscopy() {
  Image im{"uint16 microscopy 12-bit", kSize, kSize, 16, varnel::ElementType::U16, {}};
  im.samples.resize(kSize * kSize);
  std::mt19937_64 rng(7);
  std::vector<double> f(kSize * kSize);
  for (std::size_t y = 0; y < kSize; ++y)
    for (std::size_t x = 0; x < kSize; ++x)
      f[y * kSize + x] = 200.0 + 80.0 * std::sin(x / 151.0) * std::cos(y / 211.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int b = 0; b < 900; ++b) {
    const double cx = u(rng) * kSize, cy = u(rng) * kSize, r = 2.0 + 10.0 * u(rng);
    const double a = 300.0 + 3000.0 * u(rng);
    const int x0 = std::max(0, int(cx - 4 * r)), x1 = std::min(int(kSize), int(cx + 4 * r) + 1);
    const int y0 = std::max(0, int(cy - 4 * r)), y1 = std::min(int(kSize), int(cy + 4 * r) + 1);
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        f[y * kSize + x] += a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * r * r));
  }
  for (std::size_t i = 0; i < f.size(); ++i) {
    std::poisson_distribution<int> shot(std::min(f[i], 4095.0));
    im.samples[i] = std::min(shot(rng), 4095);
  }
  return im;
}

Image photographic() {
  Image im{"uint8 photographic", kSize, kSize, 8, varnel::ElementType::U8, {}};
  im.samples.resize(kSize * kSize);
  std::mt19937_64 rng(11);
  std::normal_distribution<double> noise(0.0, 2.0);
  for (std::size_t y = 0; y < kSize; ++y) {
    for (std::size_t x = 0; x < kSize; ++x) {
      double v = 90.0 + 60.0 * std::sin(x / 300.0 + y / 500.0);          // sky / shading
      if (y > kSize / 2 + 200.0 * std::sin(x / 180.0)) v = 60.0 + 30.0 * std::cos(x / 40.0);  // horizon edge
      if ((x / 256 + y / 256) % 5 == 0) v += 40.0 * std::sin(x * 0.9) * std::sin(y * 0.7);   // texture
      if (x > 1200 && x < 1500 && y > 300 && y < 900) v = 220.0;           // a bright object
      v += noise(rng);
      im.samples[y * kSize + x] = static_cast<std::int32_t>(std::clamp(v, 0.0, 255.0));
    }
  }
  return im;
}

std::vector<std::uint8_t> to_chunk(const Image& im) {
  const std::size_t w = varnel::element_size(im.type);
  std::vector<std::uint8_t> out(im.samples.size() * w);
  for (std::size_t i = 0; i < im.samples.size(); ++i) {
    if (w == 1) out[i] = static_cast<std::uint8_t>(im.samples[i]);
    else { const auto v = static_cast<std::uint16_t>(im.samples[i]); std::memcpy(&out[2 * i], &v, 2); }
  }
  return out;
}

int run(const Image& im, int repeats) {
  const auto chunk = to_chunk(im);
  const std::uint64_t shape[2] = {im.height, im.width};
  varnel::zarr::Htj2kConfig config;
  config.xy_levels = 5;
  config.progression = "RPCL";
  config.reversible = true;
  config.index = false;

  auto encoded = varnel::zarr::encode_chunk(chunk, shape, im.type, config);
  if (!encoded) { std::fprintf(stderr, "varnel encode: %s\n", encoded.error().display().c_str()); return 1; }
  auto decoded = varnel::zarr::decode_chunk(*encoded, shape, im.type);
  if (!decoded || *decoded != chunk) { std::fprintf(stderr, "varnel round trip failed\n"); return 1; }
  const auto peer = bench::ojph_encode(im.samples, im.width, im.height, im.depth);
  if (bench::ojph_decode(peer, im.width, im.height) != im.samples) { std::fprintf(stderr, "OpenJPH round trip failed\n"); return 1; }

  const auto [v_enc, o_enc] = bench::alternating_medians(
      repeats, [&] { encoded = varnel::zarr::encode_chunk(chunk, shape, im.type, config); },
      [&] { (void)bench::ojph_encode(im.samples, im.width, im.height, im.depth); });
  const auto [v_dec, o_dec] = bench::alternating_medians(
      repeats, [&] { decoded = varnel::zarr::decode_chunk(*encoded, shape, im.type); },
      [&] { (void)bench::ojph_decode(peer, im.width, im.height); });

  const double ms = double(im.width * im.height) / 1e6;
  std::printf("%s, %zux%zu\n", im.name.c_str(), im.width, im.height);
  std::printf("  encode  varnel %7.1f Msamples/s   OpenJPH %7.1f Msamples/s   ratio %.2f\n",
              ms / v_enc, ms / o_enc, o_enc / v_enc);
  std::printf("  decode  varnel %7.1f Msamples/s   OpenJPH %7.1f Msamples/s   ratio %.2f\n",
              ms / v_dec, ms / o_dec, o_dec / v_dec);
  // The index-less chunk is the codestream behind a 16-byte container header.
  std::printf("  size    varnel %zu B (chunk, 16 B of it container header)   OpenJPH %zu B   varnel/OpenJPH %.4f\n",
              encoded->size(), peer.size(), double(encoded->size()) / double(peer.size()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf("HTJ2K whole-plane coding, single thread, alternating runs, median thread CPU time of %d;\n"
              "ratio = varnel speed / OpenJPH speed\n",
              repeats);
  int rc = run(microscopy(), repeats);
  rc |= run(photographic(), repeats);
  return rc;
}
