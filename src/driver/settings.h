#ifndef DORVANE_DRIVER_SETTINGS_H
#define DORVANE_DRIVER_SETTINGS_H

#include "platform/files.h"

/// The address asked for the next image in rebase mode, or the value each
/// image's base is compared with in check mode.
extern ULONG_PTR CurrentBase;

/// Whether the run reports images at the default base instead of rebasing.
extern bool CheckMode;

#endif
