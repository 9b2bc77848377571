#include "relocations.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

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

Error Overlap(const Relocation& r) {
  return MakeError(ErrorCode::kBadRelocationTable, "relocation of type %u at RVA 0x%llX overlaps another target",
                   r.type, static_cast<unsigned long long>(r.rva));
}

// Claims on bytes, a bit each, over a span from an origin: two targets
// overlap when one claims a byte the other has. The span holds a block's
// page, or a piece and the claims of the pieces before it in file order
// that can meet it.
class Claims {
 public:
  // Drops every claim; offsets count from `origin` from now on.
  void Restart(uint64_t origin) {
    std::memset(bits_, 0, sizeof bits_);
    origin_ = origin;
  }
  // Drops the claims before `first`, which is at or after the origin.
  void SlideTo(uint64_t first) {
    if (first - origin_ >= 2 * kHalf) {
      Restart(first);
    } else if (first - origin_ >= kHalf) {
      std::memcpy(bits_, bits_ + kWords / 2, sizeof bits_ / 2);
      std::memset(bits_ + kWords / 2, 0, sizeof bits_ / 2);
      origin_ += kHalf;
    }
  }
  // Claims [at, at + width), which lies in the span. False when one of its
  // bytes was claimed before.
  bool Claim(uint64_t at, unsigned width) {
    bool fresh = true;
    for (uint64_t bit = at - origin_; bit < at - origin_ + width; ++bit) {
      uint64_t mask = uint64_t{1} << (bit % 64);
      fresh = fresh && (bits_[bit / 64] & mask) == 0;
      bits_[bit / 64] |= mask;
    }
    return fresh;
  }

 private:
  static constexpr uint64_t kHalf = 8192;  // more than kMaxLength + the widest target
  static constexpr size_t kWords = 2 * kHalf / 64;
  uint64_t origin_ = 0;
  uint64_t bits_[kWords] = {};
};

class Indexer {
 public:
  Indexer(RelocationTable& table, const SectionMap& sections)
      : table_(table), sections_(sections), slot_(sections.size()), room_(sections.size()) {
    for (size_t i = 0; i < sections.size(); ++i) room_[i] = RoomIn(sections.section(i));
  }

  Result<RelocationPieces> Run() {
    for (uint64_t block = 0; block < table_.size();) {
      BlockHeader header;
      const uint8_t* entries = nullptr;
      if (Status s = table_.ReadBlock(block, header, entries); !s.ok()) return s.error();
      if (Status s = IndexBlock(block, header, entries); !s.ok()) return s.error();
      block += header.size_of_block;
    }
    if (first_overlap_) return *first_overlap_;
    if (crossing_overlap_) return *crossing_overlap_;
    if (!in_order_) std::sort(pieces_.begin(), pieces_.end());
    if (Status s = CheckTargetsDisjoint(); !s.ok()) return s.error();
    return std::move(pieces_);
  }

 private:
  // The targets a block has in one stretch of sections.
  struct Touched {
    size_t stretch;
    size_t section;  // that of the first target
    uint64_t first, last;
  };

  Status IndexBlock(uint64_t block, const BlockHeader& header, const uint8_t* entries) {
    std::optional<UniformBlock> uniform = AsUniform(entries, header.entry_count());
    if (uniform && uniform->count == 0) return {};  // padding only
    if (uniform) {
      uint64_t rva = uint64_t{header.page_rva} + uniform->low;
      uint32_t length = uniform->high - uniform->low;
      std::optional<size_t> section = sections_.Find(rva, length);
      if (section) {
        uint64_t first = sections_.section(*section).FileOffsetOf(rva);
        if (!InTable(first, length) && !sections_.AlsoMapping(*section, first, length)) {
          Spend(*section, uint64_t{uniform->count} * RelocationWidth(uniform->type));
          Add(RelocationPiece(first, static_cast<uint32_t>(block), static_cast<uint16_t>(*section), length, true));
          return Settle();
        }
      }
    }
    if (Status s = IndexEntries(block, header, entries); !s.ok()) return s;
    return Settle();
  }

  // Entry by entry: a block of mixed types, or one whose targets come near
  // the table or leave a section, where the first faulty entry is reported.
  Status IndexEntries(uint64_t block, const BlockHeader& header, const uint8_t* entries) {
    block_claims_.Restart(header.page_rva);
    touched_.clear();
    Status s = ForEachRelocation(table_, block, header, entries, [&](const Relocation& r) -> Status {
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
      Spend(*section, width);
      Touch(*section, offset, offset + width);
      return {};
    });
    if (!s.ok()) return s;
    for (const Touched& t : touched_) {
      Add(RelocationPiece(t.first, static_cast<uint32_t>(block), static_cast<uint16_t>(t.section),
                          static_cast<uint32_t>(t.last - t.first), false));
    }
    return {};
  }

  // The entry for the target's stretch is found through slot_, without a
  // search, however many sections the block's page spans.
  void Touch(size_t section, uint64_t first, uint64_t last) {
    size_t stretch = sections_.section(section).stretch;
    uint32_t slot = slot_[stretch];
    if (slot < touched_.size() && touched_[slot].stretch == stretch) {
      Touched& t = touched_[slot];
      if (first < t.first) {
        t.first = first;
        t.section = section;
      }
      t.last = std::max(t.last, last);
      return;
    }
    slot_[stretch] = static_cast<uint32_t>(touched_.size());
    touched_.push_back(Touched{stretch, section, first, last});
  }

  // Targets that do not overlap fit in the bytes of their sections outside
  // the table: once they need more, two of them overlap.
  uint32_t RoomIn(const MappedSection& section) const {
    const RelocationDirectory& table = table_.directory();
    uint64_t begin = std::max<uint64_t>(section.file_offset, table.file_offset);
    uint64_t end = std::min<uint64_t>(uint64_t{section.file_offset} + section.file_backed, table.file_offset + table.size);
    return static_cast<uint32_t>(section.file_backed - (end > begin ? end - begin : 0));
  }

  void Spend(size_t section, uint64_t bytes) {
    if (room_[section] < bytes) {
      overfull_ = true;
    } else {
      room_[section] -= static_cast<uint32_t>(bytes);
    }
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
    if (settled_ || (!first_overlap_ && !overfull_)) return {};
    if (!first_overlap_) {
      if (!in_order_) std::sort(pieces_.begin(), pieces_.end());
      in_order_ = true;
      Status s = CheckTargetsDisjoint();
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

  // Targets of different blocks can share a byte only where the blocks'
  // pieces overlap, which linkers never write; only the targets of such
  // pieces are claimed, in file order.
  Status CheckTargetsDisjoint() {
    Claims claims;
    uint64_t reach = 0;  // past the last byte of the pieces before
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const RelocationPiece& piece = pieces_[i];
      bool overlaps = piece.first() < reach || (i + 1 < pieces_.size() && pieces_[i + 1].first() < piece.last());
      reach = std::max(reach, piece.last());
      if (!overlaps) continue;
      claims.SlideTo(piece.first());
      if (Status s = ClaimTargets(piece, claims); !s.ok()) return s;
    }
    return {};
  }

  Status ClaimTargets(const RelocationPiece& piece, Claims& claims) {
    BlockHeader header;
    const uint8_t* entries = nullptr;
    if (Status s = table_.ReadBlock(piece.block(), header, entries); !s.ok()) return s;
    return ForEachTargetIn(table_, sections_, piece, header, entries, TableChanged,
                           [&](const Relocation& r, uint64_t offset) -> Status {
                             return claims.Claim(offset, RelocationWidth(r.type)) ? Status() : Overlap(r);
                           });
  }

  RelocationTable& table_;
  const SectionMap& sections_;
  RelocationPieces pieces_;
  Claims block_claims_;  // the targets of the block being indexed
  std::vector<Touched> touched_;
  std::vector<uint32_t> slot_;  // by stretch: its entry in touched_, if that entry is its
  std::vector<uint32_t> room_;  // by section: bytes not yet taken by a target
  bool in_order_ = true;
  bool overfull_ = false;
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
