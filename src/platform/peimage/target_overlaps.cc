#include "target_overlaps.h"

#include <algorithm>
#include <cstring>

namespace peimage {

void Claims::Restart(uint64_t origin) {
  std::memset(bits_, 0, sizeof bits_);
  origin_ = origin;
}

void Claims::SlideTo(uint64_t first) {
  if (first - origin_ >= 2 * kHalf) {
    Restart(first);
  } else if (first - origin_ >= kHalf) {
    std::memcpy(bits_, bits_ + kWords / 2, sizeof bits_ / 2);
    std::memset(bits_ + kWords / 2, 0, sizeof bits_ / 2);
    origin_ += kHalf;
  }
}

bool Claims::Claim(uint64_t at, unsigned width) {
  bool fresh = true;
  for (uint64_t bit = at - origin_; bit < at - origin_ + width; ++bit) {
    uint64_t mask = uint64_t{1} << (bit % 64);
    fresh = fresh && (bits_[bit / 64] & mask) == 0;
    bits_[bit / 64] |= mask;
  }
  return fresh;
}

RoomBudget::RoomBudget(const SectionMap& sections, const RelocationDirectory& table) : room_(sections.size()) {
  for (size_t i = 0; i < sections.size(); ++i) {
    const MappedSection& section = sections.section(i);
    uint64_t begin = std::max<uint64_t>(section.file_offset, table.file_offset);
    uint64_t end = std::min<uint64_t>(uint64_t{section.file_offset} + section.file_backed, table.file_offset + table.size);
    room_[i] = static_cast<uint32_t>(section.file_backed - (end > begin ? end - begin : 0));
  }
}

void RoomBudget::Spend(size_t index, uint64_t bytes) {
  if (room_[index] < bytes) {
    overfull_ = true;
  } else {
    room_[index] -= static_cast<uint32_t>(bytes);
  }
}

Error Overlap(const Relocation& r) {
  return MakeError(ErrorCode::kBadRelocationTable, "relocation of type %u at RVA 0x%llX overlaps another target",
                   r.type, static_cast<unsigned long long>(r.rva));
}

namespace {

Status ClaimTargets(RelocationTable& table, const SectionMap& sections, const RelocationPiece& piece,
                    Error (*changed)(), Claims& claims) {
  Result<Block> block = table.ReadBlock(piece.block());
  if (!block.ok()) return block.error();
  return ForEachTargetIn(sections, piece, block.value(), changed, [&](const Relocation& r, uint64_t offset) -> Status {
    return claims.Claim(offset, RelocationWidth(r.type)) ? Status() : Overlap(r);
  });
}

}  // namespace

Status CheckTargetsDisjoint(RelocationTable& table, const SectionMap& sections, const RelocationPieces& pieces,
                            Error (*changed)()) {
  Claims claims;
  uint64_t reach = 0;  // past the last byte of the pieces before
  for (size_t i = 0; i < pieces.size(); ++i) {
    const RelocationPiece& piece = pieces[i];
    bool overlaps = piece.first() < reach || (i + 1 < pieces.size() && pieces[i + 1].first() < piece.last());
    reach = std::max(reach, piece.last());
    if (!overlaps) continue;
    claims.SlideTo(piece.first());
    if (Status s = ClaimTargets(table, sections, piece, changed, claims); !s.ok()) return s;
  }
  return {};
}

}  // namespace peimage
