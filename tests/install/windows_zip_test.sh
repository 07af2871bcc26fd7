#!/usr/bin/env bash
# The Windows zip from the Wine tests' cross builds (wine_build): both DLL
# widths, Wexmon.exe of each, the header, README and licence, each binary of
# the width its folder names.
#
#   windows_zip_test.sh SOURCE_DIR CROSS_DIR OUTPUT_DIR
#
# Exit 77 (skipped) when there are no cross builds (mingw-w64 not installed).
set -Eeuo pipefail
# A step outside check() that fails ends the test: say which one, and where.
trap 'status=$?; echo "FAIL line $LINENO (exit $status): $BASH_COMMAND"' ERR
src=$1 cross=$2 out=$3
if [ ! -f "$cross/win32/lib/lib/wexlink.dll" ] || [ ! -f "$cross/win64/lib/lib/wexlink.dll" ]; then
  echo "SKIPPED: no cross-built wexlink.dll in $cross (wine_build did not build them)"
  exit 77
fi
mkdir -p "$out"
# Relative folders, as the documentation shows them; no staging folder stays.
(cd "$out/.." && cmake -DCROSS_DIR="$(realpath --relative-to=. "$cross")" \
  -DOUTPUT_DIR="$(basename "$out")" -P "$src/cmake/WindowsZip.cmake")
if ls -d "$out"/*.stage 2> /dev/null; then
  echo "FAIL a staging folder is left in $out"
  exit 1
fi
zip=$(ls "$out"/wexlink-*-windows.zip)
python3 - "$zip" "$src" <<'PY'
import struct, sys, zipfile

path, src = sys.argv[1], sys.argv[2]
machines = {"x86": 0x14C, "x64": 0x8664}
failures = 0

def check(what, ok):
    global failures
    print(("ok   " if ok else "FAIL ") + what)
    failures += 0 if ok else 1

with zipfile.ZipFile(path) as z:
    names = sorted(z.namelist())
    print("\n".join("  %8d %s" % (z.getinfo(n).file_size, n) for n in names))
    root = names[0].split("/")[0]
    check("one top folder " + root, all(n.split("/")[0] == root for n in names))
    for f in ("README.md", "LICENSE", "include/wexlink.h"):
        check(f, root + "/" + f in names)
    with open(src + "/lib/include/wexlink.h", "rb") as h:
        check("wexlink.h is the source's", z.read(root + "/include/wexlink.h") == h.read())
    for folder, machine in machines.items():
        for binary in ("wexlink.dll", "Wexmon.exe"):
            name = "%s/%s/%s" % (root, folder, binary)
            if name not in names:
                check(name + " present", False)
                continue
            data = z.read(name)
            pe = struct.unpack_from("<I", data, 0x3C)[0]
            ok = data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0"
            found = struct.unpack_from("<H", data, pe + 4)[0] if ok else None
            check("%s: PE for machine 0x%X" % (name, machine), found == machine)
        dll = z.read("%s/%s/wexlink.dll" % (root, folder)) if root + "/" + folder + "/wexlink.dll" in names else b""
        export = b"_Initial@16\0" if folder == "x86" else b"\0Initial\0"
        check("%s/wexlink.dll names %s" % (folder, export.strip(b"\0").decode()), export in dll)
print("windows zip: %d failure(s)" % failures)
sys.exit(1 if failures else 0)
PY
