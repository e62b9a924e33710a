// Codestream walk: main header, tile-parts, the supported-subset check, the
// precinct grid, the packet sequence and the packet index (T.800 Annex A and
// B.12, T.814 for the HT capabilities).
#include "codestream/reader.hpp"

#include <algorithm>
#include <string>

#include "codestream/geometry.hpp"
#include "codestream/packet_order.hpp"
#include "core/bytes.hpp"

namespace varnel::codestream {
namespace {


std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

// The COM text as UTF-8, each invalid sequence replaced by U+FFFD.
std::string utf8_text(std::span<const std::uint8_t> b) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(b.size());
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t c = b[i];
    std::size_t n = 0;
    std::uint32_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80) { out.push_back(static_cast<char>(c)); ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) n = 1;
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
    if (n == 0) { out += kReplacement; ++i; continue; }
    // A maximal valid prefix of a sequence counts as one replacement.
    std::size_t k = 1;
    bool good = true;
    for (; k <= n; ++k) {
      if (i + k >= b.size()) { good = false; break; }
      const std::uint8_t t = b[i + k];
      const std::uint32_t l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
      if (t < l || t > h) { good = false; break; }
    }
    if (good) {
      out.append(reinterpret_cast<const char*>(b.data() + i), n + 1);
      i += n + 1;
    } else {
      out += kReplacement;
      i += k;
    }
  }
  return out;
}

std::uint64_t ceil_shift(std::uint64_t n, unsigned s) {
  if (s >= 64) return n == 0 ? 0 : 1;
  return (n >> s) + ((n & ((std::uint64_t{1} << s) - 1)) != 0 ? 1 : 0);
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Which of the required main-header segments have been read.
struct MainSegments {
  bool siz = false, cod = false, qcd = false;
};

// One marker segment of the main header (`code` at byte `at`) into `cs`.
Result<void> read_main_segment(std::uint16_t code, std::span<const std::uint8_t> payload,
                               std::size_t at, Codestream& cs, MainSegments& seen) {
  switch (code) {
    case marker::CAP: {
      if (payload.size() <= 5) return std::unexpected(malformed(at, "CAP too short"));
      const std::uint32_t pcap = (std::uint32_t{payload[0]} << 24) | (payload[1] << 16) |
                                 (payload[2] << 8) | payload[3];
      if ((pcap & kPcapHt) == 0)
        return std::unexpected(malformed(at, "CAP without the Part-15 (Pcap^15) bit"));
      cs.cap_present = true;
      cs.ccap15 = be16(payload, 4);
      break;
    }
    case marker::SIZ: {
      VARNEL_ASSIGN_OR_RETURN(auto s, Siz::parse(payload, at));
      cs.siz = std::move(s);
      seen.siz = true;
      break;
    }
    case marker::COD: {
      VARNEL_ASSIGN_OR_RETURN(auto c, Cod::parse(payload, at));
      cs.cod = std::move(c);
      seen.cod = true;
      break;
    }
    case marker::QCD: {
      VARNEL_ASSIGN_OR_RETURN(auto q, Quant::parse(payload, at));
      cs.qcd = std::move(q);
      seen.qcd = true;
      break;
    }
    case marker::COC:
    case marker::QCC:
      return std::unexpected(unsupported("per-component COC/QCC overrides"));
    case marker::TLM: {
      VARNEL_ASSIGN_OR_RETURN(auto t, parse_tlm(payload, at));
      for (const TlmEntry& e : t) cs.tlm.push_back(e.length);
      break;
    }
    case marker::COM:
      cs.comment = payload.size() < 2 ? std::string() : utf8_text(payload.subspan(2));
      break;
    case marker::POC: cs.has_poc = true; break;
    case marker::PPM: cs.has_packed_headers = true; break;
    case marker::RGN: cs.has_rgn = true; break;
    default: break;  // PLM, CRG and unknown segments carry nothing we need
  }
  return ok();
}

// The main header: SOC, then marker segments up to the first SOT, whose
// offset it returns (also as `cs.main_header_end`).
Result<std::size_t> parse_main_header(std::span<const std::uint8_t> bytes, Codestream& cs) {
  const std::size_t n = bytes.size();
  if (n < 2) return std::unexpected(malformed(0, "unexpected end of codestream"));
  if (be16(bytes, 0) != marker::SOC) return std::unexpected(malformed(0, "missing SOC"));
  // The main-header walk reads a marker and a length at every position.
  if (n < 6) return std::unexpected(malformed(2, "unexpected end of codestream"));
  MainSegments seen;
  std::size_t pos = 2;
  for (;;) {
    const std::uint16_t code = be16(bytes, pos);
    if (code == marker::SOT) break;
    if (code < 0xFF00) return std::unexpected(malformed(pos, "expected a marker in the main header"));
    const std::size_t len = be16(bytes, pos + 2);
    if (len < 2 || pos + 2 + len > n)
      return std::unexpected(malformed(pos, "marker segment length out of bounds"));
    VARNEL_TRY(read_main_segment(code, bytes.subspan(pos + 4, len - 2), pos, cs, seen));
    pos += 2 + len;
    if (n - pos < 4) return std::unexpected(malformed(pos, "unexpected end of codestream"));
  }
  if (!seen.siz) return std::unexpected(malformed(pos, "missing SIZ"));
  if (!seen.cod) return std::unexpected(malformed(pos, "missing COD"));
  if (!seen.qcd) return std::unexpected(malformed(pos, "missing QCD"));
  cs.main_header_end = pos;
  return pos;
}

// A tile-part's marker segments from byte `h` (just past its SOT segment)
// up to SOD; sets `tp.body_start` just past the SOD.
Result<void> parse_tile_part_header(std::span<const std::uint8_t> bytes, std::size_t h,
                                    Codestream& cs, TilePart& tp) {
  const std::size_t n = bytes.size();
  for (;;) {
    if (n - h < 2) return std::unexpected(malformed(h, "unexpected end of codestream"));
    const std::uint16_t c = be16(bytes, h);
    if (c == marker::SOD) {
      tp.body_start = h + 2;
      return ok();
    }
    if (n - h < 4) return std::unexpected(malformed(h + 2, "unexpected end of codestream"));
    const std::size_t len = be16(bytes, h + 2);
    if (len < 2 || h + 2 + len > n)
      return std::unexpected(malformed(h, "tile-part marker length out of bounds"));
    const auto payload = bytes.subspan(h + 4, len - 2);
    switch (c) {
      case marker::PLT: {
        VARNEL_ASSIGN_OR_RETURN(auto lengths, parse_plt(payload, h));
        tp.plt.insert(tp.plt.end(), lengths.begin(), lengths.end());
        break;
      }
      case marker::COD:
      case marker::COC:
      case marker::QCD:
      case marker::QCC:
        return std::unexpected(unsupported("tile-part coding-style overrides"));
      case marker::POC: cs.has_poc = true; break;
      case marker::PPT: cs.has_packed_headers = true; break;
      case marker::RGN: cs.has_rgn = true; break;
      default: break;
    }
    h += 2 + len;
  }
}

// The tile-part whose SOT is at byte `t`: its SOT, segments, SOD and body.
// `cut`: the body may end with the input.
Result<TilePart> parse_tile_part(std::span<const std::uint8_t> bytes, std::size_t t, bool cut,
                                 Codestream& cs) {
  const std::size_t n = bytes.size();
  if (n - t < 4) return std::unexpected(malformed(t + 2, "unexpected end of codestream"));
  if (be16(bytes, t + 2) != 10) return std::unexpected(malformed(t, "SOT with unexpected length"));
  if (n - t < 12) return std::unexpected(malformed(t, "truncated SOT segment"));
  VARNEL_ASSIGN_OR_RETURN(auto sot, Sot::parse(bytes.subspan(t + 4, 8), t));
  TilePart tp;
  tp.sot = sot;
  tp.sot_offset = t;
  VARNEL_TRY(parse_tile_part_header(bytes, t + 12, cs, tp));
  // Psot 0: the tile-part runs up to a final EOC (cut: up to the end).
  std::uint64_t body_end = tp.sot.psot != 0 ? std::uint64_t{t} + tp.sot.psot
                           : cut            ? n
                                            : (n >= 2 ? n - 2 : 0);
  if (cut) body_end = std::min<std::uint64_t>(body_end, n);
  if (body_end < tp.body_start || body_end > n) return std::unexpected(malformed(t, "Psot out of bounds"));
  tp.body_end = static_cast<std::size_t>(body_end);
  return tp;
}

// The walk of parse (`cut` false: a whole codestream ending with EOC) and
// parse_prefix (`cut` true: it may end after any byte of a body): the main
// header, then tile-parts, each SOT [segments] SOD body, until EOC (or,
// cut, the end).
Result<Codestream> parse_codestream(std::span<const std::uint8_t> bytes, bool cut) {
  const std::size_t n = bytes.size();
  Codestream cs;
  cs.data = bytes;
  VARNEL_ASSIGN_OR_RETURN(std::size_t t, parse_main_header(bytes, cs));
  for (;;) {
    if (cut && t == n) {
      cs.end = n;
      break;
    }
    if (n - t < 2) return std::unexpected(malformed(t, "unexpected end of codestream"));
    const std::uint16_t code = be16(bytes, t);
    if (code == marker::EOC) {
      cs.end = t + 2;
      break;
    }
    if (code != marker::SOT) return std::unexpected(malformed(t, "expected SOT or EOC"));
    VARNEL_ASSIGN_OR_RETURN(TilePart tp, parse_tile_part(bytes, t, cut, cs));
    t = tp.body_end;
    cs.tile_parts.push_back(std::move(tp));
  }
  return cs;
}

}  // namespace

Result<Codestream> Codestream::parse(std::span<const std::uint8_t> bytes) {
  return parse_codestream(bytes, false);
}

Result<Codestream> Codestream::parse_prefix(std::span<const std::uint8_t> bytes) {
  return parse_codestream(bytes, true);
}

Result<void> Codestream::check_supported() const {
  const Siz& s = siz;
  // ceil((size - tile origin) / tile size), 0 for an empty canvas.
  auto tiles = [](std::uint64_t size, std::uint64_t origin, std::uint64_t tile) -> std::uint64_t {
    if (size <= origin || tile == 0) return 0;
    return (size - origin + tile - 1) / tile;
  };
  if (tiles(s.xsiz, s.xtosiz, s.xtsiz) != 1 || tiles(s.ysiz, s.ytosiz, s.ytsiz) != 1 ||
      s.xosiz != 0 || s.yosiz != 0 || s.xtosiz != 0 || s.ytosiz != 0)
    return std::unexpected(unsupported("multi-tile or offset-canvas codestreams"));
  for (const SizComponent& c : s.components)
    if (c.dx != 1 || c.dy != 1) return std::unexpected(unsupported("component subsampling"));
  if ((cod.cblk_style & kCblkHt) == 0)
    return std::unexpected(unsupported("non-HT (legacy J2K-1) block coding"));
  // T.814: style bit 7 with bit 6 lets each code-block choose HT or legacy
  // coding; legacy blocks cannot be decoded here.
  if ((cod.cblk_style & 0x80) != 0)
    return std::unexpected(unsupported("mixed HT/legacy block coding"));
  if (cod.transform != 1 || qcd.style != kQuantNone)
    return std::unexpected(unsupported("irreversible (9/7) codestreams"));
  if (cod.layers != 1) return std::unexpected(unsupported("multiple quality layers"));
  if ((cod.progression == 3 || cod.progression == 4) && (cod.scod & kScodPrecincts) != 0)
    return std::unexpected(unsupported("PCRL/CPRL with explicit precinct sizes"));
  if (has_poc) return std::unexpected(unsupported("progression order changes (POC)"));
  if (has_packed_headers) return std::unexpected(unsupported("packed packet headers (PPM/PPT)"));
  if (has_rgn) return std::unexpected(unsupported("region of interest (RGN)"));
  return ok();
}

namespace {

// (PPx, PPy) of resolution r: its entry, the last entry, or 15/15.
std::pair<unsigned, unsigned> precinct_exponents(const Cod& cod, std::uint8_t r) {
  if (cod.precincts.empty()) return {15, 15};
  const PrecinctSize& p = r < cod.precincts.size() ? cod.precincts[r] : cod.precincts.back();
  return {std::min<unsigned>(p.ppx, 31), std::min<unsigned>(p.ppy, 31)};
}

}  // namespace

std::pair<std::uint64_t, std::uint64_t> Codestream::precinct_grid(std::uint8_t r) const {
  const unsigned down = cod.levels >= r ? cod.levels - r : 0;
  const std::uint64_t w = halved(siz.xsiz, down), h = halved(siz.ysiz, down);
  if (w == 0 || h == 0) return {0, 0};
  const auto [ppx, ppy] = precinct_exponents(cod, r);
  return {ceil_shift(w, ppx), ceil_shift(h, ppy)};
}

std::uint64_t Codestream::packet_count() const {
  std::uint64_t per_component = 0;
  for (unsigned r = 0; r <= cod.levels; ++r) {
    const auto [cols, rows] = precinct_grid(static_cast<std::uint8_t>(r));
    per_component = sat_add(per_component, sat_mul(cols, rows));
  }
  return sat_mul(per_component, siz.components.size());
}

std::vector<PacketId> Codestream::packet_sequence() const { return packet_sequence(cod.levels); }

std::vector<PacketId> Codestream::packet_sequence(std::uint8_t max_resolution) const {
  // Position-major orders are listed whole.
  const bool position_major = cod.progression == 3 || cod.progression == 4;
  PacketOrder order(*this, position_major ? cod.levels : max_resolution);
  std::vector<PacketId> seq;
  while (const auto id = order.next()) seq.push_back(*id);
  return seq;
}

Result<std::vector<PacketRef>> Codestream::packet_index() const {
  VARNEL_TRY(check_supported());
  for (const TilePart& tp : tile_parts)
    if (tp.plt.empty()) return std::unexpected(unsupported("codestream has no PLT index"));

  if (!tlm.empty()) {
    std::uint64_t expected = main_header_end;
    for (std::size_t i = 0; i < tlm.size(); ++i) {
      if (i == tile_parts.size())
        return std::unexpected(malformed(expected, "TLM lists more tile-parts than found"));
      if (expected != tile_parts[i].sot_offset)
        return std::unexpected(malformed(expected, "TLM offsets disagree with SOT positions"));
      expected += tlm[i];
    }
  }

  // Every packet takes one PLT length; a sequence longer than the lengths
  // cannot be covered, and is not built.
  std::uint64_t lengths = 0;
  for (const TilePart& tp : tile_parts) lengths += tp.plt.size();
  const std::uint64_t expected_packets = packet_count();

  std::vector<PacketId> seq;
  if (expected_packets <= lengths) seq = packet_sequence();
  std::vector<PacketRef> index;
  index.reserve(std::min<std::uint64_t>(lengths, expected_packets));
  for (const TilePart& tp : tile_parts) {
    std::uint64_t pos = tp.body_start;
    for (std::uint32_t len : tp.plt) {
      if (index.size() >= expected_packets)
        return std::unexpected(malformed(pos, "PLT lists more packets than expected"));
      // Without a sequence (it is longer than the lengths) the walk only
      // checks coverage; it ends in "fewer packets" below.
      const PacketId id = index.size() < seq.size() ? seq[index.size()] : PacketId{};
      index.push_back({id.component, id.resolution, id.precinct_x, id.precinct_y, pos, len});
      pos += len;
    }
    if (pos != tp.body_end)
      return std::unexpected(malformed(pos, "PLT lengths do not cover the tile-part body"));
  }
  if (index.size() < expected_packets)
    return std::unexpected(malformed(data.size(), "PLT covers fewer packets than expected"));
  return index;
}

}  // namespace varnel::codestream
