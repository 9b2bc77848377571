#ifndef DORVANE_PEIMAGE_RELOCATION_STREAM_H
#define DORVANE_PEIMAGE_RELOCATION_STREAM_H

#include <cstdint>

#include "base_relocations.h"
#include "headers.h"
#include "image_io.h"
#include "result.h"
#include "section_map.h"

namespace peimage {

/// A rebase whose headers, section table and request have been checked.
struct StreamedRebase {
  const ImageHeaders& headers;
  const SectionMap& sections;
  const RelocationDirectory* directory;  // null when the image has none
  uint64_t new_base = 0;
  uint32_t new_time_stamp = 0;
  /// The table's bytes are held in memory, so every pass reads the same.
  bool table_read_ahead = false;
};

/// Rebases the image front to back through one bounded window of pages, for
/// the layout that linkers produce: each relocation block's targets lie in
/// one section's file data, away from the relocation table, in blocks that
/// run forward through the file; no two targets overlap; the delta is a
/// multiple of 64 KiB. A first pass over the table checks all that, so the
/// file is written only once every check has passed. Reads only the pages
/// that change, unless the checksum needs every byte; with a checksum, writes
/// the header fields last, once it is known. Memory does not grow with the
/// file.
/// Returns false, having written nothing, when the image does not have that
/// layout: the caller then takes the general path, which also reports
/// malformed tables.
/// Errors: kIoError when a read or write failed and the file is as it was
/// (the written pages restored by undoing their patches); kPartiallyWritten
/// when restoring failed too.
Result<bool> RebaseInStream(ImageIo& io, const StreamedRebase& request);

}  // namespace peimage

#endif
