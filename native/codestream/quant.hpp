// varnel codestream: quantization parameters (the QCD segment) and the
// magnitude bit-plane counts they imply.
//
// The codec is lossless, so `Quant::reversible` only chooses guard bits and
// one exponent per subband (T.800 Annex E, reversible path). The entries are
// in QCD order: LL of resolution 0, then HL, LH, HH of each resolution
// 1..=N_L. A subband may need M_b = G + max(eps_b - 1, 0) magnitude
// bit-planes; K_max is the largest M_b of a codestream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::codestream {

inline constexpr std::uint8_t kQuantNone = 0;       // Sqcd style: exponents only
inline constexpr std::uint8_t kQuantExpounded = 2;  // Sqcd style: 16-bit SPqcd words

struct Quant {
  // Style 0: eps_b itself (0..=31). Style 2: the SPqcd word as stored
  // (eps_b in bits 11-15, mantissa in bits 0-10).
  std::vector<std::uint16_t> steps;
  std::uint8_t guard_bits = 1;  // G
  std::uint8_t style = kQuantNone;

  // Parameters for N_L = `levels` (at most 33) and samples of `depth + extra`
  // bits: style 0, 3 N_L + 1 entries, M_b = nominal range - 1 per subband.
  // InvalidArgument "more than 33 decomposition levels" or "bit depth +
  // wavelet gain exceeds the 38-bit J2K bound".
  static Result<Quant> reversible(std::uint8_t levels, std::uint8_t depth, std::uint8_t extra);

  // Sqcd = style | G << 5 (each kept to its field), then one byte eps << 3
  // per entry (style 0) or one big-endian word per entry (any other style).
  std::vector<std::uint8_t> to_bytes() const;
  static Result<Quant> parse(std::span<const std::uint8_t> payload, std::uint64_t at);

  // eps_b of entry `index` (the last entry for an index past the end; 0 for
  // an empty list).
  std::uint32_t exponent(std::size_t index) const;
  // M_b of entry `index`: G + max(eps_b - 1, 0).
  std::uint32_t entry_magb(std::size_t index) const;
  // M_b of the subband of `kind` (0 LL, 1 HL, 2 LH, 3 HH) at `resolution`:
  // entry 0 for resolution 0, entry 3 (r - 1) + kind above it.
  std::uint32_t band_magb(std::uint8_t resolution, std::uint8_t kind) const;
  // K_max: the largest M_b over all entries, 0 for an empty list.
  std::uint32_t magb() const;

  bool operator==(const Quant&) const = default;
};

// The deepest K_max the 32-bit HT datapath holds: a coefficient's magnitude
// and sign in one 32-bit word, with a bit-plane to spare for the decoder's
// half step. Deeper codestreams (32-bit samples after the wavelet's gain,
// up to the 37 bit-planes a QCD can declare) take the 64-bit datapath.
inline constexpr std::uint32_t kMaxNarrowMagb = 30;
inline bool needs_wide_datapath(const Quant& q) { return q.magb() > kMaxNarrowMagb; }

// The QCD entry index of a subband (see band_magb).
constexpr std::size_t quant_entry_index(std::uint8_t resolution, std::uint8_t kind) {
  return resolution == 0 ? 0 : 3 * (static_cast<std::size_t>(resolution) - 1) + kind;
}

}  // namespace varnel::codestream
