#include "driver/trim.h"

#include <cstring>

char* TrimTrailingBlanks(char* text) {
  if (text == nullptr) return nullptr;
  for (size_t i = strlen(text); i > 0; --i) {
    char c = text[i - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    text[i - 1] = '\0';
  }
  return text;
}
