#!/usr/bin/env python3
"""wexread's plant protocols measured: --mqtt against Debian's mosquitto and
--modbus against a client, wexread reading w316sim on a pty.

  bench/wexread_plant.py --wexread build/tools/wexread/wexread \\
      --sim build/tools/w316sim/w316sim [--seconds 60]

1. MQTT latency: each row's JSON line as mosquitto_sub receives it, minus the
   row's stored time (in the line); all rows, and the newest row of each
   buffer of five (the library hands rows out five at a time, so the other
   four waited for their buffer).
2. Broker restart: the broker stopped for 2 s; from its start to wexread's
   "online" and first state, and whether a row was lost.
3. Modbus: 2,000 reads of registers 0..7 in a tight loop on one connection
   (a Python client with TCP_NODELAY), p50 and p99, repeated for --seconds;
   the row times meanwhile.
4. CPU (schedstat of all threads) and peak RSS over --seconds with both
   enabled (a subscriber to every topic, a Modbus read every second), beside
   a run without either.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "wexread"))
from plant_e2e import Broker, ModbusClient, Subscriber, rows_of  # noqa: E402
from wexread_e2e import Sim, parse_time, spawn, stop_all, wait_for  # noqa: E402

PERIOD_S = 0.7


def cpu_ns(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


def start(o, sim, folder, extra):
    path = os.path.join(folder, "rows-%d.jsonl" % time.monotonic_ns())
    proc = spawn([o.wexread, "--device", sim.link, "--period", str(int(PERIOD_S * 1000)),
                  "--format", "jsonl", "--output", path] + extra, stderr=subprocess.PIPE,
                 text=True)
    port = None
    while "--modbus" in extra and port is None:
        m = re.search(r"Modbus TCP at .*:(\d+)$", proc.stderr.readline().strip())
        port = int(m.group(1)) if m else None
    return proc, path, port


def ms(seconds):
    return "%.1f ms" % (seconds * 1000) if seconds >= 0.01 else "%.0f us" % (seconds * 1e6)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    o = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="wexread-plant-bench-")
    node = re.sub(r"[^A-Za-z0-9_-]", "_", socket.gethostname())
    base = "wexlink/%s/com1" % node
    try:
        broker = Broker(folder)
        sim = Sim(o.sim, folder, [])
        sub = Subscriber(broker, "wexlink/#")
        reader, rows_path, mb_port = start(o, sim, folder, [
            "--mqtt", "mqtt://127.0.0.1:%d" % broker.port, "--modbus", ":0"])
        t0 = time.monotonic()

        # 3 first (while 1 collects): Modbus read latency under a tight loop.
        client = ModbusClient(mb_port)
        wait_for("rows", lambda: len(rows_of(rows_path)) >= 5, 20)
        loop_rows_from = len(rows_of(rows_path))
        batches = []
        loop_start = time.monotonic()
        while time.monotonic() - loop_start < o.seconds / 2:
            lat = []
            for _ in range(2000):
                t = time.perf_counter()
                client.read_input(0, 8)
                lat.append(time.perf_counter() - t)
            batches.append(sorted(lat))
        loop_end = time.monotonic()
        client.close()
        wait_for("rows after the loop", lambda: len(rows_of(rows_path)) >= loop_rows_from + 12, 20)
        loop_rows = [parse_time(r["time"]) for r in rows_of(rows_path)[loop_rows_from:]]
        gaps = [b - a for a, b in zip(loop_rows, loop_rows[1:])]
        first = batches[0]
        every = sorted(x for b in batches for x in b)
        print("Modbus: first 2,000 reads p50 %s p99 %s max %s; %d reads in %.1f s: p50 %s p99 %s "
              "max %s" % (ms(first[1000]), ms(first[1980]), ms(first[-1]), len(every),
                          loop_end - loop_start, ms(every[len(every) // 2]),
                          ms(every[int(len(every) * 0.99)]), ms(every[-1])))
        print("  row gaps meanwhile: %d rows, %.3f to %.3f s (period %.1f s)" % (
            len(loop_rows), min(gaps), max(gaps), PERIOD_S))

        # 1: MQTT latency from the stored time to the subscriber.
        while time.monotonic() - t0 < o.seconds:
            time.sleep(1)
        arrivals = [(m[0], json.loads(m[3])) for m in sub.since(0) if m[2] == base + "/0100/row"]
        latencies = [(parse_time(r["time"]), got - parse_time(r["time"])) for got, r in arrivals]
        # The rows of one buffer arrive together; the last of them was stored
        # just before the library handed the buffer out.
        newest, group = [], []
        for (got, _), (stored, lat) in zip(arrivals, latencies):
            if group and got - group[-1][0] > 1.0:
                newest.append(max(group, key=lambda g: g[1])[2])
                group = []
            group.append((got, stored, lat))
        if group:
            newest.append(max(group, key=lambda g: g[1])[2])
        all_lat = sorted(l for _, l in latencies)
        print("MQTT stored row -> subscriber: %d rows, median %s, max %s; newest of each buffer "
              "(%d): median %s, max %s" % (len(all_lat), ms(statistics.median(all_lat)),
                                            ms(all_lat[-1]), len(newest),
                                            ms(statistics.median(newest)), ms(max(newest))))

        # 2: broker restart.
        broker.stop()
        down = time.time()
        time.sleep(2)
        broker.start()
        up = time.time()
        sub = Subscriber(broker, "wexlink/#")
        wait_for("online", lambda: sub.last(base + "/availability", up) == "online", 60)
        online = [m[0] for m in sub.since(up) if m[2] == base + "/availability"][0]
        wait_for("a state", lambda: sub.last(base + "/0100/ch0", up) is not None, 30)
        state = [m[0] for m in sub.since(up) if m[2] == base + "/0100/ch0"][0]
        time.sleep(4 * PERIOD_S * 5)
        rows = sorted({json.loads(m[3])["time"] for m in sub.since(up)
                       if m[2] == base + "/0100/row"} |
                      {r["time"] for _, r in arrivals})
        times = [parse_time(t) for t in rows]
        missing = sum(round((b - a) / PERIOD_S) - 1 for a, b in zip(times, times[1:]))
        print("Broker restart: down %.1f s; broker start -> online %s, -> first state %s; rows "
              "missing at the subscriber across it: %d" % (up - down, ms(online - up),
                                                           ms(state - up), missing))
        reader.send_signal(signal.SIGINT)
        reader.wait(timeout=20)

        # 4: CPU and memory, with both and without.
        for name, extra in (("neither", []),
                            ("both", ["--mqtt", "mqtt://127.0.0.1:%d" % broker.port,
                                      "--modbus", ":0"])):
            proc, _, port = start(o, sim, folder, extra)
            poller = None
            if port:
                poller = spawn(["mbpoll", "-m", "tcp", "-a", "1", "-p", str(port), "-0", "-t",
                                "3", "-r", "0", "-c", "8", "-l", "1000", "127.0.0.1"],
                               stdout=subprocess.DEVNULL)
            time.sleep(2)
            c0 = cpu_ns(proc.pid)
            time.sleep(o.seconds)
            used = cpu_ns(proc.pid) - c0
            rss = peak_rss_kib(proc.pid)
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=20)
            if poller:
                poller.terminate()
            print("CPU and memory, %s: %.1f ms in %.0f s (%.3f %% of one core), peak RSS %.2f MiB"
                  % (name, used / 1e6, o.seconds, used / 1e7 / o.seconds, rss / 1024))
    finally:
        stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
