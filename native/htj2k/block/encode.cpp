// varnel htj2k: the HT cleanup-pass encoder (T.814 clause 7).
//
// One pass over the block, one quad row at a time. For each quad row the two
// sample rows are first turned into per-sample exponents E and MagSgn values
// v in two small arrays (padded with an insignificant column on the right and
// an insignificant row below when the block ends there); the quad loop then
// reads four samples per quad from those arrays with no edge tests. Each quad
// costs one CxtVLC lookup, one MEL event when its context is 0, and up to
// four MagSgn writes; each quad pair one U-VLC write.
#include "htj2k/block/encode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "htj2k/block/enc_tables.hpp"
#include "htj2k/block/mel.hpp"
#include "htj2k/block/streams.hpp"

namespace varnel::htj2k {
namespace {

// Scup is a 12-bit field and counts at least the two bytes that hold it; a
// segment suffix longer than 4079 bytes is not allowed (T.814 clause 7.1).
constexpr std::size_t SCUP_MAX = 4079;

// Slack behind every stream buffer, so no writer ever needs a capacity check.
constexpr std::size_t SLACK = 16;

void grow(std::vector<std::uint8_t>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
}

// Per-sample quantities of one sample row: v = 2 (mu - 1) + sign for a
// significant sample, else 0; E = bit length of 2 mu - 1 (0 for mu = 0),
// which is the bit length of x = v | 1 for a significant sample (x = 0
// otherwise). The bit length comes from the exponent of x as a float, so the
// loop vectorises; x & ~(x >> 1) has the same top bit as x and never has 24
// ones in a row, so its conversion cannot round up to the next power of 2.
void load_row(const std::uint32_t* src, std::size_t width, unsigned p, std::uint32_t* e,
              std::uint32_t* v) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t w = src[x];
    const std::uint32_t mu = (w & 0x7FFFFFFFu) >> p;
    const std::uint32_t sig = mu != 0;
    const std::uint32_t val = (2 * mu - 2 + (w >> 31)) & (0u - sig);
    const std::uint32_t t = val | sig;
    const float f = static_cast<float>(static_cast<std::int32_t>(t & ~(t >> 1)));
    const std::int32_t exp = std::bit_cast<std::int32_t>(f) >> 23;  // 127 + bit length - 1
    v[x] = val;
    e[x] = static_cast<std::uint32_t>(exp - 126) & (0u - sig);
  }
}

// Exponents of the quad whose top-left column is x, in T.814 order:
// 0 = (x, top), 1 = (x, bottom), 2 = (x + 1, top), 3 = (x + 1, bottom).
struct Quad {
  unsigned e[4];
  unsigned rho;
  unsigned e_max;

  static Quad load(const std::uint32_t* et, const std::uint32_t* eb, std::size_t x) {
    Quad q;
    q.e[0] = et[x];
    q.e[1] = eb[x];
    q.e[2] = et[x + 1];
    q.e[3] = eb[x + 1];
    // Written without conditionals: the compiler would otherwise branch on
    // data that is close to random.
    q.rho = nonzero(q.e[0]) | nonzero(q.e[1]) << 1 | nonzero(q.e[2]) << 2 |
            nonzero(q.e[3]) << 3;
    q.e_max = std::max(std::max(q.e[0], q.e[1]), std::max(q.e[2], q.e[3]));
    return q;
  }

  // 1 when a != 0, for a < 2^31.
  static unsigned nonzero(unsigned a) { return (0u - a) >> 31; }
  // 1 when a == b, for a, b < 2^31.
  static unsigned equal(unsigned a, unsigned b) { return ((a ^ b) - 1) >> 31; }

  // Samples whose exponent reaches U_q = e_max, when u_q > 0; else 0.
  unsigned emb(unsigned u) const {
    const unsigned all = equal(e[0], e_max) | equal(e[1], e_max) << 1 |
                         equal(e[2], e_max) << 2 | equal(e[3], e_max) << 3;
    return all & (0u - nonzero(u));
  }
};

using detail::QuadCode;

inline QuadCode make_code(const EncVlcTable& table, const Quad& q, unsigned c, unsigned big_u,
                          unsigned u) {
  return {table[(c << 8) | (q.rho << 4) | q.emb(u)], static_cast<std::uint8_t>(c),
          static_cast<std::uint8_t>(q.rho), static_cast<std::uint8_t>(big_u),
          static_cast<std::uint8_t>(u)};
}

// Line buffers of the quad row being planned: entry k holds the larger
// exponent and the OR of the significance of the bottom samples in columns
// 2k - 1 and 2k. Quad j completes entry j with its sample 1 and starts entry
// j + 1 with its sample 3; the started entry is kept in registers until the
// next quad completes it.
struct LineWriter {
  std::uint8_t* le;
  std::uint8_t* lc;
  unsigned e_carry = 0;
  unsigned s_carry = 0;

  void add(std::size_t j, const Quad& q) {
    le[j] = static_cast<std::uint8_t>(std::max(e_carry, q.e[1]));
    lc[j] = static_cast<std::uint8_t>(s_carry | Quad::nonzero(q.e[1]));
    e_carry = q.e[3];
    s_carry = Quad::nonzero(q.e[3]);
  }
  void finish(std::size_t quads) {
    le[quads] = static_cast<std::uint8_t>(e_carry);
    lc[quads] = static_cast<std::uint8_t>(s_carry);
  }
};

// First step of a quad row: the coding quantities of every quad. In the
// initial quad row kappa = 1 and the context comes from the quad to the left
// (T.814 clause 7.3.5).
void plan_initial_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
                      std::uint8_t* le, std::uint8_t* lc, QuadCode* qc) {
  LineWriter lines{le, lc};
  unsigned c = 0;
  for (std::size_t j = 0; j < quads; ++j) {
    const Quad q = Quad::load(et, eb, 2 * j);
    const unsigned big_u = std::max(q.e_max, 1u);
    qc[j] = make_code(ENC_VLC_TBL0, q, c, big_u, big_u - 1);
    lines.add(j, q);
    c = (q.rho & 1) | (q.rho >> 1);
  }
  lines.finish(quads);
}

// In the other quad rows the context combines the row above (line buffers)
// with the quad to the left, and kappa comes from the exponents of the row
// above when the quad has two or more significant samples (T.814 clauses
// 7.3.5 and 7.3.7).
void plan_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
              const std::uint8_t* le_prev, const std::uint8_t* lc_prev, std::uint8_t* le,
              std::uint8_t* lc, QuadCode* qc) {
  LineWriter lines{le, lc};
  unsigned left_sig = 0;
  for (std::size_t j = 0; j < quads; ++j) {
    const Quad q = Quad::load(et, eb, 2 * j);
    const unsigned c = lc_prev[j] | left_sig << 1 | unsigned{lc_prev[j + 1]} << 2;
    const int e_nbr = int(std::max(le_prev[j], le_prev[j + 1])) - 1;
    const unsigned two_or_more = Quad::nonzero(q.rho & (q.rho - 1));
    const unsigned kappa = 1 + ((unsigned(std::max(e_nbr, 1)) - 1) & (0u - two_or_more));
    const unsigned big_u = std::max(q.e_max, kappa);
    qc[j] = make_code(ENC_VLC_TBL1, q, c, big_u, big_u - kappa);
    lines.add(j, q);
    left_sig = Quad::nonzero(q.e[2] | q.e[3]);
  }
  lines.finish(quads);
}

// U-VLC bits of a quad pair, prefixes first, then suffixes (T.814 clause
// 7.3.6); returns the bits (least significant first) and sets their count.
inline std::uint32_t uvlc_pair(unsigned u0, unsigned u1, unsigned& len) {
  const UvlcCode& a = ENC_UVLC[u0];
  const UvlcCode& b = ENC_UVLC[u1];
  unsigned at = a.prefix_len;
  std::uint32_t bits = a.prefix;
  bits |= std::uint32_t{b.prefix} << at;
  at += b.prefix_len;
  bits |= std::uint32_t{a.suffix} << at;
  at += a.suffix_len;
  bits |= std::uint32_t{b.suffix} << at;
  len = at + b.suffix_len;
  return bits;
}

// In the initial quad row a pair whose both quads carry a U-VLC value has a
// MEL event telling whether both exceed 2; if so both are sent less 2, and
// if only the first does, the second (1 or 2) is one bit after the first
// prefix.
inline std::uint32_t uvlc_initial_pair(unsigned u0, unsigned u1, unsigned& len) {
  if (u0 > 2 && u1 > 2) return uvlc_pair(u0 - 2, u1 - 2, len);
  if (u0 > 2 && u1 > 0) {
    const UvlcCode& a = ENC_UVLC[u0];
    len = a.prefix_len + 1u + a.suffix_len;
    return a.prefix | (u1 - 1) << a.prefix_len | std::uint32_t{a.suffix} << (a.prefix_len + 1);
  }
  return uvlc_pair(u0, u1, len);
}

// Second step: codewords, MEL events and U-VLC bits of the row's quad pairs.
// The codewords of a pair and its U-VLC bits (at most 30 bits) go to the VLC
// stream in one write.
template <bool Initial>
void emit_vlc_mel(std::size_t quads, const QuadCode* qc, VlcEncoder& vlc, MelEncoder& mel) {
  for (std::size_t j = 0; j < quads; j += 2) {
    const QuadCode& a = qc[j];
    std::uint32_t bits = a.entry >> 8;
    unsigned len = (a.entry >> 4) & 7;
    if (a.c == 0) mel.encode(a.rho != 0);
    unsigned u1 = 0;
    if (j + 1 < quads) {
      const QuadCode& b = qc[j + 1];
      bits |= std::uint32_t(b.entry >> 8) << len;
      len += (b.entry >> 4) & 7;
      if (b.c == 0) mel.encode(b.rho != 0);
      u1 = b.u;
    }
    unsigned ulen = 0;
    std::uint32_t ubits = 0;
    if constexpr (Initial) {
      if (a.u > 0 && u1 > 0) mel.encode(std::min<unsigned>(a.u, u1) > 2);
      ubits = uvlc_initial_pair(a.u, u1, ulen);
    } else {
      ubits = uvlc_pair(a.u, u1, ulen);
    }
    vlc.put(bits | ubits << len, len + ulen);
  }
}

// Third step: the MagSgn bits of the row's quads. A significant sample sends
// the U_q low bits of v, one fewer when the codeword implies its top bit
// (its bit in e_k); insignificant samples send nothing.
void emit_magsgn(std::size_t quads, const QuadCode* qc, const std::uint32_t* vt,
                 const std::uint32_t* vb, MagSgnWriter& ms) {
  for (std::size_t j = 0; j < quads; ++j) {
    const QuadCode& q = qc[j];
    const unsigned e_k = q.entry & 0xF;
    const std::uint32_t v[4] = {vt[2 * j], vb[2 * j], vt[2 * j + 1], vb[2 * j + 1]};
    unsigned m[4];
    std::uint64_t bits[4];
    for (unsigned n = 0; n < 4; ++n) {
      m[n] = (q.big_u - ((e_k >> n) & 1)) & (0u - ((q.rho >> n) & 1u));
      bits[n] = v[n] & ((std::uint64_t{1} << m[n]) - 1);
    }
    if (q.big_u <= 14) {  // four samples fit in one flush
      for (unsigned n = 0; n < 4; ++n) ms.add(bits[n], m[n]);
      ms.flush();
    } else {
      for (unsigned n = 0; n < 4; ++n) ms.put(bits[n], m[n]);
    }
  }
}

Error invalid(const char* message) { return Error::invalid(message); }

}  // namespace

Result<std::size_t> BlockEncoder::encode(std::span<const std::uint32_t> samples,
                                         std::size_t width, std::size_t height,
                                         std::size_t stride, std::uint32_t missing_msbs,
                                         std::vector<std::uint8_t>& out) {
  if (width < 1 || width > MAX_BLOCK_SIDE || height < 1 || height > MAX_BLOCK_SIDE ||
      width * height > MAX_BLOCK_AREA)
    return std::unexpected(invalid("code-block dimensions must be 1..=1024 with area <= 4096"));
  std::size_t window = 0;
  if (stride < width || __builtin_mul_overflow(stride, height - 1, &window) ||
      __builtin_add_overflow(window, width, &window) || samples.size() < window)
    return std::unexpected(invalid("sample buffer too small for code-block geometry"));
  if (missing_msbs >= 30)
    return std::unexpected(invalid("missing_msbs must be < 30 for the 32-bit datapath"));

  const unsigned p = 30 - missing_msbs;
  const std::size_t qw = (width + 1) / 2;
  const std::size_t qh = (height + 1) / 2;
  const std::size_t quads = qw * qh;

  // Worst cases: a sample sends at most 31 MagSgn bits; a quad at most 7
  // codeword and 8 U-VLC bits and 2 MEL events of at most 6 bits; stuffing
  // leaves 7 useful bits in a byte at worst.
  grow(magsgn_, width * height * 31 / 7 + SLACK);
  grow(mel_, quads * 12 / 7 + SLACK);
  grow(vlc_, quads * 15 / 7 + SLACK);
  const std::size_t padded = 2 * qw + 2;
  if (rows_.size() < 4 * padded) rows_.resize(4 * padded);
  const std::size_t line = qw + 4;
  grow(lines_, 4 * line);

  std::uint32_t* et = rows_.data();
  std::uint32_t* eb = et + padded;
  std::uint32_t* vt = eb + padded;
  std::uint32_t* vb = vt + padded;
  std::uint8_t* le_prev = lines_.data();
  std::uint8_t* lc_prev = le_prev + line;
  std::uint8_t* le = lc_prev + line;
  std::uint8_t* lc = le + line;
  std::memset(lines_.data(), 0, 4 * line);
  // Columns past an odd width stay insignificant.
  std::memset(et + width, 0, (padded - width) * sizeof(std::uint32_t));
  std::memset(eb + width, 0, (padded - width) * sizeof(std::uint32_t));
  std::memset(vt + width, 0, (padded - width) * sizeof(std::uint32_t));
  std::memset(vb + width, 0, (padded - width) * sizeof(std::uint32_t));

  if (codes_.size() < qw) codes_.resize(qw);
  QuadCode* qc = codes_.data();
  MagSgnWriter magsgn(magsgn_.data());
  MelEncoder mel(mel_.data());
  VlcEncoder vlc(vlc_.data());
  const std::uint32_t* src = samples.data();
  for (std::size_t r = 0; r < qh; ++r) {
    const std::size_t y = 2 * r;
    load_row(src + y * stride, width, p, et, vt);
    if (y + 1 < height) {
      load_row(src + (y + 1) * stride, width, p, eb, vb);
    } else {
      std::memset(eb, 0, width * sizeof(std::uint32_t));
      std::memset(vb, 0, width * sizeof(std::uint32_t));
    }
    if (r == 0) {
      plan_initial_row(qw, et, eb, le, lc, qc);
      emit_vlc_mel<true>(qw, qc, vlc, mel);
    } else {
      plan_row(qw, et, eb, le_prev, lc_prev, le, lc, qc);
      emit_vlc_mel<false>(qw, qc, vlc, mel);
    }
    emit_magsgn(qw, qc, vt, vb, magsgn);
    std::swap(le, le_prev);
    std::swap(lc, lc_prev);
  }

  // Termination: the last MEL byte and the last VLC byte meet in the middle
  // of the segment suffix and share one byte when their bits do not clash
  // (T.814 clause 7.3.8).
  vlc.settle();
  const MelEncoder::Tail mel_tail = mel.finish();
  const auto vlc_mask = static_cast<std::uint8_t>((1u << vlc.open_bits()) - 1);
  const auto vlc_byte = static_cast<std::uint8_t>(vlc.open_byte() & vlc_mask);
  if (mel_tail.mask != 0 || vlc_mask != 0) {
    const auto fused = static_cast<std::uint8_t>(mel_tail.byte | vlc_byte);
    if (((fused ^ mel_tail.byte) & mel_tail.mask) == 0 && ((fused ^ vlc_byte) & vlc_mask) == 0 &&
        fused != 0xFF && vlc.size() >= 2) {
      mel.append(fused);
    } else {
      mel.append(mel_tail.byte);
      vlc.append(vlc_byte);
    }
  }
  const std::size_t magsgn_len = magsgn.finish();
  const std::size_t mel_len = mel.size();
  const std::size_t vlc_len = vlc.size();
  const std::size_t scup = mel_len + vlc_len;
  if (scup < 2 || scup > SCUP_MAX)
    return std::unexpected(invalid("cleanup segment suffix out of range (Scup)"));

  const std::size_t lcup = magsgn_len + scup;
  const std::size_t start = out.size();
  out.reserve(start + lcup);
  out.insert(out.end(), magsgn_.data(), magsgn_.data() + magsgn_len);
  out.insert(out.end(), mel_.data(), mel_.data() + mel_len);
  out.insert(out.end(), std::make_reverse_iterator(vlc_.data() + vlc_len),
             std::make_reverse_iterator(vlc_.data()));
  out[start + lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
  out[start + lcup - 2] = static_cast<std::uint8_t>((out[start + lcup - 2] & 0xF0) | (scup & 0x0F));
  return lcup;
}

Result<std::vector<std::uint8_t>> encode_block(std::span<const std::uint32_t> samples,
                                               std::size_t width, std::size_t height,
                                               std::size_t stride, std::uint32_t missing_msbs) {
  BlockEncoder encoder;
  std::vector<std::uint8_t> out;
  auto n = encoder.encode(samples, width, height, stride, missing_msbs, out);
  if (!n) return std::unexpected(std::move(n.error()));
  return out;
}

}  // namespace varnel::htj2k
