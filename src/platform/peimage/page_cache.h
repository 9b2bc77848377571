#ifndef DORVANE_PEIMAGE_PAGE_CACHE_H
#define DORVANE_PEIMAGE_PAGE_CACHE_H

#include <bitset>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// The planned new content of an image: the file pages that a rebase
/// changes, each held with its original bytes. Nothing reaches the file until
/// Commit, which writes the changed pages and, should a write fail, puts the
/// original bytes back.
class PageCache {
 public:
  static constexpr uint64_t kPageSize = 4096;

  explicit PageCache(ImageIo& io) : io_(io) {}

  /// Reads the little-endian value of `width` bytes (1..8) at file offset
  /// `offset`, as planned so far. The range must lie inside the file.
  /// Errors: kIoError when loading a page fails.
  Status Load(uint64_t offset, unsigned width, uint64_t& value);

  /// Plans `width` bytes (1..8) of `value` at `offset`, little-endian.
  /// Errors: kIoError when loading a page fails.
  Status Store(uint64_t offset, unsigned width, uint64_t value);

  /// Marks [offset, offset + width) (width 1..8) as a relocation target.
  /// Returns false when one of its bytes was marked before.
  /// Errors: kIoError when loading a page fails.
  Status MarkTarget(uint64_t offset, unsigned width, bool& fresh);

  /// Copies the planned content of [offset, offset + length) over `bytes`,
  /// which holds the file's bytes of that range: only changed pages are copied.
  void Overlay(uint64_t offset, uint8_t* bytes, size_t length) const;

  /// Number of pages planned.
  size_t page_count() const { return pages_.size(); }

  /// Writes every changed page, in file order, coalescing neighbours.
  /// Errors: kIoError when a write failed and the pages written before it
  /// were restored (the file is as it was); kPartiallyWritten when the
  /// restore failed too.
  Status Commit();

 private:
  struct Page {
    uint64_t index = 0;
    uint32_t length = 0;  // short for the file's last page
    std::vector<uint8_t> original;
    std::vector<uint8_t> planned;
    std::bitset<kPageSize> targeted;
  };

  Result<Page*> Get(uint64_t index);
  /// Writes pages [0, written_up_to) in runs of neighbours; on failure sets
  /// `written_up_to` to the end of the run that failed.
  Status WriteRuns(const std::vector<const Page*>& pages, bool planned, size_t& written_up_to);

  ImageIo& io_;
  std::unordered_map<uint64_t, std::unique_ptr<Page>> pages_;
  Page* last_ = nullptr;
};

}  // namespace peimage

#endif
