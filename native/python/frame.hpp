// varnel python: the one calling frame of the codec functions.
//
// bind -> convert -> dtype -> release the interpreter lock -> run -> bytes or
// ValueError. A codec function is a `CodecSpec` (its parameter table, its
// dtype name lookup and rejection text) plus the codec call; the frame does
// everything else, so the four entry points differ only in those. Four
// variants, by where the output goes:
//   call_codec          the codec's own vector, copied into a new bytes object
//   call_codec_sized    a new bytes object whose size follows from the arguments
//   call_codec_planned  a new bytes object sized by an encoder's plan
//   call_codec_into     the caller's writable buffer (`out`); returns None
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/error.hpp"
#include "core/big_buffer.hpp"
#include "core/quote.hpp"
#include "python/args.hpp"

namespace varnel::python {

using CodecOutput = Result<std::vector<std::uint8_t>>;

// Positions shared by every codec signature `(chunk, shape, dtype, *, …)`.
inline constexpr std::size_t kChunkArg = 0;
inline constexpr std::size_t kShapeArg = 1;
inline constexpr std::size_t kDtypeArg = 2;
// The output buffer of the `…_into(chunk, shape, dtype, out, *, …)` signatures.
inline constexpr std::size_t kOutArg = 3;

template <class Element>
struct CodecSpec {
  FunctionSpec function;
  std::optional<Element> (*element_type)(std::string_view name);
  const char* dtype_rejection;  // message prefix, followed by the quoted dtype name
};

// Copies a codec's output into a new bytes object, or raises ValueError
// with the error's display text.
PyObject* codec_result(CodecOutput&& output);

// A new bytes object holding a copy of `data`. The object is made with the
// lock held; a large copy then runs with the lock released (nobody else can
// see the object yet), and so does the release of `owner`, the storage
// behind `data`: threads that finish their chunks at once copy side by side
// instead of queueing for the lock. A null result is the interpreter's own
// failure (MemoryError), already set.
PyObject* bytes_copy(std::span<const std::uint8_t> data, std::function<void()> release_owner);

// Raises the Python side of a C++ fault caught around a codec run: an
// allocation failure as MemoryError, anything else as SystemError (a defect,
// never to be mistaken for the ValueError of a rejected input).
//
// This is the one place where running out of memory becomes an exception,
// always MemoryError: the codecs never turn it into an Error value
// (core/error.hpp). A chunk refused as ValueError is wrong whatever the
// machine; a MemoryError says the same call may succeed with more memory or
// smaller chunks, and lets the caller fall back (the Python layer retries a
// decode whose output it could not set aside through the growing decode).
// Input that declares more than its bytes can hold is refused by the codecs'
// checks before anything is allocated, so it gets its ValueError instead.
enum class RunFault : std::uint8_t { None, NoMemory, Internal };
PyObject* raise_fault(RunFault fault);

// Runs `f` and records a C++ fault escaping it in `fault`: std::bad_alloc,
// and std::length_error (a container asked for more than it can address),
// as NoMemory; anything else as Internal.
template <class F>
void catching_faults(const F& f, RunFault& fault) {
  try {
    f();
  } catch (const std::bad_alloc&) {
    fault = RunFault::NoMemory;
  } catch (const std::length_error&) {
    fault = RunFault::NoMemory;
  } catch (...) {
    fault = RunFault::Internal;
  }
}

// Runs `job` (plain C++, no Python objects) without the interpreter lock and
// returns its result; a C++ fault escaping it is recorded in `fault`.
template <class Job>
auto released(const Job& job, RunFault& fault) -> std::optional<decltype(job())> {
  std::optional<decltype(job())> result;
  PyThreadState* saved = PyEval_SaveThread();
  catching_faults([&] { result.emplace(job()); }, fault);
  PyEval_RestoreThread(saved);
  return result;
}

// Runs `job` without the lock and turns its output into bytes or an exception.
template <class Job>
PyObject* run_released(const Job& job) {
  RunFault fault = RunFault::None;
  std::optional<CodecOutput> output = released(job, fault);
  if (fault != RunFault::None) return raise_fault(fault);
  return codec_result(std::move(*output));
}

// Binding, conversion and the dtype lookup of every codec call, with the
// lock held. Returns the element type, or nothing with an exception set.
template <class Element>
std::optional<Element> prepare_call(const CodecSpec<Element>& codec, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames, ArgValues& values) {
  BoundArgs bound;
  if (!bind_arguments(codec.function, args, nargs, kwnames, bound)) return std::nullopt;
  if (!convert_arguments(codec.function, bound, values)) return std::nullopt;
  // The dtype is looked up only after every keyword argument has converted,
  // so a bad keyword argument is reported before an unknown dtype.
  const std::string& dtype = values[kDtypeArg].text;
  const std::optional<Element> element = codec.element_type(dtype);
  if (!element) raise_value_error(codec.dtype_rejection + quote_text(dtype));
  return element;
}

// The frame. `run(values, element)` is the codec call.
template <class Element, class Run>
PyObject* call_codec(const CodecSpec<Element>& codec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const Run& run) {
  ArgValues values;
  const std::optional<Element> element = prepare_call(codec, args, nargs, kwnames, values);
  if (!element) return nullptr;
  const ArgValues& in = values;
  return run_released([&] { return run(in, *element); });
}

// The frame for a codec whose output size follows from the arguments alone
// (computed by `size`, with the lock held: arithmetic only). The result's
// bytes object is made first and `run(values, element, out)` fills it with
// the lock released, so the output is written once and never copied. When
// `size` fails or the interpreter cannot make an object that large,
// `run_owned` (the codec's own-buffer path) runs instead: its checks then
// report the failure in their own order, and input it refuses without
// allocating gets its ValueError rather than a MemoryError.
template <class Element, class Size, class Run, class RunOwned>
PyObject* call_codec_sized(const CodecSpec<Element>& codec, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, const Size& size, const Run& run,
                          const RunOwned& run_owned) {
  ArgValues values;
  const std::optional<Element> element = prepare_call(codec, args, nargs, kwnames, values);
  if (!element) return nullptr;
  const ArgValues& in = values;
  const Result<std::uint64_t> bytes = size(in, *element);
  PyObject* result = nullptr;
  if (bytes && *bytes <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*bytes));
    if (result == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  }
  if (result == nullptr) {
    PyErr_Clear();
    return run_released([&] { return run_owned(in, *element); });
  }
  const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result)),
                                    static_cast<std::size_t>(*bytes));
  RunFault fault = RunFault::None;
  const std::optional<Result<void>> status = released([&] { return run(in, *element, out); }, fault);
  if (fault != RunFault::None || !*status) {
    Py_DecRef(result);
    if (fault != RunFault::None) return raise_fault(fault);
    return raise_value_error(status->error().display());
  }
  return result;
}

// The frame for an encoder that sizes its output before coding:
// `plan(values, element)` (with the lock held: checks and arithmetic, no
// coding) gives an object with `exact_size()`, `capacity()` and
// `encode_into(span)`. A known size is coded straight into the result's
// bytes object. Otherwise the stream goes into a buffer of the capacity
// (the thread's kept block when it fits, core/big_buffer.hpp) and
// its used bytes are copied once into the result.
template <class Element, class Plan, class OnEmpty = std::nullptr_t>
PyObject* call_codec_planned(const CodecSpec<Element>& codec, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames, const Plan& plan,
                             const OnEmpty& on_empty = nullptr) {
  ArgValues values;
  const std::optional<Element> element = prepare_call(codec, args, nargs, kwnames, values);
  if (!element) return nullptr;
  const ArgValues& in = values;
  std::optional<decltype(plan(in, *element))> planned;
  RunFault fault = RunFault::None;
  catching_faults([&] { planned.emplace(plan(in, *element)); }, fault);
  if (fault != RunFault::None) return raise_fault(fault);
  if (!*planned) return raise_value_error(planned->error().display());
  const auto& encoder = **planned;
  // An encoder that wrote nothing asks `on_empty(encoder)` for the result,
  // when there is one.
  constexpr bool kRetries = !std::is_null_pointer_v<OnEmpty>;
  if (const std::optional<std::size_t> exact = encoder.exact_size()) {
    if (*exact > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*exact));
    if (result == nullptr) return nullptr;
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result)), *exact);
    const auto status = released([&] { return encoder.encode_into(out); }, fault);
    if (fault != RunFault::None || !*status) {
      Py_DecRef(result);
      if (fault != RunFault::None) return raise_fault(fault);
      return raise_value_error((*status).error().display());
    }
    if constexpr (kRetries) {
      if (**status == 0) {
        Py_DecRef(result);
        return on_empty(encoder);
      }
    }
    return result;
  }
  BigArray<std::uint8_t> scratch;
  const auto written = released(
      [&]() -> Result<std::size_t> {
        scratch = BigArray<std::uint8_t>(encoder.capacity());
        if (scratch.empty()) throw std::bad_alloc();
        return encoder.encode_into({scratch.data(), scratch.size()});
      },
      fault);
  if (fault != RunFault::None) return raise_fault(fault);
  if (!*written) return raise_value_error((*written).error().display());
  if constexpr (kRetries) {
    if (**written == 0) return on_empty(encoder);
  }
  return bytes_copy({scratch.data(), **written}, [&scratch] { scratch = BigArray<std::uint8_t>(); });
}

// Raises ValueError unless `out` holds exactly the `needed` bytes (or, when
// `needed` is an error, with that error's text), or when it shares memory
// with `chunk`; true when it may be written.
bool check_out_buffer(const Result<std::uint64_t>& needed, std::span<const std::uint8_t> chunk,
                      std::span<const std::uint8_t> out);

// The frame for a decode into the caller's writable buffer (`out`, at
// kOutArg): `size` gives the decoded byte count with the lock held, `out`
// must be exactly that long, and `run(values, element, out)` fills it with
// the lock released. Returns None.
template <class Element, class Size, class Run>
PyObject* call_codec_into(const CodecSpec<Element>& codec, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, const Size& size, const Run& run) {
  ArgValues values;
  const std::optional<Element> element = prepare_call(codec, args, nargs, kwnames, values);
  if (!element) return nullptr;
  const ArgValues& in = values;
  const std::span<std::uint8_t> out = in[kOutArg].writable;
  if (!check_out_buffer(size(in, *element), in[kChunkArg].bytes, out)) return nullptr;
  RunFault fault = RunFault::None;
  const std::optional<Result<void>> status = released([&] { return run(in, *element, out); }, fault);
  if (fault != RunFault::None) return raise_fault(fault);
  if (!*status) return raise_value_error(status->error().display());
  return Py_NewRef(Py_None);
}

}  // namespace varnel::python
