#include "relocation_table.h"

#include <algorithm>

namespace peimage {

namespace {
// The smallest read of a table that is walked out of order.
constexpr size_t kMinRead = 4 * 1024;
}  // namespace

RelocationTable::RelocationTable(ImageIo& io, const RelocationDirectory& directory)
    : io_(io),
      directory_(directory),
      capacity_(std::min<size_t>(kCapacity, directory.size)),
      buffer_(ReusedBuffer::kTable, std::max<size_t>(capacity_, 1)),
      read_size_(capacity_) {}

Status RelocationTable::View(uint64_t offset, size_t length, const uint8_t*& bytes) {
  bool held = offset >= held_offset_ && offset - held_offset_ <= held_length_ &&
              length <= held_length_ - (offset - held_offset_);
  if (!held) {
    Status loaded = capacity_ == directory_.size ? Load(0, capacity_) : LoadAround(offset, length);
    if (!loaded.ok()) return loaded;
  }
  served_since_load_ += length;
  last_offset_ = offset;
  bytes = buffer_.get() + (offset - held_offset_);
  return {};
}

Status RelocationTable::LoadAround(uint64_t offset, size_t length) {
  // A read of which little was used was too large for the order the views
  // come in; one used well could have been larger.
  if (served_since_load_ < held_length_ / 4) read_size_ = std::max(read_size_ / 2, kMinRead);
  if (served_since_load_ >= held_length_ / 2) read_size_ = std::min(read_size_ * 2, capacity_);
  size_t wanted = std::min(capacity_, std::max(read_size_, length));
  uint64_t start = offset;
  if (offset < last_offset_) {
    // Going backwards, the read ends a little past the request, so that it
    // holds the rest of a block whose header was asked for.
    size_t tail = std::min({kMaxView, wanted / 4, wanted - length});
    uint64_t end = std::min<uint64_t>(directory_.size, offset + length + tail);
    start = end - std::min<uint64_t>(end, wanted);
  }
  return Load(std::min<uint64_t>(start, directory_.size - wanted), wanted);
}

Status RelocationTable::Load(uint64_t offset, size_t length) {
  held_length_ = 0;
  if (Status read = io_.Read(directory_.file_offset + offset, buffer_.get(), length); !read.ok()) return read;
  held_offset_ = offset;
  held_length_ = length;
  served_since_load_ = 0;
  return {};
}

}  // namespace peimage
