// varnel zfp: the zfp chunk codec.
//
// One chunk of an n-dimensional array (native-endian elements in C order) is
// compressed with the zfp library into a zfp stream with a full header, in
// one of four modes ("reversible", "fixed_rate", "fixed_accuracy",
// "fixed_precision"), and decompressed again after the stream's header has
// been checked against the configuration. This header offers the element
// types zfp codes, the configuration record and its checks, the two shape mappings
// (direct, or squeeze-and-pad with `dims`), narrow-integer promotion and
// demotion, and the chunk encode/decode entry points. The layer below
// (stream.hpp) talks to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dtype.hpp"
#include "core/error.hpp"
#include "zfp/stream.hpp"

namespace varnel::zfpc {

// The element types zfp codes (core/dtype.hpp): all but U32. The narrow
// integers travel through zfp as int32.
constexpr bool zfp_codes(ElementType t) { return t != ElementType::U32; }

// A dtype name (core/dtype.hpp's table) whose type zfp codes, else nothing.
std::optional<ElementType> zfp_element_type(std::string_view name);

// The user's configuration, unvalidated.
struct ZfpChunkConfig {
  std::string mode = "reversible";
  std::optional<double> rate, tolerance;
  std::optional<std::uint32_t> precision;
  std::optional<std::uint8_t> dims;

  // Checks dims, the mode name, the parameters of other modes, the mode's own
  // parameter and its range, in that order; the first failure decides.
  Result<ZfpMode> zfp_mode() const;

  // Success when the parameter is absent, else the "does not take" error.
  Result<void> forbid(std::string_view parameter, bool present) const;
};

// The field shape (1 to 4 extents) of a chunk shape: unchanged without `dims`,
// else singletons dropped and the rest padded in front with 1s to `dims`
// extents. `dims` must already be 1..4.
Result<std::vector<std::uint64_t>> effective_shape(std::span<const std::uint64_t> shape,
                                                   std::optional<std::uint8_t> dims);

// Narrow integers to int32 (value made signed, shifted to bits 23..30 for
// 8-bit types, 15..30 for 16-bit types), and back with an arithmetic shift
// and a clamp (narrow.hpp). `out` holds one element per input element. The
// codec converts a block at a time; these convert whole chunks.
void promote(std::span<const std::uint8_t> chunk, ElementType dtype, std::span<std::int32_t> out);
std::vector<std::uint8_t> demoted_bytes(std::span<const std::int32_t> values, ElementType dtype);
void demote_into(std::span<const std::int32_t> values, ElementType dtype, std::span<std::uint8_t> out);

// Compresses one chunk into a zfp stream (full header, then the blocks).
Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const ZfpChunkConfig& config);

// For callers that own the output buffer: an encode whose checks have run
// and whose stream size is known (fixed-rate) or bounded (other modes)
// before any sample is coded. It borrows the chunk until encoded. With
// NonFinite::Stop a float chunk holding NaN or an infinity is refused in
// the lossy modes: `encode_into` fails with an InvalidArgument naming the
// mode, how many such values the chunk holds and where the first one is.
// With NonFinite::Keep `encode_into` returns 0 for such a chunk instead,
// and `encode_framed` codes it as a framed chunk that keeps them
// (nonfinite.hpp); any other chunk is coded as with the other policies.
class ChunkEncoder {
 public:
  static Result<ChunkEncoder> plan(std::span<const std::uint8_t> chunk, std::span<const std::uint64_t> shape,
                                   ElementType dtype, const ZfpChunkConfig& config,
                                   NonFinite policy = NonFinite::Code);
  // The stream's exact size in fixed-rate mode, else nothing.
  std::optional<std::size_t> exact_size() const { return field_.exact_size(); }
  // Bytes `encode_into` may write (the exact size, else zfp's bound).
  std::size_t capacity() const { return field_.capacity(); }
  // Writes the stream at the start of `out` (any alignment, at least
  // `capacity()` bytes) and returns its length.
  Result<std::size_t> encode_into(std::span<std::uint8_t> out) const;
  // After `encode_into` returned 0 (NonFinite::Keep): the framed chunk, the
  // non-finite values filled in a copy of the chunk and recorded.
  Result<std::vector<std::uint8_t>> encode_framed() const;

 private:
  struct Refusal {  // what a refusal of non-finite values reports, and a framed encode needs
    NonFinite policy = NonFinite::Code;
    std::string_view mode;
    std::vector<std::uint64_t> shape;
    ElementType dtype = ElementType::F32;
    FieldShape field;
    std::uint64_t bytes = 0;  // the chunk's
  };
  ChunkEncoder(FieldEncoder field, const void* samples, std::vector<std::uint64_t> copy, Refusal refusal)
      : field_(std::move(field)), samples_(samples), copy_(std::move(copy)), refusal_(std::move(refusal)) {}
  Result<std::size_t> finished(Result<std::size_t> coded) const;
  FieldEncoder field_;
  const void* samples_;
  std::vector<std::uint64_t> copy_;  // the chunk, when its bytes were misaligned for their type
  Refusal refusal_;
};

// Decompresses a zfp stream written by `encode_chunk` with the same shape,
// dtype and configuration into the chunk's bytes.
Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const ZfpChunkConfig& config);

// For callers that own the output buffer (saves a zero-fill and a copy):
// the byte size `decode_chunk` would return, after the configuration and
// shape checks; and `decode_chunk` writing into `out`, which must be exactly
// that long (any alignment). On failure `out` holds nothing meaningful.
Result<std::uint64_t> decoded_size(std::span<const std::uint64_t> shape, ElementType dtype,
                                   const ZfpChunkConfig& config);
Result<void> decode_chunk_into(std::span<const std::uint8_t> chunk, std::span<const std::uint64_t> shape,
                               ElementType dtype, const ZfpChunkConfig& config, std::span<std::uint8_t> out);

// `decode_chunk_into` that also takes the framed chunks of
// `ChunkEncoder::encode_framed` (float types, lossy modes), their non-finite
// values written back after the stream is decoded. A chunk that does not
// start with the frame's magic is decoded as a plain stream.
Result<void> decode_framed_into(std::span<const std::uint8_t> chunk, std::span<const std::uint64_t> shape,
                                ElementType dtype, const ZfpChunkConfig& config, std::span<std::uint8_t> out);

}  // namespace varnel::zfpc
