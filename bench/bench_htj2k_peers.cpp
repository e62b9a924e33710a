// Lossless HTJ2K encode and decode: varnel against OpenJPH 0.31.0 and
// OpenHTJ2K 0.19.0, in one process and one run, single-threaded, with the
// same coding settings on every side (reversible 5/3, 5 levels, 64x64
// code-blocks, RPCL, one tile, one layer, the depth varnel writes).
//
// Images (synthetic.hpp):
//   a) 2048x2048 uint16, 12-bit microscopy-like;
//   b) 2048x2048 uint8, photograph-like mosaic;
//   c) 16x512x512 uint16 stack of microscopy-like planes: varnel codes it as
//      one 3-D chunk (one codestream per plane in its container), each peer
//      codes every plane as a codestream of its own, timed as the sum;
//   d) 1x512x512 uint16 12-bit microscopy plane, the chunk zarr readers
//      decode most;
//   e) 1x256x256 uint16 12-bit microscopy plane;
//   f) 1x512x512 uint8 photo mosaic.
// A small image is run `repeat` times back to back per timed call (the
// times printed are per run), so each call lasts long enough for the
// process clock.
// varnel runs through its chunk drivers (no plane index, so no PLT/TLM);
// the peers run in memory through their row interfaces (openjph_peer.hpp,
// openhtj2k_peer.hpp), reading from and writing to arrays of the image's
// element type, as varnel does.
//
// Before any timing, once per image and outside it: every peer codestream
// is parsed back and must carry varnel's coding settings; each side decodes
// its own codestreams exactly; OpenJPH and OpenHTJ2K decode varnel's
// codestreams exactly, and varnel decodes theirs exactly. Any difference
// ends the run with exit status 1.
//
// Timing: each round runs the three sides once each, in an order that
// rotates from round to round, and measures process CPU time (it counts any
// thread a library starts, and not other processes on a shared machine).
// Printed per image and direction: median times, and per peer the median
// over rounds of peer time / varnel time (> 1: varnel is faster) with its
// range; then the compressed sizes (codestream bytes; varnel's container
// header is left out) and their ratio.
//
//   bench_htj2k_peers [--rounds N] [--only a,b,c,d,e,f]
//
// Built only with -DVARNEL_PEERS=ON (cmake/peers.cmake builds both peers from
// their release archives).

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codestream/container.hpp"
#include "codestream/reader.hpp"
#include "core/dtype.hpp"
#include "openhtj2k_peer.hpp"
#include "openjph_peer.hpp"
#include "synthetic.hpp"
#include "timing.hpp"
#include "zarr/htj2k.hpp"

namespace {

constexpr unsigned kLevels = 5;
constexpr int kSides = 3;
constexpr std::array<const char*, kSides> kSideNames = {"varnel", "OpenJPH", "OpenHTJ2K"};

using Codestreams = std::vector<std::vector<std::uint8_t>>;

struct Image {
  char key;
  std::string name;
  varnel::ElementType type;
  std::vector<std::uint64_t> shape;  // (planes,) y, x
  std::vector<std::uint8_t> chunk;   // native-endian elements, C order
  int repeat = 1;                    // runs per timed call

  std::size_t height() const { return shape[shape.size() - 2]; }
  std::size_t width() const { return shape.back(); }
  std::size_t planes() const { return chunk.size() / (height() * width() * varnel::element_size(type)); }
};

template <class T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& v) {
  std::vector<std::uint8_t> out(v.size() * sizeof(T));
  std::memcpy(out.data(), v.data(), out.size());
  return out;
}

[[noreturn]] void fail(const Image& im, const std::string& what) {
  std::fprintf(stderr, "(%c) %s: %s\n", im.key, im.name.c_str(), what.c_str());
  std::exit(1);
}

varnel::zarr::Htj2kConfig varnel_config() {
  varnel::zarr::Htj2kConfig config;
  config.xy_levels = kLevels;
  config.progression = "RPCL";
  config.reversible = true;
  config.index = false;
  return config;
}

// The codestreams of a varnel chunk, one per plane.
Codestreams varnel_codestreams(const Image& im, std::span<const std::uint8_t> chunk) {
  auto planes = varnel::zarr::plane_ranges(chunk);
  if (!planes) fail(im, "varnel plane ranges: " + planes.error().display());
  Codestreams out;
  for (const auto& r : planes->ranges) out.emplace_back(chunk.begin() + r.offset, chunk.begin() + r.offset + r.length);
  return out;
}

// A varnel chunk (no index) holding `codestreams` as the planes of `im`.
std::vector<std::uint8_t> as_chunk(const Image& im, const Codestreams& codestreams) {
  varnel::codestream::ChunkHeader header;
  for (const auto e : im.shape) header.shape.push_back(static_cast<std::uint32_t>(e));
  header.xy_levels = kLevels;
  auto bytes = header.to_bytes();
  if (!bytes) fail(im, "container header: " + bytes.error().display());
  for (const auto& c : codestreams) bytes->insert(bytes->end(), c.begin(), c.end());
  return std::move(*bytes);
}

std::size_t total_size(const Codestreams& c) {
  std::size_t n = 0;
  for (const auto& s : c) n += s.size();
  return n;
}

// The bit depth varnel wrote for each plane; the peers are given the same.
std::vector<unsigned> depths_of(const Image& im, const Codestreams& varnel) {
  std::vector<unsigned> depths;
  for (const auto& c : varnel) {
    auto cs = varnel::codestream::Codestream::parse(c);
    if (!cs) fail(im, "varnel codestream: " + cs.error().display());
    depths.push_back(cs->siz.components.at(0).depth);
  }
  return depths;
}

// Fails unless every peer codestream codes the plane with varnel's settings.
void check_settings(const Image& im, const char* peer, const Codestreams& peer_cs, const Codestreams& varnel_cs) {
  for (std::size_t p = 0; p < peer_cs.size(); ++p) {
    auto theirs = varnel::codestream::Codestream::parse(peer_cs[p]);
    auto ours = varnel::codestream::Codestream::parse(varnel_cs[p]);
    if (!theirs) fail(im, std::string(peer) + " codestream does not parse: " + theirs.error().display());
    if (!ours) fail(im, "varnel codestream: " + ours.error().display());
    const auto &s = theirs->siz, &v = ours->siz;
    const auto &c = theirs->cod, &w = ours->cod;
    const bool same = s.components == v.components && s.xsiz == v.xsiz && s.ysiz == v.ysiz &&
                      s.xosiz == 0 && s.yosiz == 0 && s.xtsiz >= s.xsiz && s.ytsiz >= s.ysiz &&
                      c.levels == w.levels && c.xcb == w.xcb && c.ycb == w.ycb &&
                      c.progression == w.progression && c.layers == w.layers && c.mct == w.mct &&
                      c.transform == w.transform && (c.cblk_style & varnel::codestream::kCblkHt) != 0;
    if (!same) fail(im, std::string(peer) + " codestream has other coding settings than varnel's");
  }
}

// The three sides on one image of element type T: each encodes and decodes
// the whole image; decode writes into `out`.
template <class T>
struct Sides {
  explicit Sides(const Image& image)
      : im(image), samples(reinterpret_cast<const T*>(image.chunk.data()), image.chunk.size() / sizeof(T)) {}

  const Image& im;
  std::span<const T> samples;
  std::vector<unsigned> depths;
  varnel::zarr::Htj2kConfig config = varnel_config();
  std::vector<std::uint8_t> varnel_chunk;
  Codestreams ojph, htk;

  std::size_t plane_size() const { return im.width() * im.height(); }
  std::span<const T> plane(std::size_t p) const { return samples.subspan(p * plane_size(), plane_size()); }

  std::vector<std::uint8_t> varnel_encode() const {
    auto r = varnel::zarr::encode_chunk(im.chunk, im.shape, im.type, config);
    if (!r) fail(im, "varnel encode: " + r.error().display());
    return std::move(*r);
  }
  Codestreams ojph_encode() const {
    Codestreams out;
    for (std::size_t p = 0; p < im.planes(); ++p)
      out.push_back(bench::ojph_encode(plane(p), im.width(), im.height(), depths[p], kLevels));
    return out;
  }
  Codestreams htk_encode() const {
    Codestreams out;
    for (std::size_t p = 0; p < im.planes(); ++p)
      out.push_back(bench::htj2k_encode(plane(p), im.width(), im.height(), depths[p], kLevels));
    return out;
  }

  void varnel_decode(std::span<const std::uint8_t> chunk, std::vector<T>& out) const {
    auto r = varnel::zarr::decode_chunk_into(chunk, im.shape, im.type,
                                             std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size() * sizeof(T)));
    if (!r) fail(im, "varnel decode: " + r.error().display());
  }
  void ojph_decode(const Codestreams& cs, std::vector<T>& out) const {
    for (std::size_t p = 0; p < cs.size(); ++p)
      bench::ojph_decode_into(std::span<const std::uint8_t>(cs[p]), im.width(), im.height(),
                              std::span<T>(out).subspan(p * plane_size(), plane_size()));
  }
  void htk_decode(const Codestreams& cs, std::vector<T>& out) const {
    for (std::size_t p = 0; p < cs.size(); ++p)
      bench::htj2k_decode_into(std::span<const std::uint8_t>(cs[p]), im.width(),
                               std::span<T>(out).subspan(p * plane_size(), plane_size()));
  }

  // Decodes with `decode` into a zeroed buffer and fails unless it is the image.
  void expect_exact(const std::string& what, const std::function<void(std::vector<T>&)>& decode) const {
    std::vector<T> out(samples.size(), T{0});
    decode(out);
    if (!std::equal(out.begin(), out.end(), samples.begin())) fail(im, what + " is not exact");
  }
};

struct Timings {
  std::array<std::vector<double>, kSides> seconds;
};

// `rounds` rounds of the three sides, the first side of each round rotating.
// Each side runs `repeat` times per round; its time is that of one run.
Timings time_rounds(int rounds, int repeat, const std::array<std::function<void()>, kSides>& sides) {
  Timings t;
  for (int r = 0; r < rounds; ++r)
    for (int k = 0; k < kSides; ++k) {
      const int s = (r + k) % kSides;
      const double t0 = bench::process_seconds();
      for (int i = 0; i < repeat; ++i) sides[s]();
      t.seconds[s].push_back((bench::process_seconds() - t0) / repeat);
    }
  return t;
}

void print_row(const Image& im, const char* direction, const Timings& t) {
  std::printf("(%c) %-36s %-6s %9.3f", im.key, im.name.c_str(), direction, 1e3 * bench::median(t.seconds[0]));
  for (int s = 1; s < kSides; ++s) {
    std::vector<double> ratio;
    for (std::size_t r = 0; r < t.seconds[0].size(); ++r) ratio.push_back(t.seconds[s][r] / t.seconds[0][r]);
    const auto [lo, hi] = std::minmax_element(ratio.begin(), ratio.end());
    std::printf("  %9.3f %6.3f (%.2f-%.2f)", 1e3 * bench::median(t.seconds[s]), bench::median(ratio), *lo, *hi);
  }
  std::printf("\n");
  std::fflush(stdout);
}

struct Sizes {
  std::size_t varnel, ojph, htk;
};

template <class T>
Sizes run(const Image& im, int rounds) {
  Sides<T> sides(im);
  sides.varnel_chunk = sides.varnel_encode();
  const Codestreams varnel_cs = varnel_codestreams(im, sides.varnel_chunk);
  sides.depths = depths_of(im, varnel_cs);
  sides.ojph = sides.ojph_encode();
  sides.htk = sides.htk_encode();
  check_settings(im, "OpenJPH", sides.ojph, varnel_cs);
  check_settings(im, "OpenHTJ2K", sides.htk, varnel_cs);

  // Round trips, then cross-decodes, once each.
  sides.expect_exact("varnel's round trip", [&](auto& out) { sides.varnel_decode(sides.varnel_chunk, out); });
  sides.expect_exact("OpenJPH's round trip", [&](auto& out) { sides.ojph_decode(sides.ojph, out); });
  sides.expect_exact("OpenHTJ2K's round trip", [&](auto& out) { sides.htk_decode(sides.htk, out); });
  sides.expect_exact("OpenJPH decoding varnel's codestreams", [&](auto& out) { sides.ojph_decode(varnel_cs, out); });
  sides.expect_exact("OpenHTJ2K decoding varnel's codestreams", [&](auto& out) { sides.htk_decode(varnel_cs, out); });
  sides.expect_exact("varnel decoding OpenJPH's codestreams",
                     [&](auto& out) { sides.varnel_decode(as_chunk(im, sides.ojph), out); });
  sides.expect_exact("varnel decoding OpenHTJ2K's codestreams",
                     [&](auto& out) { sides.varnel_decode(as_chunk(im, sides.htk), out); });

  std::vector<T> out(sides.samples.size());
  const Timings decode = time_rounds(rounds, im.repeat,
                                     {[&] { sides.varnel_decode(sides.varnel_chunk, out); },
                                      [&] { sides.ojph_decode(sides.ojph, out); },
                                      [&] { sides.htk_decode(sides.htk, out); }});
  print_row(im, "decode", decode);
  const Timings encode = time_rounds(rounds, im.repeat,
                                     {[&] { (void)sides.varnel_encode(); },
                                      [&] { (void)sides.ojph_encode(); },
                                      [&] { (void)sides.htk_encode(); }});
  print_row(im, "encode", encode);
  return {total_size(varnel_cs), total_size(sides.ojph), total_size(sides.htk)};
}

std::vector<Image> images(std::string_view only) {
  std::vector<Image> out;
  if (only.find('a') != std::string_view::npos)
    out.push_back({'a', "2048x2048 uint16 12-bit microscopy", varnel::ElementType::U16, {2048, 2048},
                   bytes_of(bench::microscopy(2048, 900, 7))});
  if (only.find('b') != std::string_view::npos)
    out.push_back({'b', "2048x2048 uint8 photo mosaic", varnel::ElementType::U8, {2048, 2048},
                   bytes_of(bench::photo_mosaic(2048, 11))});
  if (only.find('c') != std::string_view::npos)
    out.push_back({'c', "16x512x512 uint16 microscopy stack", varnel::ElementType::U16, {16, 512, 512},
                   bytes_of(bench::microscopy_stack(16, 512, 3))});
  if (only.find('d') != std::string_view::npos)
    out.push_back({'d', "1x512x512 uint16 12-bit microscopy", varnel::ElementType::U16, {1, 512, 512},
                   bytes_of(bench::microscopy_stack(1, 512, 5)), 16});
  if (only.find('e') != std::string_view::npos)
    out.push_back({'e', "1x256x256 uint16 12-bit microscopy", varnel::ElementType::U16, {1, 256, 256},
                   bytes_of(bench::microscopy_stack(1, 256, 5)), 64});
  if (only.find('f') != std::string_view::npos)
    out.push_back({'f', "1x512x512 uint8 photo mosaic", varnel::ElementType::U8, {1, 512, 512},
                   bytes_of(bench::photo_mosaic(512, 13)), 16});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 9;
  std::string only = "a,b,c,d,e,f";
  bool usage = argc % 2 == 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (flag == "--only") only = argv[i + 1];
    else usage = true;
  }
  if (usage) {
    std::fprintf(stderr, "usage: %s [--rounds N] [--only a,b,c,d,e,f]\n", argv[0]);
    return 2;
  }
  std::printf("HTJ2K lossless, one thread: varnel vs OpenJPH 0.31.0 and OpenHTJ2K 0.19.0; %d rounds, "
              "process CPU time;\nratio = median over rounds of peer time / varnel time (> 1: varnel "
              "faster), with its range over the rounds\n\n",
              rounds);
  std::printf("    %-36s %-6s %9s  %9s %6s %11s  %9s %6s %11s\n", "image", "op", "varnel ms", "OpenJPH ms",
              "ratio", "(range)", "OHTJ2K ms", "ratio", "(range)");
  std::vector<std::pair<const Image*, Sizes>> sizes;
  const auto all = images(only);
  for (const Image& im : all)
    sizes.emplace_back(&im, im.type == varnel::ElementType::U8 ? run<std::uint8_t>(im, rounds)
                                                               : run<std::uint16_t>(im, rounds));
  std::printf("\n    %-36s %11s %11s %8s %11s %8s\n", "compressed (codestream bytes)", "varnel", "OpenJPH",
              "v/OJPH", "OpenHTJ2K", "v/OHTJ2K");
  for (const auto& [im, s] : sizes)
    std::printf("(%c) %-36s %11zu %11zu %8.4f %11zu %8.4f\n", im->key, im->name.c_str(), s.varnel, s.ojph,
                double(s.varnel) / double(s.ojph), s.htk, double(s.varnel) / double(s.htk));
  std::printf("\nall round trips and cross-decodes exact\n");
  return 0;
}
