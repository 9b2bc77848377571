#include "engine-errors.h"

void SetEngineFailure(const peimage::Error& error) {
  if (error.code == peimage::ErrorCode::kIoError && error.system_error != 0) {
    SetLastError(static_cast<DWORD>(error.system_error));
    return;
  }
  SetLastErrorWithDetail(kEngineErrorBase + static_cast<DWORD>(error.code), error.message.c_str());
}
