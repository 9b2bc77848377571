#include <cstdio>
#include <cstring>

#include "driver/settings.h"
#include "driver/trim.h"
#include "platform/files.h"
#include "steps/steps.h"

namespace {

const size_t kMaxName = 259;
char NameBuffer[kMaxName + 1];

int Usage() {
  fprintf(stderr, "Usage: Dorvane.exe [/BASE:<hex_digit>] [/CHECK]\n");
  return 200;
}

// Passes over a "0x" or "0X" before hexadecimal digits: "%08X" would count
// it among its eight characters and lose the last two digits.
const char* SkipHexPrefix(const char* text) {
  return text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
}

// Reads the rest of an over-long line, up to and including its line feed.
void DiscardRestOfLine() {
  int c;
  while ((c = getchar()) != EOF && c != '\n') {
  }
}

// True when NameBuffer holds a whole line: a line feed was read, input
// ended, or the line feed follows right after the buffer's last character.
bool ReadWholeLine() {
  size_t length = strlen(NameBuffer);
  if (length < kMaxName || NameBuffer[length - 1] == '\n') return true;
  int next = getchar();
  if (next == EOF || next == '\n') return true;
  ungetc(next, stdin);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  fprintf(stderr, "Quillmere v.1.2 - gives DLLs consecutive, non-overlapping preferred load addresses\n\n");
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '/') return Usage();
    if (_memicmp(arg + 1, "BASE:", 5) == 0) {
      unsigned int base = static_cast<unsigned int>(CurrentBase);
      sscanf(SkipHexPrefix(arg + 6), "%08X", &base);
      CurrentBase = base;
    } else if (_memicmp(arg + 1, "CHECK", 5) == 0) {
      CheckMode = true;
      CurrentBase = 0x00400000;
    } else {
      return Usage();
    }
  }

  printf("Scanning DLLs...\n");
  int ExitStatus = 0;
  while (fgets(NameBuffer, sizeof NameBuffer, stdin) != NULL) {
    if (!ReadWholeLine()) {
      printf("Name '%s...' is too long, skipped.\n\n", NameBuffer);
      DiscardRestOfLine();
      ExitStatus = 2;
      continue;
    }
    TrimTrailingBlanks(NameBuffer);
    printf("Processing '%s'...\n", NameBuffer);
    bool countsAgainst = CheckMode ? CheckImageFile(NameBuffer) : RebaseImageFile(NameBuffer);
    if (countsAgainst) ExitStatus = 2;
  }
  return ExitStatus;
}
