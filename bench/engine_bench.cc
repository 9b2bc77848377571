// Google Benchmark for the image engine alone, on images held in memory.
//   engine_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <vector>

#include "peimage/rebaser.h"
#include "support/image_builder.h"
#include "support/memory_image_io.h"

namespace {

using testing_support::Entry;
using testing_support::ImageBuilder;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using Bytes = std::vector<uint8_t>;

// `megabytes` of data with a pointer every 16 bytes (PE32: HIGHLOW, PE32+:
// DIR64), each with its relocation: 262,144 relocations a megabyte.
struct LargeImage {
  LargeImage(uint32_t megabytes, bool pe32_plus, bool checksum,
             testing_support::BlockOrder order = testing_support::BlockOrder::kForward)
      : relocations(size_t{megabytes} * 256 * 256),
        base(pe32_plus ? 0x180000000 : 0x10000000) {
    ImageBuilder builder = testing_support::PointerImage(megabytes * 256, base, pe32_plus, 1, order);
    if (checksum) builder.WithChecksum();
    bytes = builder.Build();
  }
  size_t relocations;
  uint64_t base;
  Bytes bytes;
};

void RebaseBackAndForth(benchmark::State& state, const Bytes& image, size_t relocations, uint64_t a, uint64_t b) {
  testing_support::MemoryImageIo io(image);
  peimage::Workspace workspace;
  bool toward_b = true;
  for (auto _ : state) {
    peimage::RebaseOptions options;
    options.new_base = toward_b ? b : a;
    toward_b = !toward_b;
    peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, options, workspace);
    if (!result.ok()) state.SkipWithError(result.error().message.c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * relocations));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_RelocationsHighLow(benchmark::State& state) {
  static const LargeImage image(64, false, false);
  RebaseBackAndForth(state, image.bytes, image.relocations, image.base, 0x20000000);
}
BENCHMARK(BM_RelocationsHighLow)->Unit(benchmark::kMillisecond);

void BM_RelocationsDir64(benchmark::State& state) {
  static const LargeImage image(64, true, false);
  RebaseBackAndForth(state, image.bytes, image.relocations, image.base, 0x7FF00000);
}
BENCHMARK(BM_RelocationsDir64)->Unit(benchmark::kMillisecond);

void BM_RelocationsWithChecksum(benchmark::State& state) {
  static const LargeImage image(64, false, true);
  RebaseBackAndForth(state, image.bytes, image.relocations, image.base, 0x20000000);
}
BENCHMARK(BM_RelocationsWithChecksum)->Unit(benchmark::kMillisecond);

// The same image with its relocation blocks listed backwards, then shuffled:
// the table is read by file order of the pages.
void BM_RelocationsHighLowBackwardTable(benchmark::State& state) {
  static const LargeImage image(64, false, false, testing_support::BlockOrder::kBackward);
  RebaseBackAndForth(state, image.bytes, image.relocations, image.base, 0x20000000);
}
BENCHMARK(BM_RelocationsHighLowBackwardTable)->Unit(benchmark::kMillisecond);

void BM_RelocationsHighLowShuffledTable(benchmark::State& state) {
  static const LargeImage image(64, false, false, testing_support::BlockOrder::kShuffled);
  RebaseBackAndForth(state, image.bytes, image.relocations, image.base, 0x20000000);
}
BENCHMARK(BM_RelocationsHighLowShuffledTable)->Unit(benchmark::kMillisecond);

// Hostile tables over 2,048 two-byte sections in one page, refused for
// their overlapping targets: 128 blocks of 32,768 entries (an 8 MiB file)
// and 4,096 blocks of 2,048 (16 MiB).
void BM_RefuseBlocksOverManySections(benchmark::State& state) {
  uint32_t blocks = static_cast<uint32_t>(state.range(0));
  uint32_t entries = static_cast<uint32_t>(state.range(1));
  testing_support::MemoryImageIo io(testing_support::SectionsInOnePage(blocks, entries).Build());
  peimage::RebaseOptions options;
  options.new_base = 0x20000000;
  peimage::Workspace workspace;
  for (auto _ : state) {
    peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, options, workspace);
    if (result.ok() || result.error().code != peimage::ErrorCode::kBadRelocationTable) {
      state.SkipWithError("the overlapping targets were not refused");
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * blocks * entries));
}
BENCHMARK(BM_RefuseBlocksOverManySections)->Args({128, 32768})->Args({4096, 2048})->Unit(benchmark::kMillisecond);

void BM_MinimalImage(benchmark::State& state) {
  Bytes data(0x200, 0);
  testing_support::WriteLe(data, 0, 4, 0x10001000);
  Bytes image = ImageBuilder().Section(SectionSpec{".data", 0x1000, 0, data, {}, {}})
                    .Relocations({RelocationBlock{0x1000, {Entry(3, 0), Entry(0, 0)}}}).Build();
  RebaseBackAndForth(state, image, 1, 0x10000000, 0x20000000);
}
BENCHMARK(BM_MinimalImage);

void BM_QueryMinimalImage(benchmark::State& state) {
  Bytes image = ImageBuilder().Section(SectionSpec{".data", 0x1000, 0, Bytes(0x200, 0), {}, {}}).Build();
  testing_support::MemoryImageIo io(image);
  for (auto _ : state) benchmark::DoNotOptimize(peimage::QueryImage(io));
}
BENCHMARK(BM_QueryMinimalImage);

}  // namespace

BENCHMARK_MAIN();
