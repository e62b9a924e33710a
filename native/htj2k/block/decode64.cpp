// varnel htj2k: the HT block decoder for 64-bit words (block64.hpp).
//
// The cleanup pass in one walk over the quads (codewords, MEL events, the
// pair's U-VLC values with their extensions, then each quad's MagSgn bits),
// then the SigProp and MagRef passes of decode.cpp on 64-bit words. Every
// reader feeds fill bytes past its range, so malformed segments decode to
// something or fail a check, never read outside `data`.
#include <algorithm>
#include <bit>

#include "htj2k/block/block64.hpp"
#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/mel_decoder.hpp"
#include "htj2k/block/readers.hpp"

namespace varnel::htj2k {
namespace {

constexpr std::size_t PAD = 2;  // zero columns left of column 0
constexpr std::uint64_t MAGNITUDE = ~std::uint64_t{0} >> 1;

// One decoded codeword: significance, implied bits, U-VLC offset flag.
struct QuadEntry {
  unsigned rho = 0, e_1 = 0, e_k = 0, u_off = 0;
};

QuadEntry read_codeword(RevReader& vlc, MelDecoder& mel, const std::uint16_t* table, unsigned c) {
  if (c == 0 && !mel.event()) return {};
  vlc.refill();
  const std::uint16_t e = table[(c << 7) | (vlc.peek() & 0x7Fu)];
  vlc.skip(e & 7u);
  return {(e >> 4) & 0xFu, (e >> 8) & 0xFu, static_cast<unsigned>(e >> 12), (e >> 3) & 1u};
}

// U-VLC prefix value (1, 2, 3 or 5) and its suffix (T.814 U-VLC code).
unsigned read_prefix(RevReader& vlc) {
  vlc.refill();
  const dec_detail::UvlcPrefix p = dec_detail::uvlc_prefix(static_cast<unsigned>(vlc.peek() & 7u));
  vlc.skip(p.length);
  return p.value;
}

unsigned read_suffix(RevReader& vlc, unsigned prefix) {
  vlc.refill();
  if (prefix == 3) return vlc.take(1);
  if (prefix == 5) return vlc.take(5);
  return 0;
}

// The extension: 4 bits when the suffix of prefix 5 is 28 or more, worth
// four each.
unsigned read_ext(RevReader& vlc, unsigned prefix, unsigned suffix) {
  if (prefix != 5 || suffix < 28) return 0;
  vlc.refill();
  return 4 * vlc.take(4);
}

// u of both quads of a pair. `offsets`: bit 0 q0 sends one, bit 1 q1.
// `initial`: the initial quad row, where two offsets come with a MEL event.
void read_uvlc_pair(RevReader& vlc, MelDecoder& mel, unsigned offsets, bool initial,
                    unsigned (&u)[2]) {
  u[0] = u[1] = 0;
  if (offsets == 0) return;
  if (offsets != 3) {
    const unsigned k = offsets == 1 ? 0 : 1;
    const unsigned pfx = read_prefix(vlc);
    const unsigned sfx = read_suffix(vlc, pfx);
    u[k] = pfx + sfx + read_ext(vlc, pfx, sfx);
    return;
  }
  const bool both_above_two = initial && mel.event();
  const unsigned p0 = read_prefix(vlc);
  if (initial && !both_above_two && p0 > 2) {
    // u(q1) is 1 or 2, one bit right after q0's prefix.
    vlc.refill();
    u[1] = 1 + vlc.take(1);
    const unsigned s0 = read_suffix(vlc, p0);
    u[0] = p0 + s0 + read_ext(vlc, p0, s0);
    return;
  }
  const unsigned p1 = read_prefix(vlc);
  const unsigned s0 = read_suffix(vlc, p0);
  const unsigned s1 = read_suffix(vlc, p1);
  const unsigned x0 = read_ext(vlc, p0, s0);
  const unsigned x1 = read_ext(vlc, p1, s1);
  const unsigned extra = both_above_two ? 2 : 0;
  u[0] = extra + p0 + s0 + x0;
  u[1] = extra + p1 + s1 + x1;
}

// n <= 63 bits of the MagSgn stream, least significant first.
std::uint64_t read_bits(MagSgnReader& ms, unsigned n) {
  ms.refill();
  if (n <= 32) return ms.take(n);
  const std::uint64_t low = ms.take(32);
  ms.refill();
  return low | std::uint64_t{ms.take(n - 32)} << 32;
}

// The SigProp pass over bit-plane p - 1 (T.814 clause 7.4); cs, ws and the
// significance layout as in decode.cpp.
void sigprop_pass(const std::uint8_t* data, std::size_t length, const std::uint8_t* cs,
                  std::uint8_t* ws, std::size_t sstride, std::uint64_t* out, std::size_t width,
                  std::size_t height, std::size_t stride, unsigned p, bool vertically_causal) {
  const std::size_t nstripes = (height + 3) / 4;
  SigPropReader sp(data, length);
  const std::uint64_t set_value = std::uint64_t{3} << (p - 2);
  for (std::size_t s = 0; s < nstripes; ++s) {
    const std::size_t y0 = 4 * s;
    const unsigned hs = static_cast<unsigned>(std::min<std::size_t>(4, height - y0));
    std::uint8_t* const w = ws + s * sstride + 1;
    const std::uint8_t* const above = s > 0 ? ws + (s - 1) * sstride + 1 : nullptr;
    const std::uint8_t* const below =
        (!vertically_causal && s + 1 < nstripes) ? cs + (s + 1) * sstride + 1 : nullptr;
    // Bit 0: row above the stripe, bits 1..4: the stripe, bit 5: row below.
    auto column = [&](std::ptrdiff_t c) -> unsigned {
      unsigned v = static_cast<unsigned>(w[c]) << 1;
      if (above) v |= (above[c] >> 3) & 1u;
      if (below) v |= (below[c] & 1u) << 5;
      return v;
    };
    std::uint64_t* const orow = out + y0 * stride;
    for (std::size_t g0 = 0; g0 < width; g0 += 4) {
      const std::size_t g1 = std::min(g0 + 4, width);
      unsigned nnew = 0;
      std::uint8_t newpos[16];
      for (std::size_t c = g0; c < g1; ++c) {
        const auto cc = static_cast<std::ptrdiff_t>(c);
        for (unsigned j = 0; j < hs; ++j) {
          const unsigned cl = column(cc - 1), cm = column(cc), cr = column(cc + 1);
          if ((cm >> (j + 1)) & 1u) continue;               // already significant
          if ((((cl | cm | cr) >> j) & 7u) == 0) continue;  // no significant neighbour
          sp.refill();
          if (sp.take(1)) {
            w[c] = static_cast<std::uint8_t>(w[c] | 1u << j);
            newpos[nnew++] = static_cast<std::uint8_t>(((c - g0) << 2) | j);
          }
        }
      }
      for (unsigned i = 0; i < nnew; ++i) {
        const std::size_t c = g0 + (newpos[i] >> 2);
        const std::size_t j = newpos[i] & 3u;
        sp.refill();
        orow[j * stride + c] = std::uint64_t{sp.take(1)} << 63 | set_value;
      }
    }
  }
}

// The MagRef pass over bit-plane p - 1 for the samples significant after the
// cleanup pass.
void magref_pass(const std::uint8_t* data, std::size_t length, const std::uint8_t* cs,
                 std::size_t sstride, std::uint64_t* out, std::size_t width, std::size_t height,
                 std::size_t stride, unsigned p) {
  const std::size_t nstripes = (height + 3) / 4;
  RevReader mr = RevReader::magref(data, length);
  const std::uint64_t flip_low = std::uint64_t{1} << (p - 2);
  const std::uint64_t flip_high = std::uint64_t{1} << (p - 1);
  for (std::size_t s = 0; s < nstripes; ++s) {
    const std::uint8_t* const crow = cs + s * sstride + 1;
    std::uint64_t* const orow = out + 4 * s * stride;
    for (std::size_t c = 0; c < width; ++c) {
      for (unsigned nib = crow[c]; nib != 0; nib &= nib - 1u) {
        const auto j = static_cast<unsigned>(std::countr_zero(nib));
        mr.refill();
        orow[j * stride + c] ^= flip_low | (mr.take(1) ? 0 : flip_high);
      }
    }
  }
}

}  // namespace

Result<void> WideBlockDecoder::decode(std::span<const std::uint8_t> data,
                                      std::span<std::uint64_t> out, std::size_t width,
                                      std::size_t height, std::size_t stride,
                                      std::uint32_t missing_msbs, BlockPasses passes,
                                      bool vertically_causal) {
  // The checks of BlockDecoder::run, in its order; none touches the window.
  VARNEL_TRY(check_block_window(width, height, stride, out.size()));
  std::uint32_t npasses = passes.count;
  if (passes.lref == 0 && npasses > 1) npasses = 1;
  if (npasses >= 4) return std::unexpected(malformed(0, "more than 3 coding passes"));
  if (missing_msbs >= 62)
    return std::unexpected(malformed(0, "missing MSBs >= 62: not decodable in 64 bits"));
  if (missing_msbs == 61 && npasses > 1) npasses = 1;  // p = 1: no plane left to refine
  const std::uint64_t lcup = passes.lcup, lref = passes.lref;
  if (lcup < 2 || lcup > data.size() || lcup + lref > data.size())
    return std::unexpected(malformed(0, "invalid code-block pass lengths"));
  const std::uint8_t* seg = data.data();
  const unsigned last = seg[lcup - 1];
  const std::uint64_t scup = (std::uint64_t{last} << 4) | (seg[lcup - 2] & 0x0Fu);
  if (last == 0xFF || scup < 2 || scup > lcup)
    return std::unexpected(malformed(lcup - 2, "invalid Scup interface word"));

  const unsigned p = 62 - missing_msbs;
  const unsigned u_max = missing_msbs + 2;  // v of U_q bits keeps mu << p in 63 bits
  const std::size_t nqx = (width + 1) / 2, nqy = (height + 1) / 2;
  const bool refine = npasses >= 2;
  const std::size_t nstripes = (height + 3) / 4, sstride = width + 2;
  if (refine) {
    if (sig_.size() < 2 * nstripes * sstride) sig_.resize(2 * nstripes * sstride);
    std::fill_n(sig_.data(), nstripes * sstride, std::uint8_t{0});
  }
  // E of the bottom row of the quad row above, with PAD zero columns on the
  // left and two past the last quad (0: insignificant).
  const std::size_t rs = PAD + 2 * nqx + 2;
  exps_.assign(2 * rs, 0);
  std::uint8_t* e_above = exps_.data() + PAD;
  std::uint8_t* e_here = e_above + rs;

  MelDecoder mel(seg + (lcup - scup), scup - 1);
  RevReader vlc = RevReader::vlc(seg, lcup, static_cast<std::size_t>(scup));
  MagSgnReader ms(seg, static_cast<std::size_t>(lcup - scup));
  for (std::size_t r = 0; r < nqy; ++r) {
    const bool initial = r == 0;
    const std::uint16_t* table = initial ? DEC_VLC_TBL0.data() : DEC_VLC_TBL1.data();
    std::fill_n(e_here - PAD, rs, std::uint8_t{0});
    unsigned left_rho = 0;  // rho of the quad to the left
    std::uint64_t* const o0 = out.data() + 2 * r * stride;
    const bool has_bottom = 2 * r + 1 < height;
    for (std::size_t j = 0; j < nqx; j += 2) {
      QuadEntry q[2];
      for (std::size_t k = 0; k < 2 && j + k < nqx; ++k) {
        const auto x = static_cast<std::ptrdiff_t>(2 * (j + k));
        unsigned c = 0;
        if (initial) {
          c = (left_rho & 1u) | (left_rho >> 1);
        } else {
          c = ((e_above[x - 1] | e_above[x]) != 0 ? 1u : 0u) |
              ((left_rho >> 2) != 0 ? 2u : 0u) |
              ((e_above[x + 1] | e_above[x + 2]) != 0 ? 4u : 0u);
        }
        q[k] = read_codeword(vlc, mel, table, c);
        left_rho = q[k].rho;
      }
      unsigned u[2];
      read_uvlc_pair(vlc, mel, q[0].u_off | q[1].u_off << 1, initial, u);
      for (std::size_t k = 0; k < 2 && j + k < nqx; ++k) {
        const std::size_t x = 2 * (j + k);
        const auto sx = static_cast<std::ptrdiff_t>(x);
        const unsigned rho = q[k].rho;
        unsigned kappa = 1;
        if (!initial && std::popcount(rho) >= 2) {
          const unsigned above = std::max(std::max(e_above[sx - 1], e_above[sx]),
                                          std::max(e_above[sx + 1], e_above[sx + 2]));
          kappa = std::max(above, 2u) - 1;
        }
        const unsigned big_u = kappa + u[k];
        if (big_u > u_max) return std::unexpected(malformed(0, "U_q exceeds the magnitude bound"));
        std::uint64_t w[4] = {0, 0, 0, 0};
        unsigned e[4] = {0, 0, 0, 0};
        for (unsigned n = 0; n < 4; ++n) {
          if ((rho >> n & 1u) == 0) continue;
          const unsigned m = big_u - (q[k].e_k >> n & 1u);
          const std::uint64_t v = read_bits(ms, m) | std::uint64_t{q[k].e_1 >> n & 1u} << m;
          // v = 2 (mu - 1) + sign: the magnitude (2 mu + 1) << (p - 1).
          const std::uint64_t mag = (((v | 1u) + 2) << (p - 1)) & MAGNITUDE;
          w[n] = (v & 1u) << 63 | mag;
          e[n] = static_cast<unsigned>(std::bit_width(v | 1u));
        }
        e_here[x] = static_cast<std::uint8_t>(e[1]);
        e_here[x + 1] = static_cast<std::uint8_t>(e[3]);
        // Samples outside the code-block are decoded but never written.
        const bool has_right = x + 1 < width;
        o0[x] = w[0];
        if (has_right) o0[x + 1] = w[2];
        if (has_bottom) {
          o0[stride + x] = w[1];
          if (has_right) o0[stride + x + 1] = w[3];
        }
        if (refine) {
          std::uint8_t* const srow = sig_.data() + (r >> 1) * sstride + 1;
          const unsigned shift = (r & 1u) * 2u;
          const unsigned inside = 1u | (has_bottom ? 2u : 0u) | (has_right ? 4u : 0u) |
                                  (has_bottom && has_right ? 8u : 0u);
          const unsigned s = rho & inside;
          srow[x] = static_cast<std::uint8_t>(srow[x] | (s & 3u) << shift);
          if (has_right) srow[x + 1] = static_cast<std::uint8_t>(srow[x + 1] | (s >> 2 & 3u) << shift);
        }
      }
    }
    std::swap(e_above, e_here);
  }
  if (!refine) return ok();

  std::uint8_t* const cs = sig_.data();
  std::uint8_t* const ws = cs + nstripes * sstride;
  std::copy_n(cs, nstripes * sstride, ws);
  sigprop_pass(seg + lcup, lref, cs, ws, sstride, out.data(), width, height, stride, p,
               vertically_causal);
  if (npasses >= 3) magref_pass(seg + lcup, lref, cs, sstride, out.data(), width, height, stride, p);
  return ok();
}

}  // namespace varnel::htj2k
