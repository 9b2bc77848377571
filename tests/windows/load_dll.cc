// load_dll DLL: loads DLL, prints the address it was loaded at and what its
// pointer functions return: "base 0x<hex> sum <n> name <text>".

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
  if (sum == NULL || name == NULL) return 1;
  std::printf("base 0x%08llX sum %d name %s\n", base, sum(), name(1));
  return 0;
}
