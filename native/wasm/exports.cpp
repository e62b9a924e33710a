// varnel wasm: the decoder's exports for JavaScript (web/varnel.js).
//
// The module is a library: no entry point, no imports beyond the few WASI
// calls libc++ keeps. JavaScript allocates an input buffer with
// `varnel_alloc`, copies the chunk and the shape into it, calls
// `varnel_decode` (or `varnel_decode_reduced`) with an output buffer sized by
// `varnel_decoded_size` (`varnel_reduced_size`), and on a non-zero status
// reads the message at `varnel_error_message` (`varnel_error_length` bytes,
// UTF-8). Every check of the native decoder stays in force; a failed call
// leaves the output's contents unspecified.
//
// dtype codes: 0 uint8, 1 int8, 2 uint16, 3 int16, 4 uint32, 5 int32 (the
// order of core/dtype.hpp's ElementType). Shapes are passed as u32 extents
// (the container's own width).

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "zarr/htj2k.hpp"

#define VARNEL_EXPORT(name) extern "C" __attribute__((export_name(name)))

namespace {

std::string last_error;

// Status codes: 0 ok, then one per ErrorKind.
int fail(const varnel::Error& e) {
  last_error = e.display();
  return 1 + static_cast<int>(e.kind);
}

int fail_invalid(std::string message) {
  last_error = std::move(message);
  return 1 + static_cast<int>(varnel::ErrorKind::InvalidArgument);
}

// The shape and dtype of a call, widened for the native entry points.
struct Call {
  std::vector<std::uint64_t> shape;
  varnel::ElementType dtype;
};

bool read_call(const std::uint32_t* shape, std::uint32_t ndim, std::uint32_t dtype, Call& call) {
  if (dtype > static_cast<std::uint32_t>(varnel::ElementType::I32)) {
    fail_invalid("htj2k: unknown dtype code " + std::to_string(dtype));
    return false;
  }
  if (ndim > 32) {
    fail_invalid("htj2k chunks carry at most 32 dimensions; got " + std::to_string(ndim));
    return false;
  }
  call.shape.assign(shape, shape + ndim);
  call.dtype = static_cast<varnel::ElementType>(dtype);
  return true;
}

// A byte count as a double (exact below 2^53; JavaScript's own integers),
// or -1 with the error kept.
double size_or_fail(const varnel::Result<std::uint64_t>& size) {
  if (!size) {
    fail(size.error());
    return -1;
  }
  return static_cast<double>(*size);
}

}  // namespace

VARNEL_EXPORT("varnel_alloc") void* varnel_alloc(std::uint32_t bytes) {
  return std::malloc(bytes == 0 ? 1 : bytes);
}

VARNEL_EXPORT("varnel_free") void varnel_free(void* p) { std::free(p); }

VARNEL_EXPORT("varnel_error_message") const char* varnel_error_message() {
  return last_error.data();
}

VARNEL_EXPORT("varnel_error_length") std::uint32_t varnel_error_length() {
  return static_cast<std::uint32_t>(last_error.size());
}

VARNEL_EXPORT("varnel_decoded_size")
double varnel_decoded_size(const std::uint32_t* shape, std::uint32_t ndim, std::uint32_t dtype) {
  Call call;
  if (!read_call(shape, ndim, dtype, call)) return -1;
  return size_or_fail(varnel::zarr::decoded_size(call.shape, call.dtype));
}

VARNEL_EXPORT("varnel_reduced_size")
double varnel_reduced_size(const std::uint32_t* shape, std::uint32_t ndim, std::uint32_t dtype,
                           std::uint32_t reduce) {
  Call call;
  if (!read_call(shape, ndim, dtype, call)) return -1;
  if (reduce > 255) return fail_invalid("htj2k: reduce " + std::to_string(reduce) + " is too large"), -1;
  return size_or_fail(
      varnel::zarr::reduced_size(call.shape, call.dtype, static_cast<std::uint8_t>(reduce)));
}

VARNEL_EXPORT("varnel_decode")
int varnel_decode(const std::uint8_t* chunk, std::uint32_t chunk_length,
                  const std::uint32_t* shape, std::uint32_t ndim, std::uint32_t dtype,
                  std::uint8_t* out, std::uint32_t out_length) {
  Call call;
  if (!read_call(shape, ndim, dtype, call)) return 1;
  const auto done = varnel::zarr::decode_chunk_into({chunk, chunk_length}, call.shape, call.dtype,
                                                    {out, out_length});
  return done ? 0 : fail(done.error());
}

VARNEL_EXPORT("varnel_decode_reduced")
int varnel_decode_reduced(const std::uint8_t* chunk, std::uint32_t chunk_length,
                          const std::uint32_t* shape, std::uint32_t ndim, std::uint32_t dtype,
                          std::uint32_t reduce, std::uint8_t* out, std::uint32_t out_length) {
  Call call;
  if (!read_call(shape, ndim, dtype, call)) return 1;
  if (reduce > 255) return fail_invalid("htj2k: reduce " + std::to_string(reduce) + " is too large");
  const auto done = varnel::zarr::decode_chunk_reduced_into(
      {chunk, chunk_length}, call.shape, call.dtype, static_cast<std::uint8_t>(reduce),
      {out, out_length});
  return done ? 0 : fail(done.error());
}

// The decoder keeps thread_local work buffers; a WebAssembly instance has one
// thread that lives as long as the instance, so their destructors are never
// registered (the instance's memory goes with it).
extern "C" int __cxa_thread_atexit(void (*)(void*), void*, void*) { return 0; }
