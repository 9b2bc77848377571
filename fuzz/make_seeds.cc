// Writes the fuzzer's seed corpus into DIR: small images of each kind the
// engine handles, made by the tests' image builder.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/image_builder.h"

using testing_support::Entry;
using testing_support::ImageBuilder;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using Bytes = std::vector<uint8_t>;

namespace {

SectionSpec Data(uint32_t size, uint32_t virtual_size = 0) {
  Bytes bytes(size, 0);
  for (uint32_t i = 0; i + 4 <= size; i += 16) testing_support::WriteLe(bytes, i, 4, 0x10001000 + i);
  return SectionSpec{".data", 0x1000, virtual_size, bytes, {}, {}};
}

void Write(const std::string& dir, const char* name, const Bytes& bytes) {
  testing_support::WriteImageFile(dir + "/" + name, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string dir = argv[1];
  Write(dir, "highlow", ImageBuilder().Section(Data(0x200)).Relocations({{0x1000, {Entry(3, 0), Entry(3, 16), Entry(0, 0)}}}).Build());
  Write(dir, "high-low-adj", ImageBuilder().Section(Data(0x200)).Relocations({{0x1000, {Entry(1, 0), Entry(2, 16), Entry(4, 32), 0x8000, Entry(0, 0), Entry(0, 0)}}}).Build());
  Write(dir, "dir64", ImageBuilder(true).Section(Data(0x200)).Relocations({{0x1000, {Entry(10, 0), Entry(10, 16)}}}).Build());
  Write(dir, "checksum-odd", ImageBuilder().Section(Data(0x200)).Relocations({{0x1000, {Entry(3, 0), Entry(0, 0)}}}).Overlay({1}).WithChecksum().Build());
  Write(dir, "two-pages", ImageBuilder().Section(Data(0x2000)).Relocations({{0x1000, {Entry(3, 0xFFE), Entry(0, 0)}}, {0x2000, {Entry(3, 0x100), Entry(0, 0)}}}).Build());
  Write(dir, "zero-tail", ImageBuilder().Section(Data(0x200, 0x1000)).Relocations({{0x1000, {Entry(3, 0x1F0), Entry(0, 0)}}}).Build());
  Write(dir, "no-relocations", ImageBuilder().Section(Data(0x40)).Build());
  Write(dir, "stripped", ImageBuilder().Characteristics(0x2103).Section(Data(0x40)).Build());
  Write(dir, "signed", ImageBuilder().Section(Data(0x40)).Certificate(0x10).Build());
  Write(dir, "backward-blocks", ImageBuilder().Section(Data(0x3000)).Relocations({{0x3000, {Entry(3, 0x10), Entry(3, 0xFFC)}}, {0x2000, {Entry(3, 0)}}, {0x1000, {Entry(10, 8), Entry(1, 0x20)}}}).WithChecksum().Build());
  Write(dir, "two-blocks-one-page", ImageBuilder().Section(Data(0x2000)).Relocations({{0x2000, {Entry(3, 0x40)}}, {0x1000, {Entry(3, 0)}}, {0x2000, {Entry(3, 0), Entry(4, 0x80), 0x8000}}}).Build());
  Write(dir, "page-across-sections", ImageBuilder().Section(SectionSpec{".a", 0x1000, 0x800, Bytes(0x800, 1), 0x800, 0x1000}).Section(SectionSpec{".b", 0x1800, 0x800, Bytes(0x800, 2), 0x800, 0x400}).Relocations({{0x1000, {Entry(3, 0x10), Entry(3, 0x810)}}}).Build());
  Write(dir, "unpadded-blocks", ImageBuilder().Section(Data(0x3000)).Relocations({{0x1000, {Entry(3, 0)}}, {0x3000, {Entry(3, 8), Entry(2, 0x20), Entry(3, 0x40)}}, {0x2000, {Entry(3, 0x10)}}}, false).Build());
  SectionSpec code = Data(0x200);
  code.name = ".text";
  code.characteristics = testing_support::kCode;
  Write(dir, "code-without-relocations", ImageBuilder().Section(code).EntryPoint(0x1000).Directory(9, 0x1100, 0x18).Build());
  Write(dir, "dynamic-base-without-relocations", ImageBuilder(true).Section(code).EntryPoint(0x1000).DllCharacteristics(0x40).Build());
  // The NT headers at 4, inside the DOS header: e_lfanew is SectionAlignment.
  Bytes tiny = ImageBuilder().Base(0x400000).Section(Data(0x200)).Relocations({{0x1000, {Entry(3, 0)}}}).Build();
  std::copy(tiny.begin() + testing_support::Layout::kLfanew, tiny.begin() + 0x1C0, tiny.begin() + 4);
  testing_support::WriteLe(tiny, 0x3C, 4, 4);
  Write(dir, "nt-headers-in-dos-header", tiny);
  // Read as the loader maps it: from PointerToRawData rounded down to 0x200,
  // as the file lies, and file bytes that two sections map.
  Write(dir, "raw-pointer-off-the-sector", ImageBuilder().Section(SectionSpec{".data", 0x1000, 0x800, Bytes(0x1000, 7), 0xFF0, 0x210}).Relocations({{0x1000, {Entry(3, 0), Entry(3, 0x7FC)}}}).Build());
  Write(dir, "mapped-as-the-file-lies", ImageBuilder().Alignment(0x200, 0x200).Section(Data(0x400)).Relocations({{0x1000, {Entry(3, 0), Entry(3, 0x100)}}}).Build());
  Write(dir, "sections-share-file-bytes", ImageBuilder().Section(Data(0x400, 0x300)).Section(SectionSpec{".b", 0x2000, 0, Bytes(0x100, 3), {}, 0x400}).Relocations({{0x1000, {Entry(3, 0x10)}}, {0x2000, {Entry(3, 0x80)}}}).Build());
  Write(dir, "pe32plus-checksum", ImageBuilder(true).Section(Data(0x400)).Relocations({{0x1000, {Entry(10, 8), Entry(3, 0x20)}}}).WithChecksum().Build());
  return 0;
}
