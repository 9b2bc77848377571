#include "relocation_index.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "base_relocations.h"
#include "block_shape.h"

namespace peimage {

namespace {

Error OutOfRange(const Relocation& r, const char* why) {
  return MakeError(ErrorCode::kRelocationOutOfRange, "relocation of type %u at RVA 0x%llX %s", r.type,
                   static_cast<unsigned long long>(r.rva), why);
}

Error Overlap(const Relocation& r) {
  return MakeError(ErrorCode::kBadRelocationTable, "relocation of type %u at RVA 0x%llX overlaps another target",
                   r.type, static_cast<unsigned long long>(r.rva));
}

/// Sets the `width` bits from bit `at`, a bit per byte of a target. False
/// when one of them was set before.
bool ClaimBits(uint64_t* bits, uint64_t at, unsigned width) {
  bool fresh = true;
  for (uint64_t bit = at; bit < at + width; ++bit) {
    uint64_t mask = uint64_t{1} << (bit % 64);
    fresh = fresh && (bits[bit / 64] & mask) == 0;
    bits[bit / 64] |= mask;
  }
  return fresh;
}

/// Claims on file bytes for pieces visited in file order. A piece's targets
/// lie within kMaxLength of its first byte, so the claims that can meet
/// them lie in a short stretch that slides along with the pieces.
class SlidingClaims {
 public:
  /// Drops the claims before `first`, the first byte of the next piece,
  /// which is at or after that of the last one.
  void MoveTo(uint64_t first) {
    if (first - origin_ >= 2 * kHalf) {
      std::memset(bits_, 0, sizeof bits_);
      origin_ = first;
    } else if (first - origin_ >= kHalf) {
      std::memcpy(bits_, bits_ + kWords / 2, sizeof bits_ / 2);
      std::memset(bits_ + kWords / 2, 0, sizeof bits_ / 2);
      origin_ += kHalf;
    }
  }
  /// Claims a target of the piece last moved to.
  bool Claim(uint64_t offset, unsigned width) { return ClaimBits(bits_, offset - origin_, width); }

 private:
  static constexpr uint64_t kHalf = 8192;  // more than kMaxLength + the widest target
  static constexpr size_t kWords = 2 * kHalf / 64;
  uint64_t origin_ = 0;
  uint64_t bits_[kWords] = {};
};

class Indexer {
 public:
  Indexer(RelocationTable& table, const SectionMap& sections) : table_(table), sections_(sections) {}

  Result<RelocationPieces> Run() {
    Status walk = WalkBlocks(table_, [&](uint64_t block, const BlockHeader& header, const uint8_t* entries) {
      return IndexBlock(block, header, entries);
    });
    if (!walk.ok()) return walk.error();
    if (first_overlap_) return *first_overlap_;
    if (!in_order_) std::sort(pieces_.begin(), pieces_.end());
    if (Status s = CheckTargetsDisjoint(); !s.ok()) return s.error();
    return std::move(pieces_);
  }

 private:
  struct Touched {
    size_t section;
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
        if (!InTable(first, length)) {
          Add(RelocationPiece(first, static_cast<uint32_t>(block), static_cast<uint16_t>(*section), length, true));
          return {};
        }
      }
    }
    return IndexEntries(block, header, entries);
  }

  // Entry by entry: a block of mixed types, or one whose targets come near
  // the table or leave a section, where the first faulty entry is reported.
  Status IndexEntries(uint64_t block, const BlockHeader& header, const uint8_t* entries) {
    uint64_t claimed[(RelocationPiece::kMaxLength + 63) / 64] = {};
    touched_.clear();
    Status s = ForEachRelocation(table_, block, header, entries, [&](const Relocation& r) -> Status {
      unsigned width = RelocationWidth(r.type);
      std::optional<size_t> section = sections_.Find(r.rva, width);
      if (!section) return OutOfRange(r, "has no file bytes behind it");
      uint64_t offset = sections_.section(*section).FileOffsetOf(r.rva);
      if (InTable(offset, width)) return OutOfRange(r, "lies inside the relocation table");
      // Reported once every other fault is ruled out, as two targets in one
      // byte are found only when all targets are known.
      if (!ClaimBits(claimed, r.rva - header.page_rva, width) && !first_overlap_) first_overlap_ = Overlap(r);
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

  void Touch(size_t section, uint64_t first, uint64_t last) {
    for (Touched& t : touched_) {
      if (t.section != section) continue;
      t.first = std::min(t.first, first);
      t.last = std::max(t.last, last);
      return;
    }
    touched_.push_back(Touched{section, first, last});
  }

  void Add(const RelocationPiece& piece) {
    in_order_ = in_order_ && (pieces_.empty() || !(piece < pieces_.back()));
    pieces_.push_back(piece);
  }

  bool InTable(uint64_t offset, uint64_t length) const {
    const RelocationDirectory& table = table_.directory();
    return offset + length > table.file_offset && offset < table.file_offset + table.size;
  }

  // Targets of different blocks can share a byte only where the blocks'
  // pieces overlap, which linkers never write; only the targets of such
  // pieces are claimed, in file order.
  Status CheckTargetsDisjoint() {
    SlidingClaims claims;
    uint64_t reach = 0;  // past the last byte of the pieces before
    for (size_t i = 0; i < pieces_.size(); ++i) {
      const RelocationPiece& piece = pieces_[i];
      bool overlaps = piece.first() < reach || (i + 1 < pieces_.size() && pieces_[i + 1].first() < piece.last());
      reach = std::max(reach, piece.last());
      if (!overlaps) continue;
      claims.MoveTo(piece.first());
      if (Status s = ClaimTargets(piece, claims); !s.ok()) return s;
    }
    return {};
  }

  Status ClaimTargets(const RelocationPiece& piece, SlidingClaims& claims) {
    const MappedSection& section = sections_.section(piece.section());
    BlockHeader header;
    const uint8_t* entries = nullptr;
    if (Status s = ReadBlock(table_, piece.block(), header, entries); !s.ok()) return s;
    return ForEachRelocation(table_, piece.block(), header, entries, [&](const Relocation& r) -> Status {
      unsigned width = RelocationWidth(r.type);
      if (!section.Holds(r.rva, width)) return {};  // another piece's
      if (!claims.Claim(section.FileOffsetOf(r.rva), width)) return Overlap(r);
      return {};
    });
  }

  RelocationTable& table_;
  const SectionMap& sections_;
  RelocationPieces pieces_;
  std::vector<Touched> touched_;
  bool in_order_ = true;
  std::optional<Error> first_overlap_;
};

}  // namespace

Result<RelocationPieces> IndexRelocations(RelocationTable& table, const SectionMap& sections) {
  Indexer indexer(table, sections);
  return indexer.Run();
}

}  // namespace peimage
