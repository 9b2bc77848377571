#include "held_addresses.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <vector>

#include "bytes.h"

namespace peimage {

namespace {

constexpr uint64_t kChunk = 64 * 1024;  // a multiple of every address width
constexpr uint32_t kSectionDiscardable = 0x02000000;

struct Span {
  uint64_t first = 0;
  uint64_t end = 0;
  bool Holds(uint64_t value) const { return value >= first && value < end; }
};

// The first of the values at every `stride` bytes of [0, positions) that
// points into `image`, and not from inside `resources`.
template <unsigned kWidth>
using Word = std::conditional_t<kWidth == 8, uint64_t, uint32_t>;

template <unsigned kWidth>
std::optional<uint64_t> FirstAddressIn(const uint8_t* bytes, uint64_t positions, unsigned stride, uint64_t rva,
                                       const Span& image, const Span& resources) {
  for (uint64_t i = 0; i < positions; i += stride) {
    // Resources are opaque data: a pixel or a number there is no address.
    if (image.Holds(LoadLe<Word<kWidth>>(bytes + i)) && !resources.Holds(rva + i)) return i;
  }
  return std::nullopt;
}

bool Scanned(const RawSection& section) {
  // Debug information holds addresses for debuggers, which place it
  // themselves; the loader needs none of it.
  return !(section.characteristics & kSectionDiscardable);
}

// x86 instructions embed absolute addresses at any offset; data holds them
// aligned.
unsigned StrideOf(const ImageHeaders& headers, const RawSection& section) {
  bool code = section.characteristics & (kSectionContainsCode | kSectionExecutable);
  return code && !headers.pe32_plus ? 1 : headers.address_width();
}

std::string Describe(const RawSection& section, uint64_t value, uint64_t rva) {
  char said[128];
  std::snprintf(said, sizeof said, "section '%s' holds 0x%llX at RVA 0x%llX", section.name,
                static_cast<unsigned long long>(value), static_cast<unsigned long long>(rva));
  return said;
}

}  // namespace

Result<std::optional<std::string>> FindHeldAddress(ImageIo& io, const ImageHeaders& headers,
                                                   const SectionMap& sections) {
  const unsigned width = headers.address_width();
  const Span image{headers.image_base, headers.image_base + headers.size_of_image};
  const DataDirectory& resource_table = headers.directories[kResourceDirectory];
  const Span resources{resource_table.address, uint64_t{resource_table.address} + resource_table.size};
  std::vector<uint8_t> buffer(kChunk + width - 1);
  for (size_t index = 0; index < sections.size(); ++index) {
    const RawSection& raw = headers.sections[index];
    const MappedSection& section = sections.section(index);
    if (!Scanned(raw)) continue;
    const unsigned stride = StrideOf(headers, raw);
    // Chunks start at aligned RVAs and overlap by a value's width less one,
    // so that every position is looked at once, whole.
    for (uint64_t at = (stride - section.rva % stride) % stride; at + width <= section.file_backed; at += kChunk) {
      uint64_t length = std::min<uint64_t>(kChunk + width - 1, section.file_backed - at);
      if (Status read = io.Read(section.file_offset + at, buffer.data(), length); !read.ok()) return read.error();
      uint64_t positions = std::min<uint64_t>(kChunk, length - width + 1);
      uint64_t rva = section.rva + at;
      std::optional<uint64_t> found =
          width == 8 ? FirstAddressIn<8>(buffer.data(), positions, stride, rva, image, resources)
                     : FirstAddressIn<4>(buffer.data(), positions, stride, rva, image, resources);
      if (found) {
        uint64_t value = width == 8 ? LoadLe<uint64_t>(buffer.data() + *found) : LoadLe<uint32_t>(buffer.data() + *found);
        return std::optional<std::string>(Describe(raw, value, rva + *found));
      }
    }
  }
  return std::optional<std::string>();
}

}  // namespace peimage
