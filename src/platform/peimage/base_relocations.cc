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

namespace detail {

Error BlockError(const RelocationDirectory& directory, uint64_t block, const char* format, uint32_t value) {
  char detail[160];
  std::snprintf(detail, sizeof detail, format, value);
  return MakeError(ErrorCode::kBadRelocationTable, "relocation block at RVA 0x%llX: %s",
                   static_cast<unsigned long long>(directory.rva + block), detail);
}

Status CheckBlockHeader(const RelocationDirectory& directory, uint64_t block, uint32_t size_of_block,
                        uint64_t remaining_after_header) {
  if (size_of_block < 8) return BlockError(directory, block, "SizeOfBlock %u is below 8", size_of_block);
  if (size_of_block % 2 != 0) return BlockError(directory, block, "SizeOfBlock %u is odd", size_of_block);
  if (size_of_block > kMaxSizeOfBlock) {
    return BlockError(directory, block, "SizeOfBlock %u is above the largest a page can need", size_of_block);
  }
  if (size_of_block - 8 > remaining_after_header) {
    return BlockError(directory, block, "SizeOfBlock %u runs past the end of the relocation directory",
                      size_of_block);
  }
  return {};
}

Error UnsupportedType(const RelocationDirectory& directory, uint64_t block, size_t index, unsigned type) {
  return MakeError(ErrorCode::kUnsupportedRelocation, "relocation block at RVA 0x%llX: entry %zu has unsupported type %u",
                   static_cast<unsigned long long>(directory.rva + block), index, type);
}

}  // namespace detail

}  // namespace peimage
