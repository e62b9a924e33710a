// varnel htj2k: bit readers of the HT block decoder.
//
// FwdReader reads a byte range upward, RevReader downward; both deliver bits
// least significant first through a 64-bit buffer that is topped up at least
// 32 bits at a time (eight bytes read at once when none of them needs
// unstuffing), and both drop the stuffed bits of T.814 (clause 7.3.4: the byte
// after 0xFF in a forward stream carries 7 bits; clause 7.3.5: in a backward
// stream a byte after one above 0x8F whose low 7 bits are all 1 carries 7).
// Past the end of their range they feed a fixed fill byte, so a short or
// damaged stream never makes them read outside their range.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

namespace varnel::htj2k {

#if defined(__wasm_simd128__)
// The eight bytes at p as a big-endian number. WebAssembly has no byte swap
// (it expands to some 30 shifts and masks); one byte shuffle does it.
inline std::uint64_t load_be64_simd128(const std::uint8_t* p) {
  const v128_t v = wasm_v128_load64_zero(p);
  return wasm_u64x2_extract_lane(
      wasm_i8x16_shuffle(v, v, 7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15), 0);
}
#endif

// The bit window both readers fill: bits least significant first, `avail_`
// of them valid. Readers refill it; consumers peek, skip and take.
class BitWindow {
 public:
  std::uint64_t peek() const { return bits_; }
  unsigned available() const { return avail_; }
  void skip(unsigned n) {
    bits_ >>= n;
    avail_ -= n;
  }
  // Reads n <= 32 bits (the caller refilled beforehand).
  std::uint32_t take(unsigned n) {
    const std::uint32_t v = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << n) - 1));
    skip(n);
    return v;
  }

 protected:
  std::uint64_t bits_ = 0;
  unsigned avail_ = 0;
};

// Forward reader. Fill is the byte fed past the end: 0xFF for the MagSgn
// stream, 0 for the SigProp stream.
template <std::uint8_t Fill>
class FwdReader : public BitWindow {
 public:
  FwdReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) { refill(); }

  // Guarantees at least 32 bits in the buffer.
  inline void refill() {
    if (avail_ >= 32) return;
    if (!fast_top_up()) slow_top_up(32);
  }
  // Guarantees at least 56 bits in the buffer; with eight plain bytes ahead
  // it runs without a data-dependent branch (the top-up may take no byte).
  inline void refill56() {
    if (!fast_top_up()) slow_top_up(56);
  }


 private:
  // Takes as many whole bytes as fit below bit 64 at once, provided eight
  // bytes remain and none of those taken is 0xFF or follows one.
  bool fast_top_up() {
    if (end_ - p_ < 8 || last_ff_) return false;
    std::uint64_t w;
    std::memcpy(&w, p_, 8);
    w = le64(w);
    const unsigned nbytes = (63 - avail_) >> 3;  // 0..7
    const std::uint64_t keep = (std::uint64_t{1} << (8 * nbytes)) - 1;
    // A 0xFF byte among those taken? (The lowest flagged byte of this
    // zero-byte test is always a true one, so masking keeps it exact.)
    const std::uint64_t ff = (~w - 0x0101010101010101ull) & w & 0x8080808080808080ull & keep;
    if (ff != 0) [[unlikely]]
      return false;
    bits_ |= (w & keep) << avail_;
    avail_ += 8 * nbytes;
    p_ += nbytes;
    return true;
  }
  void slow_top_up(unsigned target) {
    while (avail_ < target) push(p_ < end_ ? *p_++ : Fill);
  }
  static std::uint64_t le64(std::uint64_t w) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(w);
    return w;
  }
  void push(std::uint8_t b) {
    const unsigned stuffed = last_ff_ ? 1u : 0u;
    bits_ |= std::uint64_t{static_cast<std::uint8_t>(b & (0xFFu >> stuffed))} << avail_;
    avail_ += 8 - stuffed;
    last_ff_ = b == 0xFF;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool last_ff_ = false;
};

using MagSgnReader = FwdReader<0xFF>;

// The MagSgn stream with its stuffed bits dropped: writes the bits that a
// MagSgnReader over src[0, size) delivers, least significant first, to dst,
// then 1 bits (what the reader's 0xFF fill amounts to) up to a byte boundary
// and UNSTUFF_PAD bytes of 0xFF. dst must hold size + UNSTUFF_PAD bytes.
// Returns the index of the first byte of the padding: every bit from there on
// is 1, so a window read at byte min(pos / 8, that index) holds the bits of
// any position pos, and bit positions never need a range check. Always
// inlined: the AVX2 and AVX-512 kernels both use it, and an out-of-line copy
// compiled for one instruction set must not serve the other.
inline constexpr std::size_t UNSTUFF_PAD = 16;

[[gnu::always_inline]] inline std::size_t unstuff_magsgn(const std::uint8_t* src, std::size_t size,
                                                         std::uint8_t* dst) {
  std::uint8_t* d = dst;
  std::uint64_t acc = 0;  // pending bits, fewer than 8 between steps
  unsigned nb = 0;
  bool last_ff = false;
  std::size_t i = 0;
  while (i < size) {
    if (size - i >= 8 && !last_ff) {
      std::uint64_t w;
      std::memcpy(&w, src + i, 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
      // Seven bytes at once when none of them is 0xFF (none then carries a
      // stuffed bit, and the byte after them follows no 0xFF).
      const std::uint64_t ff =
          (~w - 0x0101010101010101ull) & w & 0x0080808080808080ull;
      if (ff == 0) [[likely]] {
        acc |= (w & 0x00FFFFFFFFFFFFFFull) << nb;
        nb += 56;
        std::uint64_t out = acc;
        if constexpr (std::endian::native == std::endian::big) out = __builtin_bswap64(out);
        std::memcpy(d, &out, 8);
        d += nb >> 3;
        acc = (nb >= 64) ? 0 : acc >> (nb & ~7u);
        nb &= 7u;
        i += 7;
        continue;
      }
    }
    const std::uint8_t b = src[i++];
    const unsigned n = last_ff ? 7u : 8u;
    acc |= std::uint64_t{static_cast<std::uint8_t>(b & (0xFFu >> (8 - n)))} << nb;
    nb += n;
    last_ff = b == 0xFF;
    if (nb >= 8) {
      *d++ = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      nb -= 8;
    }
  }
  if (nb > 0) *d++ = static_cast<std::uint8_t>(acc | (0xFFu << nb));
  std::memset(d, 0xFF, UNSTUFF_PAD);
  return static_cast<std::size_t>(d - dst);
}
using SigPropReader = FwdReader<0x00>;

// Backward reader: reads `size` bytes from data[size - 1] down to data[0],
// then feeds 0 bytes.
class RevReader : public BitWindow {
 public:
  // The VLC stream of a cleanup segment of length lcup >= 2 with suffix
  // length 2 <= scup <= lcup: it starts in the upper nibble of byte
  // lcup - 2 (3 bits when bits 4..6 are all 1, the 4th being a stuffed 0)
  // and goes on with bytes lcup - 3 down to lcup - scup.
  static RevReader vlc(const std::uint8_t* segment, std::size_t lcup, std::size_t scup) {
    const std::uint8_t first = segment[lcup - 2];
    RevReader r(segment + (lcup - scup), scup - 2, first > 0x8F);
    const unsigned nibble = first >> 4;
    if ((nibble & 7u) == 7u) {
      r.bits_ = nibble & 7u;
      r.avail_ = 3;
    } else {
      r.bits_ = nibble;
      r.avail_ = 4;
    }
    r.refill();
    return r;
  }

  // The MagRef stream: the whole refinement segment read from its end, as if
  // the byte before its last were above 0x8F.
  static RevReader magref(const std::uint8_t* data, std::size_t size) {
    RevReader r(data, size, true);
    r.refill();
    return r;
  }

  // Guarantees at least 32 bits in the buffer. Below that, with eight bytes
  // or more left and none of them stuffed, it tops the buffer up to 56..63
  // bits in one step.
  inline void refill() {
    if (avail_ >= 32) return;
    if (left_ >= 8) {
      // Eight bytes below the cursor, the next one to read in the low byte.
#if defined(__wasm_simd128__)
      const std::uint64_t w = load_be64_simd128(base_ + left_ - 8);
#else
      std::uint64_t w;
      std::memcpy(&w, base_ + left_ - 8, 8);
      if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
#endif
      const unsigned nbytes = (63 - avail_) >> 3;  // 0..7
      const std::uint64_t keep = (std::uint64_t{1} << (8 * nbytes)) - 1;
      // No byte among those taken has its 7 low bits all 1: none is stuffed,
      // whatever precedes it.
      const std::uint64_t x = ~(w | 0x8080808080808080ull);
      const std::uint64_t ones = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull & keep;
      if (ones == 0) [[likely]] {
        bits_ |= (w & keep) << avail_;
        avail_ += 8 * nbytes;
        left_ -= nbytes;
        const std::uint64_t last = (w << 8) >> (8 * nbytes);  // byte nbytes - 1, or 0
        unstuff_ = nbytes ? (last & 0xFFu) > 0x8F : unstuff_;
        return;
      }
    }
    if (avail_ >= 32) return;
    while (avail_ < 32) {
      std::uint8_t b = 0;
      if (left_ > 0) b = base_[--left_];
      const unsigned stuffed = (unstuff_ && (b & 0x7Fu) == 0x7Fu) ? 1u : 0u;
      bits_ |= std::uint64_t{static_cast<std::uint8_t>(b & (0xFFu >> stuffed))} << avail_;
      avail_ += 8 - stuffed;
      unstuff_ = b > 0x8F;
    }
  }


 private:
  RevReader(const std::uint8_t* base, std::size_t size, bool unstuff)
      : base_(base), left_(size), unstuff_(unstuff) {}

  const std::uint8_t* base_;
  std::size_t left_;
  bool unstuff_;
};

}  // namespace varnel::htj2k
