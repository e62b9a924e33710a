// varnel_zfp_encode / varnel_zfp_decode: the calls into the zfp chunk codec;
// everything else is the frame's.
#include <optional>
#include <string_view>

#include "python/dtype_names.hpp"
#include "python/entries.hpp"
#include "python/frame.hpp"
#include "zfp/chunk.hpp"

namespace varnel::python {
namespace {

constexpr ParamSpec kParams[] = {
    {.name = "chunk", .kind = ParamKind::Chunk},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "mode", .kind = ParamKind::Text, .default_text = "reversible"},
    {.name = "rate", .kind = ParamKind::OptReal},
    {.name = "tolerance", .kind = ParamKind::OptReal},
    {.name = "precision", .kind = ParamKind::OptUInt, .max = 4294967295u},
    {.name = "dims", .kind = ParamKind::OptUInt, .max = 255},
};
enum ZfpArg : std::size_t { kMode = 3, kRate, kTolerance, kPrecision, kDims };

constexpr CodecSpec<ElementType> kEncode{
    {"varnel_zfp_encode", kParams, 3}, zfpc::zfp_element_type, kZfpRejection};
constexpr CodecSpec<ElementType> kDecode{
    {"varnel_zfp_decode", kParams, 3}, zfpc::zfp_element_type, kZfpRejection};

zfpc::ZfpChunkConfig chunk_config(const ArgValues& v) {
  zfpc::ZfpChunkConfig config;
  config.mode = v[kMode].text;
  config.rate = v[kRate].real;
  config.tolerance = v[kTolerance].real;
  if (v[kPrecision].uint) config.precision = static_cast<std::uint32_t>(*v[kPrecision].uint);
  if (v[kDims].uint) config.dims = static_cast<std::uint8_t>(*v[kDims].uint);
  return config;
}

}  // namespace

const char kZfpEncodeDoc[] =
    "varnel_zfp_encode(chunk, shape, dtype, *, mode=\"reversible\", rate=None, tolerance=None, "
    "precision=None, dims=None)\n--\n\n"
    "Encodes a chunk (native-endian elements, C order) into a `zfp` ZFP\n"
    "stream (full ZFP header + payload). Without `dims` the chunk shape maps\n"
    "directly onto the 1-4D field (the registered `zfp` semantics); `dims`\n"
    "selects the legacy `varnel_zfp` squeeze-and-pad mapping.";

const char kZfpDecodeDoc[] =
    "varnel_zfp_decode(chunk, shape, dtype, *, mode=\"reversible\", rate=None, tolerance=None, "
    "precision=None, dims=None)\n--\n\n"
    "Decodes a `zfp` chunk back to native-endian elements in C order.\n"
    "The stream's header must match the configuration.";

PyObject* varnel_zfp_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  // Fixed-rate streams are coded straight into the result; the others into
  // a buffer of zfp's bound, copied once.
  return call_codec_planned(kEncode, args, nargs, kwnames, [](const ArgValues& v, ElementType dtype) {
    return zfpc::ChunkEncoder::plan(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, chunk_config(v));
  });
}

PyObject* varnel_zfp_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  // The decoded size follows from shape, dtype and mode alone, so the stream
  // is decoded straight into the result's bytes object.
  return call_codec_sized(
      kDecode, args, nargs, kwnames,
      [](const ArgValues& v, ElementType dtype) {
        return zfpc::decoded_size(v[kShapeArg].extents, dtype, chunk_config(v));
      },
      [](const ArgValues& v, ElementType dtype, std::span<std::uint8_t> out) {
        return zfpc::decode_chunk_into(v[kChunkArg].bytes, v[kShapeArg].extents, dtype,
                                       chunk_config(v), out);
      },
      [](const ArgValues& v, ElementType dtype) {
        return zfpc::decode_chunk(v[kChunkArg].bytes, v[kShapeArg].extents, dtype, chunk_config(v));
      });
}

}  // namespace varnel::python
