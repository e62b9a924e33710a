// varnel htj2k: the MEL encoder, the adaptive run-length coder of the HT
// cleanup pass (T.814 MEL). Bits are packed most significant first;
// a byte after 0xFF carries 7 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace varnel::htj2k {

// MEL exponent table: state k codes runs of up to 2^MEL_E[k] zero events.
inline constexpr std::array<std::uint8_t, 13> MEL_E = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};

class MelEncoder {
 public:
  // `buf` must hold the block's bound (see encode.cpp).
  explicit MelEncoder(std::uint8_t* buf) : buf_(buf) {}

  void encode(bool event) {
    if (!event) {
      if (++run_ < threshold_) return;
      put_bit(1);
      run_ = 0;
      k_ = k_ < 12 ? k_ + 1 : 12;
    } else {
      put_bit(0);
      for (int i = MEL_E[k_] - 1; i >= 0; --i) put_bit((run_ >> i) & 1);
      run_ = 0;
      k_ = k_ > 0 ? k_ - 1 : 0;
    }
    threshold_ = 1u << MEL_E[k_];
  }

  // Ends an unfinished run with a 1 bit (the decoder reads it as a full
  // run) and returns the open byte, left-aligned, with the mask of the bits
  // that belong to MEL (0 when the byte is empty).
  struct Tail {
    std::uint8_t byte;
    std::uint8_t mask;
  };
  Tail finish() {
    if (run_ > 0) put_bit(1);
    return {static_cast<std::uint8_t>(tmp_ << free_), static_cast<std::uint8_t>(0xFFu << free_)};
  }

  std::size_t size() const { return pos_; }
  void append(std::uint8_t b) { buf_[pos_++] = b; }

 private:
  void put_bit(unsigned b) {
    tmp_ = (tmp_ << 1) | b;
    if (--free_ == 0) {
      buf_[pos_++] = static_cast<std::uint8_t>(tmp_);
      free_ = tmp_ == 0xFF ? 7 : 8;
      tmp_ = 0;
    }
  }

  std::uint8_t* buf_;
  std::size_t pos_ = 0;
  unsigned tmp_ = 0;
  unsigned free_ = 8;
  unsigned k_ = 0;
  unsigned run_ = 0;
  unsigned threshold_ = 1;
};

}  // namespace varnel::htj2k
