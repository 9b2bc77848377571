#ifndef DORVANE_PEIMAGE_HELD_ADDRESSES_H
#define DORVANE_PEIMAGE_HELD_ADDRESSES_H

#include <optional>
#include <string>

#include "error.h"
#include "headers.h"
#include "image_io.h"
#include "sections.h"

namespace peimage {

/// Looks through the file bytes of every section but debug information
/// (discardable, named .debug* or /N), and but those of the resource
/// directory, for a value that lies in [ImageBase, ImageBase + SizeOfImage):
/// an address of the image itself, which a move without relocations would
/// leave pointing at the old base. Values are taken at every byte of code
/// and at RVAs aligned to their width in data: 4 bytes wide in a PE32
/// image; 8 and 4 bytes in a PE32+ image below 4 GiB; 8 bytes, at every
/// byte of data too, in one above. Returns where the first one lies
/// ("section '.data' holds 0x10003000 at RVA 0x2010"), or nothing.
/// Reads through the window of `workspace`.
/// Errors: kIoError when a read fails.
Result<std::optional<std::string>> FindHeldAddress(ImageIo& io, const ImageHeaders& headers,
                                                   const SectionMap& sections, Workspace& workspace);

}  // namespace peimage

#endif
