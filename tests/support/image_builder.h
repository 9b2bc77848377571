#ifndef DORVANE_TESTS_IMAGE_BUILDER_H
#define DORVANE_TESTS_IMAGE_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

/// A relocation entry: type in the high 4 bits, page offset in the low 12.
constexpr uint16_t Entry(unsigned type, unsigned offset) { return static_cast<uint16_t>(type << 12 | (offset & 0xFFF)); }

struct RelocationBlock {
  uint32_t page_rva = 0;
  std::vector<uint16_t> entries;
};

struct SectionSpec {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtual_size = 0;  // 0: the data's size
  std::vector<uint8_t> data;
  std::optional<uint32_t> raw_size;    // default: data size rounded up to 0x200
  std::optional<uint32_t> raw_offset;  // default: after the previous section
  uint32_t characteristics = 0;
};

/// The bytes of a relocation table holding `blocks`, each padded to a 32-bit
/// boundary with an ABSOLUTE entry where it needs one, or, with `pad` false,
/// right after the one before, as Go's linker writes them.
std::vector<uint8_t> RelocationTableBytes(const std::vector<RelocationBlock>& blocks, bool pad = true);

/// Section Characteristics.
constexpr uint32_t kCode = 0x60000020;      // code, executable, readable
constexpr uint32_t kResources = 0x40000040;  // initialised data, readable

/// File offsets of header fields in every image the builder makes.
struct Layout {
  static constexpr uint32_t kLfanew = 0x40;
  static constexpr uint32_t kNumberOfSections = kLfanew + 6;
  static constexpr uint32_t kTimeDateStamp = kLfanew + 8;
  static constexpr uint32_t kCharacteristics = kLfanew + 22;
  static constexpr uint32_t kOptionalHeader = kLfanew + 24;
  static constexpr uint32_t kImageBase = kOptionalHeader + 24;  // PE32+; PE32 adds 4
  static constexpr uint32_t kCheckSum = kOptionalHeader + 64;
  static uint32_t ImageBase(bool pe32_plus) { return pe32_plus ? kImageBase : kImageBase + 4; }
  static uint32_t Directory(bool pe32_plus, unsigned index) { return kOptionalHeader + (pe32_plus ? 112 : 96) + 8 * index; }
  /// The header of section `index`: VirtualSize at +8, VirtualAddress +12,
  /// SizeOfRawData +16, PointerToRawData +20, Characteristics +36.
  static uint32_t Section(bool pe32_plus, unsigned index) { return kOptionalHeader + (pe32_plus ? 240 : 224) + 40 * index; }
};

/// Builds PE32 and PE32+ images in memory: DOS and NT headers, a section
/// table, section data, an optional .reloc section, certificate table and
/// overlay. Header size 0x200 (more for a long section table), file alignment
/// 0x200, section alignment 0x1000, unless set otherwise.
class ImageBuilder {
 public:
  explicit ImageBuilder(bool pe32_plus = false);

  ImageBuilder& Base(uint64_t base) { base_ = base; return *this; }
  ImageBuilder& Machine(uint16_t machine) { machine_ = machine; return *this; }
  ImageBuilder& Characteristics(uint16_t flags) { characteristics_ = flags; return *this; }
  ImageBuilder& TimeStamp(uint32_t stamp) { time_stamp_ = stamp; return *this; }
  ImageBuilder& EntryPoint(uint32_t rva) { entry_point_ = rva; return *this; }
  ImageBuilder& DllCharacteristics(uint16_t flags) { dll_characteristics_ = flags; return *this; }
  /// Stores a correct checksum (computed independently of the engine).
  ImageBuilder& WithChecksum() { checksum_ = true; return *this; }
  ImageBuilder& Section(SectionSpec section) { sections_.push_back(std::move(section)); return *this; }
  /// Adds a .reloc section after the others holding these blocks, as
  /// RelocationTableBytes lays them out.
  ImageBuilder& Relocations(std::vector<RelocationBlock> blocks, bool pad = true);
  /// Adds a .reloc section holding exactly these bytes as the directory.
  ImageBuilder& RawRelocations(std::vector<uint8_t> bytes);
  /// Appends a certificate table of `size` bytes after the sections.
  ImageBuilder& Certificate(uint32_t size) { certificate_size_ = size; return *this; }
  ImageBuilder& Overlay(std::vector<uint8_t> bytes) { overlay_ = std::move(bytes); return *this; }
  /// Sets a data directory by hand (after Build would set it).
  ImageBuilder& Directory(unsigned index, uint32_t address, uint32_t size);
  ImageBuilder& NumberOfRvaAndSizes(uint32_t count) { rva_and_sizes_ = count; return *this; }
  /// SectionAlignment and FileAlignment. Below the page size (0x1000) the
  /// loader maps the file as it lies: sections not placed by hand lie in the
  /// file at their RVAs, and the headers take what they need, aligned.
  ImageBuilder& Alignment(uint32_t section, uint32_t file) { section_alignment_ = section; file_alignment_ = file; return *this; }
  /// SizeOfHeaders, when more than the headers need; the sections not
  /// placed by hand follow it in the file.
  ImageBuilder& HeadersSize(uint32_t size) { headers_size_ = size; return *this; }

  std::vector<uint8_t> Build() const;

  bool pe32_plus() const { return pe32_plus_; }
  uint64_t base() const { return base_; }

 private:
  bool pe32_plus_;
  uint64_t base_;
  uint16_t machine_;
  uint16_t characteristics_ = 0x2102;  // DLL, 32-bit machine, executable
  uint32_t time_stamp_ = 0x5F000000;
  uint32_t entry_point_ = 0;
  uint16_t dll_characteristics_ = 0;
  bool checksum_ = false;
  std::vector<SectionSpec> sections_;
  std::optional<std::vector<uint8_t>> relocations_;
  uint32_t certificate_size_ = 0;
  std::vector<uint8_t> overlay_;
  std::vector<std::pair<unsigned, std::pair<uint32_t, uint32_t>>> directories_;
  uint32_t rva_and_sizes_ = 16;
  uint32_t section_alignment_ = 0x1000;
  uint32_t file_alignment_ = 0x200;
  uint32_t headers_size_ = 0;
};

/// The order of a relocation table's blocks: by page, as linkers write them,
/// reversed, or shuffled (the same way every time).
enum class BlockOrder { kForward, kBackward, kShuffled };

/// An image based at `base` whose one data section holds `pages` pages of
/// pointers into itself, with a HIGHLOW (PE32) or DIR64 (PE32+) relocation
/// every 16 bytes of every `every`-th page, in one block per page.
ImageBuilder PointerImage(uint32_t pages, uint64_t base, bool pe32_plus, uint32_t every = 1,
                          BlockOrder order = BlockOrder::kForward);

/// `builder` with one section more and no relocation directory: at RVA
/// 0x1000, 0x200 bytes of 0xCC named `name`, of these Characteristics, that
/// hold at `at` the address of their first byte, `width` bytes wide.
ImageBuilder HoldingItsAddress(ImageBuilder builder, const char* name, uint32_t characteristics, uint32_t at,
                               unsigned width);

/// 2,048 sections of two bytes each, one after the other in the file and in
/// one page of addresses (an image mapped as the file lies), under `blocks` identical blocks of `entries` HIGH
/// relocations that go through the sections in turn: a hostile table, whose
/// targets overlap, for a rebase to refuse in bounded time and memory.
ImageBuilder SectionsInOnePage(uint32_t blocks, uint32_t entries);

/// `blocks` in `order`.
std::vector<RelocationBlock> Ordered(std::vector<RelocationBlock> blocks, BlockOrder order);

/// The PE checksum of `image`, straight from its definition.
uint32_t ReferenceChecksum(const std::vector<uint8_t>& image, uint32_t checksum_offset);

/// Writes `bytes` to a new file at `path`; false when that fails.
bool WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes);

uint64_t ReadLe(const std::vector<uint8_t>& bytes, size_t offset, unsigned width);
void WriteLe(std::vector<uint8_t>& bytes, size_t offset, unsigned width, uint64_t value);

}  // namespace testing_support

#endif
