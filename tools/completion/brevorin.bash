# bash completion for brevorin. Commands, options and the values of options
# with a fixed set are read from the tool's own --help, so the completion
# offers what the installed tool takes, never an older list.

# The value an option takes, as its --help line names it after the option
# ("FILE", "pop3|imap"); empty for a flag.
_brevorin_value() {
    local line
    line=$(grep -E -m1 -e "^  (-[a-zA-Z],)?$2( |\$)" <<<"$1") || return
    line=${line#*"$2"}
    line=${line%%  *}
    line=${line# }
    printf '%s' "${line%% *}"
}

_brevorin() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local tool=${COMP_WORDS[0]} top help commands command= i value
    top=$("$tool" --help 2>/dev/null) || return
    # Command lines are the only ones set in by two spaces and a letter.
    commands=$(sed -n 's/^  \([a-z][a-z]*\) .*/\1/p' <<<"$top")
    for ((i = 1; i < COMP_CWORD; i++)); do
        if grep -qx -e "${COMP_WORDS[i]}" <<<"$commands"; then
            command=${COMP_WORDS[i]}
            break
        fi
    done
    help=$top
    [[ -n $command ]] && help=$("$tool" "$command" --help 2>/dev/null)
    if [[ $prev == -* ]]; then
        value=$(_brevorin_value "$help" "$prev")
        case $value in
            *'|'*) COMPREPLY=($(compgen -W "${value//|/ }" -- "$cur")); return ;;
            FILE)
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$cur"))
                return
                ;;
            DIR)
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -d -- "$cur"))
                return
                ;;
            CMD) COMPREPLY=($(compgen -c -- "$cur")); return ;;
            ?*) return ;; # typed by hand: a name, a server, a number
        esac
    fi
    if [[ -z $command && $cur != -* ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    local options
    options=$(sed -n 's/^  \(-[^ ]*\).*/\1/p' <<<"$help" | tr ',' '\n')
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _brevorin brevorin
