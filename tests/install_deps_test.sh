#!/bin/sh
# scripts/install-deps against a stand-in apt: an index that fails to
# download, packages that cannot be installed, and what every install command
# lets in. It never reaches the host's own package tools, and runs as if the
# host ran 32-bit programs, so that 32-bit Wine is asked for.
#   install_deps_test.sh SCRIPTS_DIR
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/scripts"
cp "$1/install-deps" "$1/winearm64-exec.c" "$work/scripts"
printf '#!/bin/sh\n[ -z "${REFUSES_I386:-}" ]\n' >"$work/scripts/runs-i386"
chmod +x "$work/scripts/runs-i386"
# One stand-in for apt-get, apt-cache, dpkg, dpkg-query and sudo. The index
# fails to download the first $UPDATE_FAILS times; an install that names one
# of $BROKEN fails as a mirror out of step makes it fail, and one that names
# a package of an architecture added since the last update, as apt does.
cat >"$work/bin/apt" <<'APT'
#!/bin/sh
case "$(basename "$0") $1" in
  "sudo "*) exec "$@" ;;
  "dpkg --print-architecture") echo amd64 ;;
  "dpkg --print-foreign-architectures") cat "$STATE/arches" 2>/dev/null || true ;;
  "dpkg --add-architecture") echo "$2" >>"$STATE/arches" && echo "arch $2" >>"$STATE/log" ;;
  "dpkg-query "*) grep -qx -- "$3" "$STATE/installed" 2>/dev/null && printf 'install ok installed' ;;
  "apt-cache "*) ;;
  "apt-get update")
    echo update >>"$STATE/log"
    if [ "$(grep -c update "$STATE/log")" -le "$UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
      exit 100
    fi ;;
  "apt-get install")
    echo "$*" >>"$STATE/log"
    for package in "$@"; do
      case $package in *:i386 | *:arm64)
        sed -n "/^arch ${package##*:}\$/,\$p" "$STATE/log" | grep -q '^update' || {
          echo "E: Unable to locate package $package" >&2
          exit 100
        } ;;
      esac
    done
    for package in $BROKEN; do
      case " $* " in *" $package "*)
        echo "The following packages have unmet dependencies:" " $package : Depends: libc6 (= 2.36-9)"
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100 ;;
      esac
    done
    printf '%s\n' "$@" >>"$STATE/installed" ;;
  "apt-get download") echo "E: Can't find a source to download version of '$3'" >&2; exit 100 ;;
  *) echo "stand-in apt: $0 $*" >&2; exit 2 ;;
esac
APT
chmod +x "$work/bin/apt"
# A stand-in npm: the registry unreachable where $NPM_FAILS is set.
cat >"$work/bin/npm" <<'NPM'
#!/bin/sh
[ -z "$NPM_FAILS" ] || { echo "npm ERR! network request to https://registry.npmjs.org failed" >&2; exit 1; }
mkdir -p "$3/node_modules"
NPM
chmod +x "$work/bin/npm"
for tool in apt-get apt-cache dpkg dpkg-query sudo; do
  ln -s apt "$work/bin/$tool"
done
PATH=$work/bin:$PATH TICKLOW_APT_PAUSE=0
export PATH TICKLOW_APT_PAUSE

# Every command but the package tools, binutils' and those a case puts back.
mkdir "$work/bare"
for tool in /usr/bin/* /bin/*; do
  case ${tool##*/} in
    apt-get | apt-cache | dpkg | dpkg-query | sudo | cmake | make | c++ | g++ | clang++ | as | ld) ;;
    *) ln -sf "$tool" "$work/bare/" ;;
  esac
done

status=0
fail() {
  echo "FAILED: $*"
  sed 's/^/  /' "$STATE/out"
  status=1
}
# install_deps UPDATE_FAILS BROKEN: a run on a fresh host; its status in $ran.
install_deps() {
  STATE=$(mktemp -d -p "$work") UPDATE_FAILS=$1 BROKEN=$2 NPM_FAILS=${3:-}
  TICKLOW_WINE_HOME=$work/home
  export STATE UPDATE_FAILS BROKEN NPM_FAILS TICKLOW_WINE_HOME
  # What the host has before the run: "arch i386" and package lines.
  printf '%s\n' ${HOST_HAS:-} | sed -n 's/^arch:/arch /p' | tee "$STATE/log" | cut -c6- >"$STATE/arches"
  printf '%s\n' ${HOST_HAS:-} | grep -v '^arch:' >"$STATE/installed" || true
  ran=0
  "$work/scripts/install-deps" >"$STATE/out" 2>&1 || ran=$?
  # Each would register emulators or interpreters with the kernel: every
  # install command keeps it out on every architecture enabled by then,
  # unless the host has it already.
  awk -v has=" ${HOST_HAS:-} " '
    BEGIN { added["amd64"] = 1 }
    /^arch / { added[$2] = 1 }
    /^install/ { for (arch in added) {
      split("qemu-user-binfmt qemu-user-static binfmt-support", kept)
      for (i in kept) if (index(has, " " kept[i] ":" arch " ") == 0 &&
                          index($0 " ", " " kept[i] ":" arch "- ") == 0)
        print kept[i] ":" arch ": " $0 } }' "$STATE/log" >"$STATE/open"
  [ ! -s "$STATE/open" ] || fail "an install lets a kernel registration in: $(cat "$STATE/open")"
}

# The packages a run installed, without apt's options and words.
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null)
installed_packages() {
  grep -v -e '^-' -e '-$' "$STATE/installed" | grep -vx -e install -e "${codename:-none}" | sort -u
}

install_deps 2 ""
if ! { [ $ran -eq 0 ] && [ "$(grep -c '^update' "$STATE/log")" -eq 3 ] &&
  grep -q '^install.* wine32:i386 ' "$STATE/log"; }; then
  fail "an index that fails twice and then downloads is followed by the install"
fi
installed_packages | grep -vx -e wine -e wine32:i386 >"$work/all-but-wine32"

if [ ! -d "$work/home/npm/node_modules" ]; then
  fail "the workflow checkers are installed into the project's cache"
fi

rm -rf "$work/home/npm"
install_deps 99 "wine32:i386" unreachable
if ! { [ $ran -eq 0 ] && grep -q "32-bit Wine: not installed (apt: .*held broken" "$STATE/out" &&
  grep -q '^install.* -t ' "$STATE/log" &&
  [ "$(installed_packages)" = "$(cat "$work/all-but-wine32")" ] &&
  grep -q "held broken" "$work/home/wine32.missing" &&
  grep -q "registry.npmjs.org failed" "$work/home/npm.missing"; }; then
  fail "a broken index, no 32-bit Wine, no npm registry: the rest installed, and what is missing named"
fi

install_deps 0 "cmake"
if ! { [ $ran -ne 0 ] && grep -q "install-deps: cannot install cmake" "$STATE/out" &&
  grep -q "held broken packages" "$STATE/out"; }; then
  fail "a package the build needs that cannot be installed stops it, named with apt's words"
fi

# A bare system: binutils first, for the 32-bit probe, and the lists fetched
# again once i386 and arm64 are added.
PATH=$work/bin:$work/bare install_deps 0 ""
if ! { [ $ran -eq 0 ] && grep -m1 '^install' "$STATE/log" | grep -q ' binutils ' &&
  grep -qx 'wine32:i386' "$STATE/installed" && grep -qx 'libc6:arm64' "$STATE/installed"; }; then
  fail "without as and ld, binutils comes first, and the foreign packages after their lists"
fi

# A host that refuses 32-bit programs, where i386 was enabled before and
# qemu-user-static installed: 64-bit Wine's 32-bit half is kept out, and
# nothing the host has is removed.
HOST_HAS="arch:i386 qemu-user-static:amd64" REFUSES_I386=1 install_deps 0 ""
if ! { [ $ran -eq 0 ] && grep -q '^install.* wine64 .* wine32:i386- ' "$STATE/log" &&
  ! grep -q -e ' wine32:i386 ' -e ' qemu-user-static:amd64-' "$STATE/log"; }; then
  fail "where 32-bit programs cannot run, 32-bit Wine is kept out, and the host's packages stay"
fi

# Building the tool alone on a host with no apt, with CMake, a compiler and
# make only where a case puts them.
# tool_without_apt COMMAND...: the tool scope, with these commands on PATH.
tool_without_apt() {
  for tool in cmake make c++; do rm -f "$work/bare/$tool"; done
  for tool in "$@"; do printf '#!/bin/sh\n' >"$work/bare/$tool" && chmod +x "$work/bare/$tool"; done
  STATE=$(mktemp -d -p "$work")
  ran=0
  PATH=$work/bare CXX= "$work/scripts/install-deps" tool >"$STATE/out" 2>&1 || ran=$?
}
tool_without_apt cmake make c++
if ! { [ $ran -eq 0 ] && [ ! -s "$STATE/out" ]; }; then
  fail "with CMake, a compiler and make there, building the tool asks for nothing"
fi
tool_without_apt make c++
if ! { [ $ran -ne 0 ] && grep -qx "install-deps: install CMake 3.25 or later, then run this again" \
  "$STATE/out"; }; then
  fail "with no CMake and no apt, building the tool stops, saying what to install"
fi
exit $status
