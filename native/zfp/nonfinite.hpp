// varnel zfp: NaN and infinities kept beside a lossy zfp stream.
//
// zfp's lossy modes code a block by its largest exponent, so NaN and the
// infinities cannot go through them. The codec classes keep them instead:
// the chunk is coded with every non-finite value replaced by a value that
// codes cheaply (the mean of the finite values of its 4^d block, which
// leaves the block's largest exponent, and so the mode's bound on the
// finite values, unchanged; 0 in a block with no finite value, which zfp
// codes in one bit), and the values replaced are recorded after the
// stream, bit for bit. The chunk is then framed:
//
//   "vznf"  version (1)  three zero bytes  stream length (u64, little-endian)
//   the zfp stream (plain, with its full header; 8-byte aligned in the chunk)
//   the record
//
// The magic can never start a zfp stream (whose first bytes are "zfp"), so
// a reader that only knows plain streams refuses a framed chunk by its
// header check instead of returning the filled values. A chunk without
// non-finite values is never framed: it stays zfp's (zfpy's) stream.
//
// The record, in unsigned LEB128 varints and little-endian element bits:
//
//   count           non-finite values in the chunk (1 .. elements)
//   P               distinct bit patterns among them (1 .. count)
//   P patterns      each element-size bytes, each non-finite
//   indices         when P > 1: one per value, bit_width(P - 1) bits each,
//                   packed from the least significant bit, in whole bytes
//   block runs      over the field's blocks in zfp's order, until every
//                   block is covered: a varint (run << 2 | class), run >= 1;
//                   class 0 = no non-finite value, 1 = nothing but
//                   non-finite values, 2 = some (then `run` masks follow,
//                   one per block: bit k, from the least significant bit
//                   of byte 0, for the block's k-th value in the walk's
//                   order, ceil(values / 8) bytes, unused bits 0)
//
// The values (and their indices) follow the order of the walk: blocks in
// zfp's order, values in a block x fastest. A land mask costs a few bytes
// per block row crossing the coast; a chunk of canonical NaN costs no index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dtype.hpp"
#include "core/error.hpp"
#include "zfp/stream.hpp"

namespace varnel::zfpc {

inline constexpr std::array<std::uint8_t, 4> kFrameMagic{'v', 'z', 'n', 'f'};
inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameHeaderSize = 16;

// Whether `chunk` starts with the frame's magic (and so is no plain stream).
bool is_framed(std::span<const std::uint8_t> chunk);

// The parts of a framed chunk, after the frame header's checks (magic,
// version, zero bytes, stream length within the chunk, a record).
struct FramedChunk {
  std::span<const std::uint8_t> stream;
  std::span<const std::uint8_t> record;
};
Result<FramedChunk> open_frame(std::span<const std::uint8_t> chunk);

// The frame header of a stream of `stream_size` bytes, at `out`.
void write_frame_header(std::uint8_t* out, std::uint64_t stream_size);

// Replaces the non-finite values of `samples` (F32 or F64: the field's
// elements in C order, aligned for their type) as above and returns their
// record.
std::vector<std::uint8_t> fill_non_finite(ElementType dtype, const FieldShape& field, void* samples);

// Writes the values `record` holds into `out` (the decoded field's bytes,
// any alignment). A record that does not describe this field exactly
// (counts that disagree, runs past the last block or short of it, masks or
// indices out of range, bytes left over) is Malformed, reported at its byte
// offset plus `base`; `out` then holds nothing meaningful.
Result<void> restore_non_finite(ElementType dtype, const FieldShape& field, std::span<const std::uint8_t> record,
                                std::span<std::uint8_t> out, std::uint64_t base);

}  // namespace varnel::zfpc
