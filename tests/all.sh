#!/usr/bin/env bash
# Every check the project has, in three builds:
# - the plain one: unit and end-to-end tests, the shell completion, clang-tidy,
#   cppcheck, clang-format, the manual page, the end-to-end table again under
#   valgrind; then what an install and the packages hold, and a short
#   benchmark run;
# - a clang one with AddressSanitizer and UndefinedBehaviorSanitizer: the same
#   tests, and the fuzz test;
# - the Windows one, whose tests run under Wine, and its ZIP.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the checks need beyond a fresh Debian 12 machine, installed when missing.
packages="cmake g++ libgtest-dev googletest python3 clang libclang-rt-14-dev clang-tidy clang-format cppcheck valgrind
    mandoc dpkg-dev hyperfine strace time g++-mingw-w64-x86-64-posix wine wine64"
missing=$(for p in $packages; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' installed$' || echo "$p"; done)
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        sudo=
    elif command -v sudo > /dev/null && sudo -v; then
        sudo=sudo
    else
        echo "tests/all.sh: these Debian packages are missing, and only root or sudo can install them:" $missing >&2
        exit 1
    fi
    $sudo apt-get update
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

same()
{
    [ "$2" = "$3" ] || { echo "$1: got '$2', want '$3'" >&2; exit 1; }
}

cmake -S . -B build -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_CHECKS=ON
cmake --build build --parallel 2
ctest --test-dir build --output-on-failure

# What an install and the packages hold.
files="bin/tarnwick share/bash-completion/completions/tarnwick share/man/man1/tarnwick.1"
stage=$(mktemp -d) && trap 'rm -rf "$stage"' EXIT
cmake --install build --prefix "$stage"
same "cmake --install" "$(cd "$stage" && find . -type f | sort | sed 's|^\./||' | xargs)" "$files"
(cd build && cpack && cpack --config CPackSourceConfig.cmake)
same "the .deb" "$(dpkg-deb -c build/tarnwick_1.0_amd64.deb | awk '!/\/$/ {print $6}' | sort | xargs)" \
    "$(printf './usr/%s\n' $files | xargs)"
same "the source archive" "$(tar -tzf build/tarnwick-1.0.tar.gz | grep -c -e '/build' -e '/\.git/')" 0
same "the source archive" "$(tar -tzf build/tarnwick-1.0.tar.gz | grep -c -x -e tarnwick-1.0/src/tarnwick.cpp -e tarnwick-1.0/tarnwick.1)" 2

# The benchmark, once with small counts, to prove that it runs.
bash bench/run.sh build/tarnwick 20 10

CC=clang CXX=clang++ cmake -S . -B build-sanitize -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DTARNWICK_SANITIZE=ON
cmake --build build-sanitize --parallel 2
ctest --test-dir build-sanitize --output-on-failure

# The Windows build: tarnwick.exe, its tests under Wine, and the ZIP for its users.
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-windows --parallel 2
ctest --test-dir build-windows --output-on-failure
(cd build-windows && cpack)
same "the ZIP" "$(python3 -c 'import sys, zipfile
print(*sorted(name.split("/", 1)[1] for name in zipfile.ZipFile(sys.argv[1]).namelist()))' \
    build-windows/tarnwick-1.0-Windows.zip)" "README.md tarnwick.exe"
