#include "rebaser.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base_relocations.h"
#include "headers.h"
#include "held_addresses.h"
#include "prefetch_io.h"
#include "rebase_pass.h"
#include "relocation_index.h"
#include "relocation_patch.h"
#include "relocation_table.h"
#include "section_map.h"

namespace peimage {

namespace {

constexpr uint64_t kAllocationGranularity = 0x10000;
// Read ahead in one piece: the first page, where the headers of nearly every
// image lie.
constexpr uint64_t kHeaderBytes = 4096;

ImageReport ReportOf(uint32_t size_of_image, uint64_t image_base) {
  uint64_t rounded = (uint64_t{size_of_image} + kAllocationGranularity - 1) & ~(kAllocationGranularity - 1);
  return ImageReport{size_of_image, image_base, rounded};
}

Status CheckRequest(const ImageHeaders& headers, const ImageReport& report, const RebaseOptions& options) {
  uint64_t base = options.new_base;
  if (base == 0) return MakeError(ErrorCode::kBadRequestedBase, "requested base 0 is not a valid image base");
  if (base % kAllocationGranularity != 0) {
    return MakeError(ErrorCode::kBadRequestedBase, "requested base 0x%llX is not a multiple of 64 KiB",
                     static_cast<unsigned long long>(base));
  }
  if (!headers.pe32_plus && base + headers.size_of_image > (uint64_t{1} << 32)) {
    return MakeError(ErrorCode::kBadRequestedBase,
                     "requested base 0x%llX + SizeOfImage 0x%X ends beyond 4 GiB for a PE32 image",
                     static_cast<unsigned long long>(base), headers.size_of_image);
  }
  if (headers.pe32_plus && base > UINT64_MAX - headers.size_of_image) {
    return MakeError(ErrorCode::kBadRequestedBase, "requested base 0x%llX + SizeOfImage 0x%X overflows 64 bits",
                     static_cast<unsigned long long>(base), headers.size_of_image);
  }
  if (options.max_image_size != 0 && report.new_image_size > options.max_image_size) {
    return MakeError(ErrorCode::kImageTooLarge, "image size 0x%llX exceeds the limit 0x%llX",
                     static_cast<unsigned long long>(report.new_image_size),
                     static_cast<unsigned long long>(options.max_image_size));
  }
  return {};
}

Status CheckMovable(const ImageHeaders& headers, const RebaseOptions& options) {
  if ((headers.characteristics & kImageFileSystem) && !options.allow_system_image) {
    return MakeError(ErrorCode::kSystemImage, "Characteristics 0x%04X mark a system file",
                     headers.characteristics);
  }
  if (headers.certificate_table && headers.certificate_table->size != 0) {
    return MakeError(ErrorCode::kSignedImage, "certificate table at file offset 0x%X holds 0x%X bytes",
                     headers.certificate_table->address, headers.certificate_table->size);
  }
  if (headers.characteristics & kImageFileRelocsStripped) {
    return MakeError(ErrorCode::kRelocationsStripped, "Characteristics 0x%04X have IMAGE_FILE_RELOCS_STRIPPED set",
                     headers.characteristics);
  }
  return {};
}

// What in the image can hold an address of the image itself: a section of
// code, a directory whose structures hold virtual addresses, the entry
// point. Nothing for a resource-only DLL.
std::optional<std::string> AddressHolder(const ImageHeaders& headers) {
  char said[96];
  for (const RawSection& section : headers.sections) {
    const char* how = (section.characteristics & kSectionContainsCode) ? "holds code"
                      : (section.characteristics & kSectionExecutable) ? "is executable"
                                                                       : nullptr;
    if (how == nullptr) continue;
    std::snprintf(said, sizeof said, "section '%s' %s", section.name, how);
    return said;
  }
  const std::pair<const std::optional<DataDirectory>&, const char*> directories[] = {
      {headers.tls_table, "TLS"}, {headers.load_config_table, "load configuration"},
      {headers.delay_import_table, "delay-import"}};
  for (const auto& [directory, name] : directories) {
    if (!directory || (directory->address == 0 && directory->size == 0)) continue;
    std::snprintf(said, sizeof said, "the %s directory (RVA 0x%X, size 0x%X) holds addresses", name,
                  directory->address, directory->size);
    return said;
  }
  if (headers.entry_point != 0) {
    std::snprintf(said, sizeof said, "AddressOfEntryPoint 0x%X is code", headers.entry_point);
    return said;
  }
  return std::nullopt;
}

// An image without a relocation directory holds no record of where its
// addresses are: moved, every one of them would still point at the old base.
// So it moves only when it holds none. One that does not let the loader move
// it (not DYNAMIC_BASE) is taken at its word when it has code or structures
// of addresses; in any other, every value that points into the image counts.
Status CheckMovableWithoutRelocations(ImageIo& io, const ImageHeaders& headers, const SectionMap& sections) {
  bool dynamic_base = headers.dll_characteristics & kDllCharacteristicsDynamicBase;
  std::optional<std::string> holder = dynamic_base ? std::nullopt : AddressHolder(headers);
  if (!holder) {
    Result<std::optional<std::string>> held = FindHeldAddress(io, headers, sections);
    if (!held.ok()) return held.error();
    holder = std::move(held.value());
  }
  if (!holder) return {};
  return MakeError(ErrorCode::kRelocationsStripped, "no base relocation directory; %s", holder->c_str());
}

uint32_t NewTimeStamp(const ImageHeaders& headers, const RebaseOptions& options) {
  return options.time_stamp != 0 ? options.time_stamp : headers.time_date_stamp + 1;
}

}  // namespace

Result<ImageReport> QueryImage(ImageIo& file) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, kHeaderBytes);
  Result<BaseFields> fields = ReadBaseFields(io);
  if (!fields.ok()) return fields.error();
  return ReportOf(fields.value().size_of_image, fields.value().image_base);
}

Result<ImageReport> RebaseImage(ImageIo& file, const RebaseOptions& options) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, kHeaderBytes);  // a failed read is met again, and reported, where it matters
  Result<ImageHeaders> parsed = ParseHeaders(io);
  if (!parsed.ok()) return parsed.error();
  const ImageHeaders& headers = parsed.value();
  ImageReport report = ReportOf(headers.size_of_image, headers.image_base);
  if (Status s = CheckRequest(headers, report, options); !s.ok()) return s.error();
  if (options.new_base == headers.image_base) return report;

  Result<SectionMap> sections = SectionMap::Build(headers);
  if (!sections.ok()) return sections.error();
  Result<Delta> delta = Delta::Between(headers.image_base, options.new_base, headers.pe32_plus);
  if (!delta.ok()) return delta.error();
  if (Status s = CheckMovable(headers, options); !s.ok()) return s.error();
  Result<std::optional<RelocationDirectory>> directory = LocateRelocations(headers, sections.value());
  if (!directory.ok()) return directory.error();
  if (!directory.value()) {
    if (Status s = CheckMovableWithoutRelocations(io, headers, sections.value()); !s.ok()) return s.error();
  }

  std::optional<RelocationTable> table;
  RelocationPieces pieces;
  if (directory.value()) {
    table.emplace(io, *directory.value());
    Result<RelocationPieces> indexed = IndexRelocations(*table, sections.value());
    if (!indexed.ok()) return indexed.error();
    pieces = std::move(indexed.value());
  }
  CheckedRebase rebase{headers,      sections.value(),  table ? &*table : nullptr,
                       pieces,       delta.value(),     options.new_base,
                       NewTimeStamp(headers, options)};
  if (Status s = WriteRebase(io, rebase); !s.ok()) return s.error();
  return report;
}

}  // namespace peimage
