#ifndef DORVANE_PEIMAGE_SECTIONS_H
#define DORVANE_PEIMAGE_SECTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "headers.h"

namespace peimage {

/// The loader's page: an image whose SectionAlignment is below it is mapped
/// as the file lies.
constexpr uint32_t kPageSize = 0x1000;
/// The loader reads a section's file data from its PointerToRawData rounded
/// down to a multiple of this.
constexpr uint32_t kLoaderSector = 0x200;

/// A section as the loader maps it, once its placement has been checked:
/// the RVA range [rva, rva + file_backed) holds the file bytes from
/// file_offset on, whichever loader maps the image.
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

/// The image as the loader maps it: RVAs to file offsets for the bytes that
/// every loader takes from the file, and the file bytes that it maps at two
/// RVAs.
///
/// With a SectionAlignment of the page size or more, a section's bytes come
/// from its PointerToRawData rounded down to a multiple of 0x200, for
/// min(VirtualSize, SizeOfRawData) bytes (a VirtualSize of 0 stands for
/// SizeOfRawData); what lies past the end of the file reads as zeros. Past
/// SizeOfRawData the loaders differ: Wine reads on to the next multiple of
/// 0x200 (with a SizeOfRawData of 0 too), Windows may read to one of
/// FileAlignment. Those bytes are no section's own and no target may lie in
/// them, but they count as mapped.
/// Below the page size the file is mapped as it lies: each section's
/// PointerToRawData must be its RVA, and FileAlignment must equal
/// SectionAlignment. The headers are mapped at RVA 0 for SizeOfHeaders
/// bytes. What a section maps past its VirtualSize (its slack) is no part
/// of it.
class SectionMap {
 public:
  /// Checks the section table of `headers` and builds the map; `headers`
  /// must outlive it. Section i of the map is entry i of the table.
  /// Errors: kInconsistentHeaders (a SectionAlignment below the page size
  /// with another FileAlignment); kBadSectionTable (a section whose raw data
  /// run past the end of the file by more than its last 0x200 bytes, whose
  /// file data overlap the header fields, whose RVA range runs past
  /// SizeOfImage, that starts inside the headers, whose RVA range overlaps
  /// another's, or that lies elsewhere in the file than at its RVA where the
  /// file is mapped as it lies).
  static Result<SectionMap> Build(const ImageHeaders& headers);

  /// The index of the section whose file-backed bytes hold all of
  /// [rva, rva + length); nothing for the headers, zero-filled tails, gaps
  /// and ranges that straddle two sections.
  std::optional<size_t> Find(uint64_t rva, uint64_t length) const;

  /// The section at `index`, one that Find returned.
  const MappedSection& section(size_t index) const { return sections_[index]; }
  /// The section table's entry for the section at `index`.
  const RawSection& entry(size_t index) const { return headers_->sections[index]; }
  size_t size() const { return sections_.size(); }

  /// Nothing when no one but section `index` maps any of the file bytes
  /// [offset, offset + length), which it holds; otherwise who else maps
  /// them: "section '.rdata'" or "the headers".
  std::optional<std::string> AlsoMapping(size_t index, uint64_t offset, uint64_t length) const {
    if (!shares_[index]) return std::nullopt;  // what nearly every image's sections do
    return OtherMapper(index, offset, length);
  }

 private:
  // File bytes that the loader maps at two RVAs, and two of their mappers.
  struct Twice {
    uint64_t first, last;
    uint32_t mapper[2];  // section indices; kHeaders for the headers
  };
  static constexpr uint32_t kHeaders = UINT32_MAX;

  void FindBytesMappedTwice();
  std::optional<std::string> OtherMapper(size_t index, uint64_t offset, uint64_t length) const;
  std::string Describe(uint32_t mapper) const;

  const ImageHeaders* headers_ = nullptr;
  std::vector<MappedSection> sections_;  // ascending, non-overlapping RVAs
  std::vector<Twice> twice_;             // ascending, disjoint
  std::vector<bool> shares_;             // by section: whether it holds bytes of twice_
  mutable size_t last_hit_ = 0;
};

}  // namespace peimage

#endif
