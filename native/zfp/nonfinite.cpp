#include "zfp/nonfinite.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "zfp/walk.hpp"

namespace varnel::zfpc {
namespace {

static_assert(std::endian::native == std::endian::little, "the record's element bits are stored as they lie");

template <class T>
struct Float;
template <>
struct Float<float> {
  using U = std::uint32_t;
  using Sum = double;  // 256 floats never overflow it
  static constexpr U kMagnitude = 0x7fffffffu, kExponent = 0x7f800000u;
};
template <>
struct Float<double> {
  using U = std::uint64_t;
  using Sum = long double;  // wider exponent on x86 (and quad on aarch64): no overflow either
  static constexpr U kMagnitude = 0x7fffffffffffffffu, kExponent = 0x7ff0000000000000u;
};

template <class T>
bool non_finite(typename Float<T>::U u) {
  return (u & Float<T>::kMagnitude) >= Float<T>::kExponent;
}

template <class T>
typename Float<T>::U bits_at(const std::uint8_t* p) {
  typename Float<T>::U u;
  std::memcpy(&u, p, sizeof u);
  return u;
}

Extents extents_of_field(const FieldShape& shape) {
  Extents e;
  for (std::size_t i = 0; i < shape.dims(); ++i) e.n[i] = static_cast<std::size_t>(shape.axes[i]);
  e.dims = shape.dims();
  return e;
}

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

// Bits appended from the least significant bit of each byte.
struct BitWriter {
  std::vector<std::uint8_t>& out;
  unsigned used = 8;  // bits used in out.back()
  void put(std::uint64_t v, unsigned width) {
    for (unsigned k = 0; k < width; ++k) {
      if (used == 8) {
        out.push_back(0);
        used = 0;
      }
      out.back() |= static_cast<std::uint8_t>(((v >> k) & 1u) << used++);
    }
  }
};

// The distinct bit patterns of a chunk's non-finite values, in the order
// first seen, and each value's index once there are two or more.
template <class U>
class Palette {
 public:
  void add(U u) {
    if (patterns_.empty() || patterns_[last_] != u) last_ = find(u);
    if (patterns_.size() > 1) indices_.push_back(last_);
    ++count_;
  }
  std::uint64_t count() const { return count_; }
  const std::vector<U>& patterns() const { return patterns_; }
  const std::vector<std::uint64_t>& indices() const { return indices_; }

 private:
  std::uint64_t find(U u) {
    if (patterns_.size() <= 8) {
      for (std::size_t i = 0; i < patterns_.size(); ++i)
        if (patterns_[i] == u) return i;
    } else if (auto it = lookup_.find(u); it != lookup_.end()) {
      return it->second;
    }
    if (patterns_.size() == 1) indices_.assign(count_, 0);  // the values so far: all the first pattern
    patterns_.push_back(u);
    if (patterns_.size() == 9)
      for (std::size_t i = 0; i < patterns_.size(); ++i) lookup_.emplace(patterns_[i], i);
    else if (patterns_.size() > 9)
      lookup_.emplace(u, patterns_.size() - 1);
    return patterns_.size() - 1;
  }
  std::vector<U> patterns_;
  std::unordered_map<U, std::uint64_t> lookup_;
  std::vector<std::uint64_t> indices_;
  std::uint64_t count_ = 0;
  std::uint64_t last_ = 0;
};

// Runs of block classes, with the masks of the mixed blocks.
class Runs {
 public:
  void add(unsigned cls, const std::uint8_t* mask = nullptr, std::size_t mask_bytes = 0) {
    if (cls != cls_) {
      flush();
      cls_ = cls;
    }
    ++run_;
    if (mask) masks_.insert(masks_.end(), mask, mask + mask_bytes);
  }
  std::vector<std::uint8_t> finish() {
    flush();
    return std::move(out_);
  }

 private:
  void flush() {
    if (run_ == 0) return;
    put_varint(out_, run_ << 2 | cls_);
    out_.insert(out_.end(), masks_.begin(), masks_.end());
    masks_.clear();
    run_ = 0;
  }
  std::vector<std::uint8_t> out_, masks_;
  unsigned cls_ = 0;
  std::uint64_t run_ = 0;
};

// `v` inside [lo, hi], NaN (an overflowed sum, where long double is no
// wider than double) included.
template <class T>
T within(T v, T lo, T hi) {
  if (!(v >= lo)) return lo;
  return v <= hi ? v : hi;
}

// One block's values (at their local index x + 4y + 16z + 64w) and its
// holes, the non-finite values' places. `smooth` fills the holes with
// values that zfp codes cheaply: starting from the finite mean, each hole
// becomes the average of its neighbours in the block, a few sweeps over
// (the discrete Laplace equation with the finite values as the boundary),
// so a mixed block stays as smooth as its finite part. Averages never leave
// the finite values' range: the block's largest exponent, which sets
// zfp's bound on its values, stays theirs.
template <class T>
struct Block {
  T v[256];
  bool hole[256] = {};
  void set(std::size_t k, T value, bool is_hole) {
    v[k] = value;
    hole[k] = is_hole;
  }
  void smooth(unsigned dims, const std::array<std::size_t, 4>& b, T lo, T hi) {
    constexpr int kSweeps = 6;
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
      for (std::size_t w = 0; w < b[3]; ++w)
        for (std::size_t z = 0; z < b[2]; ++z)
          for (std::size_t y = 0; y < b[1]; ++y)
            for (std::size_t x = 0; x < b[0]; ++x) {
              const std::size_t k = x + 4 * y + 16 * z + 64 * w;
              if (!hole[k]) continue;
              const std::size_t at[4] = {x, y, z, w};
              typename Float<T>::Sum total = 0;
              unsigned neighbours = 0;
              for (unsigned a = 0; a < dims; ++a) {
                const std::size_t step = std::size_t{1} << (2 * a);
                if (at[a] > 0) total += v[k - step], ++neighbours;
                if (at[a] + 1 < b[a]) total += v[k + step], ++neighbours;
              }
              if (neighbours) v[k] = within(static_cast<T>(total / neighbours), lo, hi);
            }
    }
  }
};

template <class T>
std::vector<std::uint8_t> fill_as(const Extents& e, T* data) {
  using F = Float<T>;
  using U = typename F::U;
  const Strides s = field_strides(e);
  Palette<U> palette;
  Runs runs;
  for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool) {
    std::size_t n = 0, bad = 0;
    typename F::Sum sum = 0;
    T lo = 0, hi = 0;
    block_values(s, at, b, [&](std::size_t, std::size_t i) {
      ++n;
      U u;
      std::memcpy(&u, data + i, sizeof u);
      if (non_finite<T>(u)) {
        ++bad;
        return;
      }
      const T v = data[i];
      if (n - bad == 1) {
        lo = hi = v;
      } else {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
      sum += v;
    });
    if (bad == 0) {
      runs.add(0);
      return true;
    }
    // The finite mean, within the block's range (so no larger exponent); 0
    // where there is none.
    const T mean = bad == n ? T(0) : within(static_cast<T>(sum / static_cast<typename F::Sum>(n - bad)), lo, hi);
    std::uint8_t mask[32] = {};
    Block<T> block;
    std::size_t k = 0;
    block_values(s, at, b, [&](std::size_t local, std::size_t i) {
      U u;
      std::memcpy(&u, data + i, sizeof u);
      const bool hole = non_finite<T>(u);
      if (hole) {
        mask[k >> 3] |= static_cast<std::uint8_t>(1u << (k & 7));
        palette.add(u);
      }
      block.set(local, hole ? mean : data[i], hole);
      ++k;
    });
    if (bad == n) {
      runs.add(1);
    } else {
      runs.add(2, mask, (n + 7) / 8);
      block.smooth(e.dims, b, lo, hi);
    }
    block_values(s, at, b, [&](std::size_t local, std::size_t i) {
      if (block.hole[local]) data[i] = block.v[local];
    });
    return true;
  });

  std::vector<std::uint8_t> record;
  const auto& patterns = palette.patterns();
  put_varint(record, palette.count());
  put_varint(record, patterns.size());
  for (const U u : patterns) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&u);
    record.insert(record.end(), p, p + sizeof u);
  }
  if (patterns.size() > 1) {
    const auto width = static_cast<unsigned>(std::bit_width(std::uint64_t{patterns.size() - 1}));
    BitWriter w{record};
    for (const std::uint64_t index : palette.indices()) w.put(index, width);
  }
  const std::vector<std::uint8_t> blocks = runs.finish();
  record.insert(record.end(), blocks.begin(), blocks.end());
  return record;
}

// A bounded reader over the record; every failure names the offset.
class RecordReader {
 public:
  RecordReader(std::span<const std::uint8_t> record, std::uint64_t base) : in_(record), base_(base) {}

  Error fail(const std::string& what) const {
    return malformed(base_ + at_, "varnel_zfp: non-finite record: " + what);
  }
  std::size_t remaining() const { return in_.size() - at_; }
  std::size_t offset() const { return at_; }

  Result<std::uint64_t> varint(const char* what) {
    std::uint64_t v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (at_ == in_.size()) return std::unexpected(fail(std::string("ends inside ") + what));
      const std::uint8_t byte = in_[at_++];
      if (shift == 63 && byte > 1) break;
      v |= std::uint64_t{byte & 0x7fu} << shift;
      if (!(byte & 0x80)) return v;
    }
    return std::unexpected(fail(std::string(what) + " does not fit 64 bits"));
  }
  // `n` bytes from here, or nothing when fewer remain.
  const std::uint8_t* take(std::size_t n) {
    if (n > remaining()) return nullptr;
    const std::uint8_t* p = in_.data() + at_;
    at_ += n;
    return p;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::uint64_t base_;
  std::size_t at_ = 0;
};

template <class T>
Result<void> restore_as(const Extents& e, std::span<const std::uint8_t> record, std::uint8_t* out,
                        std::uint64_t base) {
  using U = typename Float<T>::U;
  RecordReader r(record, base);
  const std::uint64_t elements = std::uint64_t{e.n[0]} * e.n[1] * e.n[2] * e.n[3];
  VARNEL_ASSIGN_OR_RETURN(const std::uint64_t count, r.varint("the value count"));
  if (count == 0 || count > elements) {
    return std::unexpected(r.fail("records " + std::to_string(count) + " values, but the chunk holds " +
                                  std::to_string(elements) + " (and a framed chunk at least one non-finite)"));
  }
  VARNEL_ASSIGN_OR_RETURN(const std::uint64_t patterns, r.varint("the pattern count"));
  if (patterns == 0 || patterns > count) {
    return std::unexpected(r.fail(std::to_string(patterns) + " distinct values among " + std::to_string(count)));
  }
  if (patterns > r.remaining() / sizeof(U)) return std::unexpected(r.fail("ends inside its values"));
  const std::uint8_t* palette = r.take(static_cast<std::size_t>(patterns) * sizeof(U));
  for (std::uint64_t i = 0; i < patterns; ++i) {
    if (!non_finite<T>(bits_at<T>(palette + i * sizeof(U))))
      return std::unexpected(r.fail("value " + std::to_string(i) + " is finite"));
  }
  const unsigned width = patterns > 1 ? static_cast<unsigned>(std::bit_width(patterns - 1)) : 0;
  const std::uint8_t* indices = nullptr;
  if (width) {
    std::uint64_t bits = 0;
    if (__builtin_mul_overflow(count, std::uint64_t{width}, &bits) || (bits + 7) / 8 > r.remaining())
      return std::unexpected(r.fail("ends inside its value indices"));
    const std::size_t index_offset = r.offset();
    indices = r.take(static_cast<std::size_t>((bits + 7) / 8));
    // Unused bits of the last byte are zero.
    if (bits % 8 && indices[(bits - 1) / 8] >> (bits % 8)) {
      return std::unexpected(RecordReader(record, base).fail(
          "index bits past the last index at byte " + std::to_string(index_offset + (bits - 1) / 8)));
    }
  }

  std::uint64_t placed = 0, index_bit = 0;
  // The next value's bits (the patterns' only, or its index's), or nothing.
  bool too_many = false;
  auto next_value = [&]() -> std::optional<U> {
    if (placed == count) {
      too_many = true;
      return std::nullopt;
    }
    ++placed;
    std::uint64_t index = 0;
    for (unsigned k = 0; k < width; ++k, ++index_bit)
      index |= std::uint64_t{(indices[index_bit >> 3] >> (index_bit & 7)) & 1u} << k;
    if (index >= patterns) return std::nullopt;
    return bits_at<T>(palette + index * sizeof(U));
  };

  const Strides s = field_strides(e);
  std::uint64_t blocks_left = 1;
  for (unsigned a = 0; a < e.dims; ++a) blocks_left *= (e.n[a] + 3) / 4;
  std::uint64_t run = 0;
  unsigned cls = 0;
  std::optional<Error> error;
  for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool) {
    if (run == 0) {
      auto token = r.varint("a block run");
      if (!token) {
        error = token.error();
        return false;
      }
      cls = static_cast<unsigned>(*token & 3);
      run = *token >> 2;
      if (cls == 3 || run == 0 || run > blocks_left) {
        error = r.fail("block run of " + std::to_string(run) + " blocks of class " + std::to_string(cls) +
                       " where " + std::to_string(blocks_left) + " blocks are left");
        return false;
      }
    }
    --run;
    --blocks_left;
    if (cls == 0) return true;
    const std::size_t n = b[0] * b[1] * b[2] * b[3];
    const std::uint8_t* mask = nullptr;
    if (cls == 2) {
      const std::size_t at_mask = r.offset();
      mask = r.take((n + 7) / 8);
      if (!mask) {
        error = r.fail("ends inside a block mask");
        return false;
      }
      std::size_t set = 0;
      for (std::size_t k = 0; k < (n + 7) / 8; ++k) set += static_cast<std::size_t>(std::popcount(mask[k]));
      const bool stray = n % 8 && (mask[n / 8] >> (n % 8)) != 0;
      if (set == 0 || set >= n || stray) {
        error = RecordReader(record, base).fail("the block mask at byte " + std::to_string(at_mask) +
                                                " is not one of a block with some non-finite values");
        return false;
      }
    }
    std::size_t k = 0;
    bool ok = true;
    block_values(s, at, b, [&](std::size_t, std::size_t i) {
      const bool marked = !mask || ((mask[k >> 3] >> (k & 7)) & 1u);
      ++k;
      if (!marked || !ok) return;
      const std::optional<U> v = next_value();
      if (!v) {
        ok = false;
        return;
      }
      std::memcpy(out + i * sizeof(T), &*v, sizeof(U));
    });
    if (!ok) {
      error = r.fail(too_many ? "the blocks mark more than its " + std::to_string(count) + " values"
                              : "value index " + std::to_string(placed - 1) + " is out of range");
      return false;
    }
    return true;
  });
  if (error) return std::unexpected(std::move(*error));
  if (run != 0) return std::unexpected(r.fail("a block run passes the last block"));
  if (placed != count) {
    return std::unexpected(r.fail("the blocks mark " + std::to_string(placed) + " of its " +
                                  std::to_string(count) + " values"));
  }
  if (r.remaining() != 0)
    return std::unexpected(r.fail(std::to_string(r.remaining()) + " bytes after the last block"));
  return ok();
}

}  // namespace

bool is_framed(std::span<const std::uint8_t> chunk) {
  return chunk.size() >= kFrameMagic.size() && std::equal(kFrameMagic.begin(), kFrameMagic.end(), chunk.begin());
}

Result<FramedChunk> open_frame(std::span<const std::uint8_t> chunk) {
  const auto fail = [](std::uint64_t at, const std::string& what) {
    return std::unexpected(malformed(at, "varnel_zfp: framed chunk: " + what));
  };
  if (chunk.size() < kFrameHeaderSize) return fail(chunk.size(), "shorter than its 16-byte header");
  if (!is_framed(chunk)) return fail(0, "no \"vznf\" magic");
  if (chunk[4] != kFrameVersion) {
    return fail(4, "version " + std::to_string(chunk[4]) + ", but this varnel reads version " +
                       std::to_string(kFrameVersion) + ": a newer varnel wrote it");
  }
  if (chunk[5] | chunk[6] | chunk[7]) return fail(5, "reserved header bytes are not zero");
  std::uint64_t length = 0;
  std::memcpy(&length, chunk.data() + 8, 8);
  const std::size_t rest = chunk.size() - kFrameHeaderSize;
  if (length >= rest) {
    return fail(8, "stream of " + std::to_string(length) + " bytes, but " + std::to_string(rest) +
                       " follow the header, the non-finite record included");
  }
  return FramedChunk{chunk.subspan(kFrameHeaderSize, static_cast<std::size_t>(length)),
                     chunk.subspan(kFrameHeaderSize + static_cast<std::size_t>(length))};
}

void write_frame_header(std::uint8_t* out, std::uint64_t stream_size) {
  std::memcpy(out, kFrameMagic.data(), kFrameMagic.size());
  out[4] = kFrameVersion;
  out[5] = out[6] = out[7] = 0;
  std::memcpy(out + 8, &stream_size, 8);
}

std::vector<std::uint8_t> fill_non_finite(ElementType dtype, const FieldShape& field, void* samples) {
  const Extents e = extents_of_field(field);
  if (dtype == ElementType::F32) return fill_as(e, static_cast<float*>(samples));
  return fill_as(e, static_cast<double*>(samples));
}

Result<void> restore_non_finite(ElementType dtype, const FieldShape& field, std::span<const std::uint8_t> record,
                                std::span<std::uint8_t> out, std::uint64_t base) {
  const Extents e = extents_of_field(field);
  if (dtype == ElementType::F32) return restore_as<float>(e, record, out.data(), base);
  return restore_as<double>(e, record, out.data(), base);
}

}  // namespace varnel::zfpc
