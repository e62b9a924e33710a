// varnel codestream: the htj2k chunk container.
//
// One chunk of shape (d0, …, y, x) holds one codestream per y × x plane:
//   "vrht" | version 1 | flags | xy_levels | ndim | ndim × u32 extents
//   | optional plane index: per plane u64 offset, u32 length,
//     (xy_levels + 1) × u32 prefix lengths
//     [, with checksums: (xy_levels + 1) × u32 prefix checksums]
//   | codestreams, in plane order (C order of the leading dimensions).
// Integers are little-endian. Flags: bit 0 (1) a plane index follows the
// header; bit 1 (2) its entries carry checksums, which needs bit 0 (so the
// flags byte is 0, 1 or 3). Prefix checksum r is the CRC-32C
// (core/crc32c.hpp) of the first prefix_lengths[r] bytes of the plane's
// codestream, so a read of any prefix, or of the whole codestream (whose
// last prefix ends where its EOC marker starts), can check that the bytes
// it decodes are those the index was written for: a byte range taken from
// elsewhere, or from another version of the chunk, fails the check.
// There is no checksum of header and index themselves: each of their
// fields either chooses the bytes that are checked (offsets, lengths, prefix
// lengths, and through the entry size the levels and plane count) or is
// compared with the codestream (plane extents, levels), so a torn head fails
// a prefix check too; and a compacted chunk (entries re-pointed at the
// prefixes) rewrites the head, which a head checksum could not survive.
// `ChunkHeader` mirrors header and index; `PlaneEntry::from_codestream`
// derives an index entry from a finished codestream's PLT packet index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace varnel::codestream {

struct Codestream;

inline constexpr std::uint8_t kContainerMagic[4] = {'v', 'r', 'h', 't'};
inline constexpr std::uint8_t kContainerVersion = 1;
inline constexpr std::uint64_t kMaxChunkPlanes = std::uint64_t{1} << 24;
inline constexpr std::uint8_t kMaxXyLevels = 32;
inline constexpr std::size_t kMinChunkNdim = 2;
inline constexpr std::size_t kMaxChunkNdim = 32;
inline constexpr std::uint8_t kFlagIndex = 1;
inline constexpr std::uint8_t kFlagChecksums = 2;

struct PlaneEntry {
  // For each resolution r = 0..=L: the leading bytes of the codestream that
  // hold every packet of resolutions 0..=r.
  std::vector<std::uint32_t> prefix_lengths;
  std::uint64_t offset = 0;  // from the first byte of the chunk
  std::uint32_t length = 0;
  // With checksums, one per prefix: CRC-32C of the first prefix_lengths[r]
  // bytes of the codestream; empty without.
  std::vector<std::uint32_t> checksums;

  // The entry of `codestream` (parsed from exactly its bytes, with PLT
  // segments) when it sits at `offset` in the chunk. Unsupported beyond the
  // 4 GiB bound of the 32-bit fields; packet index errors pass through.
  static Result<PlaneEntry> from_codestream(const Codestream& codestream, std::uint64_t offset);

  // The same entry from what the writer knows of a codestream it wrote: the
  // furthest packet end of each resolution 0..L (from SOC) and its length.
  static Result<PlaneEntry> from_resolution_ends(std::span<const std::uint64_t> furthest,
                                                 std::uint64_t length, std::uint64_t offset);

  // Fills `checksums` from the plane's codestream (at least its longest
  // prefix), in one pass carried from prefix to prefix. InvalidArgument when
  // the prefix lengths decrease or exceed `codestream`.
  Result<void> add_checksums(std::span<const std::uint8_t> codestream);

  // Checks `bytes`, at least the first prefix_lengths[resolution] bytes of
  // the codestream, against checksum `resolution`; an entry without
  // checksums passes. Malformed naming `plane` and the resolution on a
  // mismatch (a prefix that is not the one this entry was written for).
  Result<void> verify_prefix(std::span<const std::uint8_t> bytes, std::size_t resolution,
                             std::uint64_t plane) const;

  bool operator==(const PlaneEntry&) const = default;
};

struct ChunkHeader {
  std::vector<std::uint32_t> shape;               // outermost first; y, x last
  std::optional<std::vector<PlaneEntry>> planes;  // present exactly with an index
  std::uint8_t xy_levels = 0;
  bool checksums = false;  // index entries carry prefix checksums (needs `planes`)

  // Reads header and index (never the codestreams) from the start of a
  // chunk; every failure is Malformed with its byte offset in the chunk.
  static Result<ChunkHeader> parse(std::span<const std::uint8_t> bytes);

  // Header and index for a read of every plane at `reduce` levels below full
  // resolution, which needs only the first prefix_lengths[xy_levels - reduce]
  // bytes of each codestream. As parse, but a chunk without an index, or
  // with fewer than `reduce` levels, is InvalidArgument, and each entry is
  // checked only as far as that read goes: prefix lengths non-decreasing up
  // to the resolution read, that prefix within `length`, and those prefixes
  // (not whole codestreams) in order after the index. A compacted chunk,
  // whose entries point at the prefixes alone, passes.
  static Result<ChunkHeader> parse_for_reduced(std::span<const std::uint8_t> bytes,
                                               std::uint8_t reduce);

  // Header and index bytes, ready for the codestreams to be appended. Needs
  // 2 <= ndim <= 32, xy_levels <= 32, xy_levels + 1 prefix lengths per entry
  // and, with `checksums`, an index and xy_levels + 1 checksums per entry;
  // the drivers guarantee these, so a violation is a defect report.
  Result<std::vector<std::uint8_t>> to_bytes() const;

  // Planes (product of all extents but the last two) and the byte sizes of
  // the header, of one index entry, and of header and index of `planes`
  // entries (planes <= 2^24).
  std::uint64_t plane_count() const;
  std::size_t header_size() const { return 8 + 4 * shape.size(); }
  std::size_t entry_size() const {
    return 16 + 4 * std::size_t{xy_levels} + (checksums ? 4 * (std::size_t{xy_levels} + 1) : 0);
  }
  std::uint64_t index_end(std::uint64_t planes) const {
    return header_size() + planes * entry_size();
  }

  bool operator==(const ChunkHeader&) const = default;
};

}  // namespace varnel::codestream
