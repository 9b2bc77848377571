#include <cstdio>

#include "diagnostics/report_system_error.h"
#include "platform/files.h"
#include "steps/steps.h"

bool CheckImageFile(const char* name) {
  ULONG oldSize = 0, newSize = 0;
  ULONG_PTR oldBase = 0, newBase = CurrentBase;
  if (!ReBaseImage(name, NULL, FALSE, FALSE, FALSE, 0, &oldSize, &oldBase, &newSize, &newBase, 0)) {
    // A failed query has no base to compare: it is reported and not counted.
    ReportSystemError();
    return false;
  }
  if (oldBase == CurrentBase) {
    printf("Image is not based\n\n");
    return true;
  }
  return false;
}
