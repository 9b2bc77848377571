// The Win32 file, time and error calls that the tool uses, over POSIX, and
// the image file and last error of the image engine behind ReBaseImage.

#include "files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image_engine.h"
#include "peimage/bytes.h"

namespace {

// The thread's last error, as Windows keeps it, with the detail the image
// engine gave for it; any other SetLastError drops the detail.
struct {
  DWORD code = 0;
  char detail[512] = "";
} last_error;

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksFrom1601To1970 = uint64_t{kSecondsFrom1601To1970} * kTicksPerSecond;
constexpr int64_t kTwoTo32 = int64_t{1} << 32;

int FileDescriptor(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

BOOL Fail(int error) {
  SetLastError(static_cast<DWORD>(error));
  return FALSE;
}

// floor(value / 2^32), without relying on how >> treats negative numbers.
int64_t FloorDivideBy2To32(int64_t value) { return value >= 0 ? value / kTwoTo32 : -((-(value + 1)) / kTwoTo32) - 1; }

// A tick count is held as upper * 2^32 + lower, 0 <= lower < 2^32, so that
// every step below stays within 64 bits: the seconds are split the same way
// before they are multiplied by the ticks per second.
FILETIME ToFileTime(const struct statx_timestamp& time) {
  int64_t high = FloorDivideBy2To32(time.tv_sec);
  uint64_t low = static_cast<uint64_t>(time.tv_sec - high * kTwoTo32);
  uint64_t lowTicks = low * kTicksPerSecond + time.tv_nsec / 100 + kTicksFrom1601To1970;  // below 2^58
  int64_t upper = high * kTicksPerSecond + static_cast<int64_t>(lowTicks >> 32);
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(lowTicks);
  out.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(upper));
  out.lHighestDateTime = static_cast<int32_t>(FloorDivideBy2To32(upper));
  out.dwNanoseconds = time.tv_nsec % 100;
  return out;
}

// The inverse of ToFileTime; false when the seconds do not fit in time_t.
bool ToTimespec(const FILETIME& time, struct timespec* out) {
  int64_t upper = int64_t{time.lHighestDateTime} * kTwoTo32 + time.dwHighDateTime;
  int64_t quotient = upper / kTicksPerSecond, remainder = upper % kTicksPerSecond;
  if (remainder < 0) {
    remainder += kTicksPerSecond;
    --quotient;
  }
  // ticks = quotient * kTicksPerSecond * 2^32 + rest, so the seconds since
  // 1601 are quotient * 2^32 + rest / kTicksPerSecond.
  uint64_t rest = (static_cast<uint64_t>(remainder) << 32) + time.dwLowDateTime;  // below 2^56
  int64_t lowSeconds = static_cast<int64_t>(rest / kTicksPerSecond) - kSecondsFrom1601To1970;
  int64_t highSeconds = quotient + FloorDivideBy2To32(lowSeconds);
  if (highSeconds < INT32_MIN || highSeconds > INT32_MAX) return false;
  int64_t seconds = highSeconds * kTwoTo32 + (lowSeconds - FloorDivideBy2To32(lowSeconds) * kTwoTo32);
  if (static_cast<int64_t>(static_cast<time_t>(seconds)) != seconds) return false;
  out->tv_sec = static_cast<time_t>(seconds);
  out->tv_nsec = static_cast<long>(rest % kTicksPerSecond * 100 + time.dwNanoseconds % 100);
  return true;
}

// A non-regular file is refused before it is opened, so that opening a FIFO
// or a device never blocks or has side effects; the check after opening
// catches a file swapped in between.
int NonRegularError(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; }

// A file without any write permission bit is read-only, as Windows keeps a
// read-only file even from an administrator; the kernel would let root
// write it.
bool HasWritePermission(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0; }

// The one way files are opened here, for CreateFileA and for the image
// engine: `path` with the access mode of `flags`, a regular file only, not
// for writing when it is read-only, then the advisory lock `lock` (LOCK_SH,
// LOCK_EX or 0 for none) taken without waiting. O_NOATIME in `flags` is
// dropped for a file the caller may not open so. Returns the descriptor,
// with the file's status in `info`, or -1 with errno set.
int OpenRegularFile(const char* path, int flags, int lock, struct stat& info) {
  if (stat(path, &info) != 0) return -1;
  if (!S_ISREG(info.st_mode)) {
    errno = NonRegularError(info.st_mode);
    return -1;
  }
  // O_NONBLOCK keeps a file swapped for a FIFO after the check from blocking
  // the open; a descriptor only reads, writes in place and sets times, so it
  // may keep the flag.
  flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = open(path, flags);
  if (fd < 0 && errno == EPERM && (flags & O_NOATIME)) fd = open(path, flags & ~O_NOATIME);
  if (fd < 0) return -1;
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = NonRegularError(info.st_mode);
  } else if ((flags & O_ACCMODE) != O_RDONLY && !HasWritePermission(info.st_mode)) {
    error = EACCES;
  } else if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

peimage::Error SystemError(int error, const char* what, uint64_t offset = 0) {
  peimage::Error e = peimage::MakeError(peimage::ErrorCode::kIoError, "%s at offset 0x%llX failed: %s", what,
                                        static_cast<unsigned long long>(offset), std::strerror(error));
  e.system_error = error;
  return e;
}

// An image file for the engine, read and written with pread and pwrite.
class FdImageIo : public peimage::ImageIo {
 public:
  FdImageIo(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FdImageIo() override { close(fd_); }

  uint64_t Size() const override { return size_; }
  peimage::Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    return Transfer("read", "read (file shrank)", offset, length,
                    [&](size_t done) { return pread(fd_, out + done, length - done, At(offset, done)); });
  }
  peimage::Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    return Transfer("write", "write", offset, length,
                    [&](size_t done) { return pwrite(fd_, in + done, length - done, At(offset, done)); });
  }

 private:
  static off_t At(uint64_t offset, size_t done) { return static_cast<off_t>(offset + done); }

  // Moves [offset, offset + length) with `move(done)`, one call after another
  // until all of it is done; a call that moves nothing ends it with EIO.
  template <typename Move>
  peimage::Status Transfer(const char* what, const char* when_short, uint64_t offset, size_t length, Move move) {
    if (!peimage::RangeInside(offset, length, size_)) return SystemError(EINVAL, what, offset);
    for (size_t done = 0; done < length;) {
      ssize_t moved = move(done);
      if (moved < 0 && errno == EINTR) continue;
      if (moved < 0) return SystemError(errno, what, offset + done);
      if (moved == 0) return SystemError(EIO, when_short, offset + done);
      done += static_cast<size_t>(moved);
    }
    return {};
  }

  int fd_;
  uint64_t size_;
};

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (dwCreationDisposition != OPEN_EXISTING || (dwDesiredAccess & (GENERIC_READ | GENERIC_WRITE)) == 0) {
    Fail(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  bool read = dwDesiredAccess & GENERIC_READ, write = dwDesiredAccess & GENERIC_WRITE;
  struct stat info;
  int fd = OpenRegularFile(lpFileName, read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY,
                           dwShareMode == 0 ? LOCK_EX : 0, info);
  if (fd < 0) {
    Fail(errno);
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL GetFileTime(HANDLE hFile, FILETIME* lpCreationTime, FILETIME* lpLastAccessTime, FILETIME* lpLastWriteTime) {
  struct statx info;
  if (statx(FileDescriptor(hFile), "", AT_EMPTY_PATH, STATX_ATIME | STATX_MTIME | STATX_BTIME, &info) != 0) {
    return Fail(errno);
  }
  if (lpCreationTime != nullptr) {
    *lpCreationTime = (info.stx_mask & STATX_BTIME) ? ToFileTime(info.stx_btime) : FILETIME{0, 0, 0, 0};
  }
  if (lpLastAccessTime != nullptr) *lpLastAccessTime = ToFileTime(info.stx_atime);
  if (lpLastWriteTime != nullptr) *lpLastWriteTime = ToFileTime(info.stx_mtime);
  return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME*, const FILETIME* lpLastAccessTime, const FILETIME* lpLastWriteTime) {
  struct timespec times[2] = {};
  const FILETIME* given[2] = {lpLastAccessTime, lpLastWriteTime};
  for (int i = 0; i < 2; ++i) {
    if (given[i] == nullptr) {
      times[i].tv_nsec = UTIME_OMIT;
    } else if (!ToTimespec(*given[i], &times[i])) {
      return Fail(EOVERFLOW);
    }
  }
  if (futimens(FileDescriptor(hFile), times) != 0) return Fail(errno);
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  if (close(FileDescriptor(hObject)) != 0) return Fail(errno);
  return TRUE;
}

DWORD GetLastError(void) { return last_error.code; }

void SetLastError(DWORD dwErrCode) {
  last_error.code = dwErrCode;
  last_error.detail[0] = '\0';
}

const char* LastErrorDetail(void) { return last_error.detail[0] != '\0' ? last_error.detail : nullptr; }

peimage::Result<std::unique_ptr<peimage::ImageIo>> OpenImageFile(const char* path, bool writable) {
  struct stat info;
  int fd = OpenRegularFile(path, writable ? O_RDWR : O_RDONLY | O_NOATIME, writable ? LOCK_EX : LOCK_SH, info);
  if (fd < 0) return SystemError(errno, "open");
  return std::unique_ptr<peimage::ImageIo>(new FdImageIo(fd, static_cast<uint64_t>(info.st_size)));
}

void SetEngineFailure(const peimage::Error& error) {
  if (error.code == peimage::ErrorCode::kIoError && error.system_error != 0) {
    SetLastError(static_cast<DWORD>(error.system_error));
    return;
  }
  SetLastError(kEngineErrorBase + static_cast<DWORD>(error.code));
  std::snprintf(last_error.detail, sizeof last_error.detail, "%s", error.message.c_str());
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize, va_list*) {
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || lpBuffer == nullptr || nSize == 0) return 0;
  char text[1024];
  const char* found = nullptr;
  if (dwMessageId >= kEngineErrorBase) {
    found = peimage::DescribeErrorCode(static_cast<int>(dwMessageId - kEngineErrorBase));
  } else {
    found = strerror_r(static_cast<int>(dwMessageId), text, sizeof text);
  }
  if (found == nullptr) return 0;
  // The texts are ASCII (strerror in the C locale, the engine's own English).
  DWORD length = 0;
  for (; found[length] != '\0' && length + 1 < nSize; ++length) {
    lpBuffer[length] = static_cast<unsigned char>(found[length]);
  }
  lpBuffer[length] = L'\0';
  return length;
}

int _memicmp(const void* buffer1, const void* buffer2, size_t count) {
  const unsigned char* a = static_cast<const unsigned char*>(buffer1);
  const unsigned char* b = static_cast<const unsigned char*>(buffer2);
  for (size_t i = 0; i < count; ++i) {
    int difference = std::tolower(a[i]) - std::tolower(b[i]);
    if (difference != 0) return difference;
  }
  return 0;
}

size_t WideToOutputText(const WCHAR* text, char* out, size_t size) {
  if (size == 0) return 0;
  size_t used = 0;
  for (; *text != L'\0'; ++text) {
    uint32_t c = static_cast<uint32_t>(*text);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = '?';
    char encoded[4];
    size_t n = 0;
    if (c < 0x80) {
      encoded[n++] = static_cast<char>(c);
    } else if (c < 0x800) {
      encoded[n++] = static_cast<char>(0xC0 | c >> 6);
      encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      encoded[n++] = static_cast<char>(0xE0 | c >> 12);
      encoded[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      encoded[n++] = static_cast<char>(0xF0 | c >> 18);
      encoded[n++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      encoded[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      encoded[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    if (n > size - 1 - used) break;
    std::memcpy(out + used, encoded, n);
    used += n;
  }
  out[used] = '\0';
  return used;
}
