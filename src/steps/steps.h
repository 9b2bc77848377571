#ifndef DORVANE_STEPS_STEPS_H
#define DORVANE_STEPS_STEPS_H

#include "platform/files.h"

/// The address asked for the next image in rebase mode, or the value each
/// image's base is compared with in check mode: 0x12000000 until the driver
/// sets it from the options. The rebase step advances it.
extern ULONG_PTR CurrentBase;

/// Rebases the image `name` in place to CurrentBase, keeping its file times,
/// and advances CurrentBase by the size reported for it. Once an advance
/// passes 4 GiB no further image is placed: each is refused with the text for
/// an invalid requested base and left as it is. Writes a message for a file
/// that cannot be opened and the system's text for a failed or refused
/// rebase. An interruption that arrives once the image may be written takes
/// effect only after its times are back. Returns true when the image counts
/// against the run.
bool RebaseImageFile(const char* name);

/// Reports "Image is not based" when the preferred base of image `name`
/// equals CurrentBase; changes no file. A failed query writes the system's
/// text and is not compared. Returns true when the image was reported.
bool CheckImageFile(const char* name);

#endif
