# shellcheck shell=bash
# Sourced by scripts/test and scripts/demo: finds what this machine lacks for
# them and installs it or names it, as README.md's first paragraph says.
#
#   needs_tools              cmake, make (unless CMAKE_GENERATOR names another
#                            tool) and a C and a C++ compiler ($CC/$CXX if set)
#   needs_tools_and_libraries  also GoogleTest, Google Benchmark and
#                            android-liblog-dev, looked for by scripts/lib/probe
#                            as the build looks for them
#
# VANTREL_CMAKE_ARGS (split at blanks) goes to every CMake run, so
# -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON (or _benchmark, _AndroidLog) makes a
# library look missing. VANTREL_NO_INSTALL=1 never installs, even as root.
# needs_who names the calling script in messages.

needs_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
read -r -a needs_cmake_args <<< "${VANTREL_CMAKE_ARGS:-}"

needs_say() { printf '%s: %s\n' "${needs_who:-setup}" "$*" >&2; }

# Debian packages of the missing tools, on standard output.
needs_missing_tools() {
  command -v cmake >/dev/null || echo cmake
  case ${CMAKE_GENERATOR:-Unix Makefiles} in
    *Makefiles*) command -v make >/dev/null || echo make ;;
    Ninja*) command -v ninja >/dev/null || echo ninja-build ;;
  esac
  if [ -n "${CXX:-}" ]; then
    command -v "${CXX%% *}" >/dev/null || echo g++
  elif ! command -v c++ >/dev/null && ! command -v g++ >/dev/null && ! command -v clang++ >/dev/null; then
    echo g++
  fi
  if [ -n "${CC:-}" ]; then
    command -v "${CC%% *}" >/dev/null || echo gcc
  elif ! command -v cc >/dev/null && ! command -v gcc >/dev/null && ! command -v clang >/dev/null; then
    echo gcc
  fi
}

# Debian packages of the missing libraries, on standard output; needs the tools.
needs_missing_libraries() {
  local probe out line
  probe=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-probe.XXXXXX")
  if ! out=$(cmake -S "$needs_dir/probe" -B "$probe" "${needs_cmake_args[@]}" 2>&1); then
    rm -rf "$probe"
    needs_say "cannot look for the libraries: CMake failed on a small probe project:"
    printf '%s\n' "$out" >&2
    exit 1
  fi
  rm -rf "$probe"
  line=$(printf '%s\n' "$out" | sed -n 's/^-- missing packages: *//p')
  printf '%s\n' "${line//;/ }" | tr ' ' '\n' | sed '/^$/d'
}

# needs_install PACKAGE...: installs them as root on Debian, else exits 2.
needs_install() {
  local command="apt-get install -y --no-install-recommends $*"
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null || [ "${VANTREL_NO_INSTALL:-0}" = 1 ]; then
    needs_say "missing: $*"
    needs_say "install with this command (as root), then run ${needs_who:-this} again:"
    printf '    %s\n' "$command" >&2
    exit 2
  fi
  needs_say "installing what is missing: $*"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${needs_updated:-}" ]; then
    needs_say "running: apt-get update"
    apt-get update -q || { needs_say "apt-get update failed"; exit 2; }
    needs_updated=1
  fi
  needs_say "running: $command"
  if ! apt-get install -q -y --no-install-recommends "$@"; then
    needs_say "apt-get could not install: $*"
    exit 2
  fi
}

# needs_check KIND: KIND is tools or libraries; installs, then looks again.
needs_check() {
  local missing
  missing=$("needs_missing_$1") || exit $?
  [ -z "$missing" ] && return 0
  # shellcheck disable=SC2086 # one package a word
  needs_install $missing
  missing=$("needs_missing_$1") || exit $?
  if [ -n "$missing" ]; then
    needs_say "still missing after apt-get install: ${missing//$'\n'/ }"
    exit 2
  fi
}

needs_tools() { needs_check tools; }
needs_tools_and_libraries() {
  needs_check tools
  needs_check libraries
}
