// The Windows side of the platform boundary: the file, time and error calls
// are the system's own; only the conversion of wide text for the narrow
// standard output is the tool's.

#include "files.h"

size_t WideToOutputText(const WCHAR* text, char* out, size_t size) {
  if (size == 0) return 0;
  // Text for the console is in its output code page; text for a file or
  // pipe in the ANSI code page, as the C runtime writes it.
  DWORD mode = 0;
  UINT codePage = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? GetConsoleOutputCP() : 0;
  if (codePage == 0) codePage = GetACP();
  int written = WideCharToMultiByte(codePage, 0, text, -1, out, static_cast<int>(size), "?", NULL);
  if (written <= 0) {
    // Cut to fit: convert what fits, character by character.
    size_t used = 0;
    for (; *text != 0; ++text) {
      char piece[8];
      int n = WideCharToMultiByte(codePage, 0, text, 1, piece, sizeof piece, "?", NULL);
      if (n <= 0 || static_cast<size_t>(n) > size - 1 - used) break;
      for (int i = 0; i < n; ++i) out[used++] = piece[i];
    }
    out[used] = '\0';
    return used;
  }
  return static_cast<size_t>(written - 1);
}

#ifndef DORVANE_OWN_REBASER
// The code the own engine's refusal of a requested base is mapped to.
void SetBaseOutOfRangeError(uint64_t) { SetLastError(ERROR_INVALID_PARAMETER); }
#endif
