#ifndef DORVANE_PEIMAGE_WRITE_PLAN_H
#define DORVANE_PEIMAGE_WRITE_PLAN_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// The planned new content of an image, in two phases. First the bytes that
/// will change are marked (Touch); Load then reads every marked 4 KiB file
/// page, neighbours together in one read, keeping the original bytes. After
/// that the planned bytes are changed in memory (At) and, once everything is
/// planned, Commit writes them: nothing reaches the file before.
class WritePlan {
 public:
  static constexpr uint64_t kPageSize = 4096;

  explicit WritePlan(ImageIo& io);

  /// Marks [offset, offset + width) as bytes to change; it must lie inside
  /// the file. Only before Load.
  void Touch(uint64_t offset, unsigned width) {
    for (uint64_t page = offset / kPageSize; page <= (offset + width - 1) / kPageSize; ++page) {
      touched_[page / 64] |= uint64_t{1} << (page % 64);
    }
  }

  /// Reads every touched page. Errors: kIoError.
  Status Load();

  /// The planned bytes at `offset`, whose `width` bytes were touched: they
  /// lie together in memory. Only after Load.
  uint8_t* At(uint64_t offset) {
    Run* run = &runs_[last_run_];
    if (offset < run->start || offset >= run->start + run->length) run = Find(offset);
    return run->planned.get() + (offset - run->start);
  }

  /// Planned bytes and target marks from `offset` on, for a caller that
  /// patches many targets of one touched range without a lookup each.
  struct Span {
    uint8_t* bytes;     // the planned byte at `offset`
    uint64_t* claimed;  // the run's target marks
    uint64_t bit;       // the mark of the byte at `offset`
  };
  /// Only after Load, for an `offset` that was touched.
  Span SpanAt(uint64_t offset) {
    uint8_t* bytes = At(offset);
    Run& run = runs_[last_run_];
    return Span{bytes, run.claimed.data(), offset - run.start};
  }

  /// Marks `width` bytes from mark `bit` as a relocation's target; false when
  /// one of them was marked before.
  static bool Claim(uint64_t* claimed, uint64_t bit, unsigned width) {
    uint64_t bits = (uint64_t{1} << width) - 1;  // width is at most 8
    unsigned shift = static_cast<unsigned>(bit % 64);
    uint64_t& low = claimed[bit / 64];
    bool fresh = (low & bits << shift) == 0;
    low |= bits << shift;
    if (shift + width > 64) {
      uint64_t spill = bits >> (64 - shift);
      fresh = fresh && (claimed[bit / 64 + 1] & spill) == 0;
      claimed[bit / 64 + 1] |= spill;
    }
    return fresh;
  }

  /// Records [offset, offset + width) as one relocation's target. Returns
  /// false when one of its bytes is the target of another. Only after Load.
  bool ClaimTarget(uint64_t offset, unsigned width);

  /// Calls `visit(offset, bytes, length)` over the whole file in order, with
  /// the planned bytes: the changed runs from memory, the rest read in
  /// pieces. Errors: kIoError.
  template <typename Visit>
  Status ForEachPiece(Visit&& visit);

  /// Writes the planned runs in file order.
  /// Errors: kIoError when a write failed and the runs written before it
  /// were restored (the file is as it was); kPartiallyWritten when the
  /// restore failed too.
  Status Commit();

 private:
  struct Run {
    uint64_t start = 0;
    uint64_t length = 0;
    std::unique_ptr<uint8_t[]> original;
    std::unique_ptr<uint8_t[]> planned;
    std::vector<uint64_t> claimed;  // a bit per byte: a relocation's target
  };

  Run* Find(uint64_t offset);
  Status WriteRuns(bool planned, size_t& written_up_to);

  ImageIo& io_;
  std::vector<uint64_t> touched_;  // a bit per file page
  std::vector<Run> runs_;          // ascending, not adjacent
  size_t last_run_ = 0;
};

template <typename Visit>
Status WritePlan::ForEachPiece(Visit&& visit) {
  constexpr uint64_t kChunk = 1 << 20;
  uint64_t offset = 0;
  uint64_t size = io_.Size();
  uint64_t largest_gap = 0, end = 0;
  for (const Run& run : runs_) {
    largest_gap = std::max(largest_gap, run.start - end);
    end = run.start + run.length;
  }
  largest_gap = std::max(largest_gap, size - end);
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[static_cast<size_t>(std::min(largest_gap, kChunk)) + 1]);
  size_t next_run = 0;
  while (offset < size) {
    if (next_run < runs_.size() && runs_[next_run].start == offset) {
      visit(offset, runs_[next_run].planned.get(), static_cast<size_t>(runs_[next_run].length));
      offset += runs_[next_run++].length;
      continue;
    }
    uint64_t gap_end = next_run < runs_.size() ? runs_[next_run].start : size;
    size_t length = static_cast<size_t>(std::min<uint64_t>(gap_end - offset, kChunk));
    if (Status read = io_.Read(offset, chunk.get(), length); !read.ok()) return read;
    visit(offset, chunk.get(), length);
    offset += length;
  }
  return {};
}

}  // namespace peimage

#endif
