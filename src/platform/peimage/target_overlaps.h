#ifndef DORVANE_PEIMAGE_TARGET_OVERLAPS_H
#define DORVANE_PEIMAGE_TARGET_OVERLAPS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "relocations.h"

namespace peimage {

/// Claims on bytes, a bit each, over a span from an origin: two targets
/// overlap when one claims a byte the other has. The span holds a block's
/// page, or a piece and the claims of the pieces before it in file order
/// that can meet it.
class Claims {
 public:
  /// Drops every claim; offsets count from `origin` from now on.
  void Restart(uint64_t origin);
  /// Drops the claims before `first`, which is at or after the origin.
  void SlideTo(uint64_t first);
  /// Claims [at, at + width), which lies in the span. False when one of its
  /// bytes was claimed before.
  bool Claim(uint64_t at, unsigned width);

 private:
  static constexpr uint64_t kHalf = 8192;  // more than kMaxLength + the widest target
  static constexpr size_t kWords = 2 * kHalf / 64;
  uint64_t origin_ = 0;
  uint64_t bits_[kWords] = {};
};

/// The bytes each section holds outside the relocation table, less those
/// its targets take: targets that do not overlap fit in them, so once they
/// need more, two of them overlap.
class RoomBudget {
 public:
  RoomBudget(const SectionMap& sections, const RelocationDirectory& table);
  /// Takes `bytes` of section `index`'s room.
  void Spend(size_t index, uint64_t bytes);
  /// Whether some section's targets needed more than its room.
  bool overfull() const { return overfull_; }

 private:
  std::vector<uint32_t> room_;  // by section
  bool overfull_ = false;
};

/// kBadRelocationTable: the target of `r` overlaps another.
Error Overlap(const Relocation& r);

/// Checks that no two targets of `pieces`, in file order, share a byte.
/// Targets of different blocks can only meet where their pieces overlap,
/// which linkers never write: only the targets of such pieces are claimed.
/// Errors: kBadRelocationTable (Overlap, the first in file order); those of
/// ReadBlock; `changed()` when the table no longer reads as it was indexed.
Status CheckTargetsDisjoint(RelocationTable& table, const SectionMap& sections, const RelocationPieces& pieces,
                            Error (*changed)());

}  // namespace peimage

#endif
