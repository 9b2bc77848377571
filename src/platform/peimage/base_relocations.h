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
unsigned RelocationWidth(uint8_t type);

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

/// Walks every block of `directory` in file order and calls `visit` with each
/// relocation other than ABSOLUTE; `visit` returns a Status and the walk stops
/// at its first error.
/// Errors: kBadRelocationTable (a block header cut short, SizeOfBlock below 8,
/// odd, running past the directory, a block not on a 32-bit boundary, a
/// HIGHADJ without the entry it consumes); kUnsupportedRelocation (a type
/// other than the ones above); kIoError.
template <typename Visit>
Status WalkRelocations(ImageIo& io, const RelocationDirectory& directory, Visit&& visit);

// ---------------------------------------------------------------------------

namespace detail {
Error BlockError(const RelocationDirectory& directory, uint64_t block, const char* format, uint32_t value);
Status CheckBlockHeader(const RelocationDirectory& directory, uint64_t block, uint32_t size_of_block,
                        uint64_t remaining_after_header);
}  // namespace detail

template <typename Visit>
Status WalkRelocations(ImageIo& io, const RelocationDirectory& directory, Visit&& visit) {
  BufferedReader reader(io, directory.file_offset, directory.size);
  while (reader.remaining() != 0) {
    uint64_t block = reader.position();
    if (block % 4 != 0) return detail::BlockError(directory, block, "is not on a 32-bit boundary%.0u", 0);
    if (reader.remaining() < 8) {
      return detail::BlockError(directory, block, "header is cut short: %u bytes remain",
                                static_cast<uint32_t>(reader.remaining()));
    }
    uint32_t page_rva = 0, size_of_block = 0;
    if (Status s = reader.ReadU32(page_rva); !s.ok()) return s;
    if (Status s = reader.ReadU32(size_of_block); !s.ok()) return s;
    if (Status s = detail::CheckBlockHeader(directory, block, size_of_block, reader.remaining()); !s.ok()) return s;

    uint64_t entries = (size_of_block - 8) / 2;
    for (uint64_t i = 0; i < entries; ++i) {
      uint16_t entry = 0;
      if (Status s = reader.ReadU16(entry); !s.ok()) return s;
      Relocation relocation{static_cast<uint8_t>(entry >> 12), uint64_t{page_rva} + (entry & 0xFFF), 0};
      if (relocation.type == kRelAbsolute) continue;
      if (RelocationWidth(relocation.type) == 0) {
        return MakeError(ErrorCode::kUnsupportedRelocation,
                         "relocation block at RVA 0x%llX: entry %llu has unsupported type %u",
                         static_cast<unsigned long long>(directory.rva + block), static_cast<unsigned long long>(i),
                         relocation.type);
      }
      if (relocation.type == kRelHighAdj) {
        if (++i == entries) {
          return detail::BlockError(directory, block, "HIGHADJ entry %u has no second entry",
                                    static_cast<uint32_t>(i - 1));
        }
        uint16_t low = 0;
        if (Status s = reader.ReadU16(low); !s.ok()) return s;
        relocation.high_adj_low = static_cast<int16_t>(low);
      }
      if (Status s = visit(relocation); !s.ok()) return s;
    }
  }
  return {};
}

}  // namespace peimage

#endif
