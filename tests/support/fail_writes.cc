// LD_PRELOAD library that makes positioned writes fail, to test what a
// failing disk leaves behind. FAIL_PWRITE_AT=N fails the N-th pwrite (from
// 1) with EIO after writing half of it; with FAIL_PWRITE_AFTER=1 every later
// pwrite fails too.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
long calls = 0;

ssize_t Intercept(const char* symbol, int fd, const void* buffer, size_t count, off_t offset) {
  static PwriteFn real = reinterpret_cast<PwriteFn>(dlsym(RTLD_NEXT, symbol));
  const char* at = std::getenv("FAIL_PWRITE_AT");
  const char* after = std::getenv("FAIL_PWRITE_AFTER");
  long n = ++calls;
  long fail_at = at != nullptr ? std::atol(at) : 0;
  bool failing = fail_at != 0 && (n == fail_at || (after != nullptr && n > fail_at));
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
