#include "python/frame.hpp"

namespace varnel::python {

PyObject* codec_result(CodecOutput&& output) {
  if (!output) return raise_value_error(output.error().display());
  const std::vector<std::uint8_t> bytes = std::move(*output);
  // A null result here is the interpreter's own failure (MemoryError), already set.
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* raise_fault(RunFault fault) {
  if (fault == RunFault::NoMemory) return PyErr_NoMemory();
  PyErr_SetString(PyExc_SystemError, "varnel: internal error in a codec run");
  return nullptr;
}

}  // namespace varnel::python
