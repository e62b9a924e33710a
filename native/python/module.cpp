// Placeholder module body; replaced by the module frame.
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "_varnel", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__varnel(void) { return PyModule_Create(&def); }
