#ifndef DORVANE_PEIMAGE_CHECKSUM_H
#define DORVANE_PEIMAGE_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace peimage {

/// Computes the PE image checksum over a file fed in consecutive pieces of
/// any length: the sum of the file's little-endian 16-bit words with carries
/// folded back, skipping the 4-byte CheckSum field at its byte offset, an odd
/// last byte padded with zero, plus the file's length.
class ChecksumAccumulator {
 public:
  /// `checksum_offset` is the file offset of the CheckSum field.
  explicit ChecksumAccumulator(uint64_t checksum_offset) : checksum_offset_(checksum_offset) {}

  /// Adds the next `length` bytes of the file.
  void Add(const uint8_t* bytes, size_t length);

  /// The file offset of the next byte to add: how much has been added.
  uint64_t position() const { return position_; }

  /// The checksum of the `Add`ed bytes, taken as the whole file.
  uint32_t Finish() const;

 private:
  void AddByte(uint8_t byte);

  uint64_t checksum_offset_;
  uint64_t position_ = 0;
  uint64_t sum_ = 0;  // unfolded; folded in Finish and when it grows large
  bool have_low_ = false;
  uint8_t low_ = 0;
};

}  // namespace peimage

#endif
