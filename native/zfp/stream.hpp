// varnel zfp: modes, field shapes and zfp streams.
//
// The layer that talks to the zfp library: the validated compression mode and
// the four stream parameters (minbits, maxbits, maxprec, minexp) it stands
// for, field-shape checks, compression of a typed field into a stream with a
// full header, and decompression after the header has been checked against
// the expected scalar type, extents and parameters. A decode only ever reads
// a private, zero-padded copy of its input, and refuses a stream whose
// blocks needed bits past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

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

// Compresses a contiguous field (C order, last extent fastest). The samples
// are only read.
Result<std::vector<std::uint8_t>> compress(std::span<const std::int32_t> samples,
                                           std::span<const std::uint64_t> shape, const ZfpMode& mode);
Result<std::vector<std::uint8_t>> compress(std::span<const std::int64_t> samples,
                                           std::span<const std::uint64_t> shape, const ZfpMode& mode);
Result<std::vector<std::uint8_t>> compress(std::span<const float> samples,
                                           std::span<const std::uint64_t> shape, const ZfpMode& mode);
Result<std::vector<std::uint8_t>> compress(std::span<const double> samples,
                                           std::span<const std::uint64_t> shape, const ZfpMode& mode);

// A stream whose size and full header have been checked against the
// expected scalar type, field shape and mode, ready to be decoded. Opening
// copies the input once into a private word buffer zero-padded to the
// maximum compressed size, so decoding never reads outside it; the output
// need not exist until the stream has passed its checks.
class CheckedStream {
 public:
  static Result<CheckedStream> open(std::span<const std::uint8_t> encoded,
                                    std::span<const std::uint64_t> shape, const ZfpMode& mode,
                                    ScalarType type);
  CheckedStream(CheckedStream&&) noexcept;
  CheckedStream& operator=(CheckedStream&&) noexcept;
  ~CheckedStream();

  // Decodes every block into `out`, which holds exactly the field's element
  // count of the scalar type given to `open`. A stream whose blocks read
  // past the end of the input fails with the Malformed "varnel_zfp
  // decompress: stream truncated" at the input's length (bytes after the
  // last block, such as the zero tail of the last word, may be missing).
  Result<void> decode_into(void* out);

 private:
  struct State;
  explicit CheckedStream(std::unique_ptr<State> s);
  std::unique_ptr<State> state_;
};

// Decompresses `encoded` into `out` (exactly the field's element count):
// `CheckedStream::open` then `decode_into`.
Result<void> decompress(std::span<const std::uint8_t> encoded, std::span<const std::uint64_t> shape,
                        const ZfpMode& mode, std::span<std::int32_t> out);
Result<void> decompress(std::span<const std::uint8_t> encoded, std::span<const std::uint64_t> shape,
                        const ZfpMode& mode, std::span<std::int64_t> out);
Result<void> decompress(std::span<const std::uint8_t> encoded, std::span<const std::uint64_t> shape,
                        const ZfpMode& mode, std::span<float> out);
Result<void> decompress(std::span<const std::uint8_t> encoded, std::span<const std::uint64_t> shape,
                        const ZfpMode& mode, std::span<double> out);

}  // namespace varnel::zfpc
