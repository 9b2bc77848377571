// Ctrl-C and Ctrl-Break reach a console control handler, which the system
// runs on a thread of its own; the state it shares with the main thread is
// guarded by a critical section. The process always ends on the handler's
// thread, as the system's own handler ends it.

#include "interrupts.h"

#include <windows.h>

#include <cstdio>

namespace {

CRITICAL_SECTION Guard;
bool Installed = false;
bool Held = false;
bool Pending = false;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  EnterCriticalSection(&Guard);
  Pending = true;
  // Once the image is done the main thread does not go on to another.
  while (Held) {
    LeaveCriticalSection(&Guard);
    Sleep(1);
    EnterCriticalSection(&Guard);
  }
  // The guard stays taken, so the main thread cannot begin to change an
  // image before the process is gone.
  fflush(stdout);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void HoldInterrupts(void) {
  if (!Installed) {
    InitializeCriticalSection(&Guard);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    Installed = true;
  }
  EnterCriticalSection(&Guard);
  Held = true;
  LeaveCriticalSection(&Guard);
}

void ReleaseInterrupts(void) {
  EnterCriticalSection(&Guard);
  Held = false;
  bool pending = Pending;
  LeaveCriticalSection(&Guard);
  // The handler's thread flushes standard output and ends the process.
  while (pending) Sleep(INFINITE);
}
