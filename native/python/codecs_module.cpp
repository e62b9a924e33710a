// varnel._codecs: module initialisation and the function table of the codec
// classes' entry points (codecs_entries.hpp). No state beyond the functions
// and `__all__`; module_init.hpp states how it is built.
#include <Python.h>

#include "python/codecs_entries.hpp"
#include "python/module_init.hpp"

namespace varnel::python::codecs {
namespace {

constexpr char kModuleDoc[] =
    "Buffer-based codec entry points of the package's codec classes. Registered as "
    "`varnel._codecs`.\n\nBuffers are read and written in place with the interpreter lock "
    "released: other threads must not change them while a call runs.";

// In registration order, which is also the order of `__all__`.
PyMethodDef kFunctions[] = {
    {"htj2k_encode", as_cfunction(htj2k_encode), kFastCall, kHtj2kEncodeDoc},
    {"htj2k_decode_into", as_cfunction(htj2k_decode_into), kFastCall, kHtj2kDecodeIntoDoc},
    {"htj2k_decode_reduced", as_cfunction(htj2k_decode_reduced), kFastCall,
     kHtj2kDecodeReducedDoc},
    {"zfp_encode", as_cfunction(zfp_encode), kFastCall, kZfpEncodeDoc},
    {"zfp_decode_into", as_cfunction(zfp_decode_into), kFastCall, kZfpDecodeIntoDoc},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_codecs",
    kModuleDoc,
    0,  // no per-module state; 0 (not -1) so a re-import runs PyInit again
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

ModuleSlot g_slot{&kModule, kFunctions, "varnel._codecs"};

}  // namespace
}  // namespace varnel::python::codecs

PyMODINIT_FUNC PyInit__codecs(void) {
  return varnel::python::init_module(varnel::python::codecs::g_slot);
}
