#ifndef DORVANE_PEIMAGE_WINDOW_H
#define DORVANE_PEIMAGE_WINDOW_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "image_io.h"

namespace peimage {

/// A range [begin, end) of the file held in the workspace's window buffer:
/// read, changed in memory, then written and dropped from the front. While
/// it holds nothing, the buffer carries unchanged bytes past (Stream).
class Window {
 public:
  static constexpr uint64_t kCapacity = 256 * 1024;

  Window(ImageIo& io, Workspace& workspace)
      : io_(io),
        capacity_(std::max<uint64_t>(1, std::min(kCapacity, io.Size()))),
        buffer_(workspace.Window(static_cast<size_t>(capacity_))) {}

  bool empty() const { return begin_ == end_; }
  uint64_t begin() const { return begin_; }
  uint64_t end() const { return end_; }
  uint64_t capacity() const { return capacity_; }

  /// Holds [first, last) of the file, at most capacity() long, in place of
  /// what was held. Errors: kIoError, the window then empty.
  Status Start(uint64_t first, uint64_t last) {
    Clear();
    if (Status read = io_.Read(first, buffer_, static_cast<size_t>(last - first)); !read.ok()) return read;
    base_ = begin_ = first;
    end_ = last;
    return {};
  }
  /// Reads [end(), last) on to the held bytes; `last` is at most capacity()
  /// past begin(). Errors: kIoError.
  Status ExtendTo(uint64_t last) {
    if (last <= end_) return {};
    if (Status read = io_.Read(end_, At(end_), static_cast<size_t>(last - end_)); !read.ok()) return read;
    end_ = last;
    return {};
  }
  /// The held byte at file offset `offset`, which must be present.
  uint8_t* At(uint64_t offset) { return buffer_ + (offset - base_); }
  /// Stops holding the bytes before `offset`, without moving the others.
  void Skip(uint64_t offset) { begin_ = offset; }
  /// Drops the held bytes before `offset`, keeping [offset, end()).
  void DropBefore(uint64_t offset) {
    if (offset >= end_) return Clear();
    std::memmove(buffer_, At(offset), static_cast<size_t>(end_ - offset));
    base_ = begin_ = offset;
  }
  /// Drops every held byte.
  void Clear() { base_ = begin_ = end_ = 0; }

  /// Reads the file's bytes [first, last) through the buffer, a buffer at a
  /// time, and hands each part to `take(bytes, length)`; the window then
  /// holds nothing. Errors: kIoError.
  template <typename Take>
  Status Stream(uint64_t first, uint64_t last, Take&& take) {
    Clear();
    for (uint64_t at = first; at < last;) {
      size_t length = static_cast<size_t>(std::min(last - at, capacity_));
      if (Status read = io_.Read(at, buffer_, length); !read.ok()) return read;
      take(static_cast<const uint8_t*>(buffer_), length);
      at += length;
    }
    return {};
  }

 private:
  ImageIo& io_;
  const uint64_t capacity_;
  uint8_t* const buffer_;
  uint64_t base_ = 0;  // the file offset of the buffer's first byte
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
};

}  // namespace peimage

#endif
