#include "rebaser.h"

#include <optional>
#include <vector>

#include "base_relocations.h"
#include "headers.h"
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

ImageReport ReportOf(const ImageHeaders& headers) {
  uint64_t rounded = (uint64_t{headers.size_of_image} + kAllocationGranularity - 1) & ~(kAllocationGranularity - 1);
  return ImageReport{headers.size_of_image, headers.image_base, rounded};
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

uint32_t NewTimeStamp(const ImageHeaders& headers, const RebaseOptions& options) {
  return options.time_stamp != 0 ? options.time_stamp : headers.time_date_stamp + 1;
}

}  // namespace

Result<ImageReport> QueryImage(ImageIo& file) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, kHeaderBytes);
  Result<ImageHeaders> headers = ParseHeaders(io);
  if (!headers.ok()) return headers.error();
  return ReportOf(headers.value());
}

Result<ImageReport> RebaseImage(ImageIo& file, const RebaseOptions& options) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, kHeaderBytes);  // a failed read is met again, and reported, where it matters
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
