#ifndef DORVANE_PEIMAGE_MEMORY_IMAGE_IO_H
#define DORVANE_PEIMAGE_MEMORY_IMAGE_IO_H

#include <cstdint>
#include <vector>

#include "image_io.h"

namespace peimage {

/// An image held in memory; reads and writes go to `bytes()`.
class MemoryImageIo : public ImageIo {
 public:
  explicit MemoryImageIo(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint64_t Size() const override { return bytes_.size(); }
  Status Read(uint64_t offset, uint8_t* out, size_t length) override;
  Status Write(uint64_t offset, const uint8_t* in, size_t length) override;

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace peimage

#endif
