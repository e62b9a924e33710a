// varnel htj2k: bit readers of the HT block decoder.
//
// FwdReader reads a byte range upward, RevReader downward; both deliver bits
// least significant first through a 64-bit buffer that is topped up 32 bits
// at a time, and both drop the stuffed bits of T.814 (clause 7.3.4: the byte
// after 0xFF in a forward stream carries 7 bits; clause 7.3.5: in a backward
// stream a byte after one above 0x8F whose low 7 bits are all 1 carries 7).
// Past the end of their range they feed a fixed fill byte, so a short or
// damaged stream never makes them read outside their range.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnel::htj2k {

// Forward reader. Fill is the byte fed past the end: 0xFF for the MagSgn
// stream, 0 for the SigProp stream.
template <std::uint8_t Fill>
class FwdReader {
 public:
  FwdReader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) { refill(); }

  // Guarantees at least 32 bits in the buffer.
  inline void refill() {
    if (avail_ >= 32) return;
    if (end_ - p_ >= 4) {
      std::uint32_t w;
      std::memcpy(&w, p_, 4);
      w = le32(w);
      // No 0xFF byte among the four and none before them: 32 plain bits.
      const std::uint32_t nw = ~w;
      const bool has_ff = ((nw - 0x01010101u) & w & 0x80808080u) != 0;
      if (!last_ff_ && !has_ff) {
        bits_ |= std::uint64_t{w} << avail_;
        avail_ += 32;
        p_ += 4;
        return;
      }
    }
    while (avail_ < 32) push(p_ < end_ ? *p_++ : Fill);
  }

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

 private:
  static std::uint32_t le32(std::uint32_t w) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap32(w);
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
  std::uint64_t bits_ = 0;
  unsigned avail_ = 0;
  bool last_ff_ = false;
};

using MagSgnReader = FwdReader<0xFF>;
using SigPropReader = FwdReader<0x00>;

// Backward reader: reads `size` bytes from data[size - 1] down to data[0],
// then feeds 0 bytes.
class RevReader {
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

  // Guarantees at least 32 bits in the buffer.
  inline void refill() {
    while (avail_ < 32) {
      std::uint8_t b = 0;
      if (left_ > 0) b = base_[--left_];
      const unsigned stuffed = (unstuff_ && (b & 0x7Fu) == 0x7Fu) ? 1u : 0u;
      bits_ |= std::uint64_t{static_cast<std::uint8_t>(b & (0xFFu >> stuffed))} << avail_;
      avail_ += 8 - stuffed;
      unstuff_ = b > 0x8F;
    }
  }

  std::uint64_t peek() const { return bits_; }
  unsigned available() const { return avail_; }
  void skip(unsigned n) {
    bits_ >>= n;
    avail_ -= n;
  }
  std::uint32_t take(unsigned n) {
    const std::uint32_t v = static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << n) - 1));
    skip(n);
    return v;
  }

 private:
  RevReader(const std::uint8_t* base, std::size_t size, bool unstuff)
      : base_(base), left_(size), unstuff_(unstuff) {}

  const std::uint8_t* base_;
  std::size_t left_;
  std::uint64_t bits_ = 0;
  unsigned avail_ = 0;
  bool unstuff_;
};

}  // namespace varnel::htj2k
