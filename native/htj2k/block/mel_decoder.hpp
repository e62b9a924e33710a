// varnel htj2k: the MEL decoder of the HT cleanup pass (T.814 clause 7.3.3).
//
// The MEL stream carries the adaptive run-length coded significance events of
// quads in context 0 (and, in the initial quad row, the pair event for two
// U-VLC offsets). Its bytes are read forward, most significant bit first;
// a byte after 0xFF carries 7 bits; the last byte of the range shares its low
// nibble with the Scup field and is read with that nibble set; past the range
// 0xFF bytes are fed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel::htj2k {

// Exponents of the MEL state machine: a full run in state k is 2^MEL_EXP[k]
// zero events.
inline constexpr std::uint8_t MEL_EXP[13] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};

class MelDecoder {
 public:
  // data: the MEL bytes of the segment (Scup - 1 of them, size >= 1).
  MelDecoder(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  // The next run: 2 * zeros + 1 for a run of `zeros` 0 events closed by a 1
  // event, 2 * (zeros - 1) for a full run of zeros = 2^MEL_EXP[k] 0 events.
  int get_run() {
    if (avail_ < 8) refill();
    const unsigned e = MEL_EXP[k_];
    const bool full = (bits_ >> 63) != 0;
    bits_ <<= 1;
    --avail_;
    if (full) {
      if (k_ < 12) ++k_;
      return 2 * ((1 << e) - 1);
    }
    unsigned r = 0;
    if (e > 0) {
      r = static_cast<unsigned>(bits_ >> (64 - e));
      bits_ <<= e;
      avail_ -= e;
    }
    if (k_ > 0) --k_;
    return 2 * static_cast<int>(r) + 1;
  }

  // One MEL event (0 or 1), consuming runs as they run out.
  bool event() {
    if (run_ < 0) run_ = get_run();
    run_ -= 2;
    return run_ == -1;
  }

 private:
  // Tops the buffer up to more than 56 bits, one byte at a time.
  void refill() {
    while (avail_ <= 56) {
      std::uint8_t b = 0xFF;
      if (p_ < end_) {
        b = *p_++;
        if (p_ == end_) b |= 0x0F;  // low nibble belongs to Scup
      }
      const unsigned n = last_ff_ ? 7u : 8u;
      const std::uint64_t v = last_ff_ ? (b & 0x7Fu) : b;
      bits_ |= v << (64 - avail_ - n);
      avail_ += n;
      last_ff_ = b == 0xFF;
    }
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  std::uint64_t bits_ = 0;  // most significant bit is the next bit
  unsigned avail_ = 0;
  unsigned k_ = 0;
  bool last_ff_ = false;
  int run_ = -1;
};

}  // namespace varnel::htj2k
