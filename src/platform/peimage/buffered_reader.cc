#include "buffered_reader.h"

#include <algorithm>
#include <cstring>

namespace peimage {

BufferedReader::BufferedReader(ImageIo& io, uint64_t offset, uint64_t length, size_t buffer_size)
    : io_(io),
      offset_(offset),
      length_(length),
      // A short table needs no more than its own length.
      capacity_(static_cast<size_t>(std::max<uint64_t>(std::min<uint64_t>(buffer_size, length), 8))),
      buffer_(new uint8_t[capacity_]) {}

Status BufferedReader::Take(size_t length, const uint8_t*& bytes) {
  size_t used = static_cast<size_t>(position_ - buffer_start_);
  if (buffer_fill_ - used < length) {
    size_t kept = buffer_fill_ - used;
    std::memmove(buffer_.get(), buffer_.get() + used, kept);
    buffer_start_ = position_;
    uint64_t wanted = std::min<uint64_t>(capacity_ - kept, length_ - (position_ + kept));
    Status read = io_.Read(offset_ + position_ + kept, buffer_.get() + kept, static_cast<size_t>(wanted));
    if (!read.ok()) return read;
    buffer_fill_ = kept + static_cast<size_t>(wanted);
    used = 0;
  }
  bytes = buffer_.get() + used;
  position_ += length;
  return {};
}

}  // namespace peimage
