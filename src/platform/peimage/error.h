// The engine's errors: stable codes, messages that name the field and its
// value, and the Status and Result that carry them.

#ifndef DORVANE_PEIMAGE_ERROR_H
#define DORVANE_PEIMAGE_ERROR_H

#include <optional>
#include <string>
#include <utility>

#if defined(__MINGW32__)
#define PEIMAGE_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define PEIMAGE_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define PEIMAGE_PRINTF_FORMAT(f, a)
#endif

namespace peimage {

/// Every way the engine can refuse or fail. The values are stable: they are
/// reported to callers as numbers.
enum class ErrorCode {
  kIoError = 1,           // reading or writing the file failed
  kNotPeImage,            // no "MZ" or no "PE\0\0" signature
  kTruncatedHeaders,      // a header or the section table runs past the file
  kInconsistentHeaders,   // header fields contradict each other
  kBadSectionTable,       // sections overlap, run past the file or the image
  kRelocationsStripped,   // no relocations where addresses are held, and the base would change
  kBadRelocationTable,    // malformed relocation directory or block
  kRelocationOutOfRange,  // a relocation target has no file bytes behind it
  kUnsupportedRelocation, // a relocation type the engine does not apply
  kBadRequestedBase,      // zero, not 64 KiB aligned, or past 4 GiB for PE32
  kSystemImage,           // IMAGE_FILE_SYSTEM and system files are not allowed
  kSignedImage,           // the certificate table is not empty
  kImageTooLarge,         // the new size exceeds the caller's limit
  kBaseOutOfRange,        // the image base does not fit the caller's 32-bit output
  kPartiallyWritten,      // a write failed and the original bytes could not be restored
};

/// Number of the last ErrorCode, for tables indexed by code.
constexpr int kLastErrorCode = static_cast<int>(ErrorCode::kPartiallyWritten);

/// A one-line English description of `code`, or nullptr for an unknown value.
const char* DescribeErrorCode(int code);

/// Why an operation failed: a stable code and a message that names the field
/// and its value.
struct Error {
  ErrorCode code = ErrorCode::kIoError;
  std::string message;
  /// For kIoError: the system's error number; 0 otherwise.
  int system_error = 0;
};

/// An Error with a printf-style message of at most 511 bytes.
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
