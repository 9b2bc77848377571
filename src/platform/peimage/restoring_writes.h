#ifndef DORVANE_PEIMAGE_RESTORING_WRITES_H
#define DORVANE_PEIMAGE_RESTORING_WRITES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image_io.h"

namespace peimage {

/// The file ranges a restore left changed: the first few in full, and how
/// many more, between the lowest and the highest byte of all.
class UnrestoredRanges {
 public:
  /// Counts [first, last) as left changed.
  void Add(uint64_t first, uint64_t last);
  bool empty() const { return shown_.empty(); }
  /// "0x10-0x13, 0x200-0x20F and 3 more between 0x10 and 0x4FFF".
  std::string Describe();

 private:
  struct Range {
    uint64_t first, last;
  };
  static constexpr size_t kShown = 4;
  std::vector<Range> shown_;
  size_t more_ = 0;
  uint64_t lowest_ = UINT64_MAX;
  uint64_t highest_ = 0;
};

/// The writes that put an image's original bytes back after its rebase
/// failed midway, and the file ranges they could not put back. Each write is
/// made twice; one that fails both times does not stop the others: it is
/// kept (up to kKeptCapacity, bytes and places) and made again once they are
/// done, round after round while a round puts more back.
class RestoringWrites {
 public:
  static constexpr size_t kKeptCapacity = 256 * 1024;

  explicit RestoringWrites(ImageIo& io) : io_(io) {}

  /// Writes `original` at [offset, offset + length) of the file.
  void Write(uint64_t offset, const uint8_t* original, size_t length);

  /// Puts back what a write of `written` at [offset, offset + length) may
  /// have changed: the bytes where `written` differs from `original` and the
  /// file (read back) from `original`, or, when it cannot be read, from
  /// `written`. No other byte is written, so that a write that reached
  /// nothing (a full disk, a hole it could not fill) costs nothing.
  void PutBackChanged(uint64_t offset, const uint8_t* original, const uint8_t* written, size_t length);

  /// Counts [first, last) as left changed: bytes whose originals are unknown.
  void GiveUp(uint64_t first, uint64_t last, const Error& why);

  /// Makes the failed writes again while a round puts more back. Returns
  /// `cause` when every byte is back; otherwise kPartiallyWritten, whose
  /// message names the file ranges left changed.
  Status Finish(const Error& cause);

 private:
  struct Kept {
    uint64_t offset;
    size_t at, length;  // of its bytes in kept_bytes_
  };

  void Keep(uint64_t offset, const uint8_t* original, size_t length);
  bool RetryKept();

  ImageIo& io_;
  std::vector<Kept> kept_;
  std::vector<uint8_t> kept_bytes_;
  Error last_failure_;
  UnrestoredRanges left_;
};

}  // namespace peimage

#endif
