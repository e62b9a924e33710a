// HT block decoder: the cleanup pass in two steps (VLC, MEL and U-VLC for
// every quad, then MagSgn), then the SigProp and MagRef refinement passes.
// Each step is its own function so that its state stays in registers.
#include "htj2k/block/decode.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <string_view>

#if defined(__SSE2__) || defined(__wasm_simd128__)
#include "core/simd128.hpp"
#endif

#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/kernels.hpp"
#include "htj2k/block/magsgn.hpp"
#include "htj2k/block/mel_decoder.hpp"
#include "htj2k/block/readers.hpp"

namespace varnel::htj2k {

namespace {

// Every table entry has its e_1 and e_k bits among its significant samples,
// so a value v taken with the e_1 bit of an insignificant sample is 0.
constexpr bool exponent_bits_within_rho(const std::array<std::uint16_t, 1024>& t) {
  for (std::uint16_t e : t) {
    const unsigned rho = (e >> 4) & 0xFu;
    if (((e >> 8) & 0xFu & ~rho) != 0 || ((e >> 12) & ~rho) != 0) return false;
  }
  return true;
}
static_assert(exponent_bits_within_rho(DEC_VLC_TBL0) && exponent_bits_within_rho(DEC_VLC_TBL1));

// Every entry of an empty quad (rho = 0) has no U-VLC offset, so its u_q is 0
// and its U_q never exceeds the bound.
constexpr bool empty_quads_have_no_offset(const std::array<std::uint16_t, 1024>& t) {
  for (std::uint16_t e : t)
    if (((e >> 4) & 0xFu) == 0 && (e & 0x8u) != 0) return false;
  return true;
}
static_assert(empty_quads_have_no_offset(DEC_VLC_TBL0) &&
              empty_quads_have_no_offset(DEC_VLC_TBL1));


inline unsigned rho_of(std::uint16_t entry) { return (entry >> 4) & 0xFu; }

// Splits a U-VLC table entry and the suffix bits that follow its prefixes
// into u(q0) and u(q1).
inline void read_uvlc_pair(RevReader& vlc, std::uint16_t ue, unsigned& u0, unsigned& u1) {
  // Prefixes and suffixes leave the reader in one step; the suffix bits are
  // taken from the same window (a pair uses at most 30 bits).
  const unsigned plen = ue & 7u;
  const unsigned slen = (ue >> 3) & 0xFu;
  const unsigned s0 = (ue >> 7) & 7u;
  const auto s = static_cast<std::uint32_t>((vlc.peek() >> plen) & ((1u << slen) - 1u));
  vlc.skip(plen + slen);
  u0 = ((ue >> 10) & 7u) + (s & ((1u << s0) - 1u));
  u1 = ((ue >> 13) & 7u) + (s >> s0);
}

// A quad in context 0 takes a MEL event and is insignificant when it is 0:
// its table entry is then dropped (no VLC bits are used). Returns the mask
// that keeps or drops the entry. (A branch here measures faster than an
// event taken without one.)
inline std::uint32_t keep_mask(unsigned c_q, MelDecoder& mel) {
  const bool keep = c_q != 0 || mel.event();
  return 0u - static_cast<std::uint32_t>(keep);
}

// Context bits of a non-initial quad from the quad row above: bit 0 from
// columns x - 1 and x, bit 2 from columns x + 1 and x + 2 (T.814 clause
// 7.3.6). a_left, a_mid, a_right: rho of the quads above-left, above and
// above-right. Bit 1 comes from the left quad's entry (DEC_VLC_CTX1).
inline unsigned context_above(unsigned a_left, unsigned a_mid, unsigned a_right) {
  return (((a_left >> 3) | (a_mid >> 1)) & 1u) | ((((a_mid >> 3) | (a_right >> 1)) & 1u) << 2);
}

// Context bits 0 and 2 of every quad of a non-initial row from the row
// above (ea), as offsets into DEC_VLC_CTX1 (context << 7).
inline void contexts_above(const std::uint16_t* ea, std::size_t nqx, std::uint16_t* above) {
  if (nqx == 1) {
    above[0] = static_cast<std::uint16_t>(context_above(0, rho_of(ea[0]), 0) << 7);
    return;
  }
  above[0] = static_cast<std::uint16_t>(context_above(0, rho_of(ea[0]), rho_of(ea[1])) << 7);
  for (std::size_t qx = 1; qx + 1 < nqx; ++qx)
    above[qx] = static_cast<std::uint16_t>(
        context_above(rho_of(ea[qx - 1]), rho_of(ea[qx]), rho_of(ea[qx + 1])) << 7);
  above[nqx - 1] = static_cast<std::uint16_t>(
      context_above(rho_of(ea[nqx - 2]), rho_of(ea[nqx - 1]), 0) << 7);
}

// Step 1: CxtVLC codewords, MEL events and U-VLC values of every quad.
// qe receives each quad's table entry, qu its u_q (kappa not yet added).
// The working entries carry the next quad's context (dec_tables.hpp), which
// keeps the chain from one codeword to the next short.
//
// The chain from one codeword to the next is what bounds this step, so two
// blocks of the same shape are decoded in one loop: their chains are
// independent and the processor overlaps them. VlcBlock is the state of one
// block; the steps below are always inlined so that it stays in registers.
struct VlcBlock {
  VlcBlock(const std::uint8_t* seg, std::size_t lcup, std::size_t scup, std::uint16_t* qe,
           std::uint8_t* qu)
      : mel(seg + (lcup - scup), scup - 1), vlc(RevReader::vlc(seg, lcup, scup)), qe(qe), qu(qu) {}
  MelDecoder mel;
  RevReader vlc;
  std::uint16_t* qe;
  std::uint8_t* qu;
  unsigned c_q = 0;        // initial row: the context of the next quad
  std::uint32_t left = 0;  // other rows: bit 1 of the next quad's context, as a table offset
  std::uint16_t above[512];  // other rows: context bits 0 and 2 (nqx <= 512)
};

// Initial quad row, quads qx and qx + 1 (when there is one): the context of
// a quad comes from the quad to its left.
[[gnu::always_inline]] inline void initial_pair(VlcBlock& b, std::size_t qx, std::size_t nqx) {
  RevReader& vlc = b.vlc;
  vlc.refill();  // a pair takes at most 7 + 7 + 6 + 10 bits
  std::uint32_t e0 = DEC_VLC_CTX0[(b.c_q << 7) | (vlc.peek() & 0x7Fu)];
  e0 &= keep_mask(b.c_q, b.mel);
  vlc.skip(e0 & 7u);
  b.qe[qx] = static_cast<std::uint16_t>(e0);
  b.c_q = (e0 >> 16) & 7u;

  std::uint32_t e1 = 0;
  const bool has_q1 = qx + 1 < nqx;
  if (has_q1) {
    e1 = DEC_VLC_CTX0[(b.c_q << 7) | (vlc.peek() & 0x7Fu)];
    e1 &= keep_mask(b.c_q, b.mel);
    vlc.skip(e1 & 7u);
    b.qe[qx + 1] = static_cast<std::uint16_t>(e1);
    b.c_q = (e1 >> 16) & 7u;
  }

  unsigned mode = ((e0 >> 3) & 1u) | ((e1 >> 2) & 2u);
  if (mode == 3 && b.mel.event()) mode = 4;
  unsigned u0 = 0, u1 = 0;
  read_uvlc_pair(vlc, UVLC_TBL0[(mode << 6) | (vlc.peek() & 0x3Fu)], u0, u1);
  b.qu[qx] = static_cast<std::uint8_t>(u0);
  if (has_q1) b.qu[qx + 1] = static_cast<std::uint8_t>(u1);
}

// Other quad rows, quads qx and qx + 1 of row r: contexts from the quad row
// above (taken for the whole row first, as table offsets) and from the left
// quad's entry.
[[gnu::always_inline]] inline void row_pair(VlcBlock& b, std::size_t row, std::size_t qx) {
  RevReader& vlc = b.vlc;
  std::uint16_t* const er = b.qe + row;
  std::uint8_t* const ur = b.qu + row;
  vlc.refill();  // a pair takes at most 7 + 7 + 6 + 10 bits
  std::uint32_t c = b.above[qx] | b.left;
  std::uint32_t e0 = DEC_VLC_CTX1[c | (vlc.peek() & 0x7Fu)];
  e0 &= keep_mask(c, b.mel);
  vlc.skip(e0 & 7u);
  er[qx] = static_cast<std::uint16_t>(e0);

  c = b.above[qx + 1] | ((e0 >> 12) & 0x100u);
  std::uint32_t e1 = DEC_VLC_CTX1[c | (vlc.peek() & 0x7Fu)];
  e1 &= keep_mask(c, b.mel);
  vlc.skip(e1 & 7u);
  er[qx + 1] = static_cast<std::uint16_t>(e1);
  b.left = (e1 >> 12) & 0x100u;

  // mode << 6 from the u_off bits (bit 3) of both entries.
  const unsigned mode6 = ((e0 & 8u) << 3) | ((e1 & 8u) << 4);
  // U-VLC prefixes and suffixes leave the reader in one step; the
  // suffix bits come from the same window (a pair uses at most 30 bits).
  const std::uint64_t bits = vlc.peek();
  const std::uint32_t f = UVLC_FIELDS1[mode6 | (bits & 0x3Fu)];
  vlc.skip(f & 31u);
  const auto sfx = static_cast<std::uint32_t>(bits >> ((f >> 5) & 7u));
  ur[qx] = static_cast<std::uint8_t>(((f >> 21) & 7u) + (sfx & (f >> 11) & 31u));
  const std::uint32_t sfx1 = sfx >> ((f >> 8) & 7u);
  ur[qx + 1] = static_cast<std::uint8_t>(((f >> 24) & 7u) + (sfx1 & (f >> 16) & 31u));
}

// A last quad without a partner (odd nqx) of a non-initial row.
[[gnu::always_inline]] inline void row_last(VlcBlock& b, std::size_t row, std::size_t qx) {
  RevReader& vlc = b.vlc;
  vlc.refill();
  const std::uint32_t c = b.above[qx] | b.left;
  std::uint32_t e0 = DEC_VLC_CTX1[c | (vlc.peek() & 0x7Fu)];
  e0 &= keep_mask(c, b.mel);
  vlc.skip(e0 & 7u);
  b.qe[row + qx] = static_cast<std::uint16_t>(e0);
  unsigned u0 = 0, u1 = 0;
  read_uvlc_pair(vlc, UVLC_TBL1[(((e0 >> 3) & 1u) << 6) | (vlc.peek() & 0x3Fu)], u0, u1);
  b.qu[row + qx] = static_cast<std::uint8_t>(u0);
}

// Step 1 for N blocks of nqx x nqy quads at once (see above).
template <std::size_t N>
[[gnu::noinline]] void cleanup_vlc(VlcBlock* blocks, std::size_t nqx, std::size_t nqy) {
  for (std::size_t qx = 0; qx < nqx; qx += 2)
#pragma GCC unroll 2
    for (std::size_t n = 0; n < N; ++n) initial_pair(blocks[n], qx, nqx);
  for (std::size_t r = 1; r < nqy; ++r) {
    const std::size_t row = r * nqx;
#pragma GCC unroll 2
    for (std::size_t n = 0; n < N; ++n) {
      contexts_above(blocks[n].qe + row - nqx, nqx, blocks[n].above);
      blocks[n].left = 0;
    }
    const std::size_t npair = nqx / 2;
    for (std::size_t k = 0; k < npair; ++k)
#pragma GCC unroll 2
      for (std::size_t n = 0; n < N; ++n) row_pair(blocks[n], row, 2 * k);
    if (nqx & 1u)
#pragma GCC unroll 2
      for (std::size_t n = 0; n < N; ++n) row_last(blocks[n], row, nqx - 1);
  }
}

using detail::SPREAD;

// The MagSgn bits of one quad (T.814 clause 7.3.8), from a bit window that
// holds them all (at most 56 bits): sample n takes m_n = U - e_k(n) bits (0
// when insignificant) and its implied top bit comes from e_1(n). Sets r[n]
// to the bits read and vt[n] to them with the implied bit, vt = 2 mu - 2 + s
// with the sign s in bit 0 (0 for insignificant samples). Returns the bits
// used.
struct QuadBits {
  std::uint32_t r[4];
  std::uint32_t vt[4];
};

inline unsigned quad_bits(std::uint64_t bits, unsigned rho, unsigned ek, unsigned e1,
                          unsigned u_q, QuadBits& q) {
  // Byte n of m_all: m_n; byte n of t_all: e_1(n).
  std::uint32_t m_all = (u_q * 0x01010101u - SPREAD[ek]) & (SPREAD[rho] * 0xFFu);
  std::uint32_t t_all = SPREAD[e1];
  unsigned used = 0;
  for (unsigned n = 0; n < 4; ++n) {
    const unsigned m = m_all & 0xFFu;
    m_all >>= 8;
    const auto r = static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << m) - 1u));
    bits >>= m;
    used += m;
    q.r[n] = r;
    q.vt[n] = r | ((t_all & 1u) << m);
    t_all >>= 8;
  }
  return used;
}

// Output words of a quad from its MagSgn values: sign in bit 31, magnitude
// (2 mu + 1) << (p - 1) = mu << p plus half a step, 0 for insignificant
// samples. The magnitude stays within bits 0..30 even when a damaged stream
// makes mu exceed what the band can hold.
inline void quad_words(const QuadBits& q, unsigned rho, unsigned pm1, unsigned coef,
                       std::uint32_t* w) {
#if defined(__SSE2__) || defined(__wasm_simd128__)
  // Built from registers (a vector load of the four fresh scalar stores
  // would stall on store forwarding).
  const __m128i r = _mm_set_epi32(static_cast<int>(q.r[3]), static_cast<int>(q.r[2]),
                                  static_cast<int>(q.r[1]), static_cast<int>(q.r[0]));
  const __m128i v = _mm_set_epi32(static_cast<int>(q.vt[3]), static_cast<int>(q.vt[2]),
                                  static_cast<int>(q.vt[1]), static_cast<int>(q.vt[0]));
  __m128i mag = _mm_add_epi32(_mm_or_si128(v, _mm_set1_epi32(1)), _mm_set1_epi32(2));
  mag = _mm_sll_epi32(mag, _mm_cvtsi32_si128(static_cast<int>(pm1)));
  mag = _mm_and_si128(mag, _mm_set1_epi32(0x7FFFFFFF));
  __m128i word;
  if (coef == 0) {
    word = _mm_or_si128(mag, _mm_slli_epi32(r, 31));
  } else {
    // The coefficient: magnitude >> (coef - 1), negated for sign 1.
    const __m128i m = _mm_srl_epi32(mag, _mm_cvtsi32_si128(static_cast<int>(coef - 1)));
    const __m128i neg = _mm_srai_epi32(_mm_slli_epi32(r, 31), 31);
    word = _mm_sub_epi32(_mm_xor_si128(m, neg), neg);
  }
  const __m128i lanes = _mm_set_epi32(8, 4, 2, 1);
  const __m128i sig =
      _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(static_cast<int>(rho)), lanes), lanes);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(w), _mm_and_si128(word, sig));
#else
  for (unsigned n = 0; n < 4; ++n) {
    const std::uint32_t sig = 0u - ((rho >> n) & 1u);
    const std::uint32_t mag = (((q.vt[n] | 1u) + 2u) << pm1) & 0x7FFFFFFFu;
    if (coef == 0) {
      w[n] = ((q.r[n] << 31) | mag) & sig;
    } else {
      const std::uint32_t m = mag >> (coef - 1), neg = 0u - (q.r[n] & 1u);
      w[n] = ((m ^ neg) - neg) & sig;
    }
  }
#endif
}

// Step 2: MagSgn values of every quad, written to the window. sig (when not
// null) receives the cleanup significance as 4-bit column masks per stripe.
template <class Out>
[[gnu::noinline]] Result<void> cleanup_magsgn(const std::uint8_t* seg, std::size_t length,
                                              const std::uint16_t* qe, const std::uint8_t* qu,
                                              std::uint32_t* line, Out* out,
                                              std::size_t width, std::size_t height,
                                              std::size_t stride, std::uint32_t missing_msbs,
                                              std::uint8_t* sig, std::size_t sstride,
                                              std::uint8_t* /*bitbuf: reads the segment itself*/,
                                              unsigned coef) {
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  const unsigned pm1 = 29u - missing_msbs;  // p - 1
  const unsigned u_max = missing_msbs + 2u;
  MagSgnReader ms(seg, length);
  std::fill_n(line, nqx + 2, 0u);
  for (std::size_t r = 0; r < nqy; ++r) {
    const std::uint16_t* const er = qe + r * nqx;
    const std::uint8_t* const ur = qu + r * nqx;
    const bool has_bottom = 2 * r + 1 < height;
    Out* const o0 = out + 2 * r * stride;
    Out* const o1 = o0 + stride;  // only touched when has_bottom
    std::uint8_t* const srow = sig ? sig + (r >> 1) * sstride + 1 : nullptr;
    const unsigned sshift = (r & 1u) * 2u;
    // line[k] holds the OR of v over columns 2k - 1 and 2k of the bottom row
    // of the quad row above; it is rewritten as this row goes.
    std::uint32_t L = line[0] | line[1];
    line[0] = 0;
    for (std::size_t qx = 0; qx < nqx; ++qx) {
      const std::uint16_t e = er[qx];
      const unsigned rho = rho_of(e);
      const std::uint32_t L_next = line[qx + 1] | line[qx + 2];
      // kappa = 1 for fewer than two significant samples, else
      // max(E_max of the four neighbours above - 1, 1) = floor(log2(L | 2)).
      const unsigned kappa =
          (rho & (rho - 1u)) ? static_cast<unsigned>(31 - std::countl_zero(L | 2u)) : 1u;
      const unsigned u_q = kappa + ur[qx];
      if (u_q > u_max) return std::unexpected(malformed(0, "U_q exceeds the magnitude bound"));
      L = L_next;

      const unsigned ek = e >> 12;
      const unsigned e1 = (e >> 8) & 0xFu;
      QuadBits q;
      alignas(16) std::uint32_t w[4];
      ms.refill56();
      // popcount(rho) * U_q: the quad's MagSgn bits at most.
      if (((0x4332322132212110ull >> (4 * rho)) & 0xFu) * u_q <= 56) [[likely]] {
        ms.skip(quad_bits(ms.peek(), rho, ek, e1, u_q, q));
      } else {
        // More bits than the window holds: one sample at a time.
        for (unsigned n = 0; n < 4; ++n) {
          ms.refill();
          const unsigned bit = 1u << n;
          QuadBits one;
          ms.skip(quad_bits(ms.peek(), rho & bit, ek & bit, e1 & bit, u_q, one));
          q.r[n] = one.r[n];
          q.vt[n] = one.vt[n];
        }
      }
      quad_words(q, rho, pm1, coef, w);
      // Bit 0 of v does not change floor(log2(L | 2)): vt serves for kappa.
      line[qx] |= q.vt[1];
      line[qx + 1] = q.vt[3];

      const std::size_t x = 2 * qx;
      const bool has_right = x + 1 < width;
      unsigned inside = 0xFu;
      if (has_bottom && has_right) [[likely]] {
        o0[x] = static_cast<Out>(w[0]);
        o1[x] = static_cast<Out>(w[1]);
        o0[x + 1] = static_cast<Out>(w[2]);
        o1[x + 1] = static_cast<Out>(w[3]);
      } else {
        // Samples outside the code-block are decoded but never written.
        o0[x] = static_cast<Out>(w[0]);
        inside = 0x1u;
        if (has_bottom) {
          o1[x] = static_cast<Out>(w[1]);
          inside |= 0x2u;
        }
        if (has_right) {
          o0[x + 1] = static_cast<Out>(w[2]);
          inside |= 0x4u;
        }
      }
      if (srow) {
        const unsigned s = rho & inside;
        srow[x] |= static_cast<std::uint8_t>((s & 3u) << sshift);
        if (has_right) srow[x + 1] |= static_cast<std::uint8_t>(((s >> 2) & 3u) << sshift);
      }
    }
  }
  return ok();
}

// Step 3: the SigProp pass over bit-plane p - 1 (T.814 clause 7.4).
// cs: cleanup significance (4-bit column masks per stripe, one zero column
// each side); ws: the working copy that collects new significance.
[[gnu::noinline]] void sigprop_pass(const std::uint8_t* data, std::size_t length,
                                    const std::uint8_t* cs, std::uint8_t* ws,
                                    std::size_t sstride, std::uint32_t* out, std::size_t width,
                                    std::size_t height, std::size_t stride, unsigned p,
                                    bool vertically_causal) {
  const std::size_t nstripes = (height + 3) / 4;
  SigPropReader sp(data, length);
  const std::uint32_t set_value = 3u << (p - 2);
  for (std::size_t s = 0; s < nstripes; ++s) {
    const std::size_t y0 = 4 * s;
    const unsigned hs = static_cast<unsigned>(std::min<std::size_t>(4, height - y0));
    const unsigned rmask = (1u << hs) - 1u;
    std::uint8_t* const w = ws + s * sstride + 1;
    const std::uint8_t* const above = s > 0 ? ws + (s - 1) * sstride + 1 : nullptr;
    // The row below the stripe counts with its cleanup significance only,
    // and not at all in the vertically causal mode.
    const std::uint8_t* const below =
        (!vertically_causal && s + 1 < nstripes) ? cs + (s + 1) * sstride + 1 : nullptr;
    // Column word: bit 0 = row above the stripe, bits 1..4 = the stripe's
    // rows, bit 5 = row below. Columns -1 and width are the zero padding.
    auto column = [&](std::ptrdiff_t c) -> unsigned {
      unsigned v = static_cast<unsigned>(w[c]) << 1;
      if (above) v |= (above[c] >> 3) & 1u;
      if (below) v |= (below[c] & 1u) << 5;
      return v;
    };
    std::uint32_t* const orow = out + y0 * stride;
    for (std::size_t g0 = 0; g0 < width; g0 += 4) {
      const std::size_t g1 = std::min(g0 + 4, width);
      sp.refill();  // a group takes at most 16 + 16 bits
      unsigned nnew = 0;
      std::uint8_t newpos[16];
      unsigned cl = column(static_cast<std::ptrdiff_t>(g0) - 1);
      unsigned cm = column(static_cast<std::ptrdiff_t>(g0));
      for (std::size_t c = g0; c < g1; ++c) {
        const unsigned cr = column(static_cast<std::ptrdiff_t>(c) + 1);
        const unsigned o = cl | cm | cr;
        // Candidates: insignificant samples with a significant neighbour
        // among the samples known so far; none means nothing to read here.
        if ((((o | (o >> 1) | (o >> 2)) & rmask) & ~static_cast<unsigned>(w[c])) != 0) {
          for (unsigned j = 0; j < hs; ++j) {
            if ((cm >> (j + 1)) & 1u) continue;               // already significant
            if ((((cl | cm | cr) >> j) & 7u) == 0) continue;  // no significant neighbour
            if (sp.take(1)) {
              cm |= 1u << (j + 1);
              newpos[nnew++] = static_cast<std::uint8_t>(((c - g0) << 2) | j);
            }
          }
          w[c] = static_cast<std::uint8_t>((cm >> 1) & 0xFu);
        }
        cl = cm;
        cm = cr;
      }
      // Then the signs of the samples that became significant in the group.
      for (unsigned i = 0; i < nnew; ++i) {
        const std::size_t c = g0 + (newpos[i] >> 2);
        const std::size_t j = newpos[i] & 3u;
        orow[j * stride + c] = (sp.take(1) << 31) | set_value;
      }
    }
  }
}

// Step 4: the MagRef pass over bit-plane p - 1 for the samples significant
// after the cleanup pass.
[[gnu::noinline]] void magref_pass(const std::uint8_t* data, std::size_t length,
                                   const std::uint8_t* cs, std::size_t sstride,
                                   std::uint32_t* out, std::size_t width, std::size_t height,
                                   std::size_t stride, unsigned p) {
  const std::size_t nstripes = (height + 3) / 4;
  RevReader mr = RevReader::magref(data, length);
  const std::uint32_t flip_low = 1u << (p - 2);
  const std::uint32_t flip_high = 1u << (p - 1);
  for (std::size_t s = 0; s < nstripes; ++s) {
    const std::uint8_t* const crow = cs + s * sstride + 1;
    std::uint32_t* const orow = out + 4 * s * stride;
    for (std::size_t c = 0; c < width; ++c) {
      unsigned nib = crow[c];
      if (nib == 0) continue;
      mr.refill();
      while (nib) {
        const unsigned j = static_cast<unsigned>(std::countr_zero(nib));
        nib &= nib - 1u;
        // Bit p - 1 becomes the coded bit, bit p - 2 the new half step.
        const std::uint32_t b = mr.take(1);
        orow[j * stride + c] ^= flip_low | (b ? 0u : flip_high);
      }
    }
  }
}

std::size_t unstuff_portable(const std::uint8_t* src, std::size_t size, std::uint8_t* dst) {
  return unstuff_magsgn(src, size, dst);
}

constexpr BlockKernels kPortable{cleanup_magsgn<std::uint32_t>, cleanup_magsgn<std::int16_t>,
                                 unstuff_portable, UNSTUFF_PAD};

}  // namespace

const BlockKernels& block_portable_kernels() { return kPortable; }

const BlockKernels& block_kernels_for(Isa isa) {
  static constexpr Family<BlockKernels> kFamilies[] = {
#if defined(__wasm_simd128__)
      // SIMD128 is the baseline of a WebAssembly build, as SSE2 is of x86-64.
      {Isa::portable, block_simd128_kernels},
#else
      {Isa::portable, block_portable_kernels},
#endif
      {Isa::avx2, block_avx2_kernels},
      {Isa::avx512, block_avx512_kernels},
  };
  return pick_family(kFamilies, isa);
}

const BlockKernels& block_kernels() {
  static const BlockKernels& chosen = block_kernels_for(isa_selected());
  return chosen;
}

Result<void> BlockDecoder::decode(std::span<const std::uint8_t> data,
                                  std::span<std::uint32_t> out, std::size_t width,
                                  std::size_t height, std::size_t stride,
                                  std::uint32_t missing_msbs, BlockPasses passes,
                                  bool vertically_causal) {
  VARNEL_TRY(run(data, out, width, height, stride, missing_msbs, passes, vertically_causal, 0));
  return ok();
}

Result<bool> BlockDecoder::decode_coefficients(std::span<const std::uint8_t> data,
                                               std::span<std::int32_t> out, std::size_t width,
                                               std::size_t height, std::size_t stride,
                                               std::uint32_t missing_msbs, BlockPasses passes,
                                               bool vertically_causal, unsigned shift) {
  return decode_coefficients(
      CoefficientBlock{data, out, width, height, stride, missing_msbs, passes, shift, {}},
      vertically_causal);
}

Result<std::array<bool, 2>> BlockDecoder::decode_coefficients_pair(const CoefficientBlock& a,
                                                                   const CoefficientBlock& b,
                                                                   bool vertically_causal) {
  const CoefficientBlock* blocks[2] = {&a, &b};
  Checked checked[2];
  for (int n = 0; n < 2; ++n) {
    const CoefficientBlock& k = *blocks[n];
    auto c = check(k);
    if (!c) {
      // One after the other, for the errors two calls give.
      std::array<bool, 2> coefficients{};
      for (int i = 0; i < 2; ++i) {
        VARNEL_ASSIGN_OR_RETURN(coefficients[i], decode_coefficients(*blocks[i], vertically_causal));
      }
      return coefficients;
    }
    checked[n] = *c;
  }
  const std::size_t nq0 = checked[0].nqx * checked[0].nqy, nq1 = checked[1].nqx * checked[1].nqy;
  if (quad_entry_.size() < nq0 + nq1) {
    quad_entry_.resize(nq0 + nq1);
    quad_u_.resize(nq0 + nq1);
  }
  VlcBlock vlc[2] = {
      {checked[0].seg, checked[0].lcup, checked[0].scup, quad_entry_.data(), quad_u_.data()},
      {checked[1].seg, checked[1].lcup, checked[1].scup, quad_entry_.data() + nq0,
       quad_u_.data() + nq0}};
  if (checked[0].nqx == checked[1].nqx && checked[0].nqy == checked[1].nqy) {
    cleanup_vlc<2>(vlc, checked[0].nqx, checked[0].nqy);
  } else {
    cleanup_vlc<1>(&vlc[0], checked[0].nqx, checked[0].nqy);
    cleanup_vlc<1>(&vlc[1], checked[1].nqx, checked[1].nqy);
  }
  std::array<bool, 2> coefficients{};
  for (int n = 0; n < 2; ++n) {
    VARNEL_ASSIGN_OR_RETURN(coefficients[n],
                            finish(checked[n], n == 0 ? 0 : nq0, *blocks[n], vertically_causal));
  }
  return coefficients;
}

Result<bool> BlockDecoder::decode_coefficients(const CoefficientBlock& b, bool vertically_causal) {
  VARNEL_ASSIGN_OR_RETURN(const Checked c, check(b));
  first_step(c);
  return finish(c, 0, b, vertically_causal);
}

Result<BlockDecoder::Checked> BlockDecoder::check(const CoefficientBlock& b) {
  if (b.shift > 31) return std::unexpected(invalid("coefficient shift must be 0..=31"));
  if (b.narrow.empty())
    return check(b.data, b.out.size(), b.width, b.height, b.stride, b.missing_msbs, b.passes);
  if (b.shift < 16) return std::unexpected(invalid("16-bit coefficients need a shift >= 16"));
  VARNEL_ASSIGN_OR_RETURN(const Checked c, check(b.data, b.narrow.size(), b.width, b.height,
                                                 b.stride, b.missing_msbs, b.passes));
  if (c.npasses >= 2)
    return std::unexpected(invalid("16-bit coefficients need a block without refinement passes"));
  return c;
}

Result<bool> BlockDecoder::finish(const Checked& c, std::size_t quads, const CoefficientBlock& b,
                                  bool vertically_causal) {
  return finish(c, quads, as_words(b.out), b.width, b.height, b.stride, b.missing_msbs,
                vertically_causal, b.shift + 1, b.narrow.empty() ? nullptr : b.narrow.data());
}

Result<void> check_block_window(std::size_t width, std::size_t height, std::size_t stride,
                                std::size_t out_size) {
  if (width < 1 || width > 1024 || height < 1 || height > 1024)
    return std::unexpected(invalid("code-block dimensions must be 1..=1024"));
  if (width * height > 4096)
    return std::unexpected(invalid("code-block area must be <= 4096 samples (T.800 §B.7)"));
  std::size_t need = 0;
  if (stride < width || __builtin_mul_overflow(stride, height - 1, &need) ||
      __builtin_add_overflow(need, width, &need) || out_size < need)
    return std::unexpected(invalid("output buffer too small for code-block geometry"));
  return {};
}

Result<BlockDecoder::Checked> BlockDecoder::check(std::span<const std::uint8_t> data,
                                                  std::size_t out_size, std::size_t width,
                                                  std::size_t height, std::size_t stride,
                                                  std::uint32_t missing_msbs,
                                                  BlockPasses passes) {
  // Checks, in order; none of them touches the window.
  VARNEL_TRY(check_block_window(width, height, stride, out_size));
  std::uint32_t npasses = passes.count;
  if (passes.lref == 0 && npasses > 1) npasses = 1;
  if (npasses >= 4) return std::unexpected(malformed(0, "more than 3 coding passes"));
  if (missing_msbs >= 30)
    return std::unexpected(malformed(0, "missing MSBs >= 30: not decodable in 32 bits"));
  if (missing_msbs == 29 && npasses > 1) npasses = 1;  // p = 1: no plane left to refine
  const std::uint64_t lcup = passes.lcup;
  const std::uint64_t lref = passes.lref;
  if (lcup < 2 || lcup > data.size() || lcup + lref > data.size())
    return std::unexpected(malformed(0, "invalid code-block pass lengths"));
  const std::uint8_t* seg = data.data();
  const unsigned last = seg[lcup - 1];
  const std::uint64_t scup = (std::uint64_t{last} << 4) | (seg[lcup - 2] & 0x0Fu);
  if (last == 0xFF || scup < 2 || scup > lcup)
    return std::unexpected(malformed(lcup - 2, "invalid Scup interface word"));
  Checked c;
  c.seg = seg;
  c.lcup = lcup;
  c.scup = scup;
  c.lref = lref;
  c.npasses = npasses;
  c.nqx = (width + 1) / 2;
  c.nqy = (height + 1) / 2;
  return c;
}

void BlockDecoder::first_step(const Checked& c) {
  const std::size_t nq = c.nqx * c.nqy;
  if (quad_entry_.size() < nq) {
    quad_entry_.resize(nq);
    quad_u_.resize(nq);
  }
  {
    VlcBlock block(c.seg, c.lcup, c.scup, quad_entry_.data(), quad_u_.data());
    cleanup_vlc<1>(&block, c.nqx, c.nqy);
  }
}

Result<bool> BlockDecoder::run(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                               std::size_t width, std::size_t height, std::size_t stride,
                               std::uint32_t missing_msbs, BlockPasses passes,
                               bool vertically_causal, unsigned coef) {
  VARNEL_ASSIGN_OR_RETURN(const Checked c, check(data, out.size(), width, height, stride, missing_msbs, passes));
  first_step(c);
  return finish(c, 0, out, width, height, stride, missing_msbs, vertically_causal, coef);
}

Result<bool> BlockDecoder::finish(const Checked& c, std::size_t quads, std::span<std::uint32_t> out,
                                  std::size_t width, std::size_t height, std::size_t stride,
                                  std::uint32_t missing_msbs, bool vertically_causal,
                                  unsigned coef, std::int16_t* narrow) {
  const std::size_t nqx = c.nqx;
  if (line_v_.size() < detail::magsgn_line_words(nqx))
    line_v_.resize(detail::magsgn_line_words(nqx));
  const bool refine = c.npasses >= 2;
  const std::size_t nstripes = (height + 3) / 4;
  const std::size_t sstride = width + 2;
  if (refine) {
    const std::size_t n = 2 * nstripes * sstride;
    if (sig_.size() < n) sig_.resize(n);
    std::fill_n(sig_.data(), nstripes * sstride, std::uint8_t{0});
  }
  const std::uint8_t* const seg = c.seg;
  const std::size_t lcup = c.lcup, scup = c.scup;
  std::uint8_t* const sig = refine ? sig_.data() : nullptr;
  const std::size_t nbuf = (lcup - scup) + kernels_->bitbuf_pad;
  if (magsgn_bits_.size() < nbuf) magsgn_bits_.resize(nbuf);
  // Coefficients straight from the cleanup pass when no refinement pass
  // follows; refinement passes work on words.
  const unsigned kernel_coef = refine ? 0u : coef;
  if (narrow != nullptr) {  // check(CoefficientBlock) has made sure there is no refinement
    VARNEL_TRY(kernels_->cleanup_magsgn16(seg, lcup - scup, quad_entry_.data() + quads,
                                          quad_u_.data() + quads, line_v_.data(), narrow, width,
                                          height, stride, missing_msbs, nullptr, sstride,
                                          magsgn_bits_.data(), coef));
    return true;
  }
  VARNEL_TRY(kernels_->cleanup_magsgn(seg, lcup - scup, quad_entry_.data() + quads,
                                        quad_u_.data() + quads, line_v_.data(), out.data(), width,
                                        height, stride, missing_msbs, sig, sstride,
                                        magsgn_bits_.data(), kernel_coef));
  if (!refine) return kernel_coef != 0;

  const unsigned p = 30u - missing_msbs;
  std::uint8_t* const cs = sig_.data();
  std::uint8_t* const ws = cs + nstripes * sstride;
  std::copy_n(cs, nstripes * sstride, ws);
  sigprop_pass(seg + lcup, c.lref, cs, ws, sstride, out.data(), width, height, stride, p,
               vertically_causal);
  if (c.npasses >= 3)
    magref_pass(seg + lcup, c.lref, cs, sstride, out.data(), width, height, stride, p);
  return false;
}

Result<void> decode_block(std::span<const std::uint8_t> data, std::span<std::uint32_t> out,
                          std::size_t width, std::size_t height, std::size_t stride,
                          std::uint32_t missing_msbs, BlockPasses passes,
                          bool vertically_causal) {
  BlockDecoder decoder;
  return decoder.decode(data, out, width, height, stride, missing_msbs, passes,
                        vertically_causal);
}

}  // namespace varnel::htj2k
