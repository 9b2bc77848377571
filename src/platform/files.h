#ifndef DORVANE_PLATFORM_FILES_H
#define DORVANE_PLATFORM_FILES_H

// The platform operations that the steps and the error report call, under
// the platform's own names. On Windows they are the system's (kernel32,
// imagehlp). Elsewhere this header declares the same subset and the
// platform layer implements it.

#include <cstddef>
#include <cstdint>

#ifdef _WIN32

#include <windows.h>
// windows.h first: imagehlp.h depends on it.
#include <imagehlp.h>

#else

#include <cstdarg>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
// Pointer-sized, as Windows defines it: 64 bits on a 64-bit platform, so that
// the base of a PE32+ image above 4 GiB is reported whole.
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef wchar_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const void* LPCVOID;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

/// A file time: 100-nanosecond intervals since 1601-01-01 UTC, as on Windows,
/// plus what Linux file systems keep beyond the Windows structure: the
/// nanoseconds below 100, and the count's bits above its 64, which make it a
/// signed 96-bit number, so that a time before 1601 or after the year 60000
/// is kept too. Any time a file system can hold fits.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
  DWORD dwNanoseconds;       // 0..99; not part of the Windows structure
  int32_t lHighestDateTime;  // bits 64..95; not part of the Windows structure
};

/// Opens an existing regular file. `dwDesiredAccess` is GENERIC_READ and/or
/// GENERIC_WRITE; `dwShareMode` 0 takes an exclusive advisory lock (flock),
/// without waiting, held until CloseHandle. Only OPEN_EXISTING is supported.
/// Directories, FIFOs and devices fail at once without blocking. Writing is
/// refused for a file with no write permission bit, even to root.
/// Returns INVALID_HANDLE_VALUE on failure, with the errno in GetLastError
/// (EISDIR for a directory, EINVAL for another non-regular file, EACCES for
/// writing a read-only file, EWOULDBLOCK when another process holds the lock).
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/// Reads the creation (zero where the file system has none), last-access and
/// last-write times, exactly; any pointer may be null. FALSE when the file's
/// status cannot be read.
BOOL GetFileTime(HANDLE hFile, FILETIME* lpCreationTime, FILETIME* lpLastAccessTime, FILETIME* lpLastWriteTime);

/// Sets the last-access and last-write times to the nanosecond; a null
/// pointer leaves that time as it is. The creation time cannot be set on
/// Linux and is ignored. FALSE on failure (EOVERFLOW for a time whose
/// seconds do not fit in time_t; only a hand-made FILETIME can be such).
BOOL SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                 const FILETIME* lpLastWriteTime);

/// Closes the handle and releases its lock. FALSE on failure.
BOOL CloseHandle(HANDLE hObject);

/// The code of the last failure: an errno value for system failures, or an
/// image engine code (kEngineErrorBase + n, never an errno value).
DWORD GetLastError(void);
/// Sets the code of the last failure; it has no detail (LastErrorDetail).
void SetLastError(DWORD dwErrCode);

/// Writes the text for `dwMessageId` (the system's strerror text for an errno
/// value, the image engine's own English line for its codes) into
/// `lpBuffer` of `nSize` wide characters, NUL-terminated and cut to fit.
/// Only FORMAT_MESSAGE_FROM_SYSTEM is supported; the texts have no inserts.
/// Returns the number of characters stored, without the NUL; 0 when there is
/// no text for the code.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments);

/// Compares `count` bytes without regard to the case of ASCII letters,
/// stopping at the first difference: <0, 0 or >0.
int _memicmp(const void* buffer1, const void* buffer2, size_t count);

#endif  // _WIN32

/// Error codes of the image engine start here: bit 29, which Windows keeps for
/// application-defined codes and which no errno value uses.
constexpr DWORD kEngineErrorBase = 0x20000000u;

/// The detail of the last error when the project's image engine set it: the
/// field and value its refusal names ("relocation block at RVA 0x3008 has
/// SizeOfBlock 6, below 8"); nullptr for any other last error, and always
/// where imagehlp rebases. Read it with GetLastError, before another call.
const char* LastErrorDetail(void);

/// Rebases (`fReBase` TRUE) or queries an image file, with the arguments and
/// results of imagehlp's ReBaseImage. On success the outputs are set and
/// `NewImageBase` is left as it was given; on failure the reason is in
/// GetLastError and the file is as it was. A query of an image whose base
/// does not fit in ULONG_PTR (above 4 GiB where it has 32 bits) fails with
/// the engine's base-out-of-range code.
#if !defined(_WIN32) || defined(DORVANE_OWN_REBASER)
BOOL DorvaneReBaseImage(PCSTR CurrentImageName, PCSTR SymbolPath, BOOL fReBase, BOOL RebaseSysfileOk,
                        BOOL GoingDown, ULONG CheckImageSize, ULONG* OldImageSize, ULONG_PTR* OldImageBase,
                        ULONG* NewImageSize, ULONG_PTR* NewImageBase, ULONG TimeStamp);
#define ReBaseImage DorvaneReBaseImage
#endif

/// Makes the last error the one ReBaseImage gives for an invalid requested
/// base, for a base at or beyond 4 GiB that the caller refuses itself: the
/// engine's code, whose text names `base`, or on Windows the system's
/// ERROR_INVALID_PARAMETER, to which the engine's code is mapped there too.
void SetBaseOutOfRangeError(uint64_t base);

/// Converts a NUL-terminated wide text to the narrow encoding of standard
/// output (UTF-8 outside Windows; the console's code page on Windows), into
/// `out` of `size` bytes, always NUL-terminated. A character that cannot be
/// represented becomes '?'. Returns the number of bytes stored, without the NUL.
size_t WideToOutputText(const WCHAR* text, char* out, size_t size);

#endif
