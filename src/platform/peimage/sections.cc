#include "sections.h"

#include <algorithm>

namespace peimage {

namespace {

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

bool MappedAsTheFileLies(const ImageHeaders& headers) { return headers.section_alignment < kPageSize; }

uint32_t MappedSize(const RawSection& s) { return s.virtual_size == 0 ? s.size_of_raw_data : s.virtual_size; }

// Where the loader starts to read the section's file data.
uint64_t RawStart(const ImageHeaders& headers, const RawSection& s) {
  if (MappedAsTheFileLies(headers)) return s.virtual_address;
  return s.pointer_to_raw_data / kLoaderSector * kLoaderSector;
}

// The bytes from RawStart that every loader takes from the file.
uint64_t FileBacked(const ImageHeaders& headers, const RawSection& s) {
  const uint64_t start = RawStart(headers, s);
  if (start >= headers.file_size) return 0;
  return std::min<uint64_t>(std::min(MappedSize(s), s.size_of_raw_data), headers.file_size - start);
}

// The furthest a loader may round the end of file data up to: the next
// multiple of 0x200, as Wine does, or of a larger FileAlignment.
uint64_t EndRounding(const ImageHeaders& headers) {
  return std::max<uint64_t>(kLoaderSector, headers.file_alignment);
}

// The bytes from RawStart that some loader may take from the file, within
// the section's VirtualSize: even with no SizeOfRawData, Wine maps those up
// to the next multiple of 0x200 from a PointerToRawData between two.
uint64_t MaybeFileBacked(const ImageHeaders& headers, const RawSection& s) {
  const uint64_t start = RawStart(headers, s);
  const uint64_t rounding = EndRounding(headers);
  const uint64_t read = std::max(AlignUp(uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data, rounding) - start,
                                 AlignUp(s.size_of_raw_data, rounding));
  const uint64_t in_file = start < headers.file_size ? headers.file_size - start : 0;
  return std::min<uint64_t>({read, MappedSize(s), in_file});
}

Status CheckPlacement(const ImageHeaders& headers, const RawSection& s) {
  // The loader reads zeros past the end of the file, up to the end of its
  // last 0x200 bytes, and refuses a section that needs more.
  uint64_t raw_end = uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data;
  if (s.size_of_raw_data != 0 && raw_end > AlignUp(headers.file_size, kLoaderSector)) {
    return MakeError(ErrorCode::kBadSectionTable,
                     "section '%s': PointerToRawData 0x%X + SizeOfRawData 0x%X runs past the end of the file (0x%llX)",
                     s.name, s.pointer_to_raw_data, s.size_of_raw_data,
                     static_cast<unsigned long long>(headers.file_size));
  }
  if (MappedAsTheFileLies(headers) && s.pointer_to_raw_data != s.virtual_address) {
    return MakeError(ErrorCode::kBadSectionTable,
                     "section '%s': PointerToRawData 0x%X is not its VirtualAddress 0x%X, as SectionAlignment 0x%X "
                     "below the page size needs",
                     s.name, s.pointer_to_raw_data, s.virtual_address, headers.section_alignment);
  }
  const uint64_t start = RawStart(headers, s);
  if (MaybeFileBacked(headers, s) != 0 && start < headers.headers_end) {
    return MakeError(ErrorCode::kBadSectionTable, "section '%s': raw data at file offset 0x%llX overlaps the headers",
                     s.name, static_cast<unsigned long long>(start));
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

}  // namespace

Result<SectionMap> SectionMap::Build(const ImageHeaders& headers) {
  if (MappedAsTheFileLies(headers) && headers.file_alignment != headers.section_alignment) {
    return MakeError(ErrorCode::kInconsistentHeaders,
                     "SectionAlignment 0x%X, below the page size, differs from FileAlignment 0x%X",
                     headers.section_alignment, headers.file_alignment);
  }
  SectionMap map;
  map.headers_ = &headers;
  uint64_t previous_end = 0;
  const char* previous_name = "";
  for (const RawSection& s : headers.sections) {
    if (Status placed = CheckPlacement(headers, s); !placed.ok()) return placed.error();
    if (s.virtual_address < previous_end) {
      return MakeError(ErrorCode::kBadSectionTable,
                       "section '%s' at RVA 0x%X lies below the end of section '%s' before it in the table (RVA 0x%llX)",
                       s.name, s.virtual_address, previous_name, static_cast<unsigned long long>(previous_end));
    }
    previous_end = uint64_t{s.virtual_address} + MappedSize(s);
    previous_name = s.name;
    MappedSection mapped{s.virtual_address, static_cast<uint32_t>(FileBacked(headers, s)),
                         static_cast<uint32_t>(RawStart(headers, s)), 0};
    size_t index = map.sections_.size();
    const MappedSection* before = index == 0 ? nullptr : &map.sections_.back();
    bool follows = before && uint64_t{before->file_offset} + before->file_backed == mapped.file_offset;
    mapped.stretch = follows ? before->stretch : static_cast<uint32_t>(index);
    map.sections_.push_back(mapped);
  }
  map.FindBytesMappedTwice();
  return map;
}

// Every stretch of file bytes that two mappers (sections, or the headers)
// may take, found in one pass over the mappers by where they start: a byte
// is mapped twice when it lies before the furthest end of those that start
// before it. Where the file is mapped as it lies, each byte has one RVA.
void SectionMap::FindBytesMappedTwice() {
  const ImageHeaders& headers = *headers_;
  shares_.assign(sections_.size(), false);
  if (MappedAsTheFileLies(headers)) return;
  struct Mapper {
    uint64_t first, last;
    uint32_t index;
  };
  std::vector<Mapper> mappers;
  mappers.reserve(sections_.size() + 1);
  mappers.push_back(
      Mapper{0, std::min<uint64_t>(AlignUp(headers.size_of_headers, EndRounding(headers)), headers.file_size), kHeaders});
  for (size_t i = 0; i < sections_.size(); ++i) {
    uint64_t length = MaybeFileBacked(headers, headers.sections[i]);
    if (length != 0) {
      mappers.push_back(Mapper{sections_[i].file_offset, sections_[i].file_offset + length, static_cast<uint32_t>(i)});
    }
  }
  std::sort(mappers.begin(), mappers.end(), [](const Mapper& a, const Mapper& b) { return a.first < b.first; });
  Mapper furthest{0, 0, kHeaders};
  for (const Mapper& m : mappers) {
    if (m.first < furthest.last) {
      uint64_t last = std::min(m.last, furthest.last);
      if (!twice_.empty() && m.first <= twice_.back().last) {
        twice_.back().last = std::max(twice_.back().last, last);
      } else {
        twice_.push_back(Twice{m.first, last, {furthest.index, m.index}});
      }
    }
    if (m.last > furthest.last) furthest = m;
  }
  for (size_t i = 0; i < sections_.size(); ++i) {
    const MappedSection& s = sections_[i];
    auto after = std::upper_bound(twice_.begin(), twice_.end(), uint64_t{s.file_offset},
                                  [](uint64_t offset, const Twice& t) { return offset < t.last; });
    shares_[i] = after != twice_.end() && after->first < uint64_t{s.file_offset} + s.file_backed;
  }
}

std::optional<std::string> SectionMap::OtherMapper(size_t index, uint64_t offset, uint64_t length) const {
  auto after = std::upper_bound(twice_.begin(), twice_.end(), offset,
                                [](uint64_t at, const Twice& t) { return at < t.last; });
  if (after == twice_.end() || after->first >= offset + length) return std::nullopt;
  return Describe(after->mapper[0] != index ? after->mapper[0] : after->mapper[1]);
}

std::string SectionMap::Describe(uint32_t mapper) const {
  if (mapper == kHeaders) return "the headers";
  return std::string("section '") + headers_->sections[mapper].name + "'";
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
