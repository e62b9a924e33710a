// QCD parameters for the reversible path and the M_b / K_max rule
// (T.800 A.6.4 for the segment, E.1 for the bit-plane count).
#include "codestream/quant.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "core/bytes.hpp"

namespace varnel::codestream {
namespace {


constexpr std::size_t kMaxLevels = 33;

// Bits that the reversible 5/3 transform may add to a subband at
// decomposition level d (index d = 0 is unused). The LL band gains 2 bits,
// HL and LH 2 at the first level and 3 above, HH 2, then 3 up to level 5,
// then 4: the nominal ranges of the T.800 Annex E reversible path.
struct Gains {
  std::array<std::uint8_t, kMaxLevels + 1> ll{}, hl_lh{}, hh{};
};

constexpr Gains make_gains() {
  Gains g;
  for (std::size_t d = 1; d <= kMaxLevels; ++d) {
    g.ll[d] = 2;
    g.hl_lh[d] = d == 1 ? 2 : 3;
    g.hh[d] = d == 1 ? 2 : d <= 5 ? 3 : 4;
  }
  return g;
}

constexpr Gains kGains = make_gains();

}  // namespace

Result<Quant> Quant::reversible(std::uint8_t levels, std::uint8_t depth, std::uint8_t extra) {
  if (levels > kMaxLevels) return std::unexpected(invalid("more than 33 decomposition levels"));
  const unsigned d = unsigned{depth} + extra;

  // Nominal range v_b of each subband in QCD order.
  std::array<unsigned, 3 * kMaxLevels + 1> range{};
  std::size_t n = 0;
  if (levels == 0) {
    range[n++] = d + 1;
  } else {
    range[n++] = d + kGains.ll[levels];
    for (unsigned level = levels; level >= 1; --level) {
      range[n++] = d + kGains.hl_lh[level];  // HL
      range[n++] = d + kGains.hl_lh[level];  // LH
      range[n++] = d + kGains.hh[level];     // HH
    }
  }
  const unsigned vmax = *std::max_element(range.begin(), range.begin() + n);
  if (vmax >= 39)
    return std::unexpected(invalid("bit depth + wavelet gain exceeds the 38-bit J2K bound"));

  // Enough guard bits that every exponent fits the five bits of SPqcd.
  const unsigned guard = std::max(1u, vmax > 31 ? vmax - 31 : 0u);
  Quant q;
  q.guard_bits = static_cast<std::uint8_t>(guard);
  q.style = kQuantNone;
  q.steps.resize(n);
  for (std::size_t i = 0; i < n; ++i) q.steps[i] = static_cast<std::uint16_t>(range[i] - guard);
  return q;
}

std::vector<std::uint8_t> Quant::to_bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(1 + (style == kQuantNone ? 1 : 2) * steps.size());
  ByteWriter w(out);
  w.u8(static_cast<std::uint8_t>((style & 0x1F) | ((guard_bits & 0x07) << 5)));
  if (style == kQuantNone)
    for (std::uint16_t e : steps) w.u8(static_cast<std::uint8_t>((e & 0x1F) << 3));
  else
    for (std::uint16_t e : steps) w.u16(e);
  return out;
}

Result<Quant> Quant::parse(std::span<const std::uint8_t> payload, std::uint64_t at) {
  if (payload.empty()) return std::unexpected(malformed(at, "empty QCD payload"));
  Quant q;
  q.style = payload[0] & 0x1F;
  q.guard_bits = payload[0] >> 5;
  if (q.style != kQuantNone && q.style != kQuantExpounded)
    return std::unexpected(malformed(at, "unsupported quantization style (derived)"));
  const auto body = payload.subspan(1);
  if (q.style == kQuantExpounded && body.size() % 2 != 0)
    return std::unexpected(malformed(at, "odd-length expounded QCD payload"));

  if (q.style == kQuantNone) {
    q.steps.resize(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) q.steps[i] = body[i] >> 3;
  } else {
    q.steps.resize(body.size() / 2);
    for (std::size_t i = 0; i < q.steps.size(); ++i)
      q.steps[i] = static_cast<std::uint16_t>(body[2 * i] << 8 | body[2 * i + 1]);
  }
  if (q.steps.empty()) return std::unexpected(malformed(at, "QCD with no subband step sizes"));
  // Every K_max the segment can declare (G <= 7, eps_b <= 31: at most 37)
  // has a datapath: 32-bit words up to kMaxNarrowMagb, 64-bit words beyond.
  return q;
}

std::uint32_t Quant::exponent(std::size_t index) const {
  if (steps.empty()) return 0;
  const std::uint16_t e = steps[std::min(index, steps.size() - 1)];
  return style == kQuantNone ? e : e >> 11u;
}

std::uint32_t Quant::entry_magb(std::size_t index) const {
  const std::uint32_t e = exponent(index);
  return guard_bits + (e > 0 ? e - 1 : 0);
}

std::uint32_t Quant::band_magb(std::uint8_t resolution, std::uint8_t kind) const {
  return entry_magb(quant_entry_index(resolution, kind));
}

std::uint32_t Quant::magb() const {
  std::uint32_t k = 0;
  for (std::size_t i = 0; i < steps.size(); ++i) k = std::max(k, entry_magb(i));
  return k;
}

}  // namespace varnel::codestream
