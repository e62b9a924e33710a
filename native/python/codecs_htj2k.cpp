// htj2k_encode / htj2k_decode_into / htj2k_decode_reduced of varnel._codecs:
// the calls into the chunk drivers; everything else is the frame's.
#include "core/dtype.hpp"
#include "python/codecs_entries.hpp"
#include "python/dtype_names.hpp"
#include "python/frame.hpp"
#include "zarr/htj2k.hpp"

namespace varnel::python::codecs {
namespace {

constexpr ParamSpec kEncodeParams[] = {
    {.name = "chunk", .kind = ParamKind::Buffer},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "xy_levels", .kind = ParamKind::UInt, .max = 255, .default_uint = 5},
    {.name = "progression", .kind = ParamKind::Text, .default_text = "RPCL"},
    {.name = "index", .kind = ParamKind::Bool, .default_bool = true},
    {.name = "checksums", .kind = ParamKind::Bool, .default_bool = false},
};
enum EncodeArg : std::size_t { kXyLevels = 3, kProgression, kIndex, kChecksums };

constexpr ParamSpec kDecodeIntoParams[] = {
    {.name = "chunk", .kind = ParamKind::Buffer},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "out", .kind = ParamKind::OutBuffer},
};

constexpr ParamSpec kReducedParams[] = {
    {.name = "chunk", .kind = ParamKind::Buffer},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "reduce", .kind = ParamKind::UInt, .max = 255},
};
constexpr std::size_t kReduce = 3;

constexpr CodecSpec<ElementType> kEncode{
    {"htj2k_encode", kEncodeParams, 3}, zarr::htj2k_element_type, kHtj2kRejection};
constexpr CodecSpec<ElementType> kDecodeInto{
    {"htj2k_decode_into", kDecodeIntoParams, 4}, zarr::htj2k_element_type, kHtj2kRejection};
constexpr CodecSpec<ElementType> kReduced{
    {"htj2k_decode_reduced", kReducedParams, 4}, zarr::htj2k_element_type, kHtj2kRejection};

std::uint8_t reduce_of(const ArgValues& v) { return static_cast<std::uint8_t>(*v[kReduce].uint); }

}  // namespace

const char kHtj2kEncodeDoc[] =
    "htj2k_encode(chunk, shape, dtype, *, xy_levels=5, progression=\"RPCL\", index=True, "
    "checksums=False)\n--\n\n"
    "Encodes a chunk (any C-contiguous buffer of native-endian elements in C\n"
    "order, trailing dims `(y, x)`) losslessly into the `htj2k` container\n"
    "`[header | plane index | codestreams\u2026]`; returns bytes. With\n"
    "`checksums` the index carries a CRC-32C of every codestream prefix.";

const char kHtj2kDecodeIntoDoc[] =
    "htj2k_decode_into(chunk, shape, dtype, out)\n--\n\n"
    "Decodes an `htj2k` chunk (any C-contiguous buffer) into `out`, a writable\n"
    "C-contiguous buffer of exactly the decoded byte size; returns None.";

const char kHtj2kDecodeReducedDoc[] =
    "htj2k_decode_reduced(chunk, shape, dtype, reduce)\n--\n\n"
    "Decodes every plane of an `htj2k` chunk with a plane index at `reduce`\n"
    "wavelet levels below full resolution, reading only the prefix of each\n"
    "codestream that the index names for that resolution. `shape` is the\n"
    "chunk's full shape; the result (bytes, C order) has its last two extents\n"
    "ceil-divided by 2**reduce. `chunk` may also be a compacted chunk (header,\n"
    "index, and each plane's prefix where its index entry points).";

PyObject* htj2k_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_codec(kEncode, args, nargs, kwnames, [](const ArgValues& v, ElementType dtype) {
    zarr::Htj2kConfig config;
    config.xy_levels = static_cast<std::uint8_t>(*v[kXyLevels].uint);
    config.progression = v[kProgression].text;
    config.index = v[kIndex].flag;
    config.checksums = v[kChecksums].flag;
    return zarr::encode_chunk(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, config);
  });
}

PyObject* htj2k_decode_into(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return call_codec_into(
      kDecodeInto, args, nargs, kwnames,
      [](const ArgValues& v, ElementType dtype) {
        return zarr::decoded_size(v[kShapeArg].extents, dtype);
      },
      [](const ArgValues& v, ElementType dtype, std::span<std::uint8_t> out) {
        return zarr::decode_chunk_into(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, out);
      });
}

PyObject* htj2k_decode_reduced(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_codec_sized(
      kReduced, args, nargs, kwnames,
      [](const ArgValues& v, ElementType dtype) {
        return zarr::reduced_size(v[kShapeArg].extents, dtype, reduce_of(v));
      },
      [](const ArgValues& v, ElementType dtype, std::span<std::uint8_t> out) {
        return zarr::decode_chunk_reduced_into(v[kChunkArg].bytes, v[kShapeArg].extents, dtype,
                                               reduce_of(v), out);
      },
      [](const ArgValues& v, ElementType dtype) {
        return zarr::decode_chunk_reduced(v[kChunkArg].bytes, v[kShapeArg].extents, dtype,
                                          reduce_of(v));
      });
}

}  // namespace varnel::python::codecs
