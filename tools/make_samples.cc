// Writes sample DLLs for demonstrations, tests and benchmarks:
//   make_samples DIR COUNT [SCALE [EVERY [CHECKSUMS [ORDER]]]]
// writes DIR/sample-NNNN.dll (COUNT images of varying size, with a HIGHLOW,
// or for every fifth image a DIR64, relocation every 16 bytes of every
// EVERY-th data page (default 1), every CHECKSUMS-th image with a checksum
// (default 2; 0 for none), the relocation blocks in ORDER: forward (the
// default), backward or shuffled) and a
// few special images (DIR/special-*.dll), and prints the sample paths, one
// per line, as a list for the tool. SCALE multiplies the data size (default 1).
//   make_samples DIR --sections-in-one-page BLOCKS ENTRIES
// writes and lists DIR/sections-in-one-page.dll, a hostile image (see
// SectionsInOnePage).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/image_builder.h"

namespace {

using testing_support::BlockOrder;
using testing_support::Entry;
using testing_support::ImageBuilder;
using testing_support::PointerImage;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using testing_support::SectionsInOnePage;
using testing_support::WriteImageFile;
using Bytes = std::vector<uint8_t>;


}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: make_samples DIR COUNT [SCALE [EVERY [CHECKSUMS [forward|backward|shuffled]]]]\n"
                 "       make_samples DIR --sections-in-one-page BLOCKS ENTRIES\n");
    return 2;
  }
  std::string dir = argv[1];
  if (std::string(argv[2]) == "--sections-in-one-page" && argc == 5) {
    std::string path = dir + "/sections-in-one-page.dll";
    Bytes image = SectionsInOnePage(static_cast<uint32_t>(std::atoi(argv[3])), static_cast<uint32_t>(std::atoi(argv[4]))).Build();
    std::printf("%s\n", path.c_str());
    return WriteImageFile(path, image) ? 0 : 1;
  }
  int count = std::atoi(argv[2]);
  int scale = argc > 3 ? std::atoi(argv[3]) : 1;
  uint32_t every = argc > 4 ? static_cast<uint32_t>(std::max(1, std::atoi(argv[4]))) : 1;
  int checksums = argc > 5 ? std::max(0, std::atoi(argv[5])) : 2;
  std::string order_name = argc > 6 ? argv[6] : "forward";
  BlockOrder order = order_name == "backward" ? BlockOrder::kBackward
                     : order_name == "shuffled" ? BlockOrder::kShuffled
                                                : BlockOrder::kForward;
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    uint32_t pages = static_cast<uint32_t>((1 + (i * 7) % 23) * scale);
    ImageBuilder builder = PointerImage(pages, 0x10000000, i % 5 == 4, every, order);
    if (checksums != 0 && i % checksums == checksums - 1) builder.WithChecksum();
    char name[32];
    std::snprintf(name, sizeof name, "/sample-%04d.dll", i);
    ok = WriteImageFile(dir + name, builder.Build()) && ok;
    std::printf("%s%s\n", dir.c_str(), name);
  }
  ok = WriteImageFile(dir + "/special-at-400000.dll", PointerImage(2, 0x00400000, false).Build()) && ok;
  ok = WriteImageFile(dir + "/special-system.dll", PointerImage(1, 0x10000000, false).Characteristics(0x3102).Build()) && ok;
  ok = WriteImageFile(dir + "/special-signed.dll", PointerImage(1, 0x10000000, false).Certificate(0x100).Build()) && ok;
  ok = WriteImageFile(dir + "/special-not-pe.dll", Bytes(600, 'x')) && ok;
  // Code that holds an absolute address, and no relocation directory.
  Bytes code(0x200, 0x90);
  testing_support::WriteLe(code, 0x10, 4, 0x10001100);
  ok = WriteImageFile(dir + "/special-no-relocs.dll",
             ImageBuilder().Section(SectionSpec{".text", 0x1000, 0, code, {}, {}, testing_support::kCode}).EntryPoint(0x1000).Build()) && ok;
  // Relocations on every other page and no checksum: the rebase writes each
  // of the four pages apart.
  ImageBuilder sparse = PointerImage(8, 0x10000000, false);
  {
    std::vector<RelocationBlock> blocks;
    for (uint32_t page = 0; page < 8; page += 2) blocks.push_back(RelocationBlock{0x1000 + page * 0x1000, {Entry(3, 0), Entry(0, 0)}});
    sparse.Relocations(blocks);
  }
  ok = WriteImageFile(dir + "/special-sparse-relocs.dll", sparse.Build()) && ok;
  // Cut inside its ImageBase: neither a rebase nor a query can read it.
  Bytes truncated = PointerImage(1, 0x10000000, false).Build();
  truncated.resize(testing_support::Layout::ImageBase(false) + 2);
  ok = WriteImageFile(dir + "/special-truncated.dll", truncated) && ok;
  return ok ? 0 : 1;
}
