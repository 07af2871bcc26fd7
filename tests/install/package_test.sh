#!/usr/bin/env bash
# The Debian packages made by CPack from the install rules.
#
#   package_test.sh BUILD_DIR
#
# Builds them into a temporary folder and checks each one's fields and files
# (the runtime, development, program and simulator parts apart, no file in two
# packages), that lintian finds no error, that apt could install the set on
# this machine (a simulation: apt-get -s), and, as root, installs them with
# dpkg into a throwaway root with the maintainer scripts run against it
# (DPKG_ROOT): the post-install step gives wexmon-launcher cap_sys_rawio+ep and
# Wexmon nothing; then purges them there. Nothing is installed on the machine.
set -Eeuo pipefail
# A step outside check() that fails ends the test: say which one, and where.
trap 'status=$?; echo "FAIL line $LINENO (exit $status): $BASH_COMMAND"' ERR

build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

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

command -v dpkg-deb >/dev/null || { echo "SKIPPED: no dpkg-deb (not a Debian system)"; exit 77; }

step cpack -G DEB
if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  echo "FAIL cpack"
  exit 1
fi
cd "$tmp/out"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")-1
arch=$(dpkg --print-architecture)
deb() { echo "${1}_${version}_${arch}.deb"; }
packages="libwexlink1 libwexlink-dev w316sim"
grep -q '^set(CPACK_COMPONENTS_ALL ".*wexmon' "$build/CPackConfig.cmake" && packages="$packages wexmon"
grep -q '^set(CPACK_COMPONENTS_ALL ".*wexread' "$build/CPackConfig.cmake" && packages="$packages wexread"

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
files() { dpkg-deb --contents "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|'; }
has() { files "$1" | grep -qx "$2"; }

step each package: fields and files
for p in $packages; do
  check "$p: built" test -f "$(deb "$p")"
  echo "---- $(deb "$p")"
  dpkg-deb -f "$(deb "$p")" | sed "s/^/  /"
  dpkg-deb --contents "$(deb "$p")" | awk '$1 !~ /^d/ {print "  " $1, $6, $7, $8}'
  check "$p: Package field" test "$(field "$p" Package)" = "$p"
  check "$p: Version $version" test "$(field "$p" Version)" = "$version"
  check "$p: copyright file" has "$p" "/usr/share/doc/$p/copyright"
  check "$p: compressed changelog" has "$p" "/usr/share/doc/$p/changelog.Debian.gz"
done

# The runtime library: the library and its SONAME link, nothing to build with.
lib=$(files libwexlink1 | grep '/libwexlink\.so\.1\.0\.0$')
check "libwexlink1: libwexlink.so.1.0.0" test -n "$lib"
check "libwexlink1: libwexlink.so.1" has libwexlink1 "$(dirname "$lib")/libwexlink.so.1"
check "libwexlink1: no development link" bash -c "! dpkg-deb --contents $(deb libwexlink1) | grep -q 'libwexlink\.so '"
check "libwexlink1: section libs" test "$(field libwexlink1 Section)" = libs
check "libwexlink1: depends on libc6 (computed)" bash -c "dpkg-deb -f $(deb libwexlink1) Depends | grep -q 'libc6 (>='"
check "libwexlink1: shlibs names libwexlink 1" \
  bash -c "dpkg-deb --ctrl-tarfile $(deb libwexlink1) | tar -xO ./shlibs | grep -q '^libwexlink 1 libwexlink1 '"
check "libwexlink1: ldconfig trigger" \
  bash -c "dpkg-deb --ctrl-tarfile $(deb libwexlink1) | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig'"

# The development files.
for f in /usr/include/wexlink.h "$(dirname "$lib")/libwexlink.so" "$(dirname "$lib")/pkgconfig/wexlink.pc" \
  "$(dirname "$lib")/cmake/wexlink/wexlinkConfig.cmake" /usr/share/man/man3/wexlink.3.gz; do
  check "libwexlink-dev: $f" has libwexlink-dev "$f"
done
check "libwexlink-dev: depends on libwexlink1 (= $version)" \
  bash -c "dpkg-deb -f $(deb libwexlink-dev) Depends | grep -qF 'libwexlink1 (= $version)'"
check "libwexlink-dev: wexlink.pc names /usr" \
  bash -c "dpkg-deb --fsys-tarfile $(deb libwexlink-dev) | tar -xO .$(dirname "$lib")/pkgconfig/wexlink.pc | grep -qx prefix=/usr"

for f in snapshot.c snapshot.py wexlink.py CMakeLists.txt; do
  check "libwexlink-dev: examples/$f" has libwexlink-dev "/usr/share/doc/libwexlink-dev/examples/$f"
done

check "w316sim: /usr/bin/w316sim" has w316sim /usr/bin/w316sim
check "w316sim: w316sim(1)" has w316sim /usr/share/man/man1/w316sim.1.gz

if [[ " $packages " == *" wexmon "* ]]; then
  for f in /usr/bin/Wexmon /usr/share/man/man1/Wexmon.1.gz /usr/share/applications/wexmon.desktop \
    /usr/share/icons/hicolor/scalable/apps/wexmon.svg /usr/share/doc/wexmon/examples/60-w316.rules; do
    check "wexmon: $f" has wexmon "$f"
  done
  depends=$(field wexmon Depends)
  check "wexmon: depends on libwexlink1 (= $version)" grep -qF "libwexlink1 (= $version)" <<<"$depends"
  check "wexmon: depends on Qt Widgets (computed)" grep -q "libqt6widgets6" <<<"$depends"
  check "wexmon: no copy of the library" bash -c "! dpkg-deb --contents $(deb wexmon) | grep -q libwexlink"
  launcher=no
  if has wexmon /usr/bin/wexmon-launcher; then launcher=yes; fi
  echo "     wexmon-launcher packaged: $launcher"
fi

# wexread: the program, its page, the unit, an example config, the logrotate
# snippet (a conffile); the unit checked offline by systemd-analyze against
# the package's own files and this machine's units.
if [[ " $packages " == *" wexread "* ]]; then
  for f in /usr/bin/wexread /usr/share/man/man1/wexread.1.gz /usr/lib/systemd/system/wexread@.service \
    /usr/share/doc/wexread/examples/lab.toml /etc/logrotate.d/wexread; do
    check "wexread: $f" has wexread "$f"
  done
  check "wexread: depends on libwexlink1 (= $version)" grep -qF "libwexlink1 (= $version)" <<<"$(field wexread Depends)"
  check "wexread: the logrotate snippet is a conffile" \
    bash -c "dpkg-deb --ctrl-tarfile $(deb wexread) | tar -xO ./conffiles | grep -qx /etc/logrotate.d/wexread"
  check "wexread: the example config is read (then the device is refused: 3)" bash -c \
    "dpkg-deb --fsys-tarfile $(deb wexread) | tar -xO ./usr/share/doc/wexread/examples/lab.toml >$tmp/lab.toml &&
     { $build/tools/wexread/wexread --config $tmp/lab.toml --device $tmp/absent --output $tmp/lab.csv \
       --listen 127.0.0.1:0 >/dev/null 2>$tmp/lab.err; test \$? = 3; } || { cat $tmp/lab.err; exit 1; }"
  if command -v systemd-analyze >/dev/null && [ -d /usr/lib/systemd/system ]; then
    unit_root=$tmp/unit-root
    mkdir -p "$unit_root/usr/lib/systemd" "$unit_root/bin" "$unit_root/etc/wexread"
    cp -a /usr/lib/systemd/system "$unit_root/usr/lib/systemd/"
    dpkg-deb -x "$(deb wexread)" "$unit_root"
    # Host commands the unit runs, as empty programs; never wexread itself.
    printf '#!/bin/sh\n' >"$unit_root/bin/kill"
    chmod 755 "$unit_root/bin/kill"
    cp "$tmp/lab.toml" "$unit_root/etc/wexread/lab.toml"
    systemd-analyze verify --man=no --root="$unit_root" wexread@lab.service >"$tmp/verify.log" 2>&1 &&
      verified=yes || verified=no
    sed 's/^/     /' "$tmp/verify.log"
    check "wexread@.service: systemd-analyze verify, no warning about it" \
      bash -c "[ $verified = yes ] && ! grep -q wexread $tmp/verify.log"
    systemd-analyze security --offline=yes --root="$unit_root" wexread@lab.service >"$tmp/security.log" 2>&1 || true
    exposure=$(sed -n 's/.*Overall exposure level for wexread@lab.service: \([0-9.]*\).*/\1/p' "$tmp/security.log")
    echo "     systemd-analyze security: exposure ${exposure:-?}"
    check "wexread@.service: exposure at most 2.0 (OK)" \
      bash -c "[ -n '$exposure' ] && awk 'BEGIN { exit !($exposure <= 2.0) }'"
  else
    echo "     systemd-analyze not installed: the unit was not checked"
  fi
  if command -v man >/dev/null; then
    check "wexread(1): man finds nothing to warn about" bash -c \
      "dpkg-deb --fsys-tarfile $(deb wexread) | tar -xO ./usr/share/man/man1/wexread.1.gz >$tmp/wexread.1.gz &&
       LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l $tmp/wexread.1.gz 2>&1 >/dev/null | { ! grep .; }"
  fi
fi

# No file in two packages.
for p in $packages; do files "$p"; done | sort | uniq -d >"$tmp/dups"
check "no file in two packages" test ! -s "$tmp/dups"
cat "$tmp/dups"

# lintian: warnings are shown, errors fail.
step lintian
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 ./*.deb >"$tmp/lintian.txt" 2>&1 || true
  grep -v '^running with root' "$tmp/lintian.txt" || true
  check "lintian: no error" bash -c "! grep -q '^E:' $tmp/lintian.txt"
else
  echo "     lintian not installed: not run"
fi

# apt would install the set here, dependencies included (simulation only).
step apt-get -s install
if command -v apt-get >/dev/null; then
  debs=()
  for p in $packages; do debs+=("./$(deb "$p")"); done
  check "apt-get -s install: dependencies satisfiable on this machine" \
    bash -c 'apt-get -s -q install "$@" >"'"$tmp"'/apt.log" 2>&1 || { cat "'"$tmp"'/apt.log"; exit 1; }' _ "${debs[@]}"
fi

step dpkg into a throwaway root
# A throwaway root: unpack and configure with the maintainer scripts run
# outside a chroot (there is no shell inside) against DPKG_ROOT. A stub
# ldconfig keeps the library's post-install call from touching this machine's
# cache.
if [ "$(id -u)" -eq 0 ]; then
  root=$tmp/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$tmp/bin" "$root/etc"
  : >"$root/var/lib/dpkg/status"
  # The account files of a system, for the group wexmon's post-install makes.
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:*:19000:0:99999:7:::\n' >"$root/etc/shadow"
  printf 'root:x:0:\n' >"$root/etc/group"
  printf 'root:*::\n' >"$root/etc/gshadow"
  printf '#!/bin/sh\nexit 0\n' >"$tmp/bin/ldconfig"
  chmod 755 "$tmp/bin/ldconfig"
  debs=()
  for p in $packages; do debs+=("$(deb "$p")"); done
  dpkg_root() {
    PATH=$tmp/bin:$PATH dpkg --root="$root" --log=/dev/null --force-script-chrootless \
      --force-depends "$@" >>"$tmp/dpkg.log" 2>&1
  }
  check "dpkg -i into a throwaway root" dpkg_root -i "${debs[@]}"
  check "dpkg: every package installed" \
    bash -c "[ \$(dpkg --root='$root' -l | grep -c '^ii ') = $(wc -w <<<"$packages") ]"
  if [[ " $packages " == *" wexmon "* ]] && [ "$launcher" = yes ]; then
    caps=$(getcap "$root/usr/bin/wexmon-launcher" 2>/dev/null | awk '{print $2}')
    echo "     wexmon-launcher: ${caps:-no capability}"
    check "post-install: wexmon-launcher has cap_sys_rawio=ep" test "$caps" = cap_sys_rawio=ep
    check "post-install: Wexmon has no capability" test -z "$(getcap "$root/usr/bin/Wexmon" 2>/dev/null)"
    gid=$(awk -F: '$1 == "wexmon-relays" {print $3}' "$root/etc/group")
    mode=$(stat -c '%u:%g %a' "$root/usr/bin/wexmon-launcher")
    echo "     wexmon-launcher: $mode (wexmon-relays is ${gid:-missing})"
    check "post-install: the group wexmon-relays, a system group" test -n "$gid" -a "${gid:-1000}" -lt 1000
    check "post-install: wexmon-launcher root:wexmon-relays 0750" test "$mode" = "0:$gid 750"
    # (dpkg-statoverride writes the ids down by this machine's names for them,
    # not the throwaway root's: only the mode and the path are compared.)
    check "post-install: a stat override keeps it" \
      grep -qE "^[^ ]+ [^ ]+ 750 /usr/bin/wexmon-launcher\$" "$root/var/lib/dpkg/statoverride"
    check "no setuid or setgid file" test -z "$(find "$root" -perm /6000)"
  fi
  check "dpkg -P in the throwaway root" dpkg_root -P $packages
  left=$(find "$root/usr" "$root/etc/logrotate.d" -type f 2>/dev/null || true)
  check "purge leaves no file${left:+ (left: $(echo $left | head -c 300))}" test -z "$left"
  if [ "$launcher" = yes ]; then
    check "purge: no stat override left" test ! -s "$root/var/lib/dpkg/statoverride"
    check "purge: the group wexmon-relays removed" bash -c "! grep -q '^wexmon-relays:' '$root/etc/group'"
  fi
  if [ "$failures" -ne 0 ]; then cat "$tmp/dpkg.log"; fi
else
  echo "     not root: the throwaway-root installation was not run"
fi

echo "packages: $failures failure(s) in $((SECONDS - started)) s"
[ "$failures" -eq 0 ] || exit 1
