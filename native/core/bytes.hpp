// varnel core: bounds-checked byte cursors for untrusted input and a small
// appending writer. Big-endian accessors serve the codestream (the
// standard's byte order); little-endian ones serve the chunk container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace varnel {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes, std::size_t pos = 0)
      : bytes_(bytes), pos_(pos <= bytes.size() ? pos : bytes.size()) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }
  std::span<const std::uint8_t> data() const { return bytes_; }

  // Each read returns nothing (and leaves the position alone) when fewer
  // bytes remain than it needs.
  std::optional<std::uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return bytes_[pos_++];
  }
  std::optional<std::uint16_t> u16() { return be<std::uint16_t, 2>(); }
  std::optional<std::uint32_t> u32() { return be<std::uint32_t, 4>(); }
  std::optional<std::uint16_t> u16le() { return le<std::uint16_t, 2>(); }
  std::optional<std::uint32_t> u32le() { return le<std::uint32_t, 4>(); }
  std::optional<std::uint64_t> u64le() { return le<std::uint64_t, 8>(); }

  // The next `n` bytes as a view, advancing past them.
  std::optional<std::span<const std::uint8_t>> take(std::size_t n) {
    if (remaining() < n) return std::nullopt;
    auto s = bytes_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  bool skip(std::size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

 private:
  template <class T, std::size_t N>
  std::optional<T> be() {
    if (remaining() < N) return std::nullopt;
    T v = 0;
    for (std::size_t i = 0; i < N; ++i) v = static_cast<T>((v << 8) | bytes_[pos_ + i]);
    pos_ += N;
    return v;
  }
  template <class T, std::size_t N>
  std::optional<T> le() {
    if (remaining() < N) return std::nullopt;
    T v = 0;
    for (std::size_t i = 0; i < N; ++i) v |= static_cast<T>(static_cast<T>(bytes_[pos_ + i]) << (8 * i));
    pos_ += N;
    return v;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// Appends integers to a byte vector it does not own.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(v); }
  void u16(std::uint16_t v) { be(v, 2); }
  void u32(std::uint32_t v) { be(v, 4); }
  void u16le(std::uint16_t v) { le(v, 2); }
  void u32le(std::uint32_t v) { le(v, 4); }
  void u64le(std::uint64_t v) { le(v, 8); }
  void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  std::size_t size() const { return out_.size(); }

 private:
  void be(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void le(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t>& out_;
};

}  // namespace varnel
