# bash completion for tarnwick: the flag options, alone or with =on and =off,
# --force, and packages: .ut2, .u, .utx, .usx, .uax and .ukx files, and
# folders (any file or folder when no package matches). After --, every word
# is a file.
_tarnwick()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local flags="--AllowDownload --ClientOptional --ServerSideOnly --Unsecure --Official"
    local flag kind word options=yes
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        [[ $word == -- ]] && options=
    done
    # bash splits "--Official=of" at the '=': complete the value after it,
    # for the option before the '='.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    else
        prev=
    fi
    if [[ -n $options && -n $prev ]]; then
        [[ " $flags " == *" $prev "* ]] && mapfile -t COMPREPLY < <(compgen -W "on off" -- "$cur")
        return
    fi
    if [[ -n $options && $cur == -* ]]; then
        local all=--force
        for flag in $flags; do
            all+=" $flag $flag=on $flag=off"
        done
        mapfile -t COMPREPLY < <(compgen -W "$all" -- "$cur")
        return
    fi
    # Globs, not compgen -f, whose one name a line splits a name that holds a
    # newline. The word is the name as typed, without its opening quote or its
    # backslashes ("Sp ace/, Maps\ sub/), and quoted in the glob, so its *, ?
    # and [ match only themselves; a leading ~/ is the home folder, and stays
    # ~/ in what is offered.
    compopt -o filenames
    local home= path= name restore i
    if [[ $cur == [\"\']* ]]; then
        path=${cur:1}
    else
        for ((i = 0; i < ${#cur}; i++)); do
            [[ ${cur:i:1} == \\ ]] && ((i++))
            path+=${cur:i:1}
        done
    fi
    [[ $path == "~" || $path == "~/"* ]] && home=$HOME path=$HOME${path:1}
    restore=$(shopt -p nullglob dotglob)
    shopt -s nullglob dotglob
    COMPREPLY=()
    for kind in ut2 u utx usx uax ukx; do
        COMPREPLY+=("$path"*."$kind")
    done
    if ((${#COMPREPLY[@]} == 0)); then
        COMPREPLY=("$path"*)
    else
        for name in "$path"*/; do
            COMPREPLY+=("${name%/}")
        done
    fi
    eval "$restore"
    [[ -z $home ]] || COMPREPLY=("${COMPREPLY[@]/#"$home"/"~"}")
}
complete -F _tarnwick tarnwick
