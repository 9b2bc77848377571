#ifndef DORVANE_TESTS_FAILING_IO_H
#define DORVANE_TESTS_FAILING_IO_H

#include <cstdint>
#include <vector>

#include "support/memory_image_io.h"

namespace testing_support {

/// An image in memory whose n-th write (counting from 1) fails after half of
/// its bytes reached the image, and, with `fail_restore`, every write after
/// it; or whose n-th read fails. 0 never fails. FailWritesInARow makes the
/// writes after the n-th fail too, up to a count; ReachNothing makes a failing
/// write leave the image as it was, as a full disk does.
class FailingIo : public MemoryImageIo {
 public:
  FailingIo(std::vector<uint8_t> bytes, int fail_write_at, bool fail_restore = false, int fail_read_at = 0)
      : MemoryImageIo(std::move(bytes)),
        fail_write_at_(fail_write_at),
        fail_restore_(fail_restore),
        fail_read_at_(fail_read_at) {}

  peimage::Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    if (++reads_ == fail_read_at_) return peimage::MakeError(peimage::ErrorCode::kIoError, "injected read failure");
    return MemoryImageIo::Read(offset, out, length);
  }

  /// Starts again as a new FailingIo would, on a copy of `bytes`, in the
  /// memory this one holds: loops over every failing read or write, in
  /// sanitized builds too, then do not map a fresh image each time.
  FailingIo& Restart(const std::vector<uint8_t>& bytes, int fail_write_at, bool fail_restore = false,
                     int fail_read_at = 0) {
    Assign(bytes);
    fail_write_at_ = fail_write_at;
    fail_restore_ = fail_restore;
    fail_read_at_ = fail_read_at;
    failing_writes_ = 1;
    reach_nothing_ = false;
    reads_ = writes_ = reads_before_failure_ = 0;
    return *this;
  }

  FailingIo& FailWritesInARow(int count) {
    failing_writes_ = count;
    return *this;
  }
  FailingIo& ReachNothing() {
    reach_nothing_ = true;
    return *this;
  }

  peimage::Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    ++writes_;
    bool in_row = fail_write_at_ != 0 && writes_ >= fail_write_at_ && writes_ < fail_write_at_ + failing_writes_;
    if (in_row || (fail_restore_ && fail_write_at_ != 0 && writes_ > fail_write_at_)) {
      if (writes_ == fail_write_at_) reads_before_failure_ = reads_;
      if (!reach_nothing_) (void)MemoryImageIo::Write(offset, in, length / 2);
      return peimage::MakeError(peimage::ErrorCode::kIoError, "injected write failure");
    }
    return MemoryImageIo::Write(offset, in, length);
  }

  int reads() const { return reads_; }
  int writes() const { return writes_; }
  /// The reads made before the n-th write failed.
  int reads_before_failure() const { return reads_before_failure_; }

 private:
  int fail_write_at_;
  bool fail_restore_;
  int fail_read_at_;
  int failing_writes_ = 1;
  bool reach_nothing_ = false;
  int reads_ = 0;
  int writes_ = 0;
  int reads_before_failure_ = 0;
};

}  // namespace testing_support

#endif
