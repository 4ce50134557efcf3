#!/bin/sh
# wine-run's prefix, with a stand-in loader that records each prefix it makes:
# made when missing, kept while whole, made again when it is damaged or
# half-made, or when anything it was made from changed: the loader, Wine's
# wine.inf, or the script. A copy of the script runs as winearm64-run, whose
# wine.inf lies under TICKLOW_WINE_HOME, so that the test can change it.
#   wine_prefix_test.sh SCRIPTS_DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/scripts" "$work/home/wine-arm64/usr/share/wine"
cp "$1/wine-run" "$work/scripts/winearm64-run"
echo "[Version]" >"$work/home/wine-arm64/usr/share/wine/wine.inf"
cat >"$work/bin/wine" <<'LOADER'
#!/bin/sh
if [ "$*" = "wineboot --init" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/system32"
  touch "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" "$WINEPREFIX/userdef.reg"
  echo made >>"$MADE"
fi
LOADER
# A server that says one runs already, so no helper is brought up.
printf '#!/bin/sh\nexit 1\n' >"$work/bin/wineserver"
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
exit $status
