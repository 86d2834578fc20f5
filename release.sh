#!/usr/bin/env bash
# Makes every release file in dist/, and nothing else: for x86-64, aarch64
# and i686 Linux, a tarball and a Debian package of the static binary; the
# Windows ZIP; the source archive of the commit checked out; and their
# SHA256SUMS. The binaries are built from that source archive, so the two
# always agree, whatever the working tree holds. Each build is tested before
# it is packed, unless --no-tests is given (a second run that only compares).
#
# The same commit gives the same bytes on any builder: the time in every file
# is the commit's, and no build path, umask, time zone or locale gets in.
#
# usage: bash release.sh [--no-tests]
set -euo pipefail
cd "$(dirname "$0")"
umask 022
export TZ=UTC LC_ALL=C.UTF-8
export SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
tests=yes
case ${1-} in
    --no-tests) tests= ;;
    '') ;;
    *) echo "usage: bash release.sh [--no-tests]" >&2 && exit 2 ;;
esac
git diff --quiet HEAD -- || echo "release.sh: uncommitted changes are left out: the release is of $(git rev-parse --short HEAD)" >&2
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
rm -rf dist && mkdir dist

version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p')
git archive --format=tar --prefix="tarnwick-$version/" HEAD | gzip -9n > "dist/tarnwick-$version.tar.gz"
tar -xzf "dist/tarnwick-$version.tar.gz" -C "$work"
for preset in static static-aarch64 static-i686 windows; do
    (cd "$work/tarnwick-$version" && cmake --preset "$preset" -B "$work/$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
    cmake --build "$work/$preset"
    [ -z "$tests" ] || ctest --test-dir "$work/$preset" --output-on-failure -j2
    (cd "$work/$preset" && cpack)
    cp "$work/$preset"/tarnwick[-_][0-9]* dist/
done
(cd dist && sha256sum -- * > SHA256SUMS) # C.UTF-8 sorts the names byte by byte
ls -l dist
