#ifndef DORVANE_PEIMAGE_IMAGE_IO_H
#define DORVANE_PEIMAGE_IMAGE_IO_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "error.h"

namespace peimage {

/// Positioned access to the bytes of one image file. The engine reads and
/// writes images only through this interface: the platform implements it
/// over a file, the tests over memory.
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

/// The large buffers of a rebase, owned by the caller and lent to one rebase
/// at a time. A caller that keeps one for a whole run allocates and faults
/// them in once, not once an image. Their bytes are never cleared.
class Workspace {
 public:
  /// The window of the sweep through the file: at least `size` bytes.
  uint8_t* Window(size_t size) { return window_.Get(size); }
  /// The relocation table's buffer: at least `size` bytes.
  uint8_t* Table(size_t size) { return table_.Get(size); }

 private:
  struct Buffer {
    uint8_t* Get(size_t size) {
      if (capacity < size) {
        bytes.reset(new uint8_t[size]);
        capacity = size;
      }
      return bytes.get();
    }
    std::unique_ptr<uint8_t[]> bytes;
    size_t capacity = 0;
  };
  Buffer window_;
  Buffer table_;
};

}  // namespace peimage

#endif
