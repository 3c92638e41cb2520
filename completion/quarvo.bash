# Bash completion for check-quarvo, quarvo-term, quarvo-sim and quarvo-monitor.
# Installed once under each command's name, as the completion loader expects.

# Serial devices (/dev/tty*) while the word can still become one; any other
# path (a pseudo-terminal under /dev/pts, say) completes as a file name.
_quarvo_serial_ports()
{
    local IFS=$'\n' cur=$1
    if [[ /dev/tty == "$cur"* ]]; then
        COMPREPLY=($(compgen -f -- /dev/tty))
    elif [[ $cur == /dev/tty* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}

_quarvo_option_words()
{
    # $1: the options; $2: the word being completed
    local IFS=' '
    COMPREPLY=($(compgen -W "$1" -- "$2"))
}

_check_quarvo()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --feedback|--fe|--fee|--feed|--feedb|--feedba|--feedbac|--f)
            _quarvo_serial_ports "$cur"; return ;;
        --log|--lo|--l|--capture|--ca|--cap|--capt|--captu|--captur)
            COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
        --channel|--ch|--cha|--chan|--chann|--channe|--c)
            COMPREPLY=(); return ;;
    esac
    _quarvo_option_words "--capture --channel --debug --feedback --log" "$cur"
}

_quarvo_term()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --baud) _quarvo_option_words "300 9600 19200 57600 115200" "$cur"; return ;;
        --escape) COMPREPLY=(); return ;;
        --capture) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
    esac
    if [[ $cur == -* ]]; then
        _quarvo_option_words "--baud --escape --capture" "$cur"
    else
        _quarvo_serial_ports "$cur"
    fi
}

_quarvo_sim()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --raw|--replay) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
        --record|--count|--interval|--garbage|--linger|--speed|--loop) COMPREPLY=(); return ;;
    esac
    _quarvo_option_words "--record --count --interval --garbage --bad-checksum --raw --replay --speed --loop --linger --help" "$cur"
}

_quarvo_monitor()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --baud) _quarvo_option_words "300 9600 19200 57600 115200" "$cur"; return ;;
        --capture) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
        --count|--duration) COMPREPLY=(); return ;;
    esac
    if [[ $cur == -* ]]; then
        _quarvo_option_words "--json --capture --count --duration --baud --version --help" "$cur"
    else
        _quarvo_serial_ports "$cur"
    fi
}

complete -F _check_quarvo check-quarvo
complete -F _quarvo_term quarvo-term
complete -F _quarvo_sim quarvo-sim
complete -F _quarvo_monitor quarvo-monitor
