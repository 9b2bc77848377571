#include "sections.h"

#include <algorithm>

namespace peimage {

namespace {

uint32_t FileBackedSize(const RawSection& s) {
  if (s.virtual_size == 0) return s.size_of_raw_data;
  return std::min(s.virtual_size, s.size_of_raw_data);
}

uint32_t MappedSize(const RawSection& s) { return s.virtual_size == 0 ? s.size_of_raw_data : s.virtual_size; }

Status CheckPlacement(const ImageHeaders& headers, const RawSection& s) {
  uint64_t raw_end = uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data;
  if (s.size_of_raw_data != 0 && raw_end > headers.file_size) {
    return MakeError(ErrorCode::kBadSectionTable,
                     "section '%s': PointerToRawData 0x%X + SizeOfRawData 0x%X runs past the end of the file (0x%llX)",
                     s.name, s.pointer_to_raw_data, s.size_of_raw_data,
                     static_cast<unsigned long long>(headers.file_size));
  }
  if (FileBackedSize(s) != 0 && s.pointer_to_raw_data < headers.headers_end) {
    return MakeError(ErrorCode::kBadSectionTable, "section '%s': raw data at file offset 0x%X overlaps the headers",
                     s.name, s.pointer_to_raw_data);
  }
  uint64_t rva_end = uint64_t{s.virtual_address} + MappedSize(s);
  if (rva_end > headers.size_of_image) {
    return MakeError(ErrorCode::kBadSectionTable,
                     "section '%s': VirtualAddress 0x%X + size 0x%X runs past SizeOfImage 0x%X", s.name,
                     s.virtual_address, MappedSize(s), headers.size_of_image);
  }
  if (s.virtual_address < headers.size_of_headers || s.virtual_address < headers.headers_end) {
    return MakeError(ErrorCode::kBadSectionTable, "section '%s': VirtualAddress 0x%X lies inside the headers", s.name,
                     s.virtual_address);
  }
  return {};
}

Status CheckRawDataDisjoint(const ImageHeaders& headers) {
  std::vector<const RawSection*> backed;
  for (const RawSection& s : headers.sections)
    if (FileBackedSize(s) != 0) backed.push_back(&s);
  std::sort(backed.begin(), backed.end(), [](const RawSection* a, const RawSection* b) {
    return a->pointer_to_raw_data < b->pointer_to_raw_data;
  });
  for (size_t i = 1; i < backed.size(); ++i) {
    const RawSection& prev = *backed[i - 1];
    if (uint64_t{prev.pointer_to_raw_data} + FileBackedSize(prev) > backed[i]->pointer_to_raw_data) {
      return MakeError(ErrorCode::kBadSectionTable, "sections '%s' and '%s' share raw data at file offset 0x%X",
                       prev.name, backed[i]->name, backed[i]->pointer_to_raw_data);
    }
  }
  return {};
}

}  // namespace

Result<SectionMap> SectionMap::Build(const ImageHeaders& headers) {
  SectionMap map;
  uint64_t previous_end = 0;
  const char* previous_name = "";
  for (const RawSection& s : headers.sections) {
    if (Status placed = CheckPlacement(headers, s); !placed.ok()) return placed.error();
    if (s.virtual_address < previous_end) {
      return MakeError(ErrorCode::kBadSectionTable, "section '%s' at RVA 0x%X overlaps section '%s'", s.name,
                       s.virtual_address, previous_name);
    }
    previous_end = uint64_t{s.virtual_address} + MappedSize(s);
    previous_name = s.name;
    MappedSection mapped{s.virtual_address, FileBackedSize(s), s.pointer_to_raw_data, 0};
    size_t index = map.sections_.size();
    const MappedSection* before = index == 0 ? nullptr : &map.sections_.back();
    bool follows = before && uint64_t{before->file_offset} + before->file_backed == mapped.file_offset;
    mapped.stretch = follows ? before->stretch : static_cast<uint32_t>(index);
    map.sections_.push_back(mapped);
  }
  if (Status disjoint = CheckRawDataDisjoint(headers); !disjoint.ok()) return disjoint.error();
  return map;
}

std::optional<size_t> SectionMap::Find(uint64_t rva, uint64_t length) const {
  // Targets come mostly in RVA order: the section of the last one, or the next.
  for (size_t near = last_hit_; near < sections_.size() && near <= last_hit_ + 1; ++near) {
    if (sections_[near].Holds(rva, length)) return last_hit_ = near;
  }
  auto after = std::upper_bound(sections_.begin(), sections_.end(), rva,
                                [](uint64_t value, const MappedSection& s) { return value < s.rva; });
  if (after == sections_.begin() || !(after - 1)->Holds(rva, length)) return std::nullopt;
  last_hit_ = static_cast<size_t>(after - 1 - sections_.begin());
  return last_hit_;
}

}  // namespace peimage
