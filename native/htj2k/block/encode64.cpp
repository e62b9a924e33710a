// varnel htj2k: the HT cleanup-pass encoder for 64-bit words (block64.hpp).
//
// The steps of encode.cpp in their plain form, one quad pair at a time:
// per-sample exponents E and MagSgn values v for the whole block first, then
// for each pair the two codewords and MEL events, the MagSgn bits of both
// quads and the pair's U-VLC bits, with the 4-bit extension for u > 32.
#include <algorithm>
#include <bit>
#include <iterator>

#include "htj2k/block/block64.hpp"
#include "htj2k/block/enc_tables.hpp"
#include "htj2k/block/encode.hpp"
#include "htj2k/block/mel.hpp"
#include "htj2k/block/streams.hpp"

namespace varnel::htj2k {
namespace {

constexpr std::size_t SLACK = 16;       // no writer checks its capacity
constexpr std::size_t PAD = 2;          // zero columns left of column 0
constexpr std::uint64_t MAGNITUDE = ~std::uint64_t{0} >> 1;

// One U-VLC value as sent: prefix, suffix and extension, each least
// significant bit first. Values up to 32 are ENC_UVLC's; above, the prefix
// "000" takes a suffix 28..31 and a 4-bit extension: u = 5 + suffix + 4 ext
// (the U-VLC code of T.814).
struct UvlcParts {
  std::uint32_t prefix, prefix_len, suffix, suffix_len, ext, ext_len;
};

UvlcParts uvlc_parts(unsigned u) {
  if (u <= UVLC_MAX) {
    const UvlcCode& c = ENC_UVLC[u];
    return {c.prefix, c.prefix_len, c.suffix, c.suffix_len, 0, 0};
  }
  return {0, 3, 28 + ((u - 33) & 3u), 5, (u - 33) >> 2, 4};
}

// The U-VLC bits of a quad pair: both prefixes, both suffixes, both
// extensions.
void put_uvlc_pair(VlcEncoder& vlc, unsigned u0, unsigned u1) {
  const UvlcParts a = uvlc_parts(u0), b = uvlc_parts(u1);
  vlc.put(a.prefix, a.prefix_len);
  vlc.put(b.prefix, b.prefix_len);
  vlc.put(a.suffix, a.suffix_len);
  vlc.put(b.suffix, b.suffix_len);
  vlc.put(a.ext, a.ext_len);
  vlc.put(b.ext, b.ext_len);
}

// The initial quad row's pair rule (see encode.cpp, uvlc_initial_pair).
void put_uvlc_initial_pair(VlcEncoder& vlc, unsigned u0, unsigned u1) {
  if (u0 > 2 && u1 > 2) return put_uvlc_pair(vlc, u0 - 2, u1 - 2);
  if (u0 > 2 && u1 > 0) {
    const UvlcParts a = uvlc_parts(u0);
    vlc.put(a.prefix, a.prefix_len);
    vlc.put(u1 - 1, 1);
    vlc.put(a.suffix, a.suffix_len);
    vlc.put(a.ext, a.ext_len);
    return;
  }
  put_uvlc_pair(vlc, u0, u1);
}

unsigned nonzero(unsigned a) { return a != 0 ? 1u : 0u; }

// The rows of one quad row in the padded E and v arrays: top, bottom and the
// bottom row of the quad row above (null for the initial row).
struct QuadRow {
  const std::uint8_t *et, *eb, *ep;
  const std::uint64_t *vt, *vb;
};

}  // namespace

Result<std::size_t> WideBlockEncoder::encode(std::span<const std::uint64_t> samples,
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
  if (missing_msbs >= 62)
    return std::unexpected(invalid("missing_msbs must be < 62 for the 64-bit datapath"));

  const unsigned p = 62 - missing_msbs;
  const std::size_t qw = (width + 1) / 2, qh = (height + 1) / 2, quads = qw * qh;
  // Rows of 2 qw samples with PAD zero columns on the left and two on the
  // right; an odd last row is followed by a zero row.
  const std::size_t rs = PAD + 2 * qw + 2;
  exps_.assign(2 * qh * rs, 0);
  vals_.assign(2 * qh * rs, 0);
  for (std::size_t y = 0; y < height; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint64_t w = samples[y * stride + x];
      const std::uint64_t mu = (w & MAGNITUDE) >> p;
      if (mu == 0) continue;
      vals_[y * rs + PAD + x] = 2 * (mu - 1) + (w >> 63);
      exps_[y * rs + PAD + x] = static_cast<std::uint8_t>(std::bit_width(2 * mu - 1));
    }
  }
  // Worst cases: 63 MagSgn bits a sample; a quad pair 14 codeword bits, 24
  // U-VLC bits and 3 MEL events of at most 6 bits (4 per quad counted); 7
  // useful bits a byte.
  const std::size_t need_magsgn = width * height * 63 / 7 + SLACK;
  if (magsgn_.size() < need_magsgn) magsgn_.resize(need_magsgn);
  if (mel_.size() < quads * 12 / 7 + SLACK) mel_.resize(quads * 12 / 7 + SLACK);
  if (vlc_.size() < quads * 19 / 7 + SLACK) vlc_.resize(quads * 19 / 7 + SLACK);

  MagSgnWriter magsgn(magsgn_.data());
  MelEncoder mel(mel_.data());
  VlcEncoder vlc(vlc_.data());
  for (std::size_t r = 0; r < qh; ++r) {
    const std::size_t top = 2 * r * rs + PAD;
    const QuadRow row{exps_.data() + top, exps_.data() + top + rs,
                      r > 0 ? exps_.data() + top - rs : nullptr, vals_.data() + top,
                      vals_.data() + top + rs};
    const EncVlcTable& table = r == 0 ? ENC_VLC_TBL0 : ENC_VLC_TBL1;
    for (std::size_t j = 0; j < qw; j += 2) {
      unsigned u[2] = {0, 0};
      for (std::size_t k = 0; k < 2 && j + k < qw; ++k) {
        const auto x = static_cast<std::ptrdiff_t>(2 * (j + k));  // columns -2, -1 are read
        const unsigned e[4] = {row.et[x], row.eb[x], row.et[x + 1], row.eb[x + 1]};
        const std::uint64_t v[4] = {row.vt[x], row.vb[x], row.vt[x + 1], row.vb[x + 1]};
        unsigned rho = 0, e_max = 0;
        for (unsigned n = 0; n < 4; ++n) {
          rho |= nonzero(e[n]) << n;
          e_max = std::max(e_max, e[n]);
        }
        unsigned c = 0, kappa = 1;
        if (r == 0) {
          c = nonzero(row.et[x - 2] | row.eb[x - 2]) | nonzero(row.et[x - 1]) << 1 |
              nonzero(row.eb[x - 1]) << 2;
        } else {
          const unsigned n0 = std::max(row.ep[x - 1], row.ep[x]);
          const unsigned n1 = std::max(row.ep[x + 1], row.ep[x + 2]);
          c = nonzero(n0) | nonzero(row.et[x - 1] | row.eb[x - 1]) << 1 | nonzero(n1) << 2;
          if (std::popcount(rho) >= 2) kappa = std::max(std::max(n0, n1), 2u) - 1;
        }
        const unsigned big_u = std::max(e_max, kappa);
        u[k] = big_u - kappa;
        unsigned emb = 0;
        if (u[k] != 0)
          for (unsigned n = 0; n < 4; ++n) emb |= static_cast<unsigned>(e[n] == e_max) << n;
        const unsigned entry = table[c << 8 | rho << 4 | emb];
        vlc.put(entry >> 8, (entry >> 4) & 7u);
        if (c == 0) mel.encode(rho != 0);
        const unsigned e_k = entry & 0xFu;
        for (unsigned n = 0; n < 4; ++n) {
          if ((rho >> n & 1u) == 0) continue;
          // Up to 63 bits (missing_msbs 61); the writer takes 56 at a time.
          const unsigned m = big_u - (e_k >> n & 1u);
          const std::uint64_t bits = v[n] & ((std::uint64_t{1} << m) - 1);
          if (m > 32) {
            magsgn.put(bits & 0xFFFFFFFFu, 32);
            magsgn.put(bits >> 32, m - 32);
          } else {
            magsgn.put(bits, m);
          }
        }
      }
      if (r == 0) {
        if (u[0] > 0 && u[1] > 0) mel.encode(std::min(u[0], u[1]) > 2);
        put_uvlc_initial_pair(vlc, u[0], u[1]);
      } else {
        put_uvlc_pair(vlc, u[0], u[1]);
      }
    }
  }

  vlc.terminate_with_mel(mel);
  const std::size_t magsgn_len = magsgn.finish();
  return append_cleanup_segment(out, {magsgn_.data(), magsgn_len}, {mel_.data(), mel.size()},
                                {vlc_.data(), vlc.size()});
}

}  // namespace varnel::htj2k
