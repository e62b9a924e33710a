// varnel zfp: the field walked block by block through zfp's block coder.
//
// zfp codes a field as blocks of 4^d values, x fastest, the blocks in C
// order of their positions, edge blocks padded by zfp's own rule; zfp's
// whole-field calls are that loop over its public block functions. Running
// the loop here lets narrow integers be converted to int32 a block at a time
// (no widened copy of the chunk) and lets a decoder move its bit stream to
// another buffer between blocks. The streams are zfp's, bit for bit.
#pragma once

#include <zfp.h>

#include <array>
#include <cstddef>

#include "zfp/stream.hpp"

namespace varnel::zfpc {

// Extents [nx, ny, nz, nw] (1 for the axes the field lacks) and the
// dimensionality 1..4.
struct Extents {
  std::array<std::size_t, 4> n{1, 1, 1, 1};
  unsigned dims = 1;
};

// Writes every block of `samples` (the field's elements in C order) to the
// stream after its current position and returns true; with
// NonFinite::Stop or Keep, float samples are checked a block at a time as they are
// coded, and a block holding NaN or an infinity ends the walk (false)
// before it is coded.
void encode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, const void* data);
bool encode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, const void* data, NonFinite policy);

// Consulted before a block when the blocks it last allowed are used up: it
// returns how many blocks (from this one) may be decoded before it is asked
// again; 0 stops the walk.
struct BlockGate {
  std::size_t (*allow)(void* context);
  void* context;
};

// Reads blocks from the stream's current position into `out` until every
// block is decoded (true) or the gate stops the walk (false).
bool decode_blocks(zfp_stream* zs, ElementType samples, const Extents& e, void* out, BlockGate gate);

}  // namespace varnel::zfpc
