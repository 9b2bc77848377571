#include "engine-errors.h"

#include <cstdio>
#include <string>

#include "peimage/error_code.h"

namespace {
DWORD last_engine_code = 0;
std::string last_engine_detail;
}  // namespace

void SetEngineFailure(const peimage::Error& error) {
  if (error.code == peimage::ErrorCode::kIoError && error.system_error != 0) {
    SetLastError(static_cast<DWORD>(error.system_error));
    return;
  }
  last_engine_code = kEngineErrorBase + static_cast<DWORD>(error.code);
  last_engine_detail = error.message;
  SetLastError(last_engine_code);
}

const char* EngineErrorText(DWORD code, char* out, size_t size) {
  const char* text = peimage::DescribeErrorCode(static_cast<int>(code - kEngineErrorBase));
  if (text == nullptr) return nullptr;
  if (code == last_engine_code && !last_engine_detail.empty()) {
    std::snprintf(out, size, "%s (%s)", text, last_engine_detail.c_str());
  } else {
    std::snprintf(out, size, "%s", text);
  }
  return out;
}
