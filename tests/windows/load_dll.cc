// load_dll DLL: loads DLL, prints the address it was loaded at and what its
// pointer functions return: "base 0x<hex> sum <n> name <text>"; for a DLL
// without them, its string resource 1: "base 0x<hex> string <text>".

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == NULL) {
    std::printf("LoadLibrary failed: %lu\n", GetLastError());
    return 1;
  }
  unsigned long long base = reinterpret_cast<ULONG_PTR>(module);
  typedef int (*SumFn)(void);
  typedef const char* (*NameFn)(int);
  SumFn sum = reinterpret_cast<SumFn>(reinterpret_cast<void*>(GetProcAddress(module, "sum")));
  NameFn name = reinterpret_cast<NameFn>(reinterpret_cast<void*>(GetProcAddress(module, "get_name")));
  if (sum != NULL && name != NULL) {
    std::printf("base 0x%08llX sum %d name %s\n", base, sum(), name(1));
    return 0;
  }
  char text[256];
  if (LoadStringA(module, 1, text, sizeof text) == 0) return 1;
  std::printf("base 0x%08llX string %s\n", base, text);
  return 0;
}
