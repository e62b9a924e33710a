// Fuzz target: one codestream, parsed and decoded at full or reduced
// resolution. Input: a selector byte -- bits 0-5 the levels below full
// resolution, bit 7 set to parse the rest as a cut prefix (as reduced chunk
// reads do) -- then the codestream. Images above 2^24 samples at the
// resolution decoded are only parsed: their size is declared, and a caller
// decoding them asked for that much.
#include <algorithm>
#include <cstdint>
#include <span>

#include "codestream/reader.hpp"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const bool cut = (data[0] & 0x80) != 0;
  auto cs = cut ? codestream::Codestream::parse_prefix(bytes) : codestream::Codestream::parse(bytes);
  if (!cs || !cs->check_supported()) return 0;
  if (!cut) (void)cs->packet_index();
  const unsigned levels = cs->cod.levels, reduce = std::min(data[0] & 0x3Fu, levels);
  const std::uint64_t w = cs->siz.xsiz, h = cs->siz.ysiz, d = std::uint64_t{1} << reduce;
  if (cs->siz.components.size() * ((w + d - 1) / d) * ((h + d - 1) / d) > (1u << 24)) return 0;
  auto image = cs->decode_to_resolution(static_cast<std::uint8_t>(levels - reduce));
  if (image && image->components.size() != cs->siz.components.size()) __builtin_trap();
  if (image)
    for (const auto& plane : image->components)
      if (plane.size() != image->width * image->height) __builtin_trap();
  return 0;
}
