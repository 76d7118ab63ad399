# shellcheck shell=bash disable=SC2154 # check: the caller's name
# Sourced by the Android checks: the two ways a check ends early, each with a
# line naming the check ($check).

# skip WHAT PACKAGE: a tool is missing; 77 shows the check as skipped in CTest.
skip() {
  echo "$check: SKIPPED: $1 missing; install Debian package $2" >&2
  exit 77
}

fail() {
  echo "$check: FAILED: $*" >&2
  exit 1
}
