#ifndef DORVANE_PEIMAGE_BASE_RELOCATIONS_H
#define DORVANE_PEIMAGE_BASE_RELOCATIONS_H

#include <cstdint>
#include <optional>

#include "headers.h"
#include "little_endian.h"
#include "relocation_patch.h"
#include "relocation_table.h"
#include "result.h"
#include "section_map.h"

namespace peimage {

/// One relocation to apply: a type other than ABSOLUTE, the RVA it patches
/// and, for HIGHADJ, the low half taken from the entry it consumed.
struct Relocation {
  uint8_t type = 0;
  uint64_t rva = 0;
  uint16_t high_adj_low = 0;
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
static_assert(kMaxSizeOfBlock <= RelocationTable::kMaxView, "a block fits one view of the table");

/// A block's header, as stored.
struct BlockHeader {
  uint32_t page_rva = 0;
  uint32_t size_of_block = 0;
  size_t entry_count() const { return (size_of_block - 8) / 2; }
};

/// Reads and checks the header of the block at `block` (an offset in the
/// table, even but not always a multiple of 4) and points `entries` at its raw
/// little-endian u16 entries, valid until the table's next View. Errors:
/// kBadRelocationTable (header cut short, SizeOfBlock below 8, odd, above
/// kMaxSizeOfBlock or running past the table); kIoError.
Status ReadBlock(RelocationTable& table, uint64_t block, BlockHeader& header, const uint8_t*& entries);

/// Walks every block of `table` in table order and calls
/// `visit(block, header, entries)` (block: its offset in the table; entries:
/// its raw little-endian u16 entries, valid during the call); `visit`
/// returns a Status and the walk stops at its first error.
/// Errors: those of ReadBlock.
template <typename Visit>
Status WalkBlocks(RelocationTable& table, Visit&& visit);

/// Calls `apply(relocation)` for each entry of a block other than ABSOLUTE,
/// with HIGHADJ's second entry consumed; stops at the first error of `apply`.
/// Errors (block: the block's offset in the table, for the message):
/// kUnsupportedRelocation; kBadRelocationTable (a HIGHADJ without the entry
/// it consumes); those of `apply`.
template <typename Apply>
Status ForEachRelocation(const RelocationTable& table, uint64_t block, const BlockHeader& header,
                         const uint8_t* entries, Apply&& apply);

// ---------------------------------------------------------------------------

namespace detail {
/// kBadRelocationTable: "relocation block at RVA <its RVA> " and
/// `predicate`, formatted with `value` and `other`.
Error BlockError(const RelocationTable& table, uint64_t block, const char* predicate, uint32_t value,
                 uint32_t other = 0);
Error UnsupportedType(const RelocationTable& table, uint64_t block, size_t index, unsigned type);
}  // namespace detail

template <typename Visit>
Status WalkBlocks(RelocationTable& table, Visit&& visit) {
  for (uint64_t block = 0; block < table.size();) {
    BlockHeader header;
    const uint8_t* entries = nullptr;
    if (Status s = ReadBlock(table, block, header, entries); !s.ok()) return s;
    if (Status s = visit(block, header, entries); !s.ok()) return s;
    block += header.size_of_block;
  }
  return {};
}

template <typename Apply>
Status ForEachRelocation(const RelocationTable& table, uint64_t block, const BlockHeader& header,
                         const uint8_t* entries, Apply&& apply) {
  const size_t count = header.entry_count();
  for (size_t i = 0; i < count; ++i) {
    uint16_t entry = LoadLe16(entries + 2 * i);
    Relocation relocation{static_cast<uint8_t>(entry >> 12), uint64_t{header.page_rva} + (entry & 0xFFF), 0};
    if (relocation.type == kRelAbsolute) continue;
    if (RelocationWidth(relocation.type) == 0) return detail::UnsupportedType(table, block, i, relocation.type);
    if (relocation.type == kRelHighAdj) {
      if (++i == count) {
        return detail::BlockError(table, block, "ends with HIGHADJ entry %u, without the entry that holds its low half",
                                  static_cast<uint32_t>(i - 1));
      }
      relocation.high_adj_low = LoadLe16(entries + 2 * i);
    }
    if (Status s = apply(relocation); !s.ok()) return s;
  }
  return {};
}

}  // namespace peimage

#endif
