#!/usr/bin/env python3
"""A snapshot run against W316 modules through ctypes: every second, the
newest row's temperatures of each module (the Python twin of snapshot.c).

    snapshot.py [--library PATH] [COM [MODULES [SECONDS]]]     (defaults 1 1 5)

With the simulator:
    w316sim --link /tmp/com1 --no-stdin &  WEXLINK_COM1=/tmp/com1 ./snapshot.py
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wexlink  # noqa: E402

CHANNELS_PER_MODULE = 8
RING_ROWS = 16


def main():
    parser = argparse.ArgumentParser(description="wexlink snapshot run")
    parser.add_argument("--library", help="the library file (default: libwexlink.so.1)")
    parser.add_argument("com", nargs="?", type=int, default=1)
    parser.add_argument("modules", nargs="?", type=int, default=1, choices=range(1, 33),
                        metavar="MODULES")
    parser.add_argument("seconds", nargs="?", type=int, default=5)
    args = parser.parse_args()

    lib = wexlink.load(args.library)
    channels = args.modules * CHANNELS_PER_MODULE
    print("wexlink via ctypes, COM%d, %d module(s)" % (args.com, args.modules))
    if not lib.Initial(args.com, 3, 9600, 0) or \
            not lib.StartSnapshot(0, RING_ROWS, 0, channels, -700, 0, 0, 0):
        print("cannot start: error %d" % lib.GetLastADError(), file=sys.stderr)
        return 1
    try:
        for second in range(1, args.seconds + 1):
            time.sleep(1)
            _, rows, position = wexlink.snapshot(lib, 1, channels)
            for m in range(args.modules):
                values = rows[-1][m * CHANNELS_PER_MODULE:(m + 1) * CHANNELS_PER_MODULE]
                text = "".join("      --" if c is None else " %7.2f" % c
                               for c in map(wexlink.celsius, values))
                print("t=%d row=%d module %d:%s" % (second, position, m, text), flush=True)
    finally:
        lib.StopIntr()
    return 0


if __name__ == "__main__":
    sys.exit(main())
