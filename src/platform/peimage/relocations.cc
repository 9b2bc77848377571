#include "relocations.h"

#include <algorithm>
#include <cstdio>

namespace peimage {

namespace {
// The smallest read of a table that is walked out of order.
constexpr size_t kMinRead = 4 * 1024;

unsigned EntryAt(const uint8_t* entries, size_t i) { return LoadLe<uint16_t>(entries + 2 * i); }
}  // namespace

Result<std::optional<RelocationDirectory>> LocateRelocations(const ImageHeaders& headers,
                                                             const SectionMap& sections) {
  const DataDirectory& unread = headers.unread_relocations;
  if (unread.address != 0 || unread.size != 0) {
    return MakeError(ErrorCode::kInconsistentHeaders,
                     "the base relocation directory (RVA 0x%X, size 0x%X) lies past NumberOfRvaAndSizes %u or "
                     "SizeOfOptionalHeader %u, where a loader reads it all the same",
                     unread.address, unread.size, headers.number_of_rva_and_sizes, headers.size_of_optional_header);
  }
  const DataDirectory& table = headers.directories[kBaseRelocationDirectory];
  if (table.size == 0) return std::optional<RelocationDirectory>();
  if (table.address == 0) {
    return MakeError(ErrorCode::kBadRelocationTable, "relocation directory of size 0x%X has RVA 0", table.size);
  }
  std::optional<size_t> section = sections.Find(table.address, table.size);
  if (!section) {
    return MakeError(ErrorCode::kRelocationOutOfRange,
                     "relocation directory at RVA 0x%X (size 0x%X) is not inside one section's file data",
                     table.address, table.size);
  }
  return std::optional<RelocationDirectory>(
      RelocationDirectory{table.address, table.size, sections.section(*section).FileOffsetOf(table.address)});
}

RelocationTable::RelocationTable(ImageIo& io, const RelocationDirectory& directory, Workspace& workspace)
    : io_(io),
      directory_(directory),
      capacity_(std::min<size_t>(kCapacity, directory.size)),
      buffer_(workspace.Table(capacity_)),
      read_size_(capacity_) {}

Result<Block> RelocationTable::ReadBlock(uint64_t offset) {
  // Blocks follow each other with nothing between them; the loader takes
  // one on any even offset, and Go's linker writes them unpadded.
  const uint64_t rva = directory_.rva + offset;
  uint64_t remaining = size() - offset;
  if (remaining < 8) {
    return BlockError(rva, "has only %u of its 8 header bytes inside the relocation directory",
                      static_cast<uint32_t>(remaining));
  }
  const uint8_t* bytes = nullptr;
  if (Status s = View(offset, 8, bytes); !s.ok()) return s.error();
  Block block{offset, rva, LoadLe<uint32_t>(bytes), LoadLe<uint32_t>(bytes + 4), nullptr};
  uint32_t size = block.size_of_block;
  if (size < 8) return BlockError(rva, "has SizeOfBlock %u, below 8", size);
  if (size % 2 != 0) return BlockError(rva, "has SizeOfBlock %u, which is odd", size);
  if (size > kMaxSizeOfBlock) {
    return BlockError(rva, "has SizeOfBlock %u, above the %u that one page can need", size, kMaxSizeOfBlock);
  }
  if (size - 8 > remaining - 8) {
    return BlockError(rva, "has SizeOfBlock %u, past the %u bytes left in the relocation directory", size,
                      static_cast<uint32_t>(remaining));
  }
  if (Status s = View(offset + 8, size - 8, block.entries); !s.ok()) return s.error();
  return block;
}

Status RelocationTable::View(uint64_t offset, size_t length, const uint8_t*& bytes) {
  bool held = offset >= held_offset_ && RangeInside(offset - held_offset_, length, held_length_);
  if (!held) {
    Status loaded = capacity_ == directory_.size ? Load(0, capacity_) : LoadAround(offset, length);
    if (!loaded.ok()) return loaded;
  }
  served_since_load_ += length;
  last_offset_ = offset;
  bytes = buffer_ + (offset - held_offset_);
  return {};
}

Status RelocationTable::LoadAround(uint64_t offset, size_t length) {
  // A read of which little was used was too large for the order the views
  // come in; one used well could have been larger.
  if (served_since_load_ < held_length_ / 4) read_size_ = std::max(read_size_ / 2, kMinRead);
  if (served_since_load_ >= held_length_ / 2) read_size_ = std::min(read_size_ * 2, capacity_);
  size_t wanted = std::min(capacity_, std::max(read_size_, length));
  uint64_t start = offset;
  if (offset < last_offset_) {
    // Going backwards, the read ends a little past the request, so that it
    // holds the rest of a block whose header was asked for.
    size_t tail = std::min({size_t{kMaxSizeOfBlock}, wanted / 4, wanted - length});
    uint64_t end = std::min<uint64_t>(directory_.size, offset + length + tail);
    start = end - std::min<uint64_t>(end, wanted);
  }
  return Load(std::min<uint64_t>(start, directory_.size - wanted), wanted);
}

Status RelocationTable::Load(uint64_t offset, size_t length) {
  held_length_ = 0;
  if (Status read = io_.Read(directory_.file_offset + offset, buffer_, length); !read.ok()) return read;
  held_offset_ = offset;
  held_length_ = length;
  served_since_load_ = 0;
  return {};
}

Error BlockError(uint64_t block_rva, const char* predicate, uint32_t value, uint32_t other) {
  char said[160];
  std::snprintf(said, sizeof said, predicate, value, other);
  return MakeError(ErrorCode::kBadRelocationTable, "relocation block at RVA 0x%llX %s",
                   static_cast<unsigned long long>(block_rva), said);
}

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
