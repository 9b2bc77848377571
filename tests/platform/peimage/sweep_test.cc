#include "peimage/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "support/memory_image_io.h"
#include "peimage/rebaser.h"
#include "support/failing_io.h"
#include "support/image_builder.h"
#include "support/reference_rebase.h"

namespace {

using peimage::ErrorCode;
using testing_support::BlockOrder;
using testing_support::Entry;
using testing_support::FailingIo;
using testing_support::ImageBuilder;
using testing_support::Layout;
using testing_support::PointerImage;
using testing_support::ReadLe;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using testing_support::To;
using testing_support::WriteLe;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kOldBase = 0x10000000;
constexpr uint64_t kNewBase = 0x23450000;

ImageBuilder PagesWithBlocks(std::vector<RelocationBlock> blocks, uint32_t data_pages = 4) {
  ImageBuilder builder;
  builder.Base(kOldBase).Section(SectionSpec{".data", 0x1000, 0, Bytes(data_pages * 0x1000, 0x11), {}, {}});
  builder.Relocations(std::move(blocks));
  return builder;
}

ImageBuilder MixedBlocks(bool pe32_plus, BlockOrder order) {
  Bytes data(0x3000, 0x5A);
  // Every applied type, out of order within the block, padding in the
  // middle, HIGHADJ pairs on both sides of the rounding.
  std::vector<uint16_t> entries = {Entry(3, 0x800), Entry(1, 0x10), Entry(0, 0), Entry(2, 0x20), Entry(4, 0x30),
                                   0x8000, Entry(4, 0x34), 0x7FFF, Entry(3, 0x04), Entry(3, 0xFFC), Entry(10, 0x40)};
  std::vector<RelocationBlock> blocks = {RelocationBlock{0x1000, entries}, RelocationBlock{0x2000, {Entry(3, 0)}},
                                         RelocationBlock{0x3000, {Entry(4, 0xFF0), 0x8000, Entry(1, 0xFFE)}}};
  ImageBuilder builder(pe32_plus);
  builder.Base(pe32_plus ? 0x180000000 : kOldBase).Section(SectionSpec{".data", 0x1000, 0, data, {}, {}});
  builder.Relocations(testing_support::Ordered(blocks, order));
  return builder;
}

// Two sections smaller than a page whose raw data lie in the file in the
// opposite order: one block's targets land in two places far apart. Or, in
// file order, three sections whose raw data follow one another.
ImageBuilder PageAcrossTwoSections(BlockOrder order, bool in_file_order = false) {
  ImageBuilder builder;
  builder.Base(kOldBase)
      .Section(SectionSpec{".a", 0x1000, 0x800, Bytes(0x800, 0x21), 0x800, in_file_order ? 0x1000 : 0x2000})
      .Section(SectionSpec{".b", 0x1800, 0x800, Bytes(0x800, 0x22), 0x800, in_file_order ? 0x1800 : 0x1000})
      .Section(SectionSpec{".c", 0x2000, 0, Bytes(0x1000, 0x23), {}, 0x2800});
  std::vector<RelocationBlock> blocks = {
      RelocationBlock{0x1000, {Entry(3, 0x7F0), Entry(3, 0x800), Entry(3, 0x10), Entry(3, 0xFFC)}},
      RelocationBlock{0x2000, {Entry(3, 0x0), Entry(3, 0x400)}}};
  return builder.Relocations(testing_support::Ordered(blocks, order));
}

// A program with code, TLS and an absolute pointer, and no relocation
// directory, with these DllCharacteristics and the pointer at `pointer_at`.
ImageBuilder CodeWithoutRelocations(uint16_t dll_characteristics, uint32_t pointer_at = 0x100, bool pe32_plus = false) {
  ImageBuilder builder(pe32_plus);
  builder.Base(kOldBase).Characteristics(0x0102).DllCharacteristics(dll_characteristics).EntryPoint(0x1000).Directory(9, 0x1100, 0x18);
  return testing_support::HoldingItsAddress(builder, ".text", testing_support::kCode, pointer_at, 4);
}

// An image without relocations whose one section, of these Characteristics,
// holds an address of its own.
ImageBuilder SectionHolding(const char* name, uint32_t characteristics) {
  return testing_support::HoldingItsAddress(ImageBuilder().Base(kOldBase), name, characteristics, 0x18, 4);
}

// Two blocks for every page whose targets interleave: {0x0, 0x10} and
// {0xC, 0xFFC}, over more pages than a window holds.
ImageBuilder InterleavedBlocks(uint32_t pages) {
  std::vector<RelocationBlock> blocks;
  for (uint32_t page = 0x1000; page < 0x1000 + pages * 0x1000; page += 0x1000) {
    blocks.push_back({page, {Entry(3, 0x0), Entry(3, 0x10)}});
    blocks.push_back({page, {Entry(3, 0xC), Entry(3, 0xFFC)}});
  }
  return PagesWithBlocks(blocks, pages);
}

// Six pages from RVA 0x1010, each with two blocks whose targets fill every
// 4-byte slot in turn: every target is claimed, across more than 8 KiB.
ImageBuilder DenseInterleavedPages() {
  std::vector<RelocationBlock> blocks;
  for (uint32_t page = 0x1010; page < 0x7010; page += 0x1000) {
    for (uint32_t slot : {0u, 4u}) {
      RelocationBlock block{page, {}};
      for (uint32_t offset = slot; offset < 0x1000; offset += 8) block.entries.push_back(Entry(3, offset));
      blocks.push_back(block);
    }
  }
  return PagesWithBlocks(blocks, 7);
}

struct LayoutCase {
  const char* name;
  std::function<ImageBuilder()> build;
  std::optional<ErrorCode> refused;
};

class EachLayout : public ::testing::TestWithParam<std::tuple<LayoutCase, bool>> {
 protected:
  Bytes Image() const {
    ImageBuilder builder = std::get<0>(GetParam()).build();
    if (std::get<1>(GetParam())) builder.WithChecksum();
    return builder.Build();
  }
};

// Whatever the order of the table, the engine writes what the reference
// works out, and refuses what it refuses with the same code.
TEST_P(EachLayout, RebasesToTheReferenceBytesOrRefusesWithItsCode) {
  Bytes image = Image();
  testing_support::ReferenceOutcome expected = testing_support::ReferenceRebase(image, To(kNewBase));
  ASSERT_EQ(expected.error, std::get<0>(GetParam()).refused) << "the case is not what its name says";

  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io, To(kNewBase));
  EXPECT_EQ(io.bytes(), expected.bytes);
  if (expected.error) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, *expected.error) << result.error().message;
    return;
  }
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_NE(io.bytes(), image);
  // And back: the original again, but for the time stamp and checksum.
  ASSERT_TRUE(testing_support::Rebase(io, To(result.value().old_image_base)).ok());
  Bytes back = image;
  WriteLe(back, Layout::kTimeDateStamp, 4, ReadLe(image, Layout::kTimeDateStamp, 4) + 2);
  WriteLe(back, Layout::kCheckSum, 4, ReadLe(io.bytes(), Layout::kCheckSum, 4));
  EXPECT_EQ(io.bytes(), back);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, EachLayout,
    ::testing::Combine(
        ::testing::Values(
            LayoutCase{"Forward", [] { return PointerImage(150, kOldBase, false); }, {}},
            LayoutCase{"Backward", [] { return PointerImage(64, kOldBase, false, 1, BlockOrder::kBackward); }, {}},
            LayoutCase{"Shuffled", [] { return PointerImage(64, kOldBase, false, 1, BlockOrder::kShuffled); }, {}},
            LayoutCase{"SparseShuffledPe32Plus", [] { return PointerImage(90, 0x180000000, true, 3, BlockOrder::kShuffled); }, {}},
            LayoutCase{"TableOver256KiBBackward", [] { return PointerImage(600, kOldBase, false, 1, BlockOrder::kBackward); }, {}},
            LayoutCase{"TableOver256KiBShuffled", [] { return PointerImage(600, kOldBase, false, 1, BlockOrder::kShuffled); }, {}},
            LayoutCase{"MixedTypes", [] { return MixedBlocks(false, BlockOrder::kForward); }, {}},
            LayoutCase{"MixedTypesBackwardPe32Plus", [] { return MixedBlocks(true, BlockOrder::kBackward); }, {}},
            LayoutCase{"PageAcrossTwoSections", [] { return PageAcrossTwoSections(BlockOrder::kForward); }, {}},
            LayoutCase{"PageAcrossTwoSectionsBackward", [] { return PageAcrossTwoSections(BlockOrder::kBackward); }, {}},
            LayoutCase{"PageAcrossSectionsInFileOrder", [] { return PageAcrossTwoSections(BlockOrder::kShuffled, true); }, {}},
            LayoutCase{"InterleavedBlocksOver256KiB", [] { return InterleavedBlocks(70); }, {}},
            LayoutCase{"DenseInterleavedPages", [] { return DenseInterleavedPages(); }, {}},
            LayoutCase{"TwoBlocksForOnePage",
                       [] { return PagesWithBlocks({{0x1000, {Entry(3, 0), Entry(3, 0x800)}}, {0x1000, {Entry(3, 0x400)}}}); }, {}},
            LayoutCase{"TwoBlocksForOnePageTheOtherWay",
                       [] { return PagesWithBlocks({{0x2000, {Entry(3, 0x400)}}, {0x1000, {Entry(3, 8)}}, {0x2000, {Entry(3, 0), Entry(3, 0x800)}}}); }, {}},
            // The loader reads from PointerToRawData rounded down to 0x200.
            LayoutCase{"SectionOffTheLoadersSector",
                       [] {
                         return ImageBuilder().Base(kOldBase)
                             .Section(SectionSpec{".data", 0x1000, 0x800, Bytes(0x1000, 0x11), 0xFF0, 0x210})
                             .Relocations({{0x1000, {Entry(3, 0), Entry(3, 0x7FC)}}});
                       },
                       {}},
            LayoutCase{"MappedAsTheFileLies", [] { return PointerImage(8, kOldBase, false).Alignment(0x200, 0x200); }, {}},
            LayoutCase{"NoRelocationDirectory",
                       [] { return ImageBuilder().Base(kOldBase).Section(SectionSpec{".data", 0x1000, 0, Bytes(0x3000, 7), {}, {}}); }, {}},
            // DYNAMIC_BASE: moved unless a value points into the image; in
            // 32-bit code, at any byte.
            LayoutCase{"NoRelocationDirectoryDynamicBase32BitCode", [] { return CodeWithoutRelocations(0x0040, 0x101); },
                       ErrorCode::kRelocationsStripped},
            LayoutCase{"NoRelocationDirectoryDynamicBasePe32PlusCode",
                       [] { return CodeWithoutRelocations(0x0040, 0x101, true).Base(0x180000000); }, {}},
            // Debug information holds code addresses for debuggers only; any
            // other discardable section is mapped like the rest.
            LayoutCase{"NoRelocationDirectoryAddressesInDebugInformation",
                       [] { return SectionHolding("/4", 0x42100040); }, {}},
            LayoutCase{"NoRelocationDirectoryAddressInADiscardableSection",
                       [] { return SectionHolding(".ptrs", 0x42000040); }, ErrorCode::kRelocationsStripped},
            // Below 4 GiB, x86-64 code may hold 32-bit absolute addresses.
            LayoutCase{"NoRelocationDirectoryDynamicBasePe32PlusCodeBelow4GiB",
                       [] { return CodeWithoutRelocations(0x0040, 0x101, true); }, ErrorCode::kRelocationsStripped},
            LayoutCase{"NoRelocationDirectoryWithCode", [] { return CodeWithoutRelocations(0x0100); },
                       ErrorCode::kRelocationsStripped},
            // A linker's word that nothing needs fixing.
            LayoutCase{"PaddingOnlyBesideCode",
                       [] { return CodeWithoutRelocations(0).Relocations({{0x1000, {Entry(0, 0), Entry(0, 0)}}}); }, {}},
            // Go's linker: odd entry counts and no padding, so that every
            // other block starts on a 16-bit but not a 32-bit boundary.
            LayoutCase{"UnpaddedBlocksOfOddCounts",
                       [] {
                         return PagesWithBlocks({}).Relocations(
                             {{0x1000, {Entry(3, 0), Entry(3, 0x10), Entry(3, 0x20)}},
                              {0x3000, {Entry(3, 8), Entry(1, 0x20), Entry(2, 0x30), Entry(3, 0xFF0), Entry(3, 0x40)}},
                              {0x2000, {Entry(3, 0x100)}},
                              {0x4000, {Entry(3, 0x10), Entry(3, 0x20), Entry(3, 0x30)}}},
                             false);
                       },
                       {}},
            LayoutCase{"OverlapAcrossBlocksOfOnePage",
                       [] { return PagesWithBlocks({{0x2000, {Entry(3, 0x10)}}, {0x2000, {Entry(3, 0x12)}}}); },
                       ErrorCode::kBadRelocationTable},
            LayoutCase{"OverlapAcrossPagesBackward",
                       [] { return PagesWithBlocks({{0x2000, {Entry(3, 0)}}, {0x1000, {Entry(3, 0xFFE)}}}); },
                       ErrorCode::kBadRelocationTable},
            LayoutCase{"OverlapInABlock", [] { return PagesWithBlocks({{0x1000, {Entry(3, 8), Entry(3, 6)}}}); },
                       ErrorCode::kBadRelocationTable},
            LayoutCase{"OverlapBeforeATargetOutOfRange",
                       [] { return PagesWithBlocks({{0x1000, {Entry(3, 8), Entry(3, 6)}}, {0x9000, {Entry(3, 0)}}}); },
                       ErrorCode::kRelocationOutOfRange},
            LayoutCase{"TargetInTheHeadersPage",
                       [] { return PagesWithBlocks({{0x3000, {Entry(3, 0)}}, {0, {Entry(3, 0x48)}}}); },
                       ErrorCode::kRelocationOutOfRange},
            LayoutCase{"TargetInTheTable",
                       [] { return PagesWithBlocks({{0x3000, {Entry(3, 0)}}, {0x5000, {Entry(3, 4)}}}); },
                       ErrorCode::kRelocationOutOfRange},
            LayoutCase{"TargetPastTheFileData", [] { return PagesWithBlocks({{0x2000, {Entry(3, 0)}}, {0x7000, {Entry(3, 0)}}}); },
                       ErrorCode::kRelocationOutOfRange},
            LayoutCase{"UnsupportedType", [] { return PagesWithBlocks({{0x2000, {Entry(3, 0)}}, {0x1000, {Entry(3, 0), Entry(9, 8)}}}); },
                       ErrorCode::kUnsupportedRelocation},
            LayoutCase{"HighAdjWithoutItsSecondEntry", [] { return PagesWithBlocks({{0x1000, {Entry(3, 0), Entry(4, 8)}}}); },
                       ErrorCode::kBadRelocationTable}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<LayoutCase, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "WithChecksum" : "");
    });

// Another writer, ignoring the lock, turns a relocation entry into one of an
// unsupported type once the table has been checked.
class TableChangesAfterTheCheck : public testing_support::MemoryImageIo {
 public:
  TableChangesAfterTheCheck(Bytes bytes, uint64_t entry_offset)
      : MemoryImageIo(std::move(bytes)), entry_offset_(entry_offset) {}
  peimage::Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    bool covers_entry = offset <= entry_offset_ && entry_offset_ < offset + length;
    if (covers_entry && ++table_reads_ == 2) {
      uint8_t unsupported[2] = {0x00, 0x90};
      (void)MemoryImageIo::Write(entry_offset_, unsupported, 2);
    }
    return MemoryImageIo::Read(offset, out, length);
  }

 private:
  uint64_t entry_offset_;
  int table_reads_ = 0;
};

uint64_t TableOffset(const Bytes& image) {
  return ReadLe(image, Layout::Section(false, 1) + 20, 4);  // .reloc's PointerToRawData
}

TEST(Sweep, UndoesItsWritesWhenTheTableChangesUnderIt) {
  // Too large to be held whole, so the pass reads the table afresh; the
  // changed block is the first, whose page is written last.
  Bytes image = PointerImage(520, kOldBase, false, 1, BlockOrder::kBackward).Build();
  uint64_t changed_entry = TableOffset(image) + 8;
  ASSERT_EQ(ReadLe(image, changed_entry, 2) >> 12, 3u);

  TableChangesAfterTheCheck io(image, changed_entry);
  peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io, To(kNewBase));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ErrorCode::kIoError);
  Bytes expected = image;
  WriteLe(expected, changed_entry, 2, 0x9000);
  EXPECT_EQ(io.bytes(), expected);
}

// The table of a large image walked backwards costs about as many reads as
// walked forwards, not one a block.
TEST(Sweep, ReadsABackwardTableInLargePieces) {
  for (BlockOrder order : {BlockOrder::kForward, BlockOrder::kBackward}) {
    FailingIo io(PointerImage(2048, kOldBase, false, 1, order).Build(), 0);
    ASSERT_TRUE(testing_support::Rebase(io, To(kNewBase)).ok());
    EXPECT_LT(io.reads(), 2 * 2048 / 64 + 20) << "order " << static_cast<int>(order);
  }
}

// The image rebased without a fault, with its reads and writes counted.
FailingIo CleanRun(const Bytes& image) {
  FailingIo io(image, 0);
  EXPECT_TRUE(testing_support::Rebase(io, To(kNewBase)).ok());
  return io;
}

struct FaultCase {
  const char* name;
  std::function<Bytes()> build;
};

class EachFaultImage : public ::testing::TestWithParam<FaultCase> {};

// The loops over every failing read, the longest, run in shards side by side.
constexpr int kShards = 4;
class EachFaultImageShard : public ::testing::TestWithParam<std::tuple<FaultCase, int>> {
 protected:
  Bytes Build() const { return std::get<0>(GetParam()).build(); }
  // Whether this shard takes the `n`th failing read.
  bool Takes(int n) const { return n % kShards == std::get<1>(GetParam()); }
};

// Whichever single write fails, the image ends as it began.
TEST_P(EachFaultImage, PutsTheOriginalBytesBackWhateverWriteFails) {
  Bytes image = GetParam().build();
  FailingIo counting = CleanRun(image);
  ASSERT_GE(counting.writes(), 2);
  FailingIo io(image, 0);
  for (int write = 1; write <= counting.writes(); ++write) {
    peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io.Restart(image, write), To(kNewBase));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, ErrorCode::kIoError);
    EXPECT_EQ(io.bytes(), image) << "failing write " << write;
  }
}

// Whichever single read fails, the image ends as it began, or, when only a
// read-ahead failed, rebased.
TEST_P(EachFaultImageShard, PutsTheOriginalBytesBackWhateverReadFails) {
  Bytes image = Build();
  FailingIo counting = CleanRun(image);
  FailingIo io(image, 0);
  for (int read = 1; read <= counting.reads(); ++read) {
    if (!Takes(read)) continue;
    peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io.Restart(image, 0, false, read), To(kNewBase));
    EXPECT_EQ(io.bytes(), result.ok() ? counting.bytes() : image) << "failing read " << read;
  }
}

// Writes that fail again when they are made once more (a bad sector, a full
// disk) leave nothing behind, as long as later writes succeed; a failing
// write that reached nothing is no reason to say the image is partly rebased.
TEST_P(EachFaultImage, PutsTheOriginalBytesBackWhenWritesFailInARow) {
  Bytes image = GetParam().build();
  FailingIo counting = CleanRun(image);
  FailingIo io(image, 0);
  for (int in_a_row : {2, 3}) {
    for (bool reach_nothing : {false, true}) {
      for (int write = 1; write <= counting.writes(); ++write) {
        io.Restart(image, write).FailWritesInARow(in_a_row);
        if (reach_nothing) io.ReachNothing();
        peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io, To(kNewBase));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().code, ErrorCode::kIoError) << result.error().message;
        EXPECT_EQ(io.bytes(), image) << in_a_row << " failing writes from " << write
                                     << (reach_nothing ? ", reaching nothing" : "");
      }
    }
  }
  FailingIo full_disk(image, 1, true);
  full_disk.ReachNothing();
  peimage::Result<peimage::ImageReport> result = testing_support::Rebase(full_disk, To(kNewBase));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ErrorCode::kIoError);
  EXPECT_EQ(full_disk.bytes(), image);
}

// The file ranges a message names: "0xA-0xB", or "between 0xA and 0xB".
// Read by hand: std::regex would double the time this file takes to compile.
std::vector<std::pair<uint64_t, uint64_t>> NamedRanges(const std::string& message) {
  // The value of the "0x" and upper-case hexadecimal digits at `at`, which
  // moves past them; none when there are none.
  auto number = [&message](size_t& at) -> std::optional<uint64_t> {
    if (message.compare(at, 2, "0x") != 0) return std::nullopt;
    size_t end = std::min(message.find_first_not_of("0123456789ABCDEF", at + 2), message.size());
    if (end == at + 2) return std::nullopt;
    uint64_t value = std::stoull(message.substr(at + 2, end - at - 2), nullptr, 16);
    at = end;
    return value;
  };
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (size_t at = message.find("0x"); at != std::string::npos; at = message.find("0x", at + 1)) {
    size_t next = at;
    std::optional<uint64_t> first = number(next);
    if (!first) continue;
    for (const std::string between : {"-", " and "}) {
      size_t last_at = next + between.size();
      if (message.compare(next, between.size(), between) != 0) continue;
      if (std::optional<uint64_t> last = number(last_at)) {
        ranges.emplace_back(*first, *last);
        at = last_at - 1;
      }
      break;
    }
  }
  return ranges;
}

// A partly rebased image: every byte left changed lies in a range the
// message names.
void ExpectChangedOnlyWhereNamed(const Bytes& before, const Bytes& after, const peimage::Error& error) {
  ASSERT_EQ(error.code, ErrorCode::kPartiallyWritten) << error.message;
  std::vector<std::pair<uint64_t, uint64_t>> ranges = NamedRanges(error.message);
  EXPECT_FALSE(ranges.empty()) << error.message;
  ASSERT_EQ(after.size(), before.size());
  size_t at = testing_support::FirstChangeOutside(before, after, [&](size_t i) {
    return std::any_of(ranges.begin(), ranges.end(), [&](auto r) { return r.first <= i && i <= r.second; });
  });
  EXPECT_EQ(at, before.size()) << "byte 0x" << std::hex << at << " changed, not named in: " << error.message;
}

TEST_P(EachFaultImage, SaysPartlyRebasedWhenTheRestoreFailsToo) {
  Bytes image = GetParam().build();
  FailingIo io(image, 2, true);
  peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io, To(kNewBase));
  ASSERT_FALSE(result.ok());
  ExpectChangedOnlyWhereNamed(image, io.bytes(), result.error());
}

// The third write fails (with two windows or more to put back), and then
// any one read while the file is put back: the window that read was for is
// given up, and every other is still put back.
TEST_P(EachFaultImageShard, PutsBackEveryOtherWindowWhenAReadFailsToo) {
  Bytes image = Build();
  FailingIo counting = CleanRun(image);
  const int write = std::min(3, counting.writes());
  FailingIo failing(image, write);
  ASSERT_FALSE(testing_support::Rebase(failing, To(kNewBase)).ok());
  FailingIo io(image, 0);
  for (int read = failing.reads_before_failure() + 1; read <= failing.reads(); ++read) {
    if (!Takes(read)) continue;
    peimage::Result<peimage::ImageReport> result = testing_support::Rebase(io.Restart(image, write, false, read), To(kNewBase));
    ASSERT_FALSE(result.ok());
    if (result.error().code == ErrorCode::kIoError) {
      EXPECT_EQ(io.bytes(), image) << "failing read " << read;
    } else {
      ExpectChangedOnlyWhereNamed(image, io.bytes(), result.error());
    }
  }
}

const FaultCase kFaultImages[] = {
    FaultCase{"Dense", [] { return PointerImage(150, kOldBase, false).WithChecksum().Build(); }},
    FaultCase{"Sparse", [] { return PointerImage(40, kOldBase, true, 3).Build(); }},
    FaultCase{"Mixed", [] { return MixedBlocks(false, BlockOrder::kForward).Build(); }},
    FaultCase{"BackwardWithChecksum", [] { return PointerImage(150, kOldBase, false, 1, BlockOrder::kBackward).WithChecksum().Build(); }},
    FaultCase{"ShuffledSparse", [] { return PointerImage(60, kOldBase, false, 3, BlockOrder::kShuffled).Build(); }},
    FaultCase{"TableOver256KiBShuffled", [] { return PointerImage(600, kOldBase, false, 1, BlockOrder::kShuffled).Build(); }},
    FaultCase{"PageAcrossTwoSectionsBackward", [] { return PageAcrossTwoSections(BlockOrder::kBackward).WithChecksum().Build(); }},
    FaultCase{"InterleavedBlocksOver256KiB", [] { return InterleavedBlocks(70).Build(); }},
    FaultCase{"InterleavedBlocksOver256KiBWithChecksum", [] { return InterleavedBlocks(70).WithChecksum().Build(); }}};

INSTANTIATE_TEST_SUITE_P(Images, EachFaultImage, ::testing::ValuesIn(kFaultImages),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Images, EachFaultImageShard,
                         ::testing::Combine(::testing::ValuesIn(kFaultImages), ::testing::Range(0, kShards)),
                         [](const ::testing::TestParamInfo<std::tuple<FaultCase, int>>& info) {
                           return std::string(std::get<0>(info.param).name) + "Shard" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
