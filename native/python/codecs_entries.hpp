// varnel python: the functions of varnel._codecs, the entry points of the
// package's codec classes. Beside the functions of varnel._varnel they take
// the chunk as any C-contiguous buffer (bytes, bytearray, memoryview, numpy
// arrays: no copy is made), decode into a caller's writable buffer, and
// decode htj2k chunks at a reduced resolution. The buffers are held (their
// exports keep them from being resized or freed) but not copied: the
// interpreter lock is released while the codec reads and writes them, so
// other threads must not change their contents during a call.
#pragma once

#include <Python.h>

namespace varnel::python::codecs {

PyObject* htj2k_encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* htj2k_decode_into(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* htj2k_decode_reduced(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* zfp_encode(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* zfp_decode_into(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

extern const char kHtj2kEncodeDoc[];
extern const char kHtj2kDecodeIntoDoc[];
extern const char kHtj2kDecodeReducedDoc[];
extern const char kZfpEncodeDoc[];
extern const char kZfpDecodeIntoDoc[];

}  // namespace varnel::python::codecs
