# Cross-builds tarnwick.exe, a 64-bit Windows console program, with Debian's
# MinGW-w64 (package g++-mingw-w64-x86-64-posix: its C runtime supplies
# getopt_long). The link is static, so the executable needs no DLL beside it;
# ASLR and NX are the linker's defaults. Tests run under Wine (packages wine
# and wine64), headless, in a prefix of the build's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# One prefix per build folder, inside it, so that it goes with the folder; the
# tests create it. Without the .NET and HTML engines, which a headless test
# has no use for.
#
# With address space randomization off (setarch -R): Wine must map Windows'
# shared user data at the fixed address 0x7ffe0000, and Debian's Wine has no
# preloader to keep that address free, so about one start in two thousand
# found the loader's randomly placed heap there and ended with status 1 and,
# its error being hidden by WINEDEBUG=-all, no word at all.
#
# Every program run in the prefix holds the lock of the file beside it while
# it runs, as do the tests that start and stop the Wine server: two test runs
# on one build folder take turns, program by program, so that neither stops
# the server under the other's program, nor do both use a file of the prefix
# (a batch file's %TEMP%) at once.
set(TARNWICK_WINEPREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Wine prefix the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEPREFIX=${TARNWICK_WINEPREFIX}
    WINEDLLOVERRIDES=mscoree,mshtml=d flock --close ${TARNWICK_WINEPREFIX}.lock setarch -R wine)
