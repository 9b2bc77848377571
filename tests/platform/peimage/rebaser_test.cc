#include "peimage/rebaser.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "support/memory_image_io.h"
#include "support/failing_io.h"
#include "support/image_builder.h"

namespace {

using peimage::ErrorCode;
using testing_support::Entry;
using testing_support::FailingIo;
using testing_support::ImageBuilder;
using testing_support::Layout;
using testing_support::ReadLe;
using testing_support::Rebase;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using testing_support::To;
using testing_support::WriteLe;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kData = 0x1000;     // RVA of the data section
constexpr uint32_t kDataFile = 0x200;  // its file offset

SectionSpec DataSection(Bytes data) { return SectionSpec{".data", kData, 0, std::move(data), {}, {}}; }

// Every byte differs only at the given offsets.
void ExpectChangedOnlyAt(const Bytes& before, const Bytes& after, const std::set<size_t>& allowed) {
  ASSERT_EQ(before.size(), after.size());
  size_t at = testing_support::FirstChangeOutside(before, after, [&](size_t i) { return allowed.count(i) != 0; });
  EXPECT_EQ(at, before.size()) << "byte 0x" << std::hex << at << " changed";
}

std::set<size_t> HeaderFields(bool pe32_plus) {
  std::set<size_t> fields;
  for (unsigned i = 0; i < 4; ++i) fields.insert(Layout::kTimeDateStamp + i);
  for (unsigned i = 0; i < (pe32_plus ? 8u : 4u); ++i) fields.insert(Layout::ImageBase(pe32_plus) + i);
  return fields;
}

struct TypeCase {
  const char* name;
  bool pe32_plus;
  uint64_t old_base, new_base;
  unsigned type, width;
  uint64_t before, after;
  uint16_t high_adj_low;
};

class EachRelocationType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(EachRelocationType, PatchesItsTargetAndNothingElse) {
  const TypeCase& c = GetParam();
  Bytes data(0x300, 0xCC);
  WriteLe(data, 0x10, c.width, c.before);
  std::vector<uint16_t> entries = {Entry(c.type, 0x10)};
  if (c.type == 4) entries.push_back(c.high_adj_low);
  entries.push_back(Entry(0, 0));  // padding, skipped
  Bytes image = ImageBuilder(c.pe32_plus).Base(c.old_base).Section(DataSection(data))
                    .Relocations({RelocationBlock{kData, entries}}).Overlay({1, 2, 3}).Build();
  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageReport> result = Rebase(io, To(c.new_base));
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value().old_image_base, c.old_base);

  const Bytes& out = io.bytes();
  EXPECT_EQ(ReadLe(out, kDataFile + 0x10, c.width), c.after);
  EXPECT_EQ(ReadLe(out, Layout::ImageBase(c.pe32_plus), c.pe32_plus ? 8 : 4), c.new_base);
  EXPECT_EQ(ReadLe(out, Layout::kTimeDateStamp, 4), 0x5F000001u);
  std::set<size_t> allowed = HeaderFields(c.pe32_plus);
  for (unsigned i = 0; i < c.width; ++i) allowed.insert(kDataFile + 0x10 + i);
  ExpectChangedOnlyAt(image, out, allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Types, EachRelocationType,
    ::testing::Values(
        TypeCase{"HighLow", false, 0x10000000, 0x12340000, 3, 4, 0x10001234, 0x12341234, 0},
        TypeCase{"HighLowDown", false, 0x10000000, 0x00400000, 3, 4, 0x10001234, 0x00401234, 0},
        TypeCase{"HighLowWraps", false, 0x10000000, 0x80000000, 3, 4, 0xF0000010, 0x60000010, 0},
        TypeCase{"High", false, 0x10000000, 0x12340000, 1, 2, 0x1000, 0x1234, 0},
        TypeCase{"Low", false, 0x10000000, 0x12340000, 2, 2, 0xBEEF, 0xBEEF, 0},
        TypeCase{"HighAdjNegativeLow", false, 0x10000000, 0x12340000, 4, 2, 0x1000, 0x1234, 0x8000},
        TypeCase{"HighAdjPositiveLow", false, 0x10000000, 0x12340000, 4, 2, 0x1000, 0x1234, 0x7FFF},
        // 0x0FFF8000 and 0x10007FFF moved down by 0x0FC00000: the rounding
        // keeps the high half where the signed low half puts it.
        TypeCase{"HighAdjNegativeLowDown", false, 0x10000000, 0x00400000, 4, 2, 0x1000, 0x0040, 0x8000},
        TypeCase{"HighAdjPositiveLowDown", false, 0x10000000, 0x00400000, 4, 2, 0x1000, 0x0040, 0x7FFF},
        TypeCase{"HighAdjInPe32PlusUp", true, 0x180000000, 0x190000000, 4, 2, 0x8000, 0x9000, 0x8000},
        TypeCase{"Dir64Up", true, 0x180000000, 0x190000000, 10, 8, 0x180001000, 0x190001000, 0},
        TypeCase{"Dir64Down", true, 0x180000000, 0x12000000, 10, 8, 0x180001000, 0x12001000, 0},
        TypeCase{"HighLowInPe32Plus", true, 0x180000000, 0x190000000, 3, 4, 0x80001000, 0x90001000, 0}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

TEST(Rebase, ReportsSizesAndRoundsTheNewSizeTo64KiB) {
  Bytes image = ImageBuilder().Section(DataSection(Bytes(0x100, 0))).Build();
  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageReport> result = Rebase(io, To(0x12000000));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().old_image_size, 0x2000u);
  EXPECT_EQ(result.value().new_image_size, 0x10000u);
  EXPECT_EQ(result.value().old_image_base, 0x10000000u);
}

TEST(Rebase, PatchesAValueThatStraddlesTwoPagesAndReturnsOnTheWayBack) {
  Bytes data(0x2000, 0x11);
  WriteLe(data, 0xFFE, 4, 0x10002000);
  WriteLe(data, 0x1100, 4, 0x10003000);
  Bytes image = ImageBuilder().Section(DataSection(data))
                    .Relocations({RelocationBlock{kData, {Entry(3, 0xFFE), Entry(0, 0)}},
                                  RelocationBlock{kData + 0x1000, {Entry(3, 0x100), Entry(0, 0)}}})
                    .WithChecksum().Build();
  testing_support::MemoryImageIo io(image);
  ASSERT_TRUE(Rebase(io, To(0x20000000)).ok());
  EXPECT_EQ(ReadLe(io.bytes(), kDataFile + 0xFFE, 4), 0x20002000u);
  EXPECT_EQ(ReadLe(io.bytes(), kDataFile + 0x1100, 4), 0x20003000u);

  ASSERT_TRUE(Rebase(io, To(0x10000000, 0x5F000000)).ok());
  std::set<size_t> checksum = {Layout::kCheckSum, Layout::kCheckSum + 1, Layout::kCheckSum + 2, Layout::kCheckSum + 3};
  ExpectChangedOnlyAt(image, io.bytes(), checksum);
  EXPECT_EQ(io.bytes(), image);  // the checksum comes back as well
}

TEST(Rebase, RecomputesANonzeroChecksumIncludingAnOddLastByteAndTheCertificateArea) {
  Bytes data(0x300, 0x42);
  WriteLe(data, 0x20, 4, 0x10001000);
  for (size_t overlay : {0u, 1u, 2u, 3u}) {
    Bytes image = ImageBuilder().Section(DataSection(data)).Relocations({RelocationBlock{kData, {Entry(3, 0x20), Entry(0, 0)}}})
                      .Overlay(Bytes(overlay, 0xE7)).WithChecksum().Build();
    testing_support::MemoryImageIo io(image);
    ASSERT_TRUE(Rebase(io, To(0x12340000)).ok());
    EXPECT_EQ(ReadLe(io.bytes(), Layout::kCheckSum, 4), testing_support::ReferenceChecksum(io.bytes(), Layout::kCheckSum))
        << "overlay " << overlay;
    EXPECT_NE(ReadLe(io.bytes(), Layout::kCheckSum, 4), ReadLe(image, Layout::kCheckSum, 4));
  }
}

TEST(Rebase, LeavesAZeroChecksumZeroAndHonoursAGivenTimeStamp) {
  Bytes image = ImageBuilder().Section(DataSection(Bytes(0x10, 0))).Build();
  testing_support::MemoryImageIo io(image);
  ASSERT_TRUE(Rebase(io, To(0x12340000, 0x61000000)).ok());
  EXPECT_EQ(ReadLe(io.bytes(), Layout::kCheckSum, 4), 0u);
  EXPECT_EQ(ReadLe(io.bytes(), Layout::kTimeDateStamp, 4), 0x61000000u);
  ExpectChangedOnlyAt(image, io.bytes(), HeaderFields(false));
}

// A resource-only DLL needs no fix-ups: it is moved by its header alone.
// Its resources are data, even a word that looks like an address (a black
// pixel at alpha 0x10 of an icon, 0x10000000, its ImageBase).
TEST(Rebase, MovesAResourceOnlyImageWithoutRelocationsByItsHeader) {
  Bytes resources(0x80, 7);
  WriteLe(resources, 0x40, 4, 0x10000000);
  Bytes image = ImageBuilder().Section(SectionSpec{".rsrc", kData, 0, resources, {}, {}, testing_support::kResources})
                    .Directory(2, kData, 0x80).WithChecksum().Build();
  testing_support::MemoryImageIo io(image);
  ASSERT_TRUE(Rebase(io, To(0x12340000)).ok());
  EXPECT_EQ(ReadLe(io.bytes(), Layout::ImageBase(false), 4), 0x12340000u);
  EXPECT_EQ(ReadLe(io.bytes(), Layout::kCheckSum, 4), testing_support::ReferenceChecksum(io.bytes(), Layout::kCheckSum));
  std::set<size_t> allowed = HeaderFields(false);
  for (unsigned i = 0; i < 4; ++i) allowed.insert(Layout::kCheckSum + i);
  ExpectChangedOnlyAt(image, io.bytes(), allowed);
}

// An image already where it is asked to be is not touched, even one that a
// move would refuse.
TEST(Rebase, LeavesAnImageAtTheRequestedBaseUntouched) {
  Bytes image = ImageBuilder().Characteristics(0x2103 | 0x1000).Section(DataSection(Bytes(0x10, 0))).Certificate(16).Build();
  testing_support::MemoryImageIo io(image);
  ASSERT_TRUE(Rebase(io, To(0x10000000)).ok());
  EXPECT_EQ(io.bytes(), image);
}

struct RefusalCase {
  const char* name;
  std::function<Bytes()> image;
  uint64_t new_base;
  ErrorCode expected;
  const char* detail = nullptr;  // when set, what the message must say
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, LeaveTheFileByteForByte) {
  Bytes image = GetParam().image();
  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageReport> result = Rebase(io, To(GetParam().new_base));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, GetParam().expected) << result.error().message;
  EXPECT_FALSE(result.error().message.empty());
  if (GetParam().detail) {
    EXPECT_EQ(result.error().message, GetParam().detail);
  }
  EXPECT_EQ(io.bytes(), image);
}

Bytes WithBlocks(std::vector<RelocationBlock> blocks, uint32_t virtual_size = 0) {
  Bytes data(0x400, 0x33);
  SectionSpec section = DataSection(data);
  section.virtual_size = virtual_size;
  return ImageBuilder().Section(section).Relocations(std::move(blocks)).Build();
}

Bytes WithRawRelocations(Bytes raw) { return ImageBuilder().Section(DataSection(Bytes(0x400, 0))).RawRelocations(raw).Build(); }

Bytes BlockBytes(uint32_t page, uint32_t size_of_block, size_t total) {
  Bytes raw(total, 0);
  WriteLe(raw, 0, 4, page);
  WriteLe(raw, 4, 4, size_of_block);
  return raw;
}

Bytes OneHighLow() { return WithBlocks({RelocationBlock{kData, {Entry(3, 0), Entry(0, 0)}}}); }

// An image without a relocation directory whose one section, of the given
// Characteristics, holds an absolute pointer to itself.
ImageBuilder NoRelocations(const char* name, uint32_t characteristics, bool pe32_plus = false, uint32_t at = 0x10) {
  return testing_support::HoldingItsAddress(ImageBuilder(pe32_plus), name, characteristics, at, pe32_plus ? 8 : 4);
}

INSTANTIATE_TEST_SUITE_P(
    Rebase, Refusals,
    ::testing::Values(
        RefusalCase{"RelocsStripped", [] { return ImageBuilder().Characteristics(0x2103).Section(DataSection(Bytes(16, 0))).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped},
        RefusalCase{"NoRelocationsWithCode", [] { return NoRelocations(".text", testing_support::kCode).EntryPoint(kData).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped, "no base relocation directory; section '.text' holds code"},
        RefusalCase{"NoRelocationsWithAnExecutableSection", [] { return NoRelocations("CODE", 0xE0000000).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped, "no base relocation directory; section 'CODE' is executable"},
        // A name is shown, never sent to the terminal as it stands.
        RefusalCase{"NoRelocationsNamedWithControlBytes", [] { return NoRelocations("\x1B]2;\\\a", 0xE0000000).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; section '\\x1B]2;\\x5C\\x07' is executable"},
        RefusalCase{"NoRelocationsWithTlsOnly", [] { return NoRelocations(".tls", 0xC0000040).Directory(9, kData, 0x18).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; the TLS directory (RVA 0x1000, size 0x18) holds addresses"},
        RefusalCase{"NoRelocationsWithLoadConfigPe32Plus",
                    [] { return NoRelocations(".rdata", 0x40000040, true).Directory(10, kData + 0x20, 0x140).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; the load configuration directory (RVA 0x1020, size 0x140) holds addresses"},
        RefusalCase{"NoRelocationsWithDelayImports", [] { return NoRelocations(".rdata", 0x40000040).Directory(13, kData, 0x40).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; the delay-import directory (RVA 0x1000, size 0x40) holds addresses"},
        RefusalCase{"NoRelocationsWithAPointerInData", [] { return NoRelocations(".data", 0xC0000040).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; section '.data' holds 0x10001000 at RVA 0x1010"},
        RefusalCase{"NoRelocationsDynamicBasePe32PlusPointerInData",
                    [] { return NoRelocations(".data", 0xC0000040, true).DllCharacteristics(0x0040).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; section '.data' holds 0x180001000 at RVA 0x1010"},
        // Packed data holds pointers at any offset.
        RefusalCase{"NoRelocationsDynamicBasePe32PlusUnalignedPointer",
                    [] { return NoRelocations(".data", 0xC0000040, true, 0x13).DllCharacteristics(0x0040).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped,
                    "no base relocation directory; section '.data' holds 0x180001000 at RVA 0x1013"},
        RefusalCase{"NoRelocationsWithAnEntryPoint", [] { return NoRelocations(".data", 0).EntryPoint(kData + 0x10).Build(); },
                    0x12000000, ErrorCode::kRelocationsStripped, "no base relocation directory; AddressOfEntryPoint 0x1010 is code"},
        RefusalCase{"SystemImage", [] { return ImageBuilder().Characteristics(0x3102).Section(DataSection(Bytes(16, 0))).Build(); },
                    0x12000000, ErrorCode::kSystemImage},
        RefusalCase{"SignedImage", [] { return ImageBuilder().Section(DataSection(Bytes(16, 0))).Certificate(0x20).Build(); },
                    0x12000000, ErrorCode::kSignedImage},
        RefusalCase{"BaseZero", OneHighLow, 0, ErrorCode::kBadRequestedBase},
        RefusalCase{"BaseUnaligned", OneHighLow, 0x12001000, ErrorCode::kBadRequestedBase},
        RefusalCase{"Pe32EndPast4GiB", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 0), Entry(0, 0)}}}, 0x10000); },
                    0xFFFF0000, ErrorCode::kBadRequestedBase},
        RefusalCase{"OldBaseUnaligned", [] { return ImageBuilder().Base(0x10001000).Section(DataSection(Bytes(16, 0))).Build(); },
                    0x12000000, ErrorCode::kInconsistentHeaders},
        RefusalCase{"UnsupportedType", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 0), Entry(5, 8)}}}); },
                    0x12000000, ErrorCode::kUnsupportedRelocation, "relocation block at RVA 0x2000 has entry 1 of unsupported type 5"},
        RefusalCase{"ReservedType", [] { return WithBlocks({RelocationBlock{kData, {Entry(6, 0), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kUnsupportedRelocation},
        RefusalCase{"HighAdjWithoutSecondEntry", [] { return WithBlocks({RelocationBlock{kData, {Entry(0, 0), Entry(4, 8)}}}); },
                    0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x2000 ends with HIGHADJ entry 1, without the entry that holds its low half"},
        RefusalCase{"SizeOfBlockZero", [] { return WithRawRelocations(BlockBytes(kData, 0, 16)); }, 0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x2000 has SizeOfBlock 0, below 8"},
        RefusalCase{"SizeOfBlockSix", [] { return WithRawRelocations(BlockBytes(kData, 6, 16)); }, 0x12000000, ErrorCode::kBadRelocationTable},
        RefusalCase{"SizeOfBlockOdd", [] { return WithRawRelocations(BlockBytes(kData, 11, 16)); }, 0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x2000 has SizeOfBlock 11, which is odd"},
        RefusalCase{"SizeOfBlockHuge", [] { return WithRawRelocations(BlockBytes(kData, 0xFFFFFFF8, 16)); }, 0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x2000 has SizeOfBlock 4294967288, above the 65544 that one page can need"},
        // A block on a 16-bit boundary is read, and checked, like any other.
        RefusalCase{"UnpaddedSecondBlockRunsPastTheDirectory",
                    [] { Bytes raw = BlockBytes(kData, 10, 24); WriteLe(raw, 10, 4, kData); WriteLe(raw, 14, 4, 16); return WithRawRelocations(raw); },
                    0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x200A has SizeOfBlock 16, past the 14 bytes left in the relocation directory"},
        RefusalCase{"BlockHeaderCutShort", [] { return WithRawRelocations(BlockBytes(kData, 8, 12)); }, 0x12000000, ErrorCode::kBadRelocationTable,
                    "relocation block at RVA 0x2008 has only 4 of its 8 header bytes inside the relocation directory"},
        RefusalCase{"OverlappingTargets", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 0), Entry(10, 2)}}}); },
                    0x12000000, ErrorCode::kBadRelocationTable},
        RefusalCase{"DuplicateTarget", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 8)}}, RelocationBlock{kData, {Entry(3, 8)}}}); },
                    0x12000000, ErrorCode::kBadRelocationTable},
        RefusalCase{"TargetInZeroFilledTail", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 0x500), Entry(0, 0)}}}, 0x1000); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"TargetStraddlesSectionEnd", [] { return WithBlocks({RelocationBlock{kData, {Entry(3, 0x3FE), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"TargetInHeaders", [] { return WithBlocks({RelocationBlock{0, {Entry(3, 0x100), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"TargetPastSizeOfImage", [] { return WithBlocks({RelocationBlock{0x7FFFF000, {Entry(3, 0), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"TargetPageRvaWraps", [] { return WithBlocks({RelocationBlock{0xFFFFF000, {Entry(3, 0xFFE), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"TargetInsideRelocationTable", [] { return WithBlocks({RelocationBlock{0x2000, {Entry(3, 0), Entry(0, 0)}}}); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"DirectoryOutsideSections", [] { return ImageBuilder().Section(DataSection(Bytes(16, 0))).Directory(5, 0x9000, 16).Build(); },
                    0x12000000, ErrorCode::kRelocationOutOfRange},
        RefusalCase{"DirectoryAtRvaZero", [] { return ImageBuilder().Section(DataSection(Bytes(16, 0))).Directory(5, 0, 16).Build(); },
                    0x12000000, ErrorCode::kBadRelocationTable},
        RefusalCase{"SectionRawDataPastFile",
                    [] { SectionSpec s = DataSection(Bytes(16, 0)); s.raw_size = 0x10000; Bytes b = ImageBuilder().Section(s).Build(); b.resize(0x400); return b; },
                    0x12000000, ErrorCode::kBadSectionTable},
        // Two sections may share file bytes; a target there would be
        // patched for both.
        RefusalCase{"TargetInFileBytesTwoSectionsMap",
                    [] {
                      SectionSpec b = SectionSpec{".b", 0x2000, 0, Bytes(16, 0), {}, kDataFile};
                      return ImageBuilder().Section(DataSection(Bytes(16, 0))).Section(b).Relocations({{kData, {Entry(3, 8), Entry(0, 0)}}}).Build();
                    },
                    0x12000000, ErrorCode::kBadSectionTable,
                    "relocation of type 3 at RVA 0x1008 patches file offset 0x208, which the loader maps in section '.b' too"},
        RefusalCase{"TargetInFileBytesTheHeadersMap",
                    [] {
                      SectionSpec data = DataSection(Bytes(0x100, 0));
                      data.raw_offset = 0x200;
                      data.raw_size = 0x200;
                      return ImageBuilder().HeadersSize(0x400).Section(data).Relocations({{kData, {Entry(3, 0x80), Entry(0, 0)}}}).Build();
                    },
                    0x12000000, ErrorCode::kBadSectionTable,
                    "relocation of type 3 at RVA 0x1080 patches file offset 0x280, which the loader maps in the headers too"},
        RefusalCase{"MappedAsTheFileLiesWithASectionElsewhere",
                    [] { SectionSpec data = DataSection(Bytes(16, 0)); data.raw_offset = 0x200; return ImageBuilder().Alignment(0x200, 0x200).Section(data).Build(); },
                    0x12000000, ErrorCode::kBadSectionTable,
                    "section '.data': PointerToRawData 0x200 is not its VirtualAddress 0x1000, as SectionAlignment 0x200 below the page size needs"},
        RefusalCase{"MappedAsTheFileLiesWithAnotherFileAlignment",
                    [] { return ImageBuilder().Alignment(0x200, 0x40).Section(DataSection(Bytes(16, 0))).Build(); },
                    0x12000000, ErrorCode::kInconsistentHeaders,
                    "SectionAlignment 0x200, below the page size, differs from FileAlignment 0x40"},
        // Wine reads it there, Windows does not.
        RefusalCase{"RelocationsPastNumberOfRvaAndSizes",
                    [] { return ImageBuilder().Section(DataSection(Bytes(16, 0))).Relocations({{kData, {Entry(3, 0), Entry(0, 0)}}}).NumberOfRvaAndSizes(5).Build(); },
                    0x12000000, ErrorCode::kInconsistentHeaders,
                    "the base relocation directory (RVA 0x2000, size 0xC) lies past NumberOfRvaAndSizes 5 or SizeOfOptionalHeader 224, where a loader reads it all the same"},
        // The loaders read it at its place, here the first section's name.
        RefusalCase{"RelocationsPastSizeOfOptionalHeader",
                    [] {
                      SectionSpec named = DataSection(Bytes(16, 0));
                      named.name = std::string("\x00\x20\x00\x00\x0C\x00\x00\x00", 8);
                      Bytes b = ImageBuilder().Section(named).Relocations({{kData, {Entry(3, 0), Entry(0, 0)}}}).Build();
                      std::copy(b.begin() + Layout::Section(false, 0), b.begin() + Layout::Section(false, 2), b.begin() + Layout::Section(false, 0) - 8 * 11);
                      WriteLe(b, Layout::kLfanew + 20, 2, 96 + 8 * 5);  // SizeOfOptionalHeader: directories 0 to 4
                      return b;
                    },
                    0x12000000, ErrorCode::kInconsistentHeaders,
                    "the base relocation directory (RVA 0x2000, size 0xC) lies past NumberOfRvaAndSizes 16 or SizeOfOptionalHeader 136, where a loader reads it all the same"},
        // A section without file data maps those up to the next multiple of
        // 0x200 from a PointerToRawData between two: here the header fields.
        RefusalCase{"NoRawDataOffTheSectorOverTheHeaders",
                    [] { return ImageBuilder().Section(SectionSpec{".bss", 0x1000, 0x100, {}, 0, 0x1FF}).Build(); },
                    0x12000000, ErrorCode::kBadSectionTable, "section '.bss': raw data at file offset 0x0 overlaps the headers"},
        RefusalCase{"SectionsOverlapInMemory",
                    [] { SectionSpec b = SectionSpec{".b", 0x1800, 0, Bytes(16, 0), {}, {}}; SectionSpec a = DataSection(Bytes(16, 0)); a.virtual_size = 0x1000; return ImageBuilder().Section(a).Section(b).Build(); },
                    0x12000000, ErrorCode::kBadSectionTable},
        RefusalCase{"SectionRawDataOverlapsHeaders",
                    [] { Bytes b = WithBlocks({RelocationBlock{kData, {Entry(3, 0x48), Entry(0, 0)}}}); WriteLe(b, Layout::Section(false, 0) + 20, 4, 0); return b; },
                    0x12000000, ErrorCode::kBadSectionTable},
        RefusalCase{"SectionInsideHeaders",
                    [] { return ImageBuilder().Section(SectionSpec{".h", 0x100, 0, Bytes(16, 0), {}, {}}).Build(); },
                    0x12000000, ErrorCode::kBadSectionTable}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

Bytes SpreadOutImage() {
  Bytes data(0x5000, 0x77);
  std::vector<RelocationBlock> blocks;
  for (uint32_t page = 0; page < 5; page += 2) {
    WriteLe(data, page * 0x1000 + 8, 4, 0x10001000);
    blocks.push_back(RelocationBlock{kData + page * 0x1000, {Entry(3, 8), Entry(0, 0)}});
  }
  return ImageBuilder().Section(DataSection(data)).Relocations(blocks).Build();
}

TEST(Rebase, PutsTheOriginalBytesBackWhenAWriteFails) {
  Bytes image = SpreadOutImage();
  for (int fail_at = 1; fail_at <= 3; ++fail_at) {  // pages 0, 2 and 4: three windows
    FailingIo io(image, fail_at, false);
    peimage::Result<peimage::ImageReport> result = Rebase(io, To(0x12000000));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, ErrorCode::kIoError);
    EXPECT_EQ(io.bytes(), image) << "failing write " << fail_at;
  }
}

TEST(Rebase, SaysTheImageIsPartlyRebasedWhenRestoringFailsToo) {
  FailingIo io(SpreadOutImage(), 2, true);
  peimage::Result<peimage::ImageReport> result = Rebase(io, To(0x12000000));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ErrorCode::kPartiallyWritten);
}

TEST(Query, ReadsTheBaseOfImagesThatARebaseWouldRefuse) {
  Bytes image = ImageBuilder().Base(0x00400000).Characteristics(0x3103).Certificate(8).Section(DataSection(Bytes(16, 0)))
                    .Relocations({RelocationBlock{kData, {Entry(9, 0), Entry(0, 0)}}}).Build();
  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageReport> result = peimage::QueryImage(io);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().old_image_base, 0x00400000u);
  EXPECT_EQ(io.bytes(), image);
}

}  // namespace
