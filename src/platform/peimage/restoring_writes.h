#ifndef DORVANE_PEIMAGE_RESTORING_WRITES_H
#define DORVANE_PEIMAGE_RESTORING_WRITES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "error.h"
#include "image_io.h"

namespace peimage {

/// The writes that put an image's original bytes back after its rebase
/// failed midway, and the file ranges they could not put back. Each write is
/// made twice; one that fails both times does not stop the others: it is
/// kept and made again once they are done, round after round while a round
/// puts more back.
class RestoringWrites {
 public:
  /// The most memory kept for retries, bytes and their places; a failed
  /// write beyond it is given up at once.
  static constexpr size_t kKeptCapacity = 256 * 1024;

  explicit RestoringWrites(ImageIo& io) : io_(io) {}

  /// Writes `original` at [offset, offset + length) of the file.
  void Write(uint64_t offset, const uint8_t* original, size_t length);

  /// Puts back what a write of `written` at [offset, offset + length) may
  /// have changed: the bytes where `written` differs from `original` and
  /// the file (read back) from `original`; all the bytes where `written`
  /// differs when the file cannot be read. No other byte is written, so that
  /// a write that reached nothing (a full disk, a hole it could not fill)
  /// costs nothing to put back.
  void PutBackChanged(uint64_t offset, const uint8_t* original, const uint8_t* written, size_t length);

  /// Counts [first, last) as left changed: bytes whose original values are
  /// not known.
  void GiveUp(uint64_t first, uint64_t last, const Error& why);

  /// Makes the failed writes again, round after round, while a round puts
  /// more back. Returns `cause` when every byte is back; otherwise
  /// kPartiallyWritten, whose message names the file ranges left changed.
  Status Finish(const Error& cause);

 private:
  struct Kept {
    uint64_t offset;
    size_t at, length;  // of its bytes in kept_bytes_
  };
  struct Range {
    uint64_t first, last;
  };

  void Left(uint64_t first, uint64_t last);

  ImageIo& io_;
  std::vector<Kept> kept_;
  std::vector<uint8_t> kept_bytes_;
  Error last_failure_;
  // The ranges left changed: the first few, in full; how many more, and
  // where the lowest and highest of all lie.
  static constexpr size_t kShown = 4;
  std::vector<Range> shown_;
  size_t more_ = 0;
  uint64_t lowest_ = UINT64_MAX;
  uint64_t highest_ = 0;
};

}  // namespace peimage

#endif
