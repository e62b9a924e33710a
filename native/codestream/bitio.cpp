#include "codestream/bitio.hpp"

namespace varnel::codestream {

void HeaderBitWriter::put_bit(unsigned bit) {
  acc_ = (acc_ << 1) | (bit & 1u);
  if (++used_ == capacity_) {
    const auto byte = static_cast<std::uint8_t>(acc_);
    out_.push_back(byte);
    // T.800 B.10.1: the byte after a 0xFF carries seven bits (MSB zero).
    capacity_ = byte == 0xFF ? 7 : 8;
    acc_ = 0;
    used_ = 0;
  }
}

void HeaderBitWriter::put_bits(std::uint32_t v, unsigned n) {
  for (unsigned i = n; i-- > 0;) put_bit((v >> i) & 1u);
}

void HeaderBitWriter::put_ones_then_zero(unsigned n) {
  for (unsigned i = 0; i < n; ++i) put_bit(1);
  put_bit(0);
}

void HeaderBitWriter::flush() {
  if (used_ > 0) {
    out_.push_back(static_cast<std::uint8_t>(acc_ << (capacity_ - used_)));
  } else if (capacity_ == 7) {
    out_.push_back(0x00);  // a header never ends on a 0xFF
  }
  acc_ = 0;
  used_ = 0;
  capacity_ = 8;
}

Result<std::uint32_t> HeaderBitReader::read_bit() {
  if (left_ == 0) {
    if (pos_ >= data_.size()) {
      return std::unexpected(malformed(base_ + pos_, "packet header truncated"));
    }
    cur_ = data_[pos_++];
    left_ = last_ff_ ? 7 : 8;  // the MSB after a 0xFF is a stuffed zero
    last_ff_ = cur_ == 0xFF;
  }
  --left_;
  return (cur_ >> left_) & 1u;
}

Result<std::uint32_t> HeaderBitReader::read_bits(unsigned n) {
  std::uint32_t v = 0;
  for (unsigned i = 0; i < n; ++i) {
    VARNEL_ASSIGN_OR_RETURN(auto bit, read_bit());
    v = (v << 1) | bit;
  }
  return v;
}

}  // namespace varnel::codestream
