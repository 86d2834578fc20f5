#!/bin/sh
# Lets clients download every map (.ut2) in a folder: switches each map's AllowDownload flag on
# with tarnwick, and names each file it leaves as it was, with the reason: a file that is no
# package, or one the tool could not read or change, with the tool's message. A map that allows
# download already is passed over without a word, so the script is safe to run again.
#
# usage: sh allow-download.sh FOLDER
#
# It runs the tarnwick on the PATH, or the one that TARNWICK names. Cron's PATH is only
# /usr/bin:/bin: name the tool there by its path (TARNWICK=/usr/local/bin/tarnwick).
# Exit status: 0 when every map allows download, 1 when a file was left, 2 when there is no
# such folder, or it holds no .ut2 file, or tarnwick cannot be run.
tarnwick=${TARNWICK:-tarnwick}
if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: sh allow-download.sh FOLDER" >&2
    exit 2
fi
if [ ! -d "$1" ]; then
    echo "allow-download.sh: $1: no such folder" >&2
    exit 2
fi
case $tarnwick in
    */*) [ -f "$tarnwick" ] && [ -x "$tarnwick" ] ;;
    *) command -v "$tarnwick" > /dev/null ;;
esac || {
    echo "allow-download.sh: $tarnwick: not found; put it on the PATH, or name it in TARNWICK" >&2
    exit 2
}
status=2
for map in "$1"/*.ut2; do
    [ -e "$map" ] || [ -L "$map" ] || continue # no file matched: the pattern itself
    [ "$status" = 2 ] && status=0
    # -- keeps a name that begins with - from being read as options
    out=$("$tarnwick" --AllowDownload=on -- "$map" 2>&1)
    case $out in
        "[Warning]"*) echo "$map: not a package; not changed" ;;
        *"Map file updated" | *"No change to make") continue ;;
        *) echo "$map: ${out##*: }" ;; # the tool's message, which says what became of the map
    esac
    status=1
done
[ "$status" != 2 ] || echo "allow-download.sh: $1: no .ut2 file there" >&2
exit "$status"
