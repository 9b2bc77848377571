#ifndef DORVANE_DRIVER_TRIM_H
#define DORVANE_DRIVER_TRIM_H

/// Overwrites trailing blanks, tabs, line feeds and carriage returns of
/// `text` with NUL. Returns `text`; null stays null.
char* TrimTrailingBlanks(char* text);

#endif
