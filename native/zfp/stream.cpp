#include "zfp/stream.hpp"

#include <sys/mman.h>
#include <zfp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>

#include "zfp/format.hpp"
#include "zfp/memory.hpp"

namespace varnel::zfpc {
namespace {

// zfp streams are words of native byte order; with a byte-word build of the
// library they only match 64-bit-word streams on a little-endian machine.
static_assert(std::endian::native == std::endian::little, "zfp streams assume a little-endian host");

Error invalid(std::string message) { return Error::invalid(std::move(message)); }
// Stream failures are reported at offset 0, since those checks concern the
// stream as a whole (its size, its header, its blocks); a truncation is
// reported where the input ends.
Error err(std::uint64_t offset, std::string message) { return Error::malformed(offset, std::move(message)); }
Error err(std::string message) { return err(0, std::move(message)); }

struct StreamCloser { void operator()(zfp_stream* s) const { zfp_stream_close(s); } };
struct FieldCloser { void operator()(zfp_field* f) const { zfp_field_free(f); } };
struct BitsCloser { void operator()(bitstream* b) const { stream_close(b); } };
using StreamPtr = std::unique_ptr<zfp_stream, StreamCloser>;
using FieldPtr = std::unique_ptr<zfp_field, FieldCloser>;
using BitsPtr = std::unique_ptr<bitstream, BitsCloser>;

// Word buffers for the streams, allocated once per call. `allocate(bytes,
// zero_from)` leaves bytes [zero_from, bytes) reading as zero and the rest
// for the caller to fill. Buffers up to glibc's largest dynamic mmap
// threshold come from malloc, so a run of calls reuses warm heap pages
// instead of mapping, faulting and unmapping (and, with several threads,
// shooting down the other cores' TLB entries) each time; the zero part is
// cleared by hand, which costs a fraction of coding the samples it bounds.
// Larger buffers are fresh mappings, whose untouched pages are zero for free.
class StreamWords {
 public:
  static constexpr std::size_t kMallocUpTo = std::size_t{32} << 20;
  StreamWords() = default;
  StreamWords(const StreamWords&) = delete;
  StreamWords& operator=(const StreamWords&) = delete;
  ~StreamWords() { release(); }

  bool allocate(std::size_t bytes, std::size_t zero_from) {
    release();
    zero_from = std::min(zero_from, bytes);
    if (bytes <= kMallocUpTo) {
      data_ = std::malloc(bytes ? bytes : 1);
      if (!data_) return false;
      std::memset(static_cast<std::uint8_t*>(data_) + zero_from, 0, bytes - zero_from);
    } else {
      void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return false;
      advise_huge_pages(p, bytes);
      data_ = p;
      mapped_ = true;
    }
    bytes_ = bytes;
    return true;
  }
  std::uint8_t* data() const { return static_cast<std::uint8_t*>(data_); }

 private:
  void release() {
    if (!data_) return;
    if (mapped_) munmap(data_, bytes_);
    else std::free(data_);
    data_ = nullptr;
    mapped_ = false;
  }
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  bool mapped_ = false;
};

template <class T> constexpr ScalarType scalar_of();
template <> constexpr ScalarType scalar_of<std::int32_t>() { return ScalarType::Int32; }
template <> constexpr ScalarType scalar_of<std::int64_t>() { return ScalarType::Int64; }
template <> constexpr ScalarType scalar_of<float>() { return ScalarType::Float; }
template <> constexpr ScalarType scalar_of<double>() { return ScalarType::Double; }

// Extents [nx, ny, nz, nw] of a field shape (x fastest = last extent), 0 for
// the axes the field does not have.
std::array<std::uint64_t, 4> axes_of(std::span<const std::uint64_t> shape) {
  std::array<std::uint64_t, 4> n{0, 0, 0, 0};
  for (std::size_t i = 0; i < shape.size() && i < 4; ++i) n[i] = shape[shape.size() - 1 - i];
  return n;
}

std::string format_axes(const std::array<std::uint64_t, 4>& n) { return format_shape(n); }

// A zfp field of `type` over `data` with the extents of a validated shape.
FieldPtr make_field(ScalarType type, std::span<const std::uint64_t> shape, void* data) {
  FieldPtr f(zfp_field_alloc());
  if (!f) return f;
  zfp_field_set_type(f.get(), static_cast<zfp_type>(type));
  const auto n = axes_of(shape);
  switch (shape.size()) {
    case 1: zfp_field_set_size_1d(f.get(), n[0]); break;
    case 2: zfp_field_set_size_2d(f.get(), n[0], n[1]); break;
    case 3: zfp_field_set_size_3d(f.get(), n[0], n[1], n[2]); break;
    default: zfp_field_set_size_4d(f.get(), n[0], n[1], n[2], n[3]); break;
  }
  zfp_field_set_pointer(f.get(), data);
  return f;
}

// Number of 4^d blocks of a shape, saturating at the top of the range (any
// such count fails the size bound below).
std::uint64_t block_count(std::span<const std::uint64_t> shape) {
  std::uint64_t blocks = 1;
  for (auto e : shape) {
    if (__builtin_mul_overflow(blocks, e / 4 + (e % 4 != 0), &blocks)) return UINT64_MAX;
  }
  return blocks;
}

// A zfp stream set to `p`, after checking that the header's mode field can
// record `p` exactly: zfp writes fixed-rate budgets outside 1..32768 bits per
// block into the header as a different budget, which would leave a stream
// whose header misstates how its blocks were coded.
Result<StreamPtr> open_stream(const ZfpMode& mode, const StreamParams& p, unsigned dims) {
  StreamPtr zs(zfp_stream_open(nullptr));
  if (!zs) return std::unexpected(invalid("varnel_zfp: out of memory"));
  StreamParams recorded;
  if (zfp_stream_set_params(zs.get(), p.minbits, p.maxbits, p.maxprec, p.minexp) &&
      zfp_stream_set_mode(zs.get(), zfp_stream_mode(zs.get())) != zfp_mode_null) {
    zfp_stream_params(zs.get(), &recorded.minbits, &recorded.maxbits, &recorded.maxprec,
                      &recorded.minexp);
  }
  if (recorded != p) {
    const auto* r = std::get_if<FixedRate>(&mode.value);
    const std::string what =
        r ? "fixed rate " + format_double(r->rate) + " gives " + std::to_string(p.maxbits) +
                " bits per " + std::to_string(1u << (2 * dims)) + "-value block"
          : std::string(mode.name()) + " mode parameters";
    return std::unexpected(invalid("varnel_zfp: " + what +
                                   ", which a ZFP header cannot record (1..=32768 bits per block)"));
  }
  return zs;
}

constexpr std::size_t round_to_words(std::size_t bytes) { return (bytes + 7) / 8 * 8; }

// zfp's maximum compressed size for the stream's parameters and the field, in
// bytes (a multiple of 8). The library sums the block budgets in size_t; the
// sum is checked here first so that a bound it cannot represent is refused
// rather than wrapped.
Result<std::size_t> maximum_size(const zfp_stream* zs, const zfp_field* f, const StreamParams& p,
                                 std::span<const std::uint64_t> shape) {
  const auto fail = [&] {
    return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape) +
                                   " exceeds the ZFP stream size bounds"));
  };
  std::uint64_t bits = 0;
  if (__builtin_mul_overflow(block_count(shape), std::uint64_t{std::max(p.maxbits, p.minbits) | 1u}, &bits) ||
      __builtin_add_overflow(bits, std::uint64_t{ZFP_HEADER_MAX_BITS + 64}, &bits)) {
    return fail();
  }
  const std::size_t size = zfp_stream_maximum_size(zs, f);
  if (size == 0) return fail();
  // Streams are sequences of 64-bit words, whatever word size the library
  // was built with (Debian's uses bytes; the bit order within the stream is
  // the same on a little-endian machine): round up to whole words.
  return round_to_words(size);
}

Result<void> check_shape_and_mode(std::span<const std::uint64_t> shape, std::size_t count,
                                  std::string_view buffer, const ZfpMode& mode, unsigned& dims) {
  auto d = validate_shape_len(shape, count, buffer);
  if (!d) return std::unexpected(std::move(d.error()));
  if (auto v = mode.validate(); !v) return v;
  dims = *d;
  return ok();
}

template <class T>
Result<std::vector<std::uint8_t>> compress_field(std::span<const T> samples,
                                                 std::span<const std::uint64_t> shape,
                                                 const ZfpMode& mode) {
  constexpr ScalarType type = scalar_of<T>();
  unsigned dims = 0;
  if (auto c = check_shape_and_mode(shape, samples.size(), "input", mode, dims); !c)
    return std::unexpected(std::move(c.error()));
  const StreamParams params = stream_params(mode, type, dims);
  auto zs = open_stream(mode, params, dims);
  if (!zs) return std::unexpected(std::move(zs.error()));
  // zfp only reads the field when compressing.
  FieldPtr field = make_field(type, shape, const_cast<T*>(samples.data()));
  if (!field) return std::unexpected(invalid("varnel_zfp: out of memory"));
  auto max = maximum_size(zs->get(), field.get(), params, shape);
  if (!max) return std::unexpected(std::move(max.error()));

  // The stream is written once into an uninitialised buffer of the maximum
  // size (only the pages written cost anything), and the used words are
  // copied out: cheaper than clearing a result vector of the maximum size
  // whenever the stream is much smaller than its bound.
  StreamWords buffer;
  if (!buffer.allocate(*max, *max)) return std::unexpected(invalid("varnel_zfp: out of memory"));
  BitsPtr bits(stream_open(buffer.data(), *max));
  if (!bits) return std::unexpected(invalid("varnel_zfp: out of memory"));
  zfp_stream_set_bit_stream(zs->get(), bits.get());
  zfp_stream_rewind(zs->get());
  if (zfp_write_header(zs->get(), field.get(), ZFP_HEADER_FULL) == 0) {
    return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape) +
                                   " exceeds the ZFP header metadata bounds"));
  }
  if (zfp_compress(zs->get(), field.get()) == 0) {
    return std::unexpected(invalid("varnel_zfp compress: zfp_compress failed"));
  }
  stream_flush(bits.get());
  // The tail of the last 64-bit word is zero, as a word-sized flush leaves
  // it.
  const std::size_t size = stream_size(bits.get());
  const std::size_t words = round_to_words(size);
  std::memset(buffer.data() + size, 0, words - size);
  return std::vector<std::uint8_t>(buffer.data(), buffer.data() + words);
}

// The stream's bytes (already known to fit `max`) copied into words owned
// here, zero-padded up to the maximum size, so that the block decoder never
// reads outside its buffer.
Result<BitsPtr> padded_stream(std::span<const std::uint8_t> encoded, std::size_t max,
                              StreamWords& words) {
  const std::size_t bytes = (max + 7) / 8 * 8;
  if (!words.allocate(bytes, encoded.size()))
    return std::unexpected(invalid("varnel_zfp: out of memory"));
  if (!encoded.empty()) std::memcpy(words.data(), encoded.data(), encoded.size());
  BitsPtr bits(stream_open(words.data(), bytes));
  if (!bits) return std::unexpected(invalid("varnel_zfp: out of memory"));
  return bits;
}

// Reads the full header (magic, field metadata, mode) and checks it against
// the expectation, in that order. Returns the number of header bits.
Result<std::uint64_t> read_checked_header(zfp_stream* zs, ScalarType type,
                                          std::span<const std::uint64_t> shape,
                                          const StreamParams& expected) {
  FieldPtr header(zfp_field_alloc());
  if (!header) return std::unexpected(invalid("varnel_zfp: out of memory"));
  // One part at a time, so that a failure can be named.
  const std::size_t magic = zfp_read_header(zs, header.get(), ZFP_HEADER_MAGIC);
  if (magic == 0) return std::unexpected(err("varnel_zfp: invalid ZFP header magic"));
  const std::size_t meta = zfp_read_header(zs, header.get(), ZFP_HEADER_META);
  if (meta == 0) return std::unexpected(err("varnel_zfp: invalid ZFP field metadata in header"));
  const std::size_t modebits = zfp_read_header(zs, header.get(), ZFP_HEADER_MODE);
  if (modebits == 0) return std::unexpected(err("varnel_zfp: invalid ZFP compression mode in header"));

  const zfp_type got = zfp_field_type(header.get());
  if (got != static_cast<zfp_type>(type)) {
    const bool known = got >= zfp_type_int32 && got <= zfp_type_double;
    return std::unexpected(err(std::string("varnel_zfp: stream holds ") +
                               std::string(known ? scalar_name(static_cast<ScalarType>(got)) : "unknown") +
                               " samples, expected " + std::string(scalar_name(type))));
  }
  const std::array<std::uint64_t, 4> declared{header->nx, header->ny, header->nz, header->nw};
  const auto wanted = axes_of(shape);
  if (declared != wanted) {
    return std::unexpected(err("varnel_zfp: stream declares dimensions " + format_axes(declared) +
                               ", expected " + format_axes(wanted) + " (shape " +
                               format_shape(shape) + ")"));
  }
  StreamParams got_params;
  zfp_stream_params(zs, &got_params.minbits, &got_params.maxbits, &got_params.maxprec,
                    &got_params.minexp);
  if (got_params != expected) {
    return std::unexpected(err("varnel_zfp: stream compression parameters do not match the configuration"));
  }
  return std::uint64_t{magic} + meta + modebits;
}

}  // namespace

std::string_view scalar_name(ScalarType t) {
  switch (t) {
    case ScalarType::Int32: return "int32";
    case ScalarType::Int64: return "int64";
    case ScalarType::Float: return "float";
    case ScalarType::Double: return "double";
  }
  return "?";
}

std::string_view ZfpMode::name() const {
  switch (value.index()) {
    case 0: return "fixed_rate";
    case 1: return "fixed_accuracy";
    case 2: return "fixed_precision";
    default: return "reversible";
  }
}

Result<void> ZfpMode::validate() const {
  if (const auto* r = std::get_if<FixedRate>(&value)) {
    if (!(r->rate > 0) || !std::isfinite(r->rate))
      return std::unexpected(invalid("varnel_zfp: fixed-rate mode needs a positive finite rate, got " +
                                     format_double(r->rate)));
  } else if (const auto* a = std::get_if<FixedAccuracy>(&value)) {
    if (!(a->tolerance >= 0) || !std::isfinite(a->tolerance))
      return std::unexpected(
          invalid("varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, got " +
                  format_double(a->tolerance)));
  } else if (const auto* p = std::get_if<FixedPrecision>(&value)) {
    if (p->precision < 1 || p->precision > 64)
      return std::unexpected(invalid("varnel_zfp: fixed-precision mode needs 1..=64 bit planes, got " +
                                     std::to_string(p->precision)));
  }
  return ok();
}

std::uint32_t fixed_rate_bits(double rate, ScalarType type, unsigned dims) {
  const double values = static_cast<double>(1u << (2 * dims));
  const double x = std::floor(rate * values + 0.5);
  // Saturating conversion: NaN and negatives to 0, large values to the top.
  std::uint32_t bits = 0;
  if (x >= 4294967295.0) bits = 4294967295u;
  else if (x > 0) bits = static_cast<std::uint32_t>(x);
  if (type == ScalarType::Float) bits = std::max(bits, 1u + 8u);
  if (type == ScalarType::Double) bits = std::max(bits, 1u + 11u);
  return bits;
}

StreamParams stream_params(const ZfpMode& mode, ScalarType type, unsigned dims) {
  if (const auto* r = std::get_if<FixedRate>(&mode.value)) {
    const std::uint32_t bits = fixed_rate_bits(r->rate, type, dims);
    return {bits, bits, kZfpMaxPrec, kZfpMinExp};
  }
  if (const auto* a = std::get_if<FixedAccuracy>(&mode.value)) {
    int e = kZfpMinExp;
    if (a->tolerance > 0) {
      std::frexp(a->tolerance, &e);  // tolerance = m * 2^e, 0.5 <= m < 1
      --e;
    }
    return {1, kZfpMaxBits, kZfpMaxPrec, e};
  }
  if (const auto* p = std::get_if<FixedPrecision>(&mode.value)) {
    const std::uint32_t prec = p->precision >= 1 && p->precision <= 63 ? p->precision : kZfpMaxPrec;
    return {1, kZfpMaxBits, prec, kZfpMinExp};
  }
  // One below the smallest exponent is how zfp marks the reversible mode.
  return {1, kZfpMaxBits, kZfpMaxPrec, kZfpMinExp - 1};
}

Result<unsigned> validate_shape(std::span<const std::uint64_t> shape) {
  if (shape.empty() || shape.size() > 4) {
    return std::unexpected(invalid("varnel_zfp: shape must have 1..=4 dimensions, got " +
                                   std::to_string(shape.size())));
  }
  for (auto e : shape) {
    if (e == 0)
      return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape) + " has a zero extent"));
  }
  return static_cast<unsigned>(shape.size());
}

Result<unsigned> validate_shape_len(std::span<const std::uint64_t> shape, std::uint64_t count,
                                    std::string_view buffer) {
  auto d = validate_shape(shape);
  if (!d) return d;
  std::uint64_t product = 1;
  for (auto e : shape) {
    if (__builtin_mul_overflow(product, e, &product))
      return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape) + " overflows usize"));
  }
  if (product != count) {
    return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape) + " has " +
                                   std::to_string(product) + " elements but the " +
                                   std::string(buffer) + " holds " + std::to_string(count)));
  }
  return d;
}

Result<std::vector<std::uint8_t>> compress(std::span<const std::int32_t> s,
                                           std::span<const std::uint64_t> shape, const ZfpMode& m) {
  return compress_field(s, shape, m);
}
Result<std::vector<std::uint8_t>> compress(std::span<const std::int64_t> s,
                                           std::span<const std::uint64_t> shape, const ZfpMode& m) {
  return compress_field(s, shape, m);
}
Result<std::vector<std::uint8_t>> compress(std::span<const float> s,
                                           std::span<const std::uint64_t> shape, const ZfpMode& m) {
  return compress_field(s, shape, m);
}
Result<std::vector<std::uint8_t>> compress(std::span<const double> s,
                                           std::span<const std::uint64_t> shape, const ZfpMode& m) {
  return compress_field(s, shape, m);
}

struct CheckedStream::State {
  StreamPtr zs;
  FieldPtr field;
  StreamWords words;
  BitsPtr bits;
  std::size_t input = 0;  // bytes of the stream given to `open`
};

CheckedStream::CheckedStream(std::unique_ptr<State> s) : state_(std::move(s)) {}
CheckedStream::CheckedStream(CheckedStream&&) noexcept = default;
CheckedStream& CheckedStream::operator=(CheckedStream&&) noexcept = default;
CheckedStream::~CheckedStream() = default;

Result<CheckedStream> CheckedStream::open(std::span<const std::uint8_t> encoded,
                                          std::span<const std::uint64_t> shape, const ZfpMode& mode,
                                          ScalarType type) {
  auto d = validate_shape(shape);
  if (!d) return std::unexpected(std::move(d.error()));
  if (auto v = mode.validate(); !v) return std::unexpected(std::move(v.error()));
  const unsigned dims = *d;
  const StreamParams params = stream_params(mode, type, dims);
  auto st = std::make_unique<State>();
  auto zs = open_stream(mode, params, dims);
  if (!zs) return std::unexpected(std::move(zs.error()));
  st->zs = std::move(*zs);
  st->field = make_field(type, shape, nullptr);
  if (!st->field) return std::unexpected(invalid("varnel_zfp: out of memory"));
  auto max = maximum_size(st->zs.get(), st->field.get(), params, shape);
  if (!max) return std::unexpected(std::move(max.error()));
  if (encoded.size() > *max) {
    return std::unexpected(err("varnel_zfp: stream is " + std::to_string(encoded.size()) +
                               " bytes but this configuration compresses to at most " +
                               std::to_string(*max)));
  }

  // The header is read and checked from a small zero-padded copy first, so
  // that a stray stream is refused before a buffer of the maximum size
  // (which follows the declared shape, not the input) is made.
  std::uint64_t head_words[(ZFP_HEADER_MAX_BITS + 63) / 64] = {};
  if (!encoded.empty()) std::memcpy(head_words, encoded.data(), std::min(encoded.size(), sizeof head_words));
  BitsPtr head(stream_open(head_words, sizeof head_words));
  if (!head) return std::unexpected(invalid("varnel_zfp: out of memory"));
  zfp_stream_set_bit_stream(st->zs.get(), head.get());
  zfp_stream_rewind(st->zs.get());
  auto header_bits = read_checked_header(st->zs.get(), type, shape, params);
  zfp_stream_set_bit_stream(st->zs.get(), nullptr);
  if (!header_bits) return std::unexpected(std::move(header_bits.error()));

  if (std::holds_alternative<FixedRate>(mode.value)) {
    // Every block takes exactly the budget; the size bound checked above
    // keeps this sum well inside 64 bits.
    const std::uint64_t total = *header_bits + block_count(shape) * std::uint64_t{params.maxbits};
    const std::uint64_t exact = (total + 63) / 64 * 8;
    if (encoded.size() != exact) {
      return std::unexpected(err("varnel_zfp: fixed-rate stream is " + std::to_string(encoded.size()) +
                                 " bytes, computed size is " + std::to_string(exact)));
    }
  }

  // Every block takes at least one bit (an all-zero block is a single 0
  // bit), so a stream shorter than that is cut short whatever it holds; it
  // is refused before buffers the size of the declared field are made.
  const std::uint64_t have = std::uint64_t{encoded.size()} * 8;
  if (*header_bits > have || block_count(shape) > have - *header_bits)
    return std::unexpected(err(encoded.size(), "varnel_zfp decompress: stream truncated"));

  auto bits = padded_stream(encoded, *max, st->words);
  if (!bits) return std::unexpected(std::move(bits.error()));
  st->bits = std::move(*bits);
  st->input = encoded.size();
  zfp_stream_set_bit_stream(st->zs.get(), st->bits.get());
  zfp_stream_rewind(st->zs.get());
  // Past the header again, now in the stream the blocks are read from.
  stream_skip(st->bits.get(), *header_bits);
  return CheckedStream(std::move(st));
}

Result<void> CheckedStream::decode_into(void* out) {
  zfp_field_set_pointer(state_->field.get(), out);
  // Continues after the header. zfp answers with the bytes it consumed from
  // the start of the stream (header included), rounded up to its stream
  // word: a byte in Debian's build, so the count is exact; a build with
  // 64-bit words would round to 8 bytes, which every whole-word stream (as
  // zfp and zfpy write them) still passes.
  const std::size_t consumed = zfp_decompress(state_->zs.get(), state_->field.get());
  if (consumed == 0) return std::unexpected(err("varnel_zfp decompress: zfp_decompress failed"));
  // Past the input the decoder reads the zero padding (the maximum size
  // bounds how far, even on noise). Blocks that needed any of it were cut
  // short, and the values decoded from it are not the encoder's.
  if (consumed > state_->input) {
    return std::unexpected(err(state_->input, "varnel_zfp decompress: stream truncated"));
  }
  return ok();
}

namespace {

template <class T>
Result<void> decompress_field(std::span<const std::uint8_t> encoded,
                              std::span<const std::uint64_t> shape, const ZfpMode& mode,
                              std::span<T> out) {
  auto d = validate_shape_len(shape, out.size(), "output");
  if (!d) return std::unexpected(std::move(d.error()));
  auto stream = CheckedStream::open(encoded, shape, mode, scalar_of<T>());
  if (!stream) return std::unexpected(std::move(stream.error()));
  return stream->decode_into(out.data());
}

}  // namespace

Result<void> decompress(std::span<const std::uint8_t> e, std::span<const std::uint64_t> shape,
                        const ZfpMode& m, std::span<std::int32_t> out) {
  return decompress_field(e, shape, m, out);
}
Result<void> decompress(std::span<const std::uint8_t> e, std::span<const std::uint64_t> shape,
                        const ZfpMode& m, std::span<std::int64_t> out) {
  return decompress_field(e, shape, m, out);
}
Result<void> decompress(std::span<const std::uint8_t> e, std::span<const std::uint64_t> shape,
                        const ZfpMode& m, std::span<float> out) {
  return decompress_field(e, shape, m, out);
}
Result<void> decompress(std::span<const std::uint8_t> e, std::span<const std::uint64_t> shape,
                        const ZfpMode& m, std::span<double> out) {
  return decompress_field(e, shape, m, out);
}

}  // namespace varnel::zfpc
