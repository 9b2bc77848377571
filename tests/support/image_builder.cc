#include "support/image_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace testing_support {

namespace {
constexpr uint32_t kHeadersSize = 0x200;
constexpr uint32_t kPageSize = 0x1000;

uint32_t AlignUp(uint64_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}
}  // namespace

bool WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

uint64_t ReadLe(const std::vector<uint8_t>& bytes, size_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = value << 8 | bytes.at(offset + i);
  return value;
}

void WriteLe(std::vector<uint8_t>& bytes, size_t offset, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t ReferenceChecksum(const std::vector<uint8_t>& image, uint32_t checksum_offset) {
  // The field is skipped by byte offset: it can start at an odd one.
  auto byte = [&](size_t at) -> uint32_t {
    bool in_field = at >= checksum_offset && at - checksum_offset < 4;
    return at < image.size() && !in_field ? image[at] : 0;
  };
  uint32_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return sum + static_cast<uint32_t>(image.size());
}

ImageBuilder::ImageBuilder(bool pe32_plus)
    : pe32_plus_(pe32_plus), base_(pe32_plus ? 0x180000000 : 0x10000000), machine_(pe32_plus ? 0x8664 : 0x14C) {}

std::vector<uint8_t> RelocationTableBytes(const std::vector<RelocationBlock>& blocks, bool pad) {
  std::vector<uint8_t> bytes;
  for (const RelocationBlock& block : blocks) {
    size_t at = bytes.size();
    size_t entries = pad ? (block.entries.size() + 1) & ~size_t{1} : block.entries.size();
    size_t size = 8 + 2 * entries;
    bytes.resize(at + size, 0);
    WriteLe(bytes, at, 4, block.page_rva);
    WriteLe(bytes, at + 4, 4, size);
    for (size_t i = 0; i < block.entries.size(); ++i) WriteLe(bytes, at + 8 + 2 * i, 2, block.entries[i]);
  }
  return bytes;
}

ImageBuilder& ImageBuilder::Relocations(std::vector<RelocationBlock> blocks, bool pad) {
  return RawRelocations(RelocationTableBytes(blocks, pad));
}

ImageBuilder& ImageBuilder::RawRelocations(std::vector<uint8_t> bytes) {
  relocations_ = std::move(bytes);
  return *this;
}

ImageBuilder& ImageBuilder::Directory(unsigned index, uint32_t address, uint32_t size) {
  directories_.push_back({index, {address, size}});
  return *this;
}

std::vector<uint8_t> ImageBuilder::Build() const {
  // The sections by reference: a sample's data can run to many megabytes.
  std::vector<const SectionSpec*> sections;
  for (const SectionSpec& s : sections_) sections.push_back(&s);
  const uint32_t salign = section_alignment_, falign = file_alignment_;
  const bool as_file_lies = salign < kPageSize;
  uint32_t next_rva = salign;
  for (const SectionSpec* s : sections) {
    next_rva = std::max(next_rva, AlignUp(uint64_t{s->rva} + (s->virtual_size ? s->virtual_size : s->data.size()), salign));
  }
  SectionSpec reloc{".reloc", next_rva, 0, relocations_.value_or(std::vector<uint8_t>{}), {}, {}};
  if (relocations_) sections.push_back(&reloc);

  uint32_t optional_size = pe32_plus_ ? 240 : 224;
  uint32_t table = Layout::kOptionalHeader + optional_size;
  // The headers grow past their usual size only for a long section table.
  uint32_t headers_size = std::max({as_file_lies ? 0 : kHeadersSize, headers_size_,
                                    AlignUp(table + 40 * uint64_t{sections.size()}, falign)});
  std::vector<uint8_t> image(headers_size, 0);
  image[0] = 'M';
  image[1] = 'Z';
  WriteLe(image, 0x3C, 4, Layout::kLfanew);
  std::memcpy(&image[Layout::kLfanew], "PE\0\0", 4);
  WriteLe(image, Layout::kLfanew + 4, 2, machine_);
  WriteLe(image, Layout::kLfanew + 6, 2, sections.size());
  WriteLe(image, Layout::kTimeDateStamp, 4, time_stamp_);
  WriteLe(image, Layout::kLfanew + 20, 2, optional_size);
  WriteLe(image, Layout::kCharacteristics, 2, characteristics_);
  uint32_t opt = Layout::kOptionalHeader;
  WriteLe(image, opt, 2, pe32_plus_ ? 0x20B : 0x10B);
  WriteLe(image, opt + 16, 4, entry_point_);
  WriteLe(image, Layout::ImageBase(pe32_plus_), pe32_plus_ ? 8 : 4, base_);
  WriteLe(image, opt + 32, 4, salign);
  WriteLe(image, opt + 36, 4, falign);
  WriteLe(image, opt + 60, 4, headers_size);
  WriteLe(image, opt + 70, 2, dll_characteristics_);
  WriteLe(image, opt + (pe32_plus_ ? 108 : 92), 4, rva_and_sizes_);

  uint32_t size_of_image = salign;
  uint32_t raw_cursor = headers_size;
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionSpec& s = *sections[i];
    uint32_t raw_size = s.raw_size.value_or(AlignUp(s.data.size(), falign));
    uint32_t raw_offset = s.raw_offset.value_or(as_file_lies ? s.rva : raw_cursor);
    uint32_t virtual_size = s.virtual_size ? s.virtual_size : static_cast<uint32_t>(s.data.size());
    uint32_t at = table + 40 * static_cast<uint32_t>(i);
    std::memcpy(&image[at], s.name.c_str(), std::min<size_t>(8, s.name.size()));
    WriteLe(image, at + 8, 4, virtual_size);
    WriteLe(image, at + 12, 4, s.rva);
    WriteLe(image, at + 16, 4, raw_size);
    WriteLe(image, at + 20, 4, raw_offset);
    WriteLe(image, at + 36, 4, s.characteristics);
    if (image.size() < raw_offset + uint64_t{raw_size}) image.resize(raw_offset + uint64_t{raw_size}, 0);
    std::copy_n(s.data.begin(), std::min<size_t>(s.data.size(), raw_size), image.begin() + raw_offset);
    raw_cursor = std::max<uint32_t>(raw_cursor, raw_offset + raw_size);
    size_of_image = std::max(size_of_image, AlignUp(uint64_t{s.rva} + virtual_size, salign));
  }
  image.resize(raw_cursor, 0);
  WriteLe(image, opt + 56, 4, size_of_image);
  if (relocations_) {
    WriteLe(image, Layout::Directory(pe32_plus_, 5), 4, reloc.rva);
    WriteLe(image, Layout::Directory(pe32_plus_, 5) + 4, 4, relocations_->size());
  }
  if (certificate_size_ != 0) {
    WriteLe(image, Layout::Directory(pe32_plus_, 4), 4, image.size());
    WriteLe(image, Layout::Directory(pe32_plus_, 4) + 4, 4, certificate_size_);
    image.resize(image.size() + certificate_size_, 0x5A);
  }
  for (const auto& d : directories_) {
    WriteLe(image, Layout::Directory(pe32_plus_, d.first), 4, d.second.first);
    WriteLe(image, Layout::Directory(pe32_plus_, d.first) + 4, 4, d.second.second);
  }
  image.insert(image.end(), overlay_.begin(), overlay_.end());
  if (checksum_) WriteLe(image, Layout::kCheckSum, 4, ReferenceChecksum(image, Layout::kCheckSum));
  return image;
}

std::vector<RelocationBlock> Ordered(std::vector<RelocationBlock> blocks, BlockOrder order) {
  if (order == BlockOrder::kBackward) std::reverse(blocks.begin(), blocks.end());
  if (order == BlockOrder::kShuffled) {
    uint32_t state = 12345;  // a fixed linear congruential sequence: the same shuffle on every run
    for (size_t i = blocks.size(); i > 1; --i) {
      state = state * 1103515245u + 12345u;
      std::swap(blocks[i - 1], blocks[(state >> 8) % i]);
    }
  }
  return blocks;
}

ImageBuilder PointerImage(uint32_t pages, uint64_t base, bool pe32_plus, uint32_t every, BlockOrder order) {
  std::vector<uint8_t> data(size_t{pages} * 0x1000, 0);
  std::vector<RelocationBlock> blocks;
  unsigned width = pe32_plus ? 8 : 4;
  for (uint32_t page = 0; page < pages; page += every) {
    RelocationBlock block{0x1000 + page * 0x1000, {}};
    for (uint32_t offset = 0; offset < 0x1000; offset += 16) {
      WriteLe(data, size_t{page} * 0x1000 + offset, width, base + 0x1000 + page * 0x1000 + offset);
      block.entries.push_back(Entry(pe32_plus ? 10 : 3, offset));
    }
    blocks.push_back(block);
  }
  ImageBuilder builder(pe32_plus);
  builder.Base(base).Section(SectionSpec{".data", 0x1000, 0, std::move(data), {}, {}}).Relocations(Ordered(std::move(blocks), order));
  return builder;
}

ImageBuilder HoldingItsAddress(ImageBuilder builder, const char* name, uint32_t characteristics, uint32_t at,
                               unsigned width) {
  // 0xCC around it: no wider value read across it holds an address.
  std::vector<uint8_t> data(0x200, 0xCC);
  WriteLe(data, at, width, builder.base() + 0x1000);
  return builder.Section(SectionSpec{name, 0x1000, 0, data, {}, {}, characteristics});
}

ImageBuilder SectionsInOnePage(uint32_t blocks, uint32_t entries) {
  constexpr uint32_t kPage = 0x15000;  // past a section table of 2,049 entries
  ImageBuilder builder;
  // Mapped as the file lies, the sections' file data can follow one another
  // at two bytes apart, each at its RVA.
  builder.Alignment(2, 2);
  for (uint32_t i = 0; i < 0x800; ++i) {
    builder.Section(SectionSpec{".s", kPage + 2 * i, 0, std::vector<uint8_t>{0x00, 0x10}, 2, {}});
  }
  RelocationBlock block{kPage, {}};
  for (uint32_t i = 0; i < entries; ++i) block.entries.push_back(Entry(1, (2 * i) % 0x1000));
  return builder.Relocations(std::vector<RelocationBlock>(blocks, block));
}

}  // namespace testing_support
