// map_images PATH...: maps each image in turn as the loader maps a DLL
// without running any of it (LoadLibraryExA with DONT_RESOLVE_DLL_REFERENCES:
// no entry point, no imports), writes what it mapped to PATH.mapped, and
// unmaps it. PATH.mapped holds the address the image was mapped at (8 bytes,
// little-endian), then its SizeOfImage bytes as mapped, 0xEE for each byte
// of a page that cannot be read. Prints "PATH mapped at 0x<hex>" or, when the
// loader refuses the image, "PATH not mapped: error <n>". Status 0 unless a
// file cannot be written (1) or the loader faults (3).

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The image's bytes from `base` as mapped, SizeOfImage of them. Pages the
// loader mapped without access (a section without the read flag) are made
// readable for the copy.
std::vector<unsigned char> MappedBytes(unsigned char* base) {
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const size_t size = nt->OptionalHeader.SizeOfImage;
  std::vector<unsigned char> bytes(size, 0xEE);
  for (size_t at = 0; at < size;) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(base + at, &region, sizeof region) == 0) break;
    size_t length = region.RegionSize - static_cast<size_t>(base + at - static_cast<const unsigned char*>(region.BaseAddress));
    if (length > size - at) length = size - at;
    DWORD was = 0;
    bool readable = region.State == MEM_COMMIT && !(region.Protect & PAGE_GUARD) &&
                    (!(region.Protect & PAGE_NOACCESS) || VirtualProtect(base + at, length, PAGE_READONLY, &was));
    if (readable) std::copy(base + at, base + at + length, bytes.begin() + at);
    at += length;
  }
  return bytes;
}

bool Write(const std::string& path, unsigned long long address, const std::vector<unsigned char>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == NULL) return false;
  unsigned char le[8];
  for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(address >> (8 * i));
  bool ok = std::fwrite(le, 1, 8, file) == 8 && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

// A loader that faults on a hostile image would otherwise wait for a
// debugger: the run ends, and says so.
LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  std::printf("the loader faulted: exception 0x%08lX\n", fault->ExceptionRecord->ExceptionCode);
  std::fflush(stdout);
  ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(EndOnFault);
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    HMODULE module = LoadLibraryExA(argv[i], NULL, DONT_RESOLVE_DLL_REFERENCES);
    if (module == NULL) {
      std::printf("%s not mapped: error %lu\n", argv[i], GetLastError());
      continue;
    }
    unsigned long long address = reinterpret_cast<ULONG_PTR>(module);
    if (!Write(std::string(argv[i]) + ".mapped", address, MappedBytes(reinterpret_cast<unsigned char*>(module)))) {
      status = 1;
    }
    FreeLibrary(module);
    std::printf("%s mapped at 0x%llX\n", argv[i], address);
  }
  return status;
}
