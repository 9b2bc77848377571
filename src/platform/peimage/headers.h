#ifndef DORVANE_PEIMAGE_HEADERS_H
#define DORVANE_PEIMAGE_HEADERS_H

#include <array>
#include <cstdint>
#include <vector>

#include "error.h"
#include "image_io.h"

namespace peimage {

/// Image bases, and so the distance an image moves, are multiples of this.
constexpr uint64_t kAllocationGranularity = 0x10000;

constexpr uint16_t kImageFileRelocsStripped = 0x0001;
constexpr uint16_t kImageFileSystem = 0x1000;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kDllCharacteristicsDynamicBase = 0x0040;
constexpr uint32_t kSectionContainsCode = 0x00000020;
constexpr uint32_t kSectionExecutable = 0x20000000;
constexpr unsigned kResourceDirectory = 2;
constexpr unsigned kCertificateDirectory = 4;
constexpr unsigned kBaseRelocationDirectory = 5;
constexpr unsigned kTlsDirectory = 9;
constexpr unsigned kLoadConfigDirectory = 10;
constexpr unsigned kDelayImportDirectory = 13;

/// A data directory entry as stored: an address (an RVA, except for the
/// certificate table, where it is a file offset) and a size.
struct DataDirectory {
  uint32_t address = 0;
  uint32_t size = 0;
};

/// A section header's fields as stored in the file, not yet checked.
struct RawSection {
  /// The 8-byte name up to its first NUL, for messages: bytes outside
  /// printable ASCII, and backslashes, as \xNN. NUL-terminated.
  char name[33] = {};
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t size_of_raw_data = 0;
  uint32_t pointer_to_raw_data = 0;
  uint32_t characteristics = 0;
};

/// What the loader needs to place an image.
struct BaseFields {
  uint32_t lfanew = 0;
  bool pe32_plus = false;
  uint64_t image_base = 0;
  uint32_t size_of_image = 0;  // as the loader reads it: 0 past the end of the file
};

/// The headers of a PE image, each field read from inside the file.
struct ImageHeaders : BaseFields {
  uint64_t file_size = 0;
  uint16_t characteristics = 0;
  uint32_t time_date_stamp = 0;
  uint32_t size_of_headers = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t checksum = 0;
  uint32_t entry_point = 0;  // AddressOfEntryPoint
  uint16_t dll_characteristics = 0;
  /// The data directories; {0, 0}, as none, where NumberOfRvaAndSizes or
  /// SizeOfOptionalHeader says that one does not exist.
  std::array<DataDirectory, 16> directories{};
  /// The base relocation directory's entry at its fixed place after the
  /// optional header's start, where NumberOfRvaAndSizes or
  /// SizeOfOptionalHeader leaves it out: a loader reads it there all the
  /// same (Wine always, Windows when NumberOfRvaAndSizes counts it), from
  /// the section table when that begins first. {0, 0} otherwise.
  DataDirectory unread_relocations{};
  uint32_t number_of_rva_and_sizes = 0;
  uint16_t size_of_optional_header = 0;

  /// File offsets of the fields that a rebase rewrites.
  uint64_t time_date_stamp_offset = 0;
  uint64_t image_base_offset = 0;
  uint64_t checksum_offset = 0;
  /// File offset just past the section table.
  uint64_t headers_end = 0;

  std::vector<RawSection> sections;

  unsigned address_width() const { return pe32_plus ? 8 : 4; }
};

/// Reads the base of the image behind `io` as the loader does: "MZ", an
/// e_lfanew inside the file, "PE\0\0", a known optional header Magic and an
/// ImageBase inside the file; other header bytes past the end of the file
/// read as zero, as the loader maps them.
/// Errors: kNotPeImage (no "MZ" or "PE\0\0", e_lfanew outside the file),
/// kTruncatedHeaders (the file ends inside the DOS header, the Magic or
/// ImageBase), kInconsistentHeaders (unknown Magic), kIoError.
Result<BaseFields> ReadBaseFields(ImageIo& io);

/// Reads and checks the headers and section table of the image behind `io`
/// as a rebase needs them: what ReadBaseFields checks, then all of them
/// inside the file. One read of the first page, more for what lies past it.
/// Errors: those of ReadBaseFields; kTruncatedHeaders (a header or the
/// section table runs past the file), kInconsistentHeaders
/// (SizeOfOptionalHeader too small for its Magic, a field that a rebase
/// rewrites lies over e_lfanew), kIoError.
Result<ImageHeaders> ParseHeaders(ImageIo& io);

}  // namespace peimage

#endif
