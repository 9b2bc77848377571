#ifndef DORVANE_PEIMAGE_FILE_WINDOW_H
#define DORVANE_PEIMAGE_FILE_WINDOW_H

#include <cstdint>

#include "image_io.h"
#include "result.h"
#include "reused_buffer.h"

namespace peimage {

/// A contiguous range [begin, end) of a file held in one buffer of fixed
/// capacity, for a pass that works through the file front to back: it is
/// read, changed in memory, then written and dropped from the front. The
/// buffer is not cleared: every byte is read before use.
class FileWindow {
 public:
  /// A window over `io` of at most `capacity` bytes, and no more than the
  /// file holds.
  FileWindow(ImageIo& io, uint64_t capacity);

  bool empty() const { return begin_ == end_; }
  uint64_t begin() const { return begin_; }
  uint64_t end() const { return end_; }
  uint64_t capacity() const { return capacity_; }

  /// Holds [first, last) of the file, read afresh, in place of what was
  /// held. The range is inside the file and at most capacity() long.
  /// Errors: kIoError, the window then empty.
  Status Start(uint64_t first, uint64_t last);

  /// Reads [end(), last) on to the held bytes; `last` - begin() is at most
  /// capacity(). Errors: kIoError.
  Status ExtendTo(uint64_t last);

  /// The held byte at file offset `offset`, which must be present.
  uint8_t* At(uint64_t offset) { return buffer_.get() + (offset - begin_); }

  /// Writes the held bytes [from, to). Errors: kIoError.
  Status Write(uint64_t from, uint64_t to) const;

  /// Drops the held bytes before `offset`, keeping [offset, end()).
  void DropBefore(uint64_t offset);

  /// Drops every held byte, so the buffer can serve as scratch space.
  void Clear() { begin_ = end_ = 0; }
  uint8_t* scratch() { return buffer_.get(); }

 private:
  ImageIo& io_;
  uint64_t capacity_;
  ReusedBuffer buffer_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

}  // namespace peimage

#endif
