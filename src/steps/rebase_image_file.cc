#include <cstdio>

#include "diagnostics/report_system_error.h"
#include "platform/files.h"
#include "platform/interrupts.h"
#include "steps/steps.h"

namespace {

// Where the next image would go once the bases have run past the top of the
// 32-bit address space, or 0 while there is room: from then on no image can
// be placed.
uint64_t BaseBeyondTop = 0;

// Moves CurrentBase on by `size`. The sum is taken in 64 bits: ULONG_PTR has
// 32 on 32-bit Windows, where it would wrap to a low base.
void Advance(ULONG size) {
  uint64_t next = uint64_t{CurrentBase} + size;
  if (next > 0xFFFFFFFFu) {
    BaseBeyondTop = next;
  } else {
    CurrentBase = static_cast<ULONG_PTR>(next);
  }
}

}  // namespace

bool RebaseImageFile(const char* name) {
  FILETIME creation, lastAccess, lastWrite;
  HANDLE file = CreateFileA(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    printf("File '%s' cannot be opened, skipped.\n\n", name);
    return true;
  }
  BOOL haveTimes = GetFileTime(file, &creation, &lastAccess, &lastWrite);
  CloseHandle(file);

  // From before the first write, inside ReBaseImage, until the times are
  // back, an interruption would leave the image half rebased or with new
  // times: it waits until the image is done.
  HoldInterrupts();
  ULONG oldSize = 0, newSize = 0;
  ULONG_PTR oldBase = 0;
  BOOL rebased = FALSE;
  if (BaseBeyondTop != 0) {
    SetBaseOutOfRangeError(BaseBeyondTop);
  } else {
    rebased = ReBaseImage(name, NULL, TRUE, FALSE, FALSE, 0, &oldSize, &oldBase, &newSize, &CurrentBase, 0);
  }
  if (!rebased) {
    ReportSystemError();
  } else {
    // Only a successful rebase reports a size; after a failure the next
    // image takes the same base.
    Advance(newSize);
  }

  // Times that could not be read are not written back.
  if (haveTimes) {
    file = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      SetFileTime(file, &creation, &lastAccess, &lastWrite);
      CloseHandle(file);
    }
  }
  ReleaseInterrupts();
  return !rebased;
}
