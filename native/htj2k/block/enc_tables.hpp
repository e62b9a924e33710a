// varnel htj2k: the encoder's code tables, derived at compile time from the
// CxtVLC rows of T.814 (cxtvlc_rows.hpp) and from the U-VLC code.
//
// ENC_VLC_TBL0 (initial quad row) and ENC_VLC_TBL1 (other quad rows) are
// indexed by (c_q << 8) | (rho << 4) | emb and hold
// (codeword << 8) | (length << 4) | e_k; 0 marks a key that cannot occur
// (emb not a subset of rho, or c_q = 0 with rho = 0).
// ENC_UVLC[u] for u = 0..32 gives the U-VLC prefix and suffix of u.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "htj2k/block/cxtvlc_rows.hpp"

namespace varnel::htj2k {

using EncVlcTable = std::array<std::uint16_t, 2048>;

namespace detail {

constexpr std::uint16_t enc_vlc_entry(const CxtVlcRow& r) {
  return static_cast<std::uint16_t>((r.cwd << 8) | (r.len << 4) | r.e_k);
}

// For emb = 0 a quad sends no U-VLC offset: the row with u_off = 0. For
// emb != 0 it sends one, and the row must announce only implied top bits
// that are right: (emb & e_k) == e_1. Of those rows the one that implies the
// most bits saves the most MagSgn bits.
constexpr EncVlcTable make_enc_vlc_table(std::uint8_t table) {
  EncVlcTable out{};
  for (const CxtVlcRow& r : CXTVLC_ROWS) {
    if (r.table != table) continue;
    const unsigned base = (static_cast<unsigned>(r.c_q) << 8) | (static_cast<unsigned>(r.rho) << 4);
    if (r.u_off == 0) {
      out[base] = enc_vlc_entry(r);
      continue;
    }
    for (unsigned emb = 1; emb < 16; ++emb) {
      if ((emb & r.rho) != emb || (emb & r.e_k) != r.e_1) continue;
      const std::uint16_t held = out[base | emb];
      if (held == 0 || std::popcount(static_cast<unsigned>(r.e_k)) > std::popcount(held & 0xFu))
        out[base | emb] = enc_vlc_entry(r);
    }
  }
  return out;
}

}  // namespace detail

inline constexpr EncVlcTable ENC_VLC_TBL0 = detail::make_enc_vlc_table(0);
inline constexpr EncVlcTable ENC_VLC_TBL1 = detail::make_enc_vlc_table(1);

// The same tables with 32-bit entries, for the gathers of the SIMD kernel
// families (enc_kernels.hpp).
using EncVlcTableWide = std::array<std::uint32_t, 2048>;

namespace detail {

constexpr EncVlcTableWide widened(const EncVlcTable& t) {
  EncVlcTableWide out{};
  for (std::size_t i = 0; i < t.size(); ++i) out[i] = t[i];
  return out;
}

}  // namespace detail

inline constexpr EncVlcTableWide ENC_VLC_TBL0_WIDE = detail::widened(ENC_VLC_TBL0);
inline constexpr EncVlcTableWide ENC_VLC_TBL1_WIDE = detail::widened(ENC_VLC_TBL1);

// One U-VLC value as sent: prefix then suffix, each least significant bit
// first (the U-VLC code of T.814).
struct UvlcCode {
  std::uint8_t prefix;
  std::uint8_t prefix_len;
  std::uint8_t suffix;
  std::uint8_t suffix_len;
};

inline constexpr std::size_t UVLC_MAX = 32;

namespace detail {

constexpr std::array<UvlcCode, UVLC_MAX + 1> make_enc_uvlc() {
  std::array<UvlcCode, UVLC_MAX + 1> out{};
  for (unsigned u = 0; u <= UVLC_MAX; ++u) {
    if (u == 0) out[u] = {0, 0, 0, 0};                                   // nothing
    else if (u == 1) out[u] = {1, 1, 0, 0};                              // "1"
    else if (u == 2) out[u] = {2, 2, 0, 0};                              // "01"
    else if (u <= 4) out[u] = {4, 3, static_cast<std::uint8_t>(u - 3), 1};  // "001" + 1 bit
    else out[u] = {0, 3, static_cast<std::uint8_t>(u - 5), 5};          // "000" + 5 bits
  }
  return out;
}

}  // namespace detail

inline constexpr std::array<UvlcCode, UVLC_MAX + 1> ENC_UVLC = detail::make_enc_uvlc();

// The U-VLC bits of a quad pair outside the initial quad row, both prefixes
// then both suffixes, indexed by u0 * 33 + u1: bits | count << 24.
using UvlcPairTable = std::array<std::uint32_t, (UVLC_MAX + 1) * (UVLC_MAX + 1)>;

namespace detail {

constexpr UvlcPairTable make_enc_uvlc_pair() {
  UvlcPairTable out{};
  for (unsigned u0 = 0; u0 <= UVLC_MAX; ++u0) {
    for (unsigned u1 = 0; u1 <= UVLC_MAX; ++u1) {
      const UvlcCode& a = ENC_UVLC[u0];
      const UvlcCode& b = ENC_UVLC[u1];
      unsigned at = 0;
      std::uint32_t bits = 0;
      for (auto [v, n] : {std::pair<unsigned, unsigned>{a.prefix, a.prefix_len},
                          {b.prefix, b.prefix_len}, {a.suffix, a.suffix_len},
                          {b.suffix, b.suffix_len}}) {
        bits |= v << at;
        at += n;
      }
      out[u0 * (UVLC_MAX + 1) + u1] = bits | at << 24;
    }
  }
  return out;
}

}  // namespace detail

inline constexpr UvlcPairTable ENC_UVLC_PAIR = detail::make_enc_uvlc_pair();

}  // namespace varnel::htj2k
