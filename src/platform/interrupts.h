#ifndef DORVANE_PLATFORM_INTERRUPTS_H
#define DORVANE_PLATFORM_INTERRUPTS_H

// Holding back the interruptions that end the process (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE; on Windows Ctrl-C and Ctrl-Break) while an
// image is changed, so that it is never left half done. SIGKILL and power
// loss cannot be held.

/// From now until ReleaseInterrupts, an interruption that arrives is kept
/// pending instead of ending the process. Calls do not nest; the main thread
/// alone calls them.
void HoldInterrupts(void);

/// Lets interruptions through again. If one arrived while they were held,
/// standard output is flushed and the process then ends as that
/// interruption ends it (a shell sees the signal's status; on Windows
/// STATUS_CONTROL_C_EXIT); this call does not return then. Otherwise it
/// returns at once.
void ReleaseInterrupts(void);

#endif
