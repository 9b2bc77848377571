#ifndef DORVANE_PEIMAGE_RELOCATION_INDEX_H
#define DORVANE_PEIMAGE_RELOCATION_INDEX_H

#include <cstdint>
#include <deque>
#include <optional>

#include "error.h"
#include "relocations.h"
#include "sections.h"

namespace peimage {

/// The targets of one relocation block that lie in one stretch of sections
/// (see MappedSection::stretch): the unit in which a rebase visits the file.
/// 12 bytes; a block has one piece, or one per stretch when its page spans
/// sections whose file data lie apart.
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

/// Checks every block and every target of the relocation table, and lists
/// the pieces in file order, sorted only when the table is not in that order
/// already. Every target has file bytes behind it in one section, away from
/// the table itself, and no two targets share a byte. Time: linear in the
/// entries, but for the sort, whatever the sections a page spans. Memory: 12
/// bytes a piece, and some 50 a section. As soon as targets need more bytes
/// than their section holds, or two targets of a block overlap, the pieces
/// are let go and the rest of the table is only checked: there are never
/// more pieces than the table has entries, nor (but for one block's) than
/// half the sections' bytes outside the table.
/// Errors, the first in table order, overlapping targets only after every
/// other fault: those of ReadBlock and ForEachRelocation;
/// kRelocationOutOfRange (a target with no file bytes behind it, or inside
/// the relocation table); kBadRelocationTable (two targets overlap); kIoError.
Result<RelocationPieces> IndexRelocations(RelocationTable& table, const SectionMap& sections);

/// The file offset of a target [rva, rva + width) of the block of `piece`
/// when it belongs to `piece`: it has file bytes in a section of the piece's
/// stretch. Nothing for a target of another piece of the block.
inline std::optional<uint64_t> OffsetInPiece(const SectionMap& sections, const RelocationPiece& piece, uint64_t rva,
                                             unsigned width) {
  const MappedSection& home = sections.section(piece.section());
  if (home.Holds(rva, width)) return home.FileOffsetOf(rva);
  size_t next = piece.section() + size_t{1};
  bool alone = home.stretch == piece.section() && (next == sections.size() || sections.section(next).stretch != home.stretch);
  if (alone) return std::nullopt;  // a stretch of one section: no search
  std::optional<size_t> found = sections.Find(rva, width);
  if (!found || sections.section(*found).stretch != home.stretch) return std::nullopt;
  return sections.section(*found).FileOffsetOf(rva);
}

}  // namespace peimage

#endif
