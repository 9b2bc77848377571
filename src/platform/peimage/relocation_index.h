#ifndef DORVANE_PEIMAGE_RELOCATION_INDEX_H
#define DORVANE_PEIMAGE_RELOCATION_INDEX_H

#include <cstdint>
#include <deque>

#include "relocation_table.h"
#include "result.h"
#include "section_map.h"

namespace peimage {

/// The targets of one relocation block that lie in one section: the unit in
/// which a rebase visits the file. 16 bytes; a block has one piece, or one
/// per section when its page spans several.
class RelocationPiece {
 public:
  static constexpr uint32_t kMaxLength = 0x1000 + 7;

  RelocationPiece(uint64_t first, uint32_t block, uint16_t section, uint32_t length, bool uniform)
      : first_(first), block_(block), section_(section), length_(static_cast<uint16_t>(length | (uniform ? kUniform : 0))) {}

  /// The file offset of the first byte its targets patch.
  uint64_t first() const { return first_; }
  /// The file offset just past the last byte its targets patch.
  uint64_t last() const { return first_ + length(); }
  uint32_t length() const { return length_ & ~kUniform; }
  /// The offset of its block in the relocation table.
  uint32_t block() const { return block_; }
  /// The SectionMap index of the section that holds its targets.
  uint16_t section() const { return section_; }
  /// Whether its block is uniform (see AsUniform) and wholly in this piece.
  bool uniform() const { return (length_ & kUniform) != 0; }

  bool operator<(const RelocationPiece& other) const {
    return first_ != other.first_ ? first_ < other.first_ : block_ < other.block_;
  }

 private:
  static constexpr uint16_t kUniform = 0x8000;

  uint64_t first_;
  uint32_t block_;
  uint16_t section_;
  uint16_t length_;  // with the uniform flag in its top bit
};

/// The pieces of a table, in file order. A deque grows without copying what
/// it holds, so that at no moment are the pieces held twice.
using RelocationPieces = std::deque<RelocationPiece>;

/// Checks every block and every target of the relocation table, and lists
/// the pieces in file order, sorted only when the table is not in that order
/// already. Every target has file bytes behind it in one section, away from
/// the table itself, and no two targets share a byte.
/// Errors, the first in table order, overlapping targets only after every
/// other fault: those of WalkBlocks and ForEachRelocation;
/// kRelocationOutOfRange (a target with no file bytes behind it, or inside
/// the relocation table); kBadRelocationTable (two targets overlap); kIoError.
Result<RelocationPieces> IndexRelocations(RelocationTable& table, const SectionMap& sections);

}  // namespace peimage

#endif
