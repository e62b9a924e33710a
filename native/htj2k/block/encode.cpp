// varnel htj2k: the HT cleanup-pass encoder (ITU-T T.814).
//
// One pass over the block, one quad row at a time, in four steps per row:
//   1. load: the two sample rows become per-sample exponents E and MagSgn
//      values v in small arrays, padded with insignificant columns on both
//      sides (and an insignificant row below an odd last row);
//   2. plan: the VLC code (codeword with its CxtVLC lookup, MEL event,
//      u_q) and the MagSgn info (U_q, e_k, rho) of every quad, all of which
//      follow from the arrays (contexts and kappa read the bottom row of
//      the quad row above) without any coding state;
//   3. the VLC and MEL streams: the codes of each quad pair and one U-VLC
//      lookup per pair;
//   4. the MagSgn stream: each quad's bits joined into one word, then
//      packing.
// Steps 1, 2 and the first half of 4 are the kernels of enc_kernels.hpp
// (SIMD families chosen once per process); only the bit writers run
// serially.
#include "htj2k/block/encode.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "htj2k/block/enc_kernels.hpp"
#include "htj2k/block/enc_tables.hpp"
#include "htj2k/block/mel.hpp"
#include "htj2k/block/streams.hpp"

namespace varnel::htj2k {
namespace {


// Slack behind every stream buffer, so no writer ever needs a capacity check.
constexpr std::size_t SLACK = 16;

void grow(std::vector<std::uint8_t>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
}

// Rows of sign-magnitude words (bit 31 the sign), coded magnitude
// (word & 0x7FFFFFFF) >> p.
struct WordRows {
  const std::uint32_t* src;
  std::size_t stride;
  unsigned p;
  // Returns 0: every word is codable.
  std::uint32_t load(const EncodeKernels& k, std::size_t y, std::size_t width, std::uint32_t* e,
                     std::uint32_t* v) const {
    k.load_words(src + y * stride, width, p, e, v);
    return 0;
  }
};

// Rows of two's-complement coefficients, coded magnitude |c|. They are
// usually a block of a large transformed plane, far from the cache, whose
// rows are too short for the hardware to prefetch: each load asks for the
// row PREFETCH_ROWS further down.
struct CoefficientRows {
  static constexpr std::size_t PREFETCH_ROWS = 4;
  const std::int32_t* src;
  std::size_t stride, height;
  // Returns the OR of the row's magnitudes.
  std::uint32_t load(const EncodeKernels& k, std::size_t y, std::size_t width, std::uint32_t* e,
                     std::uint32_t* v) const {
    if (y + PREFETCH_ROWS < height) {
      const auto* ahead = reinterpret_cast<const char*>(src + (y + PREFETCH_ROWS) * stride);
      for (std::size_t b = 0; b < width * sizeof(std::int32_t); b += 64)
        __builtin_prefetch(ahead + b);
      __builtin_prefetch(ahead + width * sizeof(std::int32_t) - 1);
    }
    return k.load_coefficients(src + y * stride, width, e, v);
  }
};

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

// Coding a planned row: codewords, MEL events and U-VLC bits of the row's
// quad pairs, from the plan's codes (enc_kernels.hpp). The codewords of a
// pair and its U-VLC bits (at most 30 bits) go to the VLC stream in one
// write. `code` has a zero entry past an odd count of quads.
template <bool Initial>
void emit_vlc_mel(std::size_t quads, const std::uint32_t* code, VlcEncoder& vlc_out,
                  MelEncoder& mel_out) {
  // Local copies, so that the writers' state stays in registers: their byte
  // stores could alias the members of the caller's objects.
  VlcEncoder vlc = vlc_out;
  MelEncoder mel = mel_out;
  for (std::size_t j = 0; j < quads; j += 2) {
    const std::uint32_t q0 = code[j], q1 = code[j + 1];
    if (q0 & QUAD_MEL) mel.encode((q0 & QUAD_MEL_EVENT) != 0);
    if (q1 & QUAD_MEL) mel.encode((q1 & QUAD_MEL_EVENT) != 0);
    const unsigned len0 = (q0 >> 12) & 7;
    const std::uint32_t bits = (q0 & 0xFF) | (q1 & 0xFF) << len0;
    const unsigned len = len0 + ((q1 >> 12) & 7);
    const unsigned u0 = q0 >> 16, u1 = q1 >> 16;
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
  vlc_out = vlc;
  mel_out = mel;
}

// Last step: the MagSgn bits of the row's quads. A significant sample sends
// the U_q low bits of v, one fewer when the codeword implies its top bit
// (its bit in e_k); insignificant samples send nothing. A quad of U_q <= 14
// sends at most 56 bits, which the kernel has joined into one word; larger
// ones (rare: deep planes) go sample by sample.
void emit_magsgn(std::size_t quads, const std::uint32_t* info, const std::uint32_t* vt,
                 const std::uint32_t* vb, const std::uint64_t* words, MagSgnWriter& ms_out) {
  MagSgnWriter ms = ms_out;  // in registers (see emit_vlc_mel)
  for (std::size_t j = 0; j < quads; ++j) {
    if ((info[j] & 0xFF) <= 14) {
      ms.put(words[j] & ((std::uint64_t{1} << 56) - 1), static_cast<unsigned>(words[j] >> 56));
      continue;
    }
    const std::uint32_t v[4] = {vt[2 * j], vb[2 * j], vt[2 * j + 1], vb[2 * j + 1]};
    for (unsigned n = 0; n < 4; ++n) {
      unsigned count = 0;
      std::uint32_t bits = 0;
      magsgn_sample(info[j], n, v[n], count, bits);
      ms.put(bits, count);
    }
  }
  ms_out = ms;
}

Result<void> check_geometry(std::size_t available, std::size_t width, std::size_t height,
                            std::size_t stride) {
  if (width < 1 || width > MAX_BLOCK_SIDE || height < 1 || height > MAX_BLOCK_SIDE ||
      width * height > MAX_BLOCK_AREA)
    return std::unexpected(invalid("code-block dimensions must be 1..=1024 with area <= 4096"));
  std::size_t window = 0;
  if (stride < width || __builtin_mul_overflow(stride, height - 1, &window) ||
      __builtin_add_overflow(window, width, &window) || available < window)
    return std::unexpected(invalid("sample buffer too small for code-block geometry"));
  return ok();
}

}  // namespace

BlockEncoder::BlockEncoder() : kernels_(&encode_kernels()) {}
BlockEncoder::BlockEncoder(const EncodeKernels& kernels) : kernels_(&kernels) {}

Result<std::size_t> BlockEncoder::encode(std::span<const std::uint32_t> samples,
                                         std::size_t width, std::size_t height,
                                         std::size_t stride, std::uint32_t missing_msbs,
                                         std::vector<std::uint8_t>& out) {
  VARNEL_TRY(check_geometry(samples.size(), width, height, stride));
  if (missing_msbs >= 30)
    return std::unexpected(invalid("missing_msbs must be < 30 for the 32-bit datapath"));
  const WordRows rows{samples.data(), stride, 30 - missing_msbs};
  return encode_rows(&rows, width, height, false, 0, out);
}

Result<std::size_t> BlockEncoder::encode_coefficients(std::span<const std::int32_t> coefficients,
                                                      std::size_t width, std::size_t height,
                                                      std::size_t stride, std::uint32_t magb,
                                                      std::vector<std::uint8_t>& out) {
  VARNEL_TRY(check_geometry(coefficients.size(), width, height, stride));
  if (magb < 1 || magb > 30)
    return std::unexpected(invalid("M_b must be 1..=30 for the 32-bit datapath"));
  const CoefficientRows rows{coefficients.data(), stride, height};
  // |c| < 2^magb: no magnitude bit from magb up.
  return encode_rows(&rows, width, height, true, ~((std::uint32_t{1} << magb) - 1), out);
}

template <class Rows>
Result<std::size_t> BlockEncoder::encode_rows(const Rows* rows, std::size_t width,
                                              std::size_t height, bool skip_empty,
                                              std::uint32_t excess,
                                              std::vector<std::uint8_t>& out) {
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
  // v bottom), zero in their ENC_ROW_LEAD columns on the left and past the
  // width, then the per-quad arrays (code, info, MagSgn words), with the
  // padding the kernels ask for (enc_kernels.hpp).
  const std::size_t row = ENC_ROW_LEAD + 2 * qw + ENC_ROW_TAIL;
  const std::size_t padded = qw + ENC_QUAD_TAIL;
  if (rows_.size() < 5 * row + 2 * padded) rows_.resize(5 * row + 2 * padded);
  std::memset(rows_.data(), 0, 5 * row * sizeof(std::uint32_t));
  std::uint32_t* et = rows_.data() + ENC_ROW_LEAD;
  std::uint32_t* eb = et + row;
  std::uint32_t* ep = eb + row;
  std::uint32_t* vt = ep + row;
  std::uint32_t* vb = vt + row;
  std::uint32_t* code = rows_.data() + 5 * row;
  std::uint32_t* info = code + padded;
  if (words_.size() < padded) words_.resize(padded);

  const EncodeKernels& k = *kernels_;
  MagSgnWriter magsgn(magsgn_.data());
  MelEncoder mel(mel_.data());
  VlcEncoder vlc(vlc_.data());
  // OR of the magnitudes the rows report (coefficients only): 0 when no
  // sample is significant, a bit of `excess` set when one is too large.
  std::uint32_t any = 0;
  for (std::size_t r = 0; r < qh; ++r) {
    const std::size_t y = 2 * r;
    std::swap(eb, ep);
    any |= rows->load(k, y, width, et, vt);
    if (y + 1 < height) {
      any |= rows->load(k, y + 1, width, eb, vb);
    } else {
      std::memset(eb, 0, width * sizeof(std::uint32_t));
      std::memset(vb, 0, width * sizeof(std::uint32_t));
    }
    // Before the rows are coded: a larger magnitude has exponents beyond
    // the code tables.
    if ((any & excess) != 0)
      return std::unexpected(invalid("coefficient magnitude not below 2^M_b"));
    k.plan(qw, et, eb, r == 0 ? nullptr : ep, code, info);
    code[qw] = 0;  // the missing partner of an odd last quad
    if (r == 0)
      emit_vlc_mel<true>(qw, code, vlc, mel);
    else
      emit_vlc_mel<false>(qw, code, vlc, mel);
    k.magsgn_words(qw, info, vt, vb, words_.data());
    emit_magsgn(qw, info, vt, vb, words_.data(), magsgn);
  }
  if (skip_empty && any == 0) return 0;

  vlc.terminate_with_mel(mel);
  const std::size_t magsgn_len = magsgn.finish();
  return append_cleanup_segment(out, {magsgn_.data(), magsgn_len}, {mel_.data(), mel.size()},
                                {vlc_.data(), vlc.size()});
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
