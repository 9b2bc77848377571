#ifndef DORVANE_PEIMAGE_FILE_WINDOW_H
#define DORVANE_PEIMAGE_FILE_WINDOW_H

#include <cstdint>
#include <memory>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// A contiguous range [begin, end) of a file held in one buffer of fixed
/// capacity, for a pass that visits ranges of the file front to back: ranges
/// close to each other are read and later written with one call each. The
/// buffer is not cleared: every byte is read before use.
class FileWindow {
 public:
  /// A window over `io` of at most `capacity` bytes, no larger than the
  /// file, joining ranges that start at most `join_gap` bytes after the held
  /// ones.
  FileWindow(ImageIo& io, uint64_t capacity, uint64_t join_gap);

  bool empty() const { return begin_ == end_; }
  uint64_t begin() const { return begin_; }
  uint64_t end() const { return end_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t join_gap() const { return join_gap_; }

  /// Makes [first, last) present. The range lies inside the file, is at most
  /// capacity() long, and ends inside the held bytes or starts at or after
  /// end(). It joins the held bytes (reading the gap too) when it starts
  /// within join_gap() of end() and fits; otherwise `release()` is called for
  /// the held bytes, then `before_start()` with the window empty, and the
  /// range is read afresh. Errors: kIoError, and those of the callbacks.
  template <typename Release, typename BeforeStart>
  Status Cover(uint64_t first, uint64_t last, Release&& release, BeforeStart&& before_start);

  /// Holds [first, last) read afresh, dropping what was held. Errors: kIoError.
  Status Start(uint64_t first, uint64_t last);

  /// The held byte at file offset `offset`, which must be present.
  uint8_t* At(uint64_t offset) { return buffer_.get() + (offset - begin_); }

  /// Writes the held bytes from `from` (at least begin()) to end().
  /// Errors: kIoError.
  Status WriteFrom(uint64_t from) const;

  /// Drops the held bytes, so the buffer can serve as scratch space.
  void Clear() { begin_ = end_ = 0; }
  uint8_t* scratch() { return buffer_.get(); }

 private:
  ImageIo& io_;
  uint64_t capacity_;
  uint64_t join_gap_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

template <typename Release, typename BeforeStart>
Status FileWindow::Cover(uint64_t first, uint64_t last, Release&& release, BeforeStart&& before_start) {
  if (!empty() && last <= end_) return {};
  if (!empty() && first - end_ <= join_gap_ && last - begin_ <= capacity_) {
    Status read = io_.Read(end_, At(end_), static_cast<size_t>(last - end_));
    if (read.ok()) end_ = last;
    return read;
  }
  if (!empty()) {
    if (Status s = release(); !s.ok()) return s;
  }
  Clear();
  if (Status s = before_start(); !s.ok()) return s;
  return Start(first, last);
}

}  // namespace peimage

#endif
