# shellcheck shell=bash disable=SC2154 # top and needs_who: the caller's
# Sourced by scripts/demo and scripts/panel: the daemon's fixed paths, read
# from the header that defines them (common/paths.h), so that they have one
# home, and the folders a throw-away VANTREL_ROOT needs for them.
#
#   read_daemon_paths          sets serial, reset_line, image, init_file and
#                              pipes (proximity, light)
#   make_path_folders ROOT     makes ROOT's folders for those paths and the
#                              property store

# header_string NAME: the text of `NAME[] = "TEXT";` in common/paths.h.
header_string() {
    local text
    text=$(sed -n "s/.*$1\[\] = \"\([^\"]*\)\";.*/\1/p" "$top/common/paths.h")
    if [ -z "$text" ]; then
        printf '%s: cannot find %s in common/paths.h\n' "$needs_who" "$1" >&2
        return 1
    fi
    printf '%s\n' "$text"
}

read_daemon_paths() {
    local proximity light
    serial=$(header_string kPathSerialPort) || exit 1
    reset_line=$(header_string kPathResetLine) || exit 1
    image=$(header_string kPathFirmwareImage) || exit 1
    init_file=$(header_string kPathInitFile) || exit 1
    proximity=$(header_string kPathPipeProximity) || exit 1
    light=$(header_string kPathPipeLight) || exit 1
    pipes=("$proximity" "$light")
}

make_path_folders() {
    local path
    for path in "$serial" "$reset_line" "$image" "${pipes[0]}" "$init_file"; do
        mkdir -p -- "$1$(dirname "$path")" || return 1
    done
    mkdir -p -- "$1/properties"
}
