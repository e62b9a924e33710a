// Codestream encode and decode speed against OpenJPH (linked as a peer
// library, used through its public API only), on the same planes in the
// same run. Prints medians and varnel/OpenJPH time ratios (below 1: faster).
#include "openjph_peer.hpp"
#include "timing.hpp"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/plane.hpp"

using namespace varnel;
using namespace varnel::codestream;

namespace {

double median_ms(int runs, const std::function<void()>& f) {
  return 1e3 * bench::median_seconds(runs, f);
}

std::vector<std::int32_t> test_plane(std::size_t w, std::size_t h, unsigned depth, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::int32_t> p(w * h);
  const int hi = (1 << depth) - 1;
  std::normal_distribution<double> noise(0, 2.0 + depth / 4.0);
  for (std::size_t y = 0; y < h; ++y)
    for (std::size_t x = 0; x < w; ++x) {
      const double v = hi * (0.5 + 0.3 * std::sin(x * 0.01) * std::cos(y * 0.013)) + noise(rng);
      p[y * w + x] = std::clamp(static_cast<int>(v), 0, hi);
    }
  return p;
}

std::vector<std::uint8_t> varnel_encode(const std::vector<std::int32_t>& p, std::size_t w, std::size_t h,
                                        unsigned depth, bool index) {
  EncodeParams params;
  params.index = index;
  const CoeffPlane planes[1] = {*CoeffPlane::make(p, w, h)};
  return *encode_image_with_depth(planes, static_cast<std::uint8_t>(depth), false, params);
}

std::vector<std::int32_t> varnel_decode(const std::vector<std::uint8_t>& b) {
  auto cs = Codestream::parse(b);
  auto img = cs->decode_to_resolution(255);
  return std::move(img->components[0]);
}

}  // namespace

int main() {
  struct Case { std::size_t w, h; unsigned depth; };
  const Case cases[] = {{2048, 2048, 8}, {2048, 2048, 12}, {1024, 1024, 16}, {4096, 1024, 10}};
  const int runs = 7;
  std::printf("%-16s %10s %10s %7s | %10s %10s %7s | %9s %9s\n", "plane", "enc varnel", "enc ojph",
              "ratio", "dec varnel", "dec ojph", "ratio", "bytes v", "bytes o");
  for (const Case& c : cases) {
    const auto p = test_plane(c.w, c.h, c.depth, 1);
    const auto vb = varnel_encode(p, c.w, c.h, c.depth, false);
    const auto ob = bench::ojph_encode(p, c.w, c.h, c.depth);
    if (varnel_decode(vb) != p || bench::ojph_decode(ob, c.w, c.h) != p || varnel_decode(ob) != p) {
      std::printf("round trip mismatch for %zux%zu\n", c.w, c.h);
      return 1;
    }
    const double ev = median_ms(runs, [&] { (void)varnel_encode(p, c.w, c.h, c.depth, false); });
    const double eo = median_ms(runs, [&] { (void)bench::ojph_encode(p, c.w, c.h, c.depth); });
    // Both decoders on OpenJPH's codestream (same bytes for both).
    const double dv = median_ms(runs, [&] { (void)varnel_decode(ob); });
    const double dob = median_ms(runs, [&] { (void)bench::ojph_decode(ob, c.w, c.h); });
    char name[32];
    std::snprintf(name, sizeof name, "%zux%zu u%u", c.w, c.h, c.depth);
    std::printf("%-16s %8.2fms %8.2fms %7.2f | %8.2fms %8.2fms %7.2f | %9zu %9zu\n", name, ev, eo, ev / eo,
                dv, dob, dv / dob, vb.size(), ob.size());
  }
  return 0;
}
