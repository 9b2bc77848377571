#include "rebaser.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base_relocations.h"
#include "checksum.h"
#include "headers.h"
#include "little_endian.h"
#include "prefetch_io.h"
#include "write_plan.h"
#include "relocation_stream.h"
#include "section_map.h"

namespace peimage {

namespace {

constexpr uint64_t kAllocationGranularity = 0x10000;
// Read ahead in one piece each: the first page, where the headers of nearly
// every image lie, and a relocation table of up to this size, which the
// rebase walks twice.
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kTableBytes = 256 * 1024;

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

uint64_t LoadLe(const uint8_t* p, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = value << 8 | p[i];
  return value;
}

void StoreLe(uint8_t* p, unsigned width, uint64_t value) {
  for (unsigned i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

/// Where a block's targets lie in the file. A block patches the page at its
/// PageRVA, plus up to 7 bytes beyond; when all of that lies in one section's
/// file data, the targets follow linearly from `file_base` and need no
/// lookup each.
struct BlockWindow {
  static constexpr uint64_t kSpan = 0x1000 + 7;
  bool linear = false;
  uint64_t file_base = 0;
  bool near_table = false;  // the window overlaps the relocation table
};

/// Finds and checks every relocation target, in two passes over the table:
/// Survey marks the bytes to change, Apply changes them in the plan.
class RelocationPass {
 public:
  RelocationPass(const ImageHeaders& headers, const SectionMap& sections, const RelocationDirectory& directory,
                 uint64_t new_base, WritePlan& plan)
      : sections_(sections), directory_(directory), plan_(plan) {
    uint64_t delta = new_base - headers.image_base;
    // Every value is patched in the image's address width: a PE32 delta wraps
    // modulo 2^32 and reaches 64-bit fields sign-extended.
    delta32_ = static_cast<uint32_t>(delta);
    delta64_ = headers.pe32_plus ? delta : static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(delta32_)));
  }

  Status Survey(ImageIo& io) {
    return WalkBlocks(io, directory_, [&](uint64_t block, uint32_t page_rva, const uint8_t* entries, size_t count) {
      BlockWindow window = WindowOf(page_rva);
      if (window.linear && !window.near_table) {
        // All targets are in bounds: touch the span they cover at once.
        uint64_t low = UINT64_MAX, high = 0;
        Status s = ForEachRelocation(directory_, block, page_rva, entries, count, [&](const Relocation& r) -> Status {
          low = std::min<uint64_t>(low, r.rva - page_rva);
          high = std::max<uint64_t>(high, r.rva - page_rva + RelocationWidth(r.type));
          return {};
        });
        if (s.ok() && high != 0) plan_.Touch(window.file_base + low, static_cast<unsigned>(high - low));
        return s;
      }
      return ForEachRelocation(directory_, block, page_rva, entries, count, [&](const Relocation& r) -> Status {
        uint64_t offset = 0;
        if (Status s = TargetOffset(window, page_rva, r, offset); !s.ok()) return s;
        plan_.Touch(offset, RelocationWidth(r.type));
        return {};
      });
    });
  }

  Status Apply(ImageIo& io) {
    return WalkBlocks(io, directory_, [&](uint64_t block, uint32_t page_rva, const uint8_t* entries, size_t count) {
      BlockWindow window = WindowOf(page_rva);
      if (window.linear && !window.near_table) return ApplyLinear(block, page_rva, window, entries, count);
      return ForEachRelocation(directory_, block, page_rva, entries, count, [&](const Relocation& r) -> Status {
        uint64_t offset = 0;
        if (Status s = TargetOffset(window, page_rva, r, offset); !s.ok()) return s;
        unsigned width = RelocationWidth(r.type);
        // Overlapping targets would make the result depend on the order of
        // the patches, and a move back would not restore the original.
        if (!plan_.ClaimTarget(offset, width)) return Overlap(r);
        uint8_t* target = plan_.At(offset);
        StoreLe(target, width, Patch(r, LoadLe(target, width)));
        return {};
      });
    });
  }

 private:
  // A block whose targets the survey touched as one span: patched through
  // one pointer into the plan.
  Status ApplyLinear(uint64_t block, uint32_t page_rva, const BlockWindow& window, const uint8_t* entries,
                     size_t count) {
    WritePlan::Span span{nullptr, nullptr, 0};
    uint64_t first = 0;
    return ForEachRelocation(directory_, block, page_rva, entries, count, [&](const Relocation& r) -> Status {
      uint64_t at = r.rva - page_rva;
      if (span.bytes == nullptr) {
        span = plan_.SpanAt(window.file_base + at);
        first = at;
      }
      int64_t from_first = static_cast<int64_t>(at) - static_cast<int64_t>(first);
      unsigned width = RelocationWidth(r.type);
      if (!WritePlan::Claim(span.claimed, span.bit + from_first, width)) return Overlap(r);
      uint8_t* target = span.bytes + from_first;
      switch (width) {
        case 2:
          StoreLeFixed<2>(target, Patch(r, LoadLeFixed<2>(target)));
          break;
        case 4:
          StoreLeFixed<4>(target, Patch(r, LoadLeFixed<4>(target)));
          break;
        default:
          StoreLeFixed<8>(target, Patch(r, LoadLeFixed<8>(target)));
          break;
      }
      return {};
    });
  }

  Error Overlap(const Relocation& r) const {
    return MakeError(ErrorCode::kBadRelocationTable, "relocation of type %u at RVA 0x%llX overlaps another target",
                     r.type, static_cast<unsigned long long>(r.rva));
  }

  BlockWindow WindowOf(uint32_t page_rva) const {
    BlockWindow window;
    std::optional<uint64_t> base = sections_.FileOffset(page_rva, BlockWindow::kSpan);
    window.linear = base.has_value();
    window.file_base = base.value_or(0);
    window.near_table = !window.linear || (window.file_base < directory_.file_offset + directory_.size &&
                                           directory_.file_offset < window.file_base + BlockWindow::kSpan);
    return window;
  }

  Status TargetOffset(const BlockWindow& window, uint32_t page_rva, const Relocation& r, uint64_t& offset) const {
    unsigned width = RelocationWidth(r.type);
    if (window.linear) {
      offset = window.file_base + (r.rva - page_rva);
    } else {
      std::optional<uint64_t> found = sections_.FileOffset(r.rva, width);
      if (!found) return OutOfRange(r, "has no file bytes behind it");
      offset = *found;
    }
    if (window.near_table && offset + width > directory_.file_offset &&
        offset < directory_.file_offset + directory_.size) {
      return OutOfRange(r, "lies inside the relocation table");
    }
    return {};
  }

  uint64_t Patch(const Relocation& relocation, uint64_t value) const {
    switch (relocation.type) {
      case kRelHigh:
        return value + (delta32_ >> 16);
      case kRelLow:
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
  WritePlan& plan_;
  uint32_t delta32_ = 0;
  uint64_t delta64_ = 0;
};

void TouchHeaderFields(const ImageHeaders& headers, WritePlan& plan) {
  plan.Touch(headers.image_base_offset, headers.address_width());
  plan.Touch(headers.time_date_stamp_offset, 4);
  if (headers.checksum != 0) plan.Touch(headers.checksum_offset, 4);
}

uint32_t NewTimeStamp(const ImageHeaders& headers, const RebaseOptions& options) {
  return options.time_stamp != 0 ? options.time_stamp : headers.time_date_stamp + 1;
}

void PlanHeaderFields(const ImageHeaders& headers, const RebaseOptions& options, WritePlan& plan) {
  StoreLe(plan.At(headers.image_base_offset), headers.address_width(), options.new_base);
  StoreLe(plan.At(headers.time_date_stamp_offset), 4, NewTimeStamp(headers, options));
}

Status PlanChecksum(const ImageHeaders& headers, WritePlan& plan) {
  ChecksumAccumulator checksum(headers.checksum_offset);
  Status read = plan.ForEachPiece([&](uint64_t, const uint8_t* bytes, size_t length) { checksum.Add(bytes, length); });
  if (!read.ok()) return read;
  StoreLe(plan.At(headers.checksum_offset), 4, checksum.Finish());
  return {};
}

Result<ImageReport> Rebase(ImageIo& file, const RebaseOptions& options, bool may_stream) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, 0, kHeaderBytes);  // a failed read is met again, and reported, where it matters
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
  bool table_read_ahead = directory.value() && directory.value()->size <= kTableBytes &&
                          io.Prefetch(1, directory.value()->file_offset, directory.value()->size).ok();

  if (may_stream) {
    const RelocationDirectory* table = directory.value() ? &*directory.value() : nullptr;
    StreamedRebase request{headers, sections.value(), table, options.new_base, NewTimeStamp(headers, options),
                           table_read_ahead};
    Result<bool> streamed = RebaseInStream(io, request);
    if (!streamed.ok()) return streamed.error();
    if (streamed.value()) return report;
  }

  // The general path: every changed page is held in memory until all of
  // them are planned.
  WritePlan plan(io);
  TouchHeaderFields(headers, plan);
  std::optional<RelocationPass> relocations;
  if (directory.value()) {
    relocations.emplace(headers, sections.value(), *directory.value(), options.new_base, plan);
    if (Status s = relocations->Survey(io); !s.ok()) return s.error();
  }
  if (Status s = plan.Load(); !s.ok()) return s.error();
  if (relocations) {
    if (Status s = relocations->Apply(io); !s.ok()) return s.error();
  }
  PlanHeaderFields(headers, options, plan);
  if (headers.checksum != 0) {
    if (Status s = PlanChecksum(headers, plan); !s.ok()) return s.error();
  }
  if (Status s = plan.Commit(); !s.ok()) return s.error();
  return report;
}

}  // namespace

Result<ImageReport> QueryImage(ImageIo& file) {
  PrefetchIo io(file);
  (void)io.Prefetch(0, 0, kHeaderBytes);
  Result<ImageHeaders> headers = ParseHeaders(io);
  if (!headers.ok()) return headers.error();
  return ReportOf(headers.value());
}

Result<ImageReport> RebaseImage(ImageIo& io, const RebaseOptions& options) { return Rebase(io, options, true); }

Result<ImageReport> RebaseImageInMemory(ImageIo& io, const RebaseOptions& options) {
  return Rebase(io, options, false);
}

}  // namespace peimage
