#ifndef DORVANE_PEIMAGE_HEADER_FIELDS_H
#define DORVANE_PEIMAGE_HEADER_FIELDS_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "headers.h"

namespace peimage {

/// The header fields a rebase rewrites, TimeDateStamp, ImageBase and
/// CheckSum, as one span of the file: from TimeDateStamp to the end of the
/// last of them, within 84 bytes at fixed offsets from e_lfanew and before
/// every section's file data. Holds the span's original bytes and its
/// rewritten ones.
class HeaderFields {
 public:
  HeaderFields(const ImageHeaders& headers, uint64_t new_base, uint32_t new_time_stamp)
      : headers_(headers),
        new_base_(new_base),
        new_time_stamp_(new_time_stamp),
        first_(headers.time_date_stamp_offset),
        last_(std::max({first_ + 4, headers.image_base_offset + headers.address_width(), headers.checksum_offset + 4})) {}

  uint64_t first() const { return first_; }
  uint64_t last() const { return last_; }
  size_t length() const { return static_cast<size_t>(last_ - first_); }

  /// Keeps the original bytes of the span held at `span` and writes the new
  /// ImageBase and time stamp there.
  void Rewrite(uint8_t* span) {
    std::memcpy(original_.data(), span, length());
    uint8_t* base = span + (headers_.image_base_offset - first_);
    if (headers_.pe32_plus) {
      StoreLe<uint64_t>(base, new_base_);
    } else {
      StoreLe<uint32_t>(base, static_cast<uint32_t>(new_base_));
    }
    StoreLe<uint32_t>(span + (headers_.time_date_stamp_offset - first_), new_time_stamp_);
  }
  /// Writes the original bytes back at `span`.
  void Restore(uint8_t* span) const { std::memcpy(span, original_.data(), length()); }

  /// Keeps the rewritten span held at `span`, to be written last, with
  /// `checksum` in it.
  void KeepRewritten(const uint8_t* span) { std::memcpy(rewritten_.data(), span, length()); }
  void SetChecksum(uint32_t checksum) { StoreLe<uint32_t>(rewritten_.data() + (headers_.checksum_offset - first_), checksum); }

  const uint8_t* original() const { return original_.data(); }
  const uint8_t* rewritten() const { return rewritten_.data(); }

 private:
  static constexpr size_t kCapacity = 96;

  const ImageHeaders& headers_;
  const uint64_t new_base_;
  const uint32_t new_time_stamp_;
  const uint64_t first_;
  const uint64_t last_;
  std::array<uint8_t, kCapacity> original_ = {};
  std::array<uint8_t, kCapacity> rewritten_ = {};
};

}  // namespace peimage

#endif
