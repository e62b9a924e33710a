// Main-header and tile-part header segments: framing, SIZ, COD, CAP, SOT and
// COM (T.800 Annex A.2-A.6, CAP from T.814 clause A.3).
#include "codestream/markers.hpp"

#include <string>

#include "core/bytes.hpp"

namespace varnel::codestream {
namespace {


}  // namespace

Result<void> push_segment(std::vector<std::uint8_t>& out, std::uint16_t code,
                          std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxSegmentPayload)
    return std::unexpected(invalid("marker segment payload exceeds 65533 bytes"));
  out.reserve(out.size() + 4 + payload.size());
  ByteWriter w(out);
  w.u16(code);
  w.u16(static_cast<std::uint16_t>(payload.size() + 2));
  w.bytes(payload);
  return ok();
}

void push_marker(std::vector<std::uint8_t>& out, std::uint16_t code) { ByteWriter(out).u16(code); }

// ---- SIZ -------------------------------------------------------------------

std::vector<std::uint8_t> Siz::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(36 + 3 * components.size());
  ByteWriter w(out);
  w.u16(rsiz);
  for (std::uint32_t v : {xsiz, ysiz, xosiz, yosiz, xtsiz, ytsiz, xtosiz, ytosiz}) w.u32(v);
  w.u16(static_cast<std::uint16_t>(components.size()));
  for (const SizComponent& c : components) {
    // Ssiz: bit 7 the sign, bits 0-6 the depth minus one.
    w.u8(static_cast<std::uint8_t>(((c.depth - 1u) & 0x7Fu) | (c.is_signed ? 0x80u : 0u)));
    w.u8(c.dx);
    w.u8(c.dy);
  }
  return out;
}

Result<Siz> Siz::parse(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.size() < 36) return std::unexpected(malformed(at, "SIZ too short"));
  ByteReader r(payload);
  Siz s;
  s.rsiz = *r.u16();
  s.xsiz = *r.u32();
  s.ysiz = *r.u32();
  s.xosiz = *r.u32();
  s.yosiz = *r.u32();
  s.xtsiz = *r.u32();
  s.ytsiz = *r.u32();
  s.xtosiz = *r.u32();
  s.ytosiz = *r.u32();
  const std::size_t csiz = *r.u16();
  if (csiz == 0 || r.remaining() / 3 < csiz)
    return std::unexpected(malformed(at, "SIZ component list truncated"));
  s.components.reserve(csiz);
  for (std::size_t i = 0; i < csiz; ++i) {
    const std::uint8_t ssiz = *r.u8();
    const std::uint8_t dx = *r.u8();
    const std::uint8_t dy = *r.u8();
    if ((ssiz & 0x7F) >= 38) return std::unexpected(malformed(at, "SIZ component depth outside 1..=38"));
    s.components.push_back({(ssiz & 0x80) != 0, static_cast<std::uint8_t>((ssiz & 0x7F) + 1), dx, dy});
  }
  if (s.xtsiz == 0 || s.ytsiz == 0) return std::unexpected(malformed(at, "SIZ with a zero tile dimension"));
  if (s.xosiz >= s.xsiz || s.yosiz >= s.ysiz)
    return std::unexpected(malformed(at, "SIZ canvas origin at or past its size"));
  if (s.xtosiz > s.xosiz || s.ytosiz > s.yosiz)
    return std::unexpected(malformed(at, "SIZ tile origin past the canvas origin"));
  return s;
}

// ---- COD -------------------------------------------------------------------

std::vector<std::uint8_t> Cod::to_bytes() const {
  const bool with_precincts = (scod & kScodPrecincts) != 0;
  std::vector<std::uint8_t> out;
  out.reserve(10 + (with_precincts ? precincts.size() : 0));
  ByteWriter w(out);
  w.u8(scod);
  w.u8(progression);
  w.u16(layers);
  w.u8(mct);
  w.u8(levels);
  w.u8(xcb);
  w.u8(ycb);
  w.u8(cblk_style);
  w.u8(transform);
  if (with_precincts)
    for (const PrecinctSize& p : precincts)
      w.u8(static_cast<std::uint8_t>(((p.ppy & 0x0Fu) << 4) | (p.ppx & 0x0Fu)));
  return out;
}

Result<Cod> Cod::parse(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.size() < 10) return std::unexpected(malformed(at, "COD too short"));
  ByteReader r(payload);
  Cod c;
  c.scod = *r.u8();
  c.progression = *r.u8();
  c.layers = *r.u16();
  c.mct = *r.u8();
  c.levels = *r.u8();
  c.xcb = *r.u8();
  c.ycb = *r.u8();
  c.cblk_style = *r.u8();
  c.transform = *r.u8();
  if (c.levels > 32) return std::unexpected(malformed(at, "COD with more than 32 decomposition levels"));
  // Code-block sides 4..=1024 and area at most 4096 (T.800 A.6.1).
  if (c.xcb > 8 || c.ycb > 8 || c.xcb + c.ycb > 8)
    return std::unexpected(malformed(at, "COD code-block exponents out of range"));
  if (c.scod & kScodPrecincts) {
    const std::size_t count = std::size_t{c.levels} + 1;
    if (r.remaining() < count) return std::unexpected(malformed(at, "COD precinct list truncated"));
    c.precincts.reserve(count);
    for (std::size_t res = 0; res < count; ++res) {
      const std::uint8_t b = *r.u8();
      const PrecinctSize p{static_cast<std::uint8_t>(b & 0x0F), static_cast<std::uint8_t>(b >> 4)};
      // Only the lowest resolution may use 1 x 1 precincts (T.800 A.6.1).
      if (res > 0 && (p.ppx == 0 || p.ppy == 0))
        return std::unexpected(malformed(at, "COD precinct exponent 0 above resolution 0"));
      c.precincts.push_back(p);
    }
  }
  return c;
}

// ---- CAP -------------------------------------------------------------------

Cap Cap::from_magb(std::uint32_t b) {
  // T.814 A.3: MAGB codes B as P + 8 up to 27 and as an upper bound
  // 4 (P - 19) + 27 beyond; the five-bit field saturates at 31.
  std::uint32_t p = 0;
  if (b >= 28)
    p = b / 4 + 13;
  else if (b >= 9)
    p = b - 8;
  if (p > 31) p = 31;
  return Cap{static_cast<std::uint16_t>(p)};
}

std::vector<std::uint8_t> Cap::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(6);
  ByteWriter w(out);
  w.u32(kPcapHt);
  w.u16(ccap15);
  return out;
}

Result<Cap> Cap::parse(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.size() < 6) return std::unexpected(malformed(at, "CAP too short"));
  ByteReader r(payload);
  const std::uint32_t pcap = *r.u32();
  if ((pcap & kPcapHt) == 0) return std::unexpected(malformed(at, "CAP without the Part-15 (Pcap^15) bit"));
  return Cap{*r.u16()};
}

// ---- SOT -------------------------------------------------------------------

std::vector<std::uint8_t> Sot::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(8);
  ByteWriter w(out);
  w.u16(isot);
  w.u32(psot);
  w.u8(tpsot);
  w.u8(tnsot);
  return out;
}

Result<Sot> Sot::parse(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.size() < 8) return std::unexpected(malformed(at, "SOT too short"));
  ByteReader r(payload);
  Sot s;
  s.isot = *r.u16();
  s.psot = *r.u32();
  s.tpsot = *r.u8();
  s.tnsot = *r.u8();
  return s;
}

// ---- COM -------------------------------------------------------------------

std::vector<std::uint8_t> com_payload(std::string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(2 + text.size());
  ByteWriter w(out);
  w.u16(1);  // Rcom: Latin text (ISO/IEC 8859-15)
  for (char ch : text) w.u8(static_cast<std::uint8_t>(ch));
  return out;
}

}  // namespace varnel::codestream
