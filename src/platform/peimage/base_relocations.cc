#include "base_relocations.h"

#include <cstdio>

namespace peimage {

Result<std::optional<RelocationDirectory>> LocateRelocations(const ImageHeaders& headers,
                                                             const SectionMap& sections) {
  if (!headers.base_relocation_table || headers.base_relocation_table->size == 0) {
    return std::optional<RelocationDirectory>();
  }
  const DataDirectory& table = *headers.base_relocation_table;
  if (table.address == 0) {
    return MakeError(ErrorCode::kBadRelocationTable, "relocation directory of size 0x%X has RVA 0", table.size);
  }
  std::optional<uint64_t> offset = sections.FileOffset(table.address, table.size);
  if (!offset) {
    return MakeError(ErrorCode::kRelocationOutOfRange,
                     "relocation directory at RVA 0x%X (size 0x%X) is not inside one section's file data",
                     table.address, table.size);
  }
  return std::optional<RelocationDirectory>(RelocationDirectory{table.address, table.size, *offset});
}

Status ReadBlock(RelocationTable& table, uint64_t block, BlockHeader& header, const uint8_t*& entries) {
  using detail::BlockError;
  // Blocks follow each other with nothing between them; the loader takes
  // one on any even offset, and Go's linker writes them unpadded.
  uint64_t remaining = table.size() - block;
  if (remaining < 8) {
    return BlockError(table, block, "has only %u of its 8 header bytes inside the relocation directory",
                      static_cast<uint32_t>(remaining));
  }
  const uint8_t* bytes = nullptr;
  if (Status s = table.View(block, 8, bytes); !s.ok()) return s;
  header.page_rva = static_cast<uint32_t>(LoadLeFixed<4>(bytes));
  header.size_of_block = static_cast<uint32_t>(LoadLeFixed<4>(bytes + 4));
  uint32_t size = header.size_of_block;
  if (size < 8) return BlockError(table, block, "has SizeOfBlock %u, below 8", size);
  if (size % 2 != 0) return BlockError(table, block, "has SizeOfBlock %u, which is odd", size);
  if (size > kMaxSizeOfBlock) {
    return BlockError(table, block, "has SizeOfBlock %u, above the %u that one page can need", size, kMaxSizeOfBlock);
  }
  if (size - 8 > remaining - 8) {
    return BlockError(table, block, "has SizeOfBlock %u, past the %u bytes left in the relocation directory", size,
                      static_cast<uint32_t>(remaining));
  }
  return table.View(block + 8, size - 8, entries);
}

namespace detail {

Error BlockError(const RelocationTable& table, uint64_t block, const char* predicate, uint32_t value,
                 uint32_t other) {
  char said[160];
  std::snprintf(said, sizeof said, predicate, value, other);
  return MakeError(ErrorCode::kBadRelocationTable, "relocation block at RVA 0x%llX %s",
                   static_cast<unsigned long long>(table.directory().rva + block), said);
}

Error UnsupportedType(const RelocationTable& table, uint64_t block, size_t index, unsigned type) {
  return MakeError(ErrorCode::kUnsupportedRelocation, "relocation block at RVA 0x%llX has entry %zu of unsupported type %u",
                   static_cast<unsigned long long>(table.directory().rva + block), index, type);
}

}  // namespace detail

}  // namespace peimage
