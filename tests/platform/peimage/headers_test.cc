#include "peimage/headers.h"

#include <gtest/gtest.h>

#include <functional>

#include "peimage/memory_image_io.h"
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

struct HeaderCase {
  const char* name;
  std::function<void(Bytes&)> damage;
  ErrorCode expected;
};

class MalformedHeaders : public ::testing::TestWithParam<HeaderCase> {};

// A query and a rebase refuse the file with the same code, and the rebase
// leaves every byte as it was.
TEST_P(MalformedHeaders, AreRefusedByQueryAndRebaseWithoutChange) {
  Bytes image = GoodImage();
  GetParam().damage(image);
  peimage::MemoryImageIo query_io(image);
  peimage::Result<peimage::ImageReport> query = peimage::QueryImage(query_io);
  ASSERT_FALSE(query.ok());
  EXPECT_EQ(query.error().code, GetParam().expected) << query.error().message;

  peimage::MemoryImageIo rebase_io(image);
  peimage::RebaseOptions options;
  options.new_base = 0x12000000;
  peimage::Result<peimage::ImageReport> rebase = peimage::RebaseImage(rebase_io, options);
  ASSERT_FALSE(rebase.ok());
  EXPECT_EQ(rebase.error().code, GetParam().expected);
  EXPECT_EQ(rebase_io.bytes(), image);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, MalformedHeaders,
    ::testing::Values(
        HeaderCase{"EmptyFile", [](Bytes& b) { b.clear(); }, ErrorCode::kNotPeImage},
        HeaderCase{"NoMz", [](Bytes& b) { b[0] = 'Z'; }, ErrorCode::kNotPeImage},
        HeaderCase{"MzOnly", [](Bytes& b) { b.resize(2); }, ErrorCode::kTruncatedHeaders},
        HeaderCase{"LfanewInsideDosHeader", [](Bytes& b) { WriteLe(b, 0x3C, 4, 0x10); }, ErrorCode::kInconsistentHeaders},
        HeaderCase{"LfanewPastEnd", [](Bytes& b) { WriteLe(b, 0x3C, 4, 0xFFFFFFF0); }, ErrorCode::kNotPeImage},
        HeaderCase{"NoPeSignature", [](Bytes& b) { b[Layout::kLfanew + 1] = 'X'; }, ErrorCode::kNotPeImage},
        HeaderCase{"UnknownMagic", [](Bytes& b) { WriteLe(b, Layout::kOptionalHeader, 2, 0x107); }, ErrorCode::kInconsistentHeaders},
        HeaderCase{"OptionalHeaderSizeZero", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 0); }, ErrorCode::kInconsistentHeaders},
        HeaderCase{"OptionalHeaderTooSmall", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 95); }, ErrorCode::kInconsistentHeaders},
        HeaderCase{"OptionalHeaderPastEnd", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 20, 2, 0xFFFF); b.resize(0x400); }, ErrorCode::kTruncatedHeaders},
        HeaderCase{"SectionTablePastEnd", [](Bytes& b) { WriteLe(b, Layout::kLfanew + 6, 2, 0xFFFF); }, ErrorCode::kTruncatedHeaders},
        HeaderCase{"FileCutInsideNtHeaders", [](Bytes& b) { b.resize(Layout::kOptionalHeader + 50); }, ErrorCode::kTruncatedHeaders}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(Headers, ReadDirectoriesOnlyWhenBothCountsSayTheyExist) {
  Bytes image = ImageBuilder().Section(SectionSpec{".data", 0x1000, 0, Bytes(16, 0), {}, {}})
                    .Directory(5, 0x1000, 8).NumberOfRvaAndSizes(5).Build();
  peimage::MemoryImageIo io(image);
  peimage::Result<peimage::ImageHeaders> few = peimage::ParseHeaders(io);
  ASSERT_TRUE(few.ok());
  EXPECT_FALSE(few.value().base_relocation_table.has_value());

  WriteLe(image, Layout::kOptionalHeader + 92, 4, 0xFFFF);  // NumberOfRvaAndSizes
  WriteLe(image, Layout::kLfanew + 20, 2, 96 + 8 * 5);       // room for five directories only
  WriteLe(image, Layout::kLfanew + 6, 2, 0);                  // keep the section table out of the way
  peimage::MemoryImageIo cut(image);
  peimage::Result<peimage::ImageHeaders> clipped = peimage::ParseHeaders(cut);
  ASSERT_TRUE(clipped.ok());
  EXPECT_TRUE(clipped.value().certificate_table.has_value());
  EXPECT_FALSE(clipped.value().base_relocation_table.has_value());
}

}  // namespace
