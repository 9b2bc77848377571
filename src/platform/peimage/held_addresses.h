#ifndef DORVANE_PEIMAGE_HELD_ADDRESSES_H
#define DORVANE_PEIMAGE_HELD_ADDRESSES_H

#include <optional>
#include <string>

#include "error.h"
#include "headers.h"
#include "image_io.h"
#include "sections.h"

namespace peimage {

/// Looks through the file bytes of every section that is not discardable,
/// but those of the resource directory, for an address-sized value that lies
/// in [ImageBase, ImageBase + SizeOfImage): an address of the image itself,
/// which a move without relocations would leave pointing at the old base.
/// Values are taken at RVAs aligned to their size, and at every byte in the
/// code of a PE32 image. Returns where the first one lies ("section '.data'
/// holds 0x10003000 at RVA 0x2010"), or nothing when there is none.
/// Errors: kIoError when a read fails.
Result<std::optional<std::string>> FindHeldAddress(ImageIo& io, const ImageHeaders& headers,
                                                   const SectionMap& sections);

}  // namespace peimage

#endif
