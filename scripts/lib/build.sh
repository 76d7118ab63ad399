# shellcheck shell=bash disable=SC2154 # top, build and needs_cmake_args: the caller's
# Sourced by scripts/demo and scripts/panel: builds the targets they run into
# $build, configuring it when it cannot build (without the tests when
# GoogleTest is missing: neither script runs them; scripts/test turns them on
# again). The caller sets top and build, defines say (one line of progress)
# and has sourced scripts/lib/needs.sh.
#
#   build_targets TARGET...

# True when the build folder holds a configured build (a configure that
# failed leaves a CMakeCache.txt without a Makefile).
can_build() {
    [ -f "$build/CMakeCache.txt" ] && { [ -f "$build/Makefile" ] || [ -f "$build/build.ninja" ]; }
}

configure() {
    local log=$1
    say "configuring $build"
    if cmake -S "$top" -B "$build" "${needs_cmake_args[@]}" > "$log" 2>&1; then
        return 0
    fi
    say "configuring with the tests did not work (GoogleTest missing?): configuring without them"
    if ! cmake -S "$top" -B "$build" -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF \
            "${needs_cmake_args[@]}" > "$log" 2>&1; then
        cat "$log"
        say "configuring $build failed"
        exit 1
    fi
}

# Shows the build's progress on one line: redrawn in place on a terminal,
# else a line whenever it has moved on by a quarter; nothing when all is built.
show_progress() {
    local line percent shown=-25 tty=0
    [ -t 1 ] && tty=1
    while IFS= read -r line; do
        printf '%s\n' "$line" >> "$1"
        [[ $line == *"Built target"* ]] && continue # nothing was built for it
        if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
            percent=${BASH_REMATCH[1]}
        elif [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
            percent=$(( BASH_REMATCH[1] * 100 / BASH_REMATCH[2] ))
        else
            continue
        fi
        if [ $tty = 1 ]; then
            printf '\r\033[2K%.70s' "$(say "building: $(printf '%3d' "$percent")% ${line#*] }")"
        elif [ "$percent" -ge $((shown + 25)) ]; then
            shown=$percent
            say "building: $percent%"
        fi
    done
    [ $tty = 1 ] && printf '\r\033[2K'
    return 0
}

build_targets() {
    local out configured=0
    out=$(mktemp)
    if ! can_build; then
        configure "$out"
        configured=1
    fi
    # pipefail: the loop goes on when cmake fails.
    while ! cmake --build "$build" --target "$@" -j"$(nproc)" 2>&1 | show_progress "$out"; do
        # A folder left behind by a failed or older configure: configure it
        # once more and try again.
        if [ $configured = 1 ]; then
            cat "$out"
            rm -f "$out"
            say "building failed"
            exit 1
        fi
        configure "$out"
        configured=1
    done
    rm -f "$out"
}
