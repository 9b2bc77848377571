#include "checksum.h"

#include <algorithm>

namespace peimage {

namespace {
uint64_t Fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}
}  // namespace

// Folding after every addition and folding once at the end give the same
// 16-bit end-around-carry sum (for a nonzero sum), so words are summed wide
// and folded only before the accumulator could overflow.
void ChecksumAccumulator::AddByte(uint8_t byte) {
  uint64_t at = position_++;
  bool in_field = at >= checksum_offset_ && at - checksum_offset_ < 4;
  if (in_field) byte = 0;
  if (!have_low_) {
    low_ = byte;
    have_low_ = true;
    return;
  }
  sum_ += uint64_t{low_} | uint64_t{byte} << 8;
  have_low_ = false;
}

void ChecksumAccumulator::Add(const uint8_t* bytes, size_t length) {
  size_t i = 0;
  // Byte by byte until word aligned and clear of the CheckSum field, then
  // whole words straight from the buffer.
  while (i < length) {
    uint64_t at = position_;
    bool near_field = at + 8 > checksum_offset_ && at < checksum_offset_ + 4;
    if (have_low_ || near_field || length - i < 8) {
      AddByte(bytes[i++]);
      continue;
    }
    uint64_t stop = length - i;
    if (at < checksum_offset_) stop = std::min<uint64_t>(stop, checksum_offset_ - at);
    stop &= ~uint64_t{1};
    // A 32-bit little-endian group is low + high * 2^16, and 2^16 is 1 modulo
    // 0xFFFF: summing groups gives the same folded sum as summing words.
    uint64_t sum = 0;
    uint64_t k = 0;
    for (; k + 4 <= stop; k += 4) {
      const uint8_t* p = bytes + i + k;
      sum += uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24;
    }
    for (; k < stop; k += 2) sum += uint64_t{bytes[i + k]} | uint64_t{bytes[i + k + 1]} << 8;
    sum_ = Fold(sum_) + sum;
    i += static_cast<size_t>(stop);
    position_ += stop;
  }
  sum_ = Fold(sum_);
}

uint32_t ChecksumAccumulator::Finish() const {
  uint64_t sum = sum_;
  if (have_low_) sum += low_;
  return static_cast<uint32_t>(Fold(sum) + position_);
}

}  // namespace peimage
