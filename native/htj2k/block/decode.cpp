// HT block decoder: cleanup pass in two steps (VLC/MEL/U-VLC for every quad,
// then MagSgn), then the SigProp and MagRef refinement passes.
#include "htj2k/block/decode.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>

#include "htj2k/block/dec_tables.hpp"
#include "htj2k/block/mel_decoder.hpp"
#include "htj2k/block/readers.hpp"

namespace varnel::htj2k {

namespace {

Error malformed(std::uint64_t at, std::string_view message) {
  return Error::malformed(at, std::string(message));
}

inline unsigned rho_of(std::uint16_t entry) { return (entry >> 4) & 0xFu; }

// Splits a U-VLC table entry and the suffix bits that follow its prefixes
// into u(q0) and u(q1).
inline void read_uvlc_pair(RevReader& vlc, std::uint16_t ue, unsigned& u0, unsigned& u1) {
  vlc.skip(ue & 7u);
  const unsigned slen = (ue >> 3) & 0xFu;
  const unsigned s0 = (ue >> 7) & 7u;
  const std::uint32_t s = vlc.take(slen);
  u0 = ((ue >> 10) & 7u) + (s & ((1u << s0) - 1u));
  u1 = ((ue >> 13) & 7u) + (s >> s0);
}

// One significant sample of the MagSgn stream: m = U - e_k bits, the top bit
// restored from e_1 when it is implied. Returns the output word and sets
// v = 2 mu - 1. The magnitude is kept within bits 0..30 even when a damaged
// stream makes v exceed what the band can hold.
inline std::uint32_t magsgn_sample(MagSgnReader& ms, unsigned u_q, unsigned ek, unsigned e1,
                                   unsigned pm1, std::uint32_t& v) {
  ms.refill();
  const unsigned m = u_q - ek;
  const std::uint32_t r = ms.take(m);
  v = r | (e1 << m) | 1u;
  return (r << 31) | (((v + 2u) << pm1) & 0x7FFFFFFFu);
}

}  // namespace

Result<void> BlockDecoder::decode(std::span<const std::uint8_t> data,
                                  std::span<std::uint32_t> out, std::size_t width,
                                  std::size_t height, std::size_t stride,
                                  std::uint32_t missing_msbs, BlockPasses passes,
                                  bool vertically_causal) {
  // ---- checks, in order --------------------------------------------------
  if (width < 1 || width > 1024 || height < 1 || height > 1024)
    return std::unexpected(Error::invalid("code-block dimensions must be 1..=1024"));
  if (width * height > 4096)
    return std::unexpected(Error::invalid("code-block area must be <= 4096 samples (T.800 §B.7)"));
  {
    std::size_t need = 0;
    if (stride < width || __builtin_mul_overflow(stride, height - 1, &need) ||
        __builtin_add_overflow(need, width, &need) || out.size() < need)
      return std::unexpected(Error::invalid("output buffer too small for code-block geometry"));
  }
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

  // ---- scratch -------------------------------------------------------------
  const std::size_t nqx = (width + 1) / 2;
  const std::size_t nqy = (height + 1) / 2;
  const std::size_t nq = nqx * nqy;
  if (quad_entry_.size() < nq) {
    quad_entry_.resize(nq);
    quad_u_.resize(nq);
  }
  if (line_v_.size() < nqx + 2) line_v_.resize(nqx + 2);
  std::uint16_t* const qe = quad_entry_.data();
  std::uint8_t* const qu = quad_u_.data();

  // ---- step 1: VLC, MEL and U-VLC for every quad ---------------------------
  {
    MelDecoder mel(seg + (lcup - scup), scup - 1);
    RevReader vlc = RevReader::vlc(seg, lcup, scup);

    // Initial quad row: the context of a quad comes from the quad to its left.
    unsigned c_q = 0;
    for (std::size_t qx = 0; qx < nqx; qx += 2) {
      vlc.refill();  // a pair takes at most 7 + 7 + 6 + 10 bits
      std::uint16_t e0 = DEC_VLC_TBL0[(c_q << 7) | (vlc.peek() & 0x7Fu)];
      if (c_q == 0 && !mel.event()) e0 = 0;
      vlc.skip(e0 & 7u);
      qe[qx] = e0;
      unsigned rho = rho_of(e0);
      c_q = (rho & 1u) | (rho >> 1);

      std::uint16_t e1 = 0;
      const bool has_q1 = qx + 1 < nqx;
      if (has_q1) {
        e1 = DEC_VLC_TBL0[(c_q << 7) | (vlc.peek() & 0x7Fu)];
        if (c_q == 0 && !mel.event()) e1 = 0;
        vlc.skip(e1 & 7u);
        qe[qx + 1] = e1;
        rho = rho_of(e1);
        c_q = (rho & 1u) | (rho >> 1);
      }

      unsigned mode = ((e0 >> 3) & 1u) | ((e1 >> 2) & 2u);
      if (mode == 3 && mel.event()) mode = 4;
      unsigned u0 = 0, u1 = 0;
      read_uvlc_pair(vlc, UVLC_TBL0[(mode << 6) | (vlc.peek() & 0x3Fu)], u0, u1);
      qu[qx] = static_cast<std::uint8_t>(u0);
      if (has_q1) qu[qx + 1] = static_cast<std::uint8_t>(u1);
    }

    // Other quad rows: the context comes from the quad row above (its bottom
    // samples in columns x - 1 .. x + 2) and the quad to the left.
    for (std::size_t r = 1; r < nqy; ++r) {
      std::uint16_t* const er = qe + r * nqx;
      const std::uint16_t* const ea = er - nqx;
      std::uint8_t* const ur = qu + r * nqx;
      unsigned left = 0;
      unsigned a_left = 0;
      unsigned a_mid = rho_of(ea[0]);
      for (std::size_t qx = 0; qx < nqx; qx += 2) {
        vlc.refill();
        unsigned a_right = qx + 1 < nqx ? rho_of(ea[qx + 1]) : 0u;
        unsigned c = (((a_left >> 3) | (a_mid >> 1)) & 1u) |
                     ((((left >> 2) | (left >> 3)) & 1u) << 1) |
                     ((((a_mid >> 3) | (a_right >> 1)) & 1u) << 2);
        std::uint16_t e0 = DEC_VLC_TBL1[(c << 7) | (vlc.peek() & 0x7Fu)];
        if (c == 0 && !mel.event()) e0 = 0;
        vlc.skip(e0 & 7u);
        er[qx] = e0;
        left = rho_of(e0);
        a_left = a_mid;
        a_mid = a_right;

        std::uint16_t e1 = 0;
        const bool has_q1 = qx + 1 < nqx;
        if (has_q1) {
          a_right = qx + 2 < nqx ? rho_of(ea[qx + 2]) : 0u;
          c = (((a_left >> 3) | (a_mid >> 1)) & 1u) | ((((left >> 2) | (left >> 3)) & 1u) << 1) |
              ((((a_mid >> 3) | (a_right >> 1)) & 1u) << 2);
          e1 = DEC_VLC_TBL1[(c << 7) | (vlc.peek() & 0x7Fu)];
          if (c == 0 && !mel.event()) e1 = 0;
          vlc.skip(e1 & 7u);
          er[qx + 1] = e1;
          left = rho_of(e1);
          a_left = a_mid;
          a_mid = a_right;
        }

        const unsigned mode = ((e0 >> 3) & 1u) | ((e1 >> 2) & 2u);
        unsigned u0 = 0, u1 = 0;
        read_uvlc_pair(vlc, UVLC_TBL1[(mode << 6) | (vlc.peek() & 0x3Fu)], u0, u1);
        ur[qx] = static_cast<std::uint8_t>(u0);
        if (has_q1) ur[qx + 1] = static_cast<std::uint8_t>(u1);
      }
    }
  }

  // ---- step 2: MagSgn --------------------------------------------------------
  const bool refine = npasses >= 2;
  const unsigned p = 30u - missing_msbs;
  const unsigned pm1 = p - 1u;
  const unsigned u_max = missing_msbs + 2u;
  const std::size_t nstripes = (height + 3) / 4;
  const std::size_t sstride = width + 2;
  if (refine) {
    const std::size_t n = 2 * nstripes * sstride;
    if (sig_.size() < n) sig_.resize(n);
    std::fill_n(sig_.data(), nstripes * sstride, std::uint8_t{0});
  }
  {
    MagSgnReader ms(seg, lcup - scup);
    std::uint32_t* const line = line_v_.data();
    std::fill_n(line, nqx + 2, 0u);
    std::uint32_t* const obase = out.data();
    for (std::size_t r = 0; r < nqy; ++r) {
      const std::uint16_t* const er = qe + r * nqx;
      const std::uint8_t* const ur = qu + r * nqx;
      const bool has_bottom = 2 * r + 1 < height;
      std::uint32_t* const o0 = obase + 2 * r * stride;
      std::uint32_t* const o1 = o0 + stride;  // only touched when has_bottom
      std::uint8_t* const srow = refine ? sig_.data() + (r >> 1) * sstride + 1 : nullptr;
      const unsigned sshift = (r & 1u) * 2u;
      std::uint32_t L = line[0] | line[1];
      line[0] = 0;
      for (std::size_t qx = 0; qx < nqx; ++qx) {
        const std::uint16_t e = er[qx];
        const unsigned rho = rho_of(e);
        const std::uint32_t L_next = line[qx + 1] | line[qx + 2];
        // kappa = 1 for fewer than two significant samples, else
        // max(E_max of the four neighbours above - 1, 1).
        const unsigned kappa =
            (rho & (rho - 1u)) ? static_cast<unsigned>(31 - std::countl_zero(L | 2u)) : 1u;
        const unsigned u_q = kappa + ur[qx];
        if (u_q > u_max) return std::unexpected(malformed(0, "U_q exceeds the magnitude bound"));
        L = L_next;
        const std::size_t x = 2 * qx;
        const bool has_right = x + 1 < width;
        if (rho == 0) {
          line[qx + 1] = 0;
          o0[x] = 0;
          if (has_bottom) o1[x] = 0;
          if (has_right) {
            o0[x + 1] = 0;
            if (has_bottom) o1[x + 1] = 0;
          }
          continue;
        }
        const unsigned ek = e >> 12;
        const unsigned e1 = (e >> 8) & 0xFu;
        std::uint32_t w0 = 0, w1 = 0, w2 = 0, w3 = 0;
        std::uint32_t v0 = 0, v1 = 0, v2 = 0, v3 = 0;
        if (rho & 1u) w0 = magsgn_sample(ms, u_q, ek & 1u, e1 & 1u, pm1, v0);
        if (rho & 2u) w1 = magsgn_sample(ms, u_q, (ek >> 1) & 1u, (e1 >> 1) & 1u, pm1, v1);
        if (rho & 4u) w2 = magsgn_sample(ms, u_q, (ek >> 2) & 1u, (e1 >> 2) & 1u, pm1, v2);
        if (rho & 8u) w3 = magsgn_sample(ms, u_q, (ek >> 3) & 1u, (e1 >> 3) & 1u, pm1, v3);
        (void)v0;
        (void)v2;
        line[qx] |= v1;
        line[qx + 1] = v3;
        o0[x] = w0;
        unsigned inside = 0x1u;
        if (has_bottom) {
          o1[x] = w1;
          inside |= 0x2u;
        }
        if (has_right) {
          o0[x + 1] = w2;
          inside |= 0x4u;
          if (has_bottom) {
            o1[x + 1] = w3;
            inside |= 0x8u;
          }
        }
        if (refine) {
          const unsigned sig = rho & inside;
          srow[x] |= static_cast<std::uint8_t>((sig & 3u) << sshift);
          if (has_right) srow[x + 1] |= static_cast<std::uint8_t>(((sig >> 2) & 3u) << sshift);
        }
      }
    }
  }
  if (!refine) return ok();

  // ---- step 3: SigProp -------------------------------------------------------
  const std::uint8_t* const cs = sig_.data();
  std::uint8_t* const ws = sig_.data() + nstripes * sstride;
  std::copy_n(cs, nstripes * sstride, ws);
  {
    SigPropReader sp(seg + lcup, lref);
    const std::uint32_t set_value = 3u << (p - 2);
    for (std::size_t s = 0; s < nstripes; ++s) {
      const std::size_t y0 = 4 * s;
      const unsigned hs = static_cast<unsigned>(std::min<std::size_t>(4, height - y0));
      const unsigned rmask = (1u << hs) - 1u;
      std::uint8_t* const w = ws + s * sstride + 1;
      const std::uint8_t* const above = s > 0 ? ws + (s - 1) * sstride + 1 : nullptr;
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
      std::uint32_t* const orow = out.data() + y0 * stride;
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
          if ((((o | (o >> 1) | (o >> 2)) & rmask) & ~static_cast<unsigned>(w[c])) != 0) {
            for (unsigned j = 0; j < hs; ++j) {
              if ((cm >> (j + 1)) & 1u) continue;           // already significant
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
        for (unsigned i = 0; i < nnew; ++i) {
          const std::size_t c = g0 + (newpos[i] >> 2);
          const std::size_t j = newpos[i] & 3u;
          orow[j * stride + c] = (sp.take(1) << 31) | set_value;
        }
      }
    }
  }
  if (npasses < 3) return ok();

  // ---- step 4: MagRef --------------------------------------------------------
  {
    RevReader mr = RevReader::magref(seg + lcup, lref);
    const std::uint32_t flip_low = 1u << (p - 2);
    const std::uint32_t flip_high = 1u << (p - 1);
    for (std::size_t s = 0; s < nstripes; ++s) {
      const std::uint8_t* const crow = cs + s * sstride + 1;
      std::uint32_t* const orow = out.data() + 4 * s * stride;
      for (std::size_t c = 0; c < width; ++c) {
        unsigned nib = crow[c];
        if (nib == 0) continue;
        mr.refill();
        while (nib) {
          const unsigned j = static_cast<unsigned>(std::countr_zero(nib));
          nib &= nib - 1u;
          const std::uint32_t b = mr.take(1);
          orow[j * stride + c] ^= flip_low | (b ? 0u : flip_high);
        }
      }
    }
  }
  return ok();
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
