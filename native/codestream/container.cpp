#include "codestream/container.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/bytes.hpp"

namespace varnel::codestream {

std::uint64_t ChunkHeader::plane_count() const {
  std::uint64_t planes = 1;
  for (std::size_t i = 0; i + 2 < shape.size(); ++i)
    if (__builtin_mul_overflow(planes, std::uint64_t{shape[i]}, &planes))
      return std::numeric_limits<std::uint64_t>::max();
  return planes;
}

namespace {

// The fixed header and extents (checks 1 to 9 of the layout); whether an
// index follows goes to `indexed`.
Result<ChunkHeader> parse_head(std::span<const std::uint8_t> bytes, bool& indexed) {
  if (bytes.size() < 8) return std::unexpected(malformed(0, "chunk header prefix too short"));
  if (!std::equal(bytes.begin(), bytes.begin() + 4, kContainerMagic))
    return std::unexpected(malformed(0, "not an htj2k chunk (bad magic)"));
  if (bytes[4] != kContainerVersion)
    return std::unexpected(malformed(4, "unsupported htj2k chunk container version"));
  const std::uint8_t flags = bytes[5];
  if (flags > (kFlagIndex | kFlagChecksums))
    return std::unexpected(malformed(5, "unknown htj2k chunk container flags"));
  if (flags == kFlagChecksums)
    return std::unexpected(malformed(5, "htj2k chunk container flags: checksums without a plane index"));
  ChunkHeader header;
  header.checksums = (flags & kFlagChecksums) != 0;
  header.xy_levels = bytes[6];
  if (header.xy_levels > kMaxXyLevels)
    return std::unexpected(malformed(6, "xy_levels exceeds the 32-level J2K bound (T.800 SPcod)"));
  const std::size_t ndim = bytes[7];
  if (ndim < kMinChunkNdim || ndim > kMaxChunkNdim)
    return std::unexpected(malformed(7, "chunk ndim outside 2..=32"));
  if (bytes.size() < 8 + 4 * ndim) return std::unexpected(malformed(bytes.size(), "truncated chunk header"));

  ByteReader in(bytes, 8);
  header.shape.reserve(ndim);
  for (std::size_t j = 0; j < ndim; ++j) {
    const std::uint32_t extent = *in.u32le();  // in bounds: checked above
    if (extent == 0) return std::unexpected(malformed(8 + 4 * j, "zero chunk dimension"));
    header.shape.push_back(extent);
  }
  std::uint64_t planes = 1;
  for (std::size_t j = 0; j + 2 < ndim; ++j) {
    planes *= header.shape[j];  // <= 2^24 * (2^32 - 1): no overflow
    if (planes > kMaxChunkPlanes)
      return std::unexpected(malformed(8, "chunk declares more planes than supported"));
  }
  indexed = (flags & kFlagIndex) != 0;
  return header;
}

// Reads the index after the header. Each entry's prefix lengths must not
// decrease up to resolution `top`, whose prefix must lie within `length`;
// the byte range an entry claims (the whole codestream when `whole`, else
// that prefix) must start after the index and the previous entry's range.
Result<void> parse_index(std::span<const std::uint8_t> bytes, ChunkHeader& header,
                         std::uint8_t top, bool whole) {
  const std::uint64_t planes = header.plane_count();  // <= 2^24 after parse_head
  const std::uint64_t entry = header.entry_size();
  const std::uint64_t index_end = header.index_end(planes);
  if (bytes.size() < index_end)
    return std::unexpected(malformed(bytes.size(), "truncated coefficient-plane index"));

  ByteReader in(bytes, header.header_size());
  std::vector<PlaneEntry> entries(planes);
  std::uint64_t bound = index_end;
  for (std::uint64_t k = 0; k < planes; ++k) {
    const std::uint64_t at = header.header_size() + k * entry;
    PlaneEntry& e = entries[k];
    e.offset = *in.u64le();
    e.length = *in.u32le();
    e.prefix_lengths.resize(std::size_t{header.xy_levels} + 1);
    for (std::uint32_t& p : e.prefix_lengths) p = *in.u32le();
    if (header.checksums) {
      e.checksums.resize(std::size_t{header.xy_levels} + 1);
      for (std::uint32_t& c : e.checksums) c = *in.u32le();
    }
    if (e.offset < bound)
      return std::unexpected(malformed(at, "plane offsets overlap or precede the index"));
    bool consistent = e.prefix_lengths[top] <= e.length;
    for (std::size_t r = 1; r <= top; ++r)
      consistent = consistent && e.prefix_lengths[r - 1] <= e.prefix_lengths[r];
    if (!consistent) return std::unexpected(malformed(at, "plane prefix lengths are inconsistent"));
    const std::uint32_t claimed = whole ? e.length : e.prefix_lengths[top];
    if (__builtin_add_overflow(e.offset, std::uint64_t{claimed}, &bound))
      return std::unexpected(malformed(at, "plane byte range overflows"));
  }
  header.planes = std::move(entries);
  return ok();
}

}  // namespace

Result<ChunkHeader> ChunkHeader::parse(std::span<const std::uint8_t> bytes) {
  bool indexed = false;
  auto header = parse_head(bytes, indexed);
  if (!header || !indexed) return header;
  VARNEL_TRY(parse_index(bytes, *header, header->xy_levels, true));
  return header;
}

Result<ChunkHeader> ChunkHeader::parse_for_reduced(std::span<const std::uint8_t> bytes,
                                                   std::uint8_t reduce) {
  bool indexed = false;
  auto header = parse_head(bytes, indexed);
  if (!header) return header;
  if (!indexed)
    return std::unexpected(invalid(
        "htj2k: a reduced-resolution decode needs the plane index (chunk written with "
        "index=False)"));
  if (reduce > header->xy_levels)
    return std::unexpected(invalid("htj2k: reduce " + std::to_string(reduce) +
                                          " exceeds the chunk's " +
                                          std::to_string(header->xy_levels) + " wavelet levels"));
  const auto top = static_cast<std::uint8_t>(header->xy_levels - reduce);
  VARNEL_TRY(parse_index(bytes, *header, top, false));
  return header;
}

Result<std::vector<std::uint8_t>> ChunkHeader::to_bytes() const {
  const std::size_t ndim = shape.size();
  if (ndim < kMinChunkNdim || ndim > kMaxChunkNdim)
    return std::unexpected(
        invalid("chunk header ndim " + std::to_string(ndim) + " outside 2..=32"));
  if (xy_levels > kMaxXyLevels)
    return std::unexpected(invalid("chunk header xy_levels " + std::to_string(xy_levels) +
                                          " exceeds the 32-level J2K bound (T.800 SPcod)"));
  if (checksums && !planes)
    return std::unexpected(invalid("chunk header with checksums but no plane index"));
  std::size_t size = header_size();
  if (planes) {
    const std::size_t per_entry = std::size_t{xy_levels} + 1;
    for (const PlaneEntry& e : *planes) {
      if (e.prefix_lengths.size() != per_entry)
        return std::unexpected(invalid(
            "chunk header plane entry holds " + std::to_string(e.prefix_lengths.size()) +
            " prefix lengths for " + std::to_string(xy_levels) + " levels"));
      if (e.checksums.size() != (checksums ? per_entry : 0))
        return std::unexpected(invalid(
            "chunk header plane entry holds " + std::to_string(e.checksums.size()) +
            " checksums for " + std::to_string(xy_levels) + " levels" +
            (checksums ? "" : " without the checksums flag")));
    }
    size += planes->size() * entry_size();
  }
  std::vector<std::uint8_t> out;
  out.reserve(size);
  ByteWriter w(out);
  w.bytes(kContainerMagic);
  w.u8(kContainerVersion);
  w.u8(static_cast<std::uint8_t>((planes ? kFlagIndex : 0) | (checksums ? kFlagChecksums : 0)));
  w.u8(xy_levels);
  w.u8(static_cast<std::uint8_t>(ndim));
  for (std::uint32_t extent : shape) w.u32le(extent);
  if (planes) {
    for (const PlaneEntry& e : *planes) {
      w.u64le(e.offset);
      w.u32le(e.length);
      for (std::uint32_t p : e.prefix_lengths) w.u32le(p);
      for (std::uint32_t c : e.checksums) w.u32le(c);
    }
  }
  return out;
}

}  // namespace varnel::codestream
