#ifndef DORVANE_PEIMAGE_REBASE_PASS_H
#define DORVANE_PEIMAGE_REBASE_PASS_H

#include <cstdint>

#include "headers.h"
#include "image_io.h"
#include "relocation_index.h"
#include "relocation_patch.h"
#include "relocation_table.h"
#include "result.h"
#include "section_map.h"

namespace peimage {

/// A rebase that has passed every check, ready to be written.
struct CheckedRebase {
  const ImageHeaders& headers;
  const SectionMap& sections;
  RelocationTable* table;                      // null when the image has no relocations
  const RelocationPieces& pieces;  // from IndexRelocations, in file order
  Delta delta;
  uint64_t new_base = 0;
  uint32_t new_time_stamp = 0;
};

/// Writes a checked rebase into the image in place: adds the delta to every
/// target, stores the new ImageBase and time stamp and, when the stored
/// CheckSum is nonzero, the checksum of the result. One sweep through the
/// file, front to back, through a window of at most 256 KiB: pieces close to
/// each other are read with one call, patched, and written with one call.
/// Only the bytes that change are read, unless the checksum needs them all;
/// the header fields go out with the first window, or last, once the
/// checksum is known. Should a write fail, the window still in memory is
/// patched back with the negated delta, and the bytes that write may have
/// changed are put back (see RestoringWrites); then, as after a failed read,
/// the same sweep runs again with the negated delta over what was written
/// before, reading it back. A window that cannot be put back does not stop
/// the others.
/// Errors: kIoError (a read or write failed, or the table no longer reads as
/// it was checked; the file is as it was); kPartiallyWritten (some bytes
/// could not be put back: the message names the file ranges).
Status WriteRebase(ImageIo& io, const CheckedRebase& rebase);

}  // namespace peimage

#endif
