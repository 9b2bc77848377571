#ifndef DORVANE_PEIMAGE_BLOCK_SHAPE_H
#define DORVANE_PEIMAGE_BLOCK_SHAPE_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace peimage {

/// The shape linkers give a block: targets of one type (not HIGHADJ), in
/// ascending order without overlap, followed by nothing but ABSOLUTE
/// padding. Such a block is checked and patched without a look at each
/// entry's type.
struct UniformBlock {
  unsigned type = 0;
  size_t count = 0;  // entries before the padding; 0 for padding only
  uint32_t low = 0;  // offset in the page of the first target byte
  uint32_t high = 0; // offset in the page past the last target byte
};

/// The block's shape when its `count` entries are uniform; nothing otherwise.
std::optional<UniformBlock> AsUniform(const uint8_t* entries, size_t count);

/// The shape of a block already found uniform, read off its ends alone.
UniformBlock KnownUniform(const uint8_t* entries, size_t count);

}  // namespace peimage

#endif
