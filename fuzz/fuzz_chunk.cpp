// Fuzz target: the htj2k chunk decode, full and reduced resolution.
// Input: a selector byte -- bits 0-2 the element type (mod 6), bits 3-7 zero
// for a full decode or r + 1 for a decode r levels below full -- then the
// chunk. The shape is the one the chunk's header declares (what a reader
// trusting the header passes); outputs above 16 MiB are skipped, their size
// being the caller's choice. The owned and into-buffer paths must agree.
#include <cstdint>
#include <span>
#include <vector>

#include "codestream/container.hpp"
#include "zarr/htj2k.hpp"

using namespace varnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> chunk(data + 1, size - 1);
  auto header = codestream::ChunkHeader::parse(chunk);
  if (!header) return 0;
  const std::vector<std::uint64_t> shape(header->shape.begin(), header->shape.end());
  const auto dtype = static_cast<ElementType>((data[0] & 7) % 6);
  const unsigned sel = data[0] >> 3;
  const auto reduce = static_cast<std::uint8_t>(sel == 0 ? 0 : sel - 1);
  auto bytes = sel == 0 ? zarr::decoded_size(shape, dtype) : zarr::reduced_size(shape, dtype, reduce);
  if (!bytes || *bytes > (std::uint64_t{16} << 20)) return 0;
  auto owned = sel == 0 ? zarr::decode_chunk(chunk, shape, dtype)
                        : zarr::decode_chunk_reduced(chunk, shape, dtype, reduce);
  std::vector<std::uint8_t> out(*bytes);
  auto into = sel == 0 ? zarr::decode_chunk_into(chunk, shape, dtype, out)
                       : zarr::decode_chunk_reduced_into(chunk, shape, dtype, reduce, out);
  if (owned.has_value() != into.has_value()) __builtin_trap();
  if (owned && *owned != out) __builtin_trap();
  if (!owned && owned.error() != into.error()) __builtin_trap();
  return 0;
}
