// varnel python: declarative argument binding and conversion.
//
// A codec function is described by a table of `ParamSpec`s: the required
// parameters first (positional or keyword), then the keyword-only ones with
// their defaults. `bind_arguments` matches a fast call (positional array plus
// keyword names) against the table with the interpreter's usual TypeError
// wording, and `convert_arguments` turns every bound object into a plain
// library value, in table order. Both leave a Python exception set and return
// false on failure. Nothing here knows which codec it serves.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::python {

enum class ParamKind : std::uint8_t {
  Chunk,    // bytes (or subclass) -> borrowed read-only view
  Buffer,   // any C-contiguous buffer -> read-only view, held for the call
  OutBuffer,  // writable C-contiguous buffer -> writable view, held for the call
  Shape,    // sequence (not str) of u64 -> owned extents
  Text,     // str -> owned UTF-8 text
  UInt,     // int in 0..=max (through a C long) -> unsigned
  Bool,     // bool or numpy bool scalar -> flag
  OptUInt,  // None or int in 0..=max -> optional unsigned
  OptReal,  // None or anything float() accepts -> optional double
};

struct ParamSpec {
  const char* name;
  ParamKind kind;
  std::uint64_t max = 0;                // UInt / OptUInt: largest accepted value
  std::uint64_t default_uint = 0;       // UInt default
  bool default_bool = false;            // Bool default
  const char* default_text = nullptr;   // Text default (keyword-only Text only)
};

// A function signature `name(p0, …, p[required-1], *, keyword-only…)`.
struct FunctionSpec {
  const char* name;
  std::span<const ParamSpec> params;
  std::size_t required;  // leading positional-or-keyword parameters, all required
};

inline constexpr std::size_t kMaxParams = 10;

// Objects bound to each parameter (borrowed references; null when omitted).
using BoundArgs = std::array<PyObject*, kMaxParams>;

// A buffer exported by an object for the duration of a call; released when
// the holder goes, which the frame ensures happens with the lock held.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // PyObject_GetBuffer with `flags`; false with the exporter's exception set.
  bool acquire(PyObject* o, int flags);
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// One converted argument; only the field of the parameter's kind is filled
// (`bytes` for Chunk and Buffer, `bytes` and `writable` for OutBuffer).
struct ArgValue {
  std::span<const std::uint8_t> bytes;
  std::span<std::uint8_t> writable;
  HeldBuffer buffer;
  std::vector<std::uint64_t> extents;
  std::string text;
  std::optional<std::uint64_t> uint;
  std::optional<double> real;
  bool flag = false;
};

using ArgValues = std::array<ArgValue, kMaxParams>;

bool bind_arguments(const FunctionSpec& fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound);

// Converts every parameter in table order (defaults for omitted ones). A
// TypeError raised while converting becomes "argument '<name>': <message>"
// with the original error as its cause; other errors pass through.
bool convert_arguments(const FunctionSpec& fn, const BoundArgs& bound, ArgValues& values);

// Raises ValueError with `message`; returns null for `return raise_value_error(…)`.
PyObject* raise_value_error(std::string_view message);

}  // namespace varnel::python
