// Writes the layouts whose rebase the Windows loader judges:
//   loader_layouts DIR pe32|pe32+
// writes DIR/<name>.dll for each layout, a DLL based at 0x10000000 that the
// loader maps, and prints "<name> moves" or "<name> is refused": what a
// rebase of it must do. Each layout is one that a reader of the file could
// take otherwise than the loader maps it.

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "support/image_builder.h"

namespace {

using testing_support::Entry;
using testing_support::ImageBuilder;
using testing_support::Layout;
using testing_support::ReadLe;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using testing_support::WriteImageFile;
using testing_support::WriteLe;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBase = 0x10000000;
constexpr uint32_t kReadOnlyData = 0x40000040;
constexpr uint32_t kData = 0xC0000040;
constexpr uint32_t kUninitialised = 0xC0000080;
constexpr unsigned kText = 0, kRdata = 1, kDataSection = 2;

// A DLL laid out as linkers lay one out: code, read-only data, data and
// uninitialised data, each pointer in them with its relocation, in one
// block per page. A layout changes the sections or the table, then builds.
struct Dll {
  bool pe32_plus = true;
  std::vector<SectionSpec> sections;
  std::vector<RelocationBlock> blocks;
  ImageBuilder builder;

  // Sections from `first_rva`, each at the next multiple of `alignment`.
  Dll(bool pe32_plus_image, uint32_t first_rva, uint32_t alignment) : pe32_plus(pe32_plus_image), builder(pe32_plus_image) {
    struct Shape {
      const char* name;
      uint32_t characteristics, size, every;
    };
    const Shape shapes[] = {{".text", testing_support::kCode, 0x300, 0x100},
                            {".rdata", kReadOnlyData, 0x180, 0x20},
                            {".data", kData, 0x180, 0x10}};
    uint32_t rva = first_rva;
    for (const Shape& shape : shapes) {
      SectionSpec section{shape.name, rva, 0, Bytes(shape.size, 0xC5), {}, {}, shape.characteristics};
      for (uint32_t at = 8; at + width() <= shape.size; at += shape.every) {
        WriteLe(section.data, at, width(), kBase + first_rva + at);  // an address inside the image
        Point(rva + at);
      }
      sections.push_back(section);
      rva = (rva + shape.size + alignment - 1) / alignment * alignment;
    }
    // Without file data; the loader still wants its PointerToRawData to be
    // its RVA where it maps the file as it lies.
    sections.push_back(SectionSpec{".bss", rva, 0x100, {}, 0, alignment < 0x1000 ? rva : 0, kUninitialised});
    builder.Base(kBase).DllCharacteristics(0x0040);
  }

  unsigned width() const { return pe32_plus ? 8 : 4; }
  // Drops the relocations of block `index` whose targets do not end below
  // `limit`, an offset in its page.
  void KeepTargetsBelow(unsigned index, uint32_t limit) {
    std::vector<uint16_t>& entries = blocks[index].entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](uint16_t entry) { return (entry & 0xFFFu) + width() > limit; }),
                  entries.end());
  }
  // A relocation of the image's address width at `rva`.
  void Point(uint32_t rva) {
    uint32_t page = rva & ~0xFFFu;
    if (blocks.empty() || blocks.back().page_rva != page) blocks.push_back(RelocationBlock{page, {}});
    blocks.back().entries.push_back(Entry(pe32_plus ? 10 : 3, rva & 0xFFF));
  }

  Bytes Build(bool with_table = true) {
    for (const SectionSpec& section : sections) builder.Section(section);
    if (with_table) builder.Relocations(blocks);
    return builder.Build();
  }
  // The file offset of a field of section `index`'s header.
  uint32_t Header(unsigned index, unsigned field) const { return Layout::Section(pe32_plus, index) + field; }
};

constexpr unsigned kVirtualSize = 8, kSizeOfRawData = 16, kPointerToRawData = 20;

Bytes NormalDll(bool pe32_plus) { return Dll(pe32_plus, 0x1000, 0x1000).Build(); }

// The raw data pointer of section `index` moved by `by`, nothing else.
Bytes RawPointerMoved(bool pe32_plus, unsigned index, uint32_t by) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes image = dll.Build();
  uint32_t field = dll.Header(index, kPointerToRawData);
  WriteLe(image, field, 4, ReadLe(image, field, 4) + by);
  return image;
}

// The relocation table's raw data pointer moved by 0x100, over a copy of the
// table in which the entries of .data's page are padding: a reader that
// takes the field as it stands finds no relocation there.
Bytes TableOverADecoy(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes image = dll.Build();
  const unsigned reloc = static_cast<unsigned>(dll.sections.size());
  const uint32_t table = static_cast<uint32_t>(ReadLe(image, dll.Header(reloc, kPointerToRawData), 4));
  std::vector<RelocationBlock> decoy = dll.blocks;
  for (uint16_t& entry : decoy[kDataSection].entries) entry = 0;
  Bytes decoy_bytes = testing_support::RelocationTableBytes(decoy);
  std::copy(decoy_bytes.begin(), decoy_bytes.end(), image.begin() + table + 0x100);
  WriteLe(image, dll.Header(reloc, kPointerToRawData), 4, table + 0x100);
  WriteLe(image, dll.Header(reloc, kSizeOfRawData), 4, 0x100);
  return image;
}

Bytes LowAlignment(bool pe32_plus, uint32_t alignment) {
  Dll dll(pe32_plus, 0x400, alignment);
  dll.builder.Alignment(alignment, alignment);
  return dll.Build();
}

Bytes DataVirtualSizeZero(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes image = dll.Build();
  WriteLe(image, dll.Header(kDataSection, kVirtualSize), 4, 0);
  return image;
}

// Read-only data whose file data run on past its VirtualSize, with values
// there that look like addresses and are no part of it.
Bytes RawSizeAboveVirtualSize(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  SectionSpec& rdata = dll.sections[kRdata];
  rdata.virtual_size = static_cast<uint32_t>(rdata.data.size());
  rdata.data.resize(0x400, 0);
  for (uint32_t at = 0x200; at < 0x400; at += 0x10) WriteLe(rdata.data, at, dll.width(), kBase + 0x1000 + at);
  return dll.Build();
}

// The file ends inside the relocation table's section, past the table: the
// loader reads zeros for the rest.
Bytes CutByTheEndOfTheFile(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes image = dll.Build();
  const unsigned reloc = static_cast<unsigned>(dll.sections.size());
  image.resize(ReadLe(image, dll.Header(reloc, kPointerToRawData), 4) + 0x100);
  return image;
}

// No .reloc section: the table lies at the end of .data.
Bytes TableInsideData(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes table = testing_support::RelocationTableBytes(dll.blocks);
  SectionSpec& data = dll.sections[kDataSection];
  const uint32_t at = static_cast<uint32_t>(data.data.size());
  data.data.insert(data.data.end(), table.begin(), table.end());
  dll.builder.Directory(5, data.rva + at, static_cast<uint32_t>(table.size()));
  return dll.Build(false);
}

// .data's file data lie inside .rdata's, past .rdata's VirtualSize: the
// bytes they share are .rdata's slack, mapped twice but part of .data alone.
Bytes SharingInSlack(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  SectionSpec& rdata = dll.sections[kRdata];
  rdata.virtual_size = 0x100;
  rdata.data.resize(0x100);
  rdata.raw_offset = 0x800;
  rdata.raw_size = 0x400;
  dll.sections[kDataSection].raw_offset = 0xA00;
  dll.KeepTargetsBelow(kRdata, 0x100);
  return dll.Build();
}

// .data's file data lie inside .rdata's, within both VirtualSizes: the
// targets there would be patched for both.
Bytes SharingInBoth(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  SectionSpec& rdata = dll.sections[kRdata];
  rdata.data.assign(0x300, 0xC5);
  rdata.raw_offset = 0x800;
  rdata.raw_size = 0x400;
  dll.sections[kDataSection].raw_offset = 0xA00;
  dll.blocks.erase(dll.blocks.begin() + kRdata);
  return dll.Build();
}

Bytes HeadersOverOnePage(bool pe32_plus) {
  Dll dll(pe32_plus, 0x2000, 0x1000);
  dll.builder.HeadersSize(0x1200);
  return dll.Build();
}

// Data whose only targets are the high halves of addresses, which no look
// for addresses would see: were the relocation directory taken for absent,
// the image would move without them.
Dll HalvesOfAddresses(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  dll.sections.erase(dll.sections.begin() + kText);
  dll.sections[0].data.assign(0x180, 0xC5);  // .rdata, without addresses
  dll.blocks.clear();
  SectionSpec& data = dll.sections[1];
  data.data.assign(0x180, 0);
  for (uint32_t at = 0x10; at < 0x100; at += 0x10) {
    WriteLe(data.data, at, 2, kBase >> 16);
    dll.blocks.push_back(RelocationBlock{data.rva, {Entry(1, at)}});
  }
  return dll;
}

// The base relocation directory lies past NumberOfRvaAndSizes: Wine reads
// it, Windows does not.
Bytes DirectoryPastItsCount(bool pe32_plus) {
  Dll dll = HalvesOfAddresses(pe32_plus);
  dll.builder.NumberOfRvaAndSizes(5);
  return dll.Build();
}

// .data's file data lie inside the headers (SizeOfHeaders 0x600): its
// bytes are mapped in the headers too.
Bytes RawDataInsideTheHeaders(bool pe32_plus) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  dll.builder.HeadersSize(0x600);
  SectionSpec& data = dll.sections[kDataSection];
  data.data.resize(0x100);
  data.raw_offset = 0x400;
  data.raw_size = 0x100;
  dll.KeepTargetsBelow(kDataSection, 0x100);
  return dll.Build();
}

// The optional header cut before the base relocation directory, whose
// place the section table then takes: its first section's name holds the
// directory's RVA and size, where a loader reads them all the same. (Six
// directories are counted: the loader reads no others from the table.)
Bytes DirectoryInTheSectionTable(bool pe32_plus) {
  Dll dll = HalvesOfAddresses(pe32_plus);
  dll.builder.NumberOfRvaAndSizes(6);
  Bytes image = dll.Build();
  const uint32_t table = Layout::Section(pe32_plus, 0), place = Layout::Directory(pe32_plus, 5);
  const uint64_t directory = ReadLe(image, place, 8);
  const size_t length = 40 * (dll.sections.size() + 1);  // with .reloc
  std::copy(image.begin() + table, image.begin() + table + length, image.begin() + place);
  WriteLe(image, place, 8, directory);  // the first section's name
  WriteLe(image, Layout::kLfanew + 20, 2, place - Layout::kOptionalHeader);
  return image;
}

// .bss, without file data, has a PointerToRawData between two multiples of
// 0x200: the loader maps the bytes from the one below, up to the one above,
// here .text's first ones with a target in them, or the headers.
Bytes NoRawDataOffTheSector(bool pe32_plus, bool over_the_headers) {
  Dll dll(pe32_plus, 0x1000, 0x1000);
  Bytes image = dll.Build();
  const uint32_t text = static_cast<uint32_t>(ReadLe(image, dll.Header(kText, kPointerToRawData), 4));
  WriteLe(image, dll.Header(3, kPointerToRawData), 4, over_the_headers ? 0x1FF : text + 1);
  return image;
}

struct Row {
  const char* name;
  bool moves;
  std::function<Bytes(bool pe32_plus)> build;
};

const Row kRows[] = {
    {"as-linked", true, NormalDll},
    {"data-raw-pointer-plus-1", true, [](bool p) { return RawPointerMoved(p, kDataSection, 1); }},
    {"data-raw-pointer-plus-0x10", true, [](bool p) { return RawPointerMoved(p, kDataSection, 0x10); }},
    {"data-raw-pointer-plus-0x1ff", true, [](bool p) { return RawPointerMoved(p, kDataSection, 0x1FF); }},
    {"rdata-raw-pointer-plus-0x40", true, [](bool p) { return RawPointerMoved(p, kRdata, 0x40); }},
    {"relocation-table-over-a-decoy", true, TableOverADecoy},
    {"low-alignment-0x200", true, [](bool p) { return LowAlignment(p, 0x200); }},
    {"low-alignment-0x40", true, [](bool p) { return LowAlignment(p, 0x40); }},
    {"virtual-size-zero", true, DataVirtualSizeZero},
    {"raw-size-above-virtual-size", true, RawSizeAboveVirtualSize},
    {"cut-by-the-end-of-the-file", true, CutByTheEndOfTheFile},
    {"relocation-table-inside-data", true, TableInsideData},
    {"sections-share-file-bytes-in-slack", true, SharingInSlack},
    {"sections-share-file-bytes-with-targets", false, SharingInBoth},
    {"headers-over-one-page", true, HeadersOverOnePage},
    {"relocations-past-number-of-rva-and-sizes", false, DirectoryPastItsCount},
    {"raw-data-inside-the-headers", false, RawDataInsideTheHeaders},
    {"relocation-directory-in-the-section-table", false, DirectoryInTheSectionTable},
    {"no-raw-data-off-the-sector-over-code", false, [](bool p) { return NoRawDataOffTheSector(p, false); }},
    {"no-raw-data-off-the-sector-over-the-headers", false, [](bool p) { return NoRawDataOffTheSector(p, true); }},
};


}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[2]) != "pe32" && std::string(argv[2]) != "pe32+")) {
    std::fprintf(stderr, "usage: loader_layouts DIR pe32|pe32+\n");
    return 2;
  }
  const bool pe32_plus = std::string(argv[2]) == "pe32+";
  bool ok = true;
  for (const Row& row : kRows) {
    ok = WriteImageFile(std::string(argv[1]) + "/" + row.name + ".dll", row.build(pe32_plus)) && ok;
    std::printf("%s %s\n", row.name, row.moves ? "moves" : "is refused");
  }
  return ok ? 0 : 1;
}
