// varnel python: what the package's extension modules share at import: the
// function table turned into functions and `__all__`, and the rule that a
// module is built once per process, for the first interpreter importing it
// (the same interpreter importing it again gets the same object, any other
// interpreter gets ImportError).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "python/entries.hpp"

namespace varnel::python {

inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

inline PyCFunction as_cfunction(FastCallWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// One extension module: its definition (no per-module state), its
// functions in registration order, which is also the order of `__all__`,
// and, once imported, the interpreter that owns it and the module object.
struct ModuleSlot {
  PyModuleDef* definition;
  std::span<PyMethodDef> functions;
  const char* qualified_name;  // "varnel._…", for the ImportError
  std::atomic<std::int64_t> owner{-1};
  PyObject* module = nullptr;
};

// The body of a PyInit_ function: a new reference to the module, or null
// with an exception set.
PyObject* init_module(ModuleSlot& slot);

}  // namespace varnel::python
