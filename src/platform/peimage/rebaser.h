#ifndef DORVANE_PEIMAGE_REBASER_H
#define DORVANE_PEIMAGE_REBASER_H

#include <cstdint>

#include "error.h"
#include "image_io.h"

namespace peimage {

/// What a query or a rebase reports about an image.
struct ImageReport {
  uint32_t old_image_size = 0;  // SizeOfImage
  uint64_t old_image_base = 0;  // ImageBase as read from the file
  uint64_t new_image_size = 0;  // SizeOfImage rounded up to 64 KiB
};

/// How to rebase.
struct RebaseOptions {
  uint64_t new_base = 0;
  /// New header time stamp; 0 means the old stamp plus one second.
  uint32_t time_stamp = 0;
  /// Whether an image marked IMAGE_FILE_SYSTEM may be rebased.
  bool allow_system_image = false;
  /// Refuse when the new image size exceeds this; 0 means no limit.
  uint64_t max_image_size = 0;
};

/// Reads the base and sizes of the image behind `io` without changing it,
/// wherever the loader would: only what ReadBaseFields checks need hold.
/// Errors: those of ReadBaseFields; kImageTooLarge when the new image size
/// exceeds `max_image_size` (0: no limit).
Result<ImageReport> QueryImage(ImageIo& io, uint64_t max_image_size = 0);

/// Rebases the image behind `io` in place to `options.new_base`, working in
/// `workspace` (see WriteRebase); no other byte changes, and an image
/// already at the new base is left untouched. All checks run before the
/// first write; on any error the file is unchanged, but for
/// kPartiallyWritten.
/// Errors: those of ParseHeaders and SectionMap::Build; kBadRequestedBase
/// (zero, not a multiple of 64 KiB, or past 4 GiB for PE32);
/// kInconsistentHeaders (the current ImageBase is not a multiple of 64 KiB);
/// kImageTooLarge; kSystemImage; kSignedImage; kRelocationsStripped
/// (IMAGE_FILE_RELOCS_STRIPPED, or no relocation directory in an image that
/// is not DYNAMIC_BASE and has code, an entry point, or a TLS, load
/// configuration or delay-import directory, or in one that holds an address
/// of its own, as FindHeldAddress finds); those of LocateRelocations,
/// IndexRelocations and WriteRebase.
Result<ImageReport> RebaseImage(ImageIo& io, const RebaseOptions& options, Workspace& workspace);

}  // namespace peimage

#endif
