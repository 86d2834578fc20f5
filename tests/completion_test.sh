#!/usr/bin/env bash
# Drives the bash completion for tarnwick the way bash does: the function that
# "complete" registered for the command, called with the words of a command
# line already split as bash splits them ('=' is a word of its own), in a
# folder holding packages of several kinds, a compressed one, another file
# and folders, one of them with no package.
#
# usage: completion_test.sh path/to/tarnwick-completion.bash
set -u
# what is offered, and the strings below, in byte order whatever the builder's locale
export LC_ALL=C
source "$1"
function=$(complete -p tarnwick | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT
touch DM-Rankin.ut2 DM-Rankin.ut2.uz2 CTF-Face.ut2 Core.u Sounds.uax notes.txt "DM My Map.ut2" ./-odd.ut2 $'DM-New\nLine.ut2'
mkdir -p Maps Other/Sub "Sp ace" && touch Other/notes.txt Other/readme "Sp ace/DM-A.ut2" "Sp ace/b"
failed=0

# expect "what is offered, sorted" word... (the last word is the one being completed)
expect()
{
    COMP_WORDS=("${@:2}") COMP_CWORD=$(($# - 2)) COMPREPLY=()
    "$function" tarnwick "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    local got=$(printf '%s\0' "${COMPREPLY[@]}" | sort -z | tr '\0' '|')  # each ends in |
    [[ $got == "$1|" ]] || { echo "FAIL: ${*:2} -> got '$got', want '$1'"; failed=1; }
}

expect "--Official|--Official=off|--Official=on" tarnwick --Off
expect "$(printf '%s\n' --force --{AllowDownload,ClientOptional,ServerSideOnly,Unsecure,Official}{,=on,=off} | sort | paste -sd '|')" tarnwick --
expect "off|on" tarnwick --Unsecure = ""
expect "off" tarnwick --Unsecure = of
expect "" tarnwick --force = ""
expect $'-odd.ut2|CTF-Face.ut2|Core.u|DM My Map.ut2|DM-New\nLine.ut2|DM-Rankin.ut2|Maps|Other|Sounds.uax|Sp ace' tarnwick --Official = off ""
expect "Other/Sub|Other/notes.txt|Other/readme" tarnwick -o Other/
expect "Sp ace/DM-A.ut2" tarnwick -o 'Sp\ ace/'
expect "Sp ace/DM-A.ut2" tarnwick -o '"Sp ace/D'
HOME=$PWD/Other expect "~/Sub|~/notes.txt|~/readme" tarnwick -o "~/"
expect $'DM My Map.ut2|DM-New\nLine.ut2|DM-Rankin.ut2' tarnwick -o D
expect $'DM-New\nLine.ut2' tarnwick DM-N
expect "notes.txt" tarnwick no
expect "CTF-Face.ut2|Core.u" tarnwick CTF-Face.ut2 -f C
expect "-odd.ut2" tarnwick -o -- -
exit $failed
