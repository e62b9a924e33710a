#include "python/args.hpp"

#include <algorithm>

namespace varnel::python {
namespace {

// Small owner for a new reference, so every early return releases it.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }

 private:
  PyObject* o_;
};

// "'<type>' object cannot be converted to '<target>'", the wording of a
// failed downcast; the type is shown by its qualified name.
bool downcast_error(PyObject* o, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(o)));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  return false;
}

bool convert_chunk(PyObject* o, ArgValue& out) {
  if (!PyBytes_Check(o)) return downcast_error(o, "PyBytes");
  const char* data = PyBytes_AsString(o);
  const Py_ssize_t size = PyBytes_Size(o);
  if (data == nullptr || size < 0) return false;
  out.bytes = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
  return true;
}

// Any object with the buffer protocol, exported as C-contiguous bytes. The
// element format is not looked at (the codec's own length check decides),
// except that references to Python objects are no elements. An output
// buffer must also be writable.
bool convert_buffer(PyObject* o, const char* name, bool writable, ArgValue& out) {
  if (!out.buffer.acquire(o, PyBUF_STRIDES | PyBUF_FORMAT)) return false;
  const Py_buffer& view = out.buffer.view();
  std::string_view format = view.format != nullptr ? view.format : "B";
  format.remove_prefix(std::min(format.find_first_not_of("@=<>!"), format.size()));
  if (format == "O") {
    PyErr_Format(PyExc_ValueError, "argument '%s': the buffer holds Python objects", name);
    return false;
  }
  if (!PyBuffer_IsContiguous(&view, 'C')) {
    PyErr_Format(PyExc_ValueError, "argument '%s': the buffer is not C-contiguous", name);
    return false;
  }
  if (writable && view.readonly) {
    PyErr_Format(PyExc_ValueError, "argument '%s': the buffer is read-only", name);
    return false;
  }
  auto* data = static_cast<std::uint8_t*>(view.buf);
  const std::size_t size = static_cast<std::size_t>(view.len);
  out.bytes = {data, size};
  if (writable) out.writable = {data, size};
  return true;
}

bool convert_shape(PyObject* o, ArgValue& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) return downcast_error(o, "Sequence");
  // The reported length is only a hint (a sequence may lie or fail here);
  // the extents are whatever iteration yields.
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.extents.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 64)));
  Ref iter(PyObject_GetIter(o));
  if (!iter) return false;
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref item(raw);
    Ref index(PyNumber_Index(item.get()));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.extents.push_back(static_cast<std::uint64_t>(v));
  }
  return !PyErr_Occurred();
}

bool convert_text(PyObject* o, ArgValue& out) {
  if (!PyUnicode_Check(o)) return downcast_error(o, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return false;  // e.g. UnicodeEncodeError for lone surrogates
  out.text.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

// Integers go through a C long (the interpreter's own OverflowError beyond
// it), then must fit 0..=max.
bool convert_uint(PyObject* o, std::uint64_t max, ArgValue& out) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || static_cast<unsigned long>(v) > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out.uint = static_cast<std::uint64_t>(v);
  return true;
}

// NumPy's boolean scalar ("numpy.bool_", named "bool" since NumPy 2) is not
// a subclass of bool; it is recognised by its type's module and name.
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  Ref name(PyType_GetName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)
    return false;
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool convert_bool(PyObject* o, ArgValue& out) {
  if (PyBool_Check(o)) {
    out.flag = (o == Py_True);
    return true;
  }
  if (!is_numpy_bool(o)) return downcast_error(o, "PyBool");
  const int truth = PyObject_IsTrue(o);
  if (truth < 0) return false;
  out.flag = truth != 0;
  return true;
}

bool convert_real(PyObject* o, ArgValue& out) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out.real = v;
  return true;
}

bool convert_one(const ParamSpec& p, PyObject* o, ArgValue& out) {
  switch (p.kind) {
    case ParamKind::Chunk: return convert_chunk(o, out);
    case ParamKind::Buffer: return convert_buffer(o, p.name, false, out);
    case ParamKind::OutBuffer: return convert_buffer(o, p.name, true, out);
    case ParamKind::Shape: return convert_shape(o, out);
    case ParamKind::Text: return convert_text(o, out);
    case ParamKind::UInt: return convert_uint(o, p.max, out);
    case ParamKind::Bool: return convert_bool(o, out);
    case ParamKind::OptUInt: return o == Py_None || convert_uint(o, p.max, out);
    case ParamKind::OptReal: return o == Py_None || convert_real(o, out);
  }
  PyErr_SetString(PyExc_SystemError, "varnel: unknown parameter kind");
  return false;
}

void apply_default(const ParamSpec& p, ArgValue& out) {
  switch (p.kind) {
    case ParamKind::UInt: out.uint = p.default_uint; break;
    case ParamKind::Bool: out.flag = p.default_bool; break;
    case ParamKind::Text: out.text = p.default_text ? p.default_text : ""; break;
    default: break;  // optional values stay empty; required ones are never omitted
  }
}

// Replaces a pending TypeError by "argument '<name>': <message>", chained
// to the original as its cause (as `raise … from original` would).
void prefix_type_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), original(value), trace(tb);
  if (trace) PyException_SetTraceback(original.get(), trace.get());
  Ref text(PyObject_Str(original.get()));
  if (!text) return;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref wrapped(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  PyException_SetContext(wrapped.get(), Py_NewRef(original.get()));
  PyException_SetCause(wrapped.get(), original.release());
  // Restore, not SetObject: the latter would re-chain the context to
  // whatever exception the caller happens to be handling.
  PyErr_Restore(Py_NewRef(PyExc_TypeError), wrapped.release(), nullptr);
}

}  // namespace

bool HeldBuffer::acquire(PyObject* o, int flags) {
  if (PyObject_GetBuffer(o, &view_, flags) != 0) return false;
  held_ = true;
  return true;
}

bool bind_arguments(const FunctionSpec& fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound) {
  bound.fill(nullptr);
  const std::size_t nparams = fn.params.size();
  if (nargs > static_cast<Py_ssize_t>(fn.required)) {
    // The wording of the interpreter's own keyword parser: every positional
    // parameter is required, so the count is exact.
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zu positional argument%s (%zd given)",
                 fn.name, fn.required, fn.required == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) return false;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    std::size_t j = 0;
    while (j < nparams && PyUnicode_CompareWithASCIIString(key, fn.params[j].name) != 0) ++j;
    if (j == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
      return false;
    }
    if (static_cast<Py_ssize_t>(j) < nargs) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                   fn.name, fn.params[j].name, j + 1);
      return false;
    }
    bound[j] = args[nargs + k];
  }
  for (std::size_t j = 0; j < fn.required; ++j) {
    if (bound[j] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn.name,
                   fn.params[j].name, j + 1);
      return false;
    }
  }
  return true;
}

bool convert_arguments(const FunctionSpec& fn, const BoundArgs& bound, ArgValues& values) {
  for (std::size_t j = 0; j < fn.params.size(); ++j) {
    const ParamSpec& p = fn.params[j];
    if (bound[j] == nullptr) {
      apply_default(p, values[j]);
      continue;
    }
    if (!convert_one(p, bound[j], values[j])) {
      prefix_type_error(p.name);
      return false;
    }
  }
  return true;
}

PyObject* raise_value_error(std::string_view message) {
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

}  // namespace varnel::python
