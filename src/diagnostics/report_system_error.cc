#include "diagnostics/report_system_error.h"

#include <cstdio>
#include <cstring>

#include "platform/files.h"

namespace {

// Writes `text` and the detail in parentheses after it, before the line
// break that ends a system's text on Windows: one line on every platform.
void WriteWithDetail(const char* text, const char* detail) {
  size_t end = strlen(text);
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  fwrite(text, 1, end, stdout);
  printf(" (%s)", detail);
  fputs(text + end, stdout);
}

}  // namespace

void ReportSystemError(void) {
  DWORD code = GetLastError();
  const char* detail = LastErrorDetail();
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
  if (detail != NULL) {
    WriteWithDetail(text, detail);
  } else {
    fputs(text, stdout);
  }
  fputc('\n', stdout);
}
