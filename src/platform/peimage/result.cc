#include "result.h"

#include <cstdarg>
#include <cstdio>

namespace peimage {

Error MakeError(ErrorCode code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return Error{code, text, 0};
}

}  // namespace peimage
