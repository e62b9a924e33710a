#include "python/frame.hpp"

#include <cstring>

namespace varnel::python {

PyObject* codec_result(CodecOutput&& output) {
  if (!output) return raise_value_error(output.error().display());
  std::vector<std::uint8_t> bytes = std::move(*output);
  return bytes_copy(bytes, [&bytes] { std::vector<std::uint8_t>().swap(bytes); });
}

PyObject* bytes_copy(std::span<const std::uint8_t> data, std::function<void()> release_owner) {
  // Below this, taking the lock again costs more than the copy.
  constexpr std::size_t kReleasedCopy = std::size_t{1} << 18;
  if (data.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size()));
  if (result == nullptr) return nullptr;
  char* to = PyBytes_AsString(result);
  if (data.size() < kReleasedCopy) {
    if (!data.empty()) std::memcpy(to, data.data(), data.size());
    return result;
  }
  PyThreadState* saved = PyEval_SaveThread();
  std::memcpy(to, data.data(), data.size());
  release_owner();
  PyEval_RestoreThread(saved);
  return result;
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
