// zfp_encode / zfp_decode_into of varnel._codecs: the calls into the zfp
// chunk codec; everything else is the frame's.
#include "python/codecs_entries.hpp"
#include "python/dtype_names.hpp"
#include "python/frame.hpp"
#include "core/big_buffer.hpp"
#include "zfp/chunk.hpp"

namespace varnel::python::codecs {
namespace {

constexpr ParamSpec kEncodeParams[] = {
    {.name = "chunk", .kind = ParamKind::Buffer},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "mode", .kind = ParamKind::Text, .default_text = "reversible"},
    {.name = "rate", .kind = ParamKind::OptReal},
    {.name = "tolerance", .kind = ParamKind::OptReal},
    {.name = "precision", .kind = ParamKind::OptUInt, .max = 4294967295u},
    {.name = "dims", .kind = ParamKind::OptUInt, .max = 255},
};
// The same mode parameters, after `out`.
constexpr ParamSpec kDecodeIntoParams[] = {
    {.name = "chunk", .kind = ParamKind::Buffer},
    {.name = "shape", .kind = ParamKind::Shape},
    {.name = "dtype", .kind = ParamKind::Text},
    {.name = "out", .kind = ParamKind::OutBuffer},
    {.name = "mode", .kind = ParamKind::Text, .default_text = "reversible"},
    {.name = "rate", .kind = ParamKind::OptReal},
    {.name = "tolerance", .kind = ParamKind::OptReal},
    {.name = "precision", .kind = ParamKind::OptUInt, .max = 4294967295u},
    {.name = "dims", .kind = ParamKind::OptUInt, .max = 255},
};

constexpr CodecSpec<ElementType> kEncode{
    {"zfp_encode", kEncodeParams, 3}, zfpc::zfp_element_type, kZfpRejection};
constexpr CodecSpec<ElementType> kDecodeInto{
    {"zfp_decode_into", kDecodeIntoParams, 4}, zfpc::zfp_element_type, kZfpRejection};

// The configuration from the mode parameters starting at `first`.
zfpc::ZfpChunkConfig chunk_config(const ArgValues& v, std::size_t first) {
  zfpc::ZfpChunkConfig config;
  config.mode = v[first].text;
  config.rate = v[first + 1].real;
  config.tolerance = v[first + 2].real;
  if (v[first + 3].uint) config.precision = static_cast<std::uint32_t>(*v[first + 3].uint);
  if (v[first + 4].uint) config.dims = static_cast<std::uint8_t>(*v[first + 4].uint);
  return config;
}

}  // namespace

const char kZfpEncodeDoc[] =
    "zfp_encode(chunk, shape, dtype, *, mode=\"reversible\", rate=None, tolerance=None, "
    "precision=None, dims=None)\n--\n\n"
    "Encodes a chunk (any C-contiguous buffer of native-endian elements in C\n"
    "order) into a zfp stream with a full header; returns bytes. Without\n"
    "`dims` the chunk shape maps directly onto the 1-4D field; `dims` selects\n"
    "the squeeze-and-pad mapping. In the lossy modes a float chunk holding\n"
    "NaN or an infinity is framed: the zfp stream of the chunk with those\n"
    "values filled in, then a record of them (positions and bits), behind a\n"
    "\"vznf\" header; zfp_decode_into puts them back. Other chunks are plain\n"
    "zfp streams.";

const char kZfpDecodeIntoDoc[] =
    "zfp_decode_into(chunk, shape, dtype, out, *, mode=\"reversible\", rate=None, "
    "tolerance=None, precision=None, dims=None)\n--\n\n"
    "Decodes a zfp stream (any C-contiguous buffer) into `out`, a writable\n"
    "C-contiguous buffer of exactly the decoded byte size; returns None. The\n"
    "stream's header must match the configuration. Takes the framed chunks\n"
    "of zfp_encode (kept NaN and infinities) as well.";

PyObject* zfp_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // call_codec_planned (frame.hpp), plus the framed chunk. Chunks stored
  // through the codec classes keep what they hold: NaN and infinities in a
  // lossy mode stop the coding at their block (encode_into gives 0) and the
  // chunk is coded again framed, with them filled and recorded
  // (zfp/nonfinite.hpp). The module function codes them as zfp does.
  return call_codec_planned(
      kEncode, args, nargs, kwnames,
      [](const ArgValues& in, ElementType dtype) {
        return zfpc::ChunkEncoder::plan(in[kChunkArg].bytes, in[kShapeArg].extents, dtype,
                                        chunk_config(in, 3), zfpc::NonFinite::Keep);
      },
      [](const zfpc::ChunkEncoder& encoder) {
        return run_released([&] { return encoder.encode_framed(); });
      });
}

PyObject* zfp_decode_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_codec_into(
      kDecodeInto, args, nargs, kwnames,
      [](const ArgValues& v, ElementType dtype) {
        return zfpc::decoded_size(v[kShapeArg].extents, dtype, chunk_config(v, 4));
      },
      [](const ArgValues& v, ElementType dtype, std::span<std::uint8_t> out) {
        return zfpc::decode_framed_into(v[kChunkArg].bytes, v[kShapeArg].extents, dtype,
                                        chunk_config(v, 4), out);
      });
}

}  // namespace varnel::python::codecs
