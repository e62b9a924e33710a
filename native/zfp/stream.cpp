#include "zfp/stream.hpp"

#include <zfp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "zfp/format.hpp"
#include "zfp/blocks.hpp"

namespace varnel::zfpc {
namespace {

// zfp streams are words of native byte order; with a byte-word build of the
// library they only match 64-bit-word streams on a little-endian machine.
static_assert(std::endian::native == std::endian::little, "zfp streams assume a little-endian host");

// Stream failures are reported at offset 0, since those checks concern the
// stream as a whole (its size, its header, its blocks); a truncation is
// reported where the input ends.

struct StreamCloser { void operator()(zfp_stream* s) const { zfp_stream_close(s); } };
struct FieldCloser { void operator()(zfp_field* f) const { zfp_field_free(f); } };
struct BitsCloser { void operator()(bitstream* b) const { stream_close(b); } };
using StreamPtr = std::unique_ptr<zfp_stream, StreamCloser>;
using FieldPtr = std::unique_ptr<zfp_field, FieldCloser>;
using BitsPtr = std::unique_ptr<bitstream, BitsCloser>;

// Extents [nx, ny, nz, nw] of a field shape (x fastest = last extent), 0 for
// the axes the field does not have.
std::array<std::uint64_t, 4> axes_of(std::span<const std::uint64_t> shape) {
  std::array<std::uint64_t, 4> n{0, 0, 0, 0};
  for (std::size_t i = 0; i < shape.size() && i < 4; ++i) n[i] = shape[shape.size() - 1 - i];
  return n;
}

std::string format_axes(const std::array<std::uint64_t, 4>& n) { return format_shape(n); }

// A zfp field of `type` over `data` with the extents of a checked shape.
FieldPtr make_field(ScalarType type, const FieldShape& shape, void* data) {
  FieldPtr f(zfp_field_alloc());
  if (!f) return f;
  zfp_field_set_type(f.get(), static_cast<zfp_type>(type));
  const auto& n = shape.axes;
  switch (shape.dims()) {
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
  if (!zs) throw_no_memory();
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

// Reads the full header (magic, field metadata, mode) and checks it against
// the expectation, in that order. Returns the number of header bits.
Result<std::uint64_t> read_checked_header(zfp_stream* zs, ScalarType type,
                                          const FieldShape& shape, const StreamParams& expected) {
  FieldPtr header(zfp_field_alloc());
  if (!header) throw_no_memory();
  // One part at a time, so that a failure can be named.
  const std::size_t magic = zfp_read_header(zs, header.get(), ZFP_HEADER_MAGIC);
  if (magic == 0) return std::unexpected(malformed(0, "varnel_zfp: invalid ZFP header magic"));
  const std::size_t meta = zfp_read_header(zs, header.get(), ZFP_HEADER_META);
  if (meta == 0) return std::unexpected(malformed(0, "varnel_zfp: invalid ZFP field metadata in header"));
  const std::size_t modebits = zfp_read_header(zs, header.get(), ZFP_HEADER_MODE);
  if (modebits == 0) return std::unexpected(malformed(0, "varnel_zfp: invalid ZFP compression mode in header"));

  const zfp_type got = zfp_field_type(header.get());
  if (got != static_cast<zfp_type>(type)) {
    const bool known = got >= zfp_type_int32 && got <= zfp_type_double;
    return std::unexpected(malformed(0, std::string("varnel_zfp: stream holds ") +
                               std::string(known ? scalar_name(static_cast<ScalarType>(got)) : "unknown") +
                               " samples, expected " + std::string(scalar_name(type))));
  }
  const std::array<std::uint64_t, 4> declared{header->nx, header->ny, header->nz, header->nw};
  const auto& wanted = shape.axes;
  if (declared != wanted) {
    return std::unexpected(malformed(0, "varnel_zfp: stream declares dimensions " + format_axes(declared) +
                               ", expected " + format_axes(wanted) + " (shape " +
                               format_shape(shape.extents) + ")"));
  }
  StreamParams got_params;
  zfp_stream_params(zs, &got_params.minbits, &got_params.maxbits, &got_params.maxprec,
                    &got_params.minexp);
  if (got_params != expected) {
    return std::unexpected(malformed(0, "varnel_zfp: stream compression parameters do not match the configuration"));
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

Result<FieldShape> FieldShape::checked(std::span<const std::uint64_t> shape) {
  VARNEL_TRY(validate_shape(shape));
  return FieldShape{{shape.begin(), shape.end()}, axes_of(shape)};
}

ScalarType scalar_type_of(ElementType t) {
  switch (t) {
    case ElementType::I64: return ScalarType::Int64;
    case ElementType::F32: return ScalarType::Float;
    case ElementType::F64: return ScalarType::Double;
    default: return ScalarType::Int32;
  }
}

namespace {

Extents extents_of(const FieldShape& shape) {
  Extents e;
  for (std::size_t i = 0; i < shape.dims(); ++i) e.n[i] = static_cast<std::size_t>(shape.axes[i]);
  e.dims = shape.dims();
  return e;
}

// What both directions set up once the shape and mode have passed: the
// stream parameters, a zfp stream whose header records them exactly, the
// field (without data yet), and zfp's bound on the stream size.
struct FieldSetup {
  StreamParams params;
  StreamPtr zs;
  FieldPtr field;
  std::size_t max = 0;
};

Result<FieldSetup> set_up(const FieldShape& shape, const ZfpMode& mode, ScalarType type) {
  FieldSetup f;
  f.params = stream_params(mode, type, shape.dims());
  VARNEL_ASSIGN_OR_RETURN(auto zs, open_stream(mode, f.params, shape.dims()));
  f.zs = std::move(zs);
  f.field = make_field(type, shape, nullptr);
  if (!f.field) throw_no_memory();
  VARNEL_ASSIGN_OR_RETURN(auto max, maximum_size(f.zs.get(), f.field.get(), f.params, shape.extents));
  f.max = max;
  return f;
}

}  // namespace

struct FieldEncoder::State {
  FieldSetup setup;
  ElementType samples = ElementType::I32;
  Extents extents;
  std::optional<std::size_t> exact;
  bool lossy = false;
};

FieldEncoder::FieldEncoder(std::unique_ptr<State> s) : state_(std::move(s)) {}
FieldEncoder::FieldEncoder(FieldEncoder&&) noexcept = default;
FieldEncoder& FieldEncoder::operator=(FieldEncoder&&) noexcept = default;
FieldEncoder::~FieldEncoder() = default;

Result<FieldEncoder> FieldEncoder::plan(const FieldShape& shape, const ZfpMode& mode, ElementType samples) {
  auto st = std::make_unique<State>();
  VARNEL_ASSIGN_OR_RETURN(auto setup, set_up(shape, mode, scalar_type_of(samples)));
  st->setup = std::move(setup);
  st->samples = samples;
  st->extents = extents_of(shape);
  st->lossy = !std::holds_alternative<Reversible>(mode.value);
  // The header is written once into a scratch word buffer here, to learn
  // whether the field metadata can hold the shape and how many bits the
  // header takes.
  std::uint64_t head[(ZFP_HEADER_MAX_BITS + 63) / 64 + 1] = {};
  BitsPtr bits(stream_open(head, sizeof head));
  if (!bits) throw_no_memory();
  zfp_stream* zs = st->setup.zs.get();
  zfp_stream_set_bit_stream(zs, bits.get());
  zfp_stream_rewind(zs);
  const std::size_t header_bits = zfp_write_header(zs, st->setup.field.get(), ZFP_HEADER_FULL);
  zfp_stream_set_bit_stream(zs, nullptr);
  if (header_bits == 0) {
    return std::unexpected(invalid("varnel_zfp: shape " + format_shape(shape.extents) +
                                   " exceeds the ZFP header metadata bounds"));
  }
  if (std::holds_alternative<FixedRate>(mode.value)) {
    // Every block takes exactly the budget; the size bound checked above
    // keeps this sum well inside 64 bits.
    const std::uint64_t total = header_bits + block_count(shape.extents) * std::uint64_t{st->setup.params.maxbits};
    st->exact = static_cast<std::size_t>((total + 63) / 64 * 8);
  }
  return FieldEncoder(std::move(st));
}

std::optional<std::size_t> FieldEncoder::exact_size() const { return state_->exact; }

std::size_t FieldEncoder::capacity() const { return state_->exact.value_or(state_->setup.max); }

Result<std::size_t> FieldEncoder::encode(const void* samples, std::span<std::uint8_t> out,
                                         NonFinite policy) const {
  if (out.size() < capacity() || reinterpret_cast<std::uintptr_t>(out.data()) % 8 != 0)
    return std::unexpected(invalid("varnel_zfp compress: output buffer too small or misaligned"));
  zfp_stream* zs = state_->setup.zs.get();
  BitsPtr bits(stream_open(out.data(), capacity()));
  if (!bits) throw_no_memory();
  zfp_stream_set_bit_stream(zs, bits.get());
  zfp_stream_rewind(zs);
  zfp_write_header(zs, state_->setup.field.get(), ZFP_HEADER_FULL);
  const bool check = policy != NonFinite::Code && state_->lossy;
  const bool coded = check ? encode_blocks(zs, state_->samples, state_->extents, samples, NonFinite::Stop)
                           : (encode_blocks(zs, state_->samples, state_->extents, samples), true);
  stream_flush(bits.get());
  zfp_stream_set_bit_stream(zs, nullptr);
  if (!coded) return 0;
  // Whole 64-bit words, the tail of the last one zero as a word-sized flush
  // leaves it (a library built with byte words stops at the last byte).
  const std::size_t size = stream_size(bits.get());
  const std::size_t words = round_to_words(size);
  std::memset(out.data() + size, 0, words - size);
  if (state_->exact && words != *state_->exact)
    return std::unexpected(invalid("varnel_zfp compress: fixed-rate stream has an unexpected size"));
  return words;
}

// The decoder reads the input in place while a block cannot reach past its
// whole words, and the rest from `tail`: the input from the word the next
// block starts in, then zero words for one block's budget. Before each
// block in the tail, the position must still be inside the input: every
// block takes at least one bit, so a block starting at its end reads past
// it.
struct CheckedStream::State {
  FieldSetup setup;
  ElementType samples = ElementType::I32;
  Extents extents;
  std::span<const std::uint8_t> input;
  BitsPtr direct;                    // over the input's whole words, or null
  std::uint64_t direct_bits = 0;     // bits of the input readable in place
  std::uint64_t budget = 1;          // bits a block may take
  std::uint64_t reach = 0;           // bits past a block's start it may read
  BitsPtr tail_bits;                 // over `tail`, once the decoder is there
  std::vector<std::uint64_t> tail;
  std::uint64_t tail_base = 0;       // bit position of tail[0] in the input

  std::uint64_t position() const {
    return tail_bits ? tail_base + stream_rtell(tail_bits.get()) : stream_rtell(direct.get());
  }

  // Puts the stream at bit `p` of the input.
  bool seek(std::uint64_t p) {
    if (!tail_bits && direct && p + reach <= direct_bits) {
      stream_rseek(direct.get(), p);
      zfp_stream_set_bit_stream(setup.zs.get(), direct.get());
      return true;
    }
    if (!tail_bits) {
      const std::size_t from = std::min<std::size_t>(p / 64 * 8, input.size());
      const std::size_t rest = input.size() - from;
      tail.assign((rest + 7) / 8 + (reach + 63) / 64 + 1, 0);
      if (rest) std::memcpy(tail.data(), input.data() + from, rest);
      tail_bits.reset(stream_open(tail.data(), tail.size() * 8));
      if (!tail_bits) return false;
      tail_base = std::uint64_t{from} * 8;
      zfp_stream_set_bit_stream(setup.zs.get(), tail_bits.get());
    }
    stream_rseek(tail_bits.get(), p - tail_base);
    return true;
  }

  // The blocks that may be decoded from here on: in place, as many as
  // cannot reach past the whole words whatever they hold (block k starts at
  // most k budgets on); in the tail, one at a time.
  static std::size_t allow(void* context) {
    auto* s = static_cast<State*>(context);
    if (s->tail_bits) return s->position() <= std::uint64_t{s->input.size()} * 8 ? 1 : 0;
    const std::uint64_t p = s->position();
    if (p + s->reach <= s->direct_bits) {
      const std::uint64_t more = (s->direct_bits - p - s->reach) / s->budget;
      return static_cast<std::size_t>(std::min<std::uint64_t>(more, SIZE_MAX - 1)) + 1;
    }
    return s->seek(p) ? 1 : 0;
  }
};

CheckedStream::CheckedStream(std::unique_ptr<State> s) : state_(std::move(s)) {}
CheckedStream::CheckedStream(CheckedStream&&) noexcept = default;
CheckedStream& CheckedStream::operator=(CheckedStream&&) noexcept = default;
CheckedStream::~CheckedStream() = default;

Result<CheckedStream> CheckedStream::open(std::span<const std::uint8_t> encoded, const FieldShape& shape,
                                          const ZfpMode& mode, ElementType samples) {
  const ScalarType type = scalar_type_of(samples);
  auto st = std::make_unique<State>();
  VARNEL_ASSIGN_OR_RETURN(auto setup, set_up(shape, mode, type));
  st->setup = std::move(setup);
  const StreamParams& params = st->setup.params;
  const std::size_t max = st->setup.max;
  if (encoded.size() > max) {
    return std::unexpected(malformed(0, "varnel_zfp: stream is " + std::to_string(encoded.size()) +
                               " bytes but this configuration compresses to at most " +
                               std::to_string(max)));
  }

  // The header is read and checked from a small zero-padded copy.
  std::uint64_t head_words[(ZFP_HEADER_MAX_BITS + 63) / 64] = {};
  if (!encoded.empty()) std::memcpy(head_words, encoded.data(), std::min(encoded.size(), sizeof head_words));
  BitsPtr head(stream_open(head_words, sizeof head_words));
  if (!head) throw_no_memory();
  zfp_stream* zs = st->setup.zs.get();
  zfp_stream_set_bit_stream(zs, head.get());
  zfp_stream_rewind(zs);
  auto header_bits = read_checked_header(zs, type, shape, params);
  zfp_stream_set_bit_stream(zs, nullptr);
  if (!header_bits) return std::unexpected(std::move(header_bits.error()));

  if (std::holds_alternative<FixedRate>(mode.value)) {
    const std::uint64_t total = *header_bits + block_count(shape.extents) * std::uint64_t{params.maxbits};
    const std::uint64_t exact = (total + 63) / 64 * 8;
    if (encoded.size() != exact) {
      return std::unexpected(malformed(0, "varnel_zfp: fixed-rate stream is " + std::to_string(encoded.size()) +
                                 " bytes, computed size is " + std::to_string(exact)));
    }
  }

  // Every block takes at least one bit (an all-zero block is a single 0
  // bit), so a stream shorter than that is cut short whatever it holds; it
  // is refused before the caller makes an output the size of the field.
  const std::uint64_t have = std::uint64_t{encoded.size()} * 8;
  if (*header_bits > have || block_count(shape.extents) > have - *header_bits)
    return std::unexpected(malformed(encoded.size(), "varnel_zfp decompress: stream truncated"));

  st->samples = samples;
  st->extents = extents_of(shape);
  st->input = encoded;
  // A block reads at most its budget of bits; zfp fetches the word holding
  // each bit it reads, and one word more is kept in hand as a margin.
  st->budget = std::max<std::uint64_t>({params.maxbits, params.minbits, 1});
  st->reach = st->budget + 64;
  if (reinterpret_cast<std::uintptr_t>(encoded.data()) % 8 == 0 && encoded.size() >= 8) {
    // zfp only reads through this stream.
    st->direct.reset(stream_open(const_cast<std::uint8_t*>(encoded.data()), encoded.size() / 8 * 8));
    if (!st->direct) throw_no_memory();
    st->direct_bits = std::uint64_t{encoded.size() / 8} * 64;
  }
  if (!st->seek(*header_bits)) throw_no_memory();
  return CheckedStream(std::move(st));
}

Result<void> CheckedStream::decode_into(void* out) {
  State& s = *state_;
  const bool whole = decode_blocks(s.setup.zs.get(), s.samples, s.extents, out, {&State::allow, &s});
  // A gate that refused is either a failed tail allocation before any
  // truncation, or a block starting past the input's end.
  if (!whole && !s.tail_bits) throw_no_memory();
  if (!whole || s.position() > std::uint64_t{s.input.size()} * 8)
    return std::unexpected(malformed(s.input.size(), "varnel_zfp decompress: stream truncated"));
  return ok();
}

}  // namespace varnel::zfpc
