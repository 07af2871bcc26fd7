#!/usr/bin/env python3
"""wexread end to end: the real library against w316sim on a pty, and real
servers from Debian's packages started here on free loopback ports.

  files       CSV read back by a CSV parser (header once across appends), JSON
              lines by a JSON parser while a module goes silent and comes back,
              a reader that stops reading (the rows the library dropped are
              counted, and match the gap in the row times), the table and the
              status line on a terminal, exit statuses 2 and 3
  prometheus  a Prometheus server scraping --listen returns the simulator's
              temperatures, a silent module as down and without values, then
              back; promtool accepts the exposition and the --textfile
  influx      InfluxDB 1.x takes the --format influx lines through /write and
              returns them through /query
  web         headless Chromium, driven through chromedriver's WebDriver API,
              shows the simulator's values on the page served by --listen; a
              changed value comes without a reload within two rows, a silenced
              module shows as not answering, the plot has drawn points, and
              the page reconnects by itself when wexread is restarted

Every process started here dies with this script (PR_SET_PDEATHSIG) and is
stopped at its end whatever happens. Exit 77: a server is missing or cannot
start here (the reason on standard output).
"""
import argparse
import csv
import ctypes
import fcntl
import json
import os
import pty
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

SKIP = 77
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging",
                     "prometheus", "wexlink.rules.yml")
_libc = ctypes.CDLL(None, use_errno=True)
_children = []


class Skip(Exception):
    pass


def _die_with_parent():
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def spawn(args, **kw):
    p = subprocess.Popen(args, preexec_fn=_die_with_parent, **kw)
    _children.append(p)
    return p


def stop_all():
    for p in _children:
        if p.poll() is None:
            p.terminate()
    for p in _children:
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


def http(url, data=None):
    try:
        with urllib.request.urlopen(url, data=data, timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
    except OSError:
        return None, ""


def check(condition, message):
    if not condition:
        raise AssertionError(message)


# ---- the simulator and the values it gives --------------------------------


class Sim:
    def __init__(self, binary, folder, args):
        self.link = os.path.join(folder, "com-%d" % len(_children))
        self.proc = spawn([binary, "--link", self.link] + args, stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self.proc.stdout.readline()
        check(first.startswith("PTY "), "w316sim said " + repr(first))

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        check(answer.startswith("ok"), "w316sim: %s -> %s" % (line, answer))


def celsius(raw):
    """The temperature wexread must report for a raw value, or None."""
    return (raw - 32000) / 16 if 31120 <= raw <= 34000 else None


def default_raw(module, channel):
    return 32320 + 16 * module + 2 * channel


# Module 0: edges of the range and both sides of zero; module 1: defaults.
RAW0 = {0: 31999, 1: 31120, 2: 31119, 3: 34000, 4: 34001, 5: 31832}
SIM_RAW_ARGS = [a for c, v in RAW0.items() for a in ("--raw", "0.%d=%d" % (c, v))]


def expected(module):
    raws = [RAW0.get(c, default_raw(0, c)) if module == 0 else default_raw(module, c)
            for c in range(8)]
    return [celsius(r) for r in raws]


def parse_time(text):
    check(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", text), "time " + text)
    return time.mktime(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) - time.timezone + \
        int(text[20:23]) / 1000


def run(wexread, args, timeout=30, **kw):
    p = spawn([wexread] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    out, err = p.communicate(timeout=timeout)
    return p.returncode, out, err


# ---- files: CSV, JSON lines, the terminal, exit statuses ----------------------


def screen_of(stream):
    """What a terminal shows after `stream` (CR, LF, erase to end of line)."""
    lines, col = [""], 0
    for token in re.findall(r"\x1b\[K|\r|\n|[^\r\n\x1b]+", stream):
        if token == "\r":
            col = 0
        elif token == "\n":
            lines.append("")
            col = 0
        elif token == "\x1b[K":
            lines[-1] = lines[-1][:col]
        else:
            lines[-1] = lines[-1][:col] + token + lines[-1][col + len(token):]
            col += len(token)
    return lines


def read_pty(master, sink):
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            return
        if not data:
            return
        sink.append(data.decode())


def test_files(o, folder):
    code, out, err = run(o.wexread, ["--period", "5"])
    check(code == 2 and out == "" and err.count("\n") == 1 and "--period" in err,
          "usage error: %d %r" % (code, err))
    code, out, err = run(o.wexread, ["--version"])
    check(code == 0 and re.fullmatch(r"wexread \d+\.\d+\.\d+\n", out), "--version: " + out)
    code, out, err = run(o.wexread, ["--device", folder + "/absent", "--count", "1"])
    check(code == 3 and out == "" and
          "StartIntr failed: 106, the serial port could not be opened" in err, "refusal: " + err)

    # JSON lines from a module that goes silent and comes back, read meanwhile.
    sim_b = Sim(o.sim, folder, ["--temp", "0.0=-0.5"])
    jsonl = spawn([o.wexread, "--device", sim_b.link, "--period", "700", "--miss-threshold", "1",
                   "--format", "jsonl"], stdout=subprocess.PIPE, text=True, bufsize=1)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l) for l in jsonl.stdout], daemon=True).start()

    # A reader that stops reading: its pipe is full from the start, the
    # library's ring (one buffer) fills, and rows are dropped until it reads.
    sim_d = Sim(o.sim, folder, [])
    pipe_r, pipe_w = os.pipe()
    fcntl.fcntl(pipe_w, 1031, 4096)  # F_SETPIPE_SZ: one page
    os.set_blocking(pipe_w, False)
    try:
        while True:
            os.write(pipe_w, b"\n" * 256)
    except BlockingIOError:
        pass
    os.set_blocking(pipe_w, True)
    stalled = spawn([o.wexread, "--device", sim_d.link, "--period", "700", "--buffers", "1",
                     "--format", "jsonl"], stdout=pipe_w, stderr=subprocess.PIPE, text=True)
    os.close(pipe_w)
    stalled_since = time.monotonic()

    # CSV to a new file, status line on a terminal.
    sim_a = Sim(o.sim, folder, ["--modules", "2"] + SIM_RAW_ARGS)
    path = os.path.join(folder, "rows.csv")
    terminals = []
    for _ in range(2):
        master, slave = pty.openpty()
        shown = []
        reader = threading.Thread(target=read_pty, args=(master, shown), daemon=True)
        reader.start()
        terminals.append((slave, shown, reader))
    first = spawn([o.wexread, "--device", sim_a.link, "--modules", "2", "--period", "700",
                   "--count", "5", "--format", "csv", "--output", path], stderr=terminals[0][0])
    # The table on a terminal, status and data on the same screen.
    sim_c = Sim(o.sim, folder, [])
    table = spawn([o.wexread, "--device", sim_c.link, "--period", "700", "--count", "5"],
                  stdout=terminals[1][0], stderr=terminals[1][0])
    for slave, _, _ in terminals:
        os.close(slave)

    records = []

    def next_record(timeout):
        record = json.loads(lines.get(timeout=timeout))
        records.append(record)
        return record

    while len(records) < 5:
        next_record(10)
    sim_b.command("silent 0")
    while next_record(10)["up"]:
        pass
    sim_b.command("answer 0")
    while not next_record(10)["up"]:
        pass
    jsonl.send_signal(signal.SIGINT)
    check(jsonl.wait(timeout=10) == 0, "SIGINT: exit status %s" % jsonl.returncode)
    records += [json.loads(l) for l in jsonl.stdout]

    # Reads from 10.5 s on: buffers at 3.5 s (taken, its first row blocked),
    # 7 s (the ring full), rows dropped until that one is taken out.
    time.sleep(max(0, stalled_since + 10.5 - time.monotonic()))
    stalled_lines = []
    with os.fdopen(pipe_r) as f:
        while len(stalled_lines) < 15:
            line = f.readline()
            check(line, "the stalled run ended early")
            if line.strip():
                stalled_lines.append(json.loads(line))
        stalled.send_signal(signal.SIGINT)
        stalled_lines += [json.loads(l) for l in f if l.strip()]
    check(stalled.wait(timeout=10) == 0, "stalled run: exit status %s" % stalled.returncode)
    said = re.findall(r"(\d+) rows dropped by the library", stalled.stderr.read())
    dropped = int(said[0]) if len(said) == 1 else -1
    times = [parse_time(r["time"]) for r in stalled_lines]
    gaps = [round((b - a) / 0.7) - 1 for a, b in zip(times, times[1:])]
    check(dropped >= 3 and gaps[9] == dropped and gaps[:9] + gaps[10:] == [0] * (len(gaps) - 1),
          "dropped %d, rows missing between rows %r" % (dropped, gaps))

    check(first.wait(timeout=20) == 0, "CSV run: exit status %s" % first.returncode)
    second = spawn([o.wexread, "--device", sim_a.link, "--modules", "2", "--period", "700",
                    "--count", "2", "--output", path])
    check(second.wait(timeout=20) == 0, "appending run: exit status %s" % second.returncode)
    check(table.wait(timeout=20) == 0, "table run: exit status %s" % table.returncode)

    # CSV: one header, 7 rows of 2 modules, the simulator's values.
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    check(rows[0] == ["time", "port", "module", "up"] + ["ch%d" % c for c in range(8)],
          "header " + repr(rows[0]))
    check(len(rows) == 1 + 7 * 2 and all(r[0] != "time" for r in rows[1:]),
          "%d lines in %s" % (len(rows), path))
    for i, r in enumerate(rows[1:]):
        module = i % 2
        check(r[2] == "01:%02X" % module and r[1] == "1", "row %d: %r" % (i, r))
        values = [float(v) if v else None for v in r[4:]]
        if r[3] == "1":
            check(values == expected(module), "row %d: %r, not %r" % (i, values, expected(module)))
        else:  # the first row of a run holds nothing from the last module polled
            check(values == [None] * 8, "row %d: down with values %r" % (i, r))
    ups = [r[3] for r in rows[1:]]
    check(ups.count("0") <= 4 and ups[2:10].count("0") == 0, "up column " + repr(ups))
    times = [parse_time(r[0]) for r in rows[1:11:2]]
    check(all(1.3 <= b - a <= 1.5 for a, b in zip(times, times[1:])), "row times %r" % times)
    check(abs(times[-1] - time.time()) < 60, "row times are not now: %r" % times)

    # JSON lines: values, then nulls while silent, then values again.
    ups = [r["up"] for r in records]
    down = ups.index(False, 1)
    check(ups[down:].index(True) > 0 and all(ups[1:down]), "up in the JSON lines: %r" % ups)
    want = [-0.5] + [celsius(default_raw(0, c)) for c in range(1, 8)]
    for r in records[1:]:
        check(r["module"] == "01:00" and r["port"] == 1, "record %r" % r)
        check(r["celsius"] == (want if r["up"] else [None] * 8), "record %r" % r)
    times = [parse_time(r["time"]) for r in records]
    check(all(0.6 <= b - a <= 0.8 for a, b in zip(times, times[1:])), "JSON times %r" % times)

    # The terminals: the status line alone, and never inside the data.
    screens = []
    for _, shown, reader in terminals:
        reader.join(timeout=5)
        screens.append([l for l in screen_of("".join(shown)) if l.strip()])
    check(screens[0] == ["rows 5, dropped 0, modules answering 2/2"], "status: %r" % screens[0])
    screen = screens[1]
    check(len(screen) == 7 and screen[0].split() == ["time", "(UTC)", "module"] +
          ["ch%d" % c for c in range(8)] and screen[6] == "rows 5, dropped 0, modules answering 1/1",
          "terminal:\n" + "\n".join(screen))
    for line in screen[2:6]:
        check(re.fullmatch(r"\S+Z  01:00( +-?\d+\.\d{4}){8}", line), "table line " + repr(line))
    data = screen[1:6]
    print("files: %d CSV rows, %d JSON lines, %d table lines; silent at line %d; %d dropped" %
          (len(rows) - 1, len(records), len(data), down, dropped))


# ---- Prometheus ----------------------------------------------------------------


def promql(base, query):
    status, body = http(base + "/api/v1/query?" + urllib.parse.urlencode({"query": query}))
    if status != 200:
        return None
    return {tuple(sorted(r["metric"].items())): float(r["value"][1])
            for r in json.loads(body)["data"]["result"]}


def temperatures(base, module):
    found = promql(base, 'wexlink_temperature_celsius{module="%s"}' % module) or {}
    return {int(dict(k)["channel"]): v for k, v in found.items()}


def test_prometheus(o, folder):
    for tool in ("prometheus", "promtool"):
        if not shutil.which(tool):
            raise Skip("%s not installed (Debian package prometheus)" % tool)
    addresses = ["01:00", "01:05"]
    sim = Sim(o.sim, folder, ["--address", "01:00", "--address", "01:05"] + SIM_RAW_ARGS)
    textfile = os.path.join(folder, "wexread.prom")
    reader = spawn([o.wexread, "--device", sim.link, "--address", ",".join(addresses),
                    "--period", "700", "--miss-threshold", "1", "--listen", "127.0.0.1:0",
                    "--textfile", textfile, "--format", "jsonl", "--output",
                    os.path.join(folder, "rows.jsonl")], stderr=subprocess.PIPE, text=True)
    said = reader.stderr.readline()
    port = int(re.fullmatch(r"wexread: metrics at http://127\.0\.0\.1:(\d+)/metrics\n", said).group(1))

    prom_port = free_port()
    with open(os.path.join(folder, "prometheus.yml"), "w") as f:
        f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                "rule_files:\n  - %s\n"
                "scrape_configs:\n  - job_name: wexread\n    static_configs:\n"
                "      - targets: ['127.0.0.1:%d']\n" % (RULES, port))
    log = open(os.path.join(folder, "prometheus.log"), "w")
    server = spawn(["prometheus", "--config.file", os.path.join(folder, "prometheus.yml"),
                    "--storage.tsdb.path", os.path.join(folder, "tsdb"),
                    "--web.listen-address", "127.0.0.1:%d" % prom_port], stdout=log, stderr=log)
    base = "http://127.0.0.1:%d" % prom_port
    try:
        wait_for("Prometheus to be ready", lambda: http(base + "/-/ready")[0] == 200, 30)
    except AssertionError:
        with open(log.name) as f:
            raise Skip("prometheus did not start: " + f.read()[-400:])

    want = {m: {c: v for c, v in enumerate(expected(i)) if v is not None}
            for i, m in enumerate(addresses)}
    for m in addresses:
        wait_for("Prometheus to hold module %s's temperatures" % m,
                 lambda m=m: temperatures(base, m) == want[m], 30)
    up = lambda: {dict(k)["module"]: v for k, v in (promql(base, "wexlink_module_up") or {}).items()}
    check(up() == {"01:00": 1.0, "01:05": 1.0}, "module_up %r" % up())
    check(promql(base, 'up{job="wexread"}') != {}, "scrape target")
    # The shipped alert rules, loaded and evaluated without error.
    def rules_evaluated():
        groups = json.loads(http(base + "/api/v1/rules")[1])["data"]["groups"]
        rules = [r for g in groups for r in g["rules"]]
        return len(rules) == 5 and all(r["health"] == "ok" and
                                       not r["lastEvaluation"].startswith("0001") for r in rules)
    wait_for("the 5 shipped alert rules loaded and evaluated", rules_evaluated, 20)

    status, exposition = http("http://127.0.0.1:%d/metrics" % port)
    check(status == 200, "/metrics answered %s" % status)
    for text, name in ((exposition, "/metrics"), (open(textfile).read(), textfile)):
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                              capture_output=True)
        check(lint.returncode == 0, "promtool on %s: %s%s" % (name, lint.stdout, lint.stderr))
    check("wexlink_rows_total" in open(textfile).read(), "textfile " + textfile)

    sim.command("silent 1")
    wait_for("module 01:05 down", lambda: up().get("01:05") == 0.0, 30)
    check(temperatures(base, "01:05") == {}, "values of a silent module: %r" %
          temperatures(base, "01:05"))
    check(temperatures(base, "01:00") == want["01:00"], "the other module")
    sim.command("answer 1")
    wait_for("module 01:05 back", lambda: up().get("01:05") == 1.0, 30)
    wait_for("its values back", lambda: temperatures(base, "01:05") == want["01:05"], 10)
    rows = promql(base, "wexlink_rows_total")
    dropped = promql(base, "wexlink_rows_dropped_total")
    stamp = promql(base, "wexlink_last_row_timestamp_seconds")
    check(list(dropped.values()) == [0.0] and list(rows.values())[0] >= 10, "counts")
    check(abs(list(stamp.values())[0] - time.time()) < 15, "last row time %r" % stamp)

    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=10) == 0, "SIGTERM: exit status %s" % reader.returncode)
    server.terminate()
    check(server.wait(timeout=20) == 0, "prometheus stopped with %s" % server.returncode)
    print("prometheus: %d rows scraped, module 01:05 down and back" % list(rows.values())[0])


# ---- the web page in a real browser -------------------------------------------------


class Browser:
    """Headless Chromium through chromedriver's WebDriver HTTP API."""

    def __init__(self, folder):
        port = free_port()
        self.log = open(os.path.join(folder, "chromedriver.log"), "w")
        spawn(["chromedriver", "--port=%d" % port], stdout=self.log, stderr=self.log)
        self.base = "http://127.0.0.1:%d" % port
        try:
            wait_for("chromedriver", lambda: http(self.base + "/status")[0] == 200, 20)
        except AssertionError:
            raise Skip("chromedriver did not start")
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--user-data-dir=" + os.path.join(folder, "chromium-profile")]
        caps = {"capabilities": {"alwaysMatch": {"browserName": "chrome", "goog:chromeOptions": {
            "binary": shutil.which("chromium"), "args": args}}}}
        status, body = self.call("POST", "/session", caps, base=True)
        if status != 200:
            raise Skip("chromium did not start: " + body[:400])
        self.session = json.loads(body)["value"]["sessionId"]

    def call(self, method, path, payload=None, base=False):
        url = self.base + ("" if base else "/session/" + self.session) + path
        data = json.dumps(payload).encode() if payload is not None else None
        request = urllib.request.Request(url, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as r:
                return r.status, r.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def value(self, method, path, payload=None):
        status, body = self.call(method, path, payload)
        check(status == 200, "WebDriver %s %s: %s %s" % (method, path, status, body[:300]))
        return json.loads(body)["value"]

    def js(self, script, *args):
        return self.value("POST", "/execute/sync", {"script": script, "args": list(args)})

    def screenshot(self, path, width, height):
        self.value("POST", "/window/rect", {"width": width, "height": height})
        time.sleep(1.5)  # the plot redraws for the new width
        import base64
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.value("GET", "/screenshot")))

    def quit(self):
        self.call("DELETE", "")


FIGURES_JS = """
return [...document.querySelectorAll('.module')].map(m => ({
  down: m.classList.contains('down'), state: m.querySelector('.state').textContent,
  figures: [...m.querySelectorAll('.figure')].map(f => f.textContent)}));"""

# Saturated pixels on the plot's canvases: the series' points and lines (the
# axes and the grid are grey).
PLOT_PIXELS_JS = """
let n = 0;
for (const c of document.querySelectorAll('#plot canvas')) {
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  for (let i = 0; i < d.length; i += 4)
    if (d[i + 3] > 0 && Math.max(d[i], d[i + 1], d[i + 2]) - Math.min(d[i], d[i + 1], d[i + 2]) > 80) ++n;
}
return n;"""


def page_text(values):
    return ["No" if v is None else str(float(v)) for v in values]


def test_web(o, folder):
    for tool in ("chromium", "chromedriver"):
        if not shutil.which(tool):
            raise Skip("%s not installed (Debian packages chromium, chromium-driver)" % tool)
    addresses = ["01:00", "01:05"]
    sim = Sim(o.sim, folder, ["--address", "01:00", "--address", "01:05"] + SIM_RAW_ARGS)
    args = [o.wexread, "--device", sim.link, "--address", ",".join(addresses), "--period", "700",
            "--miss-threshold", "1", "--output", os.path.join(folder, "rows.csv")]
    reader = spawn(args + ["--listen", ":0"], stderr=subprocess.PIPE, text=True)
    reader.stderr.readline()
    said = reader.stderr.readline()
    found = re.fullmatch(r"wexread: live page at (http://127\.0\.0\.1:(\d+)/) \(six hours of "
                         r"rows kept: (\d+) KiB\)\n", said)
    check(found, "--listen said " + repr(said))
    url, port = found.group(1), int(found.group(2))
    check(http(url + "history?minutes=0")[0] == 400 and http(url + "history?minutes=1x")[0] == 400,
          "/history takes only 1 to 360 minutes")
    row_ms = 2 * 700

    browser = Browser(folder)
    try:
        browser.value("POST", "/url", {"url": url})
        loaded_at = browser.js("return window.wexread.loadedAt")
        want = [page_text(expected(0)), page_text(expected(1))]
        wait_for("the page to show the simulator's values", lambda: [
            m["figures"] for m in browser.js(FIGURES_JS)] == want, 30)
        check([m["state"] for m in browser.js(FIGURES_JS)] == ["answering"] * 2, "states")

        # A changed value: on the page without a reload, in a row stored at most
        # two rows after the change.
        changed_at = time.time() * 1000
        sim.command("temp 1.6 -12.5")
        want[1][6] = "-12.5"
        wait_for("the changed value on the page",
                 lambda: browser.js(FIGURES_JS)[1]["figures"] == want[1], 30)
        rows = browser.js("return window.wexread.rows().map(r => [r.t, r.c[14]])")
        first = next(t for t, v in rows if v == -12.5)
        check(all(v != -12.5 for t, v in rows if t < first), "rows in order")
        check(first <= changed_at + 2.3 * row_ms,  # 0.3: the row clock's jitter
              "the change came %.0f ms (%.1f rows) after it was made" %
              (first - changed_at, (first - changed_at) / row_ms))
        check(browser.js("return window.wexread.loadedAt") == loaded_at, "the page was reloaded")

        sim.command("silent 1")
        wait_for("module 01:05 shown as not answering", lambda: browser.js(FIGURES_JS)[1] == {
            "down": True, "state": "not answering", "figures": ["No"] * 8}, 30)
        check(browser.js(FIGURES_JS)[0]["figures"] == want[0], "the other module")
        wait_for("the plot to draw", lambda: browser.js("return window.wexread.drawn") >= 10, 10)
        pixels = browser.js(PLOT_PIXELS_JS)
        check(pixels > 100, "the plot's canvas has %d coloured pixels" % pixels)
        sim.command("answer 1")

        # wexread restarted on the same port: the page reconnects by itself and
        # carries on with the rows of the new run.
        reader.send_signal(signal.SIGTERM)
        check(reader.wait(timeout=10) == 0, "SIGTERM: exit status %s" % reader.returncode)
        wait_for("the page to see the stream end",
                 lambda: browser.js("return document.getElementById('link').textContent")
                 == "reconnecting", 15)
        events = browser.js("return window.wexread.events")
        spawn(args + ["--listen", "127.0.0.1:%d" % port], stderr=subprocess.DEVNULL)
        wait_for("rows of the new run on the page",
                 lambda: browser.js("return window.wexread.events") > events, 30)
        check(browser.js("return [window.wexread.reconnects, window.wexread.loadedAt]") ==
              [1, loaded_at], "reconnected once, without a reload")
        wait_for("module 01:05 back", lambda: browser.js(FIGURES_JS)[1]["state"] == "answering", 20)

        # The span of ten minutes: the plot is drawn anew from /history.
        browser.js("const s = document.getElementById('span'); s.value = '10';"
                   "s.dispatchEvent(new Event('change'));")
        wait_for("the plot of ten minutes", lambda: browser.js(
            "return window.wexread.drawn >= 10 && document.getElementById('plot').className == ''"), 10)
        shots = o.shots or folder
        browser.screenshot(os.path.join(shots, "wexread-web-desktop.png"), 1280, 900)
        browser.screenshot(os.path.join(shots, "wexread-web-phone.png"), 390, 844)
        check(os.path.getsize(os.path.join(shots, "wexread-web-phone.png")) > 10000, "screenshot")
    finally:
        browser.quit()
    print("web: values, a change %.1f rows after it was made, a silent module, %d plot pixels, "
          "a reconnect; six hours kept in %s KiB" % ((first - changed_at) / row_ms, pixels,
                                                  found.group(3)))


# ---- InfluxDB ----------------------------------------------------------------------


def test_influx(o, folder):
    if not shutil.which("influxd"):
        raise Skip("influxd not installed (Debian package influxdb)")
    http_port, rpc_port = free_port(), free_port()
    config = os.path.join(folder, "influxdb.conf")
    with open(config, "w") as f:
        f.write('reporting-disabled = true\nbind-address = "127.0.0.1:%d"\n'
                '[meta]\n  dir = "%s/meta"\n'
                '[data]\n  dir = "%s/data"\n  wal-dir = "%s/wal"\n  query-log-enabled = false\n'
                '[monitor]\n  store-enabled = false\n'
                '[subscriber]\n  enabled = false\n'
                '[http]\n  bind-address = "127.0.0.1:%d"\n  log-enabled = false\n'
                '  pprof-enabled = false\n'
                % (rpc_port, folder, folder, folder, http_port))
    log = open(os.path.join(folder, "influxd.log"), "w")
    server = spawn(["influxd", "run", "-config", config], stdout=log, stderr=log)

    # Lines meanwhile: module 1 silent from the start.
    sim = Sim(o.sim, folder, ["--modules", "2", "--silent", "1"] + SIM_RAW_ARGS)
    code, lines, err = run(o.wexread, ["--device", sim.link, "--modules", "2", "--period", "700",
                                       "--count", "5", "--format", "influx"])
    check(code == 0, "wexread: %d %s" % (code, err))

    base = "http://127.0.0.1:%d" % http_port
    try:
        wait_for("InfluxDB to answer", lambda: http(base + "/ping")[0] == 204, 30)
    except AssertionError:
        with open(log.name) as f:
            raise Skip("influxd did not start: " + f.read()[-400:])
    status, body = http(base + "/query", urllib.parse.urlencode({"q": "CREATE DATABASE wex"}).encode())
    check(status == 200, "CREATE DATABASE: %s %s" % (status, body))
    status, body = http(base + "/write?db=wex&precision=ns", lines.encode())
    check(status == 204, "write: %s %s" % (status, body))

    query = urllib.parse.urlencode({"db": "wex", "epoch": "ns",
                                    "q": "SELECT * FROM wexlink GROUP BY module ORDER BY time"})
    status, body = http(base + "/query?" + query)
    check(status == 200, "query: %s %s" % (status, body))
    series = {s["tags"]["module"]: s for s in json.loads(body)["results"][0]["series"]}
    sent = [l.split(" ") for l in lines.splitlines()]
    check(len(sent) == 10 and sorted(series) == ["01:00", "01:01"], "series %r" % list(series))
    for module, s in series.items():
        rows = [dict(zip(s["columns"], v)) for v in s["values"]]
        check(len(rows) == 5, "%s: %d points" % (module, len(rows)))
        stamps = [int(l[2]) for l in sent if "module=" + module in l[0]]
        check([r["time"] for r in rows] == stamps, "%s: times" % module)
        for i, r in enumerate(rows):
            got = [r.get("ch%d" % c) for c in range(8)]
            if module == "01:01" or (i == 0 and not r["up"]):
                check(r["up"] is False and got == [None] * 8, "%s point %d: %r" % (module, i, r))
            else:
                check(r["up"] is True and got == expected(0), "%s point %d: %r" % (module, i, r))
    server.terminate()
    check(server.wait(timeout=20) == 0, "influxd stopped with %s" % server.returncode)
    print("influx: %d lines written and read back" % len(sent))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["files", "prometheus", "influx", "web"])
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--shots", help="web: keep the screenshots in this folder")
    o = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    folder = tempfile.mkdtemp(prefix="wexread-")
    try:
        {"files": test_files, "prometheus": test_prometheus, "influx": test_influx,
         "web": test_web}[o.case](o, folder)
        return 0
    except Skip as e:
        print("skipped: " + str(e))
        return SKIP
    except AssertionError as e:
        print("FAILED: " + str(e))
        return 1
    finally:
        stop_all()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
