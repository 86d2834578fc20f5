#!/usr/bin/env bash
# Makes every release file in dist/, and nothing else: for x86-64, aarch64
# and i686 Linux, a tarball and a Debian package of the static binary; the
# Windows ZIP; the source archive; and their SHA256SUMS. Each build is tested
# before it is packed. The time in every file is the commit's, and no build
# path gets in, so two runs from one commit give the same bytes.
#
# usage: bash release.sh
set -euo pipefail
cd "$(dirname "$0")"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
rm -rf dist && mkdir dist

for preset in static static-aarch64 static-i686 windows; do
    cmake --preset "$preset" -B "$work/$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$work/$preset"
    ctest --test-dir "$work/$preset" --output-on-failure
    (cd "$work/$preset" && cpack)
    cp "$work/$preset"/tarnwick[-_][0-9]* dist/
done
# The source: the commit's files as they are in git, dated by the commit.
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
git archive --format=tar --prefix="tarnwick-$version/" HEAD | gzip -9n > "dist/tarnwick-$version.tar.gz"
(cd dist && sha256sum -- * > SHA256SUMS)
ls -l dist
