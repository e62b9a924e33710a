// The chunk driver's 64-bit plane decode (htj2k_wide.hpp): the plane
// streamed (run_decode_wide_rows), each restored row narrowed into the
// dtype as it comes.
#include "zarr/htj2k_wide.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "codestream/decode_wide.hpp"

namespace varnel::zarr {
namespace {

template <class T>
void store(std::int64_t v, std::uint8_t* dst, std::size_t i) {
  const auto t = static_cast<T>(v);
  std::memcpy(dst + i * sizeof(T), &t, sizeof(T));
}

void store_as(ElementType dtype, std::int64_t v, std::uint8_t* dst, std::size_t i) {
  switch (dtype) {
    case ElementType::U8: return store<std::uint8_t>(v, dst, i);
    case ElementType::I8: return store<std::int8_t>(v, dst, i);
    case ElementType::U16: return store<std::uint16_t>(v, dst, i);
    case ElementType::I16: return store<std::int16_t>(v, dst, i);
    case ElementType::U32: return store<std::uint32_t>(v, dst, i);
    case ElementType::I32: return store<std::int32_t>(v, dst, i);
    default: return store<std::int64_t>(v, dst, i);  // htj2k codes none of the others
  }
}

}  // namespace

Result<void> decode_plane_wide(const codestream::Codestream& cs,
                               const codestream::DecodePlan& plan, ElementType dtype,
                               std::uint8_t reduce, std::uint8_t* dst) {
  const codestream::SizComponent& component = cs.siz.components.front();
  const unsigned d = std::clamp<unsigned>(component.depth, 1, 38);
  const std::int64_t half = std::int64_t{1} << (d - 1);
  // Unsigned: clamped to the component's range, then shifted (T.800 G.1.2).
  // Signed: clipped to it below full resolution only, where the low-pass
  // samples may overshoot; at full resolution a lossless plane never does.
  // A 32-bit unsigned component at full resolution is taken modulo 2^32
  // instead: encoders that level-shift 32-bit samples in 32-bit arithmetic
  // (OpenJPH, in imagecodecs) code those of 2^31 and above 2^32 too low, and
  // read them back so; within the range both readings agree.
  const bool wrap = !component.is_signed && d == 32 && reduce == 0;
  const bool clamp = (!component.is_signed || reduce > 0) && !wrap;
  const std::int64_t add = component.is_signed ? 0 : half;
  const std::int64_t lo = element_min(dtype), hi = element_max(dtype);
  struct Rows {
    ElementType dtype;
    std::uint8_t* dst;
    std::size_t width;
    bool wrap, clamp;
    std::int64_t half, add;
    std::int64_t smallest = INT64_MAX, largest = INT64_MIN;
  } rows{dtype, dst, plan.width, wrap, clamp, half, add};
  // Every row is taken, also past a sample that does not fit: the error
  // names the range of the whole plane.
  const htj2k::WideRowSink sink{&rows, [](void* c, std::size_t y, const std::int64_t* row) {
    auto& r = *static_cast<Rows*>(c);
    for (std::size_t x = 0, i = y * r.width; x < r.width; ++x, ++i) {
      // (Wrapped in 64 bits first: a malformed plane may hold any value.)
      const std::int64_t v =
          r.wrap ? static_cast<std::int64_t>((static_cast<std::uint64_t>(row[x]) + r.add) & 0xFFFFFFFFu)
                 : (r.clamp ? std::clamp(row[x], -r.half, r.half - 1) : row[x]) + r.add;
      r.smallest = std::min(r.smallest, v);
      r.largest = std::max(r.largest, v);
      store_as(r.dtype, v, r.dst, i);
    }
    return true;
  }};
  VARNEL_TRY(codestream::run_decode_wide_rows(cs, plan, sink));
  const std::int64_t smallest = rows.smallest, largest = rows.largest;
  if (plan.width * plan.height > 0 && (smallest < lo || largest > hi))
    return std::unexpected(malformed(0, "decoded sample range [" + std::to_string(smallest) +
                                          ", " + std::to_string(largest) + "] does not fit dtype " +
                                          std::string(element_name(dtype)) +
                                          " (corrupt or mismatched chunk)"));
  return ok();
}

}  // namespace varnel::zarr
