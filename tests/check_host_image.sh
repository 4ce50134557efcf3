#!/bin/sh
# Checks what the host tree built, as check_image.py checks ticklow.exe:
#   - on Linux x86-64 the tool is built without a C library, unless the tree
#     asks for the C library (REQUESTED=posix) or runs the sanitizers, whose
#     runtimes need one: a tree that quietly falls back to the C library fails;
#   - a tool without a C library has no program interpreter, no dynamic
#     section (so no needed libraries), is placed at a fixed address, holds
#     exactly one counter read (both halves from one instant), and its run
#     cost is checked by this tree's host.run_cost.
#   check_host_image.sh TOOL LAYER REQUESTED SANITIZE OBJDUMP BUILD_DIR
set -eu
tool=$1 layer=$2 requested=$3 sanitize=$4 objdump=$5 build=$6

fail() {
  echo "$tool: $*" >&2
  exit 1
}

expected=$requested
if [ -z "$expected" ]; then
  expected=posix
  if [ "$(uname -s)/$(uname -m)" = Linux/x86_64 ] && [ "$sanitize" != ON ]; then
    expected=linux_x86_64
  fi
fi
[ "$layer" = "$expected" ] || fail "built on the $layer layer, expected $expected"
echo "platform layer: $layer"
[ "$layer" = linux_x86_64 ] || exit 0

headers=$(readelf -lhd "$tool")
echo "$headers" | grep -q "Type: *EXEC" || fail "is not placed at a fixed address (ET_EXEC)"
! echo "$headers" | grep -q "INTERP" || fail "names a program interpreter"
echo "$headers" | grep -q "There is no dynamic section" || fail "has a dynamic section"
reads=$("$objdump" -d "$tool" | grep -cw rdtsc || true)
[ "$reads" -eq 1 ] || fail "reads the counter $reads times, expected once"
ctest --test-dir "$build" -N -R '^host\.run_cost$' | grep -q "Total Tests: 1" ||
  fail "no host.run_cost test measures it"
echo "static, no interpreter, no dynamic section, one rdtsc, host.run_cost present"
