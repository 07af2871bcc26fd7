#!/usr/bin/env python3
"""wexread as a service, end to end against w316sim on a pty.

  config   one config file: a named, calibrated channel in degrees F whose name
           holds a quote, a backslash, a comma, an equals sign and a space;
           the name, value and unit in the CSV header and rows, the JSON
           lines' "names", an InfluxDB tag read back from a real influxd (when
           installed), a Prometheus label promtool accepts (in Celsius), and
           the page's /history; options on the command line override the
           file; bad files end with status 2 and name the file and line
  notify   sd_notify over a datagram socket bound here (NOTIFY_SOCKET,
           WATCHDOG_USEC, WATCHDOG_PID): READY=1 only with the first stored
           rows, STATUS= with rows and modules, WATCHDOG=1 at half the
           interval, STOPPING=1 at the end
  rotate   the file moved away and SIGHUP, five times while rows come: every
           row in exactly one file, whole, in order, none missing; each new
           file starts with the CSV header

Exit 77: a program this needs is missing (the reason on standard output).
"""
import argparse
import csv
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wexread_e2e as e2e  # noqa: E402  (the simulator, processes, HTTP)

check = e2e.check
NAME = 'oven "top" \\ left, x=1'  # a quote, a backslash, a comma, '=' and spaces
OFFSET = 1.5
GAIN = 2.0


def fahrenheit(raw):
    c = e2e.celsius(raw)
    return None if c is None else round((c * 9 / 5 + 32) * GAIN + OFFSET, 6)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def config_text(device):
    return ('# a plant\ndevice = "%s"\nperiod = 700\nmiss-threshold = 3\nunit = "F"\n'
            'format = "influx"\n\n[[channel]]\nmodule = "01:00"\nchannel = 3\n'
            "name = '%s'\ngain = %s\noffset = %s\n" % (device, NAME, GAIN, OFFSET))


def test_config(o, folder):
    sim = e2e.Sim(o.sim, folder, [])
    want = [fahrenheit(e2e.default_raw(0, c)) if c == 3 else
            round(e2e.celsius(e2e.default_raw(0, c)) * 9 / 5 + 32, 6) for c in range(8)]
    # An alarm on the named channel, its limit in the file's unit against the
    # calibrated value (raised at once); a module alarm and the module's low
    # limit on its other channels, which stay ok.
    high = want[3] - 10
    conf = write(os.path.join(folder, "lab.toml"), config_text(sim.link) +
                 'high = %s\n\n[[module]]\nmodule = "01:00"\ndown_after = 30\nlow = -40\n' % high)

    # Bad files: status 2, the file and the line named, nothing run.
    bad = {
        "period = 700\nspeed = 3\n": r"bad\.toml:2: unknown key 'speed'",
        "period = 50\n": r"bad\.toml:1: --period: .*700",
        'unit = "R"\n': r"bad\.toml:1: --unit",
        "period = [1,\n": r"bad\.toml:1: ",
        "quiet = 1\n": r"bad\.toml:1: quiet: true or false",
        '[[channel]]\nmodule = "01:00"\nchannel = 8\n': r"bad\.toml:3: channel\.channel",
        '[[channel]]\nmodule = "01:07"\nchannel = 0\n': r"bad\.toml:2: .*01:07 is not a module",
        '[[channel]]\nmodule = "01:00"\nchannel = 0\nname = "a\\nb"\n': r"bad\.toml:4: channel\.name",
        '[[channel]]\nmodule = "01:00"\nchannel = 0\ngain = "x"\n': r"bad\.toml:4: channel\.gain",
        '[[channel]]\nmodule = "01:00"\nchannel = 0\ncolour = 1\n':
            r"bad\.toml:4: unknown key 'channel\.colour'",
        '[[channel]]\nmodule = "01:00"\nchannel = 0\nhysteresis = 1\n':
            r"bad\.toml:1: channel: an alarm needs high or low",
        '[[module]]\nmodule = "01:00"\n': r"bad\.toml:1: module: down_after, high or low",
    }
    for text, pattern in bad.items():
        path = write(os.path.join(folder, "bad.toml"), text)
        code, out, err = e2e.run(o.wexread, ["--config", path, "--count", "1"], timeout=10)
        check(code == 2 and out == "" and re.search(pattern, err) and err.count("\n") == 1,
              "config %r: %d %r" % (text, code, err))

    # CSV (the command line overrides the file's format), then JSON lines with
    # the page and the metrics.
    csv_path = os.path.join(folder, "rows.csv")
    code, _, err = e2e.run(o.wexread, ["--config", conf, "--format", "csv", "--output", csv_path,
                                       "--count", "3"])
    check(code == 0, "CSV run: %d %s" % (code, err))
    with open(csv_path, newline="") as f:
        rows = list(csv.reader(f))
    check(rows[0] == ["time", "port", "module", "up", "ch0", "ch1", "ch2", NAME, "ch4", "ch5",
                      "ch6", "ch7", "unit"], "CSV header %r" % rows[0])
    ups = [r for r in rows[1:] if r[3] == "1"]
    check(ups and all([float(v) for v in r[4:12]] == want and r[12] == "F" for r in ups),
          "CSV rows %r, want %r" % (rows[1:], want))

    textfile = os.path.join(folder, "wexread.prom")
    jsonl_path = os.path.join(folder, "rows.jsonl")
    reader = e2e.spawn([o.wexread, "--config", conf, "--format", "jsonl", "--output", jsonl_path,
                        "--listen", "127.0.0.1:0", "--textfile", textfile],
                       stderr=subprocess.PIPE, text=True)
    port = int(re.search(r":(\d+)/metrics", reader.stderr.readline()).group(1))
    base = "http://127.0.0.1:%d" % port
    e2e.wait_for("rows on the page", lambda: '"up":[1]' in e2e.http(base + "/history")[1], 30)
    history = json.loads(e2e.http(base + "/history")[1])
    check(history["names"] == [None] * 3 + [NAME] + [None] * 4 and history["unit"] == "F",
          "/history names and unit: %r %r" % (history["names"], history["unit"]))
    check([r["c"] for r in history["rows"] if r["up"] == [1]][-1] == want,
          "/history values %r" % history["rows"][-1])
    alarms = {(r["kind"], r["name"]): r for r in json.loads(e2e.http(base + "/alarms")[1])["rules"]}
    check(alarms.get(("high", NAME), {}).get("state") == "raised" and
          alarms[("high", NAME)]["limit"] == high and
          [r["state"] for (kind, _), r in alarms.items() if kind == "down"] == ["ok"] and
          # the module's low limit on each of its channels without one of their own
          sorted(r["channel"] for (kind, _), r in alarms.items() if kind == "low") ==
          [0, 1, 2, 4, 5, 6, 7] and
          all(r["state"] == "ok" for (kind, _), r in alarms.items() if kind == "low"),
          "alarms from the file: %r" % alarms)
    status, exposition = e2e.http(base + "/metrics")
    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=10) == 0, "SIGTERM: %s" % reader.returncode)
    label = 'name="oven \\"top\\" \\\\ left, x=1"'
    line = [l for l in exposition.splitlines()
            if l.startswith("wexlink_temperature_celsius") and 'channel="3"' in l]
    check(len(line) == 1 and label in line[0], "metrics line %r" % line)
    celsius = (fahrenheit(e2e.default_raw(0, 3)) - 32) * 5 / 9
    check(abs(float(line[0].split()[-1]) - celsius) < 1e-5, "metrics value %r" % line[0])
    if shutil.which("promtool"):
        for text in (exposition, open(textfile).read()):
            lint = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                                  capture_output=True)
            check(lint.returncode == 0, "promtool: %s%s" % (lint.stdout, lint.stderr))
    records = [json.loads(l) for l in open(jsonl_path)]
    check(all(r["names"] == [None] * 3 + [NAME] + [None] * 4 for r in records) and
          [r["fahrenheit"] for r in records if r["up"]][-1] == want, "JSON lines %r" % records[-1])

    # Influx: from the file's format; the tag read back by a real server.
    code, lines, err = e2e.run(o.wexread, ["--config", conf, "--count", "3"])
    check(code == 0, "influx run: %d %s" % (code, err))
    named = [l for l in lines.splitlines() if ",channel=3," in l]
    check(named and all(",unit=F" in l and " value=" in l for l in named), "influx lines " + lines)
    influx = "skipped (no influxd)"
    if shutil.which("influxd"):
        influx = check_influx(folder, lines, fahrenheit(e2e.default_raw(0, 3)))
    print("config: %d bad files refused; CSV, JSON lines, /history, metrics%s; influx %s" %
          (len(bad), " (promtool)" if shutil.which("promtool") else "", influx))


def check_influx(folder, lines, value):
    http_port, rpc_port = e2e.free_port(), e2e.free_port()
    config = write(os.path.join(folder, "influxdb.conf"),
                   'reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n'
                   '[meta]\n  dir = "%s/meta"\n[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n'
                   '[monitor]\n  store-enabled = false\n[http]\n  bind-address = "127.0.0.1:%d"\n'
                   '  log-enabled = false\n' % (rpc_port, folder, folder, folder, http_port))
    log = open(os.path.join(folder, "influxd.log"), "w")
    server = e2e.spawn(["influxd", "run", "-config", config], stdout=log, stderr=log)
    base = "http://127.0.0.1:%d" % http_port
    e2e.wait_for("InfluxDB", lambda: e2e.http(base + "/ping")[0] == 204, 30)
    e2e.http(base + "/query", urllib.parse.urlencode({"q": "CREATE DATABASE wex"}).encode())
    status, body = e2e.http(base + "/write?db=wex", lines.encode())
    check(status == 204, "influx write: %s %s" % (status, body))
    query = urllib.parse.urlencode({"db": "wex", "q": 'SHOW TAG VALUES FROM wexlink WITH KEY = "name"'})
    got = json.loads(e2e.http(base + "/query?" + query)[1])["results"][0]["series"][0]["values"]
    check(got == [["name", NAME]], "influx tag values %r" % got)
    query = urllib.parse.urlencode({"db": "wex", "q": "SELECT value, unit FROM wexlink WHERE channel = '3'"})
    got = json.loads(e2e.http(base + "/query?" + query)[1])["results"][0]["series"][0]["values"]
    check(all(v[1:] == [value, "F"] for v in got), "influx values %r" % got)
    server.terminate()
    server.wait(timeout=20)
    return "tag read back"


def test_notify(o, folder):
    sim = e2e.Sim(o.sim, folder, ["--modules", "2", "--silent", "1"])
    path = os.path.join(folder, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(1)
    env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="2000000")
    out = os.path.join(folder, "rows.csv")
    # WATCHDOG_PID is the service's own PID, as systemd sets it: the shell's,
    # which exec makes wexread's.
    reader = e2e.spawn(["sh", "-c", 'WATCHDOG_PID=$$ exec "$@"', "sh", o.wexread, "--device",
                        sim.link, "--modules", "2", "--period", "700", "--miss-threshold", "1",
                        "--output", out], env=env)
    started = time.monotonic()
    messages = []  # (seconds since the start, fields)
    rows_at_ready = None
    while time.monotonic() - started < 12:
        try:
            data = sock.recv(4096).decode()
        except socket.timeout:
            continue
        fields = dict(l.split("=", 1) for l in data.splitlines())
        messages.append((time.monotonic() - started, fields))
        if "READY" in fields and rows_at_ready is None:
            rows_at_ready = sum(1 for _ in open(out)) - 1
    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=10) == 0, "SIGTERM: %s" % reader.returncode)
    try:
        while True:
            messages.append((time.monotonic() - started, dict(
                l.split("=", 1) for l in sock.recv(4096).decode().splitlines())))
    except socket.timeout:
        pass

    ready = [t for t, f in messages if f.get("READY") == "1"]
    # Two modules at 700 ms: the first row written is the run's second, 2.8 s
    # after the start; READY=1 never comes before it.
    check(len(ready) == 1 and ready[0] > 2.5 and rows_at_ready and rows_at_ready >= 2,
          "READY=1 at %r with %r CSV lines written" % (ready, rows_at_ready))
    statuses = [f["STATUS"] for _, f in messages if "STATUS" in f]
    check(any(re.fullmatch(r"rows \d+, dropped 0, modules answering 1/2", s) for s in statuses),
          "statuses %r" % statuses)
    pings = [t for t, f in messages if f.get("WATCHDOG") == "1"]
    gaps = [b - a for a, b in zip(pings, pings[1:])]
    check(len(pings) >= 8 and pings[0] < 2 and max(gaps) < 1.9,
          "watchdog pings at %r" % [round(t, 2) for t in pings])
    check(any(f.get("EXTEND_TIMEOUT_USEC") for t, f in messages if t < ready[0]),
          "the start's time-out extended while waiting for rows")
    check(messages[-1][1].get("STOPPING") == "1", "last message %r" % (messages[-1],))
    print("notify: READY=1 after %.1f s with %d rows; %d watchdog pings, longest gap %.2f s" %
          (ready[0], rows_at_ready, len(pings), max(gaps)))


def test_rotate(o, folder):
    sim = e2e.Sim(o.sim, folder, [])
    path = os.path.join(folder, "rows.csv")
    reader = e2e.spawn([o.wexread, "--device", sim.link, "--period", "700", "--format", "csv",
                        "--output", path])
    moved = []
    for i in range(5):
        time.sleep(random.uniform(1.5, 4.5))
        os.rename(path, "%s.%d" % (path, i))
        moved.append("%s.%d" % (path, i))
        reader.send_signal(signal.SIGHUP)
    time.sleep(4)
    check(reader.poll() is None, "SIGHUP ended the run")
    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=10) == 0, "SIGTERM: %s" % reader.returncode)

    header = "time,port,module,up," + ",".join("ch%d" % c for c in range(8)) + "\n"
    times = []
    for name in moved + [path]:
        with open(name) as f:
            text = f.read()
        check(text.startswith(header) and text.count(header) == 1, name + ": header")
        check(text.endswith("\n"), name + ": ends inside a row")
        for line in text.splitlines()[1:]:
            check(len(line.split(",")) == 12, name + ": a broken row " + repr(line))
            times.append(e2e.parse_time(line.split(",")[0]))
    steps = [round((b - a) / 0.7) for a, b in zip(times, times[1:])]
    # At least 11.5 s of rows at 0.7 s (the pauses are random): 14 or more.
    check(len(times) >= 12 and steps == [1] * len(steps),
          "rows across the files: %d, steps %r" % (len(times), steps))
    print("rotate: %d rows in %d files, none lost or repeated" % (len(times), len(moved) + 1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["config", "notify", "rotate"])
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    o = parser.parse_args()
    case = {"config": test_config, "notify": test_notify, "rotate": test_rotate}[o.case]
    return e2e.run_case(lambda folder: case(o, folder), "wexread-service-")


if __name__ == "__main__":
    sys.exit(main())
