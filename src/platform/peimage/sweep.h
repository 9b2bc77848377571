#ifndef DORVANE_PEIMAGE_SWEEP_H
#define DORVANE_PEIMAGE_SWEEP_H

#include <cstdint>

#include "relocations.h"

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

/// Writes a checked rebase into the image in place, in one sweep front to
/// back through the workspace's window: adds the delta to every target,
/// stores the new ImageBase and time stamp and, when the stored CheckSum is
/// nonzero, the checksum of the result. After a failed read or write, puts
/// back every byte it may have changed.
/// Errors: kIoError (a read or write failed, or the table no longer reads as
/// it was checked; the file is as it was); kPartiallyWritten (some bytes
/// could not be put back: the message names the file ranges).
Status WriteRebase(ImageIo& io, const CheckedRebase& rebase, Workspace& workspace);

}  // namespace peimage

#endif
