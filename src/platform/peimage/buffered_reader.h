#ifndef DORVANE_PEIMAGE_BUFFERED_READER_H
#define DORVANE_PEIMAGE_BUFFERED_READER_H

#include <cstdint>
#include <vector>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// Reads a file range front to back through a fixed-size buffer, so that a
/// table of any length is walked in bounded memory with few system calls.
class BufferedReader {
 public:
  /// Reads [offset, offset + length) of `io`; the caller has checked that the
  /// range lies inside the file.
  BufferedReader(ImageIo& io, uint64_t offset, uint64_t length, size_t buffer_size = 64 * 1024);

  /// Bytes not yet consumed.
  uint64_t remaining() const { return length_ - position_; }
  /// Bytes consumed so far.
  uint64_t position() const { return position_; }

  /// Consumes a little-endian u16 or u32. The caller checks remaining() first.
  /// Errors: kIoError when refilling the buffer fails.
  Status ReadU16(uint16_t& value);
  Status ReadU32(uint32_t& value);

 private:
  Status Fill(size_t needed);
  uint64_t Load(size_t index) const;

  ImageIo& io_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t position_ = 0;
  std::vector<uint8_t> buffer_;
  uint64_t buffer_start_ = 0;  // position of buffer_[0]
  size_t buffer_fill_ = 0;
};

}  // namespace peimage

#endif
