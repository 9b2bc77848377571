// LD_PRELOAD library that interrupts a process in the middle of its writes:
// SIGNAL_AT_PWRITE=N sends the process the signal numbered SIGNAL (default
// SIGTERM) just before its N-th pwrite (from 1), which then goes ahead.

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
long calls = 0;

ssize_t Intercept(const char* symbol, int fd, const void* buffer, size_t count, off_t offset) {
  static PwriteFn real = reinterpret_cast<PwriteFn>(dlsym(RTLD_NEXT, symbol));
  const char* at = std::getenv("SIGNAL_AT_PWRITE");
  const char* signal = std::getenv("SIGNAL");
  if (at != nullptr && ++calls == std::atol(at)) kill(getpid(), signal != nullptr ? std::atoi(signal) : SIGTERM);
  return real(fd, buffer, count, offset);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  return Intercept("pwrite", fd, buffer, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
  return Intercept("pwrite64", fd, buffer, count, offset);
}
