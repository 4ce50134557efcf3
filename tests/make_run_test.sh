#!/bin/sh
# The README's first command, make run, in a copy of the source tree that it
# builds alone: it must exit with 0 once the tool has written its one number.
#   make_run_test.sh SOURCE_DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$1" && tar cf - --exclude=./build --exclude=./dist --exclude=./.git .) | (cd "$work" && tar xf -)
status=0
make -s -C "$work" run >"$work/out" 2>&1 || status=$?
numbers=$(grep -c "$(printf '^[0-9][0-9]*\r$')" "$work/out" || true)
if [ $status -ne 0 ] || [ "$numbers" -ne 1 ]; then
  echo "FAILED: make run exited with $status, having written $numbers numbers:"
  cat "$work/out"
  exit 1
fi
