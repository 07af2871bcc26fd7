#!/usr/bin/env python3
"""wexread's cost while it reads: CPU time and resident memory of the whole
process (the library's timer thread included) against w316sim on a pty.

  bench/wexread_load.py --wexread build/tools/wexread/wexread \\
      --sim build/tools/w316sim/w316sim [--seconds 60] [--modules 32] [--period 700]

Three runs of --seconds each, one after the other: CSV to a file; the same
with --listen (scraped once a second) and --textfile; and one module, so that
rows are read and written throughout (32 modules at 700 ms store a row every
22.4 s, handed out five at a time). CPU is the time all its threads spent on a
processor (schedstat) from --warmup seconds after the start to the end, and
the whole run's user and system time (wait4); memory the peak resident set
(VmHWM) and VmRSS at the end.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request


def measure(o, folder, name, modules, extra):
    link = os.path.join(folder, "com-" + name)
    sim = subprocess.Popen([o.sim, "--link", link, "--modules", str(modules), "--no-stdin"],
                           stdout=subprocess.PIPE, text=True)
    sim.stdout.readline()
    rows_file = os.path.join(folder, name + ".csv")
    args = [o.wexread, "--device", link, "--modules", str(modules), "--period", str(o.period),
            "--format", "csv", "--output", rows_file] + extra
    started = time.monotonic()
    reader = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    port = None
    if "--listen" in extra:
        port = re.search(r":(\d+)/metrics", reader.stderr.readline()).group(1)
    scrapes = 0
    time.sleep(o.warmup)
    cpu_warm, warm_at = schedstat_ns(reader.pid), time.monotonic()
    while time.monotonic() - started < o.seconds + o.warmup:
        time.sleep(1)
        if port:
            with urllib.request.urlopen("http://127.0.0.1:%s/metrics" % port, timeout=5) as r:
                r.read()
            scrapes += 1
    cpu_steady = (schedstat_ns(reader.pid) - cpu_warm) / 1e9
    steady = time.monotonic() - warm_at
    # VmHWM, not ru_maxrss: the latter counts the forked interpreter before exec.
    with open("/proc/%d/status" % reader.pid) as f:
        status_text = f.read()
    rss = int(re.search(r"VmRSS:\s+(\d+)", status_text).group(1))
    peak = int(re.search(r"VmHWM:\s+(\d+)", status_text).group(1))
    elapsed = time.monotonic() - started
    reader.send_signal(signal.SIGTERM)
    _, status, usage = os.wait4(reader.pid, 0)
    reader.returncode = os.waitstatus_to_exitcode(status)
    sim.terminate()
    sim.wait()
    if reader.returncode != 0:
        sys.exit("%s: wexread ended with %d: %s" % (name, reader.returncode, reader.stderr.read()))
    with open(rows_file) as f:
        lines = sum(1 for _ in f) - 1
    stored = steady * 1000 / (modules * o.period)
    return {
        "name": name, "modules": modules, "seconds": steady, "cpu_s": cpu_steady,
        "cpu_total_s": usage.ru_utime + usage.ru_stime, "core_percent": 100 * cpu_steady / steady,
        "rows_stored": stored, "rows_read": lines // modules,
        "cpu_per_row_ms": 1000 * cpu_steady / stored, "peak_rss_kib": peak, "rss_kib": rss,
        "scrapes": scrapes,
    }


def schedstat_ns(pid):
    """CPU time of all the process's threads so far, in ns."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
            total += int(f.read().split()[0])
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--modules", type=int, default=32)
    parser.add_argument("--period", type=int, default=700)
    parser.add_argument("--warmup", type=float, default=2, help="seconds before measuring")
    o = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="wexread-bench-") as folder:
        runs = [
            measure(o, folder, "csv", o.modules, []),
            measure(o, folder, "metrics", o.modules,
                    ["--listen", "127.0.0.1:0", "--textfile", os.path.join(folder, "w.prom")]),
            measure(o, folder, "one-module", 1, []),
        ]
    for r in runs:
        print("wexread %-10s %2d modules at %d ms, %.0f s after %.0f s: CPU %.4f s = %.4f %% of one "
              "core, %.3f ms per stored row (%.1f stored, %d read); with start-up and stop %.3f s; "
              "peak RSS %.2f MiB, at the end %.2f MiB%s"
              % (r["name"], r["modules"], o.period, r["seconds"], o.warmup, r["cpu_s"],
                 r["core_percent"], r["cpu_per_row_ms"], r["rows_stored"], r["rows_read"],
                 r["cpu_total_s"], r["peak_rss_kib"] / 1024, r["rss_kib"] / 1024,
                 ", %d scrapes" % r["scrapes"] if r["scrapes"] else ""))
    goal = all(r["core_percent"] < 0.1 and r["peak_rss_kib"] < 10 * 1024 for r in runs)
    print("goal (< 0.1 % of one core, < 10 MiB): " + ("met" if goal else "not met"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
