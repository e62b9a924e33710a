// varnel._varnel: module initialisation and the function table.
//
// It has no state beyond the five functions and `__all__`; module_init.hpp
// states how it is built and which interpreter may import it.
#include <Python.h>

#include "python/entries.hpp"
#include "python/module_init.hpp"

namespace varnel::python {
namespace {

#ifndef VARNEL_VERSION
#error "VARNEL_VERSION (pyproject.toml's version) is passed in by the build"
#endif
constexpr char kVersion[] = VARNEL_VERSION;

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromStringAndSize(kVersion, sizeof(kVersion) - 1);
}

constexpr char kVersionDoc[] =
    "version()\n--\n\n"
    "Version string reported by `varnel.__version__`.";

constexpr char kModuleDoc[] = "The native module. Registered as `varnel._varnel`.";

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

ModuleSlot g_slot{&kModule, kFunctions, "varnel._varnel"};

}  // namespace
}  // namespace varnel::python

PyMODINIT_FUNC PyInit__varnel(void) { return varnel::python::init_module(varnel::python::g_slot); }
