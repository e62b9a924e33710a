// varnel codestream reader: parses one JPEG 2000 (HTJ2K) codestream into a
// `Codestream` record without copying its bytes, checks it against the
// subset this library decodes, lists its packets in progression order,
// indexes them from PLT/TLM, and reconstructs the image at any resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codestream/markers.hpp"
#include "codestream/quant.hpp"
#include "core/error.hpp"

namespace varnel::codestream {

struct TilePart {
  Sot sot;
  std::size_t sot_offset = 0;  // offset of the SOT marker
  std::size_t body_start = 0;  // just past SOD
  std::size_t body_end = 0;    // exclusive
  std::vector<std::uint32_t> plt;  // packet lengths of this tile-part's PLT segments
};

// One packet of the expected sequence (one quality layer).
struct PacketId {
  std::uint32_t component = 0;
  std::uint8_t resolution = 0;
  std::uint64_t precinct_x = 0;  // precinct column
  std::uint64_t precinct_y = 0;  // precinct row
  bool operator==(const PacketId&) const = default;
};

// One entry of the packet index: a packet and where it lies in the codestream.
struct PacketRef {
  std::uint32_t component = 0;
  std::uint8_t resolution = 0;
  std::uint64_t precinct_x = 0;
  std::uint64_t precinct_y = 0;
  std::uint64_t offset = 0;  // from SOC
  std::uint32_t length = 0;
};

// A reconstructed image: one row-major width x height plane per component.
struct DecodedImage {
  std::vector<std::vector<std::int32_t>> components;
  std::size_t width = 0;
  std::size_t height = 0;
};

struct Codestream {
  Siz siz;
  Cod cod;
  Quant qcd;
  bool cap_present = false;
  std::uint16_t ccap15 = 0;
  std::optional<std::string> comment;  // text of the last COM segment
  std::vector<std::uint32_t> tlm;      // tile-part lengths of all TLM segments
  std::vector<TilePart> tile_parts;
  std::span<const std::uint8_t> data;  // the whole input (not owned)
  std::size_t end = 0;                 // just past EOC
  std::size_t main_header_end = 0;     // offset of the first SOT
  // Segments that change how packets or coefficients are read; the parser
  // notes them and check_supported refuses them.
  bool has_poc = false;             // progression order changes
  bool has_packed_headers = false;  // PPM or PPT
  bool has_rgn = false;             // region of interest

  // Parses the codestream starting at bytes[0]; it must end with EOC, bytes
  // after EOC are ignored. `bytes` must outlive the result.
  static Result<Codestream> parse(std::span<const std::uint8_t> bytes);

  // Parses the leading bytes of a codestream cut after some of its packets
  // (the prefix that a chunk's plane index names for a resolution): as
  // parse, with the same checks up to the first tile-part body, but the
  // input may end anywhere in a tile-part body or right after one, without
  // EOC; a body that Psot (or TLM) says is longer ends with the input. `end`
  // is the input length, or just past EOC if the input holds one. What the
  // cut leaves out is for the packet walk to notice ("packet body truncated"
  // and the packet header errors).
  static Result<Codestream> parse_prefix(std::span<const std::uint8_t> bytes);

  // Unsupported with a message naming the first feature outside the subset.
  Result<void> check_supported() const;

  // (precinct columns, precinct rows) of resolution r.
  std::pair<std::uint64_t, std::uint64_t> precinct_grid(std::uint8_t r) const;

  // Every packet the codestream must hold, in progression order (T.800
  // B.12). PCRL and CPRL visit precincts by their origin on the reference
  // grid, which with one precinct per resolution is component, resolution.
  std::vector<PacketId> packet_sequence() const;
  // The same, but a resolution-major order (LRCP, RLCP, RPCL) stops after
  // resolution `max_resolution`; PCRL and CPRL are listed whole.
  std::vector<PacketId> packet_sequence(std::uint8_t max_resolution) const;
  // The number of packets of that sequence (saturating), without building it.
  std::uint64_t packet_count() const;

  // Every packet's position and length, from the PLT (and TLM) segments.
  Result<std::vector<PacketRef>> packet_index() const;

  // Reconstructs the image at resolution H = min(target, N_L): packets are
  // read up to the last one of resolution <= H, all packet headers of that
  // prefix are parsed before any plane is allocated, and the planes hold
  // only the W_H x H_H region. Unsupported from check_supported (or for an
  // image too large to hold), Malformed "packet body truncated" and the
  // errors of the packet header parser, block decoder and inverse 5/3.
  Result<DecodedImage> decode_to_resolution(std::uint8_t target) const;
};

}  // namespace varnel::codestream
