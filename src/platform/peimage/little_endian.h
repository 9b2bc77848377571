#ifndef DORVANE_PEIMAGE_LITTLE_ENDIAN_H
#define DORVANE_PEIMAGE_LITTLE_ENDIAN_H

#include <cstdint>

namespace peimage {

/// The little-endian value of `kWidth` bytes at `p`, for a caller that has
/// already checked that they lie inside its buffer.
template <unsigned kWidth>
uint64_t LoadLeFixed(const uint8_t* p) {
  uint64_t value = 0;
  for (unsigned i = kWidth; i-- > 0;) value = value << 8 | p[i];
  return value;
}

/// The little-endian 16-bit value at `p`, for a caller that has already
/// checked that it lies inside its buffer. A relocation entry is one.
inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

/// Stores the low `kWidth` bytes of `value` little-endian at `p`, for a
/// caller that has already checked that they lie inside its buffer.
template <unsigned kWidth>
void StoreLeFixed(uint8_t* p, uint64_t value) {
  for (unsigned i = 0; i < kWidth; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace peimage

#endif
