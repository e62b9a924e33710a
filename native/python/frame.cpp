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

bool check_out_buffer(const Result<std::uint64_t>& needed, std::span<const std::uint8_t> chunk,
                      std::span<const std::uint8_t> out) {
  if (!needed) {
    raise_value_error(needed.error().display());
    return false;
  }
  if (out.size() != *needed) {
    raise_value_error("argument 'out': the buffer holds " + std::to_string(out.size()) +
                      " bytes, the decoded chunk needs " + std::to_string(*needed));
    return false;
  }
  // Compared as addresses: the two buffers may belong to unrelated objects.
  const auto begin = [](std::span<const std::uint8_t> s) { return reinterpret_cast<std::uintptr_t>(s.data()); };
  if (!out.empty() && !chunk.empty() && begin(out) < begin(chunk) + chunk.size() &&
      begin(chunk) < begin(out) + out.size()) {
    raise_value_error("argument 'out': the buffer overlaps the chunk");
    return false;
  }
  return true;
}

}  // namespace varnel::python
