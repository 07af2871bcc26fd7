#!/usr/bin/env bash
# The installed files as a user meets them: `cmake --install` into temporary
# prefixes, then consumers of each kind against the installed simulator.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
#
# 1. a full install: every file in its GNUInstallDirs place, the SONAME and
#    its links, wexlink.pc naming this prefix, every manual page renders;
# 2. a DESTDIR install: wexlink.pc names the prefix, not the staging folder;
# 3. a runtime-only install (components runtime and wexmon): no development
#    link, and Wexmon still finds libwexlink.so.1 and shows the module's values;
# 4. the C example built with find_package(wexlink) and with
#    `pkg-config --cflags --libs wexlink`, and the Python example, each
#    reading the simulated modules' temperatures.
set -Eeuo pipefail
# A step outside check() that fails ends the test: say which one, and where.
trap 'status=$?; echo "FAIL line $LINENO (exit $status): $BASH_COMMAND"' ERR

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# Each phase announces itself with the seconds so far: a test stopped by its
# time limit (ctest kills it outright) shows the phase it was in.
started=$SECONDS
step() { echo "---- $* ($((SECONDS - started)) s)"; }

failures=0
check() {  # description, command...
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}
quiet() {  # runs a command, shows its output only when it fails
  local log=$tmp/quiet.log
  if "$@" >"$log" 2>&1; then return 0; fi
  echo "command failed: $*"
  cat "$log"
  return 1
}
# The line of the last second for module M in a snapshot example's output,
# with channel C (1-based field after the colon).
channel() {  # output-file module channel
  grep " module $2:" "$1" | tail -1 | sed 's/.*://' | awk -v c="$3" '{print $c}'
}

# ---- 1. Full install ---------------------------------------------------------
step full install
prefix=$tmp/prefix
quiet cmake --install "$build" --prefix "$prefix"
for f in include/wexlink.h lib/libwexlink.so.1.0.0 lib/cmake/wexlink/wexlinkConfig.cmake \
  lib/cmake/wexlink/wexlinkConfigVersion.cmake lib/cmake/wexlink/wexlinkTargets.cmake \
  lib/pkgconfig/wexlink.pc bin/w316sim share/man/man3/wexlink.3.gz \
  share/man/man1/w316sim.1.gz share/doc/wexlink/LICENSE; do
  check "installed $f" test -f "$prefix/$f"
done
check "libwexlink.so.1 -> libwexlink.so.1.0.0" \
  test "$(readlink "$prefix/lib/libwexlink.so.1")" = libwexlink.so.1.0.0
check "libwexlink.so -> libwexlink.so.1" test "$(readlink "$prefix/lib/libwexlink.so")" = libwexlink.so.1
soname=$(readelf -d "$prefix/lib/libwexlink.so.1.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
echo "     SONAME: $soname"
check "SONAME is libwexlink.so.1" test "$soname" = libwexlink.so.1
check "the 21 functions under the version WEXLINK_1.0" \
  test "$(objdump -T "$prefix/lib/libwexlink.so.1" | grep -c 'DF .text.* WEXLINK_1.0 ')" = 21
check "installed exports are exactly the card interface" \
  quiet "$src/tests/scripts/check_exports.sh" "$prefix/lib/libwexlink.so.1"
check "wexlink.pc names the prefix" grep -qx "prefix=$prefix" "$prefix/lib/pkgconfig/wexlink.pc"
check "the shared library is not executable" test ! -x "$prefix/lib/libwexlink.so.1.0.0"

# Every manual page renders without a warning.
step manual pages
for page in "$prefix"/share/man/man*/*.gz; do
  name=$(basename "$page" .gz)
  out=$tmp/man.out
  MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$out" 2>"$tmp/man.err" || true
  check "man -l $name renders" test -s "$out"
  check "man -l $name gives no warning" test ! -s "$tmp/man.err"
  if [ -s "$tmp/man.err" ]; then cat "$tmp/man.err"; fi
done
if ! MANWIDTH=200 man -l "$prefix/share/man/man3/wexlink.3.gz" >"$tmp/wexlink.3.txt" 2>"$tmp/man.err"; then
  echo "FAIL man -l wexlink.3 (for the checks below):"
  cat "$tmp/man.err"
  exit 1
fi
for f in Initial ConfigInfo ChannelFrq IOCtl RegisterNotify GetLastADError GetADPropStrSize \
  GetADPropString StartIntr StartSnapshot StopIntr QueryBuf ADResult ADResultRecent GetSnapshot \
  inportb inport inportdw outportb outport outportdw WEXLINK_COM WEXLINK_IOSPACE \
  WEXLINK_GRANTED_PORTS WEXLINK_E_NULL_POINTER; do
  check "wexlink(3) documents $f" grep -q "$f" "$tmp/wexlink.3.txt"
done

if [ -x "$prefix/bin/Wexmon" ]; then
  for f in share/applications/wexmon.desktop share/icons/hicolor/scalable/apps/wexmon.svg \
    share/man/man1/Wexmon.1.gz share/doc/wexmon/examples/60-w316.rules; do
    check "installed $f" test -f "$prefix/$f"
  done
  if command -v desktop-file-validate >/dev/null; then
    check "wexmon.desktop is valid" quiet desktop-file-validate "$prefix/share/applications/wexmon.desktop"
  fi
  # udevadm verify came with systemd 253; older ones lack it.
  if udevadm verify --help >/dev/null 2>&1; then
    check "60-w316.rules parses" quiet udevadm verify "$prefix/share/doc/wexmon/examples/60-w316.rules"
  fi
fi

# ---- 2. DESTDIR ----------------------------------------------------------------
step DESTDIR install
DESTDIR=$tmp/stage quiet cmake --install "$build" --prefix /opt/wexlink --component dev
check "DESTDIR: wexlink.pc names /opt/wexlink" \
  grep -qx "prefix=/opt/wexlink" "$tmp/stage/opt/wexlink/lib/pkgconfig/wexlink.pc"
check "DESTDIR: header under the staged prefix" test -f "$tmp/stage/opt/wexlink/include/wexlink.h"

# ---- 3. Runtime-only install -------------------------------------------------
step runtime-only install
runtime=$tmp/runtime
quiet cmake --install "$build" --prefix "$runtime" --component runtime
if [ -x "$prefix/bin/Wexmon" ]; then
  quiet cmake --install "$build" --prefix "$runtime" --component wexmon
fi
check "runtime install has libwexlink.so.1" test -e "$runtime/lib/libwexlink.so.1"
check "runtime install has no development link" test ! -e "$runtime/lib/libwexlink.so"
check "runtime install has no header" test ! -e "$runtime/include/wexlink.h"

# ---- The installed simulator ---------------------------------------------------
step the installed simulator
com=$tmp/com1
"$prefix/bin/w316sim" --link "$com" --no-stdin --modules 2 --temp 0.3=25.5 --temp 1.7=-12.25 \
  >"$tmp/sim.out" 2>&1 &
sim_pid=$!
# Up to 20 s: on a loaded machine the simulator can take seconds to start.
for _ in $(seq 200); do [ -e "$com" ] && break; sleep 0.1; done
check "simulator is up" test -e "$com"
if [ ! -e "$com" ]; then cat "$tmp/sim.out"; fi

# ---- 4. Consumers ----------------------------------------------------------------
run_example() {  # name output-file command...
  local name=$1 out=$2
  shift 2
  if ! WEXLINK_COM1=$com "$@" >"$out" 2>&1; then
    echo "FAIL $name exited with an error:"
    cat "$out"
    failures=$((failures + 1))
    return
  fi
  check "$name reads module 0 channel 3 as 25.50" test "$(channel "$out" 0 4)" = 25.50
  check "$name reads module 1 channel 7 as -12.25" test "$(channel "$out" 1 8)" = -12.25
  check "$name reads module 1 channel 0 as 21.00" test "$(channel "$out" 1 1)" = 21.00
}

# find_package(wexlink 1.0 REQUIRED) and wexlink::wexlink
step find_package consumer: configure, build, run
quiet cmake -S "$src/examples" -B "$tmp/find-package" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Wpedantic -Werror"
quiet cmake --build "$tmp/find-package"
consumer=$tmp/find-package/wexlink_snapshot
check "find_package consumer binds the installed library" \
  bash -c "ldd '$consumer' | grep -q '=> $prefix/lib/libwexlink.so.1 '"
run_example "find_package consumer" "$tmp/fp.out" env -u LD_LIBRARY_PATH "$consumer" 1 2 3

# pkg-config --cflags --libs wexlink
step pkg-config consumer: build, run
flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs wexlink)
echo "     pkg-config: $flags"
# shellcheck disable=SC2086
quiet cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$tmp/pc-consumer" "$src/examples/snapshot.c" $flags
run_example "pkg-config consumer" "$tmp/pc.out" env LD_LIBRARY_PATH="$prefix/lib" "$tmp/pc-consumer" 1 2 3

# Python through ctypes, against the runtime-only install (libwexlink.so.1).
step Python example
run_example "Python example" "$tmp/py.out" env LD_LIBRARY_PATH="$runtime/lib" \
  python3 "$src/examples/snapshot.py" 1 2 3

# Wexmon from the runtime-only install: finds libwexlink.so.1 in ../lib.
step Wexmon from the runtime-only install
if [ -x "$runtime/bin/Wexmon" ]; then
  mkdir -m 700 "$tmp/xdg"
  # The value shows about 2 s after the start (the first row of a run is
  # zeros); a loaded machine can take longer to start Wexmon, so a run that
  # ended too early is tried again for longer.
  for seconds in 3.5 10 30; do
    env -u WEXMON_LIBRARY -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$tmp/xdg" \
      WEXLINK_COM1="$com" WEXLINK_IOSPACE="$tmp/iospace" \
      "$runtime/bin/Wexmon" --autostart --after "$seconds" --dump-labels >"$tmp/wexmon.out" 2>&1 || true
    grep -qx "lblTemp(3)=25.5" "$tmp/wexmon.out" && break
    echo "     Wexmon showed no value after $seconds s"
  done
  check "Wexmon (runtime-only install) shows 25.5 on channel 4" grep -qx "lblTemp(3)=25.5" "$tmp/wexmon.out"
  if ! grep -qx "lblTemp(3)=25.5" "$tmp/wexmon.out"; then cat "$tmp/wexmon.out"; fi
fi

# ---- 5. As a subproject --------------------------------------------------------
step configure as a subproject
# add_subdirectory: the same wexlink::wexlink line links (the example's
# CMakeLists skips find_package when the target exists), and the tests,
# benchmarks, tools and Wexmon are off unless asked for. Configured only.
mkdir -p "$tmp/parent"
cat >"$tmp/parent/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.22)
project(parent LANGUAGES C CXX)
add_subdirectory("$src" wexlink)
add_subdirectory("$src/examples" examples)
EOF
if quiet cmake -S "$tmp/parent" -B "$tmp/parent-build"; then
  for option in TESTS BENCH TOOLS APP; do
    check "subproject: WEXLINK_BUILD_$option is OFF" \
      grep -qx "WEXLINK_BUILD_$option:BOOL=OFF" "$tmp/parent-build/CMakeCache.txt"
  done
  cmake --build "$tmp/parent-build" --target help >"$tmp/targets" 2>&1 || true
  check "subproject: the example links wexlink::wexlink" grep -q "wexlink_snapshot" "$tmp/targets"
  check "subproject: no test target" bash -c "! grep -q 'wexlink_unit_tests' '$tmp/targets'"
else
  check "subproject: configures" false
fi

echo "install: $failures failure(s) in $((SECONDS - started)) s"
[ "$failures" -eq 0 ] || exit 1
