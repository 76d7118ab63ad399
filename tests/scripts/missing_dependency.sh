#!/usr/bin/env bash
# What a newcomer sees when the machine lacks something: scripts/test and
# scripts/demo stop before building, with status 2 and the one apt-get line
# that installs what is missing. A library is made to look missing through
# CMake (VANTREL_CMAKE_ARGS), a compiler through CXX; VANTREL_NO_INSTALL=1
# keeps a run as root from installing anything.
#
# Each row makes one thing missing and looks for it on the apt-get line. The
# line may name more: whatever else this machine lacks is not the test's to
# judge, so it never decides the result.
#
#   missing_dependency.sh SOURCE_DIR WORK_DIR
set -uo pipefail
top=$1
work=$2
rm -rf "$work" && mkdir -p "$work"

# name | script | environment | package named on the apt-get line
rows='
gtest        | scripts/test | VANTREL_CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON       | libgtest-dev
benchmark    | scripts/test | VANTREL_CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON  | libbenchmark-dev
android-log  | scripts/test | VANTREL_CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_AndroidLog=ON | android-liblog-dev
compiler     | scripts/demo | CXX=vantrel-no-such-compiler                                  | g++
'

failed=0
while IFS='|' read -r name script env package; do
  name=${name// /} script=${script// /} env=${env// /} package=${package// /}
  [ -n "$name" ] || continue
  out=$work/$name.err
  env "$env" VANTREL_NO_INSTALL=1 VANTREL_BUILD_DIR="$work/build-$name" TMPDIR="$work" \
    "$top/$script" > "$work/$name.out" 2> "$out"
  status=$?
  want="    apt-get install -y --no-install-recommends ... $package ..."
  word=$(printf '%s' "$package" | sed 's/[.+]/\\&/g')  # a Debian name as a word: g++, not g+ then +
  line='^    apt-get install -y --no-install-recommends( [^ ]+)* '"$word"'( [^ ]+)*$'
  if [ "$status" -ne 2 ] || ! grep -qE "$line" "$out" || [ -e "$work/build-$name" ]; then
    echo "FAIL $name: $script exited $status (want 2, the line '$want', no build folder); it said:"
    cat "$work/$name.out" "$out"
    failed=1
  else
    echo "ok   $name: $script stops with '$want'"
  fi
done <<< "$rows"
exit $failed
