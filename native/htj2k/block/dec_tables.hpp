// varnel htj2k: the decoder's code tables, derived at compile time from the
// CxtVLC rows of T.814 (cxtvlc_rows.hpp) and from the U-VLC code.
//
// DEC_VLC_TBL0 / DEC_VLC_TBL1 (initial / non-initial quad rows): indexed by
// (c_q << 7) | next 7 VLC bits; entry = (e_k << 12) | (e_1 << 8) | (rho << 4)
// | (u_off << 3) | codeword length.
//
// UVLC_TBL0 (320 entries) / UVLC_TBL1 (256): indexed by (mode << 6) | next 6
// VLC bits, mode = u_off(q0) + 2 u_off(q1), and in the initial quad row mode 4
// = both offsets with a MEL pair event 1. Entry bits 0..2: total prefix
// length; 3..6: total suffix length; 7..9: suffix length of q0; 10..12: u
// prefix value of q0; 13..15: that of q1.
#pragma once

#include <array>
#include <cstdint>

#include "htj2k/block/cxtvlc_rows.hpp"

namespace varnel::htj2k {

namespace dec_detail {

constexpr std::array<std::uint16_t, 1024> make_vlc_table(std::uint8_t table) {
  std::array<std::uint16_t, 1024> t{};
  for (const CxtVlcRow& r : CXTVLC_ROWS) {
    if (r.table != table) continue;
    const auto entry = static_cast<std::uint16_t>((r.e_k << 12) | (r.e_1 << 8) | (r.rho << 4) |
                                                  (r.u_off << 3) | r.len);
    // Every 7-bit window whose low `len` bits are the codeword.
    for (unsigned w = r.cwd; w < 128; w += 1u << r.len) t[(r.c_q << 7) | w] = entry;
  }
  return t;
}

// One U-VLC prefix, read least significant bit first:
// 1 -> 1, 01 -> 2, 001 -> 3 (+1 suffix bit), 000 -> 5 (+5 suffix bits).
struct UvlcPrefix {
  unsigned value;
  unsigned length;
  unsigned suffix;
};

constexpr UvlcPrefix uvlc_prefix(unsigned bits) {
  if (bits & 1u) return {1, 1, 0};
  if (bits & 2u) return {2, 2, 0};
  if (bits & 4u) return {3, 3, 1};
  return {5, 3, 5};
}

constexpr std::uint16_t uvlc_entry(unsigned plen, unsigned slen, unsigned s0, unsigned u0,
                                   unsigned u1) {
  return static_cast<std::uint16_t>(plen | (slen << 3) | (s0 << 7) | (u0 << 10) | (u1 << 13));
}

template <std::size_t N>
constexpr std::array<std::uint16_t, N> make_uvlc_table(bool initial_row) {
  std::array<std::uint16_t, N> t{};
  for (unsigned mode = 0; mode < N / 64; ++mode) {
    for (unsigned w = 0; w < 64; ++w) {
      std::uint16_t e = 0;
      if (mode == 1) {
        const UvlcPrefix a = uvlc_prefix(w);
        e = uvlc_entry(a.length, a.suffix, a.suffix, a.value, 0);
      } else if (mode == 2) {
        const UvlcPrefix b = uvlc_prefix(w);
        e = uvlc_entry(b.length, b.suffix, 0, 0, b.value);
      } else if (mode == 3) {
        const UvlcPrefix a = uvlc_prefix(w);
        if (initial_row && a.value > 2) {
          // Initial row, pair event 0 and u(q0) > 2: u(q1) is 1 or 2, sent as
          // one bit right after q0's prefix.
          const unsigned b = (w >> a.length) & 1u;
          e = uvlc_entry(a.length + 1, a.suffix, a.suffix, a.value, b + 1);
        } else {
          const UvlcPrefix b = uvlc_prefix(w >> a.length);
          e = uvlc_entry(a.length + b.length, a.suffix + b.suffix, a.suffix, a.value, b.value);
        }
      } else if (mode == 4) {
        // Initial row, pair event 1: both u exceed 2 and are sent less 2.
        const UvlcPrefix a = uvlc_prefix(w);
        const UvlcPrefix b = uvlc_prefix(w >> a.length);
        e = uvlc_entry(a.length + b.length, a.suffix + b.suffix, a.suffix, a.value + 2,
                       b.value + 2);
      }
      t[(mode << 6) | w] = e;
    }
  }
  return t;
}

// The decoder's working form of a VLC table: the entry in bits 0..15, and
// what the decoded quad contributes to the context of the quad to its right:
// bits 16..18 the whole context in the initial quad row, (rho & 1) | (rho >>
// 1); bit 20 the left-neighbour bit of a non-initial row's context, set when
// the quad's right column (rho bit 2 or 3) is significant.
constexpr std::array<std::uint32_t, 1024> with_next_context(
    const std::array<std::uint16_t, 1024>& t) {
  std::array<std::uint32_t, 1024> w{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    const unsigned rho = (t[i] >> 4) & 0xFu;
    const unsigned initial = (rho & 1u) | (rho >> 1);
    const unsigned left = ((rho >> 2) | (rho >> 3)) & 1u;
    w[i] = t[i] | (initial << 16) | (left << 20);
  }
  return w;
}

// The working form of UVLC_TBL1: what splitting a pair's suffix bits
// needs, ready to use. Bits 0..4: prefix and suffix bits in all; 5..7:
// prefix bits; 8..10: suffix bits of q0; 11..15: mask of q0's suffix;
// 16..20: mask of q1's suffix; 21..23 and 24..26: u prefix values of q0
// and q1.
template <std::size_t N>
constexpr std::array<std::uint32_t, N> uvlc_fields(const std::array<std::uint16_t, N>& t) {
  std::array<std::uint32_t, N> w{};
  for (std::size_t i = 0; i < N; ++i) {
    const unsigned plen = t[i] & 7u, slen = (t[i] >> 3) & 0xFu, s0 = (t[i] >> 7) & 7u;
    const unsigned s1 = slen - s0;
    w[i] = (plen + slen) | (plen << 5) | (s0 << 8) | (((1u << s0) - 1u) << 11) |
           (((1u << s1) - 1u) << 16) | (((t[i] >> 10) & 7u) << 21) | (((t[i] >> 13) & 7u) << 24);
  }
  return w;
}

}  // namespace dec_detail

inline constexpr std::array<std::uint16_t, 1024> DEC_VLC_TBL0 = dec_detail::make_vlc_table(0);
inline constexpr std::array<std::uint16_t, 1024> DEC_VLC_TBL1 = dec_detail::make_vlc_table(1);
inline constexpr std::array<std::uint32_t, 1024> DEC_VLC_CTX0 =
    dec_detail::with_next_context(DEC_VLC_TBL0);
inline constexpr std::array<std::uint32_t, 1024> DEC_VLC_CTX1 =
    dec_detail::with_next_context(DEC_VLC_TBL1);
inline constexpr std::array<std::uint16_t, 320> UVLC_TBL0 = dec_detail::make_uvlc_table<320>(true);
inline constexpr std::array<std::uint16_t, 256> UVLC_TBL1 = dec_detail::make_uvlc_table<256>(false);

inline constexpr std::array<std::uint32_t, 256> UVLC_FIELDS1 = dec_detail::uvlc_fields(UVLC_TBL1);

}  // namespace varnel::htj2k
