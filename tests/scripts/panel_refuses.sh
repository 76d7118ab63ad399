#!/usr/bin/env bash
# scripts/panel removes and stops only what its own `up` made: every command
# refuses a root without its marker, and `up` a root that exists, before it
# builds or starts anything. The folder and its file stay as they were.
#
#   panel_refuses.sh SOURCE_DIR
set -uo pipefail
top=$1
base=$(mktemp -d "${TMPDIR:-/tmp}/panel-refuses.XXXXXX") || exit 1
trap 'rm -rf -- "$base"' EXIT

# command | what it says
rows='
up           | already exists
down         | was not made by scripts/panel up
stop-daemon  | was not made by scripts/panel up
start-daemon | was not made by scripts/panel up
env          | was not made by scripts/panel up
'

failed=0
while IFS='|' read -r command says; do
  command=${command// /} says=${says# } says=${says% }
  [ -n "$command" ] || continue
  root=$base/$command
  mkdir -p "$root" && echo keep > "$root/file"
  VANTREL_BUILD_DIR=$base/no-build "$top/scripts/panel" "$command" "$root" > "$base/out" 2>&1
  status=$?
  if [ $status = 1 ] && grep -qF "$root $says" "$base/out" && [ "$(cat "$root/file")" = keep ] &&
      [ ! -e "$base/no-build" ]; then
    echo "ok   $command refuses $root: $says"
  else
    echo "FAIL $command on a folder it did not make: status $status (want 1, '$root $says'," \
      "the folder kept, nothing built); it said:"
    cat "$base/out"
    failed=1
  fi
done <<< "$rows"
exit $failed
