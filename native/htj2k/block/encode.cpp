// varnel htj2k: the HT cleanup-pass encoder (ITU-T T.814).
//
// One pass over the block, one quad row at a time, in four steps per row:
//   1. load_row: the two sample rows become per-sample exponents E and
//      MagSgn values v in small arrays, padded with insignificant columns on
//      both sides (and an insignificant row below an odd last row);
//   2. plan: the table key (context, rho, EMB), U_q and u_q of every quad,
//      all of which follow from the arrays (contexts and kappa read the
//      bottom row of the quad row above) without any coding state;
//   3. the VLC and MEL streams: one CxtVLC lookup per quad, one U-VLC
//      lookup per pair;
//   4. the MagSgn stream: per-sample bit counts and trimmed values for the
//      row, then packing.
// Steps 1, 2 and the first half of 4 are loops without conditionals that
// the compiler vectorises; only the bit writers run serially.
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
// segment suffix longer than 4079 bytes is not allowed (T.814, segment layout).
constexpr std::size_t SCUP_MAX = 4079;

// Slack behind every stream buffer, so no writer ever needs a capacity check.
constexpr std::size_t SLACK = 16;

// Zero columns in front of each row array, so that the columns left of the
// first quad (x - 2 and x - 1) read as insignificant.
constexpr std::size_t LEAD = 4;

void grow(std::vector<std::uint8_t>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
}

// Per-sample quantities of one sample row: v = 2 (mu - 1) + sign for a
// significant sample, else 0; E = bit length of 2 mu - 1 (0 for mu = 0),
// which is the bit length of x = v | 1 for a significant sample (x = 0
// otherwise). The bit length comes from the exponent of x as a float, so the
// loop vectorises; x & ~(x >> 1) has the same top bit as x and no two
// adjacent 1 bits, so its conversion cannot round up to the next power of 2.
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

// 1 when a != 0, for a < 2^31.
inline unsigned nonzero(unsigned a) { return (0u - a) >> 31; }
// 1 when a == b, for a, b < 2^31.
inline unsigned equal(unsigned a, unsigned b) { return ((a ^ b) - 1) >> 31; }

// Planning a quad row: the table key (c_q << 8 | rho << 4 | emb), U_q and
// u_q of every quad, in a loop without conditionals or loop-carried state
// so that it vectorises. The quad at column x = 2j has the samples
// 0 = (x, top), 1 = (x, bottom), 2 = (x + 1, top), 3 = (x + 1, bottom).
// The row arrays have zero columns at -2 and -1 and past the width.
struct QuadPlan {
  std::uint32_t* key;
  std::uint32_t* big_u;  // U_q | u_q << 8
};

// Exponents, significance, E_max and the samples that reach E_max.
struct Quad {
  unsigned rho, e_max, at_max;
  static Quad load(const std::uint32_t* et, const std::uint32_t* eb, std::ptrdiff_t x) {
    const unsigned e0 = et[x], e1 = eb[x], e2 = et[x + 1], e3 = eb[x + 1];
    Quad q;
    q.rho = nonzero(e0) | nonzero(e1) << 1 | nonzero(e2) << 2 | nonzero(e3) << 3;
    q.e_max = std::max(std::max(e0, e1), std::max(e2, e3));
    q.at_max = equal(e0, q.e_max) | equal(e1, q.e_max) << 1 | equal(e2, q.e_max) << 2 |
               equal(e3, q.e_max) << 3;
    return q;
  }
};

// Initial quad row (T.814): kappa = 1; the context comes from
// the quad to the left: (rho & 1) | (rho >> 1) of that quad.
void plan_initial_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
                      QuadPlan plan) {
  for (std::size_t j = 0; j < quads; ++j) {
    const auto x = static_cast<std::ptrdiff_t>(2 * j);  // signed: columns -2 and -1 are read
    const Quad q = Quad::load(et, eb, x);
    const unsigned c = nonzero(et[x - 2] | eb[x - 2]) | nonzero(et[x - 1]) << 1 |
                       nonzero(eb[x - 1]) << 2;
    const unsigned big_u = std::max(q.e_max, 1u);
    const unsigned u = big_u - 1;
    const unsigned emb = q.at_max & (0u - nonzero(u));
    plan.key[j] = c << 8 | q.rho << 4 | emb;
    plan.big_u[j] = big_u | u << 8;
  }
}

// Other quad rows (T.814): ep holds the exponents
// of the bottom sample row of the quad row above. The context combines the
// samples above (columns x - 1 .. x + 2) with the quad to the left; kappa is
// max(E of those samples above - 1, 1) when the quad has two or more
// significant samples, else 1.
void plan_row(std::size_t quads, const std::uint32_t* et, const std::uint32_t* eb,
              const std::uint32_t* ep, QuadPlan plan) {
  for (std::size_t j = 0; j < quads; ++j) {
    const auto x = static_cast<std::ptrdiff_t>(2 * j);
    const Quad q = Quad::load(et, eb, x);
    const unsigned n0 = std::max(ep[x - 1], ep[x]);
    const unsigned n1 = std::max(ep[x + 1], ep[x + 2]);
    const unsigned c = nonzero(n0) | nonzero(et[x - 1] | eb[x - 1]) << 1 | nonzero(n1) << 2;
    const unsigned two_or_more = nonzero(q.rho & (q.rho - 1));
    const unsigned kappa = 1 + ((std::max(std::max(n0, n1), 2u) - 2) & (0u - two_or_more));
    const unsigned big_u = std::max(q.e_max, kappa);
    const unsigned u = big_u - kappa;
    const unsigned emb = q.at_max & (0u - nonzero(u));
    plan.key[j] = c << 8 | q.rho << 4 | emb;
    plan.big_u[j] = big_u | u << 8;
  }
}

// U-VLC bits of a quad pair, prefixes first, then suffixes (T.814 U-VLC
// code); returns the bits (least significant first) and sets their count.
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

// Coding a planned row: codewords, MEL events and U-VLC bits of the row's quad pairs.
// The codewords of a pair and its U-VLC bits (at most 30 bits) go to the VLC
// stream in one write. Leaves in `big_u` what the MagSgn step needs of each
// quad: U_q | e_k << 8 | rho << 12.
template <bool Initial>
void emit_vlc_mel(std::size_t quads, const EncVlcTable& table, QuadPlan plan, VlcEncoder& vlc,
                  MelEncoder& mel) {
  for (std::size_t j = 0; j < quads; j += 2) {
    const unsigned k0 = plan.key[j];
    const unsigned e0 = table[k0];
    const unsigned u0 = plan.big_u[j] >> 8;
    plan.big_u[j] = (plan.big_u[j] & 0xFF) | (e0 & 0xF) << 8 | (k0 & 0xF0) << 8;
    std::uint32_t bits = e0 >> 8;
    unsigned len = (e0 >> 4) & 7;
    if ((k0 >> 8) == 0) mel.encode((k0 & 0xF0) != 0);
    unsigned u1 = 0;
    if (j + 1 < quads) {
      const unsigned k1 = plan.key[j + 1];
      const unsigned e1 = table[k1];
      u1 = plan.big_u[j + 1] >> 8;
      plan.big_u[j + 1] = (plan.big_u[j + 1] & 0xFF) | (e1 & 0xF) << 8 | (k1 & 0xF0) << 8;
      bits |= std::uint32_t(e1 >> 8) << len;
      len += (e1 >> 4) & 7;
      if ((k1 >> 8) == 0) mel.encode((k1 & 0xF0) != 0);
    }
    unsigned ulen = 0;
    std::uint32_t ubits = 0;
    if constexpr (Initial) {
      if (u0 > 0 && u1 > 0) mel.encode(std::min(u0, u1) > 2);
      ubits = uvlc_initial_pair(u0, u1, ulen);
    } else {
      const std::uint32_t pair = ENC_UVLC_PAIR[u0 * (UVLC_MAX + 1) + u1];
      ubits = pair & 0xFFFFFF;
      ulen = pair >> 24;
    }
    vlc.put(bits | ubits << len, len + ulen);
  }
}

// Last step: the MagSgn bits of the row's quads. A significant sample sends
// the U_q low bits of v, one fewer when the codeword implies its top bit
// (its bit in e_k); insignificant samples send nothing. The counts and the
// trimmed values are computed first for the whole row, without
// conditionals (2^(U-1) comes from a float's exponent, as SSE2 has no
// per-lane shifts), so that loop vectorises; the writer then only packs.
void emit_magsgn(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                 const std::uint32_t* vb, std::uint32_t* counts, std::uint32_t* values,
                 MagSgnWriter& ms) {
  for (std::size_t j = 0; j < quads; ++j) {
    const unsigned big_u = info[j] & 0xFF;
    const unsigned e_k = (info[j] >> 8) & 0xF;
    const unsigned rho = info[j] >> 12;
    const auto top = static_cast<std::uint32_t>(
        static_cast<std::int32_t>(std::bit_cast<float>((big_u + 126) << 23)));
    const std::uint32_t v[4] = {vt[2 * j], vb[2 * j], vt[2 * j + 1], vb[2 * j + 1]};
    for (unsigned n = 0; n < 4; ++n) {
      const unsigned implied = (e_k & (1u << n)) != 0;
      const unsigned significant = (rho & (1u << n)) != 0;
      counts[4 * j + n] = (big_u - implied) & (0u - significant);
      values[4 * j + n] = v[n] & ~(top & (0u - implied));
    }
  }
  for (std::size_t j = 0; j < quads; ++j) {
    const std::uint32_t* m = counts + 4 * j;
    const std::uint32_t* bits = values + 4 * j;
    if ((info[j] & 0xFF) <= 14) {  // four samples fit in one flush
      for (unsigned n = 0; n < 4; ++n) ms.add(bits[n], m[n]);
      ms.flush();
    } else {
      for (unsigned n = 0; n < 4; ++n) ms.put(bits[n], m[n]);
    }
  }
}


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
  // Five row arrays (E top, E bottom, E bottom of the row above, v top,
  // v bottom) with LEAD zero columns on the left and zeros past the width.
  const std::size_t row = LEAD + 2 * qw + 2;
  if (rows_.size() < 5 * row) rows_.resize(5 * row);
  std::memset(rows_.data(), 0, 5 * row * sizeof(std::uint32_t));
  std::uint32_t* et = rows_.data() + LEAD;
  std::uint32_t* eb = et + row;
  std::uint32_t* ep = eb + row;
  std::uint32_t* vt = ep + row;
  std::uint32_t* vb = vt + row;
  if (plan_.size() < 10 * qw) plan_.resize(10 * qw);
  const QuadPlan plan{plan_.data(), plan_.data() + qw};
  std::uint32_t* counts = plan_.data() + 2 * qw;
  std::uint32_t* values = counts + 4 * qw;

  MagSgnWriter magsgn(magsgn_.data());
  MelEncoder mel(mel_.data());
  VlcEncoder vlc(vlc_.data());
  const std::uint32_t* src = samples.data();
  for (std::size_t r = 0; r < qh; ++r) {
    const std::size_t y = 2 * r;
    std::swap(eb, ep);
    load_row(src + y * stride, width, p, et, vt);
    if (y + 1 < height) {
      load_row(src + (y + 1) * stride, width, p, eb, vb);
    } else {
      std::memset(eb, 0, width * sizeof(std::uint32_t));
      std::memset(vb, 0, width * sizeof(std::uint32_t));
    }
    if (r == 0) {
      plan_initial_row(qw, et, eb, plan);
      emit_vlc_mel<true>(qw, ENC_VLC_TBL0, plan, vlc, mel);
    } else {
      plan_row(qw, et, eb, ep, plan);
      emit_vlc_mel<false>(qw, ENC_VLC_TBL1, plan, vlc, mel);
    }
    emit_magsgn(qw, plan.big_u, vt, vb, counts, values, magsgn);
  }

  vlc.terminate_with_mel(mel);
  const std::size_t magsgn_len = magsgn.finish();
  const std::size_t mel_len = mel.size();
  const std::size_t vlc_len = vlc.size();
  const std::size_t scup = mel_len + vlc_len;
  if (scup < 2 || scup > SCUP_MAX)
    return std::unexpected(invalid("cleanup segment suffix out of range (Scup)"));

  const std::size_t lcup = magsgn_len + scup;
  const std::size_t start = out.size();
  // Grow geometrically: callers append block after block to one buffer, and
  // an exact reserve would copy all of it for every block.
  if (out.capacity() - start < lcup) out.reserve(std::max(2 * out.capacity(), start + lcup));
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
  VARNEL_TRY(encoder.encode(samples, width, height, stride, missing_msbs, out));
  return out;
}

}  // namespace varnel::htj2k
