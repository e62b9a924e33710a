// varnel._varnel: module initialisation and the function table.
//
// The module is built once per process, for the first interpreter that
// imports it; the same interpreter importing it again gets the same object,
// any other interpreter gets ImportError. It has no state beyond the five
// functions and `__all__`.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/entries.hpp"

namespace varnel::python {
namespace {

constexpr char kVersion[] = "0.2.5";

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1);
}

constexpr char kVersionDoc[] =
    "version()\n--\n\n"
    "Version string reported by `varnel.__version__`.";

constexpr char kModuleDoc[] = "The native module. Registered as `varnel._varnel`.";

PyCFunction as_cfunction(FastCallWithKeywords f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// In registration order, which is also the order of `__all__`.
PyMethodDef kFunctions[] = {
    {"version", version, METH_NOARGS, kVersionDoc},
    {"htj2k_encode", as_cfunction(htj2k_encode), kFastCall, kHtj2kEncodeDoc},
    {"htj2k_decode", as_cfunction(htj2k_decode), kFastCall, kHtj2kDecodeDoc},
    {"varnel_zfp_encode", as_cfunction(varnel_zfp_encode), kFastCall, kZfpEncodeDoc},
    {"varnel_zfp_decode", as_cfunction(varnel_zfp_decode), kFastCall, kZfpDecodeDoc},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_varnel",
    kModuleDoc,
    0,  // no per-module state; 0 (not -1) so a re-import runs PyInit again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that owns the module (-1 until the first import) and the
// module object built for it.
std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;

// Adds `value` (a new reference, or null after a failure) as `name`.
bool add_owned(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* build_module() {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  PyObject* module_name = PyModule_GetNameObject(module);
  bool good = all != nullptr && module_name != nullptr &&
              PyModule_AddObjectRef(module, "__all__", all) == 0;
  for (PyMethodDef& def : kFunctions) {
    if (!good) break;
    good = add_owned(module, def.ml_name, PyCMethod_New(&def, module, module_name, nullptr));
    if (!good) break;
    PyObject* name = PyUnicode_FromString(def.ml_name);
    good = name != nullptr && PyList_Append(all, name) == 0;
    Py_XDECREF(name);
  }
  Py_XDECREF(all);
  Py_XDECREF(module_name);
  if (!good) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace varnel::python

PyMODINIT_FUNC PyInit__varnel(void) {
  using namespace varnel::python;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t owner = -1;
  if (!g_owner.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "varnel._varnel does not support sub-interpreters: it is already "
                    "initialised in another interpreter of this process");
    return nullptr;
  }
  if (g_module == nullptr) g_module = build_module();
  return g_module ? Py_NewRef(g_module) : nullptr;
}
