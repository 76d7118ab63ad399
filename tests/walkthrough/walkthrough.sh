#!/usr/bin/env bash
# The bring-up walk-through of android/README.md, run on the host as written:
# every `host$` command of "Bringing up a new panel" runs in order, in this
# one shell, against `scripts/panel up` in a throw-away root under $TMPDIR,
# and what it prints must match the lines the README shows under it.
#
#   walkthrough.sh SOURCE_DIR BUILD_DIR [--print]
#
# --print compares nothing: it prints each command with what it printed (the
# root shown as /tmp/panel), the text to refresh the README's blocks from.
#
# How a shown line is held against a printed one:
#   - a line "…" stands for any number of lines, a "…" inside a line for any
#     text; "^C" is where the command gets SIGINT, once the lines shown before
#     it have appeared
#   - numbers (pids, times, counts, sizes, readings, versions), two-digit hex
#     bytes and runs of sparkline glyphs may differ
#   - the root is /tmp/panel in the README; the build folder is the one its
#     `scripts/panel up` names ("building what it runs in ...")
#   - an indented line continues the one before it (the doctor wraps its rows
#     where the paths' lengths put them), and trailing blanks do not count
# Words, paths and the order of the lines must be as shown.
set -uo pipefail

top=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
mode=${3:-compare}
readme=$top/android/README.md
command_limit=120  # seconds; the recording takes 10
interrupt_limit=30 # seconds to wait for the lines shown before a "^C"

unset VANTREL_LOG VANTREL_TIME_SCALE
# A short root: the doctor cuts a path longer than its column inside, and a
# cut word cannot be joined again. /tmp when $TMPDIR is too long for that.
tmp=${TMPDIR:-/tmp}
[ ${#tmp} -le 16 ] || tmp=/tmp
base=$(mktemp -d "$tmp/walk.XXXXXX") || exit 1
export VANTREL_ROOT=$base/panel VANTREL_BUILD_DIR=$build
running=""
printed=()     # what a command printed, as lines (read_lines)
shown_lines=() # the lines the README shows under a command
patterns=()    # those lines as patterns; SKIP for "…"

# shellcheck disable=SC2317 # run by the EXIT trap
finish() {
    [ -n "$running" ] && kill -KILL "$running" 2> /dev/null
    [ -e "$VANTREL_ROOT" ] && "$top/scripts/panel" down "$VANTREL_ROOT" > /dev/null
    local pid program # whatever a failed `down` left running
    while read -r pid program; do
        [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$program" ] && kill -KILL "$pid"
    done < <(sort -u "$base/processes" 2> /dev/null)
    rm -rf -- "$base"
}
trap finish EXIT

# --- The README's blocks: commands[k] and the lines shown under it, shown_k.

commands=()
read_readme() {
    local line in_section=0 in_shown=0 k=-1
    while IFS= read -r line; do
        case $line in
            "## Bringing up a new panel") in_section=1 ;;
            "## "*) in_section=0 ;;
        esac
        [ $in_section = 1 ] || continue
        if [[ $line =~ ^\ {4}host\$\ +(.*)$ ]]; then
            k=$((k + 1))
            commands[k]=${BASH_REMATCH[1]}
            : > "$base/shown_$k"
            in_shown=1
        elif [ $in_shown = 1 ] && [[ ${commands[k]} == *\\ ]]; then
            commands[k]="${commands[k]%\\}${line#"${line%%[! ]*}"}"
        elif [ $in_shown = 1 ] && [[ $line == "    "* && $line != "    panel\$ "* ]]; then
            printf '%s\n' "${line#    }" >> "$base/shown_$k"
        else
            in_shown=0
        fi
    done < "$readme"
}

# --- Lines as patterns.

# A shown line as an extended regular expression (see above).
pattern_of() {
    printf '%s\n' "$1" | sed -E \
        -e 's/…/\x04/g' -e 's/(▁|▂|▃|▄|▅|▆|▇|█)+/\x03/g' \
        -e ':hex' -e 's/(^| )[0-9A-F]{2}( |$)/\1\x01\2/' -e 't hex' \
        -e 's/[0-9]+/\x02/g' -e 's/[][\.*^$+?(){}|]/\\&/g' \
        -e 's/\x01/[0-9A-F]+/g' -e 's/\x02/[0-9]+/g' \
        -e 's/\x03/(▁|▂|▃|▄|▅|▆|▇|█)+/g' -e 's/\x04/.*/g'
}

# Lines of FILE into the array named $2, continuation lines joined, trailing
# blanks dropped; with $3, also the build folder and root as the README has them.
read_lines() {
    local -n into=$2
    local line
    into=()
    while IFS= read -r line; do
        line=${line%"${line##*[! ]}"}
        if [ -n "${3:-}" ]; then
            line=${line//"$VANTREL_ROOT"//tmp/panel}
            line=${line//"$build"/"$3"}
        fi
        if [[ $line == " "* && ${#into[@]} -gt 0 ]]; then
            into[-1]="${into[-1]} ${line#"${line%%[! ]*}"}"
        else
            into+=("$line")
        fi
    done < "$1"
}

# One line per argument; none for none.
print_lines() {
    [ $# = 0 ] || printf '%s\n' "$@"
}

# segment_at START FROM TO: patterns[FROM..TO) match printed[START...].
segment_at() {
    local k
    [ $(($1 + $3 - $2)) -le ${#printed[@]} ] || return 1
    for ((k = $2; k < $3; k++)); do
        [[ ${printed[$1 + k - $2]} =~ ^${patterns[k]}$ ]] || return 1
    done
}

# True when `patterns` (the shown lines; "…" as SKIP) match `printed`; with
# $1 = open, printed lines may follow the last pattern (a run still going).
lines_match() {
    local open=${1:-} at=0 from=0 to floating=0 start n=${#patterns[@]}
    while [ $from -lt "$n" ]; do
        if [ "${patterns[from]}" = SKIP ]; then
            floating=1 from=$((from + 1))
            continue
        fi
        to=$from
        while [ $to -lt "$n" ] && [ "${patterns[to]}" != SKIP ]; do to=$((to + 1)); done
        start=$at
        if [ $floating = 1 ] && [ $to = "$n" ] && [ -z "$open" ]; then
            start=$((${#printed[@]} - to + from)) # the last lines, after any skipped
            [ $start -ge $at ] || return 1
        elif [ $floating = 1 ]; then
            until segment_at $start $from $to; do
                start=$((start + 1))
                [ $start -le ${#printed[@]} ] || return 1
            done
        fi
        segment_at $start $from $to || return 1
        at=$((start + to - from)) from=$to floating=0
    done
    [ $floating = 1 ] || [ -n "$open" ] || [ $at = ${#printed[@]} ]
}

# shown_patterns K [before-interrupt]: patterns of the lines shown under
# command K, all of them or those before its "^C".
shown_patterns() {
    local line
    patterns=()
    while IFS= read -r line; do
        if [ "$line" = "^C" ]; then
            [ -n "${2:-}" ] && return 0
            continue
        fi
        [ "$line" = "…" ] && patterns+=(SKIP) || patterns+=("$(pattern_of "$line")")
    done < <(read_lines "$base/shown_$1" shown_lines && print_lines "${shown_lines[@]}")
}

# --- Running the commands.

# True once the lines shown before command K's "^C" have been printed.
reached_interrupt() {
    read_lines "$base/printed_$1" printed "$readme_build"
    shown_patterns "$1" before-interrupt
    lines_match open
}

# run K: runs command K, its output in printed_K; SIGINT where it shows ^C.
run() {
    local k=$1 cmd=${commands[$1]} tries=0 interrupt=0
    local out=$base/printed_$k
    if [[ $cmd == eval* || $cmd == export* ]]; then # changes this shell
        eval "$cmd" > "$out" 2>&1 < /dev/null
        return
    fi
    grep -qxF '^C' "$base/shown_$k" && interrupt=1
    : > "$out"
    { eval "exec $cmd"; } > "$out" 2>&1 < /dev/null &
    running=$!
    while kill -0 "$running" 2> /dev/null; do
        if [ $interrupt = 1 ] && { [ $tries -ge $((interrupt_limit * 10)) ] || reached_interrupt "$k"; }; then
            printf '%s\n' "$(wc -l < "$out")" > "$base/interrupted_$k"
            kill -INT "$running"
            interrupt=0
        fi
        tries=$((tries + 1))
        if [ $tries -gt $((command_limit * 10)) ]; then
            echo "FAIL host\$ $cmd: still running after $command_limit s: killed"
            kill -KILL "$running"
        fi
        sleep 0.1
    done
    wait "$running"
    running=""
}

# The processes scripts/panel records in the root, as "PID PROGRAM" lines.
remember_processes() {
    cat "$VANTREL_ROOT"/run/*.pid >> "$base/processes" 2> /dev/null
}

# After the walk-through's `scripts/panel down`: nothing it started runs on.
check_all_stopped() {
    local pid program left=""
    while read -r pid program; do
        [ "$(readlink "/proc/$pid/exe" 2> /dev/null)" = "$program" ] && left+=" $pid ($program)"
    done < <(sort -u "$base/processes")
    if [ -e "$VANTREL_ROOT" ] || [ -n "$left" ]; then
        echo "FAIL after the walk-through: root ${VANTREL_ROOT} left:" \
            "$([ -e "$VANTREL_ROOT" ] && echo yes || echo no); still running:${left:- none}"
        return 1
    fi
    echo "ok   the walk-through leaves no root and no process behind"
}

# The README's form of what command K printed.
print_run() {
    local cut=""
    [ -f "$base/interrupted_$1" ] && cut=$(cat "$base/interrupted_$1")
    printf 'host$  %s\n' "${commands[$1]}"
    sed "s#$VANTREL_ROOT#/tmp/panel#g" "$base/printed_$1" | awk -v cut="$cut" \
        '{ print } NR == cut { print "^C" }'
}

check_run() {
    read_lines "$base/printed_$1" printed "$readme_build"
    shown_patterns "$1"
    if lines_match; then
        echo "ok   host\$ ${commands[$1]}"
        return 0
    fi
    echo "FAIL host\$ ${commands[$1]}: the README shows"
    sed 's/^/    /' "$base/shown_$1"
    echo "  and it printed (the build folder and the root as the README has them)"
    print_lines "${printed[@]}" | sed 's/^/    /'
    return 1
}

main() {
    local k failed=0
    read_readme
    if [ ${#commands[@]} = 0 ] || [ "${commands[0]}" != "scripts/panel up" ]; then
        echo "FAIL $readme: the walk-through's first host command is not 'scripts/panel up'"
        exit 1
    fi
    # The build folder the README's shown output was made in.
    readme_build=$(sed -n 's/^panel: building what it runs in //p' "$base/shown_0")
    if [ -z "$readme_build" ]; then
        echo "FAIL the README's first host command shows no 'panel: building what it runs in' line"
        exit 1
    fi
    cd "$top" || exit 1
    for k in "${!commands[@]}"; do
        run "$k"
        remember_processes
        if [ "$mode" = --print ]; then
            print_run "$k"
        else
            check_run "$k" || failed=1
        fi
    done
    [ "$mode" = --print ] || check_all_stopped || failed=1
    exit $failed
}

main
