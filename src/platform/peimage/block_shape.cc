#include "block_shape.h"

#include "little_endian.h"
#include "relocation_patch.h"

namespace peimage {

namespace {
unsigned EntryAt(const uint8_t* entries, size_t i) { return LoadLe16(entries + 2 * i); }
}  // namespace

UniformBlock KnownUniform(const uint8_t* entries, size_t count) {
  while (count > 0 && (entries[2 * count - 1] >> 4) == kRelAbsolute) --count;
  if (count == 0) return UniformBlock{};
  unsigned type = EntryAt(entries, 0) >> 12;
  uint32_t low = EntryAt(entries, 0) & 0xFFFu;
  uint32_t high = (EntryAt(entries, count - 1) & 0xFFFu) + RelocationWidth(type);
  return UniformBlock{type, count, low, high};
}

std::optional<UniformBlock> AsUniform(const uint8_t* entries, size_t count) {
  UniformBlock block = KnownUniform(entries, count);
  if (block.count == 0) return block;
  unsigned width = RelocationWidth(block.type);
  if (width == 0 || block.type == kRelHighAdj) return std::nullopt;
  // No early exit and no bool, so that the compiler checks many entries at
  // once.
  unsigned odd = 0;
  for (size_t i = 1; i < block.count; ++i) {
    unsigned previous = EntryAt(entries, i - 1);
    unsigned entry = EntryAt(entries, i);
    odd |= (entry >> 12) ^ block.type;
    odd |= (entry & 0xFFFu) < (previous & 0xFFFu) + width;
  }
  if (odd != 0) return std::nullopt;
  return block;
}

}  // namespace peimage
