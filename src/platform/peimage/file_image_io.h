#ifndef DORVANE_PEIMAGE_FILE_IMAGE_IO_H
#define DORVANE_PEIMAGE_FILE_IMAGE_IO_H

#include <memory>

#include "image_io.h"
#include "result.h"

namespace peimage {

/// Opens the regular file `path` for the engine: read-only without touching
/// its access time where the system permits, or for reading and writing in
/// place. The file is locked against other processes (shared for reading,
/// exclusive for writing) without waiting, until the ImageIo is destroyed.
/// Errors: kIoError, with the system's error number, when the file cannot be
/// opened, is not a regular file, or is locked by another process.
Result<std::unique_ptr<ImageIo>> OpenImageFile(const char* path, bool writable);

}  // namespace peimage

#endif
