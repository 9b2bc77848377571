// LD_PRELOAD library that brings faults to a process's positioned writes, to
// test what a failing disk or an interruption leaves behind. Counting pwrite
// calls from 1:
//   FAIL_PWRITE_AT=N fails the N-th with EIO after writing half of it; with
//   FAIL_PWRITE_AFTER=1 every later one fails too;
//   SIGNAL_AT_PWRITE=N sends the process the signal numbered SIGNAL (default
//   SIGTERM) just before the N-th, which then goes ahead.

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
long calls = 0;

long Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atol(value) : 0;
}

ssize_t Intercept(const char* symbol, int fd, const void* buffer, size_t count, off_t offset) {
  static PwriteFn real = reinterpret_cast<PwriteFn>(dlsym(RTLD_NEXT, symbol));
  long n = ++calls;
  if (n == Setting("SIGNAL_AT_PWRITE")) kill(getpid(), Setting("SIGNAL") != 0 ? static_cast<int>(Setting("SIGNAL")) : SIGTERM);
  long fail_at = Setting("FAIL_PWRITE_AT");
  bool failing = fail_at != 0 && (n == fail_at || (Setting("FAIL_PWRITE_AFTER") != 0 && n > fail_at));
  if (!failing) return real(fd, buffer, count, offset);
  if (count > 1) real(fd, buffer, count / 2, offset);
  errno = EIO;
  return -1;
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  return Intercept("pwrite", fd, buffer, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
  return Intercept("pwrite64", fd, buffer, count, offset);
}
