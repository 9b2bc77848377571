#ifndef DORVANE_PEIMAGE_SWEEP_H
#define DORVANE_PEIMAGE_SWEEP_H

#include <cstdint>

#include "error.h"
#include "headers.h"
#include "image_io.h"
#include "patch.h"
#include "relocations.h"
#include "sections.h"

namespace peimage {

/// A rebase that has passed every check, ready to be written.
struct CheckedRebase {
  const ImageHeaders& headers;
  const SectionMap& sections;
  RelocationTable* table;          // null when the image has no relocations
  const RelocationPieces& pieces;  // from IndexRelocations, in file order
  Delta delta;
  uint64_t new_base = 0;
  uint32_t new_time_stamp = 0;
};

/// Writes a checked rebase into the image in place: adds the delta to every
/// target, stores the new ImageBase and time stamp and, when the stored
/// CheckSum is nonzero, the checksum of the result. One sweep through the
/// file, front to back, through the workspace's window of at most 256 KiB:
/// pieces close to each other are read with one call, patched, and written
/// with one call; the header fields go with the first window, or last, once
/// the checksum is known. Should a write fail, the window in memory is
/// patched back and the bytes the write may have changed are put back (see
/// RestoringWrites); then, as after a failed read, the same sweep runs with
/// the negated delta over what was written before, reading it back.
/// Errors: kIoError (a read or write failed, or the table no longer reads as
/// it was checked; the file is as it was); kPartiallyWritten (some bytes
/// could not be put back: the message names the file ranges).
Status WriteRebase(ImageIo& io, const CheckedRebase& rebase, Workspace& workspace);

}  // namespace peimage

#endif
