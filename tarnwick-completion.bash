# bash completion for tarnwick: the flag options, alone or with =on and =off,
# --force, and map files (.ut2 files and folders; any file or folder when no
# .ut2 file matches).
_tarnwick()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local flags="--AllowDownload --ClientOptional --ServerSideOnly --Unsecure --Official"
    local flag
    # bash splits "--Official=of" at the '=': complete the value after it,
    # for the option before the '='.
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    else
        prev=
    fi
    if [[ -n $prev ]]; then
        [[ " $flags " == *" $prev "* ]] && mapfile -t COMPREPLY < <(compgen -W "on off" -- "$cur")
        return
    fi
    if [[ $cur == -* ]]; then
        local options=--force
        for flag in $flags; do
            options+=" $flag $flag=on $flag=off"
        done
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -X '!*.ut2' -- "$cur")
    if ((${#COMPREPLY[@]} == 0)); then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    else
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -d -- "$cur")
    fi
}
complete -F _tarnwick tarnwick
