#include "buffered_reader.h"

#include <algorithm>
#include <cstring>

namespace peimage {

BufferedReader::BufferedReader(ImageIo& io, uint64_t offset, uint64_t length, size_t buffer_size)
    : io_(io), offset_(offset), length_(length), buffer_(std::max<size_t>(buffer_size, 8)) {}

Status BufferedReader::Fill(size_t needed) {
  uint64_t used = position_ - buffer_start_;
  if (buffer_fill_ - used >= needed) return {};
  size_t kept = buffer_fill_ - static_cast<size_t>(used);
  std::memmove(buffer_.data(), buffer_.data() + used, kept);
  buffer_start_ = position_;
  uint64_t wanted = std::min<uint64_t>(buffer_.size() - kept, length_ - (position_ + kept));
  Status read = io_.Read(offset_ + position_ + kept, buffer_.data() + kept, static_cast<size_t>(wanted));
  if (!read.ok()) return read;
  buffer_fill_ = kept + static_cast<size_t>(wanted);
  return {};
}

uint64_t BufferedReader::Load(size_t index) const { return buffer_[position_ - buffer_start_ + index]; }

Status BufferedReader::ReadU16(uint16_t& value) {
  if (Status filled = Fill(2); !filled.ok()) return filled;
  value = static_cast<uint16_t>(Load(0) | Load(1) << 8);
  position_ += 2;
  return {};
}

Status BufferedReader::ReadU32(uint32_t& value) {
  if (Status filled = Fill(4); !filled.ok()) return filled;
  value = static_cast<uint32_t>(Load(0) | Load(1) << 8 | Load(2) << 16 | Load(3) << 24);
  position_ += 4;
  return {};
}

}  // namespace peimage
