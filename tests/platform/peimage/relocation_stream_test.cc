#include "peimage/relocation_stream.h"

#include <gtest/gtest.h>

#include <functional>

#include "peimage/memory_image_io.h"
#include "peimage/rebaser.h"
#include "support/failing_io.h"
#include "support/image_builder.h"

namespace {

using peimage::ErrorCode;
using testing_support::Entry;
using testing_support::FailingIo;
using testing_support::ImageBuilder;
using testing_support::Layout;
using testing_support::PointerImage;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using testing_support::WriteLe;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kOldBase = 0x10000000;
constexpr uint64_t kNewBase = 0x23450000;

// Whether the streamed path takes the image; a copy it declines stays as it was.
bool Streams(const Bytes& image) {
  peimage::MemoryImageIo io(image);
  peimage::Result<peimage::ImageHeaders> headers = peimage::ParseHeaders(io);
  if (!headers.ok()) return false;
  peimage::Result<peimage::SectionMap> sections = peimage::SectionMap::Build(headers.value());
  if (!sections.ok()) return false;
  auto directory = peimage::LocateRelocations(headers.value(), sections.value());
  if (!directory.ok()) return false;
  const peimage::RelocationDirectory* table = directory.value() ? &*directory.value() : nullptr;
  peimage::StreamedRebase request{headers.value(), sections.value(), table, kNewBase, 1};
  peimage::Result<bool> streamed = peimage::RebaseInStream(io, request);
  EXPECT_TRUE(streamed.ok()) << streamed.error().message;
  if (streamed.ok() && !streamed.value()) {
    EXPECT_EQ(io.bytes(), image);
  }
  return streamed.ok() && streamed.value();
}

peimage::RebaseOptions To(uint64_t base) {
  peimage::RebaseOptions options;
  options.new_base = base;
  return options;
}

struct ShapeCase {
  const char* name;
  std::function<Bytes()> build;
  bool streams;
};

class EachImageShape : public ::testing::TestWithParam<ShapeCase> {};

// The streamed path and the in-memory path are two ways to the same bytes.
TEST_P(EachImageShape, RebasesToTheSameBytesAsTheInMemoryPath) {
  Bytes image = GetParam().build();
  EXPECT_EQ(Streams(image), GetParam().streams);

  peimage::MemoryImageIo streamed(image), in_memory(image);
  peimage::Result<peimage::ImageReport> a = peimage::RebaseImage(streamed, To(kNewBase));
  peimage::Result<peimage::ImageReport> b = peimage::RebaseImageInMemory(in_memory, To(kNewBase));
  ASSERT_EQ(a.ok(), b.ok());
  if (!a.ok()) {
    EXPECT_EQ(a.error().code, b.error().code);
    EXPECT_EQ(a.error().message, b.error().message);
    EXPECT_EQ(streamed.bytes(), image);
    return;
  }
  EXPECT_NE(streamed.bytes(), image);
  EXPECT_EQ(streamed.bytes(), in_memory.bytes());
  // And back: the original again.
  ASSERT_TRUE(peimage::RebaseImage(streamed, To(kOldBase)).ok());
  Bytes back = image;
  WriteLe(back, Layout::kTimeDateStamp, 4, 0x5F000002);
  if (testing_support::ReadLe(image, Layout::kCheckSum, 4) != 0) {
    WriteLe(back, Layout::kCheckSum, 4, testing_support::ReadLe(streamed.bytes(), Layout::kCheckSum, 4));
  }
  EXPECT_EQ(streamed.bytes(), back);
}

Bytes MixedBlockImage(bool pe32_plus = false) {
  Bytes data(0x2000, 0x5A);
  // Out of order, every applied type, padding in the middle, a HIGHADJ pair.
  std::vector<uint16_t> entries = {Entry(3, 0x800), Entry(1, 0x10), Entry(0, 0), Entry(2, 0x20),
                                   Entry(4, 0x30), 0x8001, Entry(3, 0x04), Entry(3, 0xFFC), Entry(10, 0x40), Entry(0, 0)};
  return ImageBuilder(pe32_plus).Base(kOldBase).WithChecksum().Section(SectionSpec{".data", 0x1000, 0, data, {}, {}})
      .Relocations({RelocationBlock{0x1000, entries}, RelocationBlock{0x2000, {Entry(3, 0)}}}).Build();
}

Bytes WithBlocks(std::vector<RelocationBlock> blocks, uint32_t data_pages = 4) {
  return ImageBuilder().Base(kOldBase).Section(SectionSpec{".data", 0x1000, 0, Bytes(data_pages * 0x1000, 0x11), {}, {}})
      .Relocations(std::move(blocks)).Build();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, EachImageShape,
    ::testing::Values(
        ShapeCase{"DenseAcrossManyWindows", [] { return PointerImage(200, kOldBase, false).Build(); }, true},
        ShapeCase{"DenseWithChecksumAndOddLength",
                  [] { return PointerImage(100, kOldBase, false).WithChecksum().Overlay({1, 2, 3}).Build(); }, true},
        ShapeCase{"Dir64Sparse", [] { return PointerImage(64, kOldBase, true, 5).WithChecksum().Build(); }, true},
        ShapeCase{"MixedTypesOutOfOrder", [] { return MixedBlockImage(); }, true},
        ShapeCase{"MixedTypesOutOfOrderPe32Plus", [] { return MixedBlockImage(true); }, true},
        ShapeCase{"NoRelocationDirectory",
                  [] { return ImageBuilder().Base(kOldBase).WithChecksum().Section(SectionSpec{".data", 0x1000, 0, Bytes(0x3000, 7), {}, {}}).Build(); },
                  true},
        ShapeCase{"PaddingOnly", [] { return WithBlocks({RelocationBlock{0x1000, {Entry(0, 0), Entry(0, 0)}}}); }, true},
        ShapeCase{"BlocksInDescendingOrder",
                  [] { return WithBlocks({RelocationBlock{0x3000, {Entry(3, 0)}}, RelocationBlock{0x1000, {Entry(3, 0)}}}); },
                  false},
        ShapeCase{"BlocksSharingAPage",
                  [] { return WithBlocks({RelocationBlock{0x1000, {Entry(3, 0)}}, RelocationBlock{0x1000, {Entry(3, 8)}}}); },
                  false},
        ShapeCase{"TargetsOverlapInABlock", [] { return WithBlocks({RelocationBlock{0x1000, {Entry(3, 8), Entry(3, 6)}}}); }, false},
        ShapeCase{"TargetsOverlapAcrossBlocks",
                  [] { return WithBlocks({RelocationBlock{0x1000, {Entry(3, 0xFFE)}}, RelocationBlock{0x2000, {Entry(3, 0)}}}); },
                  false},
        ShapeCase{"UnsupportedType", [] { return WithBlocks({RelocationBlock{0x1000, {Entry(3, 0), Entry(9, 8)}}}); }, false},
        ShapeCase{"HighAdjWithoutItsSecondEntry", [] { return WithBlocks({RelocationBlock{0x1000, {Entry(4, 0)}}}); }, false},
        ShapeCase{"TargetPastTheFileData", [] { return WithBlocks({RelocationBlock{0x5000, {Entry(3, 0)}}}); }, false},
        ShapeCase{"TargetInsideTheRelocationTable", [] { return WithBlocks({RelocationBlock{0x5000, {Entry(3, 0)}}}, 4); }, false}),
    [](const ::testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

// More windows than the survey plans ahead: the rest are found span by span.
TEST(StreamedRebase, HandlesMoreWindowsThanItPlansAhead) {
  Bytes image = PointerImage(2 * 4200, kOldBase, false, 2).WithChecksum().Build();
  ASSERT_TRUE(Streams(image));
  peimage::MemoryImageIo streamed(image), in_memory(image);
  ASSERT_TRUE(peimage::RebaseImage(streamed, To(kNewBase)).ok());
  ASSERT_TRUE(peimage::RebaseImageInMemory(in_memory, To(kNewBase)).ok());
  EXPECT_EQ(streamed.bytes(), in_memory.bytes());
}

// Another writer, ignoring the lock, turns a relocation entry into one of an
// unsupported type once the survey has read the table.
class TableChangesAfterTheSurvey : public peimage::MemoryImageIo {
 public:
  TableChangesAfterTheSurvey(Bytes bytes, uint64_t entry_offset)
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

TEST(StreamedRebase, UndoesItsWritesWhenTheTableChangesUnderIt) {
  // A table too large to be read ahead once: each pass reads it afresh.
  Bytes image = PointerImage(520, kOldBase, false).Build();
  peimage::MemoryImageIo probe(image);
  auto headers = peimage::ParseHeaders(probe);
  ASSERT_TRUE(headers.ok());
  auto sections = peimage::SectionMap::Build(headers.value());
  ASSERT_TRUE(sections.ok());
  auto table = peimage::LocateRelocations(headers.value(), sections.value());
  ASSERT_TRUE(table.ok() && table.value());
  uint64_t last_entry = table.value()->file_offset + table.value()->size - 2;
  ASSERT_EQ(testing_support::ReadLe(image, last_entry, 2) >> 12, 3u);
  ASSERT_GT(table.value()->size, 256u * 1024);

  TableChangesAfterTheSurvey io(image, last_entry);
  peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, To(kNewBase));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ErrorCode::kIoError);
  Bytes expected = image;
  expected[last_entry] = 0x00;
  expected[last_entry + 1] = 0x90;
  EXPECT_EQ(io.bytes(), expected);
}

struct FaultCase {
  const char* name;
  std::function<Bytes()> build;
};

class EachFaultImage : public ::testing::TestWithParam<FaultCase> {};

// Whichever write or read fails, the image ends as it began or, when a
// retry succeeded, rebased.
TEST_P(EachFaultImage, PutsTheOriginalBytesBackWhateverFails) {
  Bytes image = GetParam().build();
  ASSERT_TRUE(Streams(image));
  FailingIo counting(image, 0);
  ASSERT_TRUE(peimage::RebaseImage(counting, To(kNewBase)).ok());
  ASSERT_GE(counting.writes(), 2);
  for (int write = 1; write <= counting.writes(); ++write) {
    FailingIo io(image, write);
    peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, To(kNewBase));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, ErrorCode::kIoError);
    EXPECT_EQ(io.bytes(), image) << "failing write " << write;
  }
  // A read that fails while the table is surveyed sends the image down the
  // general path, which reads it again.
  for (int read = 1; read <= counting.reads(); ++read) {
    FailingIo io(image, 0, false, read);
    peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, To(kNewBase));
    EXPECT_EQ(io.bytes(), result.ok() ? counting.bytes() : image) << "failing read " << read;
  }
}

TEST_P(EachFaultImage, SaysPartlyRebasedWhenTheRestoreFailsToo) {
  FailingIo io(GetParam().build(), 2, true);
  peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, To(kNewBase));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ErrorCode::kPartiallyWritten);
}

INSTANTIATE_TEST_SUITE_P(
    Images, EachFaultImage,
    ::testing::Values(FaultCase{"Dense", [] { return PointerImage(150, kOldBase, false).WithChecksum().Build(); }},
                      FaultCase{"Sparse", [] { return PointerImage(40, kOldBase, true, 3).Build(); }},
                      FaultCase{"Mixed", [] { return MixedBlockImage(); }}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
