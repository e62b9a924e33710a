// Test-only encoder of the two HT refinement passes (SigProp and MagRef,
// T.814 clause 7.4), written from the coding rules sample by sample, so the
// decoder's mask-based passes can be checked against it.
//
// The refinement segment is the SigProp stream (forward, least significant
// bit first, a byte after 0xFF holding 7 bits) followed by the MagRef stream
// (written in reading order and stored reversed: read backward from the
// segment's last byte, a byte after one above 0x8F whose 7 low bits are all 1
// holds those 7 bits only). Both pass over bit-plane p - 1, where the cleanup
// pass coded magnitude >> p, p = 30 - missing_msbs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace varnel::htj2k::testing {

class FwdBitWriter {
 public:
  void put(unsigned bit) {
    cur_ |= (bit & 1u) << used_;
    if (++used_ == cap_) flush_byte();
  }
  std::vector<std::uint8_t> finish() {
    if (used_ > 0) flush_byte();  // the reader feeds 0 bits past the end
    return bytes_;
  }

 private:
  void flush_byte() {
    bytes_.push_back(static_cast<std::uint8_t>(cur_));
    cap_ = cur_ == 0xFF ? 7 : 8;
    cur_ = 0;
    used_ = 0;
  }
  std::vector<std::uint8_t> bytes_;
  unsigned cur_ = 0, used_ = 0, cap_ = 8;
};

class RevBitWriter {
 public:
  void put(unsigned bit) {
    cur_ |= (bit & 1u) << used_;
    ++used_;
    if (used_ == 7 && stuff_ && cur_ == 0x7F) {
      emit();  // bit 7 is the stuffed 0
    } else if (used_ == 8) {
      emit();
    }
  }
  // Bytes in reading order (the segment stores them reversed).
  std::vector<std::uint8_t> finish() {
    if (used_ > 0) emit();  // padded with 0 bits: never seven 1s under the flag
    return bytes_;
  }

 private:
  void emit() {
    bytes_.push_back(static_cast<std::uint8_t>(cur_));
    stuff_ = cur_ > 0x8F;
    cur_ = 0;
    used_ = 0;
  }
  std::vector<std::uint8_t> bytes_;
  unsigned cur_ = 0, used_ = 0;
  bool stuff_ = true;  // the stream starts as if after a byte above 0x8F
};

struct Refinement {
  std::vector<std::uint8_t> segment;     // SigProp bytes, then MagRef bytes reversed
  std::vector<std::uint8_t> sigprop_new;  // width * height: 1 where SigProp set a sample
};

// The refinement segment for bit-plane p - 1 of the given sample words
// (sign-magnitude, sample (x, y) at samples[y * stride + x]); with_magref =
// false gives the SigProp stream alone (two coding passes).
inline Refinement encode_refinement(std::span<const std::uint32_t> samples,
                                                   std::size_t width, std::size_t height,
                                                   std::size_t stride,
                                                   std::uint32_t missing_msbs,
                                                   bool vertically_causal, bool with_magref) {
  const unsigned p = 30 - missing_msbs;
  auto mag = [&](std::size_t x, std::size_t y) { return samples[y * stride + x] & 0x7FFFFFFFu; };
  // Significance after the cleanup pass, and as the SigProp pass goes on.
  std::vector<std::uint8_t> cleanup(width * height), now(width * height);
  for (std::size_t y = 0; y < height; ++y)
    for (std::size_t x = 0; x < width; ++x)
      cleanup[y * width + x] = now[y * width + x] = (mag(x, y) >> p) != 0;

  auto significant_neighbour = [&](std::size_t x, std::size_t y, std::size_t stripe_end) {
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        if (dx == 0 && dy == 0) continue;
        const std::ptrdiff_t nx = static_cast<std::ptrdiff_t>(x) + dx;
        const std::ptrdiff_t ny = static_cast<std::ptrdiff_t>(y) + dy;
        if (nx < 0 || ny < 0 || nx >= static_cast<std::ptrdiff_t>(width) ||
            ny >= static_cast<std::ptrdiff_t>(height))
          continue;
        const std::size_t i = static_cast<std::size_t>(ny) * width + static_cast<std::size_t>(nx);
        if (static_cast<std::size_t>(ny) >= stripe_end) {
          // The row below the stripe is not coded yet: its cleanup
          // significance only, and none in the vertically causal mode.
          if (!vertically_causal && cleanup[i]) return true;
        } else if (now[i]) {
          return true;
        }
      }
    return false;
  };

  FwdBitWriter sp;
  for (std::size_t y0 = 0; y0 < height; y0 += 4) {
    const std::size_t y1 = std::min(y0 + 4, height);
    for (std::size_t x0 = 0; x0 < width; x0 += 4) {
      const std::size_t x1 = std::min(x0 + 4, width);
      std::vector<std::pair<std::size_t, std::size_t>> became;
      for (std::size_t x = x0; x < x1; ++x)
        for (std::size_t y = y0; y < y1; ++y) {
          if (now[y * width + x] || !significant_neighbour(x, y, y1)) continue;
          const unsigned bit = (mag(x, y) >> (p - 1)) & 1u;
          sp.put(bit);
          if (bit) {
            now[y * width + x] = 1;
            became.emplace_back(x, y);
          }
        }
      for (auto [x, y] : became) sp.put(samples[y * stride + x] >> 31);
    }
  }
  Refinement result;
  result.segment = sp.finish();
  result.sigprop_new.resize(width * height);
  for (std::size_t i = 0; i < width * height; ++i) result.sigprop_new[i] = now[i] && !cleanup[i];
  if (!with_magref) return result;

  RevBitWriter mr;
  for (std::size_t y0 = 0; y0 < height; y0 += 4) {
    const std::size_t y1 = std::min(y0 + 4, height);
    for (std::size_t x = 0; x < width; ++x)
      for (std::size_t y = y0; y < y1; ++y)
        if (cleanup[y * width + x]) mr.put((mag(x, y) >> (p - 1)) & 1u);
  }
  std::vector<std::uint8_t> magref = mr.finish();
  result.segment.reserve(result.segment.size() + magref.size());
  for (std::size_t i = magref.size(); i-- > 0;) result.segment.push_back(magref[i]);
  return result;
}

// What the decoder reconstructs from the cleanup pass at p plus the given
// number of passes (2: SigProp, 3: SigProp and MagRef) over bit-plane p - 1.
inline std::uint32_t expected_refined(std::uint32_t word, bool sigprop_member_set,
                                      unsigned passes, std::uint32_t missing_msbs) {
  const unsigned p = 30 - missing_msbs;
  const std::uint32_t m = word & 0x7FFFFFFFu, sign = word & 0x80000000u;
  const std::uint32_t mu = m >> p;
  if (mu != 0) {
    if (passes < 3) return sign | (mu << p) | (1u << (p - 1));
    return sign | (mu << p) | (m & (1u << (p - 1))) | (1u << (p - 2));
  }
  if (sigprop_member_set) return sign | (3u << (p - 2));
  return 0;
}

}  // namespace varnel::htj2k::testing
