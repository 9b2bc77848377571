#ifndef DORVANE_PLATFORM_IMAGE_ENGINE_H
#define DORVANE_PLATFORM_IMAGE_ENGINE_H

// What the platform gives the project's image engine behind ReBaseImage:
// the image file, opened as CreateFileA opens files, and the last error
// that stands for the engine's failures.
//
// How an engine failure reaches the user, on both platforms:
// 1. DorvaneReBaseImage (rebase-image.cc) hands the engine's Error, a code
//    and a message that names the field and its value, to SetEngineFailure.
// 2. SetEngineFailure makes the last error the code that stands for it (the
//    system's error number for a failed read or write; otherwise, on Linux,
//    kEngineErrorBase + the engine's code, on Windows the system code that
//    comes closest) and keeps the message with it as its detail.
// 3. The step calls ReportSystemError at once, which reads the code and its
//    detail (GetLastError, LastErrorDetail), looks up the code's text
//    (FormatMessageW: the engine's own line on Linux, the system's on
//    Windows) and prints "<text> (<detail>)".
// The detail belongs to the code it was set with: on Linux any SetLastError
// drops it; on Windows, where the system sets last errors of its own, it is
// given only while GetLastError still returns that code.

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

/// Makes `error` the last error, as step 2 above says: the system's code for
/// an I/O failure that has one, without a detail; otherwise the code that
/// stands for the engine's, with the error's message as its detail.
void SetEngineFailure(const peimage::Error& error);

#endif
