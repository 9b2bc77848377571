#ifndef DORVANE_PEIMAGE_RELOCATION_TABLE_H
#define DORVANE_PEIMAGE_RELOCATION_TABLE_H

#include <cstddef>
#include <cstdint>

#include "image_io.h"
#include "result.h"
#include "reused_buffer.h"

namespace peimage {

/// The relocation directory, checked to lie inside one section's file data.
struct RelocationDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
  uint64_t file_offset = 0;
};

/// The bytes of a relocation table, read through one buffer of at most
/// kCapacity bytes. A table that fits is read once and held whole. A larger
/// one is read in pieces around the bytes asked for, ahead in the direction
/// the requests go, in smaller pieces while requests jump about, so that a
/// table walked in any order costs few reads.
class RelocationTable {
 public:
  static constexpr size_t kCapacity = 256 * 1024;
  /// The most that one View may ask for: a block of the largest size.
  static constexpr size_t kMaxView = 8 + 2 * 0x8000;

  /// A reader of `directory`, which lies inside the file behind `io`.
  RelocationTable(ImageIo& io, const RelocationDirectory& directory);

  const RelocationDirectory& directory() const { return directory_; }
  uint32_t size() const { return directory_.size; }

  /// True when the whole table is in memory, so that every View of the same
  /// bytes sees the same values.
  bool held_whole() const { return capacity_ == directory_.size && held_length_ == directory_.size; }

  /// Points `bytes` at [offset, offset + length) of the table, valid until
  /// the next call. The range lies inside the table and length is at most
  /// kMaxView. Errors: kIoError.
  Status View(uint64_t offset, size_t length, const uint8_t*& bytes);

 private:
  Status LoadAround(uint64_t offset, size_t length);
  Status Load(uint64_t offset, size_t length);

  ImageIo& io_;
  RelocationDirectory directory_;
  size_t capacity_;
  ReusedBuffer buffer_;  // not cleared: every byte is read before use
  uint64_t held_offset_ = 0;
  size_t held_length_ = 0;
  size_t read_size_;               // how much a miss reads
  uint64_t last_offset_ = 0;       // of the last View, for the direction
  uint64_t served_since_load_ = 0;  // bytes viewed of the last read, for its size
};

}  // namespace peimage

#endif
