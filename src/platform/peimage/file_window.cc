#include "file_window.h"

#include <algorithm>
#include <cstring>

namespace peimage {

FileWindow::FileWindow(ImageIo& io, uint64_t capacity)
    : io_(io),
      capacity_(std::max<uint64_t>(1, std::min(capacity, io.Size()))),
      buffer_(ReusedBuffer::kWindow, static_cast<size_t>(capacity_)) {}

Status FileWindow::Start(uint64_t first, uint64_t last) {
  Clear();
  if (Status read = io_.Read(first, buffer_.get(), static_cast<size_t>(last - first)); !read.ok()) return read;
  begin_ = first;
  end_ = last;
  return {};
}

Status FileWindow::ExtendTo(uint64_t last) {
  if (last <= end_) return {};
  if (Status read = io_.Read(end_, At(end_), static_cast<size_t>(last - end_)); !read.ok()) return read;
  end_ = last;
  return {};
}

Status FileWindow::Write(uint64_t from, uint64_t to) const {
  if (from >= to) return {};
  return io_.Write(from, buffer_.get() + (from - begin_), static_cast<size_t>(to - from));
}

void FileWindow::DropBefore(uint64_t offset) {
  if (offset >= end_) return Clear();
  std::memmove(buffer_.get(), At(offset), static_cast<size_t>(end_ - offset));
  begin_ = offset;
}

}  // namespace peimage
