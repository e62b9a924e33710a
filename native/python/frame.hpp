// varnel python: the one calling frame of the codec functions.
//
// bind -> convert -> dtype -> release the interpreter lock -> run -> bytes or
// ValueError. A codec function is a `CodecSpec` (its parameter table, its
// dtype name lookup and rejection text) plus the codec call; the frame does
// everything else, so the four entry points differ only in those.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/quote.hpp"
#include "python/args.hpp"

namespace varnel::python {

using CodecOutput = Result<std::vector<std::uint8_t>>;

// Positions shared by every codec signature `(chunk, shape, dtype, *, …)`.
inline constexpr std::size_t kChunkArg = 0;
inline constexpr std::size_t kShapeArg = 1;
inline constexpr std::size_t kDtypeArg = 2;

template <class Element>
struct CodecSpec {
  FunctionSpec function;
  std::optional<Element> (*element_type)(std::string_view name);
  const char* dtype_rejection;  // message prefix, followed by the quoted dtype name
};

// Copies a codec's output into a new bytes object, or raises ValueError
// with the error's display text.
PyObject* codec_result(CodecOutput&& output);

// Raises the Python side of a C++ fault caught around a codec run: an
// allocation failure as MemoryError, anything else as SystemError (a defect,
// never to be mistaken for the ValueError of a rejected input).
enum class RunFault : std::uint8_t { None, NoMemory, Internal };
PyObject* raise_fault(RunFault fault);

// Runs `job` (plain C++, no Python objects) without the interpreter lock.
template <class Job>
PyObject* run_released(const Job& job) {
  std::optional<CodecOutput> output;
  RunFault fault = RunFault::None;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    output.emplace(job());
  } catch (const std::bad_alloc&) {
    fault = RunFault::NoMemory;
  } catch (...) {
    fault = RunFault::Internal;
  }
  PyEval_RestoreThread(saved);
  if (fault != RunFault::None) return raise_fault(fault);
  return codec_result(std::move(*output));
}

// The frame. `run(values, element)` is the codec call.
template <class Element, class Run>
PyObject* call_codec(const CodecSpec<Element>& codec, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const Run& run) {
  BoundArgs bound;
  if (!bind_arguments(codec.function, args, nargs, kwnames, bound)) return nullptr;
  ArgValues values;
  if (!convert_arguments(codec.function, bound, values)) return nullptr;
  // The dtype is looked up only after every keyword argument has converted,
  // so a bad keyword argument is reported before an unknown dtype.
  const std::string& dtype = values[kDtypeArg].text;
  const std::optional<Element> element = codec.element_type(dtype);
  if (!element) return raise_value_error(codec.dtype_rejection + quote_text(dtype));
  const ArgValues& in = values;
  return run_released([&] { return run(in, *element); });
}

}  // namespace varnel::python
