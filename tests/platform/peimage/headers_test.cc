#include "peimage/headers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "support/memory_image_io.h"
#include "peimage/rebaser.h"
#include "support/image_builder.h"

namespace {

using peimage::ErrorCode;
using testing_support::ImageBuilder;
using testing_support::Layout;
using testing_support::SectionSpec;
using testing_support::WriteLe;
using Bytes = std::vector<uint8_t>;

Bytes GoodImage() {
  return ImageBuilder().Section(SectionSpec{".data", 0x1000, 0, Bytes(0x100, 1), {}, {}}).Build();
}

// Moves the NT headers and the section table to `lfanew`, inside the DOS
// header, as the smallest hand-made programs have them, and makes the
// section one of code: the image has no relocations. At 4, e_lfanew is
// also SectionAlignment: so small an image is mapped as the file lies, its
// FileAlignment the same and its section at its file offset.
void MoveNtHeadersTo(Bytes& b, uint32_t lfanew) {
  const uint32_t length = Layout::Section(false, 1) - Layout::kLfanew;
  std::memmove(&b[lfanew], &b[Layout::kLfanew], length);
  std::fill(b.begin() + lfanew + length, b.begin() + Layout::kLfanew + length, 0);
  const uint32_t section = lfanew + (Layout::Section(false, 0) - Layout::kLfanew);
  WriteLe(b, section + 36, 4, testing_support::kCode);
  WriteLe(b, 0x3C, 4, lfanew);  // over a field of the NT headers now
  if (lfanew == 4) {
    WriteLe(b, lfanew + 24 + 36, 4, lfanew);                                   // FileAlignment
    WriteLe(b, section + 12, 4, testing_support::ReadLe(b, section + 20, 4));  // VirtualAddress
  }
}

struct HeaderCase {
  const char* name;
  std::function<void(Bytes&)> damage;
  ErrorCode expected;  // what a rebase refuses it with
  bool query_reads_base = false;  // a query, which needs far less, reads its base
};

class MalformedHeaders : public ::testing::TestWithParam<HeaderCase> {};

// A rebase refuses the file and leaves every byte as it was; a query
// refuses it with the same code, or reads the base as the loader would.
TEST_P(MalformedHeaders, AreRefusedByARebaseWithoutChangeAndByAQueryWhereTheLoaderWould) {
  Bytes image = GoodImage();
  GetParam().damage(image);
  testing_support::MemoryImageIo query_io(image);
  peimage::Result<peimage::ImageReport> query = peimage::QueryImage(query_io);
  if (GetParam().query_reads_base) {
    ASSERT_TRUE(query.ok()) << query.error().message;
    EXPECT_EQ(query.value().old_image_base, 0x10000000u);
  } else {
    ASSERT_FALSE(query.ok());
    EXPECT_EQ(query.error().code, GetParam().expected) << query.error().message;
  }
  EXPECT_EQ(query_io.bytes(), image);

  testing_support::MemoryImageIo rebase_io(image);
  peimage::Result<peimage::ImageReport> rebase = testing_support::Rebase(rebase_io, testing_support::To(0x12000000));
  ASSERT_FALSE(rebase.ok());
  EXPECT_EQ(rebase.error().code, GetParam().expected) << rebase.error().message;
  EXPECT_EQ(rebase_io.bytes(), image);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MalformedHeaders,
    ::testing::Values(
        HeaderCase{"EmptyFile", [](Bytes& b) { b.clear(); }, ErrorCode::kNotPeImage},
        HeaderCase{"NoMz", [](Bytes& b) { b[0] = 'Z'; }, ErrorCode::kNotPeImage},
        HeaderCase{"MzOnly", [](Bytes& b) { b.resize(2); }, ErrorCode::kTruncatedHeaders},
        // Allowed by the format and run by the loader; refused for its code
        // without relocations.
        HeaderCase{"NtHeadersInsideDosHeader", [](Bytes& b) { MoveNtHeadersTo(b, 4); }, ErrorCode::kRelocationsStripped, true},
        // TimeDateStamp is e_lfanew: a new stamp would move the NT headers.
        HeaderCase{"TimeDateStampOverLfanew", [](Bytes& b) { MoveNtHeadersTo(b, 0x34); }, ErrorCode::kInconsistentHeaders, true},
        HeaderCase{"LfanewPastEnd", [](Bytes& b) { WriteLe(b, 0x3C, 4, 0xFFFFFFF0); }, ErrorCode::kNotPeImage},
        HeaderCase{"NoPeSignature", [](Bytes& b) { b[Layout::kLfanew + 1] = 'X'; }, ErrorCode::kNotPeImage},
        HeaderCase{"UnknownMagic", [](Bytes& b) { WriteLe(b, Layout::kOptionalHeader, 2, 0x107); }, ErrorCode::kInconsistentHeaders},
        HeaderCase{"OptionalHeaderSizeZero", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 0); }, ErrorCode::kInconsistentHeaders, true},
        HeaderCase{"OptionalHeaderTooSmall", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 95); }, ErrorCode::kInconsistentHeaders, true},
        HeaderCase{"OptionalHeaderPastEnd", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 0xFFFF); b.resize(0x400); }, ErrorCode::kTruncatedHeaders, true},
        HeaderCase{"SectionTablePastEnd", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 6, 2, 0xFFFF); }, ErrorCode::kTruncatedHeaders, true},
        // The loader maps what lies past the end of a small file as zeros.
        HeaderCase{"FileCutInsideNtHeaders", [](Bytes& b) { b.resize(Layout::kOptionalHeader + 50); }, ErrorCode::kTruncatedHeaders, true},
        HeaderCase{"FileCutInsideImageBase", [](Bytes& b) { b.resize(Layout::ImageBase(false) + 3); }, ErrorCode::kTruncatedHeaders},
        HeaderCase{"FileCutInsideMagic", [](Bytes& b) { b.resize(Layout::kOptionalHeader + 1); }, ErrorCode::kTruncatedHeaders}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(Headers, ReadDirectoriesOnlyWhenBothCountsSayTheyExist) {
  Bytes image = ImageBuilder().Section(SectionSpec{".data", 0x1000, 0, Bytes(16, 0), {}, {}})
                    .Directory(4, 0x200, 8).Directory(5, 0x1000, 8).NumberOfRvaAndSizes(5).Build();
  testing_support::MemoryImageIo io(image);
  peimage::Result<peimage::ImageHeaders> few = peimage::ParseHeaders(io);
  ASSERT_TRUE(few.ok());
  EXPECT_EQ(few.value().directories[4].size, 8u);
  EXPECT_EQ(few.value().directories[5].size, 0u);

  WriteLe(image, Layout::kOptionalHeader + 92, 4, 0xFFFF);  // NumberOfRvaAndSizes
  WriteLe(image, Layout::kLfanew + 20, 2, 96 + 8 * 5);       // room for five directories only
  WriteLe(image, Layout::kLfanew + 6, 2, 0);                  // keep the section table out of the way
  testing_support::MemoryImageIo cut(image);
  peimage::Result<peimage::ImageHeaders> clipped = peimage::ParseHeaders(cut);
  ASSERT_TRUE(clipped.ok());
  EXPECT_EQ(clipped.value().directories[4].size, 8u);
  EXPECT_EQ(clipped.value().directories[5].size, 0u);
}

}  // namespace
