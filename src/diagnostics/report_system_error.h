#ifndef DORVANE_DIAGNOSTICS_REPORT_SYSTEM_ERROR_H
#define DORVANE_DIAGNOSTICS_REPORT_SYSTEM_ERROR_H

/// Writes the system's text for the last failed platform call, then a line
/// feed, to standard output; "Unknown error N" when the system has no text.
/// When the image engine gave a detail for the failure (LastErrorDetail), it
/// follows the text in parentheses, on the same line. Call it right after
/// the failure, before any other platform call.
void ReportSystemError(void);

#endif
