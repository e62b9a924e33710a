// varnel python: the module's functions, as fast-call entry points, with
// their docstrings in the interpreter's text-signature form.
#pragma once

#include <Python.h>

namespace varnel::python {

// Signature of a METH_FASTCALL | METH_KEYWORDS function.
using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* htj2k_encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* htj2k_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* varnel_zfp_encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* varnel_zfp_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

extern const char kHtj2kEncodeDoc[];
extern const char kHtj2kDecodeDoc[];
extern const char kZfpEncodeDoc[];
extern const char kZfpDecodeDoc[];

}  // namespace varnel::python
