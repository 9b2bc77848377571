#ifndef DORVANE_TESTS_MEMORY_IMAGE_IO_H
#define DORVANE_TESTS_MEMORY_IMAGE_IO_H

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

/// peimage::RebaseImage in one workspace that every call of the tests'
/// process shares, as the tool keeps one for a whole run.
inline peimage::Result<peimage::ImageReport> Rebase(peimage::ImageIo& io, const peimage::RebaseOptions& options) {
  static peimage::Workspace workspace;
  return peimage::RebaseImage(io, options, workspace);
}

}  // namespace testing_support

#endif
