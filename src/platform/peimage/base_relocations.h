#ifndef DORVANE_PEIMAGE_BASE_RELOCATIONS_H
#define DORVANE_PEIMAGE_BASE_RELOCATIONS_H

#include <cstdint>
#include <optional>

#include "buffered_reader.h"
#include "headers.h"
#include "image_io.h"
#include "result.h"
#include "section_map.h"

namespace peimage {

/// Base relocation types that the engine applies.
enum RelocationType : uint8_t {
  kRelAbsolute = 0,
  kRelHigh = 1,
  kRelLow = 2,
  kRelHighLow = 3,
  kRelHighAdj = 4,
  kRelDir64 = 10,
};

/// Width in bytes of the value that a relocation of `type` patches; 0 for
/// ABSOLUTE and for types the engine does not apply.
inline unsigned RelocationWidth(uint8_t type) {
  switch (type) {
    case kRelHigh:
    case kRelLow:
    case kRelHighAdj:
      return 2;
    case kRelHighLow:
      return 4;
    case kRelDir64:
      return 8;
    default:
      return 0;
  }
}

/// The relocation directory, checked to lie inside one section's file data.
struct RelocationDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
  uint64_t file_offset = 0;
};

/// One relocation to apply: a type other than ABSOLUTE, the RVA it patches
/// and, for HIGHADJ, the signed low half taken from the entry it consumed.
struct Relocation {
  uint8_t type = 0;
  uint64_t rva = 0;
  int16_t high_adj_low = 0;
};

/// Finds the relocation directory. Nothing when the image has none (the
/// directory does not exist or its size is 0).
/// Errors: kBadRelocationTable for a nonzero size at RVA 0;
/// kRelocationOutOfRange when the directory is not inside the file-backed
/// bytes of one section.
Result<std::optional<RelocationDirectory>> LocateRelocations(const ImageHeaders& headers, const SectionMap& sections);

/// The largest SizeOfBlock accepted. A block covers one 4 KiB page, so a
/// larger one can only hold overlapping targets or padding.
constexpr uint32_t kMaxSizeOfBlock = 8 + 2 * 0x8000;

/// Walks every block of `directory` in file order and calls
/// `visit(block, page_rva, entries, count)` (block: its offset in the
/// directory) with each block's raw little-endian u16
/// entries; `visit` returns a Status and the walk stops at its first error.
/// Errors: kBadRelocationTable (a block header cut short, SizeOfBlock below
/// 8, odd, above kMaxSizeOfBlock or running past the directory, a block not
/// on a 32-bit boundary); kIoError.
template <typename Visit>
Status WalkBlocks(ImageIo& io, const RelocationDirectory& directory, Visit&& visit);

/// Calls `apply(relocation)` for each entry of one block other than
/// ABSOLUTE, with HIGHADJ's second entry consumed.
/// Errors: kUnsupportedRelocation; kBadRelocationTable (a HIGHADJ without the
/// entry it consumes); those of `apply`.
template <typename Apply>
Status ForEachRelocation(const RelocationDirectory& directory, uint64_t block, uint32_t page_rva,
                         const uint8_t* entries, size_t count, Apply&& apply);

// ---------------------------------------------------------------------------

namespace detail {
Error BlockError(const RelocationDirectory& directory, uint64_t block, const char* format, uint32_t value);
Status CheckBlockHeader(const RelocationDirectory& directory, uint64_t block, uint32_t size_of_block,
                        uint64_t remaining_after_header);
Error UnsupportedType(const RelocationDirectory& directory, uint64_t block, size_t index, unsigned type);
inline uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
}  // namespace detail

template <typename Visit>
Status WalkBlocks(ImageIo& io, const RelocationDirectory& directory, Visit&& visit) {
  BufferedReader reader(io, directory.file_offset, directory.size);
  while (reader.remaining() != 0) {
    uint64_t block = reader.position();
    if (block % 4 != 0) return detail::BlockError(directory, block, "is not on a 32-bit boundary%.0u", 0);
    if (reader.remaining() < 8) {
      return detail::BlockError(directory, block, "header is cut short: %u bytes remain",
                                static_cast<uint32_t>(reader.remaining()));
    }
    const uint8_t* header = nullptr;
    if (Status s = reader.Take(8, header); !s.ok()) return s;
    uint32_t page_rva = detail::LoadU32(header);
    uint32_t size_of_block = detail::LoadU32(header + 4);
    if (Status s = detail::CheckBlockHeader(directory, block, size_of_block, reader.remaining()); !s.ok()) return s;
    const uint8_t* entries = nullptr;
    if (Status s = reader.Take(size_of_block - 8, entries); !s.ok()) return s;
    if (Status s = visit(block, page_rva, entries, size_t{(size_of_block - 8) / 2}); !s.ok()) return s;
  }
  return {};
}

template <typename Apply>
Status ForEachRelocation(const RelocationDirectory& directory, uint64_t block, uint32_t page_rva,
                         const uint8_t* entries, size_t count, Apply&& apply) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t entry = detail::LoadU16(entries + 2 * i);
    Relocation relocation{static_cast<uint8_t>(entry >> 12), uint64_t{page_rva} + (entry & 0xFFF), 0};
    if (relocation.type == kRelAbsolute) continue;
    if (RelocationWidth(relocation.type) == 0) return detail::UnsupportedType(directory, block, i, relocation.type);
    if (relocation.type == kRelHighAdj) {
      if (++i == count) {
        return detail::BlockError(directory, block, "HIGHADJ entry %u has no second entry",
                                  static_cast<uint32_t>(i - 1));
      }
      relocation.high_adj_low = static_cast<int16_t>(detail::LoadU16(entries + 2 * i));
    }
    if (Status s = apply(relocation); !s.ok()) return s;
  }
  return {};
}

}  // namespace peimage

#endif
