#ifndef DORVANE_PLATFORM_IMAGE_ENGINE_H
#define DORVANE_PLATFORM_IMAGE_ENGINE_H

// What the platform gives the project's image engine behind ReBaseImage:
// the image file, opened as CreateFileA opens files, and the last error
// that stands for the engine's failures.

#include <memory>

#include "files.h"
#include "peimage/error.h"
#include "peimage/image_io.h"

/// Opens the regular file `path` for the engine: read-only without touching
/// its access time where the system permits, or for reading and writing in
/// place. The file is locked against other processes (shared for reading,
/// exclusive for writing) without waiting, until the ImageIo is destroyed.
/// Errors: kIoError, with the system's error number, when the file cannot be
/// opened, is not a regular file, is read-only and wanted for writing, or is
/// locked by another process.
peimage::Result<std::unique_ptr<peimage::ImageIo>> OpenImageFile(const char* path, bool writable);

/// Makes `error` the last error: the system's code for an I/O failure that
/// has one; otherwise, on Windows, the system code that comes closest, and
/// elsewhere kEngineErrorBase + its code, with its message as the detail of
/// the text.
void SetEngineFailure(const peimage::Error& error);

#endif
