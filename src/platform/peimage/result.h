#ifndef DORVANE_PEIMAGE_RESULT_H
#define DORVANE_PEIMAGE_RESULT_H

#include <optional>
#include <string>
#include <utility>

#include "error_code.h"

#if defined(__MINGW32__)
#define PEIMAGE_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define PEIMAGE_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define PEIMAGE_PRINTF_FORMAT(f, a)
#endif

namespace peimage {

/// Why an operation failed: a stable code and a message that names the field
/// and its value.
struct Error {
  ErrorCode code = ErrorCode::kIoError;
  std::string message;
  /// For kIoError: the system's error number; 0 otherwise.
  int system_error = 0;
};

/// Builds an Error with a printf-style message.
Error MakeError(ErrorCode code, const char* format, ...) PEIMAGE_PRINTF_FORMAT(2, 3);

/// Success, or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  bool ok() const { return !error_.has_value(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

/// A value of type T, or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  bool ok() const { return value_.has_value(); }
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const Error& error() const { return *error_; }

 private:
  std::optional<T> value_;
  std::optional<Error> error_;
};

}  // namespace peimage

#endif
