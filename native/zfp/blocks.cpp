#include "zfp/blocks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/pages.hpp"
#include "zfp/narrow.hpp"
#include "zfp/walk.hpp"

namespace varnel::zfpc {
namespace {

// zfp's strided block functions for one scalar type; `n` holds the block's
// extents, all 4 for a whole block (then zfp's unpadded path is taken, as
// its own field loop does).
#define VARNEL_ZFP_BLOCK_OPS(T, Z)                                                                  \
  inline void encode_block(zfp_stream* zs, unsigned d, const T* p, const std::size_t* n,           \
                           const std::ptrdiff_t* s, bool whole) {                                   \
    switch (d) {                                                                                    \
      case 1:                                                                                       \
        whole ? zfp_encode_block_strided_##Z##_1(zs, p, s[0])                                       \
              : zfp_encode_partial_block_strided_##Z##_1(zs, p, n[0], s[0]);                        \
        break;                                                                                      \
      case 2:                                                                                       \
        whole ? zfp_encode_block_strided_##Z##_2(zs, p, s[0], s[1])                                 \
              : zfp_encode_partial_block_strided_##Z##_2(zs, p, n[0], n[1], s[0], s[1]);            \
        break;                                                                                      \
      case 3:                                                                                       \
        whole ? zfp_encode_block_strided_##Z##_3(zs, p, s[0], s[1], s[2])                           \
              : zfp_encode_partial_block_strided_##Z##_3(zs, p, n[0], n[1], n[2], s[0], s[1], s[2]); \
        break;                                                                                      \
      default:                                                                                      \
        whole ? zfp_encode_block_strided_##Z##_4(zs, p, s[0], s[1], s[2], s[3])                     \
              : zfp_encode_partial_block_strided_##Z##_4(zs, p, n[0], n[1], n[2], n[3], s[0], s[1], \
                                                         s[2], s[3]);                               \
        break;                                                                                      \
    }                                                                                               \
  }                                                                                                 \
  inline void decode_block(zfp_stream* zs, unsigned d, T* p, const std::size_t* n,                 \
                           const std::ptrdiff_t* s, bool whole) {                                   \
    switch (d) {                                                                                    \
      case 1:                                                                                       \
        whole ? zfp_decode_block_strided_##Z##_1(zs, p, s[0])                                       \
              : zfp_decode_partial_block_strided_##Z##_1(zs, p, n[0], s[0]);                        \
        break;                                                                                      \
      case 2:                                                                                       \
        whole ? zfp_decode_block_strided_##Z##_2(zs, p, s[0], s[1])                                 \
              : zfp_decode_partial_block_strided_##Z##_2(zs, p, n[0], n[1], s[0], s[1]);            \
        break;                                                                                      \
      case 3:                                                                                       \
        whole ? zfp_decode_block_strided_##Z##_3(zs, p, s[0], s[1], s[2])                           \
              : zfp_decode_partial_block_strided_##Z##_3(zs, p, n[0], n[1], n[2], s[0], s[1], s[2]); \
        break;                                                                                      \
      default:                                                                                      \
        whole ? zfp_decode_block_strided_##Z##_4(zs, p, s[0], s[1], s[2], s[3])                     \
              : zfp_decode_partial_block_strided_##Z##_4(zs, p, n[0], n[1], n[2], n[3], s[0], s[1], \
                                                         s[2], s[3]);                               \
        break;                                                                                      \
    }                                                                                               \
  }

// zfp's calls for a whole block held contiguously (x fastest), 4^d values.
inline void encode_contiguous(zfp_stream* zs, unsigned d, const std::int32_t* block) {
  switch (d) {
    case 1: zfp_encode_block_int32_1(zs, block); break;
    case 2: zfp_encode_block_int32_2(zs, block); break;
    case 3: zfp_encode_block_int32_3(zs, block); break;
    default: zfp_encode_block_int32_4(zs, block); break;
  }
}
inline void decode_contiguous(zfp_stream* zs, unsigned d, std::int32_t* block) {
  switch (d) {
    case 1: zfp_decode_block_int32_1(zs, block); break;
    case 2: zfp_decode_block_int32_2(zs, block); break;
    case 3: zfp_decode_block_int32_3(zs, block); break;
    default: zfp_decode_block_int32_4(zs, block); break;
  }
}

VARNEL_ZFP_BLOCK_OPS(std::int32_t, int32)
VARNEL_ZFP_BLOCK_OPS(std::int64_t, int64)
VARNEL_ZFP_BLOCK_OPS(float, float)
VARNEL_ZFP_BLOCK_OPS(double, double)
#undef VARNEL_ZFP_BLOCK_OPS

// NaN and the infinities: every exponent bit set. Their magnitude bits,
// plus one unit of the exponent's lowest bit, carry into the sign bit, so
// a block is tested by OR-ing those sums (branch-free, vectorisable).
template <class T>
struct FloatBits;
template <>
struct FloatBits<float> {
  using U = std::uint32_t;
  typedef U Row __attribute__((vector_size(16)));  // a block row of 4 values
  static constexpr U kMagnitude = 0x7fffffffu, kExponentOne = 0x00800000u;
};
template <>
struct FloatBits<double> {
  using U = std::uint64_t;
  typedef U Row __attribute__((vector_size(32)));
  static constexpr U kMagnitude = 0x7fffffffffffffffu, kExponentOne = 0x0010000000000000u;
};

template <class T>
inline typename FloatBits<T>::U non_finite_bits(const T* p) {
  using B = FloatBits<T>;
  typename B::U u;
  std::memcpy(&u, p, sizeof u);
  return (u & B::kMagnitude) + B::kExponentOne;
}

template <class T>
inline bool sign_set(typename FloatBits<T>::U acc) {
  return (acc >> (8 * sizeof acc - 1)) != 0;
}

template <class T>
void encode_native(zfp_stream* zs, const Extents& e, const T* data) {
  const Strides s = field_strides(e);
  for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool whole) {
    encode_block(zs, e.dims, data + at, b.data(), s.data(), whole);
    return true;
  });
}

// Rows of a whole block (4^(D-1) rows of 4 values): f(row index, field
// index of the row's first value). Constant trip counts, so the compiler
// unrolls and vectorises the conversions.
template <unsigned D, class F>
void whole_rows(const Strides& s, std::size_t at, const F& f) {
  constexpr std::size_t kRows = std::size_t{1} << (2 * (D - 1));
  for (std::size_t r = 0; r < kRows; ++r)
    f(r, at + (r & 3) * s[1] + ((r >> 2) & 3) * s[2] + (r >> 4) * s[3]);
}

template <class N, unsigned D>
void load_whole(const Strides& s, std::size_t at, const std::uint8_t* data, std::int32_t* block) {
  whole_rows<D>(s, at, [&](std::size_t r, std::size_t i) {
    const std::uint8_t* p = data + i * sizeof(typename N::Element);
    for (std::size_t x = 0; x < 4; ++x) block[4 * r + x] = N::load(p + x * sizeof(typename N::Element));
  });
}

template <class N, unsigned D>
void store_whole(const Strides& s, std::size_t at, const std::int32_t* block, std::uint8_t* out) {
  whole_rows<D>(s, at, [&](std::size_t r, std::size_t i) {
    N::store4(block + 4 * r, out + i * sizeof(typename N::Element));
  });
}

template <class N>
void load_whole(unsigned d, const Strides& s, std::size_t at, const std::uint8_t* data, std::int32_t* block) {
  switch (d) {
    case 1: return load_whole<N, 1>(s, at, data, block);
    case 2: return load_whole<N, 2>(s, at, data, block);
    case 3: return load_whole<N, 3>(s, at, data, block);
    default: return load_whole<N, 4>(s, at, data, block);
  }
}

template <class N>
void store_whole(unsigned d, const Strides& s, std::size_t at, const std::int32_t* block, std::uint8_t* out) {
  switch (d) {
    case 1: return store_whole<N, 1>(s, at, block, out);
    case 2: return store_whole<N, 2>(s, at, block, out);
    case 3: return store_whole<N, 3>(s, at, block, out);
    default: return store_whole<N, 4>(s, at, block, out);
  }
}

// Whether a block of floats holds a non-finite value: whole blocks row by
// row with constant trip counts (the compiler vectorises the test; the
// rows are in cache for zfp's own gather right after), edge blocks value
// by value.
template <class T, unsigned D>
bool whole_block_non_finite(const Strides& s, std::size_t at, const T* data) {
  using B = FloatBits<T>;
  typename B::Row acc{};
  whole_rows<D>(s, at, [&](std::size_t, std::size_t i) {
    typename B::Row row;
    std::memcpy(&row, data + i, sizeof row);
    acc |= (row & B::kMagnitude) + B::kExponentOne;
  });
  return sign_set<T>(acc[0] | acc[1] | acc[2] | acc[3]);
}

template <class T>
bool block_non_finite(unsigned d, const Strides& s, std::size_t at, const std::array<std::size_t, 4>& b,
                      bool whole, const T* data) {
  if (whole) {
    switch (d) {
      case 1: return whole_block_non_finite<T, 1>(s, at, data);
      case 2: return whole_block_non_finite<T, 2>(s, at, data);
      case 3: return whole_block_non_finite<T, 3>(s, at, data);
      default: return whole_block_non_finite<T, 4>(s, at, data);
    }
  }
  typename FloatBits<T>::U acc = 0;
  block_values(s, at, b, [&](std::size_t, std::size_t i) { acc |= non_finite_bits(data + i); });
  return sign_set<T>(acc);
}

// encode_native that stops before the first block holding a non-finite value.
template <class T>
bool encode_finite(zfp_stream* zs, const Extents& e, const T* data) {
  const Strides s = field_strides(e);
  return for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool whole) {
    if (block_non_finite(e.dims, s, at, b, whole, data)) return false;
    encode_block(zs, e.dims, data + at, b.data(), s.data(), whole);
    return true;
  });
}

// Whole blocks go to zfp contiguous (what its strided call makes of them);
// edge blocks through its padding call.
template <class N>
void encode_narrow(zfp_stream* zs, const Extents& e, const std::uint8_t* data) {
  const Strides s = field_strides(e);
  alignas(64) std::int32_t block[256];
  for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool whole) {
    if (whole) {
      load_whole<N>(e.dims, s, at, data, block);
      encode_contiguous(zs, e.dims, block);
      return true;
    }
    block_values(s, at, b, [&](std::size_t k, std::size_t i) {
      block[k] = N::load(data + i * sizeof(typename N::Element));
    });
    encode_block(zs, e.dims, block, b.data(), kBlockStrides.data(), false);
    return true;
  });
}

// A decoder's output faulted in a window at a time just ahead of the
// blocks (core/pages.hpp): one call per window instead of a fault per page,
// which made decodes into fresh outputs of 64-128 MiB 3-8 % faster. A window is
// a whole number of the field's outermost block slabs (4 rows, planes or
// volumes: a slab's blocks write all over it), at least 256 KiB. Outputs
// under 64 KiB, and fields whose slab alone passes 8 MiB (a window that
// large would be zeroed long before it is written), fault page by page.
class OutputWindows {
 public:
  OutputWindows(const Extents& e, void* out, std::size_t element_bytes)
      : out_(static_cast<std::uint8_t*>(out)), element_(element_bytes) {
    const auto& n = e.n;
    total_ = n[0] * n[1] * n[2] * n[3];
    std::size_t slab = 4;
    for (unsigned axis = 0; axis + 1 < e.dims; ++axis) slab *= n[axis];
    const std::size_t slab_bytes = slab * element_;
    if (total_ * element_ < kMinOutput || slab_bytes > kMaxSlab) return;
    window_ = slab * ((kMinWindow + slab_bytes - 1) / slab_bytes);
    next_ = 0;
  }

  // Before the block at element `at` (blocks come in zfp's order).
  void before(std::size_t at) {
    if (at < next_) return;
    const std::size_t end = std::min(total_, at + window_);
    populate_for_write(out_ + at * element_, (end - at) * element_);
    next_ = end;
  }

 private:
  static constexpr std::size_t kMinOutput = std::size_t{64} << 10;
  static constexpr std::size_t kMinWindow = std::size_t{256} << 10;
  static constexpr std::size_t kMaxSlab = std::size_t{8} << 20;
  std::uint8_t* out_;
  std::size_t element_;
  std::size_t total_ = 0;
  std::size_t window_ = 0;
  std::size_t next_ = SIZE_MAX;
};

// What a decoder does before each block: ask the gate when the blocks it
// allowed are used up, and fault in the output ahead. False stops the walk.
class DecodePacer {
 public:
  DecodePacer(const Extents& e, void* out, std::size_t element_bytes, BlockGate gate)
      : gate_(gate), windows_(e, out, element_bytes) {}

  bool before(std::size_t at) {
    if (allowed_ == 0 && (allowed_ = gate_.allow(gate_.context)) == 0) return false;
    --allowed_;
    windows_.before(at);
    return true;
  }

 private:
  BlockGate gate_;
  OutputWindows windows_;
  std::size_t allowed_ = 0;
};

template <class T>
bool decode_native(zfp_stream* zs, const Extents& e, T* out, BlockGate gate) {
  const Strides s = field_strides(e);
  DecodePacer pace(e, out, sizeof(T), gate);
  return for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool whole) {
    if (!pace.before(at)) return false;
    decode_block(zs, e.dims, out + at, b.data(), s.data(), whole);
    return true;
  });
}

template <class N>
bool decode_narrow(zfp_stream* zs, const Extents& e, std::uint8_t* out, BlockGate gate) {
  const Strides s = field_strides(e);
  alignas(64) std::int32_t block[256];
  DecodePacer pace(e, out, sizeof(typename N::Element), gate);
  return for_each_block(e, [&](std::size_t at, const std::array<std::size_t, 4>& b, bool whole) {
    if (!pace.before(at)) return false;
    if (whole) {
      decode_contiguous(zs, e.dims, block);
      store_whole<N>(e.dims, s, at, block, out);
      return true;
    }
    decode_block(zs, e.dims, block, b.data(), kBlockStrides.data(), false);
    block_values(s, at, b, [&](std::size_t k, std::size_t i) {
      N::store(block[k], out + i * sizeof(typename N::Element));
    });
    return true;
  });
}

}  // namespace

void encode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, const void* data) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  switch (samples) {
    case ElementType::I32: return encode_native(zs, e, static_cast<const std::int32_t*>(data));
    case ElementType::I64: return encode_native(zs, e, static_cast<const std::int64_t*>(data));
    case ElementType::F32: return encode_native(zs, e, static_cast<const float*>(data));
    case ElementType::F64: return encode_native(zs, e, static_cast<const double*>(data));
    case ElementType::U8: return encode_narrow<NarrowU8>(zs, e, bytes);
    case ElementType::I8: return encode_narrow<NarrowI8>(zs, e, bytes);
    case ElementType::U16: return encode_narrow<NarrowU16>(zs, e, bytes);
    case ElementType::I16: return encode_narrow<NarrowI16>(zs, e, bytes);
    case ElementType::U32: return;  // not coded (chunk.hpp: zfp_codes)
  }
}

bool encode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, const void* data, NonFinite policy) {
  if (policy != NonFinite::Code) {
    if (samples == ElementType::F32) return encode_finite(zs, e, static_cast<const float*>(data));
    if (samples == ElementType::F64) return encode_finite(zs, e, static_cast<const double*>(data));
  }
  encode_blocks(zs, samples, e, data);
  return true;
}

bool decode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, void* out, BlockGate gate) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  switch (samples) {
    case ElementType::I32: return decode_native(zs, e, static_cast<std::int32_t*>(out), gate);
    case ElementType::I64: return decode_native(zs, e, static_cast<std::int64_t*>(out), gate);
    case ElementType::F32: return decode_native(zs, e, static_cast<float*>(out), gate);
    case ElementType::F64: return decode_native(zs, e, static_cast<double*>(out), gate);
    case ElementType::U8: return decode_narrow<NarrowU8>(zs, e, bytes, gate);
    case ElementType::I8: return decode_narrow<NarrowI8>(zs, e, bytes, gate);
    case ElementType::U16: return decode_narrow<NarrowU16>(zs, e, bytes, gate);
    case ElementType::I16: return decode_narrow<NarrowI16>(zs, e, bytes, gate);
    case ElementType::U32: break;  // not coded (chunk.hpp: zfp_codes)
  }
  return false;
}

}  // namespace varnel::zfpc
