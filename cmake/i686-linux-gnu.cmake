# Cross-builds for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. Every
# program is linked statically, the tests' own too. An x86-64 kernel runs
# them itself, unless it was built or started without 32-bit support, as
# some virtual machines are: then they run through qemu-i386-static
# (package qemu-user-static). The C library's own loader tells which.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
execute_process(COMMAND /usr/i686-linux-gnu/lib/ld-linux.so.2 --version RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
if(NOT native EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
endif()
