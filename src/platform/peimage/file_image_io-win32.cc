#include <windows.h>

#include "byte_view.h"
#include "file_image_io.h"

namespace peimage {

namespace {

Error SystemError(DWORD error, const char* what, uint64_t offset = 0) {
  Error e = MakeError(ErrorCode::kIoError, "%s at offset 0x%llX failed: Windows error %lu", what,
                      static_cast<unsigned long long>(offset), static_cast<unsigned long>(error));
  e.system_error = static_cast<int>(error);
  return e;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

constexpr size_t kMaxTransfer = 1u << 30;

class HandleImageIo : public ImageIo {
 public:
  explicit HandleImageIo(HANDLE file) : file_(file) {}
  ~HandleImageIo() override {
    if (restore_access_) SetFileTime(file_, NULL, &last_access_, NULL);
    CloseHandle(file_);
  }

  /// Puts the last-access time back on close, for systems that update it
  /// on reads despite being asked not to.
  void KeepLastAccess() {
    restore_access_ = GetFileTime(file_, NULL, &last_access_, NULL) != 0;
    FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};
    SetFileTime(file_, NULL, &keep, NULL);
  }

  uint64_t Size() const override { return size_; }
  void set_size(uint64_t size) { size_ = size; }

  Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    if (!RangeInside(offset, length, size_)) return SystemError(ERROR_INVALID_PARAMETER, "read", offset);
    while (length != 0) {
      OVERLAPPED overlapped = At(offset);
      DWORD got = 0;
      DWORD wanted = static_cast<DWORD>(length < kMaxTransfer ? length : kMaxTransfer);
      if (!ReadFile(file_, out, wanted, &got, &overlapped)) return SystemError(GetLastError(), "read", offset);
      if (got == 0) return SystemError(ERROR_HANDLE_EOF, "read", offset);
      out += got;
      offset += got;
      length -= got;
    }
    return {};
  }

  Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    if (!RangeInside(offset, length, size_)) return SystemError(ERROR_INVALID_PARAMETER, "write", offset);
    while (length != 0) {
      OVERLAPPED overlapped = At(offset);
      DWORD put = 0;
      DWORD wanted = static_cast<DWORD>(length < kMaxTransfer ? length : kMaxTransfer);
      if (!WriteFile(file_, in, wanted, &put, &overlapped)) return SystemError(GetLastError(), "write", offset);
      if (put == 0) return SystemError(ERROR_WRITE_FAULT, "write", offset);
      in += put;
      offset += put;
      length -= put;
    }
    return {};
  }

 private:
  HANDLE file_;
  uint64_t size_ = 0;
  bool restore_access_ = false;
  FILETIME last_access_ = {};
};

}  // namespace

Result<std::unique_ptr<ImageIo>> OpenImageFile(const char* path, bool writable) {
  DWORD access = writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ | FILE_WRITE_ATTRIBUTES;
  DWORD share = writable ? 0 : FILE_SHARE_READ;
  HANDLE file = CreateFileA(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE && !writable && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileA(path, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  }
  if (file == INVALID_HANDLE_VALUE) return SystemError(GetLastError(), "open");
  auto io = std::make_unique<HandleImageIo>(file);
  // Before anything else touches the file: Wine updates the last-access
  // time even on a query of the file's type.
  if (!writable) io->KeepLastAccess();
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK) return SystemError(ERROR_INVALID_HANDLE, "open");
  if (!GetFileSizeEx(file, &size)) return SystemError(GetLastError(), "open");
  io->set_size(static_cast<uint64_t>(size.QuadPart));
  return std::unique_ptr<ImageIo>(std::move(io));
}

}  // namespace peimage
