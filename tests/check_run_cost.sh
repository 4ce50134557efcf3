#!/bin/sh
# What a whole run of the tool without a C library costs, from execve to
# exit: exactly the system calls execve, rt_sigaction, write and exit_group,
# and at most 1,000 instructions in user space under callgrind, which counts
# the same on a busy machine as on an idle one.
#   check_run_cost.sh TOOL   (TOOL as the user types it: its name is part of
#                             the command line the tool reads, so of the cost)
set -eu
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

strace -f -qq -o "$work/calls" "$tool" 31 >/dev/null || true
calls=$(sed -e 's/^[0-9]* *//' -e 's/(.*//' "$work/calls" | tr '\n' ' ')
echo "system calls: $calls"
if [ "$calls" != "execve rt_sigaction write exit_group " ]; then
  echo "expected exactly: execve rt_sigaction write exit_group" >&2
  exit 1
fi

valgrind --tool=callgrind --callgrind-out-file="$work/callgrind" "$tool" 31 \
  >/dev/null 2>"$work/valgrind" || true
instructions=$(sed -n 's/.*Collected : *//p' "$work/valgrind")
echo "instructions: $instructions"
if [ -z "$instructions" ] || [ "$instructions" -gt 1000 ]; then
  echo "expected at most 1000 instructions" >&2
  exit 1
fi
