#ifndef DORVANE_PLATFORM_ENGINE_ERRORS_H
#define DORVANE_PLATFORM_ENGINE_ERRORS_H

#include "files.h"
#include "peimage/result.h"

/// Makes `error` the last error: the system's code for an I/O failure that
/// has one; otherwise, on Windows, the system code that comes closest, and
/// elsewhere kEngineErrorBase + its code, with its message as the detail of
/// the text.
void SetEngineFailure(const peimage::Error& error);

#endif
