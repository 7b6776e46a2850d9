
# Bash completion of trailmark: subcommands, their options, and the values
# of options (choices, COM ports and devices, files, folders). The functions
# above hold what the help texts list; this part finds where on the command
# line the cursor is.

# Completes the value of an option of the given kind (see _trailmark_value).
_trailmark_complete_value() {
    local kind=${1#many:} cur=$2
    case "$kind" in
    choice:*) mapfile -t COMPREPLY < <(compgen -W "${kind#choice:}" -- "$cur") ;;
    port)
        if [[ $cur == /* ]]; then
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9" -- "$cur")
        fi
        ;;
    dir)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        ;;
    file)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    esac
}

_trailmark() {
    local cur=${COMP_WORDS[COMP_CWORD]} path="" kind="" word REPLY i
    local -a kinds
    local -i argument=0
    COMPREPLY=()
    # Walk the words before the cursor: subcommands extend the path, an
    # option that takes a value claims the next word ("--mode=boot" arrives
    # as three words, the "=" among them), and the other words are counted
    # as positional arguments.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == "=" ]]; then
            continue
        elif [[ $word == -* ]]; then
            _trailmark_value "$path" "$word"
            kind=$REPLY
        elif [[ -n $kind ]]; then
            [[ $kind == many:* ]] || kind=""
        else
            _trailmark_subcommands "$path"
            if [[ " $REPLY " == *" $word "* ]]; then
                path=${path:+$path }$word argument=0
            else
                argument+=1
            fi
        fi
    done
    [[ $cur == "=" ]] && cur=""
    if [[ $cur == -* ]]; then
        _trailmark_options "$path"
        mapfile -t COMPREPLY < <(compgen -W "$REPLY" -- "$cur")
    elif [[ -n $kind ]]; then
        _trailmark_complete_value "$kind" "$cur"
    else
        _trailmark_subcommands "$path"
        if [[ -n $REPLY ]]; then
            mapfile -t COMPREPLY < <(compgen -W "$REPLY" -- "$cur")
        else
            # The argument's own kind; the last one's for any beyond.
            _trailmark_arguments "$path"
            read -ra kinds <<<"$REPLY"
            ((${#kinds[@]})) || return 0
            ((argument < ${#kinds[@]})) || argument=${#kinds[@]}-1
            _trailmark_complete_value "${kinds[argument]}" "$cur"
        fi
    fi
}

complete -F _trailmark trailmark
