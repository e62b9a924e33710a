#include "zfp/chunk.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "core/quote.hpp"
#include "zfp/format.hpp"
#include "zfp/memory.hpp"
#include "zfp/narrow.hpp"
#include "zfp/nonfinite.hpp"

namespace varnel::zfpc {
namespace {

constexpr bool is_narrow(ElementType t) {
  return t == ElementType::U8 || t == ElementType::I8 || t == ElementType::U16 || t == ElementType::I16;
}

template <class N>
void promote_as(const std::uint8_t* src, std::int32_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = N::load(src + i * sizeof(typename N::Element));
}

template <class N>
void demote_as(const std::int32_t* in, std::uint8_t* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) N::store(in[i], dst + i * sizeof(typename N::Element));
}

// Field-shape product, and the byte length of that many elements; both
// overflow-checked. Nothing when either overflows.
std::optional<std::pair<std::uint64_t, std::uint64_t>> sizes_of(std::span<const std::uint64_t> field,
                                                                ElementType dtype) {
  std::uint64_t count = 1;
  for (auto e : field)
    if (__builtin_mul_overflow(count, e, &count)) return std::nullopt;
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, std::uint64_t{element_size(dtype)}, &bytes)) return std::nullopt;
  if (bytes > SIZE_MAX) return std::nullopt;
  return std::pair{count, bytes};
}

Error overflows(std::span<const std::uint64_t> shape) {
  return invalid("zfp: chunk shape " + format_shape(shape) + " overflows usize");
}

// The first checks of every chunk operation, in their order: the mode, the
// field shape, and the element count and byte length of the field.
struct FieldPlan {
  ZfpMode mode;
  FieldShape field;
  std::uint64_t count = 0;
  std::uint64_t bytes = 0;
};

Result<FieldPlan> plan_field(std::span<const std::uint64_t> shape, ElementType dtype,
                             const ZfpChunkConfig& config) {
  // Only C++ callers can get here with U32: Python refuses it by its name.
  if (!zfp_codes(dtype))
    return std::unexpected(invalid("zfp: no path for element type " + std::string(element_name(dtype))));
  VARNEL_ASSIGN_OR_RETURN(auto mode, config.zfp_mode());
  VARNEL_ASSIGN_OR_RETURN(auto extents, effective_shape(shape, config.dims));
  // The field shape is checked here, once: effective_shape gives 1 to 4
  // non-zero extents (validate_shape's conditions), whose count is the
  // chunk's.
  VARNEL_ASSIGN_OR_RETURN(auto field, FieldShape::checked(extents));
  const auto sizes = sizes_of(field.extents, dtype);
  if (!sizes) return std::unexpected(overflows(shape));
  return FieldPlan{std::move(mode), std::move(field), sizes->first, sizes->second};
}

struct DecodePlan {
  CheckedStream stream;
  std::uint64_t count = 0;
  std::uint64_t bytes = 0;
};

// Everything up to the block decoding: configuration, shape, and the
// stream's size and header. Runs before any output exists, so a stray stream
// never costs a shape-sized allocation.
Result<DecodePlan> plan_decode(std::span<const std::uint8_t> chunk,
                               std::span<const std::uint64_t> shape, ElementType dtype,
                               const ZfpChunkConfig& config) {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_field(shape, dtype, config));
  VARNEL_ASSIGN_OR_RETURN(auto stream, CheckedStream::open(chunk, plan.field, plan.mode, dtype));
  return DecodePlan{std::move(stream), plan.count, plan.bytes};
}

// Decodes into `out` (exactly plan.bytes long). Narrow integers are written
// a block at a time at any alignment; the other types go straight into an
// aligned buffer.
Result<void> run_decode(DecodePlan& plan, ElementType dtype, std::span<std::uint8_t> out) {
  if (is_narrow(dtype) || reinterpret_cast<std::uintptr_t>(out.data()) % element_size(dtype) == 0)
    return plan.stream.decode_into(out.data());
  // A misaligned caller buffer: decode next to it, then move the bytes.
  auto tmp = uninitialised_array<std::uint64_t>((out.size() + 7) / 8);
  VARNEL_TRY(plan.stream.decode_into(tmp.get()));
  std::memcpy(out.data(), tmp.get(), out.size());
  return ok();
}

Result<std::vector<std::uint8_t>> decode_impl(std::span<const std::uint8_t> chunk,
                                              std::span<const std::uint64_t> shape, ElementType dtype,
                                              const ZfpChunkConfig& config) {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_decode(chunk, shape, dtype, config));
  // Decoded output stays in 4 KiB pages, faulted in just ahead of the
  // decoder so each is still in cache when written (memory.hpp, blocks.cpp).
  std::vector<std::uint8_t> out(plan.bytes);
  VARNEL_TRY(run_decode(plan, dtype, out));
  return out;
}

}  // namespace

std::optional<ElementType> zfp_element_type(std::string_view name) {
  return element_type_from_name(name, zfp_codes);
}

Result<void> ZfpChunkConfig::forbid(std::string_view parameter, bool present) const {
  if (!present) return ok();
  return std::unexpected(invalid("zfp: " + quote_text(mode) + " mode does not take " +
                                 quote_text(parameter)));
}

Result<ZfpMode> ZfpChunkConfig::zfp_mode() const {
  if (dims && (*dims < 1 || *dims > 4))
    return std::unexpected(invalid("zfp: dims must be 1..=4, got " + std::to_string(*dims)));
  ZfpMode m;
  Result<void> r = ok();
  const auto check = [&](std::string_view a, bool pa, std::string_view b, bool pb,
                         std::string_view c = {}, bool pc = false) {
    if (r) r = forbid(a, pa);
    if (r) r = forbid(b, pb);
    if (r && !c.empty()) r = forbid(c, pc);
  };
  if (mode == "reversible") {
    check("rate", rate.has_value(), "tolerance", tolerance.has_value(), "precision",
          precision.has_value());
    m.value = Reversible{};
  } else if (mode == "fixed_rate") {
    check("tolerance", tolerance.has_value(), "precision", precision.has_value());
    if (r && !rate) r = std::unexpected(invalid("zfp: fixed_rate mode needs a \"rate\""));
    if (r) m.value = FixedRate{*rate};
  } else if (mode == "fixed_accuracy") {
    check("rate", rate.has_value(), "precision", precision.has_value());
    if (r && !tolerance) r = std::unexpected(invalid("zfp: fixed_accuracy mode needs a \"tolerance\""));
    if (r) m.value = FixedAccuracy{*tolerance};
  } else if (mode == "fixed_precision") {
    check("rate", rate.has_value(), "tolerance", tolerance.has_value());
    if (r && !precision) r = std::unexpected(invalid("zfp: fixed_precision mode needs a \"precision\""));
    if (r) m.value = FixedPrecision{*precision};
  } else {
    return std::unexpected(unsupported("zfp: unknown mode " + quote_text(mode)));
  }
  VARNEL_TRY(std::move(r));
  VARNEL_TRY(m.validate());
  return m;
}

Result<std::vector<std::uint64_t>> effective_shape(std::span<const std::uint64_t> shape,
                                                   std::optional<std::uint8_t> dims) {
  if (shape.empty()) return std::unexpected(invalid("zfp: chunk shape has no dimensions"));
  if (std::find(shape.begin(), shape.end(), 0) != shape.end())
    return std::unexpected(invalid("zfp: chunk shape " + format_shape(shape) + " has a zero extent"));
  if (!dims) {
    if (shape.size() > 4) {
      return std::unexpected(invalid(
          "zfp: chunk shape " + format_shape(shape) + " has " + std::to_string(shape.size()) +
          " dimensions but ZFP fields are 1-4 dimensional; collapse singleton dimensions with a "
          "reshape codec upstream"));
    }
    return std::vector<std::uint64_t>(shape.begin(), shape.end());
  }
  std::vector<std::uint64_t> kept;
  for (auto e : shape)
    if (e > 1) kept.push_back(e);
  const std::size_t d = *dims;
  if (kept.size() > d) {
    return std::unexpected(invalid("zfp: chunk shape " + format_shape(shape) + " has " +
                                   std::to_string(kept.size()) +
                                   " non-singleton dimensions but the configuration declares dims=" +
                                   std::to_string(d) + "; reduce chunking or raise dims"));
  }
  std::vector<std::uint64_t> out(d - kept.size(), 1);
  out.insert(out.end(), kept.begin(), kept.end());
  return out;
}

void promote(std::span<const std::uint8_t> chunk, ElementType dtype, std::span<std::int32_t> out) {
  const std::size_t n = out.size();
  switch (dtype) {
    case ElementType::U8: promote_as<NarrowU8>(chunk.data(), out.data(), n); break;
    case ElementType::I8: promote_as<NarrowI8>(chunk.data(), out.data(), n); break;
    case ElementType::U16: promote_as<NarrowU16>(chunk.data(), out.data(), n); break;
    case ElementType::I16: promote_as<NarrowI16>(chunk.data(), out.data(), n); break;
    default: break;
  }
}

void demote_into(std::span<const std::int32_t> values, ElementType dtype, std::span<std::uint8_t> out) {
  const std::size_t n = values.size();
  switch (dtype) {
    case ElementType::U8: demote_as<NarrowU8>(values.data(), out.data(), n); break;
    case ElementType::I8: demote_as<NarrowI8>(values.data(), out.data(), n); break;
    case ElementType::U16: demote_as<NarrowU16>(values.data(), out.data(), n); break;
    case ElementType::I16: demote_as<NarrowI16>(values.data(), out.data(), n); break;
    default: break;
  }
}

std::vector<std::uint8_t> demoted_bytes(std::span<const std::int32_t> values, ElementType dtype) {
  std::vector<std::uint8_t> out(values.size() * element_size(dtype));
  demote_into(values, dtype, out);
  return out;
}

Result<ChunkEncoder> ChunkEncoder::plan(std::span<const std::uint8_t> chunk,
                                        std::span<const std::uint64_t> shape, ElementType dtype,
                                        const ZfpChunkConfig& config, NonFinite policy) {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_field(shape, dtype, config));
  if (chunk.size() != plan.bytes) {
    return std::unexpected(invalid("zfp: chunk shape " + format_shape(shape) + " (" +
                                   std::string(element_name(dtype)) + ") needs " +
                                   std::to_string(plan.bytes) + " bytes, got " +
                                   std::to_string(chunk.size())));
  }
  VARNEL_ASSIGN_OR_RETURN(auto field, FieldEncoder::plan(plan.field, plan.mode, dtype));
  // zfp reads the wider types through typed pointers: a misaligned chunk
  // is copied once (the usual bytes and arrays are aligned).
  std::vector<std::uint64_t> copy;
  const void* samples = chunk.data();
  if (!is_narrow(dtype) && reinterpret_cast<std::uintptr_t>(chunk.data()) % element_size(dtype) != 0) {
    copy.resize((chunk.size() + 7) / 8);
    std::memcpy(copy.data(), chunk.data(), chunk.size());
    samples = copy.data();
  }
  Refusal refusal{.policy = policy, .mode = plan.mode.name(), .shape = {shape.begin(), shape.end()},
                  .dtype = dtype, .field = plan.field, .bytes = plan.bytes};
  return ChunkEncoder(std::move(field), samples, std::move(copy), std::move(refusal));
}

namespace {

// How many of `count` floats are NaN or infinite, and the C-order index of
// the first: the slow exact pass, run only once a block has been refused.
template <class T>
std::pair<std::uint64_t, std::uint64_t> count_non_finite(const T* values, std::uint64_t count) {
  std::uint64_t n = 0, first = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (std::isfinite(values[i])) continue;
    if (n++ == 0) first = i;
  }
  return {n, first};
}

// "(i, j, k)" of the flat C-order index `at` in `shape` ("(i,)" for one axis).
std::string position(std::uint64_t at, std::span<const std::uint64_t> shape) {
  std::vector<std::uint64_t> index(shape.size());
  for (std::size_t k = shape.size(); k-- > 0;) {
    index[k] = at % shape[k];
    at /= shape[k];
  }
  std::string text = "(";
  for (std::size_t k = 0; k < index.size(); ++k) text += (k ? ", " : "") + std::to_string(index[k]);
  return text + (index.size() == 1 ? ",)" : ")");
}

}  // namespace

Result<std::size_t> ChunkEncoder::finished(Result<std::size_t> coded) const {
  if (!coded || *coded != 0 || refusal_.policy == NonFinite::Keep) return coded;
  std::uint64_t count = 1;
  for (const std::uint64_t e : refusal_.shape) count *= e;
  double first_value = 0;
  std::pair<std::uint64_t, std::uint64_t> found;
  if (refusal_.dtype == ElementType::F32) {
    const auto* v = static_cast<const float*>(samples_);
    found = count_non_finite(v, count);
    first_value = v[found.second];
  } else {
    const auto* v = static_cast<const double*>(samples_);
    found = count_non_finite(v, count);
    first_value = v[found.second];
  }
  const std::string first = std::isnan(first_value) ? "NaN" : first_value > 0 ? "inf" : "-inf";
  return std::unexpected(invalid(
      "zfp: " + std::string(refusal_.mode) + " mode cannot code NaN or infinite values, which it would return " +
      "as finite numbers: the chunk holds " + std::to_string(found.first) + ", the first (" + first + ") at " +
      position(found.second, refusal_.shape) + "; mode=\"reversible\" keeps them exactly"));
}

Result<std::size_t> ChunkEncoder::encode_into(std::span<std::uint8_t> out) const {
  advise_huge_pages(out.data(), std::min(out.size(), capacity()));
  if (reinterpret_cast<std::uintptr_t>(out.data()) % 8 == 0 || out.size() < capacity())
    return finished(field_.encode(samples_, out, refusal_.policy));  // which refuses a short buffer
  // zfp writes 64-bit words: a misaligned buffer gets the stream by a copy.
  auto words = uninitialised_array<std::uint64_t>(capacity() / 8);
  auto n = field_.encode(samples_, {reinterpret_cast<std::uint8_t*>(words.get()), capacity()}, refusal_.policy);
  if (n) std::memcpy(out.data(), words.get(), *n);
  return finished(std::move(n));
}

Result<std::vector<std::uint8_t>> ChunkEncoder::encode_framed() const {
  const auto bytes = static_cast<std::size_t>(refusal_.bytes);
  auto work = uninitialised_array<std::uint64_t>((bytes + 7) / 8);
  std::memcpy(work.get(), samples_, bytes);
  const std::vector<std::uint8_t> record = fill_non_finite(refusal_.dtype, refusal_.field, work.get());
  // The stream goes straight after the header: 8-byte aligned, as the
  // encoder needs, since new[] aligns to 16.
  std::vector<std::uint8_t> out(kFrameHeaderSize + capacity() + record.size());
  VARNEL_ASSIGN_OR_RETURN(const std::size_t n,
                          field_.encode(work.get(), {out.data() + kFrameHeaderSize, capacity()}, NonFinite::Code));
  write_frame_header(out.data(), n);
  std::memcpy(out.data() + kFrameHeaderSize + n, record.data(), record.size());
  out.resize(kFrameHeaderSize + n + record.size());
  return out;
}

Result<std::vector<std::uint8_t>> encode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const ZfpChunkConfig& config) {
  VARNEL_ASSIGN_OR_RETURN(auto encoder, ChunkEncoder::plan(chunk, shape, dtype, config));
  // Coded into words of the bound, then the used ones copied out.
  auto words = uninitialised_array<std::uint64_t>(encoder.capacity() / 8);
  const std::span<std::uint8_t> buffer(reinterpret_cast<std::uint8_t*>(words.get()), encoder.capacity());
  VARNEL_ASSIGN_OR_RETURN(auto n, encoder.encode_into(buffer));
  return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
}

Result<std::vector<std::uint8_t>> decode_chunk(std::span<const std::uint8_t> chunk,
                                               std::span<const std::uint64_t> shape,
                                               ElementType dtype, const ZfpChunkConfig& config) {
  return decode_impl(chunk, shape, dtype, config);
}

}  // namespace varnel::zfpc

namespace varnel::zfpc {

Result<std::uint64_t> decoded_size(std::span<const std::uint64_t> shape, ElementType dtype,
                                   const ZfpChunkConfig& config) {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_field(shape, dtype, config));
  return plan.bytes;
}

Result<void> decode_chunk_into(std::span<const std::uint8_t> chunk, std::span<const std::uint64_t> shape,
                               ElementType dtype, const ZfpChunkConfig& config, std::span<std::uint8_t> out) {
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_decode(chunk, shape, dtype, config));
  if (out.size() != plan.bytes) {
    return std::unexpected(invalid("zfp: chunk shape " + format_shape(shape) + " (" +
                                   std::string(element_name(dtype)) + ") needs " +
                                   std::to_string(plan.bytes) + " bytes, got " +
                                   std::to_string(out.size())));
  }
  return run_decode(plan, dtype, out);
}

Result<void> decode_framed_into(std::span<const std::uint8_t> chunk, std::span<const std::uint64_t> shape,
                                ElementType dtype, const ZfpChunkConfig& config, std::span<std::uint8_t> out) {
  if (!is_framed(chunk)) return decode_chunk_into(chunk, shape, dtype, config, out);
  VARNEL_ASSIGN_OR_RETURN(auto plan, plan_field(shape, dtype, config));
  if ((dtype != ElementType::F32 && dtype != ElementType::F64) ||
      std::holds_alternative<Reversible>(plan.mode.value)) {
    return std::unexpected(malformed(0, "varnel_zfp: a framed chunk (kept non-finite values) in " +
                                            std::string(plan.mode.name()) + " mode for " +
                                            std::string(element_name(dtype)) +
                                            ": only lossy float chunks are framed"));
  }
  VARNEL_ASSIGN_OR_RETURN(const FramedChunk frame, open_frame(chunk));
  VARNEL_ASSIGN_OR_RETURN(auto stream, CheckedStream::open(frame.stream, plan.field, plan.mode, dtype));
  if (out.size() != plan.bytes) {
    return std::unexpected(invalid("zfp: chunk shape " + format_shape(shape) + " (" +
                                   std::string(element_name(dtype)) + ") needs " +
                                   std::to_string(plan.bytes) + " bytes, got " +
                                   std::to_string(out.size())));
  }
  DecodePlan decode{std::move(stream), plan.count, plan.bytes};
  VARNEL_TRY(run_decode(decode, dtype, out));
  return restore_non_finite(dtype, plan.field, frame.record, out, kFrameHeaderSize + frame.stream.size());
}

}  // namespace varnel::zfpc
