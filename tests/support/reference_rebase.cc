#include "support/reference_rebase.h"

#include <algorithm>
#include <cstring>

#include "support/image_builder.h"

namespace testing_support {

namespace {

using peimage::ErrorCode;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t k64KiB = 0x10000;

struct Target {
  unsigned type;
  uint64_t offset;  // in the file
  unsigned width;
  uint16_t high_adj_low;
};

unsigned WidthOf(unsigned type) {
  switch (type) {
    case 1:
    case 2:
    case 4:
      return 2;
    case 3:
      return 4;
    case 10:
      return 8;
    default:
      return 0;
  }
}

ReferenceOutcome Refused(ErrorCode code, const Bytes& image) { return ReferenceOutcome{code, image}; }

// The reference's own reading of the headers: file offsets of the NT
// headers, the optional header and the section table, and the fields used.
struct Headers {
  uint64_t nt, optional, optional_size, image_base_field, sections_at, sections, directory_count;
  bool pe32_plus;
  uint64_t image_base, size_of_image, size_of_headers, checksum, headers_end;
  uint64_t section_alignment, file_alignment;
  // Nonzero when the base relocation directory's entry at its place holds
  // something that NumberOfRvaAndSizes or SizeOfOptionalHeader leaves out.
  uint64_t unlisted_relocations;
  uint64_t Directory(unsigned index, unsigned half, const Bytes& image) const {
    return index < directory_count ? ReadLe(image, optional + (pe32_plus ? 112 : 96) + 8 * index + 4 * half, 4) : 0;
  }
};

// The headers as a rebase reads them, or the code it refuses them with.
std::optional<ErrorCode> ReadHeaders(const Bytes& image, Headers& h) {
  const uint64_t size = image.size();
  if (size < 2 || image[0] != 'M' || image[1] != 'Z') return ErrorCode::kNotPeImage;
  if (size < 64) return ErrorCode::kTruncatedHeaders;
  h.nt = ReadLe(image, 0x3C, 4);
  if (h.nt + 4 > size || ReadLe(image, h.nt, 4) != 0x4550) return ErrorCode::kNotPeImage;
  h.optional = h.nt + 24;
  if (h.optional + 2 > size) return ErrorCode::kTruncatedHeaders;
  const uint64_t magic = ReadLe(image, h.optional, 2);
  if (magic != 0x10B && magic != 0x20B) return ErrorCode::kInconsistentHeaders;
  h.pe32_plus = magic == 0x20B;
  const unsigned width = h.pe32_plus ? 8 : 4;
  h.image_base_field = h.optional + (h.pe32_plus ? 24 : 28);
  if (h.image_base_field + width > size) return ErrorCode::kTruncatedHeaders;
  h.optional_size = ReadLe(image, h.nt + 20, 2);
  if (h.optional + h.optional_size > size) return ErrorCode::kTruncatedHeaders;
  const uint64_t directories = h.pe32_plus ? 112 : 96;
  if (h.optional_size < directories) return ErrorCode::kInconsistentHeaders;
  // A rewritten field over e_lfanew, at 0x3C, would move the NT headers.
  for (auto [at, length] : {std::pair<uint64_t, uint64_t>{h.nt + 8, 4}, {h.image_base_field, width}, {h.optional + 64, 4}}) {
    if (at < 0x40 && at + length > 0x3C) return ErrorCode::kInconsistentHeaders;
  }
  h.sections = ReadLe(image, h.nt + 6, 2);
  h.sections_at = h.optional + h.optional_size;
  h.headers_end = h.sections_at + 40 * h.sections;
  if (h.headers_end > size) return ErrorCode::kTruncatedHeaders;
  h.image_base = ReadLe(image, h.image_base_field, width);
  h.size_of_image = ReadLe(image, h.optional + 56, 4);
  h.size_of_headers = ReadLe(image, h.optional + 60, 4);
  h.checksum = ReadLe(image, h.optional + 64, 4);
  h.section_alignment = ReadLe(image, h.optional + 32, 4);
  h.file_alignment = ReadLe(image, h.optional + 36, 4);
  const uint64_t listed = ReadLe(image, h.optional + directories - 4, 4);
  const uint64_t held = (h.optional_size - directories) / 8;
  h.directory_count = std::min(listed, held);
  // A loader reads the base relocation directory at its place whatever the
  // counts say (Wine always): zeros past the end of the file.
  uint64_t entry = 0;
  for (uint64_t i = 0; i < 8; ++i) {
    const uint64_t at = h.optional + directories + 8 * 5 + i;
    entry |= at < size ? image[at] : 0;
  }
  h.unlisted_relocations = listed <= 5 || held <= 5 ? entry : 0;
  return std::nullopt;
}

struct Section {
  uint64_t rva, backed, raw;  // raw: where the loader reads from
  uint64_t maybe;              // the bytes from raw that some loader may read, within the section
};

uint64_t RoundUp(uint64_t value, uint64_t to) { return (value + to - 1) / to * to; }

// The sections as the loader maps them, each with the bytes every loader
// takes from the file, or the code of the first fault: kInconsistentHeaders
// for an image below the page's alignment whose two alignments differ;
// kBadSectionTable for a section whose raw data need more than the file's
// last 0x200 bytes past its end, that lies away from its RVA in such an
// image, whose file data (as far as some loader reads them) overlap the
// header fields, that runs past the image or lies in the headers, or
// overlaps another in memory.
std::optional<ErrorCode> ReadSections(const Bytes& image, const Headers& h, std::vector<Section>& sections) {
  const uint64_t size = image.size();
  const bool as_file_lies = h.section_alignment < 0x1000;
  if (as_file_lies && h.file_alignment != h.section_alignment) return ErrorCode::kInconsistentHeaders;
  uint64_t previous_end = 0;
  for (uint64_t at = h.sections_at; at < h.headers_end; at += 40) {
    const uint64_t virtual_size = ReadLe(image, at + 8, 4), rva = ReadLe(image, at + 12, 4);
    const uint64_t raw_size = ReadLe(image, at + 16, 4), pointer = ReadLe(image, at + 20, 4);
    const uint64_t raw = as_file_lies ? rva : pointer - pointer % 0x200;
    const uint64_t mapped = virtual_size == 0 ? raw_size : virtual_size;
    const uint64_t in_file = raw < size ? size - raw : 0;
    const uint64_t backed = std::min({mapped, raw_size, in_file});
    const uint64_t rounding = std::max<uint64_t>(0x200, h.file_alignment);
    const uint64_t read = std::max(RoundUp(pointer + raw_size, rounding) - raw, RoundUp(raw_size, rounding));
    const uint64_t maybe = std::min({read, mapped, in_file});
    if ((raw_size != 0 && pointer + raw_size > RoundUp(size, 0x200)) || (as_file_lies && pointer != rva) ||
        (maybe != 0 && raw < h.headers_end) || rva + mapped > h.size_of_image || rva < h.size_of_headers ||
        rva < h.headers_end || rva < previous_end) {
      return ErrorCode::kBadSectionTable;
    }
    previous_end = rva + mapped;
    sections.push_back(Section{rva, backed, raw, maybe});
  }
  return std::nullopt;
}

// How many times the loader may map each byte of the file: in the headers
// (SizeOfHeaders, rounded up as a section's end) and in each section. Where
// the file is mapped as it lies, each byte once at most.
std::vector<uint8_t> TimesMapped(const Bytes& image, const Headers& h, const std::vector<Section>& sections) {
  std::vector<uint8_t> times(image.size(), 0);
  if (h.section_alignment < 0x1000) return times;
  auto map = [&](uint64_t first, uint64_t length) {
    for (uint64_t b = first; b < first + length && b < times.size(); ++b) times[b] = static_cast<uint8_t>(std::min(times[b] + 1, 2));
  };
  map(0, RoundUp(h.size_of_headers, std::max<uint64_t>(0x200, h.file_alignment)));
  for (const Section& s : sections) map(s.raw, s.maybe);
  return times;
}

// The file offset of [rva, rva + length) when one section's file bytes hold it.
std::optional<uint64_t> FileOffset(const std::vector<Section>& sections, uint64_t rva, uint64_t length) {
  for (const Section& s : sections) {
    if (rva >= s.rva && rva + length <= s.rva + s.backed) return s.raw + (rva - s.rva);
  }
  return std::nullopt;
}

struct Table {
  uint64_t offset, size;
};

// The targets in table order, or the first fault of the table's layout.
std::optional<ErrorCode> CollectTargets(const Bytes& image, const Table& table, const std::vector<Section>& sections,
                                        const std::vector<uint8_t>& times_mapped, std::vector<Target>& targets) {
  const uint64_t start = table.offset;
  uint64_t at = 0;
  while (at < table.size) {
    // A block may start on any even offset: Go's linker does not pad them.
    if (table.size - at < 8) return ErrorCode::kBadRelocationTable;
    uint64_t page = ReadLe(image, start + at, 4);
    uint64_t size = ReadLe(image, start + at + 4, 4);
    if (size < 8 || size % 2 != 0 || size > 8 + 2 * 0x8000 || size - 8 > table.size - at - 8) {
      return ErrorCode::kBadRelocationTable;
    }
    uint64_t count = (size - 8) / 2;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t entry = ReadLe(image, start + at + 8 + 2 * i, 2);
      unsigned type = static_cast<unsigned>(entry >> 12);
      if (type == 0) continue;
      unsigned width = WidthOf(type);
      if (width == 0) return ErrorCode::kUnsupportedRelocation;
      uint16_t low = 0;
      if (type == 4) {
        if (++i == count) return ErrorCode::kBadRelocationTable;
        low = static_cast<uint16_t>(ReadLe(image, start + at + 8 + 2 * i, 2));
      }
      std::optional<uint64_t> offset = FileOffset(sections, page + (entry & 0xFFF), width);
      if (!offset) return ErrorCode::kRelocationOutOfRange;
      if (*offset + width > start && *offset < start + table.size) return ErrorCode::kRelocationOutOfRange;
      for (uint64_t b = *offset; b < *offset + width; ++b) {
        if (times_mapped[b] > 1) return ErrorCode::kBadSectionTable;
      }
      targets.push_back(Target{type, *offset, width, low});
    }
    at += size;
  }
  return std::nullopt;
}

// Whether a value in the file bytes of a section that is not debug
// information (discardable, named .debug* or /N), out of the resource
// directory, points into the image: values at every byte of code and
// aligned ones in data; 4 bytes wide in a PE32 image, 8 and 4 in a PE32+
// image below 4 GiB, 8 at every byte in one above. Read from the bytes.
bool HoldsOwnAddress(const Bytes& image, uint64_t optional, uint64_t directory_count, uint64_t section_table,
                     const std::vector<Section>& sections, bool pe32_plus) {
  const uint64_t image_base = ReadLe(image, optional + (pe32_plus ? 24 : 28), pe32_plus ? 8 : 4);
  const uint64_t image_end = image_base + ReadLe(image, optional + 56, 4);
  const bool above_4_gib = image_base >= (uint64_t{1} << 32);
  const uint64_t resource_entry = optional + (pe32_plus ? 112 : 96) + 16;
  const uint64_t resources = directory_count > 2 ? ReadLe(image, resource_entry, 4) : 0;
  const uint64_t resources_end = directory_count > 2 ? resources + ReadLe(image, resource_entry + 4, 4) : 0;
  for (uint64_t i = 0; i < sections.size(); ++i) {
    const uint64_t header = section_table + 40 * i;
    const uint64_t flags = ReadLe(image, header + 36, 4);
    const bool debug_name = image[header] == '/' || std::memcmp(&image[header], ".debug", 6) == 0;
    if ((flags & 0x02000000) && debug_name) continue;
    const uint64_t rva = sections[i].rva, backed = sections[i].backed, raw = sections[i].raw;
    const bool code = flags & 0x20000020;
    for (uint64_t at = 0; at < backed; ++at) {
      if (rva + at >= resources && rva + at < resources_end) continue;
      for (uint64_t width : {8, 4}) {
        if (width == 8 && !pe32_plus) continue;
        if (width == 4 && above_4_gib) continue;
        if (!code && !above_4_gib && (rva + at) % width != 0) continue;
        if (at + width > backed) continue;
        const uint64_t value = ReadLe(image, raw + at, width);
        if (value >= image_base && value < image_end) return true;
      }
    }
  }
  return false;
}

// Whether an image without a relocation directory may be moved all the
// same: nothing in it holds an address of its own. Unless DYNAMIC_BASE, it
// has no entry point, no code or executable section, no TLS, load
// configuration or delay-import directory; and none of its values points
// into it.
bool MovableWithoutRelocations(const Bytes& image, const Headers& h, const std::vector<Section>& sections) {
  if (!(ReadLe(image, h.optional + 70, 2) & 0x0040)) {
    if (ReadLe(image, h.optional + 16, 4) != 0) return false;
    for (unsigned index : {9, 10, 13}) {
      if (h.Directory(index, 0, image) != 0 || h.Directory(index, 1, image) != 0) return false;
    }
    for (uint64_t at = h.sections_at; at < h.headers_end; at += 40) {
      if (ReadLe(image, at + 36, 4) & 0x20000020) return false;
    }
  }
  return !HoldsOwnAddress(image, h.optional, h.directory_count, h.sections_at, sections, h.pe32_plus);
}

void Patch(Bytes& bytes, const Target& t, uint64_t delta, bool pe32_plus) {
  uint32_t delta32 = static_cast<uint32_t>(delta);
  uint64_t value = ReadLe(bytes, t.offset, t.width);
  switch (t.type) {
    case 1:  // HIGH: the high half of the delta
      value += delta32 >> 16;
      break;
    case 2:  // LOW: the low half of the delta
      value += delta32 & 0xFFFF;
      break;
    case 3:  // HIGHLOW
      value += delta32;
      break;
    case 4: {  // HIGHADJ: the high half of (high << 16) + (int16)low, rounded
      int64_t full = static_cast<int64_t>(value << 16) + static_cast<int16_t>(t.high_adj_low);
      value = static_cast<uint64_t>((full + delta32 + 0x8000) >> 16);
      break;
    }
    default:  // DIR64: a PE32 image's delta reaches 64 bits sign-extended
      value += pe32_plus ? delta : static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(delta32)));
      break;
  }
  WriteLe(bytes, t.offset, t.width, value);
}

}  // namespace

ReferenceOutcome ReferenceRebase(const Bytes& image, const peimage::RebaseOptions& options) {
  Headers h{};
  if (auto fault = ReadHeaders(image, h)) return Refused(*fault, image);

  const uint64_t base = options.new_base;
  if (base == 0 || base % k64KiB != 0) return Refused(ErrorCode::kBadRequestedBase, image);
  if (!h.pe32_plus && base + h.size_of_image > (uint64_t{1} << 32)) return Refused(ErrorCode::kBadRequestedBase, image);
  if (h.pe32_plus && base > UINT64_MAX - h.size_of_image) return Refused(ErrorCode::kBadRequestedBase, image);
  uint64_t new_size = (h.size_of_image + k64KiB - 1) / k64KiB * k64KiB;
  if (options.max_image_size != 0 && new_size > options.max_image_size) return Refused(ErrorCode::kImageTooLarge, image);
  if (base == h.image_base) return ReferenceOutcome{std::nullopt, image};

  std::vector<Section> sections;
  if (auto fault = ReadSections(image, h, sections)) return Refused(*fault, image);
  const uint64_t characteristics = ReadLe(image, h.nt + 22, 2);
  if (h.image_base % k64KiB != 0) return Refused(ErrorCode::kInconsistentHeaders, image);
  if ((characteristics & 0x1000) && !options.allow_system_image) return Refused(ErrorCode::kSystemImage, image);
  if (h.Directory(4, 1, image) != 0) return Refused(ErrorCode::kSignedImage, image);
  if (characteristics & 0x0001) return Refused(ErrorCode::kRelocationsStripped, image);
  // Wine reads a directory that NumberOfRvaAndSizes leaves out; Windows does not.
  if (h.unlisted_relocations != 0) return Refused(ErrorCode::kInconsistentHeaders, image);
  const uint64_t table_rva = h.Directory(5, 0, image), table_size = h.Directory(5, 1, image);
  std::vector<Target> targets;
  if (table_size == 0) {
    if (!MovableWithoutRelocations(image, h, sections)) return Refused(ErrorCode::kRelocationsStripped, image);
  } else {
    if (table_rva == 0) return Refused(ErrorCode::kBadRelocationTable, image);
    std::optional<uint64_t> table = FileOffset(sections, table_rva, table_size);
    if (!table) return Refused(ErrorCode::kRelocationOutOfRange, image);
    const std::vector<uint8_t> times_mapped = TimesMapped(image, h, sections);
    if (auto fault = CollectTargets(image, Table{*table, table_size}, sections, times_mapped, targets)) {
      return Refused(*fault, image);
    }
  }
  std::vector<bool> claimed(image.size());
  for (const Target& t : targets) {
    for (uint64_t b = t.offset; b < t.offset + t.width; ++b) {
      if (claimed[b]) return Refused(ErrorCode::kBadRelocationTable, image);
      claimed[b] = true;
    }
  }

  Bytes out = image;
  for (const Target& t : targets) Patch(out, t, base - h.image_base, h.pe32_plus);
  WriteLe(out, h.image_base_field, h.pe32_plus ? 8 : 4, base);
  const uint64_t stamp = ReadLe(image, h.nt + 8, 4);
  WriteLe(out, h.nt + 8, 4, options.time_stamp != 0 ? options.time_stamp : stamp + 1);
  const uint32_t checksum_at = static_cast<uint32_t>(h.optional + 64);
  if (h.checksum != 0) WriteLe(out, checksum_at, 4, ReferenceChecksum(out, checksum_at));
  return ReferenceOutcome{std::nullopt, out};
}

}  // namespace testing_support
