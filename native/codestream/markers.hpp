// varnel codestream: the JPEG 2000 marker segments we write and read.
//
// Records for SIZ, COD, CAP, SOT and TLM entries, the marker codes, one
// encoder per segment (`to_bytes` or a payload function) and one parser per
// segment the reader needs. Payload means the bytes after the 16-bit length
// field. Parsers take the payload and `at`, the codestream offset of the
// segment's marker, and report every failure as a Malformed error at `at`.
// Integers are big-endian (T.800 Annex A; CAP is T.814 clause A.3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace varnel::codestream {

// Marker codes (0xFF followed by the code byte).
namespace marker {
inline constexpr std::uint16_t SOC = 0xFF4F;  // bare
inline constexpr std::uint16_t CAP = 0xFF50;
inline constexpr std::uint16_t SIZ = 0xFF51;
inline constexpr std::uint16_t COD = 0xFF52;
inline constexpr std::uint16_t COC = 0xFF53;
inline constexpr std::uint16_t TLM = 0xFF55;
inline constexpr std::uint16_t PLM = 0xFF57;
inline constexpr std::uint16_t PLT = 0xFF58;
inline constexpr std::uint16_t QCD = 0xFF5C;
inline constexpr std::uint16_t QCC = 0xFF5D;
inline constexpr std::uint16_t RGN = 0xFF5E;
inline constexpr std::uint16_t POC = 0xFF5F;
inline constexpr std::uint16_t PPM = 0xFF60;
inline constexpr std::uint16_t PPT = 0xFF61;
inline constexpr std::uint16_t CRG = 0xFF63;
inline constexpr std::uint16_t COM = 0xFF64;
inline constexpr std::uint16_t SOT = 0xFF90;
inline constexpr std::uint16_t SOP = 0xFF91;  // fixed length 4
inline constexpr std::uint16_t EPH = 0xFF92;  // bare
inline constexpr std::uint16_t SOD = 0xFF93;  // bare
inline constexpr std::uint16_t EOC = 0xFFD9;  // bare
}  // namespace marker

// The length field counts itself, so a payload holds at most 65533 bytes.
inline constexpr std::size_t kMaxSegmentPayload = 65533;

// Rsiz with the HTJ2K capabilities bit, and the Pcap bit of ISO/IEC 15444-15
// (bit 15 counted from the most significant bit as 1).
inline constexpr std::uint16_t kRsizHt = 0x4000;
inline constexpr std::uint32_t kPcapHt = 0x00020000;

// COD code-block style bits and Scod bits.
inline constexpr std::uint8_t kCblkHt = 0x40;
inline constexpr std::uint8_t kCblkCausal = 0x08;
inline constexpr std::uint8_t kScodPrecincts = 0x01;
inline constexpr std::uint8_t kScodSop = 0x02;
inline constexpr std::uint8_t kScodEph = 0x04;

// The text of the COM segment we write.
inline constexpr std::string_view kComText = "varnel varnel-codestream";

struct SizComponent {
  bool is_signed = false;
  std::uint8_t depth = 8;  // 1..=38: Ssiz low seven bits + 1
  std::uint8_t dx = 1;     // XRsiz as stored
  std::uint8_t dy = 1;     // YRsiz as stored

  bool operator==(const SizComponent&) const = default;
};

struct Siz {
  std::vector<SizComponent> components;
  std::uint32_t xsiz = 0, ysiz = 0;      // canvas size
  std::uint32_t xosiz = 0, yosiz = 0;    // image origin
  std::uint32_t xtsiz = 0, ytsiz = 0;    // tile size
  std::uint32_t xtosiz = 0, ytosiz = 0;  // tile origin
  std::uint16_t rsiz = kRsizHt;

  // 36 + 3 * components bytes. Csiz is the component count modulo 2^16;
  // more than 21832 components make a payload that push_segment refuses.
  std::vector<std::uint8_t> to_bytes() const;
  static Result<Siz> parse(std::span<const std::uint8_t> payload, std::uint64_t at);

  bool operator==(const Siz&) const = default;
};

struct PrecinctSize {
  std::uint8_t ppx = 15;  // exponents
  std::uint8_t ppy = 15;

  bool operator==(const PrecinctSize&) const = default;
};

struct Cod {
  std::uint8_t scod = 0;
  std::uint8_t progression = 0;  // 0 LRCP, 1 RLCP, 2 RPCL, 3 PCRL, 4 CPRL
  std::uint16_t layers = 1;
  std::uint8_t mct = 0;
  std::uint8_t levels = 5;        // N_L
  std::uint8_t xcb = 4;           // log2(code-block width) - 2
  std::uint8_t ycb = 4;           // log2(code-block height) - 2
  std::uint8_t cblk_style = kCblkHt;
  std::uint8_t transform = 1;     // 1 = reversible 5/3
  // One entry per resolution 0..=levels when Scod bit 0 is set, else empty.
  std::vector<PrecinctSize> precincts;

  // Ten bytes, then (when Scod bit 0 is set) one byte PPy << 4 | PPx per
  // precinct entry, each exponent kept to its nibble.
  std::vector<std::uint8_t> to_bytes() const;
  static Result<Cod> parse(std::span<const std::uint8_t> payload, std::uint64_t at);

  bool operator==(const Cod&) const = default;
};

struct Cap {
  std::uint16_t ccap15 = 0;

  // Ccap^15 carrying only the magnitude bound field (bits 0-4) for a
  // codestream whose largest magnitude bit-plane count is `b` (T.814 A.3).
  static Cap from_magb(std::uint32_t b);
  // Pcap (the 15444-15 bit only) followed by Ccap^15: six bytes.
  std::vector<std::uint8_t> to_bytes() const;
  // "CAP too short" below six bytes, "CAP without the Part-15 (Pcap^15) bit".
  static Result<Cap> parse(std::span<const std::uint8_t> payload, std::uint64_t at);

  bool operator==(const Cap&) const = default;
};

struct Sot {
  std::uint32_t psot = 0;   // tile-part length from the SOT marker on
  std::uint16_t isot = 0;   // tile index
  std::uint8_t tpsot = 0;   // tile-part index
  std::uint8_t tnsot = 1;   // tile-parts of the tile

  std::vector<std::uint8_t> to_bytes() const;  // eight bytes
  static Result<Sot> parse(std::span<const std::uint8_t> payload, std::uint64_t at);

  bool operator==(const Sot&) const = default;
};

struct TlmEntry {
  std::optional<std::uint16_t> tile;  // absent when Stlm has ST = 0
  std::uint32_t length = 0;           // Ptlm

  bool operator==(const TlmEntry&) const = default;
};

// Appends marker, L = payload size + 2 and payload to `out`. A payload longer
// than 65533 bytes is refused with InvalidArgument and `out` is unchanged.
Result<void> push_segment(std::vector<std::uint8_t>& out, std::uint16_t marker,
                          std::span<const std::uint8_t> payload);

// Appends a bare marker (SOC, SOD, EOC).
void push_marker(std::vector<std::uint8_t>& out, std::uint16_t marker);

// Rcom = 1 (Latin text) followed by the text bytes.
std::vector<std::uint8_t> com_payload(std::string_view text);

// Ztlm = 0, Stlm = 0x40 (no tile indexes, 32-bit lengths), the lengths.
std::vector<std::uint8_t> tlm_payload(std::span<const std::uint32_t> lengths);
Result<std::vector<TlmEntry>> parse_tlm(std::span<const std::uint8_t> payload, std::uint64_t at);

// Bytes that one packet length takes in a PLT segment (1 to 5).
std::size_t plt_coded_size(std::uint32_t length);
// Zplt followed by each length as a 7-bit-group varint, most significant
// group first, bit 7 set on every byte but the last (300 -> 0x82 0x2C).
std::vector<std::uint8_t> plt_payload(std::uint8_t zplt, std::span<const std::uint32_t> lengths);
// The packet lengths (Zplt skipped). Refuses a varint cut off by the end of
// the payload and a value that does not fit 32 bits.
Result<std::vector<std::uint32_t>> parse_plt(std::span<const std::uint8_t> payload,
                                             std::uint64_t at);

}  // namespace varnel::codestream
