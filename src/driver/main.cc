#include <cstdio>
#include <cstring>

#include "driver/trim.h"
#include "platform/files.h"
#include "steps/steps.h"

namespace {

const size_t kMaxName = 259;
char NameBuffer[kMaxName + 1];

// Whether the run reports images at the default base instead of rebasing.
bool CheckMode = false;

// What NameBuffer is filled with before each read: fgets stores the bytes it
// read and one NUL after them and leaves the rest, so the last NUL in the
// buffer ends what was read, even when the line itself holds NUL bytes.
const char kUnread = '\n';

int Usage() {
  fprintf(stderr, "Usage: Dorvane.exe [/BASE:<hex_digit>] [/CHECK]\n");
  return 200;
}

// Passes over a "0x" or "0X" before hexadecimal digits: "%08X" would count
// it among its eight characters and lose the last two digits.
const char* SkipHexPrefix(const char* text) {
  return text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text + 2 : text;
}

// Reads up to kMaxName bytes of the next line into NameBuffer and returns
// how many were read: 0 at the end of input or on a read error.
size_t ReadLine() {
  memset(NameBuffer, kUnread, sizeof NameBuffer);
  if (fgets(NameBuffer, sizeof NameBuffer, stdin) == NULL) return 0;
  size_t length = kMaxName;
  while (NameBuffer[length] != '\0') --length;
  return length;
}

// Reads the rest of a line that is not processed, up to and including its
// line feed.
void DiscardRestOfLine() {
  int c;
  while ((c = getchar()) != EOF && c != '\n') {
  }
}

// True when the `length` bytes in NameBuffer hold all of their line's name:
// a line feed or the end of input was read, or only blanks, tabs and
// carriage returns, which trimming would remove, follow on the line (they
// are consumed here). Otherwise the rest of the line is left to discard.
bool ReadWholeName(size_t length) {
  if (length < kMaxName || NameBuffer[length - 1] == '\n') return true;
  int next;
  do {
    next = getchar();
  } while (next == ' ' || next == '\t' || next == '\r');
  if (next == EOF || next == '\n') return true;
  ungetc(next, stdin);
  return false;
}

// Applies the options in order to CheckMode and CurrentBase; false at the
// first argument that is none of them.
bool ApplyOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '/') return false;
    if (_memicmp(arg + 1, "BASE:", 5) == 0) {
      unsigned int base = static_cast<unsigned int>(CurrentBase);
      sscanf(SkipHexPrefix(arg + 6), "%08X", &base);
      CurrentBase = base;
    } else if (_memicmp(arg + 1, "CHECK", 5) == 0) {
      CheckMode = true;
      CurrentBase = 0x00400000;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  fprintf(stderr, "Quillmere v.1.2 - gives DLLs consecutive, non-overlapping preferred load addresses\n\n");
  if (!ApplyOptions(argc, argv)) return Usage();

  printf("Scanning DLLs...\n");
  int ExitStatus = 0;
  size_t length;
  while ((length = ReadLine()) != 0) {
    // A NUL would cut the name short and the rest of the line would be read
    // as a name of its own.
    if (strlen(NameBuffer) < length) {
      printf("Name '%s...' contains a NUL character, skipped.\n\n", NameBuffer);
      if (NameBuffer[length - 1] != '\n') DiscardRestOfLine();
      ExitStatus = 2;
      continue;
    }
    if (!ReadWholeName(length)) {
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
