// Benchmark of the htj2k chunk drivers.
//
// A chunk of 8 planes of 512 x 512 realistic 16-bit samples (gradients,
// edges, texture, noise) is encoded into the container and decoded again,
// a number of rounds each; the narrowing pass that turns decoded 32-bit
// samples back into 16-bit elements is timed on its own. Every figure is the
// median and is printed against a baseline measured in the same run: one
// memcpy of the chunk's bytes (for the drivers) or of the 32-bit samples
// (for the narrowing pass).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "zarr/htj2k.hpp"

using namespace varnel;

namespace {

std::vector<std::uint16_t> make_chunk(std::size_t planes, std::size_t w, std::size_t h) {
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 40.0);
  std::vector<std::uint16_t> out(planes * w * h);
  for (std::size_t p = 0; p < planes; ++p)
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x) {
        const double fx = double(x) / double(w), fy = double(y) / double(h);
        double v = 12000 + 18000 * fx + 9000 * fy * fy + 500.0 * double(p);
        if ((x / 80 + y / 100) % 3 == 0) v += 14000;
        v += 2500 * std::sin(double(x) * 0.37) * std::cos(double(y) * 0.23) * (fx > 0.5);
        v += noise(rng);
        out[(p * h + y) * w + x] = static_cast<std::uint16_t>(std::clamp(int(v), 0, 65535));
      }
  return out;
}

double median_seconds(int rounds, const std::function<void()>& run) {
  std::vector<double> t;
  for (int i = 0; i < rounds; ++i) {
    const auto a = std::chrono::steady_clock::now();
    run();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main() {
  const std::size_t planes = 8, w = 512, h = 512;
  const auto values = make_chunk(planes, w, h);
  std::vector<std::uint8_t> chunk(values.size() * 2);
  std::memcpy(chunk.data(), values.data(), chunk.size());
  const std::vector<std::uint64_t> shape = {planes, h, w};
  const double mb = double(chunk.size()) / 1e6;

  std::vector<std::uint8_t> copy(chunk.size());
  const double t_copy = median_seconds(21, [&] {
    std::memcpy(copy.data(), chunk.data(), chunk.size());
    asm volatile("" ::"r"(copy.data()) : "memory");
  });

  std::vector<std::uint8_t> coded;
  const double t_enc = median_seconds(7, [&] {
    coded = *zarr::encode_chunk(chunk, shape, ElementType::U16, {});
  });
  std::vector<std::uint8_t> back;
  const double t_dec = median_seconds(7, [&] { back = *zarr::decode_chunk(coded, shape, ElementType::U16); });
  if (back != chunk) {
    std::printf("round trip mismatch\n");
    return 1;
  }

  std::vector<std::int32_t> samples(values.begin(), values.end());
  std::vector<std::uint8_t> narrowed;
  narrowed.reserve(chunk.size());
  const double t_narrow = median_seconds(21, [&] {
    narrowed.clear();
    (void)zarr::narrow_samples(samples, ElementType::U16, narrowed);
  });
  std::vector<std::int32_t> samples_copy(samples.size());
  const double t_copy32 = median_seconds(21, [&] {
    std::memcpy(samples_copy.data(), samples.data(), samples.size() * 4);
    asm volatile("" ::"r"(samples_copy.data()) : "memory");
  });

  std::printf("chunk %zu x %zu x %zu uint16 (%.1f MB), coded %.1f MB (ratio %.2f)\n", planes, h, w,
              mb, double(coded.size()) / 1e6, double(chunk.size()) / double(coded.size()));
  std::printf("memcpy baseline      %8.1f MB/s\n", mb / t_copy);
  std::printf("encode_chunk         %8.1f MB/s  (%.1fx the memcpy time)\n", mb / t_enc, t_enc / t_copy);
  std::printf("decode_chunk         %8.1f MB/s  (%.1fx the memcpy time)\n", mb / t_dec, t_dec / t_copy);
  std::printf("narrow_samples U16   %8.1f Msamples/s  (%.2fx the time of copying the int32 samples)\n",
              double(samples.size()) / 1e6 / t_narrow, t_narrow / t_copy32);
  return 0;
}
