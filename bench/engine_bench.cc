// Google Benchmark for the image engine alone, on images held in memory.
//   engine_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <vector>

#include "peimage/memory_image_io.h"
#include "peimage/rebaser.h"
#include "support/image_builder.h"

namespace {

using testing_support::Entry;
using testing_support::ImageBuilder;
using testing_support::RelocationBlock;
using testing_support::SectionSpec;
using Bytes = std::vector<uint8_t>;

// `megabytes` of data with a pointer every 16 bytes (PE32: HIGHLOW,
// PE32+: DIR64), each with its relocation.
Bytes LargeImage(uint32_t megabytes, bool pe32_plus, bool checksum, size_t& relocations) {
  uint32_t pages = megabytes * 256;
  unsigned width = pe32_plus ? 8 : 4;
  uint64_t base = pe32_plus ? 0x180000000 : 0x10000000;
  Bytes data(size_t{pages} * 0x1000, 0);
  std::vector<RelocationBlock> blocks(pages);
  relocations = 0;
  for (uint32_t page = 0; page < pages; ++page) {
    blocks[page].page_rva = 0x1000 + page * 0x1000;
    for (uint32_t offset = 0; offset < 0x1000; offset += 16) {
      testing_support::WriteLe(data, size_t{page} * 0x1000 + offset, width, base + 0x1000 + page * 0x1000 + offset);
      blocks[page].entries.push_back(Entry(pe32_plus ? 10 : 3, offset));
      ++relocations;
    }
  }
  ImageBuilder builder(pe32_plus);
  builder.Section(SectionSpec{".data", 0x1000, 0, std::move(data), {}, {}}).Relocations(std::move(blocks));
  if (checksum) builder.WithChecksum();
  return builder.Build();
}

void RebaseBackAndForth(benchmark::State& state, const Bytes& image, size_t relocations, uint64_t a, uint64_t b) {
  peimage::MemoryImageIo io(image);
  bool toward_b = true;
  for (auto _ : state) {
    peimage::RebaseOptions options;
    options.new_base = toward_b ? b : a;
    toward_b = !toward_b;
    peimage::Result<peimage::ImageReport> result = peimage::RebaseImage(io, options);
    if (!result.ok()) state.SkipWithError(result.error().message.c_str());
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * relocations));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_RelocationsHighLow(benchmark::State& state) {
  size_t relocations = 0;
  static const Bytes image = LargeImage(64, false, false, relocations);
  static const size_t count = relocations;
  RebaseBackAndForth(state, image, count, 0x10000000, 0x20000000);
}
BENCHMARK(BM_RelocationsHighLow)->Unit(benchmark::kMillisecond);

void BM_RelocationsDir64(benchmark::State& state) {
  size_t relocations = 0;
  static const Bytes image = LargeImage(64, true, false, relocations);
  static const size_t count = relocations;
  RebaseBackAndForth(state, image, count, 0x180000000, 0x7FF00000);
}
BENCHMARK(BM_RelocationsDir64)->Unit(benchmark::kMillisecond);

void BM_RelocationsWithChecksum(benchmark::State& state) {
  size_t relocations = 0;
  static const Bytes image = LargeImage(64, false, true, relocations);
  static const size_t count = relocations;
  RebaseBackAndForth(state, image, count, 0x10000000, 0x20000000);
}
BENCHMARK(BM_RelocationsWithChecksum)->Unit(benchmark::kMillisecond);

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
  peimage::MemoryImageIo io(image);
  for (auto _ : state) benchmark::DoNotOptimize(peimage::QueryImage(io));
}
BENCHMARK(BM_QueryMinimalImage);

}  // namespace

BENCHMARK_MAIN();
