// The Windows side of the platform boundary: the file, time and error calls
// are the system's own; only the conversion of wide text for the narrow
// standard output is the tool's, and, with the project's own image engine,
// the engine's image file and its errors as the system's codes.

#include "files.h"

#ifdef DORVANE_OWN_REBASER
#include <cstdio>

#include "image_engine.h"
#include "peimage/bytes.h"
#endif

size_t WideToOutputText(const WCHAR* text, char* out, size_t size) {
  if (size == 0) return 0;
  // Text for the console is in its output code page; text for a file or
  // pipe in the ANSI code page, as the C runtime writes it.
  DWORD mode = 0;
  UINT codePage = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ? GetConsoleOutputCP() : 0;
  if (codePage == 0) codePage = GetACP();
  int written = WideCharToMultiByte(codePage, 0, text, -1, out, static_cast<int>(size), "?", NULL);
  if (written <= 0) {
    // Cut to fit: convert what fits, character by character.
    size_t used = 0;
    for (; *text != 0; ++text) {
      char piece[8];
      int n = WideCharToMultiByte(codePage, 0, text, 1, piece, sizeof piece, "?", NULL);
      if (n <= 0 || static_cast<size_t>(n) > size - 1 - used) break;
      for (int i = 0; i < n; ++i) out[used++] = piece[i];
    }
    out[used] = '\0';
    return used;
  }
  return static_cast<size_t>(written - 1);
}

#ifndef DORVANE_OWN_REBASER
// The code the own engine's refusal of a requested base is mapped to.
void SetBaseOutOfRangeError(uint64_t) { SetLastError(ERROR_INVALID_PARAMETER); }

// The system's ReBaseImage gives no detail.
const char* LastErrorDetail(void) { return NULL; }
#else
namespace {

// The last engine failure: the code it was set with and its detail.
struct {
  DWORD code = 0;
  char detail[512] = "";
} engine_failure;

peimage::Error SystemError(DWORD error, const char* what, uint64_t offset = 0) {
  peimage::Error e = peimage::MakeError(peimage::ErrorCode::kIoError, "%s at offset 0x%llX failed: Windows error %lu",
                                        what, static_cast<unsigned long long>(offset), static_cast<unsigned long>(error));
  e.system_error = static_cast<int>(error);
  return e;
}

constexpr size_t kMaxTransfer = 1u << 30;

// An image file for the engine, read and written with ReadFile and WriteFile.
class HandleImageIo : public peimage::ImageIo {
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

  peimage::Status Read(uint64_t offset, uint8_t* out, size_t length) override {
    return Transfer("read", ERROR_HANDLE_EOF, offset, length,
                    [&](size_t done, DWORD wanted, DWORD* moved, OVERLAPPED* at) {
                      return ReadFile(file_, out + done, wanted, moved, at);
                    });
  }
  peimage::Status Write(uint64_t offset, const uint8_t* in, size_t length) override {
    return Transfer("write", ERROR_WRITE_FAULT, offset, length,
                    [&](size_t done, DWORD wanted, DWORD* moved, OVERLAPPED* at) {
                      return WriteFile(file_, in + done, wanted, moved, at);
                    });
  }

 private:
  // Moves [offset, offset + length) with `move`, a call of at most 1 GiB
  // after another; a call that moves nothing ends it with `nothing_moved`.
  template <typename Move>
  peimage::Status Transfer(const char* what, DWORD nothing_moved, uint64_t offset, size_t length, Move move) {
    if (!peimage::RangeInside(offset, length, size_)) return SystemError(ERROR_INVALID_PARAMETER, what, offset);
    for (size_t done = 0; done < length;) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset + done);
      at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
      DWORD moved = 0;
      DWORD wanted = static_cast<DWORD>(length - done < kMaxTransfer ? length - done : kMaxTransfer);
      if (!move(done, wanted, &moved, &at)) return SystemError(GetLastError(), what, offset + done);
      if (moved == 0) return SystemError(nothing_moved, what, offset + done);
      done += moved;
    }
    return {};
  }

  HANDLE file_;
  uint64_t size_ = 0;
  bool restore_access_ = false;
  FILETIME last_access_ = {};
};

// The system's code that comes closest to an engine refusal, so that
// FormatMessageW has a text for it.
DWORD Win32Code(peimage::ErrorCode code) {
  using peimage::ErrorCode;
  switch (code) {
    case ErrorCode::kNotPeImage:
    case ErrorCode::kTruncatedHeaders:
    case ErrorCode::kInconsistentHeaders:
    case ErrorCode::kBadSectionTable:
    case ErrorCode::kBadRelocationTable:
    case ErrorCode::kRelocationOutOfRange:
    case ErrorCode::kUnsupportedRelocation:
      return ERROR_BAD_EXE_FORMAT;
    case ErrorCode::kRelocationsStripped:
      return ERROR_INVALID_ADDRESS;
    case ErrorCode::kBadRequestedBase:
    case ErrorCode::kBaseOutOfRange:
      return ERROR_INVALID_PARAMETER;
    case ErrorCode::kSystemImage:
      return ERROR_ACCESS_DENIED;
    case ErrorCode::kSignedImage:
      return ERROR_EXE_CANNOT_MODIFY_SIGNED_BINARY;
    case ErrorCode::kImageTooLarge:
      return ERROR_FILE_TOO_LARGE;
    case ErrorCode::kPartiallyWritten:
      return ERROR_FILE_CORRUPT;
    case ErrorCode::kIoError:
      break;
  }
  return ERROR_READ_FAULT;
}

}  // namespace

peimage::Result<std::unique_ptr<peimage::ImageIo>> OpenImageFile(const char* path, bool writable) {
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
  return std::unique_ptr<peimage::ImageIo>(std::move(io));
}

void SetEngineFailure(const peimage::Error& error) {
  const bool system = error.code == peimage::ErrorCode::kIoError && error.system_error != 0;
  engine_failure.code = system ? static_cast<DWORD>(error.system_error) : Win32Code(error.code);
  std::snprintf(engine_failure.detail, sizeof engine_failure.detail, "%s", system ? "" : error.message.c_str());
  SetLastError(engine_failure.code);
}

const char* LastErrorDetail(void) {
  const bool current = engine_failure.detail[0] != '\0' && engine_failure.code == GetLastError();
  return current ? engine_failure.detail : NULL;
}
#endif  // DORVANE_OWN_REBASER
