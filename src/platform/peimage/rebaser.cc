#include "rebaser.h"

#include <optional>
#include <vector>

#include "base_relocations.h"
#include "checksum.h"
#include "headers.h"
#include "page_cache.h"
#include "section_map.h"

namespace peimage {

namespace {

constexpr uint64_t kAllocationGranularity = 0x10000;

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
  if (headers.image_base % kAllocationGranularity != 0) {
    return MakeError(ErrorCode::kInconsistentHeaders, "ImageBase 0x%llX is not a multiple of 64 KiB",
                     static_cast<unsigned long long>(headers.image_base));
  }
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

/// Adds the delta to each relocation target, in the page cache.
class RelocationApplier {
 public:
  RelocationApplier(const ImageHeaders& headers, const SectionMap& sections, const RelocationDirectory& directory,
                    uint64_t new_base, PageCache& pages)
      : sections_(sections), directory_(directory), pages_(pages) {
    uint64_t delta = new_base - headers.image_base;
    // Every value is patched in the image's address width: a PE32 delta wraps
    // modulo 2^32 and reaches 64-bit fields sign-extended.
    delta32_ = static_cast<uint32_t>(delta);
    delta64_ = headers.pe32_plus ? delta : static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(delta32_)));
  }

  Status operator()(const Relocation& relocation) {
    unsigned width = RelocationWidth(relocation.type);
    std::optional<uint64_t> offset = sections_.FileOffset(relocation.rva, width);
    if (!offset) return OutOfRange(relocation, "has no file bytes behind it");
    if (*offset + width > directory_.file_offset && *offset < directory_.file_offset + directory_.size) {
      return OutOfRange(relocation, "lies inside the relocation table");
    }
    // Overlapping targets would make the result depend on the order of the
    // patches, and a move back would not restore the original.
    bool fresh = true;
    if (Status s = pages_.MarkTarget(*offset, width, fresh); !s.ok()) return s;
    if (!fresh) {
      return MakeError(ErrorCode::kBadRelocationTable, "relocation of type %u at RVA 0x%llX overlaps another target",
                       relocation.type, static_cast<unsigned long long>(relocation.rva));
    }
    uint64_t value = 0;
    if (Status s = pages_.Load(*offset, width, value); !s.ok()) return s;
    return pages_.Store(*offset, width, Patch(relocation, value));
  }

 private:
  uint64_t Patch(const Relocation& relocation, uint64_t value) const {
    switch (relocation.type) {
      case kRelHigh:
        return value + (delta32_ >> 16);
      case kRelLow:
        return value + delta32_;
      case kRelHighLow:
        return value + delta32_;
      case kRelHighAdj: {
        uint32_t full = (static_cast<uint32_t>(value) << 16) + static_cast<uint32_t>(int32_t{relocation.high_adj_low});
        return (full + delta32_ + 0x8000) >> 16;
      }
      default:  // kRelDir64
        return value + delta64_;
    }
  }

  Error OutOfRange(const Relocation& relocation, const char* why) const {
    return MakeError(ErrorCode::kRelocationOutOfRange, "relocation of type %u at RVA 0x%llX %s", relocation.type,
                     static_cast<unsigned long long>(relocation.rva), why);
  }

  const SectionMap& sections_;
  const RelocationDirectory& directory_;
  PageCache& pages_;
  uint32_t delta32_ = 0;
  uint64_t delta64_ = 0;
};

Status PlanChecksum(ImageIo& io, const ImageHeaders& headers, PageCache& pages) {
  ChecksumAccumulator checksum(headers.checksum_offset);
  std::vector<uint8_t> chunk(1 << 18);
  for (uint64_t offset = 0; offset < headers.file_size; offset += chunk.size()) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(chunk.size(), headers.file_size - offset));
    if (Status read = io.Read(offset, chunk.data(), length); !read.ok()) return read;
    pages.Overlay(offset, chunk.data(), length);
    checksum.Add(chunk.data(), length);
  }
  return pages.Store(headers.checksum_offset, 4, checksum.Finish());
}

Status PlanHeaderFields(const ImageHeaders& headers, const RebaseOptions& options, PageCache& pages) {
  if (Status s = pages.Store(headers.image_base_offset, headers.address_width(), options.new_base); !s.ok()) return s;
  uint32_t stamp = options.time_stamp != 0 ? options.time_stamp : headers.time_date_stamp + 1;
  return pages.Store(headers.time_date_stamp_offset, 4, stamp);
}

}  // namespace

Result<ImageReport> QueryImage(ImageIo& io) {
  Result<ImageHeaders> headers = ParseHeaders(io);
  if (!headers.ok()) return headers.error();
  return ReportOf(headers.value());
}

Result<ImageReport> RebaseImage(ImageIo& io, const RebaseOptions& options) {
  Result<ImageHeaders> parsed = ParseHeaders(io);
  if (!parsed.ok()) return parsed.error();
  const ImageHeaders& headers = parsed.value();
  ImageReport report = ReportOf(headers);
  if (Status s = CheckRequest(headers, report, options); !s.ok()) return s.error();
  if (options.new_base == headers.image_base) return report;

  Result<SectionMap> sections = SectionMap::Build(headers);
  if (!sections.ok()) return sections.error();
  if (Status s = CheckMovable(headers, options); !s.ok()) return s.error();
  Result<std::optional<RelocationDirectory>> directory = LocateRelocations(headers, sections.value());
  if (!directory.ok()) return directory.error();

  PageCache pages(io);
  if (directory.value()) {
    RelocationApplier apply(headers, sections.value(), *directory.value(), options.new_base, pages);
    if (Status s = WalkRelocations(io, *directory.value(), apply); !s.ok()) return s.error();
  }
  if (Status s = PlanHeaderFields(headers, options, pages); !s.ok()) return s.error();
  if (headers.checksum != 0) {
    if (Status s = PlanChecksum(io, headers, pages); !s.ok()) return s.error();
  }
  if (Status s = pages.Commit(); !s.ok()) return s.error();
  return report;
}

}  // namespace peimage
