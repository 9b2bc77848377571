#ifndef DORVANE_PLATFORM_ENGINE_ERRORS_H
#define DORVANE_PLATFORM_ENGINE_ERRORS_H

#include <cstddef>

#include "files.h"
#include "peimage/result.h"

/// Makes `error` the last error: its errno for an I/O failure that has one,
/// otherwise kEngineErrorBase + its code. Its detailed message is kept for
/// EngineErrorText.
void SetEngineFailure(const peimage::Error& error);

/// The text for engine code `code` (kEngineErrorBase + n) written into `out`:
/// the code's one-line description, followed by the detailed message when
/// `code` is that of the last engine failure. nullptr for an unknown code.
const char* EngineErrorText(DWORD code, char* out, size_t size);

#endif
