// varnel zarr: the htj2k chunk drivers.
//
// `encode_chunk` cuts an n-D chunk (native-endian elements, C order) into its
// trailing (y, x) planes, codes each as one lossless HTJ2K codestream and
// assembles the chunk container; `decode_chunk` reverses it, checking the
// container against the expected shape and every decoded sample against the
// element type. A chunk whose index carries prefix checksums has every byte
// range a decode reads checked against them before anything is decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codestream/container.hpp"
#include "core/dtype.hpp"
#include "core/error.hpp"

namespace varnel::zarr {

// The element types htj2k codes (core/dtype.hpp): the integers of up to 32
// bits. Every entry point below refuses the others.
constexpr bool htj2k_codes(ElementType t) {
  return !element_is_float(t) && t != ElementType::I64;
}

// A dtype name (core/dtype.hpp's table) whose type htj2k codes, else nothing.
std::optional<ElementType> htj2k_element_type(std::string_view name);

struct Htj2kConfig {
  std::uint8_t xy_levels = 5;       // wavelet levels of every plane, 0..=32
  bool reversible = true;           // false is refused (lossless only)
  std::string progression = "RPCL"; // LRCP, RLCP, RPCL, PCRL or CPRL
  bool index = true;                // plane index in the container, PLT/TLM in each codestream
  bool checksums = false;           // prefix checksums in the plane index (needs `index`)

  // The SGcod progression order code (T.800 Table A.16) of `progression`.
  Result<std::uint8_t> progression_order() const;
};

Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const Htj2kConfig& config);

// The container must declare exactly `shape`; every decoded sample must fit
// `dtype` (any dtype whose range holds the values will do).
Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype);

// Byte count of the decoded elements of `shape` (InvalidArgument "chunk byte
// length overflows" when it does not fit 64 bits).
Result<std::uint64_t> decoded_size(std::span<const std::uint64_t> shape, ElementType dtype);

// `decode_chunk` into a caller's buffer of exactly `decoded_size` bytes
// (same checks and errors; the buffer's contents are unspecified on error).
Result<void> decode_chunk_into(std::span<const std::uint8_t> chunk,
                               std::span<const std::uint64_t> shape, ElementType dtype,
                               std::span<std::uint8_t> out);

// Reduced-resolution decode: every plane at resolution xy_levels - reduce,
// reading only the prefix of each codestream that the plane index names for
// it (ChunkHeader::parse_for_reduced states what the index must hold; a
// compacted chunk of header, index and prefixes will do). `shape` is the
// chunk's full shape, which the container must declare; the planes come out
// with y and x halved `reduce` times, rounding up (ceil(n / 2^reduce), the
// size of that resolution on the writer's origin-0 canvas), as native-endian
// elements in C order. The same checks as decode_chunk besides.
Result<std::vector<std::uint8_t>> decode_chunk_reduced(std::span<const std::uint8_t> chunk,
                                                       std::span<const std::uint64_t> shape,
                                                       ElementType dtype, std::uint8_t reduce);

// Byte count of that output (InvalidArgument for fewer than 2 dimensions or
// a count beyond 64 bits), and the decode into a buffer of exactly that size.
Result<std::uint64_t> reduced_size(std::span<const std::uint64_t> shape, ElementType dtype,
                                   std::uint8_t reduce);
Result<void> decode_chunk_reduced_into(std::span<const std::uint8_t> chunk,
                                       std::span<const std::uint64_t> shape, ElementType dtype,
                                       std::uint8_t reduce, std::span<std::uint8_t> out);

// Byte range of one plane's codestream within the chunk.
struct PlaneRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const PlaneRange&) const = default;
};

struct ChunkPlanes {
  codestream::ChunkHeader header;
  std::vector<PlaneRange> ranges;  // one per plane, in plane order
  // Without an index: every codestream as parsed to find its range (each
  // viewing the chunk from its first byte on), so a decode parses it once.
  std::vector<codestream::Codestream> parsed;
};

// Header and plane ranges of a chunk: from the index, or, without one, by
// parsing the codestreams back to back after the header. An index with
// checksums has each whole codestream's checked (the last prefix's) before
// the ranges are handed out; a mismatch is Malformed naming the plane.
Result<ChunkPlanes> plane_ranges(std::span<const std::uint8_t> chunk);

// Header and, per plane, the range of the codestream prefix that a decode at
// `reduce` levels below full resolution reads (offset, prefix length); with
// checksums, each prefix checked against its resolution's checksum first.
Result<ChunkPlanes> reduced_plane_ranges(std::span<const std::uint8_t> chunk, std::uint8_t reduce);

// One plane's samples (x * y, row-major) from its codestream, which must
// code a single y x x component as the header declares. 32-bit signed
// samples: a 32-bit unsigned component's above 2^31 - 1 are clamped there
// (decode_chunk gives them whole).
Result<std::vector<std::int32_t>> decode_plane(const codestream::ChunkHeader& header,
                                               std::span<const std::uint8_t> codestream);

// Checks `samples` against the range of `dtype`, then appends them to
// `output` as native-endian elements of its width.
Result<void> narrow_samples(std::span<const std::int32_t> samples, ElementType dtype,
                            std::vector<std::uint8_t>& output);

}  // namespace varnel::zarr
