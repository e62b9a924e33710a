// varnel zfp: modes, field shapes and zfp streams.
//
// The layer that talks to the zfp library: the validated compression mode and
// the four stream parameters (minbits, maxbits, maxprec, minexp) it stands
// for, field-shape checks, compression of a typed field into a stream with a
// full header, and decompression after the header has been checked against
// the expected scalar type, extents and parameters. Both run zfp's block
// coder over the field themselves, so narrow integers are converted a block
// at a time and a decode reads its input in place (only the last words go
// through a zero-padded copy); a stream whose blocks needed bits past its
// end is refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/dtype.hpp"
#include "core/error.hpp"

namespace varnel::zfpc {

// The zfp scalar types (numbered as the library numbers them).
enum class ScalarType : std::uint8_t { Int32 = 1, Int64 = 2, Float = 3, Double = 4 };

// "int32", "int64", "float", "double".
std::string_view scalar_name(ScalarType t);

inline constexpr std::uint32_t kZfpMaxBits = 16658;
inline constexpr std::uint32_t kZfpMaxPrec = 64;
inline constexpr std::int32_t kZfpMinExp = -1074;

struct FixedRate { double rate; };
struct FixedAccuracy { double tolerance; };
struct FixedPrecision { std::uint32_t precision; };
struct Reversible {};

// A compression mode whose payload has passed (or will be put through)
// `validate`.
struct ZfpMode {
  std::variant<FixedRate, FixedAccuracy, FixedPrecision, Reversible> value;

  // Range check of the payload.
  Result<void> validate() const;
  // "fixed_rate", "fixed_accuracy", "fixed_precision" or "reversible".
  std::string_view name() const;
};

// What a zfp stream's compression mode consists of.
struct StreamParams {
  std::uint32_t minbits = 0, maxbits = 0, maxprec = 0;
  std::int32_t minexp = 0;
  bool operator==(const StreamParams&) const = default;
};

// The parameters zfp's own mode setters give for this mode, scalar type and
// dimensionality (1..4); fixed rate without word alignment.
StreamParams stream_params(const ZfpMode& mode, ScalarType type, unsigned dims);

// Fixed-rate bits per block: floor(rate * 4^d + 0.5) saturated to u32, raised
// to 9 (float) or 12 (double).
std::uint32_t fixed_rate_bits(double rate, ScalarType type, unsigned dims);

// Field-shape checks; both return the dimensionality. `buffer` names the
// element buffer in the count message ("input" or "output").
Result<unsigned> validate_shape(std::span<const std::uint64_t> shape);
Result<unsigned> validate_shape_len(std::span<const std::uint64_t> shape, std::uint64_t count,
                                    std::string_view buffer);

// A field shape that has passed its checks once: 1 to 4 non-zero extents in
// C order, with zfp's axes (x fastest, 0 past the field's dimensionality).
// The encoder and the stream check below take it as it is.
struct FieldShape {
  std::vector<std::uint64_t> extents;
  std::array<std::uint64_t, 4> axes{};

  // `validate_shape`'s checks, with its messages.
  static Result<FieldShape> checked(std::span<const std::uint64_t> shape);
  unsigned dims() const { return static_cast<unsigned>(extents.size()); }
};

// A chunk's elements (core/dtype.hpp, all types but U32) are coded as one
// of zfp's scalar types: I64, F32 and F64 as themselves, I32 and the narrow
// integers as int32 (the narrow ones converted block by block as they are
// coded, narrow.hpp). This is the one place the codec's element types meet
// zfp's.
ScalarType scalar_type_of(ElementType t);

// What an encode does with NaN and infinities among float samples. zfp's
// reversible mode keeps them bit for bit; its lossy modes code a block by
// its largest exponent, so a block holding one comes back with finite
// values in their place and, for an infinity, its other values far outside
// the mode's bound. zfp itself codes them all the same (Code); Stop refuses
// them instead, checking each block as it is coded, at no measurable cost.
// Keep stops the same way here; the chunk layer (chunk.hpp) then codes the
// chunk again with the values filled in and recorded beside the stream
// (nonfinite.hpp).
enum class NonFinite : std::uint8_t { Code, Stop, Keep };

// The encoding of one field: mode, shape and sizes checked up front, so the
// caller can size the output before any sample is coded. The stream (full
// header, then the blocks in zfp's order) is written once, straight into
// the caller's buffer.
class FieldEncoder {
 public:
  // `mode` has passed `ZfpMode::validate`.
  static Result<FieldEncoder> plan(const FieldShape& field, const ZfpMode& mode, ElementType samples);
  FieldEncoder(FieldEncoder&&) noexcept;
  FieldEncoder& operator=(FieldEncoder&&) noexcept;
  ~FieldEncoder();

  // The stream's size in fixed-rate mode (every block takes its budget),
  // else nothing.
  std::optional<std::size_t> exact_size() const;
  // What `encode` may write: the exact size, else zfp's maximum size (both
  // multiples of 8).
  std::size_t capacity() const;

  // Codes `samples` (the field's elements in C order, aligned for their
  // type unless narrow) into `out`: 8-byte aligned and at least `capacity()`
  // bytes. Returns the stream's length, a multiple of 8 whose last word is
  // padded with zero bits; or 0 (no stream is that short) when `policy` is
  // Stop or Keep, the samples are floats, the mode is lossy and a block holds a
  // non-finite value.
  Result<std::size_t> encode(const void* samples, std::span<std::uint8_t> out,
                             NonFinite policy = NonFinite::Code) const;

 private:
  struct State;
  explicit FieldEncoder(std::unique_ptr<State> s);
  std::unique_ptr<State> state_;
};

// A stream whose size and full header have been checked against the
// expected sample type, field shape and mode, ready to be decoded. It
// borrows `encoded` until decoded and never copies it but for its last few
// words, which the block decoder reads from a zero-padded copy: zfp fetches
// whole 64-bit words, so no read ever passes the input's end. The output
// need not exist until the stream has passed its checks.
class CheckedStream {
 public:
  // `mode` has passed `ZfpMode::validate`.
  static Result<CheckedStream> open(std::span<const std::uint8_t> encoded, const FieldShape& field,
                                    const ZfpMode& mode, ElementType samples);
  CheckedStream(CheckedStream&&) noexcept;
  CheckedStream& operator=(CheckedStream&&) noexcept;
  ~CheckedStream();

  // Decodes every block into `out`, the field's elements of the sample type
  // given to `open` (aligned for their type unless narrow). A stream whose
  // blocks need bits past the end of the input fails with the Malformed
  // "varnel_zfp decompress: stream truncated" at the input's length (bits
  // after the last block, such as the zero tail of the last word, may be
  // missing).
  Result<void> decode_into(void* out);

 private:
  struct State;
  explicit CheckedStream(std::unique_ptr<State> s);
  std::unique_ptr<State> state_;
};

}  // namespace varnel::zfpc
