#include "prefetch_io.h"

#include <algorithm>
#include <cstring>

#include "byte_view.h"

namespace peimage {

Status PrefetchIo::Prefetch(uint64_t offset, uint64_t length) {
  range_ = Range{};
  if (offset >= io_.Size()) return {};
  length = std::min(length, io_.Size() - offset);
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(length)]);
  if (Status read = io_.Read(offset, bytes.get(), static_cast<size_t>(length)); !read.ok()) return read;
  range_ = Range{offset, length, std::move(bytes)};
  return {};
}

Status PrefetchIo::Read(uint64_t offset, uint8_t* out, size_t length) {
  if (length == 0) return io_.Read(offset, out, length);  // nothing to copy, only the range to check
  if (range_.length != 0 && offset >= range_.offset && RangeInside(offset - range_.offset, length, range_.length)) {
    std::memcpy(out, range_.bytes.get() + (offset - range_.offset), length);
    return {};
  }
  return io_.Read(offset, out, length);
}

Status PrefetchIo::Write(uint64_t offset, const uint8_t* in, size_t length) {
  Status write = io_.Write(offset, in, length);
  uint64_t first = std::max(offset, range_.offset);
  uint64_t last = std::min(offset + length, range_.offset + range_.length);  // in the file when it was written
  if (range_.length == 0 || first >= last) return write;
  if (write.ok()) {
    std::memcpy(range_.bytes.get() + (first - range_.offset), in + (first - offset), static_cast<size_t>(last - first));
  } else {
    range_ = Range{};  // part of the write may have reached the file: read it from there
  }
  return write;
}

}  // namespace peimage
