#ifndef DORVANE_PEIMAGE_BUFFERED_READER_H
#define DORVANE_PEIMAGE_BUFFERED_READER_H

#include <cstdint>
#include <memory>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// Reads a file range front to back through a fixed-size buffer, so that a
/// table of any length is walked in bounded memory with few system calls.
class BufferedReader {
 public:
  /// Reads [offset, offset + length) of `io`; the caller has checked that the
  /// range lies inside the file.
  BufferedReader(ImageIo& io, uint64_t offset, uint64_t length, size_t buffer_size = 128 * 1024);

  /// Bytes not yet consumed.
  uint64_t remaining() const { return length_ - position_; }
  /// Bytes consumed so far.
  uint64_t position() const { return position_; }
  /// The most that one Take may ask for.
  size_t capacity() const { return capacity_; }

  /// Consumes the next `length` bytes (at most capacity() and remaining())
  /// and points `bytes` at them; valid until the next call.
  /// Errors: kIoError when refilling the buffer fails.
  Status Take(size_t length, const uint8_t*& bytes);

 private:
  ImageIo& io_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t position_ = 0;
  size_t capacity_;
  std::unique_ptr<uint8_t[]> buffer_;  // not cleared: every byte is read before use
  uint64_t buffer_start_ = 0;  // position of buffer_[0]
  size_t buffer_fill_ = 0;
};

}  // namespace peimage

#endif
