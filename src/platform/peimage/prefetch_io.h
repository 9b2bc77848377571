#ifndef DORVANE_PEIMAGE_PREFETCH_IO_H
#define DORVANE_PEIMAGE_PREFETCH_IO_H

#include <cstdint>
#include <memory>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// An ImageIo in front of another that answers reads from a range it has
/// read ahead: the headers, which a rebase reads in several small pieces,
/// then cost one read. Writes go through, and into the range held.
class PrefetchIo : public ImageIo {
 public:
  explicit PrefetchIo(ImageIo& io) : io_(io) {}

  uint64_t Size() const override { return io_.Size(); }

  /// Reads [offset, offset + length), clipped to the file, dropping what was
  /// held. Errors: kIoError, nothing then held.
  Status Prefetch(uint64_t offset, uint64_t length);

  Status Read(uint64_t offset, uint8_t* out, size_t length) override;
  Status Write(uint64_t offset, const uint8_t* in, size_t length) override;

 private:
  struct Range {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::unique_ptr<uint8_t[]> bytes;
  };

  ImageIo& io_;
  Range range_;
};

}  // namespace peimage

#endif
