#ifndef DORVANE_TESTS_MEMORY_IMAGE_IO_H
#define DORVANE_TESTS_MEMORY_IMAGE_IO_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "peimage/bytes.h"
#include "peimage/image_io.h"
#include "peimage/rebaser.h"

namespace testing_support {

/// An image held in memory; reads and writes go to `bytes()`.
class MemoryImageIo : public peimage::ImageIo {
 public:
  explicit MemoryImageIo(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint64_t Size() const override { return bytes_.size(); }
  peimage::Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    if (!peimage::RangeInside(offset, length, bytes_.size())) return OutOfImage("read", offset, length);
    if (length != 0) std::memcpy(out, bytes_.data() + offset, length);
    return {};
  }
  peimage::Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    if (!peimage::RangeInside(offset, length, bytes_.size())) return OutOfImage("write", offset, length);
    if (length != 0) std::memcpy(bytes_.data() + offset, in, length);
    return {};
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

 protected:
  /// Holds a copy of `bytes` from now on, in the memory already held.
  void Assign(const std::vector<uint8_t>& bytes) { bytes_.assign(bytes.begin(), bytes.end()); }

 private:
  peimage::Error OutOfImage(const char* what, uint64_t offset, size_t length) const {
    return peimage::MakeError(peimage::ErrorCode::kIoError, "%s of %zu bytes at offset 0x%llX is outside the %zu-byte image",
                              what, length, static_cast<unsigned long long>(offset), bytes_.size());
  }

  std::vector<uint8_t> bytes_;
};

/// A rebase to `base`, with a new header time stamp of `stamp` (0: the old
/// one plus one second).
inline peimage::RebaseOptions To(uint64_t base, uint32_t stamp = 0) {
  peimage::RebaseOptions options;
  options.new_base = base;
  options.time_stamp = stamp;
  return options;
}

/// peimage::RebaseImage in one workspace that every call of the tests'
/// process shares, as the tool keeps one for a whole run.
inline peimage::Result<peimage::ImageReport> Rebase(peimage::ImageIo& io, const peimage::RebaseOptions& options) {
  static peimage::Workspace workspace;
  return peimage::RebaseImage(io, options, workspace);
}

/// The first offset, from `from` on, at which `after` differs from `before`
/// where `allowed(offset)` is false; the size when there is none. Pages
/// that did not change are passed over whole: the tests look through
/// megabytes, in sanitized builds too.
template <typename Allowed>
size_t FirstChangeOutside(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, Allowed&& allowed,
                          size_t from = 0) {
  constexpr size_t kPage = 4096;
  const size_t size = std::min(before.size(), after.size());
  for (size_t page = from - from % kPage; page < size; page += kPage) {
    size_t end = std::min(size, page + kPage);
    if (std::memcmp(before.data() + page, after.data() + page, end - page) == 0) continue;
    for (size_t i = std::max(page, from); i < end; ++i) {
      if (before[i] != after[i] && !allowed(i)) return i;
    }
  }
  return size;
}

}  // namespace testing_support

#endif
