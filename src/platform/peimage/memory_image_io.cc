#include "memory_image_io.h"

#include <cstring>

#include "byte_view.h"

namespace peimage {

namespace {
Error OutOfFile(const char* what, uint64_t offset, size_t length, uint64_t size) {
  return MakeError(ErrorCode::kIoError, "%s of %zu bytes at offset 0x%llX is outside the %llu-byte image",
                   what, length, static_cast<unsigned long long>(offset),
                   static_cast<unsigned long long>(size));
}
}  // namespace

Status MemoryImageIo::Read(uint64_t offset, uint8_t* out, size_t length) {
  if (!RangeInside(offset, length, bytes_.size())) return OutOfFile("read", offset, length, bytes_.size());
  if (length != 0) std::memcpy(out, bytes_.data() + offset, length);
  return {};
}

Status MemoryImageIo::Write(uint64_t offset, const uint8_t* in, size_t length) {
  if (!RangeInside(offset, length, bytes_.size())) return OutOfFile("write", offset, length, bytes_.size());
  if (length != 0) std::memcpy(bytes_.data() + offset, in, length);
  return {};
}

}  // namespace peimage
