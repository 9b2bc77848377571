#include "rebaser.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "held_addresses.h"
#include "sweep.h"

namespace peimage {

namespace {

ImageReport ReportOf(const BaseFields& fields) {
  uint64_t rounded = (uint64_t{fields.size_of_image} + kAllocationGranularity - 1) & ~(kAllocationGranularity - 1);
  return ImageReport{fields.size_of_image, fields.image_base, rounded};
}

Status CheckSize(const ImageReport& report, uint64_t max_image_size) {
  if (max_image_size == 0 || report.new_image_size <= max_image_size) return {};
  return MakeError(ErrorCode::kImageTooLarge, "image size 0x%llX exceeds the limit 0x%llX",
                   static_cast<unsigned long long>(report.new_image_size),
                   static_cast<unsigned long long>(max_image_size));
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
  return CheckSize(report, options.max_image_size);
}

Status CheckMovable(const ImageHeaders& headers, const RebaseOptions& options) {
  if ((headers.characteristics & kImageFileSystem) && !options.allow_system_image) {
    return MakeError(ErrorCode::kSystemImage, "Characteristics 0x%04X mark a system file",
                     headers.characteristics);
  }
  if (const DataDirectory& certificates = headers.directories[kCertificateDirectory]; certificates.size != 0) {
    return MakeError(ErrorCode::kSignedImage, "certificate table at file offset 0x%X holds 0x%X bytes",
                     certificates.address, certificates.size);
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
  const std::pair<unsigned, const char*> directories[] = {
      {kTlsDirectory, "TLS"}, {kLoadConfigDirectory, "load configuration"}, {kDelayImportDirectory, "delay-import"}};
  for (const auto& [index, name] : directories) {
    const DataDirectory& directory = headers.directories[index];
    if (directory.address == 0 && directory.size == 0) continue;
    std::snprintf(said, sizeof said, "the %s directory (RVA 0x%X, size 0x%X) holds addresses", name,
                  directory.address, directory.size);
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
Status CheckMovableWithoutRelocations(ImageIo& io, const ImageHeaders& headers, const SectionMap& sections,
                                      Workspace& workspace) {
  bool dynamic_base = headers.dll_characteristics & kDllCharacteristicsDynamicBase;
  std::optional<std::string> holder = dynamic_base ? std::nullopt : AddressHolder(headers);
  if (!holder) {
    Result<std::optional<std::string>> held = FindHeldAddress(io, headers, sections, workspace);
    if (!held.ok()) return held.error();
    holder = std::move(held.value());
  }
  if (!holder) return {};
  return MakeError(ErrorCode::kRelocationsStripped, "no base relocation directory; %s", holder->c_str());
}

}  // namespace

Result<ImageReport> QueryImage(ImageIo& io, uint64_t max_image_size) {
  Result<BaseFields> fields = ReadBaseFields(io);
  if (!fields.ok()) return fields.error();
  ImageReport report = ReportOf(fields.value());
  if (Status s = CheckSize(report, max_image_size); !s.ok()) return s.error();
  return report;
}

Result<ImageReport> RebaseImage(ImageIo& io, const RebaseOptions& options, Workspace& workspace) {
  Result<ImageHeaders> parsed = ParseHeaders(io);
  if (!parsed.ok()) return parsed.error();
  const ImageHeaders& headers = parsed.value();
  ImageReport report = ReportOf(headers);
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
    if (Status s = CheckMovableWithoutRelocations(io, headers, sections.value(), workspace); !s.ok()) return s.error();
  }

  std::optional<RelocationTable> table;
  RelocationPieces pieces;
  if (directory.value()) {
    table.emplace(io, *directory.value(), workspace);
    Result<RelocationPieces> indexed = IndexRelocations(*table, sections.value());
    if (!indexed.ok()) return indexed.error();
    pieces = std::move(indexed.value());
  }
  CheckedRebase rebase{headers,      sections.value(),  table ? &*table : nullptr,
                       pieces,       delta.value(),     options.new_base,
                       options.time_stamp != 0 ? options.time_stamp : headers.time_date_stamp + 1};
  if (Status s = WriteRebase(io, rebase, workspace); !s.ok()) return s.error();
  return report;
}

}  // namespace peimage
