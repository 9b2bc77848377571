#ifndef DORVANE_PEIMAGE_SECTION_MAP_H
#define DORVANE_PEIMAGE_SECTION_MAP_H

#include <cstdint>
#include <optional>
#include <vector>

#include "headers.h"
#include "result.h"

namespace peimage {

/// A section whose placement has been checked: the RVA range
/// [rva, rva + file_backed) is backed by file bytes starting at file_offset.
struct MappedSection {
  uint32_t rva = 0;
  uint32_t file_backed = 0;
  uint32_t file_offset = 0;
};

/// Translates RVAs to file offsets for the bytes that the file really holds.
class SectionMap {
 public:
  /// Checks the section table of `headers` and builds the map.
  /// Errors (kBadSectionTable): a section whose raw data runs past the file,
  /// whose raw data overlaps the headers in the file, whose RVA range runs past
  /// SizeOfImage, that starts inside the headers, or whose RVA range or raw data overlaps another's.
  static Result<SectionMap> Build(const ImageHeaders& headers);

  /// The file offset of [rva, rva + length) when the whole range lies in the
  /// file-backed bytes of one section; nothing otherwise (headers, zero-filled
  /// tails, gaps, ranges that straddle two sections).
  std::optional<uint64_t> FileOffset(uint64_t rva, uint64_t length) const;

 private:
  std::vector<MappedSection> sections_;  // ascending, non-overlapping RVAs
  mutable size_t last_hit_ = 0;
};

}  // namespace peimage

#endif
