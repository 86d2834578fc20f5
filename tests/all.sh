#!/usr/bin/env bash
# Every check the project has, after installing what the machine lacks:
# - the checks build: the end-to-end table (with a Samba server and an NFS
#   server of its own, started and stopped by it), the documents' examples
#   and the shipped scripts, the shell completion, clang-tidy, cppcheck,
#   clang-format, the manual page's lint and its rendering by man, and the
#   end-to-end table again under valgrind;
# - the sanitizer build: the same tests under ASan and UBSan, and the fuzz test;
# - the release command, which tests the static x86-64, aarch64 (under qemu)
#   and i686 builds and the Windows build (under Wine) before packing each;
#   then again from a clone, built only, under another umask, time zone and
#   locale, in a path with a space and a non-ASCII letter: the same bytes;
# - what each release file holds, its checksums, each Debian package's
#   machine, dependencies, hardening and lintian's verdict, and its binary run;
# - a short benchmark run, to prove that it runs.
set -euo pipefail
cd "$(dirname "$0")/.."

packages="cmake g++ python3 clang libclang-rt-14-dev clang-tidy clang-format cppcheck valgrind
    mandoc man-db dpkg-dev lintian hyperfine strace time g++-mingw-w64-x86-64-posix wine wine64
    locales g++-aarch64-linux-gnu g++-i686-linux-gnu qemu-user-static samba python3-impacket
    nfs-ganesha nfs-ganesha-vfs rpcbind nfs-common libnfs13 iproute2"
missing=$(for p in $packages; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q ' installed$' || echo "$p"; done)
sudo=$([ "$(id -u)" = 0 ] || echo sudo)
# and a Russian locale, for Wine to run the tool as on a Russian system
if [ -n "$missing" ] || ! locale -a | grep -qx ru_RU.utf8; then
    [ -z "$sudo" ] || { command -v sudo > /dev/null && sudo -v; } ||
        { echo "tests/all.sh: root or sudo must install" $missing "and ru_RU.UTF-8" >&2; exit 1; }
    [ -z "$missing" ] || { $sudo apt-get update && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing; }
    locale -a | grep -qx ru_RU.utf8 || $sudo localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi

export CMAKE_BUILD_PARALLEL_LEVEL=2
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cmake --workflow --preset checks
cmake --workflow --preset sanitize

work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
bash release.sh
second="$work/second run, é" && git clone -q . "$second"
(umask 077 && env -u LC_ALL TZ=Asia/Tokyo LANG=ru_RU.UTF-8 bash "$second/release.sh" --no-tests)
# Each check on a line of its own: set -e ignores a failure before && and under !.
diff -r dist "$second/dist"
(cd dist && sha256sum -c SHA256SUMS)

# What each release file holds, as tests/release-files.txt lists it; the source, as git does.
for file in dist/*-linux-*.tar.gz dist/*.deb dist/*.zip; do
    case $file in
        *.deb) dpkg-deb -c "$file" | awk '!/\/$/ {print $6}' ;;
        *.zip) python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep="\n")' "$file" ;;
        *) tar -tzf "$file" | grep -v '/$' ;;
    esac | sed "s|^|${file#dist/} |"
done | LC_ALL=C sort | diff <(sed "s/@VERSION@/$version/g" tests/release-files.txt) -
diff <(tar -tzf "dist/tarnwick-$version.tar.gz" | grep -v '/$' | LC_ALL=C sort) <(git ls-files | sed "s|^|tarnwick-$version/|" | LC_ALL=C sort)
# Any Debian or Ubuntu release: no dependency at all, one package for every
# machine's maps, a static position-independent binary that runs from the package.
for machine in amd64: arm64:qemu-aarch64-static i386:qemu-i386-static; do
    IFS=: read -r arch emulator <<< "$machine"
    deb=dist/tarnwick_${version}_$arch.deb
    [ "$(dpkg-deb -f "$deb" Architecture Depends Pre-Depends Multi-Arch)" = "Architecture: $arch
Multi-Arch: foreign" ] || { dpkg-deb -f "$deb" >&2; exit 1; }
    lintian --allow-root --fail-on error,warning "$deb"
    dpkg-deb -x "$deb" "$work/$arch"
    usr=$work/$arch/usr
    readelf -h "$usr/bin/tarnwick" | grep -q 'Type: *DYN' || { echo "$deb: not PIE" >&2; exit 1; }
    ! readelf -l "$usr/bin/tarnwick" | grep -q INTERP || { echo "$deb: not static" >&2; exit 1; }
    $emulator "$usr/bin/tarnwick" "$usr/share/doc/tarnwick/DM-Sample.ut2" | grep -qF '[00100001]'
done
# tarnwick.exe's manifest (UTF-8 code page, no elevation), its version block, ASLR and NX.
python3 - "dist/tarnwick-$version-windows-x86_64.zip" "tarnwick-$version-windows-x86_64/tarnwick.exe" "$version" <<'EOF'
import re, struct, sys, zipfile
exe = zipfile.ZipFile(sys.argv[1]).read(sys.argv[2])
for pair in [("ProductName", "Tarnwick"), ("ProductVersion", sys.argv[3]), ("OriginalFilename", "tarnwick.exe")]:
    assert re.search(rb"(\0\0)*".join(re.escape(f"{text}\0".encode("utf-16-le")) for text in pair), exe), pair
assert re.search(rb"<activeCodePage[^>]*>UTF-8<", exe) and b'level="asInvoker"' in exe
# the optional header's DllCharacteristics: high-entropy ASLR, ASLR, NX
pe = struct.unpack_from("<I", exe, 0x3C)[0]
assert struct.unpack_from("<H", exe, pe + 24 + 70)[0] & 0x160 == 0x160, "ASLR and NX"
# the license with CRLF line ends, every one
text = zipfile.ZipFile(sys.argv[1]).read(sys.argv[2].replace("tarnwick.exe", "LICENSE"))
assert text.count(b"\r\n") == text.count(b"\n") == open("LICENSE", "rb").read().count(b"\n")
EOF

# The benchmark, with small counts, to prove that it runs: its figures mean
# nothing at this size, so only its last lines are shown.
tar -xzf "dist/tarnwick-$version-linux-x86_64.tar.gz" -C "$work"
bash bench/run.sh build-checks/tarnwick "$work/tarnwick-$version-linux-x86_64/bin/tarnwick" 20 10 > "$work/bench.txt" 2>&1 || { cat "$work/bench.txt"; exit 1; }
tail -n 3 "$work/bench.txt"
