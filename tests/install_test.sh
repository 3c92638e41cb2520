#!/usr/bin/env bash
# Install, manual pages, bash completion and the Debian package, checked on
# what a user would get: the installed and the packaged commands are run
# against the stand-in box.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR (install|manpages|completion|package) VERSION
# A cross build names its emulator in QUARVO_EMULATOR (a command and its
# arguments), which then runs the built commands.
set -euo pipefail
src=$1 build=$2 what=$3 version=$4
read -r -a emulator <<<"${QUARVO_EMULATOR:-}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Starts BIN_DIR/quarvo-sim with its output in FILE; sets the caller's sim
# (its pid) and port (the one it printed).
start_sim() {
    ${emulator[@]+"${emulator[@]}"} "$1/quarvo-sim" --record SSCN=101 --interval 200 >"$2" &
    sim=$! port=""
    for _ in $(seq 200); do port=$(head -n 1 "$2" 2>/dev/null || true); [ -n "$port" ] && break; sleep 0.02; done
    [ -n "$port" ] || { kill "$sim"; fail "stand-in box printed no port"; }
}

# Runs BIN_DIR/check-quarvo against BIN_DIR/quarvo-sim; expects the right verdict.
check_against_sim() {
    local bin=$1
    local sim port
    start_sim "$bin" "$tmp/sim.out"
    local out status=0
    out=$(${emulator[@]+"${emulator[@]}"} "$bin/check-quarvo" --feedback "$port" --channel 101) || status=$?
    kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
    [ "$status" -eq 0 ] || fail "check-quarvo exited $status"
    [ "$out" = "Current channel '101' [correct]" ] || fail "unexpected output: $out"
}

# Runs BIN_DIR/quarvo-fleet on two boxes, BIN_DIR/quarvo-sim and a missing
# port; expects one correct and one without an answer. The fleet starts the
# check found beside it, which an emulated program cannot do: under the
# emulator it must say so for each box.
fleet_against_sim() {
    local bin=$1
    local sim port
    start_sim "$bin" "$tmp/fsim.out"
    local out status=0
    out=$(${emulator[@]+"${emulator[@]}"} "$bin/quarvo-fleet" --channel 101 --timeout 5 "$port" /nonexistent/tty \
          --junit "$tmp/fleet.xml") || status=$?
    kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true
    [ "$status" -eq 2 ] || fail "quarvo-fleet exited $status: $out"
    if [ ${#emulator[@]} -gt 0 ]; then
        grep -q "start-failed" <<<"$out" || fail "emulated fleet: $out"
    else
        grep -q "^${port##*/} correct 101 " <<<"$out" || fail "fleet output: $out"
        grep -q "^tty port-failed - " <<<"$out" || fail "fleet output: $out"
    fi
    grep -q '<testsuite name="quarvo-fleet" tests="2"' "$tmp/fleet.xml" || fail "fleet JUnit file"
}

case $what in
install)
    cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
    for f in bin/check-quarvo bin/quarvo-term bin/quarvo-sim bin/quarvo-monitor \
             share/man/man1/check-quarvo.1.gz share/man/man1/quarvo-term.1.gz share/man/man1/quarvo-sim.1.gz \
             share/man/man1/quarvo-monitor.1.gz share/man/man5/quarvo-capture.5.gz \
             bin/quarvo-fleet share/man/man1/quarvo-fleet.1.gz share/bash-completion/completions/quarvo-fleet \
             share/bash-completion/completions/check-quarvo share/bash-completion/completions/quarvo-term \
             share/bash-completion/completions/quarvo-sim share/bash-completion/completions/quarvo-monitor; do
        [ -e "$tmp/prefix/$f" ] || fail "not installed: $f"
    done
    check_against_sim "$tmp/prefix/bin"
    fleet_against_sim "$tmp/prefix/bin"
    ${emulator[@]+"${emulator[@]}"} "$tmp/prefix/bin/quarvo-monitor" --version | grep -qx "quarvo-monitor $version" ||
        fail "installed monitor"
    DESTDIR="$tmp/dest" cmake --install "$build" --prefix /opt/quarvo >/dev/null
    [ -x "$tmp/dest/opt/quarvo/bin/check-quarvo" ] || fail "DESTDIR and prefix not honoured"
    ;;
manpages)
    for page in "$build"/doc/*.[15]; do
        head -n 1 "$page" | grep -q "\"check-quarvo $version\"" || fail "$page: not version $version"
        warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "$page: $warnings"
        rendered=$(MANWIDTH=80 MANPAGER=cat man -l "$page" 2>&1)
        # Commands end with their exit statuses; a file format describes its lines.
        case $page in
            *.1) grep -q "EXIT STATUS" <<<"$rendered" || fail "$page does not render" ;;
            *.5) grep -q "^FORMAT" <<<"$rendered" || fail "$page does not render" ;;
        esac
    done
    for page in quarvo-monitor.1 quarvo-capture.5 quarvo-fleet.1; do
        [ -e "$build/doc/$page" ] || fail "manual page missing: $page"
    done
    ;;
completion)
    touch "$tmp/logfile"
    # Adapters as udev names them, colons and all.
    mkdir -p "$tmp/dev/serial/by-id" "$tmp/dev/serial/by-path"
    touch "$tmp/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0" \
          "$tmp/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"
    result=$(bash -c '
        source "$1"
        complete -p check-quarvo quarvo-term quarvo-sim quarvo-monitor quarvo-fleet >/dev/null || exit 1
        # As bash calls a completion: the line up to the cursor.
        complete_line() { COMP_LINE=$2; COMP_POINT=${#2}; COMPREPLY=(); "$1"; echo "$3: ${COMPREPLY[*]}"; }
        complete_line _check_quarvo "check-quarvo --feedback /dev/tt" ports
        complete_line _check_quarvo "check-quarvo --feedback rf" url
        complete_line _quarvo_monitor "quarvo-monitor t" "monitor url"
        complete_line _check_quarvo "check-quarvo --log $2/lo" log
        complete_line _check_quarvo "check-quarvo --fe" options
        complete_line _quarvo_term "quarvo-term --baud 5" baud
        complete_line _quarvo_sim "quarvo-sim --bad" sim
        complete_line _quarvo_sim "quarvo-sim --rep" replay
        complete_line _quarvo_monitor "quarvo-monitor --j" monitor
        complete_line _quarvo_monitor "quarvo-monitor --capture $2/lo" capture
        complete_line _check_quarvo "check-quarvo --cap" "check capture"
        complete_line _check_quarvo "check-quarvo --di" "distinct"
        complete_line _check_quarvo "check-quarvo --result $2/lo" "result"
        complete_line _check_quarvo "check-quarvo --h" "check help"
        complete_line _quarvo_term "quarvo-term --h" "term help"
        complete_line _quarvo_monitor "quarvo-monitor --hex" "monitor hex"
        complete_line _quarvo_fleet "quarvo-fleet --ju" "fleet"
        complete_line _quarvo_fleet "quarvo-fleet --boxes $2/lo" "fleet boxes"
        _quarvo_dev=$2/dev
        complete_line _check_quarvo "check-quarvo --feedback $2/dev/serial/by-i" by-id
        complete_line _quarvo_term "quarvo-term $2/dev/serial/by-path/pci-0000:00:14" by-path
    ' _ "$src/completion/quarvo.bash" "$tmp")
    grep -qx "options: --feedback" <<<"$result" || fail "option completion: $result"
    grep -qx "log: $tmp/logfile" <<<"$result" || fail "log file completion: $result"
    grep -q "^ports: .*/dev/tty" <<<"$result" || fail "port completion: $result"
    grep -qx "url: rfc2217://" <<<"$result" || fail "URL completion: $result"
    grep -qx "monitor url: tcp://" <<<"$result" || fail "monitor URL completion: $result"
    grep -qx "baud: 57600" <<<"$result" || fail "speed completion: $result"
    grep -qx "sim: --bad-checksum" <<<"$result" || fail "sim completion: $result"
    grep -qx "replay: --replay" <<<"$result" || fail "replay completion: $result"
    grep -qx "monitor: --json" <<<"$result" || fail "monitor completion: $result"
    grep -qx "capture: $tmp/logfile" <<<"$result" || fail "capture file completion: $result"
    grep -qx "check capture: --capture" <<<"$result" || fail "check capture completion: $result"
    grep -qx "distinct: --distinct-status" <<<"$result" || fail "distinct-status completion: $result"
    grep -qx "result: $tmp/logfile" <<<"$result" || fail "result file completion: $result"
    grep -qx "check help: --help" <<<"$result" || fail "check --help completion: $result"
    grep -qx "term help: --help" <<<"$result" || fail "term --help completion: $result"
    grep -qx "monitor hex: --hex" <<<"$result" || fail "monitor --hex completion: $result"
    grep -qx "fleet: --junit" <<<"$result" || fail "fleet completion: $result"
    grep -qx "fleet boxes: $tmp/logfile" <<<"$result" || fail "fleet boxes file completion: $result"
    grep -qx "by-id: $tmp/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0" <<<"$result" ||
        fail "by-id completion: $result"
    # Bash replaces only what follows the word's last colon.
    grep -qx "by-path: 14.0-usb-0:2:1.0-port0" <<<"$result" || fail "by-path completion: $result"
    ;;
package)
    (cd "$build" && cpack -G DEB -B "$tmp/pkg" >/dev/null)
    deb=$(ls "$tmp"/pkg/*.deb)
    info=$(dpkg-deb -f "$deb" Package Version Depends)
    grep -qx "Package: check-quarvo" <<<"$info" || fail "package name: $info"
    grep -qx "Version: $version" <<<"$info" || fail "version: $info"
    grep -q "^Depends: .*libc6" <<<"$info" || fail "dependencies not computed: $info"
    dpkg-deb -x "$deb" "$tmp/root"
    for f in usr/share/man/man1/check-quarvo.1.gz usr/share/man/man1/quarvo-monitor.1.gz \
             usr/share/man/man5/quarvo-capture.5.gz usr/bin/quarvo-monitor \
             usr/share/bash-completion/completions/quarvo-monitor usr/bin/quarvo-fleet \
             usr/share/man/man1/quarvo-fleet.1.gz usr/share/bash-completion/completions/quarvo-fleet; do
        [ -e "$tmp/root/$f" ] || fail "not packaged: $f"
    done
    doc=$tmp/root/usr/share/doc/check-quarvo
    zcat "$doc/changelog.gz" | head -n 1 | grep -q "^check-quarvo ($version)" || fail "changelog's newest entry is not $version"
    for command in quarvo-term quarvo-sim quarvo-monitor quarvo-fleet; do
        out=$(${emulator[@]+"${emulator[@]}"} "$tmp/root/usr/bin/$command" --version)
        [ "$out" = "$command $version" ] || fail "$command --version: $out"
    done
    check_against_sim "$tmp/root/usr/bin"
    fleet_against_sim "$tmp/root/usr/bin"
    # Debian's package checker: no errors, no warnings.
    command -v lintian >/dev/null || fail "lintian is not installed (setup/packages.sh installs it)"
    lintian --fail-on error,warning "$deb" 2>/dev/null >"$tmp/lintian.out" || fail "lintian: $(cat "$tmp/lintian.out")"
    ;;
*)
    fail "unknown check: $what"
    ;;
esac
echo "ok: $what"
