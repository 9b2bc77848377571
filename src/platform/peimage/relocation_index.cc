#include <algorithm>
#include <optional>
#include <string>

#include "relocations.h"
#include "target_overlaps.h"

namespace peimage {

namespace {

Error OutOfRange(const Relocation& r, const char* why) {
  return MakeError(ErrorCode::kRelocationOutOfRange, "relocation of type %u at RVA 0x%llX %s", r.type,
                   static_cast<unsigned long long>(r.rva), why);
}

Error TableChanged() {
  return MakeError(ErrorCode::kIoError, "the relocation table changed while it was being checked");
}

Error MappedTwice(const Relocation& r, uint64_t offset, const std::string& other) {
  return MakeError(ErrorCode::kBadSectionTable,
                   "relocation of type %u at RVA 0x%llX patches file offset 0x%llX, which the loader maps in %s too", r.type,
                   static_cast<unsigned long long>(r.rva), static_cast<unsigned long long>(offset), other.c_str());
}

// The targets of one block gathered by stretch of sections: a piece each.
// A target's stretch is found through a slot per stretch, without a search,
// however many sections the block's page spans.
class StretchGroups {
 public:
  explicit StretchGroups(const SectionMap& sections) : sections_(sections), slot_(sections.size()) {}

  void Clear() { groups_.clear(); }

  // Adds the target at file bytes [first, last) of section `index`.
  void Add(size_t index, uint64_t first, uint64_t last) {
    size_t stretch = sections_.section(index).stretch;
    uint32_t slot = slot_[stretch];
    if (slot < groups_.size() && groups_[slot].stretch == stretch) {
      Group& g = groups_[slot];
      if (first < g.first) {
        g.first = first;
        g.section = index;
      }
      g.last = std::max(g.last, last);
      return;
    }
    slot_[stretch] = static_cast<uint32_t>(groups_.size());
    groups_.push_back(Group{stretch, index, first, last});
  }

  // The pieces of the block at `block` in the table.
  template <typename Take>
  void ForEachPiece(uint64_t block, Take&& take) const {
    for (const Group& g : groups_) {
      take(RelocationPiece(g.first, static_cast<uint32_t>(block), static_cast<uint16_t>(g.section),
                           static_cast<uint32_t>(g.last - g.first), false));
    }
  }

 private:
  struct Group {
    size_t stretch;
    size_t section;  // that of the first target
    uint64_t first, last;
  };
  const SectionMap& sections_;
  std::vector<Group> groups_;
  std::vector<uint32_t> slot_;  // by stretch: its group, if that group is its
};

class Indexer {
 public:
  Indexer(RelocationTable& table, const SectionMap& sections)
      : table_(table), sections_(sections), groups_(sections), budget_(sections, table.directory()) {}

  Result<RelocationPieces> Run() {
    for (uint64_t offset = 0; offset < table_.size();) {
      Result<Block> block = table_.ReadBlock(offset);
      if (!block.ok()) return block.error();
      if (Status s = IndexBlock(block.value()); !s.ok()) return s.error();
      offset += block.value().size_of_block;
    }
    if (first_overlap_) return *first_overlap_;
    if (crossing_overlap_) return *crossing_overlap_;
    if (!in_order_) std::sort(pieces_.begin(), pieces_.end());
    if (Status s = CheckTargetsDisjoint(table_, sections_, pieces_, TableChanged); !s.ok()) return s.error();
    return std::move(pieces_);
  }

 private:
  // A uniform block whose targets lie in one section, away from the table,
  // is one piece, taken without a look at each entry.
  Status IndexBlock(const Block& block) {
    std::optional<UniformBlock> uniform = AsUniform(block.entries, block.entry_count());
    if (uniform && uniform->count == 0) return {};  // padding only
    if (uniform) {
      uint64_t rva = uint64_t{block.page_rva} + uniform->low;
      uint32_t length = uniform->high - uniform->low;
      std::optional<size_t> section = sections_.Find(rva, length);
      if (section) {
        uint64_t first = sections_.section(*section).FileOffsetOf(rva);
        if (!InTable(first, length) && !sections_.AlsoMapping(*section, first, length)) {
          budget_.Spend(*section, uint64_t{uniform->count} * RelocationWidth(uniform->type));
          Add(RelocationPiece(first, static_cast<uint32_t>(block.offset), static_cast<uint16_t>(*section), length, true));
          return Settle();
        }
      }
    }
    if (Status s = IndexEntries(block); !s.ok()) return s;
    return Settle();
  }

  // Entry by entry: a block of mixed types, or one whose targets come near
  // the table or leave a section, where the first faulty entry is reported.
  Status IndexEntries(const Block& block) {
    block_claims_.Restart(block.page_rva);
    groups_.Clear();
    Status s = ForEachRelocation(block, [&](const Relocation& r) -> Status {
      unsigned width = RelocationWidth(r.type);
      std::optional<size_t> section = sections_.Find(r.rva, width);
      if (!section) return OutOfRange(r, "has no file bytes behind it");
      uint64_t offset = sections_.section(*section).FileOffsetOf(r.rva);
      if (InTable(offset, width)) return OutOfRange(r, "lies inside the relocation table");
      if (std::optional<std::string> other = sections_.AlsoMapping(*section, offset, width)) {
        return MappedTwice(r, offset, *other);
      }
      // Reported once every other fault is ruled out, as two targets in one
      // byte are found only when all targets are known.
      if (!block_claims_.Claim(r.rva, width) && !first_overlap_) first_overlap_ = Overlap(r);
      budget_.Spend(*section, width);
      groups_.Add(*section, offset, offset + width);
      return {};
    });
    if (!s.ok()) return s;
    groups_.ForEachPiece(block.offset, [&](const RelocationPiece& piece) { Add(piece); });
    return {};
  }

  void Add(const RelocationPiece& piece) {
    if (settled_) return;
    in_order_ = in_order_ && (pieces_.empty() || !(piece < pieces_.back()));
    pieces_.push_back(piece);
  }

  // Once two targets are known to overlap, the pieces are let go and the
  // rest of the table is walked only for a fault to report first. An overlap
  // inside a block is known at once; one across blocks is looked for among
  // the pieces so far when their targets no longer fit their sections.
  Status Settle() {
    if (settled_ || (!first_overlap_ && !budget_.overfull())) return {};
    if (!first_overlap_) {
      if (!in_order_) std::sort(pieces_.begin(), pieces_.end());
      in_order_ = true;
      Status s = CheckTargetsDisjoint(table_, sections_, pieces_, TableChanged);
      // Targets that do not fit and yet do not overlap: the table read
      // differently the second time.
      if (s.ok()) return TableChanged();
      if (s.error().code != ErrorCode::kBadRelocationTable) return s;
      crossing_overlap_ = s.error();
    }
    settled_ = true;
    RelocationPieces().swap(pieces_);
    return {};
  }

  bool InTable(uint64_t offset, uint64_t length) const {
    const RelocationDirectory& table = table_.directory();
    return offset + length > table.file_offset && offset < table.file_offset + table.size;
  }

  RelocationTable& table_;
  const SectionMap& sections_;
  RelocationPieces pieces_;
  Claims block_claims_;  // the targets of the block being indexed
  StretchGroups groups_;
  RoomBudget budget_;
  bool in_order_ = true;
  bool settled_ = false;
  std::optional<Error> first_overlap_;     // inside a block, the first in table order
  std::optional<Error> crossing_overlap_;  // across blocks, found when they no longer fit
};

}  // namespace

Result<RelocationPieces> IndexRelocations(RelocationTable& table, const SectionMap& sections) {
  Indexer indexer(table, sections);
  return indexer.Run();
}

}  // namespace peimage
