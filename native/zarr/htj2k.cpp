#include "zarr/htj2k.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "core/big_buffer.hpp"
#include "codestream/decode_plan.hpp"
#include "codestream/geometry.hpp"
#include "codestream/reader.hpp"
#include "codestream/writer.hpp"
#include "core/pages.hpp"
#include "core/plane.hpp"
#include "zarr/htj2k_wide.hpp"
#include "zarr/narrow.hpp"
#include "core/quote.hpp"

namespace varnel::zarr {
namespace {

using codestream::ChunkHeader;
using codestream::Codestream;
using codestream::PlaneEntry;


template <class Extent>
std::string shape_text(std::span<const Extent> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

// --- encode ------------------------------------------------------------------

// Largest up-front reservation of the container; larger chunks grow it.
constexpr std::size_t kReserveCap = std::size_t{1} << 30;

// The OR of the magnitude bits of n native-endian elements of T, in one
// pass the compiler vectorises: the element itself when T is unsigned,
// s ^ (s >> 31) (that is s, or -s - 1 for a negative s) when T is signed.
// Its bit width is the bit width of the largest such value, which is all the
// depth rule needs. An unsigned 32-bit value above INT32_MAX shows up as bit
// 31 of the result.
// The OR runs in lanes of T's width (16 lanes of uint16 per 256 bits, not 8
// of uint32): the values it gathers fit T.
template <class T>
std::uint32_t magnitude_bits(const std::uint8_t* src, std::size_t n) {
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  for (std::size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, src + i * sizeof(T), sizeof(T));
    if constexpr (std::is_signed_v<T>)
      bits |= static_cast<U>(v ^ (v >> (8 * sizeof(T) - 1)));
    else
      bits |= v;
  }
  return bits;
}

// Widens n elements of T to int32 and subtracts the DC level shift (32-bit
// wrapping), in one vectorisable pass.
template <class T>
void widen_shifted(const std::uint8_t* __restrict src, std::int32_t* __restrict dst, std::size_t n,
                   std::uint32_t shift) {
  for (std::size_t i = 0; i < n; ++i) {
    T v;
    std::memcpy(&v, src + i * sizeof(T), sizeof(T));
    dst[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) - shift);
  }
}

std::uint32_t plane_bits(const std::uint8_t* src, std::size_t n, ElementType t) {
  switch (t) {
    case ElementType::U8: return magnitude_bits<std::uint8_t>(src, n);
    case ElementType::I8: return magnitude_bits<std::int8_t>(src, n);
    case ElementType::U16: return magnitude_bits<std::uint16_t>(src, n);
    case ElementType::I16: return magnitude_bits<std::int16_t>(src, n);
    case ElementType::U32: return magnitude_bits<std::uint32_t>(src, n);
    case ElementType::I32: return magnitude_bits<std::int32_t>(src, n);
    case ElementType::I64: case ElementType::F32: case ElementType::F64: break;  // refused by check_codes
  }
  return 0;
}

void widen_plane(const std::uint8_t* src, std::int32_t* dst, std::size_t n, ElementType t,
                 std::uint32_t shift) {
  switch (t) {
    case ElementType::U8: return widen_shifted<std::uint8_t>(src, dst, n, shift);
    case ElementType::I8: return widen_shifted<std::int8_t>(src, dst, n, shift);
    case ElementType::U16: return widen_shifted<std::uint16_t>(src, dst, n, shift);
    case ElementType::I16: return widen_shifted<std::int16_t>(src, dst, n, shift);
    case ElementType::U32: return widen_shifted<std::uint32_t>(src, dst, n, shift);
    case ElementType::I32: return widen_shifted<std::int32_t>(src, dst, n, shift);
    case ElementType::I64: case ElementType::F32: case ElementType::F64: break;  // refused by check_codes
  }
}

// The smallest depth d that holds the plane: unsigned, largest < 2^d;
// signed, -2^(d-1) <= smallest and largest < 2^(d-1), i.e. every s and every
// -s - 1 below 2^(d-1). At least 1 (an all-zero plane).
std::uint8_t plane_depth(std::uint32_t magnitude_bits, bool is_signed) {
  const int width = std::bit_width(magnitude_bits);
  return static_cast<std::uint8_t>(is_signed ? 1 + width : std::max(1, width));
}

codestream::EncodeParams writer_params(const Htj2kConfig& config, std::uint8_t progression) {
  codestream::EncodeParams p;
  p.precincts.clear();  // maximal precincts
  p.block_width = 64;
  p.block_height = 64;
  p.causal = false;
  p.layers = 1;
  p.irreversible = false;
  p.index = config.index;
  p.progression = progression;
  p.levels = config.xy_levels;
  return p;
}

// Only C++ callers can pass a type htj2k does not code: the Python entry
// points refuse it by its name (htj2k_element_type).
Result<void> check_codes(ElementType dtype) {
  if (htj2k_codes(dtype)) return ok();
  return std::unexpected(invalid("htj2k: no integer path for element type " +
                                 std::string(element_name(dtype))));
}

// Checks of the configuration and the shape, in order; returns the byte
// count the chunk must have.
Result<std::uint64_t> check_encode_input(std::span<const std::uint8_t> chunk,
                                         std::span<const std::uint64_t> shape, ElementType dtype,
                                         const Htj2kConfig& config) {
  VARNEL_TRY(check_codes(dtype));
  if (config.xy_levels > codestream::kMaxXyLevels)
    return std::unexpected(
        invalid("htj2k: xy_levels exceeds the 32-level J2K bound (T.800 SPcod)"));
  VARNEL_TRY(config.progression_order());
  if (!config.reversible)
    return std::unexpected(
        unsupported("htj2k: lossy (reversible: false) coding lands with a later phase"));
  if (config.checksums && !config.index)
    return std::unexpected(
        invalid("htj2k: prefix checksums live in the plane index; they need index=True"));
  const std::size_t n = shape.size();
  if (n < codestream::kMinChunkNdim)
    return std::unexpected(invalid(
        "htj2k needs a chunk with trailing 2D (y, x) planes; got " + std::to_string(n) +
        " dimension(s)"));
  if (n > codestream::kMaxChunkNdim)
    return std::unexpected(
        invalid("htj2k chunks carry at most 32 dimensions; got " + std::to_string(n)));
  for (std::size_t j = 0; j < n; ++j)
    if (shape[j] == 0)
      return std::unexpected(invalid("htj2k needs non-zero chunk extents; dimension " +
                                            std::to_string(j) + " of " + shape_text(shape) +
                                            " is 0"));
  std::uint64_t count = 1;
  for (std::uint64_t e : shape)
    if (__builtin_mul_overflow(count, e, &count))
      return std::unexpected(invalid("chunk element count overflows"));
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, std::uint64_t{element_size(dtype)}, &bytes))
    return std::unexpected(invalid("chunk byte length overflows"));
  if (chunk.size() != bytes)
    return std::unexpected(invalid(
        "chunk of shape " + shape_text(shape) + " and dtype " + std::string(element_name(dtype)) +
        " needs " + std::to_string(bytes) + " bytes, got " + std::to_string(chunk.size())));
  // The container holds at most 2^24 planes; a longer chunk would be written
  // but refused by every reader, so it is refused here instead.
  std::uint64_t planes = 1;
  for (std::size_t j = 0; j + 2 < n; ++j) planes *= shape[j];  // <= element count
  if (planes > codestream::kMaxChunkPlanes)
    return std::unexpected(invalid("htj2k chunks carry at most 16777216 planes; got " +
                                          std::to_string(planes)));
  return bytes;
}

// --- decode ------------------------------------------------------------------

// Output reservation is an optimisation only: a small chunk may declare a
// huge shape (its planes then fail), so it is capped by what the chunk
// could plausibly expand to; well-compressed chunks grow past it plane by
// plane.
constexpr std::uint64_t kReserveRatio = 256;
constexpr std::uint64_t kReserveFloor = std::uint64_t{1} << 20;

std::string plane_size_message(std::size_t components, std::uint64_t height, std::uint64_t width,
                               const ChunkHeader& header) {
  const std::size_t n = header.shape.size();
  return "plane decodes to " + std::to_string(components) + "x" + std::to_string(height) + "x" +
         std::to_string(width) + ", chunk header declares " + std::to_string(header.shape[n - 2]) +
         "x" + std::to_string(header.shape[n - 1]) + "x1";
}

Narrowing narrowing_for(ElementType dtype) {
  Narrowing how;
  // Every int32 fits I32; a U32 sample must not be negative.
  const auto lo = static_cast<std::int32_t>(std::max<std::int64_t>(element_min(dtype), INT32_MIN));
  const auto hi = static_cast<std::int32_t>(std::min<std::int64_t>(element_max(dtype), INT32_MAX));
  how.lo = lo;
  how.span = static_cast<std::uint32_t>(hi) - static_cast<std::uint32_t>(lo);
  how.width = static_cast<unsigned>(element_size(dtype));
  return how;
}

// Writes the n shifted samples to `dst` in the dtype's width, or reports the
// range of the shifted samples when one does not fit.
Result<void> narrow_into(const std::int32_t* samples, std::size_t n, ElementType dtype,
                         const Narrowing& how, std::uint8_t* dst) {
  if (n == 0) return ok();
  if (narrow_kernels().narrow(samples, dst, n, how)) return ok();
  std::int32_t smallest = INT32_MAX, largest = INT32_MIN;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t s = std::min(std::max(samples[i], how.clamp_lo), how.clamp_hi) + how.add;
    smallest = std::min(smallest, s);
    largest = std::max(largest, s);
  }
  return std::unexpected(malformed(0, "decoded sample range [" + std::to_string(smallest) + ", " +
                                    std::to_string(largest) + "] does not fit dtype " +
                                    std::string(element_name(dtype)) +
                                    " (corrupt or mismatched chunk)"));
}

// Appends the n shifted samples to `output`; on a range failure `output` is
// left as it was.
Result<void> append_narrowed(const std::int32_t* samples, std::size_t n, ElementType dtype,
                             const Narrowing& how, std::vector<std::uint8_t>& output) {
  const std::size_t at = output.size();
  output.resize(at + n * element_size(dtype));
  auto r = narrow_into(samples, n, dtype, how, output.data() + at);
  if (!r) output.resize(at);
  return r;
}

// Checks one plane's parsed codestream against the header before anything
// is decoded, so a small codestream cannot make the decoder allocate a plane
// far larger than the chunk declares. Unsupported codestreams keep their own
// error, as the decoder would report it first. A prefix (`cut`) must also
// have the header's level count, for the prefix lengths of the index to
// mean the resolutions they name. After this check a plan of the codestream
// (codestream::plan_decode_checked) has one component of exactly the
// header's plane size at the resolution asked for.
Result<void> check_plane(const ChunkHeader& header, const Codestream& cs, bool cut) {
  const std::size_t n = header.shape.size();
  const std::uint64_t height = header.shape[n - 2], width = header.shape[n - 1];
  VARNEL_TRY(cs.check_supported());
  const std::size_t declared_components = cs.siz.components.size();
  if (declared_components != 1 || cs.siz.xsiz != width || cs.siz.ysiz != height)
    return std::unexpected(
        malformed(0, plane_size_message(declared_components, cs.siz.ysiz, cs.siz.xsiz, header)));
  if (cut && cs.cod.levels != header.xy_levels)
    return std::unexpected(malformed(0, "plane codestream has " + std::to_string(cs.cod.levels) +
                                      " wavelet levels, chunk header declares " +
                                      std::to_string(header.xy_levels)));
  return ok();
}

// Parses one plane's codestream (a prefix of it, `cut`) and checks it.
Result<Codestream> parse_plane(const ChunkHeader& header, std::span<const std::uint8_t> codestream,
                               bool cut = false) {
  VARNEL_ASSIGN_OR_RETURN(auto cs, cut ? Codestream::parse_prefix(codestream) : Codestream::parse(codestream));
  VARNEL_TRY(check_plane(header, cs, cut));
  return cs;
}

}  // namespace

std::optional<ElementType> htj2k_element_type(std::string_view name) {
  return element_type_from_name(name, htj2k_codes);
}

Result<std::uint8_t> Htj2kConfig::progression_order() const {
  // SGcod progression order codes, T.800 Table A.16.
  static constexpr std::string_view kNames[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};
  for (std::uint8_t code = 0; code < 5; ++code)
    if (progression == kNames[code]) return code;
  return std::unexpected(
      unsupported("htj2k: unknown progression order " + quote_text(progression)));
}

namespace {

// A codestream the encode appended to the container, and where its packets
// end (for the index).
struct WrittenPlane {
  std::size_t offset = 0, length = 0;
  codestream::ResolutionEnds ends;
};

// Codes plane `k` of the chunk (at `src`, height x width elements) as one
// codestream appended to `out`, through the coefficient plane `samples`:
// the depth comes from a pass over the narrow elements, then the writer
// transforms the rows into the plane as they are widened.
Result<WrittenPlane> encode_plane(const std::uint8_t* src, std::size_t k, std::uint64_t height,
                                  std::uint64_t width, ElementType dtype,
                                  const codestream::EncodeParams& params,
                                  std::span<std::int32_t> samples, std::vector<std::uint8_t>& out) {
  const std::size_t area = samples.size();
  const bool is_signed = element_signed(dtype);
  const std::uint32_t bits = plane_bits(src, area, dtype);
  const std::uint8_t depth = plane_depth(bits, is_signed);
  const std::uint32_t shift = is_signed ? 0 : std::uint32_t{1} << (depth - 1u);  // depth <= 32
  // Rows are widened and level-shifted (so they are in the depth's range
  // by construction) as the first wavelet level takes them in.
  struct Rows {
    const std::uint8_t* src;
    std::size_t width, row_bytes;
    ElementType dtype;
    std::uint32_t shift;
  } rows{src, width, width * element_size(dtype), dtype, shift};
  const htj2k::RowSource source{&rows, [](void* ctx, std::size_t y, std::int32_t* row) {
    const auto& r = *static_cast<const Rows*>(ctx);
    widen_plane(r.src + y * r.row_bytes, row, r.width, r.dtype, r.shift);
  }};
  WrittenPlane written;
  written.offset = out.size();
  auto coded = codestream::encode_plane_from_rows(samples, width, height, depth, is_signed, params,
                                                  source, out, params.index ? &written.ends : nullptr);
  if (!coded) {
    Error error = std::move(coded.error());
    if (error.kind == ErrorKind::Unsupported)
      error.message = "htj2k plane " + std::to_string(k) + ": " + error.message;
    return std::unexpected(std::move(error));
  }
  written.length = out.size() - written.offset;
  return written;
}

// The index entry of a codestream just appended to `out` (still in cache):
// where it lies and its prefix lengths, with the header's checksums its
// prefix checksums too.
Result<PlaneEntry> index_entry(const ChunkHeader& header, const WrittenPlane& plane,
                               std::span<const std::uint8_t> out) {
  VARNEL_ASSIGN_OR_RETURN(auto entry,
                          PlaneEntry::from_resolution_ends(plane.ends, plane.length, plane.offset));
  if (header.checksums) VARNEL_TRY(entry.add_checksums(out.subspan(plane.offset, plane.length)));
  return entry;
}

}  // namespace

// Checks, then the container built in place: room for the header and
// index, which are written last, then every plane's codestream appended
// straight after it.
Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const Htj2kConfig& config) {
  VARNEL_TRY(check_encode_input(chunk, shape, dtype, config));
  const std::size_t n = shape.size();
  const std::uint64_t height = shape[n - 2], width = shape[n - 1];
  const std::size_t area = static_cast<std::size_t>(width * height);  // <= element count
  const std::size_t plane_bytes = area * element_size(dtype);
  const std::size_t planes = plane_bytes ? chunk.size() / plane_bytes : 0;
  const codestream::EncodeParams params = writer_params(config, *config.progression_order());

  ChunkHeader header;
  header.xy_levels = config.xy_levels;
  header.checksums = config.checksums;
  header.shape.reserve(n);
  for (std::uint64_t extent : shape) {
    if (extent > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(
          invalid("chunk extent " + std::to_string(extent) + " exceeds u32"));
    header.shape.push_back(static_cast<std::uint32_t>(extent));
  }
  const std::size_t prefix =
      config.index ? header.index_end(planes) : header.header_size();
  // The capacity is reserved generously (untouched pages cost nothing).
  std::vector<std::uint8_t> out;
  // (Capped: beyond that the vector grows geometrically as usual.)
  out.reserve(prefix + std::min<std::size_t>(chunk.size() + chunk.size() / 4 + planes * 4096,
                                             kReserveCap));
  advise_huge_pages(out.data(), out.capacity());
  out.resize(prefix);

  // One coefficient plane, reused by every plane.
  BigArray<std::int32_t> samples(area);
  if (samples.empty()) return std::unexpected(unsupported("chunk too large to encode in memory"));
  // The codestreams follow header and index, so each one's offset in `out`
  // is its offset in the chunk.
  std::vector<PlaneEntry> entries;
  if (config.index) entries.reserve(planes);
  for (std::size_t k = 0; k < planes; ++k) {
    VARNEL_ASSIGN_OR_RETURN(auto plane, encode_plane(chunk.data() + k * plane_bytes, k, height, width,
                                                     dtype, params, {samples.data(), area}, out));
    if (!config.index) continue;
    VARNEL_ASSIGN_OR_RETURN(auto entry, index_entry(header, plane, out));
    entries.push_back(std::move(entry));
  }
  if (config.index) header.planes = std::move(entries);

  VARNEL_ASSIGN_OR_RETURN(auto head, header.to_bytes());
  if (head.size() != prefix)  // the layout of the container header fixes its size
    return std::unexpected(invalid("chunk header size mismatch"));
  std::copy(head.begin(), head.end(), out.begin());
  return out;
}

Result<ChunkPlanes> plane_ranges(std::span<const std::uint8_t> chunk) {
  VARNEL_ASSIGN_OR_RETURN(auto parsed, ChunkHeader::parse(chunk));
  ChunkPlanes out{std::move(parsed), {}, {}};
  const std::uint64_t planes = out.header.plane_count();  // <= 2^24 after parse
  if (out.header.planes) {
    out.ranges.reserve(planes);
    const std::size_t top = out.header.xy_levels;
    for (std::size_t k = 0; k < planes; ++k) {
      const PlaneEntry& e = (*out.header.planes)[k];
      std::uint64_t end = 0;
      if (__builtin_add_overflow(e.offset, std::uint64_t{e.length}, &end) || end > chunk.size())
        return std::unexpected(malformed(e.offset, "plane byte range exceeds the chunk"));
      // The last prefix ends where the EOC marker starts, which the parse
      // of the whole codestream checks.
      VARNEL_TRY(e.verify_prefix(chunk.subspan(static_cast<std::size_t>(e.offset), e.length), top, k));
      out.ranges.push_back({e.offset, e.length});
    }
    return out;
  }
  // Without an index the codestreams follow the header back to back; each
  // ends with its EOC. Reserve no more entries than the bytes could hold.
  std::uint64_t p = out.header.header_size();
  out.ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(planes, chunk.size() / 16 + 1)));
  for (std::uint64_t k = 0; k < planes; ++k) {
    if (chunk.size() < p) return std::unexpected(malformed(p, "chunk ends before all planes"));
    VARNEL_ASSIGN_OR_RETURN(auto cs, Codestream::parse(chunk.subspan(static_cast<std::size_t>(p))));
    out.ranges.push_back({p, cs.end});
    p += cs.end;
    out.parsed.push_back(std::move(cs));
  }
  return out;
}

Result<ChunkPlanes> reduced_plane_ranges(std::span<const std::uint8_t> chunk, std::uint8_t reduce) {
  VARNEL_ASSIGN_OR_RETURN(const auto& header, ChunkHeader::parse_for_reduced(chunk, reduce));
  const std::size_t top = header.xy_levels - reduce;  // checked by the parse
  std::vector<PlaneRange> ranges;
  ranges.reserve(header.planes->size());
  for (std::size_t k = 0; k < header.planes->size(); ++k) {
    const PlaneEntry& e = (*header.planes)[k];
    const std::uint64_t needed = e.prefix_lengths[top];
    std::uint64_t end = 0;
    if (__builtin_add_overflow(e.offset, needed, &end) || end > chunk.size())
      return std::unexpected(malformed(e.offset, "plane prefix exceeds the chunk"));
    VARNEL_TRY(e.verify_prefix(chunk.subspan(static_cast<std::size_t>(e.offset), needed), top, k));
    ranges.push_back({e.offset, needed});
  }
  return ChunkPlanes{std::move(header), std::move(ranges), {}};
}

Result<std::vector<std::int32_t>> decode_plane(const ChunkHeader& header,
                                               std::span<const std::uint8_t> codestream) {
  VARNEL_ASSIGN_OR_RETURN(auto cs, parse_plane(header, codestream));
  const std::size_t n = header.shape.size();
  const std::uint64_t height = header.shape[n - 2], width = header.shape[n - 1];
  VARNEL_ASSIGN_OR_RETURN(auto image, cs.decode_to_resolution(cs.cod.levels));
  if (image.components.size() != 1 || image.width != width || image.height != height)
    return std::unexpected(
        malformed(0, plane_size_message(image.components.size(), image.height, image.width, header)));
  return std::move(image.components.front());
}

Result<void> narrow_samples(std::span<const std::int32_t> samples, ElementType dtype,
                            std::vector<std::uint8_t>& output) {
  VARNEL_TRY(check_codes(dtype));
  return append_narrowed(samples.data(), samples.size(), dtype, narrowing_for(dtype), output);
}

namespace {

// The narrowing of a decoded plane of `component` to `dtype`, with the DC
// level shift when it is `fused`.
Narrowing plane_narrowing(const codestream::SizComponent& component, ElementType dtype, bool fused,
                          std::uint8_t reduce) {
  Narrowing how = narrowing_for(dtype);
  if (fused && !component.is_signed) {
    const unsigned d = std::max<unsigned>(component.depth, 1);
    const std::int32_t half = static_cast<std::int32_t>(std::uint32_t{1} << (d - 1));
    how.clamp_lo = -half;
    how.clamp_hi = half - 1;
    how.add = half;
  } else if (component.is_signed && reduce > 0 && component.depth <= 31) {
    // Below full resolution the low-pass samples may overshoot the
    // component's range (the 5/3 low-pass filter has negative taps), so
    // signed samples are clipped to it too, as decoders do (T.800 G.1.2
    // after the inverse transform). At full resolution a lossless plane
    // never overshoots, and a sample outside the dtype is an error.
    const unsigned d = std::max<unsigned>(component.depth, 1);
    const std::int32_t half = static_cast<std::int32_t>(std::uint32_t{1} << (d - 1));
    how.clamp_lo = -half;
    how.clamp_hi = half - 1;
  }
  return how;
}

// Checks the container against `shape`, then decodes every plane in order
// and narrows it to the bytes that `place(n)` hands out for it (n bytes, in
// plane order); `place` returns null when it has no room.
//
// `reduce` 0 with `cut` false: the ranges are whole codestreams, decoded at
// full resolution. `cut` true: the ranges are the prefixes of the
// resolution `reduce` levels below full (reduced_plane_ranges), decoded at
// that resolution.
template <class Place>
Result<void> decode_planes(std::span<const std::uint8_t> chunk, const ChunkPlanes& planes,
                           ElementType dtype, bool cut, std::uint8_t reduce, const Place& place) {
  VARNEL_TRY(check_codes(dtype));
  const ChunkHeader& header = planes.header;
  // One workspace serves every streamed plane, and one plane buffer every
  // plane decoded whole (each decode writes all it reads).
  const std::size_t n = header.shape.size();
  const std::uint64_t width = codestream::halved(header.shape[n - 1], reduce);
  BigArray<std::int32_t> workspace;
  BigArray<std::int32_t> plane;
  Codestream parsed_here;
  for (std::size_t k = 0; k < planes.ranges.size(); ++k) {
    // A chunk without an index had its codestreams parsed to find them.
    const Codestream* parsed = k < planes.parsed.size() ? &planes.parsed[k] : nullptr;
    if (parsed) {
      VARNEL_TRY(check_plane(header, *parsed, cut));
    } else {
      const PlaneRange& range = planes.ranges[k];
      const auto bytes = chunk.subspan(static_cast<std::size_t>(range.offset),
                                       static_cast<std::size_t>(range.length));
      VARNEL_ASSIGN_OR_RETURN(auto cs, parse_plane(header, bytes, cut));
      parsed_here = std::move(cs);
      parsed = &parsed_here;
    }
    const Codestream& cs = *parsed;
    const std::uint8_t target =
        cut ? static_cast<std::uint8_t>(header.xy_levels - reduce) : cs.cod.levels;
    // check_plane has run check_supported and the plane's size: the plan is
    // one component of width x height.
    VARNEL_ASSIGN_OR_RETURN(auto plan, codestream::plan_decode_checked(cs, target));
    const std::size_t area = plan.width * plan.height;  // checked by plan_decode
    // Allocates `buffer` for `samples` (at most 2 * area, checked by
    // plan_decode) unless it holds them already.
    auto hold = [](BigArray<std::int32_t>& buffer, std::size_t samples) -> Result<void> {
      if (buffer.size() >= samples && !buffer.empty()) return ok();
      buffer = BigArray<std::int32_t>(std::max<std::size_t>(samples, 1));
      if (buffer.empty()) return std::unexpected(unsupported("image too large to decode in memory"));
      return ok();
    };
    // The DC level shift is left to the narrowing when it fits 32 bits.
    const codestream::SizComponent& component = cs.siz.components.front();
    const bool fused_shift = component.is_signed || component.depth <= 31;
    const Narrowing how = plane_narrowing(component, dtype, fused_shift, reduce);
    std::uint8_t* dst = place(area * element_size(dtype));
    if (dst == nullptr)
      return std::unexpected(invalid("decode output buffer does not match the chunk shape"));
    if (codestream::needs_wide_datapath(cs.qcd)) {
      VARNEL_TRY(decode_plane_wide(cs, plan, dtype, reduce, dst));
      continue;
    }
    if (fused_shift) {
      // Each row is narrowed into the output as the inverse transform
      // finishes it, while it is still in cache.
      struct Rows {
        const Narrowing* how;
        std::uint8_t* dst;
        std::size_t width, row_bytes;
        decltype(NarrowKernels::narrow) narrow;
        bool fits = true;
      } rows{&how, dst, width, width * element_size(dtype), narrow_kernels().narrow};
      const htj2k::RowSink sink{&rows, [](void* ctx, std::size_t y, const std::int32_t* row) {
        auto& r = *static_cast<Rows*>(ctx);
        r.fits = r.narrow(row, r.dst + y * r.row_bytes, r.width, *r.how);
        return r.fits;
      }};
      const std::size_t samples = codestream::rows_workspace_samples(plan);
      VARNEL_TRY(hold(workspace, samples));
      VARNEL_TRY(codestream::run_decode_rows(cs, plan, std::span(workspace.data(), samples), sink));
      if (rows.fits) continue;
      // Some sample is out of range: decode the plane again whole, for the
      // error that names the range of all its samples.
    }
    VARNEL_TRY(hold(plane, area));
    const std::span<std::int32_t> view(plane.data(), area);
    VARNEL_TRY(codestream::run_decode(cs, plan, std::span(&view, 1), !fused_shift));
    VARNEL_TRY(narrow_into(plane.data(), area, dtype, how, dst));
  }
  return ok();
}

// `planes` (of plane_ranges or reduced_plane_ranges) when the chunk
// declares exactly `shape`.
Result<ChunkPlanes> of_shape(Result<ChunkPlanes> planes, std::span<const std::uint64_t> shape) {
  if (!planes) return planes;
  const ChunkHeader& header = planes->header;
  if (!std::equal(header.shape.begin(), header.shape.end(), shape.begin(), shape.end(),
                  [](std::uint32_t a, std::uint64_t b) { return a == b; }))
    return std::unexpected(malformed(0, "chunk header declares shape " +
                                      shape_text(std::span<const std::uint32_t>(header.shape)) +
                                      ", decode expects " + shape_text(shape)));
  return planes;
}

// decode_planes into a new buffer of `expected` bytes (an overflowed count
// is nothing), reserved up front as far as the chunk makes it plausible.
Result<std::vector<std::uint8_t>> decode_owned(std::span<const std::uint8_t> chunk,
                                               const ChunkPlanes& planes, ElementType dtype,
                                               bool cut, std::uint8_t reduce,
                                               std::optional<std::uint64_t> expected) {
  std::vector<std::uint8_t> output;
  std::uint64_t cap = 0;
  if (__builtin_mul_overflow(std::uint64_t{chunk.size()}, kReserveRatio, &cap))
    cap = std::numeric_limits<std::uint64_t>::max();
  cap = std::max(cap, kReserveFloor);
  // A decoded output: not advised for huge pages (core/pages.hpp).
  if (expected) output.reserve(static_cast<std::size_t>(std::min(*expected, cap)));
  VARNEL_TRY(decode_planes(chunk, planes, dtype, cut, reduce, [&](std::size_t bytes) {
    const std::size_t at = output.size();
    output.resize(at + bytes);
    return output.data() + at;
  }));
  return output;
}

// decode_planes into `out`, which the planes must fill exactly.
Result<void> decode_into(std::span<const std::uint8_t> chunk, const ChunkPlanes& planes,
                         ElementType dtype, bool cut, std::uint8_t reduce,
                         std::span<std::uint8_t> out) {
  std::size_t written = 0;
  auto r = decode_planes(chunk, planes, dtype, cut, reduce, [&](std::size_t bytes) -> std::uint8_t* {
    if (bytes > out.size() - written) return nullptr;
    std::uint8_t* at = out.data() + written;
    written += bytes;
    return at;
  });
  if (!r) return r;
  if (written != out.size())
    return std::unexpected(invalid("decode output buffer does not match the chunk shape"));
  return ok();
}

std::optional<std::uint64_t> optional_size(const Result<std::uint64_t>& size) {
  return size ? std::optional<std::uint64_t>(*size) : std::nullopt;
}

}  // namespace

Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype) {
  VARNEL_ASSIGN_OR_RETURN(auto planes, of_shape(plane_ranges(chunk), shape));
  return decode_owned(chunk, planes, dtype, false, 0, optional_size(decoded_size(shape, dtype)));
}

Result<std::uint64_t> decoded_size(std::span<const std::uint64_t> shape, ElementType dtype) {
  std::uint64_t bytes = element_size(dtype);
  for (std::uint64_t e : shape)
    if (__builtin_mul_overflow(bytes, e, &bytes))
      return std::unexpected(invalid("chunk byte length overflows"));
  return bytes;
}

Result<void> decode_chunk_into(std::span<const std::uint8_t> chunk,
                               std::span<const std::uint64_t> shape, ElementType dtype,
                               std::span<std::uint8_t> out) {
  VARNEL_ASSIGN_OR_RETURN(auto planes, of_shape(plane_ranges(chunk), shape));
  return decode_into(chunk, planes, dtype, false, 0, out);
}

Result<std::vector<std::uint8_t>> decode_chunk_reduced(std::span<const std::uint8_t> chunk,
                                                       std::span<const std::uint64_t> shape,
                                                       ElementType dtype, std::uint8_t reduce) {
  VARNEL_ASSIGN_OR_RETURN(auto planes, of_shape(reduced_plane_ranges(chunk, reduce), shape));
  return decode_owned(chunk, planes, dtype, true, reduce,
                      optional_size(reduced_size(shape, dtype, reduce)));
}

Result<std::uint64_t> reduced_size(std::span<const std::uint64_t> shape, ElementType dtype,
                                   std::uint8_t reduce) {
  const std::size_t n = shape.size();
  if (n < codestream::kMinChunkNdim)
    return std::unexpected(invalid(
        "htj2k needs a chunk with trailing 2D (y, x) planes; got " + std::to_string(n) +
        " dimension(s)"));
  std::uint64_t bytes = element_size(dtype);
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t e = j + 2 < n ? shape[j] : codestream::halved(shape[j], reduce);
    if (__builtin_mul_overflow(bytes, e, &bytes))
      return std::unexpected(invalid("chunk byte length overflows"));
  }
  return bytes;
}

Result<void> decode_chunk_reduced_into(std::span<const std::uint8_t> chunk,
                                       std::span<const std::uint64_t> shape, ElementType dtype,
                                       std::uint8_t reduce, std::span<std::uint8_t> out) {
  VARNEL_ASSIGN_OR_RETURN(auto planes, of_shape(reduced_plane_ranges(chunk, reduce), shape));
  return decode_into(chunk, planes, dtype, true, reduce, out);
}

}  // namespace varnel::zarr
