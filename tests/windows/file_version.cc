// file_version FILE: prints FILE's version resource as Windows reads it, one
// "name: value" line each: the fixed file and product versions, then the
// strings of its first translation.

#include <windows.h>
#include <winver.h>

#include <cstdio>
#include <vector>

namespace {

const char* const kStringNames[] = {"ProductName",      "ProductVersion", "FileVersion", "FileDescription",
                                    "OriginalFilename", "LegalCopyright"};

void PrintVersion(const char* name, DWORD high, DWORD low) {
  std::printf("%s: %u.%u.%u.%u\n", name, unsigned{HIWORD(high)}, unsigned{LOWORD(high)}, unsigned{HIWORD(low)},
              unsigned{LOWORD(low)});
}

bool Query(std::vector<char>& info, const char* path, void** value, UINT* length) {
  return VerQueryValueA(info.data(), path, value, length) && *length > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
  if (size == 0) {
    std::printf("no version resource: error %lu\n", GetLastError());
    return 1;
  }
  std::vector<char> info(size);
  if (!GetFileVersionInfoA(argv[1], 0, size, info.data())) return 1;

  void* value = NULL;
  UINT length = 0;
  if (!Query(info, "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return 1;
  const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  PrintVersion("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  PrintVersion("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);

  if (!Query(info, "\\VarFileInfo\\Translation", &value, &length) || length < 2 * sizeof(WORD)) return 1;
  const WORD* translation = static_cast<const WORD*>(value);
  for (const char* name : kStringNames) {
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04X%04X\\%s", unsigned{translation[0]},
                  unsigned{translation[1]}, name);
    if (Query(info, path, &value, &length)) std::printf("%s: %s\n", name, static_cast<const char*>(value));
  }
  return 0;
}
