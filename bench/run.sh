#!/usr/bin/env bash
# Measures what one run of tarnwick costs, with public tools only (hyperfine,
# GNU time, strace), and prints the figures:
#   1. showing the flags of a 9-byte map and of a 4 GiB sparse one;
#   2. one flag change, by tarnwick and by standard tools (od, shell
#      arithmetic, printf, dd);
#   2b. one flag change by the dynamic and by the static tarnwick, against
#      /bin/true, the system's program that does nothing;
#   3. one flag change on each of many maps, from a shell loop;
#   4. the system calls and the peak memory of one run, and the binaries' sizes.
# It asserts nothing about speed.
#
# usage: bench/run.sh path/to/tarnwick path/to/static/tarnwick [maps [runs]]   (defaults: 1000 maps, 200 runs)
set -euo pipefail
maps=${3:-1000}
runs=${4:-200}
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
# Copies in the work folder, named without a space: hyperfine splits its commands on spaces.
cp "$1" "$work/tarnwick" && cp "$2" "$work/tarnwick-static"
echo "Tool: $(realpath "$1"), static: $(realpath "$2")"
cd "$work"
tool=./tarnwick static=./tarnwick-static

echo "Machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)," \
    "Linux $(uname -r), $(df --output=fstype . | tail -1) temporary folder"
echo "hyperfine $(hyperfine --version | cut -d' ' -f2), $runs runs per command"

# A map's first nine bytes: the tag, the version, the flag byte (0x21).
printf '\301\203\052\236\200\000\035\000\041' > small.ut2
cp small.ut2 large.ut2 && truncate -s 4G large.ut2
bench() { hyperfine --shell=none --warmup 10 --runs "$runs" --style basic "$@"; }

echo; echo "1. Showing the flags: a 9-byte map, then a 4 GiB one"
bench "$tool small.ut2" "$tool large.ut2"

echo; echo "2. One flag change (Official, flipped): tarnwick, then od, printf and dd"
cat > flip.sh <<'SCRIPT'
byte=$(od -An -tu1 -j8 -N1 "$1")
printf "\\$(printf %03o $((byte ^ 0x20)))" | dd of="$1" bs=1 seek=8 count=1 conv=notrunc status=none
SCRIPT
cp small.ut2 change.ut2
bench "$tool -o change.ut2" "bash flip.sh change.ut2"

echo; echo "2b. One flag change: /bin/true, then the dynamic tarnwick, then the static one"
bench "/bin/true -o change.ut2" "$tool -o change.ut2" "$static -o change.ut2"

echo; echo "3. One flag change on each of $maps maps, from a shell loop"
mkdir maps && for i in $(seq "$maps"); do cp small.ut2 "maps/DM-$i.ut2"; done
cat > loop.sh <<SCRIPT
for map in maps/*.ut2; do "$tool" -o "\$map" > /dev/null; done
SCRIPT
hyperfine --shell=none --warmup 1 --runs 5 --style basic "bash loop.sh"

echo; echo "4. The system calls of one change, from the size query on"
strace -o calls.txt "$tool" -o small.ut2 > /dev/null
sed -n '/^newfstatat(AT_FDCWD, "small.ut2"/,$p' calls.txt
strace -c -o summary.txt "$tool" -o small.ut2 > /dev/null
echo "$(awk '/total/ {print $4}' summary.txt) system calls in all, the program's loading included"
/usr/bin/time -v "$tool" small.ut2 2>&1 > /dev/null | sed -n 's/^\s*Maximum resident set size/Peak memory/p'
echo "Binaries: $(stat -c %s "$tool") bytes, static $(stat -c %s "$static") bytes"
