#!/usr/bin/env bash
# Every check the project has, in two builds: the plain one (unit and
# end-to-end tests, clang-tidy, cppcheck, clang-format, and the end-to-end
# table again under valgrind), then a clang one with AddressSanitizer and
# UndefinedBehaviorSanitizer (the same tests, and the fuzz test).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_CHECKS=ON
cmake --build build --parallel 2
ctest --test-dir build --output-on-failure

CC=clang CXX=clang++ cmake -S . -B build-sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_SANITIZE=ON
cmake --build build-sanitize --parallel 2
ctest --test-dir build-sanitize --output-on-failure
