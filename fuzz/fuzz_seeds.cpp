// Writes seed inputs for the fuzz targets: varnel's own output in several
// settings, with the prefix each target reads, and the codestreams named on
// the command line (given to the codestream target and wrapped into chunks).
//   fuzz_seeds OUT_DIR [CODESTREAM...]   ->  OUT_DIR/<target>/<n>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "block_refine_encoder.hpp"
#include "codestream/container.hpp"
#include "codestream/packet.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "htj2k/block/block64.hpp"
#include "htj2k/block/encode.hpp"
#include "zarr/htj2k.hpp"
#include "zfp/chunk.hpp"
#include "zfp_input.hpp"

using namespace varnel;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

fs::path out_dir;
std::uint32_t rng_state = 12345;
std::uint32_t rnd() { return rng_state = rng_state * 1103515245u + 12345u, rng_state >> 8; }

void save(const char* target, std::uint8_t prefix_byte, const Bytes& body, const Bytes& more_prefix = {}) {
  static int n = 0;
  const fs::path dir = out_dir / target;
  fs::create_directories(dir);
  std::ofstream f(dir / std::to_string(n++), std::ios::binary);
  f.put(static_cast<char>(prefix_byte));
  f.write(reinterpret_cast<const char*>(more_prefix.data()), static_cast<std::streamsize>(more_prefix.size()));
  f.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
}

// Samples in [0, 2^bits): a ramp with noise, or noise alone.
std::vector<std::int32_t> samples(std::size_t count, unsigned bits, bool ramp) {
  std::vector<std::int32_t> s(count);
  const std::uint32_t mask = (1u << bits) - 1;
  for (std::size_t i = 0; i < count; ++i)
    s[i] = static_cast<std::int32_t>(((ramp ? i * 7 : 0) + (rnd() & (ramp ? 3 : mask))) & mask);
  return s;
}

void codestream_seeds() {
  const std::pair<std::size_t, std::size_t> sizes[] = {{1, 1}, {3, 5}, {17, 9}, {33, 70}, {64, 64}};
  const std::pair<std::uint16_t, std::uint16_t> blocks[] = {{4, 4}, {64, 64}, {8, 32}};
  int k = 0;
  for (auto [w, h] : sizes)
    for (auto [bw, bh] : blocks) {
      ++k;
      codestream::EncodeParams params;
      params.block_width = bw;
      params.block_height = bh;
      params.levels = static_cast<std::uint8_t>(k % 6);
      params.progression = static_cast<std::uint8_t>(k % 5);
      params.causal = k % 2;
      params.index = k % 3 != 0;
      const std::uint8_t depth = k % 2 ? 8 : 12;
      auto plane = samples(w * h, depth, k % 4 != 0);
      Bytes cs;
      if (!codestream::encode_plane_in_place(plane, w, h, depth, false, params, cs)) continue;
      save("codestream", static_cast<std::uint8_t>(k % 3), cs);
      save("codestream", 0x80 | 1, Bytes(cs.begin(), cs.begin() + static_cast<std::ptrdiff_t>(cs.size() * 2 / 3)));
    }
  // Full-range 32-bit samples: codestreams of the 64-bit datapath (K_max > 30).
  for (auto [w, h] : sizes) {
    ++k;
    codestream::EncodeParams params;
    params.levels = static_cast<std::uint8_t>(k % 9);
    params.progression = static_cast<std::uint8_t>(k % 5);
    std::vector<std::int32_t> plane(w * h);
    for (auto& v : plane) v = static_cast<std::int32_t>(rnd() << 8 ^ rnd());
    Bytes cs;
    if (!codestream::encode_plane_in_place(plane, w, h, 32, true, params, cs)) continue;
    save("codestream", static_cast<std::uint8_t>(k % 3), cs);
    save("codestream", 0x80 | 1, Bytes(cs.begin(), cs.begin() + static_cast<std::ptrdiff_t>(cs.size() * 2 / 3)));
  }
}

void chunk_seeds() {
  const std::vector<std::uint64_t> shapes[] = {{1, 1}, {2, 8, 8}, {1, 17, 33}, {2, 2, 5, 6}, {40, 40}};
  const ElementType types[] = {ElementType::U8, ElementType::I8, ElementType::U16, ElementType::I16,
                              ElementType::U32, ElementType::I32};
  const char* orders[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};
  int k = 0;
  for (const auto& shape : shapes)
    for (ElementType t : types) {
      ++k;
      std::uint64_t n = 1;
      for (auto e : shape) n *= e;
      Bytes raw(n * element_size(t));
      // Every third chunk full-range: 32-bit types on the 64-bit datapath.
      for (auto& b : raw) b = static_cast<std::uint8_t>(rnd() & (k % 3 ? 0x0F : 0xFF));
      zarr::Htj2kConfig config;
      config.xy_levels = static_cast<std::uint8_t>(k % 4);
      config.progression = orders[k % 5];
      config.index = k % 4 != 1;
      auto chunk = zarr::encode_chunk(raw, shape, t, config);
      if (!chunk) continue;
      const auto dtype = static_cast<std::uint8_t>(t);
      save("chunk", dtype, *chunk);
      if (config.index && config.xy_levels > 0) save("chunk", static_cast<std::uint8_t>(dtype | 2 << 3), *chunk);
    }
  // Full-range uint32 (int32 gets it above): the 64-bit datapath.
  for (std::uint8_t levels : {0, 3, 8}) {
    Bytes raw(4 * 19 * 23);
    for (auto& b : raw) b = static_cast<std::uint8_t>(rnd());
    zarr::Htj2kConfig config;
    config.xy_levels = levels;
    const std::vector<std::uint64_t> shape = {19, 23};
    auto chunk = zarr::encode_chunk(raw, shape, ElementType::U32, config);
    if (!chunk) continue;
    save("chunk", static_cast<std::uint8_t>(ElementType::U32), *chunk);
    if (levels > 0) save("chunk", static_cast<std::uint8_t>(static_cast<std::uint8_t>(ElementType::U32) | 2 << 3), *chunk);
  }
}

// Chunks whose index carries prefix checksums (flags 3), read whole and at
// every reduce, so mutations reach the checksums and the bytes they cover.
void checksummed_chunk_seeds() {
  const std::vector<std::uint64_t> shapes[] = {{2, 8, 8}, {1, 17, 33}, {3, 40, 24}};
  const ElementType types[] = {ElementType::U8, ElementType::I16, ElementType::U32};
  int k = 0;
  for (const auto& shape : shapes)
    for (ElementType t : types) {
      ++k;
      std::uint64_t n = 1;
      for (auto e : shape) n *= e;
      Bytes raw(n * element_size(t));
      for (auto& b : raw) b = static_cast<std::uint8_t>(rnd() & 0x3F);
      zarr::Htj2kConfig config;
      config.xy_levels = static_cast<std::uint8_t>(1 + k % 3);
      config.checksums = true;
      auto chunk = zarr::encode_chunk(raw, shape, t, config);
      if (!chunk) continue;
      const auto dtype = static_cast<std::uint8_t>(t);
      for (unsigned reduce = 0; reduce <= config.xy_levels; ++reduce)
        save("chunk", static_cast<std::uint8_t>(dtype | (reduce + 1) << 3), *chunk);
      save("chunk", dtype, *chunk);
    }
}

// Planes one and two rows high (and wide) at several level counts, every
// dtype at full range: the coarser levels keep one row, a shape the streamed
// decodes must lay out (32-bit types take the 64-bit datapath).
void thin_chunk_seeds() {
  const std::vector<std::uint64_t> shapes[] = {{1, 1, 64}, {2, 2, 37}, {1, 65, 2}, {1, 1, 4}};
  for (const auto& shape : shapes)
    for (std::uint8_t t = 0; t < 6; ++t)
      for (std::uint8_t levels : {2, 3, 6}) {
        const auto type = static_cast<ElementType>(t);
        Bytes raw(shape[0] * shape[1] * shape[2] * element_size(type));
        for (auto& b : raw) b = static_cast<std::uint8_t>(rnd());
        zarr::Htj2kConfig config;
        config.xy_levels = levels;
        auto chunk = zarr::encode_chunk(raw, shape, type, config);
        if (!chunk) continue;
        save("chunk", t, *chunk);
        save("chunk", static_cast<std::uint8_t>(t | (1 + levels / 2) << 3), *chunk);
      }
}

void conformance_seeds(const std::vector<std::string>& files) {
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const Bytes cs{std::istreambuf_iterator<char>(in), {}};
    save("codestream", 0, cs);
    auto parsed = codestream::Codestream::parse(cs);
    if (!parsed) continue;
    codestream::ChunkHeader header;
    header.shape = {parsed->siz.ysiz, parsed->siz.xsiz};
    header.xy_levels = parsed->cod.levels;
    auto bytes = header.to_bytes();
    if (!bytes) continue;
    bytes->insert(bytes->end(), cs.begin(), cs.end());
    save("chunk", static_cast<std::uint8_t>(ElementType::I32), *bytes);
  }
}

void packet_seeds() {
  for (int k = 0; k < 24; ++k) {
    const std::size_t nbands = k % 2 ? 3 : 1;
    std::vector<codestream::BandBlocks> bands(nbands);
    std::vector<Bytes> storage;
    storage.reserve(64 * 3);
    Bytes prefix;
    for (auto& band : bands) {
      band.across = 1 + rnd() % 4;
      band.down = 1 + rnd() % 3;
      const std::uint8_t magb = static_cast<std::uint8_t>(8 + rnd() % 10);
      prefix.insert(prefix.end(), {static_cast<std::uint8_t>(band.across), static_cast<std::uint8_t>(band.down), magb});
      for (std::uint64_t b = 0; b < band.across * band.down; ++b) {
        codestream::CodeBlock block;
        if (rnd() % 3 != 0) {
          block.passes = static_cast<std::uint8_t>(1 + rnd() % 3);
          block.lcup = 2 + rnd() % 300;
          block.lref = block.passes > 1 ? 1 + rnd() % 20 : 0;
          block.missing_msbs = static_cast<std::uint8_t>(rnd() % (magb - 1));
          storage.emplace_back(block.lcup + block.lref, std::uint8_t{0x5A});
          block.data = std::span<const std::uint8_t>(storage.back());
        }
        band.blocks.push_back(block);
      }
    }
    Bytes header;
    if (!codestream::append_packet_header(bands, header)) continue;
    save("packet", nbands == 3 ? 4 : 0, header, prefix);
  }
}

void block_seeds() {
  const std::pair<std::size_t, std::size_t> sizes[] = {{1, 1}, {4, 4}, {5, 3}, {16, 16}, {64, 64}, {32, 8}, {1024, 4}};
  int k = 0;
  for (auto [w, h] : sizes)
    for (int passes = 1; passes <= 3; ++passes) {
      ++k;
      const std::uint32_t msbs = 30 - (4 + k % 12);
      const bool causal = k % 2;
      std::vector<std::uint32_t> words(w * h);
      for (auto& word : words)  // magnitudes below the band's first non-missing bit-plane
        if (rnd() % 3) word = (rnd() & ((1u << (31 - msbs)) - 1)) | (rnd() & 1) << 31;
      auto cleanup = htj2k::encode_block(words, w, h, w, msbs);
      if (!cleanup) continue;
      Bytes seg = *cleanup;
      std::uint32_t lref = 0;
      if (passes > 1) {
        auto ref = htj2k::testing::encode_refinement(words, w, h, w, msbs, causal, passes == 3);
        lref = static_cast<std::uint32_t>(ref.segment.size());
        seg.insert(seg.end(), ref.segment.begin(), ref.segment.end());
      }
      const Bytes prefix = {static_cast<std::uint8_t>((w - 1) >> 8), static_cast<std::uint8_t>(h - 1),
                            static_cast<std::uint8_t>((h - 1) >> 8), static_cast<std::uint8_t>(msbs | (k % 8) << 5),
                            static_cast<std::uint8_t>(passes | (causal ? 4 : 0)),
                            static_cast<std::uint8_t>(lref), static_cast<std::uint8_t>(lref >> 8)};
      save("block", static_cast<std::uint8_t>(w - 1), seg, prefix);
    }
  // Blocks of the 64-bit coder, 37 bit-planes deep: the target reads them
  // with 32 missing MSBs more than its field (36 = 4 + 32).
  htj2k::WideBlockEncoder wide;
  for (auto [w, h] : sizes) {
    std::vector<std::uint64_t> words(w * h);
    for (auto& word : words)
      if (rnd() % 5) word = ((std::uint64_t{rnd()} << 40 ^ std::uint64_t{rnd()} << 26) & (~std::uint64_t{0} >> 1)) |
                            std::uint64_t{rnd() & 1} << 63;
    Bytes seg;
    if (!wide.encode(words, w, h, w, 36, seg)) continue;
    const Bytes prefix = {static_cast<std::uint8_t>((w - 1) >> 8), static_cast<std::uint8_t>(h - 1),
                          static_cast<std::uint8_t>((h - 1) >> 8), 4, 1, 0, 0};
    save("block", static_cast<std::uint8_t>(w - 1), seg, prefix);
  }
}

void zfp_seeds() {
  const std::vector<std::uint64_t> shapes[] = {{7}, {4, 5}, {3, 4, 5}, {2, 3, 4, 5}, {1, 6, 1, 5}};
  const std::uint8_t params[] = {0, 24, 40, 20};  // reversible; rate 6; tolerance 2^0; precision 20
  for (const auto& shape : shapes)
    for (unsigned t = 0; t < 8; ++t)
      for (unsigned mode = 0; mode < 4; ++mode) {
        zfpc::ZfpChunkConfig config;
        const char* modes[] = {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"};
        config.mode = modes[mode];
        if (mode == 1) config.rate = params[1] / 4.0;
        if (mode == 2) config.tolerance = 1.0;
        if (mode == 3) config.precision = params[3];
        std::uint8_t b0 = static_cast<std::uint8_t>(t | mode << 3);
        if (shape.size() == 4 && shape[0] == 1) {
          config.dims = 2;
          b0 |= 0x20 | 1 << 6;
        }
        const ElementType dtype = fuzz::zfp_input_type(static_cast<std::uint8_t>(t));
        std::uint64_t n = 1;
        for (auto e : shape) n *= e;
        Bytes raw(n * element_size(dtype));
        for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i % 7 + (rnd() & 1));
        if (t >= 6)  // floats: small finite values
          for (std::size_t i = 0; i < n; ++i) {
            if (t == 6) { float v = static_cast<float>(i) * 0.25f; std::memcpy(&raw[4 * i], &v, 4); }
            else { double v = static_cast<double>(i) * 0.5 - 3; std::memcpy(&raw[8 * i], &v, 8); }
          }
        auto stream = zfpc::encode_chunk(raw, shape, dtype, config);
        if (!stream) continue;
        Bytes prefix = {params[mode], static_cast<std::uint8_t>(shape.size() - 1)};
        for (auto e : shape) prefix.push_back(static_cast<std::uint8_t>(e));
        save("zfp", b0, *stream, prefix);
      }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUT_DIR [CODESTREAM...]\n");
    return 2;
  }
  out_dir = argv[1];
  codestream_seeds();
  chunk_seeds();
  checksummed_chunk_seeds();
  thin_chunk_seeds();
  conformance_seeds(std::vector<std::string>(argv + 2, argv + argc));
  packet_seeds();
  block_seeds();
  zfp_seeds();
  return 0;
}
