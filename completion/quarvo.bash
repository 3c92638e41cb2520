# Bash completion for check-quarvo, quarvo-term, quarvo-sim, quarvo-monitor and quarvo-fleet.
# Installed once under each command's name, as the completion loader expects.

# Serial devices: /dev/tty* and the stable names under /dev/serial/by-id and
# /dev/serial/by-path, which stay the same whatever order adapters are plugged
# in. A word that is none of them (a pseudo-terminal under /dev/pts, say)
# completes as a file name.
#
# A port behind a serial server is a URL: its schemes are offered too, with
# no blank after them, for the host and port to follow.
#
# Bash hands a completion only the part of the word after its last colon, and
# the names under by-path are full of colons: the candidates lose that part.
_quarvo_dev=/dev
_quarvo_serial_ports()
{
    local IFS=$'\n' cur=$1 dir
    local candidates=($(compgen -f -- "$_quarvo_dev/tty"))
    for dir in "$_quarvo_dev"/serial/by-id "$_quarvo_dev"/serial/by-path; do
        [[ -d $dir ]] && candidates+=($(compgen -f -- "$dir/"))
    done
    COMPREPLY=($(compgen -W "${candidates[*]}" -- "$cur"))
    if [[ ${#COMPREPLY[@]} -eq 0 && $cur != */* ]]; then
        COMPREPLY=($(compgen -W $'rfc2217://\ntcp://\nsocket://' -- "$cur"))
        [[ ${#COMPREPLY[@]} -gt 0 ]] && compopt -o nospace 2>/dev/null
    fi
    [[ ${#COMPREPLY[@]} -gt 0 ]] || COMPREPLY=($(compgen -f -- "$cur"))
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local typed=${cur%"${cur##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$typed"}")
    fi
    compopt -o filenames 2>/dev/null
}

# Sets the caller's cur and prev to the words as typed, from the command line
# up to the cursor (COMP_WORDS splits at colons). Words hold no blanks here.
_quarvo_words()
{
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -r -a words <<<"$line"
    [[ $line == *[[:space:]] ]] && words+=("")
    cur=${words[-1]}
    prev=${words[-2]:-}
}

_quarvo_option_words()
{
    # $1: the options; $2: the word being completed
    local IFS=' '
    COMPREPLY=($(compgen -W "$1" -- "$2"))
}

_quarvo_files()
{
    COMPREPLY=($(compgen -f -- "$1"))
    compopt -o filenames 2>/dev/null
}

_quarvo_options_or_ports()
{
    # $1: the options; $2: the word being completed, an option or a port
    if [[ $2 == -* ]]; then
        _quarvo_option_words "$1" "$2"
    else
        _quarvo_serial_ports "$2"
    fi
}

_check_quarvo()
{
    local cur prev
    _quarvo_words
    case $prev in
        --feedback|--fe|--fee|--feed|--feedb|--feedba|--feedbac|--f)
            _quarvo_serial_ports "$cur"; return ;;
        --log|--lo|--l|--capture|--ca|--cap|--capt|--captu|--captur|--result|--resu|--resul)
            _quarvo_files "$cur"; return ;;
        --channel|--ch|--cha|--chan|--chann|--channe|--c|--timeout|--t|--ti|--tim|--time|--timeo|--timeou)
            COMPREPLY=(); return ;;
    esac
    _quarvo_option_words "--capture --channel --debug --distinct-status --feedback --help --log --reconnect --result --timeout --version --wait" "$cur"
}

_quarvo_term()
{
    local cur prev
    _quarvo_words
    case $prev in
        --baud) _quarvo_option_words "300 9600 19200 57600 115200" "$cur"; return ;;
        --escape) COMPREPLY=(); return ;;
        --capture) _quarvo_files "$cur"; return ;;
    esac
    _quarvo_options_or_ports "--baud --escape --capture --help --version" "$cur"
}

_quarvo_sim()
{
    local cur prev
    _quarvo_words
    case $prev in
        --raw|--replay|--link|--tune-from) _quarvo_files "$cur"; return ;;
        --record|--count|--interval|--garbage|--linger|--speed|--loop|--vanish-after|--vanish-for|--zap-ms|--zap-fail) COMPREPLY=(); return ;;
    esac
    _quarvo_option_words "--record --count --interval --garbage --bad-checksum --raw --replay --speed --loop --linger --link --vanish-after --vanish-for --tune-from --zap-ms --zap-fail --help --version" "$cur"
}

_quarvo_monitor()
{
    local cur prev
    _quarvo_words
    case $prev in
        --baud) _quarvo_option_words "300 9600 19200 57600 115200" "$cur"; return ;;
        --capture) _quarvo_files "$cur"; return ;;
        --count|--duration) COMPREPLY=(); return ;;
    esac
    _quarvo_options_or_ports "--json --hex --capture --count --duration --reconnect --baud --version --help" "$cur"
}

_quarvo_fleet()
{
    local cur prev
    _quarvo_words
    case $prev in
        --boxes|--junit|--result)
            _quarvo_files "$cur"; return ;;
        --capture-dir)
            COMPREPLY=($(compgen -d -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
        --channel|--jobs|--timeout|--suite) COMPREPLY=(); return ;;
    esac
    _quarvo_options_or_ports "--boxes --capture-dir --channel --help --jobs --junit --plain --reconnect --result --suite --timeout --version --wait" "$cur"
}

complete -F _check_quarvo check-quarvo
complete -F _quarvo_term quarvo-term
complete -F _quarvo_sim quarvo-sim
complete -F _quarvo_monitor quarvo-monitor
complete -F _quarvo_fleet quarvo-fleet
