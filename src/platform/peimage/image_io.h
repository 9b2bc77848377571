#ifndef DORVANE_PEIMAGE_IMAGE_IO_H
#define DORVANE_PEIMAGE_IMAGE_IO_H

#include <cstddef>
#include <cstdint>

#include "result.h"

namespace peimage {

/// Positioned access to the bytes of one image file. The engine reads and
/// writes images only through this interface, so it can work on a file, on
/// memory, or on a test double that fails on demand.
class ImageIo {
 public:
  virtual ~ImageIo() = default;

  /// Length of the file in bytes.
  virtual uint64_t Size() const = 0;

  /// Reads exactly `length` bytes at `offset` into `out`. Fails with kIoError
  /// when the range is not inside the file or the read fails or comes up short.
  virtual Status Read(uint64_t offset, uint8_t* out, size_t length) = 0;

  /// Writes exactly `length` bytes at `offset` inside the file, never growing
  /// it. Fails with kIoError when the range is not inside the file or the
  /// write fails or comes up short.
  virtual Status Write(uint64_t offset, const uint8_t* in, size_t length) = 0;
};

}  // namespace peimage

#endif
