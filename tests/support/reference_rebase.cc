#include "support/reference_rebase.h"

#include <algorithm>

#include "peimage/base_relocations.h"
#include "peimage/headers.h"
#include "peimage/memory_image_io.h"
#include "peimage/section_map.h"
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

// The targets in table order, or the first fault of the table's layout.
std::optional<ErrorCode> CollectTargets(const Bytes& image, const peimage::RelocationDirectory& table,
                                        const peimage::SectionMap& sections, std::vector<Target>& targets) {
  const uint64_t start = table.file_offset;
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
      std::optional<uint64_t> offset = sections.FileOffset(page + (entry & 0xFFF), width);
      if (!offset) return ErrorCode::kRelocationOutOfRange;
      if (*offset + width > start && *offset < start + table.size) return ErrorCode::kRelocationOutOfRange;
      targets.push_back(Target{type, *offset, width, low});
    }
    at += size;
  }
  return std::nullopt;
}

// Whether an address-sized value in the file bytes of a section that is not
// discardable, out of the resource directory, points into the image: values
// at every byte of a PE32 image's code, aligned ones elsewhere. Read from the
// bytes.
bool HoldsOwnAddress(const Bytes& image, uint64_t optional, uint64_t directory_count, uint64_t section_table,
                     uint64_t sections, bool pe32_plus) {
  const uint64_t width = pe32_plus ? 8 : 4;
  const uint64_t image_base = ReadLe(image, optional + (pe32_plus ? 24 : 28), width);
  const uint64_t image_end = image_base + ReadLe(image, optional + 56, 4);
  const uint64_t resource_entry = optional + (pe32_plus ? 112 : 96) + 16;
  const uint64_t resources = directory_count > 2 ? ReadLe(image, resource_entry, 4) : 0;
  const uint64_t resources_end = directory_count > 2 ? resources + ReadLe(image, resource_entry + 4, 4) : 0;
  for (uint64_t i = 0; i < sections; ++i) {
    const uint64_t header = section_table + 40 * i;
    const uint64_t virtual_size = ReadLe(image, header + 8, 4), rva = ReadLe(image, header + 12, 4);
    const uint64_t raw_size = ReadLe(image, header + 16, 4), raw = ReadLe(image, header + 20, 4);
    const uint64_t flags = ReadLe(image, header + 36, 4);
    if (flags & 0x02000000) continue;
    const uint64_t step = !pe32_plus && (flags & 0x20000020) ? 1 : width;
    const uint64_t backed = virtual_size == 0 ? raw_size : std::min(virtual_size, raw_size);
    for (uint64_t at = (step - rva % step) % step; at + width <= backed; at += step) {
      if (rva + at >= resources && rva + at < resources_end) continue;
      const uint64_t value = ReadLe(image, raw + at, width);
      if (value >= image_base && value < image_end) return true;
    }
  }
  return false;
}

// Whether an image without a relocation directory may be moved all the
// same: nothing in it holds an address of its own. Unless DYNAMIC_BASE, it
// has no entry point, no code or executable section, no TLS, load
// configuration or delay-import directory; and none of its values points
// into it. Read from the bytes.
bool MovableWithoutRelocations(const Bytes& image, const peimage::ImageHeaders& h) {
  const uint64_t nt = h.time_date_stamp_offset - 8;
  const uint64_t optional = nt + 24;
  const uint64_t optional_size = ReadLe(image, nt + 20, 2);
  const uint64_t section_table = optional + optional_size;
  const uint64_t directories = h.pe32_plus ? 112 : 96;
  const uint64_t count = std::min<uint64_t>(ReadLe(image, directories - 4 + optional, 4), (optional_size - directories) / 8);
  if (!(ReadLe(image, optional + 70, 2) & 0x0040)) {
    if (ReadLe(image, optional + 16, 4) != 0) return false;
    for (uint64_t index : {9, 10, 13}) {
      if (index < count && ReadLe(image, optional + directories + 8 * index, 8) != 0) return false;
    }
    for (uint64_t i = 0; i < h.sections.size(); ++i) {
      if (ReadLe(image, section_table + 40 * i + 36, 4) & 0x20000020) return false;
    }
  }
  return !HoldsOwnAddress(image, optional, count, section_table, h.sections.size(), h.pe32_plus);
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
  peimage::MemoryImageIo io(image);
  peimage::Result<peimage::ImageHeaders> parsed = peimage::ParseHeaders(io);
  if (!parsed.ok()) return Refused(parsed.error().code, image);
  const peimage::ImageHeaders& h = parsed.value();

  const uint64_t base = options.new_base;
  if (base == 0 || base % k64KiB != 0) return Refused(ErrorCode::kBadRequestedBase, image);
  if (!h.pe32_plus && base + h.size_of_image > (uint64_t{1} << 32)) return Refused(ErrorCode::kBadRequestedBase, image);
  if (h.pe32_plus && base > UINT64_MAX - h.size_of_image) return Refused(ErrorCode::kBadRequestedBase, image);
  uint64_t new_size = (uint64_t{h.size_of_image} + k64KiB - 1) / k64KiB * k64KiB;
  if (options.max_image_size != 0 && new_size > options.max_image_size) return Refused(ErrorCode::kImageTooLarge, image);
  if (base == h.image_base) return ReferenceOutcome{std::nullopt, image};

  peimage::Result<peimage::SectionMap> sections = peimage::SectionMap::Build(h);
  if (!sections.ok()) return Refused(sections.error().code, image);
  if (h.image_base % k64KiB != 0) return Refused(ErrorCode::kInconsistentHeaders, image);
  if ((h.characteristics & 0x1000) && !options.allow_system_image) return Refused(ErrorCode::kSystemImage, image);
  if (h.certificate_table && h.certificate_table->size != 0) return Refused(ErrorCode::kSignedImage, image);
  if (h.characteristics & 0x0001) return Refused(ErrorCode::kRelocationsStripped, image);
  auto table = peimage::LocateRelocations(h, sections.value());
  if (!table.ok()) return Refused(table.error().code, image);
  if (!table.value() && !MovableWithoutRelocations(image, h)) return Refused(ErrorCode::kRelocationsStripped, image);

  std::vector<Target> targets;
  if (table.value()) {
    if (auto fault = CollectTargets(image, *table.value(), sections.value(), targets)) return Refused(*fault, image);
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
  WriteLe(out, h.image_base_offset, h.pe32_plus ? 8 : 4, base);
  WriteLe(out, h.time_date_stamp_offset, 4, options.time_stamp != 0 ? options.time_stamp : h.time_date_stamp + 1);
  if (h.checksum != 0) WriteLe(out, h.checksum_offset, 4, ReferenceChecksum(out, static_cast<uint32_t>(h.checksum_offset)));
  return ReferenceOutcome{std::nullopt, out};
}

}  // namespace testing_support
