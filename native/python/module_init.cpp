#include "python/module_init.hpp"

namespace varnel::python {
namespace {

// Adds `value` (a new reference, or null after a failure) as `name`.
bool add_owned(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* build_module(ModuleSlot& slot) {
  PyObject* module = PyModule_Create(slot.definition);
  if (module == nullptr) return nullptr;
  PyObject* all = PyList_New(0);
  PyObject* module_name = PyModule_GetNameObject(module);
  bool good = all != nullptr && module_name != nullptr &&
              PyModule_AddObjectRef(module, "__all__", all) == 0;
  for (PyMethodDef& def : slot.functions) {
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

PyObject* init_module(ModuleSlot& slot) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t owner = -1;
  if (!slot.owner.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it is already initialised in another "
                 "interpreter of this process",
                 slot.qualified_name);
    return nullptr;
  }
  if (slot.module == nullptr) slot.module = build_module(slot);
  return slot.module ? Py_NewRef(slot.module) : nullptr;
}

}  // namespace varnel::python
