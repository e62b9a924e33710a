// varnel core: the one error type of the library and the Result alias.
//
// Every fallible operation returns `Result<T>`: either its value or an
// `Error`. Nothing is thrown across modules and nothing is printed; only the
// Python frame turns an `Error` into an exception (its `display()` text).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace varnel {

enum class ErrorKind { InvalidArgument, Malformed, Unsupported };

struct Error {
  ErrorKind kind = ErrorKind::InvalidArgument;
  std::string message;
  std::uint64_t offset = 0;  // byte offset; meaningful for Malformed only

  static Error invalid(std::string message) {
    return {ErrorKind::InvalidArgument, std::move(message), 0};
  }
  static Error malformed(std::uint64_t offset, std::string message) {
    return {ErrorKind::Malformed, std::move(message), offset};
  }
  static Error unsupported(std::string message) {
    return {ErrorKind::Unsupported, std::move(message), 0};
  }

  // "invalid argument: …", "malformed codestream at byte N: …", "unsupported: …"
  std::string display() const;

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// A `Result<void>` success value, for readability: `return ok();`
inline Result<void> ok() { return {}; }

}  // namespace varnel
