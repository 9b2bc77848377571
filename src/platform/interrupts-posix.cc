// Interruptions are signals; they are held by blocking them, and a blocked
// signal stays pending until it is unblocked. Their dispositions are left as
// the process inherited them: the default ends the process.

#include "interrupts.h"

#include <signal.h>

#include <cstdio>

namespace {

// SIGPIPE too: a reader of the output that goes away (`| head`) must not
// cut an image short either.
const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

sigset_t MaskBeforeHold;

sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kInterruptSignals) sigaddset(&signals, signal);
  return signals;
}

// Whether unblocking will deliver one of the held signals: pending, and not
// blocked already before the hold.
bool DeliveryDue() {
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) != 0) return false;
  for (int signal : kInterruptSignals) {
    if (sigismember(&pending, signal) == 1 && sigismember(&MaskBeforeHold, signal) != 1) return true;
  }
  return false;
}

}  // namespace

void HoldInterrupts(void) {
  sigset_t signals = InterruptSignals();
  sigprocmask(SIG_BLOCK, &signals, &MaskBeforeHold);
}

void ReleaseInterrupts(void) {
  // The process may end inside sigprocmask below: what was printed must be
  // out first.
  if (DeliveryDue()) fflush(stdout);
  sigprocmask(SIG_SETMASK, &MaskBeforeHold, NULL);
}
