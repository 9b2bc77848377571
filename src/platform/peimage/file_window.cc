#include "file_window.h"

#include <algorithm>

namespace peimage {

FileWindow::FileWindow(ImageIo& io, uint64_t capacity, uint64_t join_gap)
    : io_(io), capacity_(std::max<uint64_t>(1, std::min(capacity, io.Size()))), join_gap_(join_gap) {
  buffer_.reset(new uint8_t[static_cast<size_t>(capacity_)]);
}

Status FileWindow::Start(uint64_t first, uint64_t last) {
  Clear();
  if (Status read = io_.Read(first, buffer_.get(), static_cast<size_t>(last - first)); !read.ok()) return read;
  begin_ = first;
  end_ = last;
  return {};
}

Status FileWindow::WriteFrom(uint64_t from) const {
  if (from >= end_) return {};
  return io_.Write(from, buffer_.get() + (from - begin_), static_cast<size_t>(end_ - from));
}

}  // namespace peimage
