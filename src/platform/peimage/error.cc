#include "error.h"

#include <cstdarg>
#include <cstdio>

namespace peimage {

const char* DescribeErrorCode(int code) {
  static const char* const kTexts[] = {
      nullptr,
      "The image file could not be read or written.",
      "The file is not a PE image.",
      "The image headers are truncated.",
      "The image headers are inconsistent.",
      "The image section table is invalid.",
      "The image has no relocations and cannot be moved.",
      "The image relocation table is malformed.",
      "A relocation of the image points outside its file data.",
      "The image uses a relocation type that cannot be applied.",
      "The requested base address is invalid for this image.",
      "The image is a system file and may not be rebased.",
      "The image is signed; rebasing it would invalidate its signature.",
      "The rebased image would exceed the permitted size.",
      "The image base does not fit in 32 bits.",
      "A read or write failed and the image could not be restored: it may be partly rebased.",
  };
  if (code < 1 || code > kLastErrorCode) return nullptr;
  return kTexts[code];
}

Error MakeError(ErrorCode code, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return Error{code, text, 0};
}

}  // namespace peimage
