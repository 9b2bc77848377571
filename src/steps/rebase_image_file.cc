#include <cstdio>

#include "diagnostics/report_system_error.h"
#include "driver/settings.h"
#include "platform/files.h"
#include "steps/steps.h"

bool RebaseImageFile(const char* name) {
  FILETIME creation, lastAccess, lastWrite;
  HANDLE file = CreateFileA(name, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    printf("File '%s' cannot be opened, skipped.\n\n", name);
    return true;
  }
  BOOL haveTimes = GetFileTime(file, &creation, &lastAccess, &lastWrite);
  CloseHandle(file);

  ULONG oldSize = 0, newSize = 0;
  ULONG_PTR oldBase = 0;
  BOOL rebased = ReBaseImage(name, NULL, TRUE, FALSE, FALSE, 0, &oldSize, &oldBase, &newSize, &CurrentBase, 0);
  if (!rebased) {
    ReportSystemError();
  } else {
    // Only a successful rebase reports a size; after a failure the next
    // image takes the same base.
    CurrentBase += newSize;
  }

  // Times that could not be read are not written back.
  if (haveTimes) {
    file = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      SetFileTime(file, &creation, &lastAccess, &lastWrite);
      CloseHandle(file);
    }
  }
  return !rebased;
}
