#include "core/error.hpp"

#include <new>

namespace varnel {

std::string Error::display() const {
  switch (kind) {
    case ErrorKind::InvalidArgument:
      return "invalid argument: " + message;
    case ErrorKind::Malformed:
      return "malformed codestream at byte " + std::to_string(offset) + ": " + message;
    case ErrorKind::Unsupported:
      return "unsupported: " + message;
  }
  return message;
}

#if defined(__wasi__)  // built without exceptions: the WebAssembly caller sees a trap
void throw_no_memory() { __builtin_trap(); }
#else
void throw_no_memory() { throw std::bad_alloc(); }
#endif

}  // namespace varnel
