// varnel codestream: packets of one quality layer, in both directions.
//
// A packet holds the contributions of all code-blocks of one resolution of
// one component (one tile, one precinct per resolution, one layer). The
// header syntax is T.800 B.10 with the HT code-block segment lengths of
// T.814: inclusion in layer 0 and missing MSBs by tag trees, the number of
// coding passes, Lblock growth, then the cleanup segment length Lcup and,
// with refinement passes, the refinement segment length Lref.
//
// `write_packet` writes header and body from coded code-blocks (any of 1 to 3
// HT passes per block); `parse_packet_header` reads a header from untrusted
// bytes into one `BlockHeader` per included block (placeholder passes, SOP
// and EPH markers included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::codestream {

// One code-block of a band as the writer hands it to the packet coder.
struct CodeBlock {
  // The coded bytes (cleanup segment followed by the refinement segment),
  // or nothing when the block contributes nothing (it is then not included).
  // A view: whoever builds the block keeps the bytes alive until the packet
  // is written.
  std::optional<std::span<const std::uint8_t>> data;
  std::uint32_t lcup = 0;          // bytes of the HT cleanup segment
  std::uint32_t lref = 0;          // bytes of the HT refinement segment (0: none)
  std::uint8_t missing_msbs = 0;
  std::uint8_t passes = 1;         // coding passes, 1 to 3
};

// The code-blocks of one band of a packet, in raster order of its grid.
struct BandBlocks {
  std::vector<CodeBlock> blocks;   // across * down entries
  std::uint64_t across = 0;
  std::uint64_t down = 0;
};

// What the parser needs to know of one band of the packet.
struct BandDescriptor {
  std::uint64_t across = 0;        // code-block columns in this packet
  std::uint64_t down = 0;          // code-block rows in this packet
  std::uint8_t magb = 0;           // M_b of the band
};

// One included code-block, as parsed from a packet header.
struct BlockHeader {
  std::uint64_t band = 0;          // index into the band descriptors
  std::uint64_t x = 0;             // column in the band's grid (window)
  std::uint64_t y = 0;             // row
  std::uint32_t lcup = 0;
  std::uint32_t lref = 0;
  std::uint8_t missing_msbs = 0;   // placeholder passes included
  std::uint8_t passes = 1;         // passes of the last HT set, 1 to 3
  bool operator==(const BlockHeader&) const = default;
};

struct PacketHeader {
  std::vector<BlockHeader> blocks;
  std::size_t length = 0;          // header bytes (SOP, stuffing byte, EPH included)
};

// Appends the packet header of `bands` (in band order: LL for resolution 0,
// else HL, LH, HH) to `out` and returns its length. No SOP or EPH is written.
// Fails with InvalidArgument when a band's block list does not match its
// grid, passes are outside 1..3, or a block's data size is not Lcup + Lref.
Result<std::size_t> append_packet_header(std::span<const BandBlocks> bands,
                                         std::vector<std::uint8_t>& out);

// Appends header and body (the data of every included block, bands in order,
// blocks in raster order) to `out`; returns the packet length.
Result<std::size_t> append_packet(std::span<const BandBlocks> bands,
                                  std::vector<std::uint8_t>& out);

// The packet as a new byte sequence.
Result<std::vector<std::uint8_t>> write_packet(std::span<const BandBlocks> bands);

// Parses the header of the packet that starts at data[0] (data runs to the
// end of the available packet data). `sop`/`eph`: COD Scod bits 1 and 2.
// `base`: the offset errors report for data[0]. Malformed errors:
// "packet header truncated", "missing MSBs exceed the QCD K_max bound",
// "packet header Lblock exceeds the length bound", "HT cleanup segment length
// out of range", "HT refinement segment length out of range", "expected EPH
// after packet header".
Result<PacketHeader> parse_packet_header(std::span<const std::uint8_t> data,
                                         std::span<const BandDescriptor> bands, bool sop,
                                         bool eph, std::uint64_t base);

// The same, filling `blocks` (cleared first; its capacity is reused) and
// returning the header length.
Result<std::size_t> parse_packet_header_into(std::span<const std::uint8_t> data,
                                             std::span<const BandDescriptor> bands, bool sop,
                                             bool eph, std::uint64_t base,
                                             std::vector<BlockHeader>& blocks);

// The position after an EPH marker (0xFF 0x92) at data[pos], or the Malformed
// error "expected EPH after packet header" at base + pos.
Result<std::size_t> consume_eph(std::span<const std::uint8_t> data, std::size_t pos,
                                std::uint64_t base);

}  // namespace varnel::codestream
