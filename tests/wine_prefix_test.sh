#!/bin/sh
# wine-run's prefix, with a stand-in loader that records each prefix it makes:
# made when missing, kept while whole, made again when it is damaged or
# half-made, or when anything it was made from changed: the loader, Wine's
# wine.inf, or the script. Then a session that hangs as it comes up, which is
# stopped and brought up again, and a program that hangs, which is stopped. A
# copy of the script runs as winearm64-run, whose wine.inf lies under
# TICKLOW_WINE_HOME, so that the test can change it. Another runs as
# wine-run, whose probe must take the prefix's 32-bit cmd.exe, and record a
# loader that ignores the stop signal as hung; where that loader makes the
# prefix, its server is stopped after each try.
#   wine_prefix_test.sh SCRIPTS_DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/scripts" "$work/home/wine-arm64/usr/share/wine"
cp "$1/wine-run" "$work/scripts/winearm64-run"
cp "$1/wine-run" "$work/scripts/wine-run"
echo "[Version]" >"$work/home/wine-arm64/usr/share/wine/wine.inf"
cat >"$work/bin/wine" <<'LOADER'
#!/bin/sh
# Where $DEAF names it, the prefix's making or the probe's program hangs,
# deaf to the stop signal.
case " $DEAF $* " in *" wineboot wineboot "* | *" probe "*" /c exit 7 ")
  trap '' TERM
  exec sleep 600 ;;
esac
# The probe's program exits with 7, saying which cmd.exe it was; slow.exe
# takes longer than a session may take to come up.
case $* in *" /c exit 7") printf "%s\n" "$1" >>"$WINEPREFIX.probed" && exit 7 ;; esac
[ "$*" != slow.exe ] || exec sleep 2
# A session comes up (cmd /c exit) or a program runs (program.exe); where
# $HANGS is set, each hangs while its count there lasts.
case ${HANGS:+$*} in "cmd /c exit" | program.exe)
  count=$(cat "$HANGS.$1" 2>/dev/null || echo 0)
  if [ "$count" -gt 0 ]; then
    echo $((count - 1)) >"$HANGS.$1"
    exec sleep 600
  fi
  echo "$*" >>"$HANGS.ran" ;;
esac
if [ "$*" = "wineboot --init" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/system32"
  touch "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" "$WINEPREFIX/userdef.reg"
  # Each folder's cmd.exe, as $CMDS says: FOLDER=MACHINE, the PE header's
  # machine field in octal bytes.
  for cmd in ${CMDS:-}; do
    mkdir -p "$WINEPREFIX/drive_c/windows/${cmd%=*}"
    printf "MZ%58s\\100\\0\\0\\0PE\\0\\0${cmd#*=}" "" >"$WINEPREFIX/drive_c/windows/${cmd%=*}/cmd.exe"
  done
  echo made >>"$MADE"
fi
LOADER
# A server that says one runs already, so no helper is brought up, unless
# $HANGS is set: then -p10 starts one where -k has stopped it.
cat >"$work/bin/wineserver" <<'SERVER'
#!/bin/sh
[ "$1" != -k ] || echo stopped >>"$WINEPREFIX.server-stopped"
[ -n "${HANGS:-}" ] || exit 1
case $1 in
  -p10) [ ! -e "$HANGS.server" ] && touch "$HANGS.server" ;;
  -k) rm -f "$HANGS.server" ;;
esac
SERVER
chmod +x "$work/bin/wine" "$work/bin/wineserver"
TICKLOW_WINE_LOADER=$work/bin/wine WINEPREFIX=$work/prefix MADE=$work/made
TICKLOW_WINE_HOME=$work/home
export TICKLOW_WINE_LOADER WINEPREFIX MADE TICKLOW_WINE_HOME

status=0
expect_made() {
  for run in 1 2 3; do
    "$work/scripts/winearm64-run" program.exe
  done
  made=$(cat "$work/made")
  if [ "$(printf '%s\n' "$made" | wc -l)" -ne "$1" ]; then
    echo "FAILED: $2: made $(printf '%s\n' "$made" | wc -l) times, not $1"
    status=1
  fi
}
expect_made 1 "a missing prefix is made once for three runs"
rm "$WINEPREFIX/system.reg"
expect_made 2 "a prefix without system.reg is made again"
rm "$WINEPREFIX/.ticklow-made-from"
expect_made 3 "a half-made prefix is made again"
touch -d 2001-01-01 "$TICKLOW_WINE_LOADER"
expect_made 4 "a prefix is made again for another Wine"
echo "[Strings]" >>"$work/home/wine-arm64/usr/share/wine/wine.inf"
expect_made 5 "a prefix is made again for another wine.inf"
echo "# changed" >>"$work/scripts/winearm64-run"
expect_made 6 "a prefix is made again by another wine-run"
[ -f "$WINEPREFIX/system.reg" ] || { echo "FAILED: the prefix is not whole"; status=1; }

# The probe of wine-run: the prefix's 32-bit cmd.exe, wherever it lies; then
# a loader deaf to the stop signal, in the probe and while making the prefix.
# probe PREFIX DEAF CMDS [OPTION]: the probe's output and status, in
# PREFIX.out and PREFIX.status, or those of the run with OPTION in place of
# --probe. They run meanwhile the rows below, each on a prefix of its own.
probe() {
  ran=0
  WINEPREFIX=$work/$1 DEAF=$2 CMDS=$3 TICKLOW_PROBE_RUN=run-$1 TICKLOW_WINE_PREFIX_SECONDS=1 \
    TICKLOW_WINE_SECONDS=1 TICKLOW_WINE_GRACE=1 "$work/scripts/wine-run" "${4:---probe}" \
    >"$work/$1.out" 2>&1 || ran=$?
  echo $ran >"$work/$1.status"
}
i386='\114\001' amd64='\144\206'
probe wow64 "" "syswow64=$i386 system32=$amd64" &
probe win32 "" "syswow64=$amd64 system32=$i386" &
probe deaf probe "system32=$i386" &
probe unmade wineboot "system32=$i386" --prefix &

# hang SESSIONS PROGRAMS [PROGRAM]: a run whose session hangs SESSIONS times
# as it comes up and whose program hangs PROGRAMS times, the session bounded
# at a second, the program at three.
hang() {
  HANGS=$work/hangs/$1-$2
  mkdir -p "$work/hangs"
  echo "$1" >"$HANGS.cmd" && echo "$2" >"$HANGS.program.exe"
  export HANGS
  ran=0
  TICKLOW_WINE_SESSION_SECONDS=1 TICKLOW_WINE_SECONDS=3 "$work/scripts/winearm64-run" \
    "${3:-program.exe}" >"$HANGS.out" 2>&1 || ran=$?
  unset HANGS
}
hang 2 0
if ! { [ $ran -eq 0 ] && [ ! -s "$work/hangs/2-0.out" ] &&
  [ "$(cat "$work/hangs/2-0.ran")" = "$(printf 'cmd /c exit\nprogram.exe')" ]; }; then
  echo "FAILED: a session that hangs twice is brought up on the third try, then the program runs"
  status=1
fi
hang 3 0
if ! { [ $ran -eq 125 ] && [ ! -e "$work/hangs/3-0.ran" ] &&
  grep -q "no Wine session came up in 3 tries of 1 s" "$work/hangs/3-0.out"; }; then
  echo "FAILED: a session that hangs three times ends the run, saying so"
  status=1
fi
hang 0 1
if ! { [ $ran -eq 124 ] && grep -q "program.exe did not end within 3 s" "$work/hangs/0-1.out"; }; then
  echo "FAILED: a program that hangs ends the run at its own bound, saying so"
  status=1
fi
hang 0 0 slow.exe
if [ $ran -ne 0 ]; then
  echo "FAILED: a program that takes longer than a session may take to come up runs to its end"
  status=1
fi

wait
if ! { [ "$(cat "$work/wow64.status" "$work/win32.status")" = "$(printf '0\n0')" ] &&
  [ "$(cat "$work/wow64.probed")" = 'C:\windows\syswow64\cmd.exe' ] &&
  [ "$(cat "$work/win32.probed")" = 'C:\windows\system32\cmd.exe' ]; }; then
  echo "FAILED: the probe of 32-bit Wine runs the 32-bit cmd.exe, in syswow64 or in system32"
  status=1
fi
if ! { [ "$(cat "$work/deaf.status")" -eq 1 ] && [ "$(cat "$work/deaf.hung" 2>&1)" = run-deaf ] &&
  grep -q "did not answer within 1 s" "$work/deaf.out"; }; then
  echo "FAILED: a probe deaf to the stop signal is recorded as hung for the run"
  status=1
fi
if ! { [ "$(cat "$work/unmade.status")" -eq 1 ] &&
  [ "$(wc -l <"$work/unmade.server-stopped")" -eq 3 ] &&
  grep -q "could not make the prefix" "$work/unmade.out"; }; then
  echo "FAILED: a prefix whose making is deaf to the stop signal has its server stopped before"
  echo "        and after each of two tries, then the run ends, saying so"
  status=1
fi
exit $status
