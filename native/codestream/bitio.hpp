// varnel codestream: bit I/O of packet headers (T.800 B.10.1).
//
// Bits are packed most significant first. After a byte 0xFF the next byte
// carries only seven bits, its most significant bit being 0, so that no
// marker code can appear inside a packet header. The writer appends to a
// byte vector; the reader works on untrusted bytes and reports running out
// of data as the Malformed error "packet header truncated".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::codestream {

class HeaderBitWriter {
 public:
  explicit HeaderBitWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void put_bit(unsigned bit);
  // The low n bits of v (n <= 32), most significant first.
  void put_bits(std::uint32_t v, unsigned n);
  // `n` one bits followed by a zero bit.
  void put_ones_then_zero(unsigned n);

  // Ends the header on a byte boundary: appends the partly filled byte
  // (zero-padded) if it holds any bit, or a 0x00 when the last full byte was
  // 0xFF (that byte must be followed by a 7-bit byte). Call once.
  void flush();

 private:
  std::vector<std::uint8_t>& out_;
  unsigned acc_ = 0;        // bits of the byte being filled, right-aligned
  unsigned used_ = 0;       // bits in acc_
  unsigned capacity_ = 8;   // 8, or 7 after a 0xFF
};

class HeaderBitReader {
 public:
  // Reads data[start...]; errors report `base + byte position in data`.
  HeaderBitReader(std::span<const std::uint8_t> data, std::size_t start, std::uint64_t base)
      : data_(data), pos_(start <= data.size() ? start : data.size()), base_(base) {}

  Result<std::uint32_t> read_bit();
  // n bits (n <= 32), most significant first.
  Result<std::uint32_t> read_bits(unsigned n);

  // Position after the last byte the reader has loaded.
  std::size_t position() const { return pos_; }
  // Whether the last loaded byte was 0xFF (then a stuffing byte follows).
  bool last_was_ff() const { return last_ff_; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  std::uint64_t base_ = 0;
  unsigned cur_ = 0;     // current byte
  unsigned left_ = 0;    // its bits not yet read
  bool last_ff_ = false;
};

}  // namespace varnel::codestream
