#ifndef DORVANE_PEIMAGE_RELOCATIONS_H
#define DORVANE_PEIMAGE_RELOCATIONS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "image_io.h"
#include "patch.h"
#include "sections.h"

namespace peimage {

/// The relocation directory, checked to lie inside one section's file data.
struct RelocationDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
  uint64_t file_offset = 0;
};

/// Finds the relocation directory. Nothing when the image has none (the
/// directory does not exist or its size is 0).
/// Errors: kInconsistentHeaders when NumberOfRvaAndSizes or
/// SizeOfOptionalHeader leaves out a directory that a loader reads at its
/// place all the same;
/// kBadRelocationTable for a nonzero size at RVA 0; kRelocationOutOfRange
/// when the directory is not inside the file-backed bytes of one section.
Result<std::optional<RelocationDirectory>> LocateRelocations(const ImageHeaders& headers, const SectionMap& sections);

/// The largest SizeOfBlock accepted. A block covers one 4 KiB page, so a
/// larger one can only hold overlapping targets or padding.
constexpr uint32_t kMaxSizeOfBlock = 8 + 2 * 0x8000;

/// A block as read from the table: where it lies, its header as stored and
/// its raw little-endian u16 entries, valid until the table is read again.
struct Block {
  uint64_t offset = 0;  // in the table
  uint64_t rva = 0;     // of its header, as messages name it
  uint32_t page_rva = 0;
  uint32_t size_of_block = 0;
  const uint8_t* entries = nullptr;
  size_t entry_count() const { return (size_of_block - 8) / 2; }
};

/// The blocks of a relocation table, read through the workspace's table
/// buffer: a table of up to kCapacity bytes once, a larger one in pieces
/// around the blocks asked for, larger while they come in order.
class RelocationTable {
 public:
  static constexpr size_t kCapacity = 256 * 1024;

  /// A reader of `directory`, which lies inside the file behind `io`.
  RelocationTable(ImageIo& io, const RelocationDirectory& directory, Workspace& workspace);

  const RelocationDirectory& directory() const { return directory_; }
  uint32_t size() const { return directory_.size; }

  /// Whether the table is in memory whole: every read sees the same bytes.
  bool held_whole() const { return capacity_ == directory_.size && held_length_ == directory_.size; }

  /// Reads and checks the block at `offset` in the table (even, but not
  /// always a multiple of 4). Errors: kBadRelocationTable (header cut short,
  /// SizeOfBlock below 8, odd, above kMaxSizeOfBlock or running past the
  /// table); kIoError.
  Result<Block> ReadBlock(uint64_t offset);

 private:
  Status View(uint64_t offset, size_t length, const uint8_t*& bytes);
  Status LoadAround(uint64_t offset, size_t length);
  Status Load(uint64_t offset, size_t length);

  ImageIo& io_;
  RelocationDirectory directory_;
  size_t capacity_;
  uint8_t* buffer_;  // not cleared: every byte is read before use
  uint64_t held_offset_ = 0;
  size_t held_length_ = 0;
  size_t read_size_;                // how much a miss reads
  uint64_t last_offset_ = 0;        // of the last View, for the direction
  uint64_t served_since_load_ = 0;  // bytes viewed of the last read, for its size
};

/// One relocation to apply: a type other than ABSOLUTE, the RVA it patches
/// and, for HIGHADJ, the low half taken from the entry it consumed.
struct Relocation {
  uint8_t type = 0;
  uint64_t rva = 0;
  uint16_t high_adj_low = 0;
};

/// kBadRelocationTable: "relocation block at RVA <block_rva> " and
/// `predicate`, formatted with `value` and `other`.
Error BlockError(uint64_t block_rva, const char* predicate, uint32_t value, uint32_t other = 0);

/// Calls `apply(relocation)` for each entry of `block` other than ABSOLUTE,
/// with HIGHADJ's second entry consumed; stops at the first error of `apply`.
/// Errors: kUnsupportedRelocation; kBadRelocationTable (a HIGHADJ without
/// the entry it consumes); those of `apply`.
template <typename Apply>
Status ForEachRelocation(const Block& block, Apply&& apply) {
  const size_t count = block.entry_count();
  for (size_t i = 0; i < count; ++i) {
    uint16_t entry = LoadLe<uint16_t>(block.entries + 2 * i);
    Relocation relocation{static_cast<uint8_t>(entry >> 12), uint64_t{block.page_rva} + (entry & 0xFFF), 0};
    if (relocation.type == kRelAbsolute) continue;
    if (RelocationWidth(relocation.type) == 0) {
      return MakeError(ErrorCode::kUnsupportedRelocation, "relocation block at RVA 0x%llX has entry %zu of unsupported type %u",
                       static_cast<unsigned long long>(block.rva), i, unsigned{relocation.type});
    }
    if (relocation.type == kRelHighAdj) {
      if (++i == count) {
        return BlockError(block.rva, "ends with HIGHADJ entry %u, without the entry that holds its low half",
                          static_cast<uint32_t>(i - 1));
      }
      relocation.high_adj_low = LoadLe<uint16_t>(block.entries + 2 * i);
    }
    if (Status s = apply(relocation); !s.ok()) return s;
  }
  return {};
}

/// The shape linkers give a block, checked and patched without a look at
/// each entry's type: targets of one type (not HIGHADJ) in ascending order
/// without overlap, then nothing but ABSOLUTE padding.
struct UniformBlock {
  unsigned type = 0;
  size_t count = 0;   // entries before the padding; 0 for padding only
  uint32_t low = 0;   // offset in the page of the first target byte
  uint32_t high = 0;  // offset in the page past the last target byte
};

/// The block's shape when its `count` entries are uniform; nothing otherwise.
std::optional<UniformBlock> AsUniform(const uint8_t* entries, size_t count);

/// The shape of a block already found uniform, read off its ends alone.
UniformBlock KnownUniform(const uint8_t* entries, size_t count);

/// The targets of one relocation block that lie in one stretch of sections
/// (see MappedSection::stretch), in 12 bytes: the unit in which a rebase
/// visits the file.
class RelocationPiece {
 public:
  static constexpr uint32_t kMaxLength = 0x1000 + 7;

  /// `first` lies below 2^34 (a section's raw data ends below 2^33), and
  /// `length` is at most kMaxLength.
  RelocationPiece(uint64_t first, uint32_t block, uint16_t section, uint32_t length, bool uniform)
      : block_(block),
        first_low_(static_cast<uint32_t>(first)),
        section_(section),
        packed_(static_cast<uint16_t>(length | (first >> 32) << kHighShift | (uniform ? kUniform : 0))) {}

  /// The file offset of the first byte its targets patch.
  uint64_t first() const { return first_low_ | uint64_t{(packed_ >> kHighShift) & 3u} << 32; }
  /// The file offset just past the last byte its targets patch.
  uint64_t last() const { return first() + length(); }
  uint32_t length() const { return packed_ & kLengthMask; }
  /// The offset of its block in the relocation table.
  uint32_t block() const { return block_; }
  /// The SectionMap index of the section that holds its first target.
  uint16_t section() const { return section_; }
  /// Whether its block is uniform (see AsUniform) and wholly in this piece.
  bool uniform() const { return (packed_ & kUniform) != 0; }

  bool operator<(const RelocationPiece& other) const {
    return first() != other.first() ? first() < other.first() : block_ < other.block_;
  }

 private:
  static constexpr uint16_t kLengthMask = 0x1FFF;
  static_assert(kMaxLength <= kLengthMask, "a length fits its bits");
  static constexpr unsigned kHighShift = 13;  // bits 32 and 33 of the first byte's offset
  static constexpr uint16_t kUniform = 0x8000;

  uint32_t block_;
  uint32_t first_low_;
  uint16_t section_;
  uint16_t packed_;  // the length, then the first byte's offset's high bits and the uniform flag
};
static_assert(sizeof(RelocationPiece) == 12, "pieces are what a large table's index is made of");

/// The pieces of a table, in file order. A deque grows without copying what
/// it holds, so that at no moment are the pieces held twice.
using RelocationPieces = std::deque<RelocationPiece>;

/// Checks every block and target of the relocation table and lists the
/// pieces in file order: every target has file bytes behind it in one
/// section, which no other section nor the headers map, away from the
/// table, and no two share a byte. Time: linear in
/// the entries but for a sort of a table out of order. Memory: 12 bytes a
/// piece, no more pieces than entries nor (but for one block's) than half
/// the sections' bytes outside the table, and some 50 bytes a section.
/// Errors, the first in table order, overlapping targets only after every
/// other fault: those of ReadBlock and ForEachRelocation;
/// kRelocationOutOfRange (a target with no file bytes behind it, or inside
/// the relocation table); kBadSectionTable (a target in file bytes that the
/// loader maps at another RVA too); kBadRelocationTable (two targets
/// overlap); kIoError.
Result<RelocationPieces> IndexRelocations(RelocationTable& table, const SectionMap& sections);

/// Calls `visit(relocation, offset)` for each target of `block`, the block
/// of `piece`, that lies in `piece`, with its file offset; the targets of
/// the block's other pieces are passed over.
/// Errors: those of ForEachRelocation and `visit`; `changed()` when a target
/// of the piece's stretch lies outside it: the table no longer reads as it
/// was indexed.
template <typename Visit>
Status ForEachTargetIn(const SectionMap& sections, const RelocationPiece& piece, const Block& block,
                       Error (*changed)(), Visit&& visit) {
  const MappedSection& home = sections.section(piece.section());
  const size_t next = piece.section() + size_t{1};
  // A stretch of one section holds no target outside it: no search.
  const bool alone = home.stretch == piece.section() &&
                     (next == sections.size() || sections.section(next).stretch != home.stretch);
  return ForEachRelocation(block, [&](const Relocation& r) -> Status {
    const unsigned width = RelocationWidth(r.type);
    std::optional<uint64_t> offset;
    if (home.Holds(r.rva, width)) {
      offset = home.FileOffsetOf(r.rva);
    } else if (std::optional<size_t> found = alone ? std::nullopt : sections.Find(r.rva, width);
               found && sections.section(*found).stretch == home.stretch) {
      offset = sections.section(*found).FileOffsetOf(r.rva);
    }
    if (!offset) return {};  // another piece's
    if (*offset < piece.first() || *offset + width > piece.last()) return changed();
    return visit(r, *offset);
  });
}

}  // namespace peimage

#endif
