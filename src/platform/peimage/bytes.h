#ifndef DORVANE_PEIMAGE_BYTES_H
#define DORVANE_PEIMAGE_BYTES_H

#include <cstdint>

namespace peimage {

/// True when [offset, offset + length) lies inside [0, size), without
/// overflow for any values. Every range of file bytes the engine reads or
/// patches is proved with it once, and then decoded with LoadLe.
constexpr bool RangeInside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

/// The little-endian value of type T, an unsigned integer, at `p`, whose
/// bytes the caller has proved to lie inside its buffer.
template <typename T>
T LoadLe(const uint8_t* p) {
  if constexpr (sizeof(T) == 2) {
    // In int arithmetic: loops over relocation entries vectorize best so.
    return static_cast<T>(p[0] | p[1] << 8);
  } else {
    uint64_t value = 0;
    for (unsigned i = sizeof(T); i-- > 0;) value = value << 8 | p[i];
    return static_cast<T>(value);
  }
}

/// Stores `value` little-endian at `p`, whose sizeof(T) bytes the caller has
/// proved to lie inside its buffer.
template <typename T>
void StoreLe(uint8_t* p, T value) {
  for (unsigned i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(uint64_t{value} >> (8 * i));
}

}  // namespace peimage

#endif
