// Benchmark of the HT block coder on realistic 16-bit wavelet coefficients.
//
// A synthetic 1024 x 1024 16-bit image (smooth gradients, hard edges, texture
// and sensor noise) goes through five levels of the reversible 5/3 transform;
// every sub-band is cut into 64 x 64 code-blocks held as sign-magnitude words
// (the block coder's word entry; the codestream writer codes the coefficients
// themselves through its coefficient entry). The benchmark then encodes all
// blocks, and decodes all of them, a number of rounds each, and prints the
// median samples per second of each direction. The baseline, measured in the
// same run, is one read-only pass over the same words that finds each block's
// largest magnitude (the least any encoder has to do).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "htj2k/block/decode.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/dwt/dwt.hpp"

using namespace varnel::htj2k;

namespace {

struct CodeBlock {
  std::vector<std::uint32_t> words;
  std::size_t w, h;
  std::uint32_t missing_msbs;
};

std::vector<std::int32_t> make_image(std::size_t w, std::size_t h) {
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 40.0);
  std::vector<std::int32_t> img(w * h);
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      const double fx = double(x) / double(w), fy = double(y) / double(h);
      double v = 12000 + 18000 * fx + 9000 * fy * fy;                      // gradients
      if ((x / 160 + y / 200) % 3 == 0) v += 14000;                         // edges
      if (std::hypot(fx - 0.6, fy - 0.4) < 0.2) v -= 9000;                  // a disc
      v += 2500 * std::sin(x * 0.37) * std::cos(y * 0.23) * (fx > 0.5);     // texture
      v += noise(rng);                                                      // noise
      img[y * w + x] = std::clamp(int(v), 0, 65535) - 32768;               // level shift
    }
  }
  return img;
}

// Cuts the Mallat layout of a transformed plane into 64 x 64 code-blocks of
// sign-magnitude words: each band's M_b is taken from its largest magnitude,
// the words hold |c| << (31 - M_b) and missing_msbs = M_b - 1.
std::vector<CodeBlock> cut_blocks(const std::vector<std::int32_t>& plane, std::size_t w,
                                  std::size_t h, int levels) {
  std::vector<CodeBlock> blocks;
  auto add_band = [&](std::size_t x0, std::size_t y0, std::size_t bw, std::size_t bh) {
    std::uint32_t maxmag = 1;
    for (std::size_t y = 0; y < bh; ++y)
      for (std::size_t x = 0; x < bw; ++x)
        maxmag = std::max(maxmag, std::uint32_t(std::abs(plane[(y0 + y) * w + x0 + x])));
    const unsigned mb = std::bit_width(maxmag);
    for (std::size_t by = 0; by < bh; by += 64)
      for (std::size_t bx = 0; bx < bw; bx += 64) {
        CodeBlock cb{{}, std::min<std::size_t>(64, bw - bx), std::min<std::size_t>(64, bh - by),
                     mb - 1};
        cb.words.resize(cb.w * cb.h);
        for (std::size_t y = 0; y < cb.h; ++y)
          for (std::size_t x = 0; x < cb.w; ++x) {
            const std::int32_t c = plane[(y0 + by + y) * w + x0 + bx + x];
            cb.words[y * cb.w + x] =
                (c < 0 ? 0x80000000u : 0u) | (std::uint32_t(std::abs(c)) << (31 - mb));
          }
        blocks.push_back(std::move(cb));
      }
  };
  std::size_t cw = w, ch = h;
  for (int l = 0; l < levels; ++l) {
    const std::size_t lw = (cw + 1) / 2, lh = (ch + 1) / 2;
    add_band(lw, 0, cw - lw, lh);        // HL
    add_band(0, lh, lw, ch - lh);        // LH
    add_band(lw, lh, cw - lw, ch - lh);  // HH
    cw = lw;
    ch = lh;
  }
  add_band(0, 0, cw, ch);  // LL
  return blocks;
}

// Thread CPU time: the machine is shared, and time spent descheduled is
// not the coder's.
double now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const std::size_t W = 1024, H = 1024;
  const int levels = 5;
  std::vector<std::int32_t> plane = make_image(W, H);
  if (!forward_53(plane, W, H, levels)) {
    std::fprintf(stderr, "forward_53 failed\n");
    return 1;
  }
  const std::vector<CodeBlock> blocks = cut_blocks(plane, W, H, levels);
  std::size_t samples = 0;
  for (const CodeBlock& b : blocks) samples += b.w * b.h;

  const int rounds = 15;
  // The default decoder, then one per kernel family this CPU runs.
  const auto families = varnel::isa_runnable();
  std::vector<BlockDecoder> family_dec;
  for (varnel::Isa isa : families) family_dec.emplace_back(block_kernels_for(isa));
  std::vector<double> enc_t, dec_t, base_t;
  std::vector<std::vector<double>> family_t(families.size());
  BlockEncoder enc;
  BlockDecoder dec;
  std::vector<std::uint8_t> coded;
  std::vector<std::size_t> offsets;
  std::vector<std::uint32_t> out(64 * 64);
  std::uint64_t sink = 0;
  for (int r = 0; r < rounds; ++r) {
    double t0 = now();
    for (const CodeBlock& b : blocks) {
      std::uint32_t m = 0;
      for (std::uint32_t v : b.words) m |= v & 0x7FFFFFFFu;
      sink += m;
    }
    base_t.push_back(now() - t0);

    coded.clear();
    offsets.clear();
    t0 = now();
    for (const CodeBlock& b : blocks) {
      offsets.push_back(coded.size());
      auto n = enc.encode(b.words, b.w, b.h, b.w, b.missing_msbs, coded);
      if (!n) {
        std::fprintf(stderr, "encode failed: %s\n", n.error().display().c_str());
        return 1;
      }
    }
    enc_t.push_back(now() - t0);
    offsets.push_back(coded.size());

    // The default choice first, then each family.
    for (int k = -1; k < static_cast<int>(families.size()); ++k) {
      BlockDecoder& d_k = k < 0 ? dec : family_dec[static_cast<std::size_t>(k)];
      t0 = now();
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        const CodeBlock& b = blocks[i];
        const std::size_t len = offsets[i + 1] - offsets[i];
        std::fill(out.begin(), out.begin() + b.w * b.h, 0u);
        const std::span<const std::uint8_t> data = std::span(coded).subspan(offsets[i], len);
        const BlockPasses passes{std::uint32_t(len), 0, 1};
        auto d = d_k.decode(data, out, b.w, b.h, b.w, b.missing_msbs, passes, false);
        if (!d) {
          std::fprintf(stderr, "decode failed: %s\n", d.error().display().c_str());
          return 1;
        }
        sink += out[0];
      }
      (k < 0 ? dec_t : family_t[static_cast<std::size_t>(k)]).push_back(now() - t0);
    }
  }
  // Check the last round once: every block decodes to its magnitudes.
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const CodeBlock& b = blocks[i];
    const std::size_t len = offsets[i + 1] - offsets[i];
    std::vector<std::uint32_t> o(b.w * b.h, 0);
    if (!decode_block(std::span(coded).subspan(offsets[i], len), o, b.w, b.h, b.w, b.missing_msbs,
                      BlockPasses{std::uint32_t(len), 0, 1}, false)) {
      ++wrong;
      continue;
    }
    const unsigned p = 30 - b.missing_msbs;
    for (std::size_t k = 0; k < o.size(); ++k)
      if (((o[k] & 0x7FFFFFFFu) >> p) != ((b.words[k] & 0x7FFFFFFFu) >> p)) {
        ++wrong;
        break;
      }
  }

  const double enc_s = median(enc_t), dec_s = median(dec_t), base_s = median(base_t);
  std::printf("blocks %zu, samples %zu, coded bytes %zu (%.3f bits/sample), blocks wrong %zu\n",
              blocks.size(), samples, coded.size(), 8.0 * double(coded.size()) / double(samples),
              wrong);
  std::printf("encode   %8.1f Msamples/s  (median of %d rounds, thread CPU time)\n", samples / enc_s / 1e6, rounds);
  std::printf("decode   %8.1f Msamples/s\n", samples / dec_s / 1e6);
  for (std::size_t k = 0; k < families.size(); ++k)
    std::printf("  family %-8s %8.1f Msamples/s\n",
                std::string(varnel::isa_name(families[k])).c_str(),
                samples / median(family_t[k]) / 1e6);
  std::printf("baseline %8.1f Msamples/s  (read-only pass; encode takes %.1fx, decode %.1fx)\n",
              samples / base_s / 1e6, enc_s / base_s, dec_s / base_s);
  return sink == 42 ? 2 : 0;
}
