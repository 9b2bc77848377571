#include "diagnostics/report_system_error.h"

#include <cstdio>

#include "platform/files.h"

void ReportSystemError(void) {
  DWORD code = GetLastError();
  WCHAR message[1024];
  message[0] = 0;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, message,
                                sizeof message / sizeof message[0], NULL);
  // Each UTF-8 character takes at most four bytes.
  char text[4 * (sizeof message / sizeof message[0])];
  if (length == 0) {
    snprintf(text, sizeof text, "Unknown error %lu", static_cast<unsigned long>(code));
  } else {
    WideToOutputText(message, text, sizeof text);
  }
  fputs(text, stdout);
  fputc('\n', stdout);
}
