// varnel htj2k: the two bit writers of the HT cleanup segment besides MEL.
//
//   MagSgnWriter  forward, least significant bit first; a byte after 0xFF
//                 carries 7 bits (its bit 7 is a stuffed 0).
//   VlcEncoder    least significant bit first, built forward and reversed
//                 once at the end; after a byte above 0x8F, seven 1 bits are
//                 sent as the byte 0x7F (T.814 VLC bit stuffing).
//
// VlcEncoder::terminate_with_mel ends the VLC and MEL streams together;
// append_cleanup_segment lays the three finished streams out as a segment.
// Both writers gather bits in a 64-bit register and write whole bytes into a buffer
// the caller has sized for the block (see the bounds in encode.cpp); neither
// checks capacity in the hot path.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "htj2k/block/mel.hpp"

namespace varnel::htj2k {

static_assert(std::endian::native == std::endian::little);

class MagSgnWriter {
 public:
  explicit MagSgnWriter(std::uint8_t* buf) : buf_(buf) {}

  // Appends the n low bits of `value` (value < 2^n, n <= 56) and writes the
  // completed bytes. Fewer than 8 bits are pending between calls, so the
  // completed bytes are at most 7 and go out in one 8-byte store (the buffer
  // has slack behind the stream), without a branch that depends on the
  // bit counts; only when stuffing applies to them (an 0xFF among them, or
  // before them) do they go byte by byte.
  void put(std::uint64_t value, unsigned n) {
    acc_ |= value << bits_;
    bits_ += n;
    const unsigned nb = bits_ >> 3;  // <= 7
    const std::uint64_t y = ~acc_;
    // High bit of each byte of acc_ that is 0xFF (false alarms only above
    // a real one).
    const std::uint64_t ff = (y - 0x0101010101010101u) & ~y & 0x8080808080808080u;
    if ((last_ff_ | (ff & ((std::uint64_t{1} << (8 * nb)) - 1))) != 0) [[unlikely]] {
      while (bits_ >= 8 - last_ff_) emit_byte();
      return;
    }
    std::memcpy(buf_ + pos_, &acc_, 8);  // little-endian targets only
    pos_ += nb;
    acc_ >>= 8 * nb;
    bits_ &= 7;
  }

  // Pads the open byte with 1 bits and drops a final 0xFF (the reader fills
  // past the end with 0xFF, so neither carries information). Returns the
  // stream length in bytes.
  std::size_t finish() {
    unsigned cap = 8 - last_ff_;
    while (bits_ >= cap) {
      emit_byte();
      cap = 8 - last_ff_;
    }
    if (bits_ > 0) {
      const std::uint8_t b =
          static_cast<std::uint8_t>((acc_ | (~std::uint64_t{0} << bits_)) & ((1u << cap) - 1));
      if (b != 0xFF) buf_[pos_++] = b;
    } else if (last_ff_ != 0) {
      --pos_;
    }
    acc_ = 0;
    bits_ = 0;
    return pos_;
  }

 private:
  void emit_byte() {
    const unsigned cap = 8 - last_ff_;
    const std::uint8_t b = static_cast<std::uint8_t>(acc_ & ((1u << cap) - 1));
    buf_[pos_++] = b;
    acc_ >>= cap;
    bits_ -= cap;
    last_ff_ = b == 0xFF;
  }

  std::uint8_t* buf_;
  std::size_t pos_ = 0;
  std::uint64_t acc_ = 0;
  unsigned bits_ = 0;     // pending bits in acc_: < 8 between calls
  unsigned last_ff_ = 0;  // 1 when the last byte written was 0xFF
};

class VlcEncoder {
 public:
  // The stream starts with 0xFF and four 1 bits: together they are the
  // 12 bits that later hold Scup (T.814 segment layout).
  explicit VlcEncoder(std::uint8_t* buf) : buf_(buf) { buf_[0] = 0xFF; }

  // Appends the n low bits of `value` (n <= 32), least significant first,
  // and writes the completed bytes. Fewer than 8 bits are pending between
  // calls; the completed bytes (at most 4) go out in one 8-byte store unless
  // one of them has seven low 1 bits (only such a byte can be stuffed),
  // then byte by byte.
  void put(std::uint32_t value, unsigned n) {
    acc_ |= static_cast<std::uint64_t>(value) << bits_;
    bits_ += n;
    const unsigned nb = bits_ >> 3;  // <= 4
    const std::uint64_t y = ~(acc_ | 0x8080808080808080u);
    const std::uint64_t sevens = (y - 0x0101010101010101u) & ~y & 0x8080808080808080u;
    if ((sevens & ((std::uint64_t{1} << (8 * nb)) - 1)) != 0) [[unlikely]] {
      flush();
      return;
    }
    std::memcpy(buf_ + pos_, &acc_, 8);  // little-endian targets only
    pos_ += nb;
    acc_ >>= 8 * nb;
    bits_ &= 7;
  }

  // Writes every byte the stuffing rule has completed. Afterwards the open
  // byte holds open_bits() < 8 bits, in open_byte().
  void settle() {
    flush();
    if (last_big() && bits_ == 7 && (acc_ & 0x7F) == 0x7F) emit_byte();
  }
  unsigned open_bits() const { return bits_; }
  std::uint8_t open_byte() const { return static_cast<std::uint8_t>(acc_); }

  // Ends the MEL and VLC streams together. Their last bytes meet in the
  // middle of the segment suffix and share one byte when their bits do not
  // clash, the result is not 0xFF and the VLC stream holds more than its
  // first byte (T.814, termination of the MEL and VLC streams). Afterwards
  // both streams are complete in their buffers.
  void terminate_with_mel(MelEncoder& mel) {
    settle();
    const MelEncoder::Tail mel_tail = mel.finish();
    const auto vlc_mask = static_cast<std::uint8_t>((1u << bits_) - 1);
    const auto vlc_byte = static_cast<std::uint8_t>(acc_ & vlc_mask);
    acc_ = 0;
    bits_ = 0;
    if (mel_tail.mask == 0 && vlc_mask == 0) return;
    const auto fused = static_cast<std::uint8_t>(mel_tail.byte | vlc_byte);
    if (((fused ^ mel_tail.byte) & mel_tail.mask) == 0 && ((fused ^ vlc_byte) & vlc_mask) == 0 &&
        fused != 0xFF && pos_ >= 2) {
      mel.append(fused);
    } else {
      mel.append(mel_tail.byte);
      append(vlc_byte);
    }
  }
  std::size_t size() const { return pos_; }
  void append(std::uint8_t b) { buf_[pos_++] = b; }
  const std::uint8_t* data() const { return buf_; }

 private:
  // 1 when the last byte written was above 0x8F (the first, 0xFF, is).
  unsigned last_big() const { return buf_[pos_ - 1] > 0x8F; }
  void emit_byte() {
    const unsigned stuff = last_big() & ((acc_ & 0x7F) == 0x7F);
    const std::uint8_t b = static_cast<std::uint8_t>(acc_ & (0xFFu >> stuff));
    buf_[pos_++] = b;
    acc_ >>= 8 - stuff;
    bits_ -= 8 - stuff;
  }
  void flush() {
    while (bits_ >= 8) emit_byte();
  }
  std::uint8_t* buf_;
  std::size_t pos_ = 1;
  std::uint64_t acc_ = 0x0F;
  unsigned bits_ = 4;
};

// Appends the cleanup segment of finished streams to `out` (T.814 segment
// layout): MagSgn forward, then MEL, then the VLC bytes reversed, with Scup
// (the MEL and VLC bytes, 2..4079: a 12-bit field that counts the two bytes
// holding it) in the low nibble of the second-to-last byte and the last
// byte. Returns Lcup, the segment's length.
inline Result<std::size_t> append_cleanup_segment(std::vector<std::uint8_t>& out,
                                                  std::span<const std::uint8_t> magsgn,
                                                  std::span<const std::uint8_t> mel,
                                                  std::span<const std::uint8_t> vlc) {
  constexpr std::size_t scup_max = 4079;
  const std::size_t scup = mel.size() + vlc.size();
  if (scup < 2 || scup > scup_max)
    return std::unexpected(invalid("cleanup segment suffix out of range (Scup)"));
  const std::size_t lcup = magsgn.size() + scup;
  const std::size_t start = out.size();
  // Grow geometrically: callers append block after block to one buffer, and
  // an exact reserve would copy all of it for every block.
  if (out.capacity() - start < lcup) out.reserve(std::max(2 * out.capacity(), start + lcup));
  out.insert(out.end(), magsgn.begin(), magsgn.end());
  out.insert(out.end(), mel.begin(), mel.end());
  out.insert(out.end(), vlc.rbegin(), vlc.rend());
  out[start + lcup - 1] = static_cast<std::uint8_t>(scup >> 4);
  out[start + lcup - 2] = static_cast<std::uint8_t>((out[start + lcup - 2] & 0xF0) | (scup & 0x0F));
  return lcup;
}

}  // namespace varnel::htj2k
