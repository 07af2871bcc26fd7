#!/usr/bin/env python3
"""How soon and how exactly wexread's rows come out: one or more wexread
binaries side by side, each against its own w316sim (one module at 700 ms)
on a pty, with --listen.

  bench/wexread_live.py --sim build/tools/w316sim/w316sim \\
      NAME=build/tools/wexread/wexread [NAME=other/wexread ...] [--rows 20] [--stress]

The moment the library stores a row is the moment of its poll tick, which the
simulator logs (--log) as the request it receives, in its own seconds; its
clock is tied to this one by the smallest offset seen between a log line's
arrival and its stamp. For every row out: the time from the start to the
first row on standard output; the latency from its tick to its line on
standard output, to /metrics counting it (polled every 10 ms) and to its
event on /events; the error of the time printed in the row against its tick.
--stress runs it all under `stress-ng --cpu 4`.
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request


class Run:
    def __init__(self, name, wexread, sim, folder, rows):
        self.name = name
        link = os.path.join(folder, "com-" + name)
        self.ticks = []  # (arrival, simulator seconds) of every request
        self.sim = subprocess.Popen([sim, "--link", link, "--log", "--no-stdin"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.sim.stdout.readline()
        threading.Thread(target=self._sim_log, daemon=True).start()
        self.lines, self.scrapes, self.events = [], [], []
        self.started = time.time()
        self.reader = subprocess.Popen(
            [wexread, "--device", link, "--period", "700", "--format", "jsonl", "--count",
             str(rows), "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        port = re.search(r":(\d+)/metrics", self.reader.stderr.readline()).group(1)
        self.base = "http://127.0.0.1:" + port
        threading.Thread(target=self._stdout, daemon=True).start()
        threading.Thread(target=self._metrics, daemon=True).start()
        threading.Thread(target=self._events, daemon=True).start()

    def _sim_log(self):
        for line in self.sim.stderr:
            m = re.match(r"\[\s*([\d.]+)\] rx ", line)
            if m:
                self.ticks.append((time.time(), float(m.group(1))))

    def _stdout(self):
        for line in self.reader.stdout:
            self.lines.append((time.time(), json.loads(line)))

    def _metrics(self):
        seen = 0
        while self.reader.poll() is None:
            try:
                with urllib.request.urlopen(self.base + "/metrics", timeout=2) as r:
                    text = r.read().decode()
                rows = int(re.search(r"^wexlink_rows_total\{[^}]*\} (\d+)", text, re.M).group(1))
                now = time.time()
                for _ in range(seen, rows):
                    self.scrapes.append(now)
                seen = max(seen, rows)
            except (OSError, AttributeError):
                pass
            time.sleep(0.01)

    def _events(self):
        try:
            with urllib.request.urlopen(self.base + "/events", timeout=60) as r:
                for raw in r:
                    if raw.startswith(b"data:"):
                        self.events.append(time.time())
        except OSError:
            pass

    def finish(self, first_tick):
        self.reader.wait(timeout=120)
        time.sleep(0.2)
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(timeout=10)
        offset = min(arrival - stamp for arrival, stamp in self.ticks)
        tick_at = [offset + stamp for _, stamp in self.ticks]
        out = {"first row (s)": self.lines[0][0] - self.started}
        stores = [tick_at[first_tick + k] for k in range(len(self.lines))]

        def summary(values):
            ms = [v * 1000 for v in values]
            return "median %.0f ms, max %.0f ms" % (statistics.median(ms), max(ms))

        out["stdout"] = summary([a - s for (a, _), s in zip(self.lines, stores)])
        out["/metrics"] = summary([a - s for a, s in zip(self.scrapes, stores)])
        out["/events"] = summary([a - s for a, s in zip(self.events, stores)])
        errors, printed = [], []
        for (_, record), s in zip(self.lines, stores):
            t = time.mktime(time.strptime(record["time"][:19], "%Y-%m-%dT%H:%M:%S")) - \
                time.timezone + int(record["time"][20:23]) / 1000
            printed.append(t)
            errors.append((t - s) * 1000)
        out["printed step - 700 ms"] = "max %.0f ms" % max(
            abs((b - a) * 1000 - 700) for a, b in zip(printed, printed[1:]))
        out["row time - tick"] = "median %.0f ms, min %.0f ms, max %.0f ms" % (
            statistics.median(errors), min(errors), max(errors))
        steps = [b - a for a, b in zip(errors, errors[1:])]
        out["tick-to-tick vs printed step"] = "max %.0f ms" % max(abs(s) for s in steps)
        out["rows"] = len(self.lines)
        return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--rows", type=int, default=20)
    parser.add_argument("--stress", action="store_true")
    parser.add_argument("--first-tick", action="append", default=[],
                        help="NAME=K: the first row NAME writes is the one of tick K+1 "
                             "(1 for a reader that leaves out the first row)")
    parser.add_argument("binaries", nargs="+", help="NAME=PATH")
    o = parser.parse_args()
    first = dict(x.split("=") for x in o.first_tick)
    stress = None
    if o.stress:
        stress = subprocess.Popen(["stress-ng", "--cpu", "4", "--quiet"])
        time.sleep(1)
    folder = tempfile.mkdtemp(prefix="wexread-live-")
    try:
        runs = [Run(n, p, o.sim, folder, o.rows) for n, p in (b.split("=", 1) for b in o.binaries)]
        for run in runs:
            print(run.name, json.dumps(run.finish(int(first.get(run.name, 0))), indent=1))
    finally:
        if stress:
            stress.send_signal(signal.SIGINT)
            stress.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
