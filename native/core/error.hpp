// varnel core: the one error type of the library, the Result alias, the
// error constructors and the two forwarding macros.
//
// Every fallible operation returns `Result<T>`: either its value or an
// `Error`. Nothing is thrown across modules and nothing is printed; only the
// Python frame turns an `Error` into an exception (its `display()` text).
// A call whose error is only passed on says so in one line:
//
//   VARNEL_ASSIGN_OR_RETURN(const Siz siz, Siz::parse(payload, at));  // value, or return its error
//   VARNEL_TRY(check_image(width, height, depth, params));            // return its error, if any
//   if (payload.size() < 36) return std::unexpected(malformed(at, "SIZ too short"));
//
// Running out of memory is the one failure that is not an `Error`: the
// standard containers throw std::bad_alloc, code that gets null from a C
// library calls `throw_no_memory()`, and the Python calling frame
// (python/frame.hpp) alone turns it into MemoryError.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace varnel {

enum class ErrorKind { InvalidArgument, Malformed, Unsupported };

struct Error {
  ErrorKind kind = ErrorKind::InvalidArgument;
  std::string message;
  std::uint64_t offset = 0;  // byte offset; meaningful for Malformed only

  // "invalid argument: …", "malformed codestream at byte N: …", "unsupported: …"
  std::string display() const;

  bool operator==(const Error&) const = default;
};

// The constructors: a bad argument, bytes that break the format at byte
// `at`, and a valid input this library does not code.
inline Error invalid(std::string message) {
  return {ErrorKind::InvalidArgument, std::move(message), 0};
}
inline Error malformed(std::uint64_t at, std::string message) {
  return {ErrorKind::Malformed, std::move(message), at};
}
inline Error unsupported(std::string message) {
  return {ErrorKind::Unsupported, std::move(message), 0};
}

template <class T>
using Result = std::expected<T, Error>;

// A `Result<void>` success value, for readability: `return ok();`
inline Result<void> ok() { return {}; }

// Out of memory where a C library returns null instead of throwing.
[[noreturn]] void throw_no_memory();

}  // namespace varnel

#define VARNEL_CONCAT_INNER(a, b) a##b
#define VARNEL_CONCAT(a, b) VARNEL_CONCAT_INNER(a, b)

// Returns the error of a `Result` expression from the enclosing function.
#define VARNEL_TRY(...)                                                  \
  do {                                                                   \
    if (auto varnel_try_ = (__VA_ARGS__); !varnel_try_)                  \
      return std::unexpected(std::move(varnel_try_.error()));            \
  } while (false)

// Declares `decl` from the value of a `Result` expression, or returns its
// error from the enclosing function.
#define VARNEL_ASSIGN_OR_RETURN(decl, ...) \
  VARNEL_ASSIGN_OR_RETURN_IMPL(VARNEL_CONCAT(varnel_result_, __LINE__), decl, __VA_ARGS__)
#define VARNEL_ASSIGN_OR_RETURN_IMPL(result, decl, ...)                   \
  auto result = (__VA_ARGS__);                                           \
  if (!result) return std::unexpected(std::move(result.error()));        \
  decl = std::move(*result)
