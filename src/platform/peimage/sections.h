#ifndef DORVANE_PEIMAGE_SECTIONS_H
#define DORVANE_PEIMAGE_SECTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.h"
#include "headers.h"

namespace peimage {

/// A section whose placement has been checked: the RVA range
/// [rva, rva + file_backed) is backed by file bytes starting at file_offset.
struct MappedSection {
  uint32_t rva = 0;
  uint32_t file_backed = 0;
  uint32_t file_offset = 0;
  /// The index of the first section of its stretch: sections next to each
  /// other in RVA order whose file data follow one another without a gap.
  /// Within a stretch, bytes lie in the file in RVA order, no further apart
  /// than their RVAs.
  uint32_t stretch = 0;

  /// Whether [at, at + length) lies in the file-backed bytes.
  bool Holds(uint64_t at, uint64_t length) const { return at >= rva && RangeInside(at - rva, length, file_backed); }
  /// The file offset of `at`, an RVA that Holds.
  uint64_t FileOffsetOf(uint64_t at) const { return uint64_t{file_offset} + (at - rva); }
};

/// Translates RVAs to file offsets for the bytes that the file really holds.
class SectionMap {
 public:
  /// Checks the section table of `headers` and builds the map.
  /// Errors (kBadSectionTable): a section whose raw data runs past the file,
  /// whose raw data overlaps the headers in the file, whose RVA range runs
  /// past SizeOfImage, that starts inside the headers, or whose RVA range or
  /// raw data overlaps another's.
  static Result<SectionMap> Build(const ImageHeaders& headers);

  /// The index of the section whose file-backed bytes hold all of
  /// [rva, rva + length); nothing for the headers, zero-filled tails, gaps
  /// and ranges that straddle two sections.
  std::optional<size_t> Find(uint64_t rva, uint64_t length) const;

  /// The section at `index`, one that Find returned.
  const MappedSection& section(size_t index) const { return sections_[index]; }
  size_t size() const { return sections_.size(); }

 private:
  std::vector<MappedSection> sections_;  // ascending, non-overlapping RVAs
  mutable size_t last_hit_ = 0;
};

}  // namespace peimage

#endif
