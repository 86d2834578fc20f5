# Cross-builds for 32-bit x86 Linux with Debian's g++-i686-linux-gnu. An
# x86-64 kernel runs the tests itself, unless it was built or started without
# 32-bit support, as some virtual machines are: then they run through
# qemu-i386-static (package qemu-user-static). The C library's own loader
# tells which.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
execute_process(COMMAND /usr/i686-linux-gnu/lib/ld-linux.so.2 --version RESULT_VARIABLE native OUTPUT_QUIET ERROR_QUIET)
if(NOT native EQUAL 0)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
endif()
