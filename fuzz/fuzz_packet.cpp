// Fuzz target: packet header parsing. Input: a flag byte (bit 0 SOP, bit 1
// EPH, bit 2 three bands instead of one), three bytes per band (code-block
// columns & 63, rows & 63, M_b & 63), then the packet data. Both parser
// forms must agree (the second reuses its block vector across inputs), and
// every parsed block must lie in its band's grid.
#include <cstdint>
#include <span>
#include <vector>

#include "codestream/packet.hpp"

using namespace varnel::codestream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool sop = data[0] & 1, eph = data[0] & 2;
  const std::size_t nbands = data[0] & 4 ? 3 : 1;
  if (size < 1 + 3 * nbands) return 0;
  BandDescriptor bands[3];
  for (std::size_t b = 0; b < nbands; ++b)
    bands[b] = {std::uint64_t{data[1 + 3 * b] & 63u}, std::uint64_t{data[2 + 3 * b] & 63u},
                static_cast<std::uint8_t>(data[3 + 3 * b] & 63)};
  const std::span<const std::uint8_t> packet(data + 1 + 3 * nbands, size - 1 - 3 * nbands);
  const std::span<const BandDescriptor> descs(bands, nbands);
  auto header = parse_packet_header(packet, descs, sop, eph, 7);
  static std::vector<BlockHeader> reused;
  auto length = parse_packet_header_into(packet, descs, sop, eph, 7, reused);
  if (header.has_value() != length.has_value()) __builtin_trap();
  if (!header) {
    if (header.error() != length.error()) __builtin_trap();
    return 0;
  }
  if (header->length != *length || header->blocks != reused || *length > packet.size()) __builtin_trap();
  for (const BlockHeader& b : reused)
    if (b.band >= nbands || b.x >= bands[b.band].across || b.y >= bands[b.band].down ||
        b.passes < 1 || b.passes > 3)
      __builtin_trap();
  return 0;
}
