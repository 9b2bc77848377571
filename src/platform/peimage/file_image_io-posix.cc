#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "byte_view.h"
#include "file_image_io.h"

namespace peimage {

namespace {

Error SystemError(int error, const char* what, uint64_t offset = 0) {
  Error e = MakeError(ErrorCode::kIoError, "%s at offset 0x%llX failed: %s", what,
                      static_cast<unsigned long long>(offset), std::strerror(error));
  e.system_error = error;
  return e;
}

class FdImageIo : public ImageIo {
 public:
  FdImageIo(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FdImageIo() override { close(fd_); }

  uint64_t Size() const override { return size_; }

  Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    if (!RangeInside(offset, length, size_)) return SystemError(EINVAL, "read", offset);
    while (length != 0) {
      ssize_t got = pread(fd_, out, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return SystemError(errno, "read", offset);
      if (got == 0) return SystemError(EIO, "read (file shrank)", offset);
      out += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return {};
  }

  Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    if (!RangeInside(offset, length, size_)) return SystemError(EINVAL, "write", offset);
    while (length != 0) {
      ssize_t put = pwrite(fd_, in, length, static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return SystemError(errno, "write", offset);
      if (put == 0) return SystemError(EIO, "write", offset);
      in += put;
      offset += static_cast<uint64_t>(put);
      length -= static_cast<size_t>(put);
    }
    return {};
  }

 private:
  int fd_;
  uint64_t size_;
};

int OpenWithoutAtime(const char* path, int flags) {
  int fd = open(path, flags | O_NOATIME);
  // O_NOATIME is refused for files the caller does not own.
  if (fd < 0 && errno == EPERM) fd = open(path, flags);
  return fd;
}

}  // namespace

Result<std::unique_ptr<ImageIo>> OpenImageFile(const char* path, bool writable) {
  struct stat info;
  if (stat(path, &info) != 0) return SystemError(errno, "open");
  if (!S_ISREG(info.st_mode)) return SystemError(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, "open");
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int fd = writable ? open(path, flags) : OpenWithoutAtime(path, flags);
  if (fd < 0) return SystemError(errno, "open");
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (writable && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    // Read-only, as on Windows, even for root, whom the kernel lets write.
    error = EACCES;
  } else if (flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    return SystemError(error, "open");
  }
  return std::unique_ptr<ImageIo>(new FdImageIo(fd, static_cast<uint64_t>(info.st_size)));
}

}  // namespace peimage
