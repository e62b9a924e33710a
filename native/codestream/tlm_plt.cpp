// The index segments: TLM (tile-part lengths, T.800 A.7.1) and PLT (packet
// lengths of a tile-part, T.800 A.7.3).
#include <string>

#include "codestream/markers.hpp"
#include "core/bytes.hpp"

namespace varnel::codestream {
namespace {


}  // namespace

// ---- TLM -------------------------------------------------------------------

std::vector<std::uint8_t> tlm_payload(std::span<const std::uint32_t> lengths) {
  std::vector<std::uint8_t> out;
  out.reserve(2 + 4 * lengths.size());
  ByteWriter w(out);
  w.u8(0);     // Ztlm
  w.u8(0x40);  // Stlm: ST = 0 (no Ttlm), SP = 1 (32-bit Ptlm)
  for (std::uint32_t len : lengths) w.u32(len);
  return out;
}

Result<std::vector<TlmEntry>> parse_tlm(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.size() < 2) return std::unexpected(malformed(at, "TLM too short"));
  const std::uint8_t stlm = payload[1];
  const unsigned st = (stlm >> 4) & 3;
  if (st == 3) return std::unexpected(malformed(at, "invalid TLM ST field"));
  const unsigned sp = (stlm >> 6) & 1;
  const std::size_t entry = st + 2 + 2 * sp;
  const std::size_t body = payload.size() - 2;
  if (body % entry != 0) return std::unexpected(malformed(at, "TLM entries truncated"));

  std::vector<TlmEntry> entries;
  entries.reserve(body / entry);
  ByteReader r(payload.subspan(2));
  while (r.remaining() != 0) {
    TlmEntry e;
    if (st == 1) e.tile = *r.u8();
    if (st == 2) e.tile = *r.u16();
    e.length = sp ? *r.u32() : *r.u16();
    entries.push_back(e);
  }
  return entries;
}

// ---- PLT -------------------------------------------------------------------

std::size_t plt_coded_size(std::uint32_t length) {
  if (length < (1u << 7)) return 1;
  if (length < (1u << 14)) return 2;
  if (length < (1u << 21)) return 3;
  if (length < (1u << 28)) return 4;
  return 5;
}

std::vector<std::uint8_t> plt_payload(std::uint8_t zplt, std::span<const std::uint32_t> lengths) {
  std::size_t size = 1;
  for (std::uint32_t len : lengths) size += plt_coded_size(len);
  std::vector<std::uint8_t> out(size);
  std::uint8_t* p = out.data();
  *p++ = zplt;
  for (std::uint32_t len : lengths) {
    // Seven-bit groups, most significant first; bit 7 marks "more follows".
    const std::size_t n = plt_coded_size(len);
    for (std::size_t i = n; i-- > 1;) *p++ = static_cast<std::uint8_t>(0x80 | ((len >> (7 * i)) & 0x7F));
    *p++ = static_cast<std::uint8_t>(len & 0x7F);
  }
  return out;
}

Result<std::vector<std::uint32_t>> parse_plt(std::span<const std::uint8_t> payload,
                                             std::uint64_t at) {
  if (payload.empty()) return std::unexpected(malformed(at, "PLT too short"));
  std::vector<std::uint32_t> lengths;
  // At most one length per byte after Zplt.
  lengths.reserve(payload.size() - 1);
  std::uint32_t value = 0;
  bool open = false;  // inside a varint whose last byte is still to come
  for (std::size_t i = 1; i < payload.size(); ++i) {
    const std::uint8_t b = payload[i];
    // Leading zero groups are harmless; a value past 32 bits is refused
    // rather than wrapped, since it would misplace every later packet.
    if (value > (0xFFFFFFFFu >> 7)) return std::unexpected(malformed(at, "PLT packet length exceeds 32 bits"));
    value = (value << 7) | (b & 0x7Fu);
    open = (b & 0x80) != 0;
    if (!open) {
      lengths.push_back(value);
      value = 0;
    }
  }
  if (open) return std::unexpected(malformed(at, "PLT ends mid-varint"));
  return lengths;
}

}  // namespace varnel::codestream
