// htj2k_encode / htj2k_decode of varnel._varnel: the calls into the chunk
// drivers; everything else is the frame's.
#include <optional>
#include <string_view>

#include "core/dtype.hpp"
#include "python/dtype_names.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "zarr/htj2k.hpp"

namespace varnel::python {
namespace {

constexpr ParamSpec kEncodeParams[] = {
    {.name = "chunk", .kind = ParamKind::Chunk},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "xy_levels", .kind = ParamKind::UInt, .max = 255, .default_uint = 5},
    {.name = "reversible", .kind = ParamKind::Bool, .default_bool = true},
    {.name = "progression", .kind = ParamKind::Text, .default_text = "RPCL"},
    {.name = "index", .kind = ParamKind::Bool, .default_bool = true},
};
enum EncodeArg : std::size_t { kXyLevels = 3, kReversible, kProgression, kIndex };

constexpr ParamSpec kDecodeParams[] = {
    {.name = "chunk", .kind = ParamKind::Chunk},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
};

constexpr CodecSpec<ElementType> kEncode{
    {"htj2k_encode", kEncodeParams, 3}, zarr::htj2k_element_type, kHtj2kRejection};
constexpr CodecSpec<ElementType> kDecode{
    {"htj2k_decode", kDecodeParams, 3}, zarr::htj2k_element_type, kHtj2kRejection};

}  // namespace

const char kHtj2kEncodeDoc[] =
    "htj2k_encode(chunk, shape, dtype, *, xy_levels=5, reversible=True, progression=\"RPCL\", "
    "index=True)\n--\n\n"
    "Encodes a chunk (native-endian elements, C order, trailing dims `(y, x)`)\n"
    "into the `htj2k` container `[header | plane index | codestreams\u2026]`.";

const char kHtj2kDecodeDoc[] =
    "htj2k_decode(chunk, shape, dtype)\n--\n\n"
    "Decodes an `htj2k` chunk back to native-endian elements in C order.";

PyObject* htj2k_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_codec(kEncode, args, nargs, kwnames, [](const ArgValues& v, ElementType dtype) {
    zarr::Htj2kConfig config;
    config.xy_levels = static_cast<std::uint8_t>(*v[kXyLevels].uint);
    config.reversible = v[kReversible].flag;
    config.progression = v[kProgression].text;
    config.index = v[kIndex].flag;
    return zarr::encode_chunk(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, config);
  });
}

PyObject* htj2k_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The decoded size follows from shape and dtype, so the planes are
  // narrowed straight into the result's bytes object.
  return call_codec_sized(
      kDecode, args, nargs, kwnames,
      [](const ArgValues& v, ElementType dtype) {
        return zarr::decoded_size(v[kShapeArg].extents, dtype);
      },
      [](const ArgValues& v, ElementType dtype, std::span<std::uint8_t> out) {
        return zarr::decode_chunk_into(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, out);
      },
      [](const ArgValues& v, ElementType dtype) {
        return zarr::decode_chunk(v[kChunkArg].bytes, v[kShapeArg].extents, dtype);
      });
}

}  // namespace varnel::python
