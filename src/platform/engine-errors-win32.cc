// Windows reports the image engine's failures as the system's own error
// codes, so that FormatMessageW has a text for each of them.

#include "engine-errors.h"

#include "peimage/error_code.h"

namespace {

DWORD Win32Code(peimage::ErrorCode code) {
  using peimage::ErrorCode;
  switch (code) {
    case ErrorCode::kNotPeImage:
    case ErrorCode::kTruncatedHeaders:
    case ErrorCode::kInconsistentHeaders:
    case ErrorCode::kBadSectionTable:
    case ErrorCode::kBadRelocationTable:
    case ErrorCode::kRelocationOutOfRange:
    case ErrorCode::kUnsupportedRelocation:
      return ERROR_BAD_EXE_FORMAT;
    case ErrorCode::kRelocationsStripped:
      return ERROR_INVALID_ADDRESS;
    case ErrorCode::kBadRequestedBase:
    case ErrorCode::kBaseOutOfRange:
      return ERROR_INVALID_PARAMETER;
    case ErrorCode::kSystemImage:
      return ERROR_ACCESS_DENIED;
    case ErrorCode::kSignedImage:
      return ERROR_EXE_CANNOT_MODIFY_SIGNED_BINARY;
    case ErrorCode::kImageTooLarge:
      return ERROR_FILE_TOO_LARGE;
    case ErrorCode::kPartiallyWritten:
      return ERROR_FILE_CORRUPT;
    case ErrorCode::kIoError:
      break;
  }
  return ERROR_READ_FAULT;
}

}  // namespace

void SetEngineFailure(const peimage::Error& error) {
  if (error.code == peimage::ErrorCode::kIoError && error.system_error != 0) {
    SetLastError(static_cast<DWORD>(error.system_error));
    return;
  }
  SetLastError(Win32Code(error.code));
}
