#include "held_addresses.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

template <unsigned kWidth>
using Word = std::conditional_t<kWidth == 8, uint64_t, uint32_t>;

// One kind of value looked for: `width` bytes at every `stride` bytes.
struct Probe {
  unsigned width = 0;
  unsigned stride = 0;
};

// Bytes of a section held in memory: `length` of them from RVA `rva`.
struct Chunk {
  const uint8_t* bytes;
  uint64_t rva;
  uint64_t length;
};

// What counts as an address of the image: a value in `image`, not read
// from inside `resources`, which are opaque data: a pixel or a number there
// is no address.
struct Sieve {
  Span image;
  Span resources;

  // The offset in `chunk` of the first value of `probe` that is one, among
  // the positions below `end`.
  template <unsigned kWidth>
  std::optional<uint64_t> First(const Chunk& chunk, uint64_t end, unsigned stride) const {
    for (uint64_t i = (stride - chunk.rva % stride) % stride; i < end; i += stride) {
      if (image.Holds(LoadLe<Word<kWidth>>(chunk.bytes + i)) && !resources.Holds(chunk.rva + i)) return i;
    }
    return std::nullopt;
  }
};

bool IsDebugInformation(const RawSection& section) {
  // DWARF sections: discardable, named .debug_* or, past eight bytes, /N.
  return (section.characteristics & kSectionDiscardable) &&
         (std::strncmp(section.name, ".debug", 6) == 0 || section.name[0] == '/');
}

// x86 instructions embed absolute addresses at any offset: code is read at
// every byte. Data is read at aligned offsets, as numbers side by side make
// values in range by chance, except where an address has a nonzero upper
// half (an image above 4 GiB), which chance hardly makes: there packed data
// is read at every byte too. Below 4 GiB, x86-64 code and data may hold
// 32-bit addresses as well.
std::vector<Probe> ProbesFor(const ImageHeaders& headers, const RawSection& section, const Span& image) {
  bool code = section.characteristics & (kSectionContainsCode | kSectionExecutable);
  Probe four{4, code ? 1u : 4u};
  if (!headers.pe32_plus) return {four};
  if (image.first >= (uint64_t{1} << 32)) return {Probe{8, 1}};
  return {Probe{8, code ? 1u : 8u}, four};
}

std::string Describe(const RawSection& section, uint64_t value, uint64_t rva) {
  char said[128];
  std::snprintf(said, sizeof said, "section '%s' holds 0x%llX at RVA 0x%llX", section.name,
                static_cast<unsigned long long>(value), static_cast<unsigned long long>(rva));
  return said;
}

}  // namespace

Result<std::optional<std::string>> FindHeldAddress(ImageIo& io, const ImageHeaders& headers,
                                                   const SectionMap& sections, Workspace& workspace) {
  constexpr unsigned kWidest = 8;
  const DataDirectory& resource_table = headers.directories[kResourceDirectory];
  const Sieve sieve{Span{headers.image_base, headers.image_base + headers.size_of_image},
                    Span{resource_table.address, uint64_t{resource_table.address} + resource_table.size}};
  uint8_t* buffer = workspace.Window(kChunk + kWidest - 1);
  for (size_t index = 0; index < sections.size(); ++index) {
    const RawSection& entry = sections.entry(index);
    const MappedSection& section = sections.section(index);
    if (IsDebugInformation(entry)) continue;
    const std::vector<Probe> probes = ProbesFor(headers, entry, sieve.image);
    // Chunks overlap by the widest value less one byte, so that every
    // position is looked at once, whole.
    for (uint64_t at = 0; at < section.file_backed; at += kChunk) {
      const Chunk chunk{buffer, section.rva + at, std::min<uint64_t>(kChunk + kWidest - 1, section.file_backed - at)};
      if (Status read = io.Read(section.file_offset + at, buffer, chunk.length); !read.ok()) return read.error();
      for (const Probe& probe : probes) {
        if (chunk.length < probe.width) continue;
        uint64_t end = std::min<uint64_t>(kChunk, chunk.length - probe.width + 1);
        std::optional<uint64_t> found = probe.width == 8 ? sieve.First<8>(chunk, end, probe.stride)
                                                         : sieve.First<4>(chunk, end, probe.stride);
        if (!found) continue;
        uint64_t value = probe.width == 8 ? LoadLe<uint64_t>(buffer + *found) : LoadLe<uint32_t>(buffer + *found);
        return std::optional<std::string>(Describe(entry, value, chunk.rva + *found));
      }
    }
  }
  return std::optional<std::string>();
}

}  // namespace peimage
