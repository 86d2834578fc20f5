#!/usr/bin/env bash
# Every check the project has, in three builds: the plain one (unit and
# end-to-end tests, clang-tidy, cppcheck, clang-format, and the end-to-end
# table again under valgrind), then a clang one with AddressSanitizer and
# UndefinedBehaviorSanitizer (the same tests, and the fuzz test), then the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_CHECKS=ON
cmake --build build --parallel 2
ctest --test-dir build --output-on-failure

CC=clang CXX=clang++ cmake -S . -B build-sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_SANITIZE=ON
cmake --build build-sanitize --parallel 2
ctest --test-dir build-sanitize --output-on-failure

# The Windows build: tarnwick.exe, its tests under Wine, and the ZIP for its users.
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-windows --parallel 2
ctest --test-dir build-windows --output-on-failure
(cd build-windows && cpack)
python3 - build-windows/tarnwick-1.0-Windows.zip <<'CHECK'
import sys, zipfile
names = sorted(name.split("/", 1)[1] for name in zipfile.ZipFile(sys.argv[1]).namelist())
sys.exit(None if names == ["README.md", "tarnwick.exe"] else f"the ZIP holds {names}")
CHECK
