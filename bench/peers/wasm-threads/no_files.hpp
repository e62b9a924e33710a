// Stand-ins for the file types Debian's libc++ for wasm32-wasi leaves out
// (it is built without a filesystem), for peers built as WebAssembly by
// bench/peers/*_wasm.sh. The benchmark hands peers memory buffers only: an
// output file never opens, and asking a file's size traps.
#pragma once

#include <cstdint>
#include <ios>
#include <string>

#if defined(_LIBCPP_HAS_NO_FILESYSTEM)
_LIBCPP_BEGIN_NAMESPACE_STD  // where <iosfwd> declares basic_ofstream

template <class C, class T>
class basic_ofstream {  // the default T comes from <iosfwd>
 public:
  basic_ofstream() = default;
  template <class P>
  explicit basic_ofstream(const P&, ios_base::openmode = ios_base::out) {}
  template <class P>
  void open(const P&, ios_base::openmode = ios_base::out) {}
  bool is_open() const { return false; }
  explicit operator bool() const { return false; }
  bool operator!() const { return true; }
  bool good() const { return false; }
  void setstate(ios_base::iostate) {}
  basic_ofstream& put(C) { return *this; }
  basic_ofstream& write(const C*, streamsize) { return *this; }
  template <class V>
  basic_ofstream& operator<<(const V&) { return *this; }
  void close() {}
};

namespace filesystem {
template <class P>
uintmax_t file_size(const P&) { __builtin_trap(); }
}  // namespace filesystem

_LIBCPP_END_NAMESPACE_STD
#endif
