# Cross-builds Dorvane and the image engine's tests for 32-bit x86 Linux
# with Debian's g++-i686-linux-gnu, statically linked, so that they run
# without 32-bit libraries on the machine: natively where the kernel runs
# 32-bit x86 programs, elsewhere under Debian's qemu-user-static, which ctest
# then puts before each test program:
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake \
#         [-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386-static]
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
