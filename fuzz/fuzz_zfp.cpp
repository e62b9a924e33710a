// Fuzz target: the zfp chunk decode. Input: b0 -- element type (bits 0-2),
// mode (bits 3-4: reversible, fixed rate, fixed accuracy, fixed precision),
// `dims` given (bit 5) and its value - 1 (bits 6-7); b1 -- the mode's
// parameter (rate b1 / 4, tolerance 2^(b1 % 64 - 40) or 0 for b1 = 0,
// precision b1); b2 -- extents - 1 (bits 0-2); one byte per extent; then the
// stream. Chunks above 2^18 elements are skipped (the caller chooses the
// shape). The owned and into-buffer decodes must agree, and so must the
// codec classes' decode (which also takes framed chunks, zfp/nonfinite.hpp)
// for a plain stream; a framed one must only not crash.
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "zfp/chunk.hpp"
#include "zfp/nonfinite.hpp"
#include "zfp_input.hpp"

using namespace varnel;
using namespace varnel::zfpc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t ndim = 1 + (data[2] & 7);
  if (size < 3 + ndim) return 0;
  static constexpr const char* kModes[] = {"reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"};
  ZfpChunkConfig config;
  config.mode = kModes[data[0] >> 3 & 3];
  const std::uint8_t p = data[1];
  if (config.mode == "fixed_rate") config.rate = p / 4.0;
  if (config.mode == "fixed_accuracy") config.tolerance = p == 0 ? 0.0 : std::ldexp(1.0, p % 64 - 40);
  if (config.mode == "fixed_precision") config.precision = p;
  if (data[0] & 0x20) config.dims = static_cast<std::uint8_t>(1 + (data[0] >> 6));
  const ElementType dtype = fuzz::zfp_input_type(data[0]);
  std::vector<std::uint64_t> shape(data + 3, data + 3 + ndim);
  std::uint64_t elements = 1;
  for (std::uint64_t e : shape) elements *= e;
  if (elements > (1u << 18)) return 0;
  const std::span<const std::uint8_t> stream(data + 3 + ndim, size - 3 - ndim);

  auto owned = decode_chunk(stream, shape, dtype, config);
  auto bytes = decoded_size(shape, dtype, config);
  if (!bytes) {
    if (owned) __builtin_trap();
    return 0;
  }
  if (owned && owned->size() != *bytes) __builtin_trap();
  std::vector<std::uint8_t> out(*bytes);
  auto into = decode_chunk_into(stream, shape, dtype, config, out);
  if (owned.has_value() != into.has_value()) __builtin_trap();
  if (owned ? *owned != out : owned.error() != into.error()) __builtin_trap();
  std::vector<std::uint8_t> kept(*bytes);
  auto framed = decode_framed_into(stream, shape, dtype, config, kept);
  if (!is_framed(stream) &&
      (framed.has_value() != into.has_value() || (framed ? kept != out : framed.error() != into.error())))
    __builtin_trap();
  return 0;
}
