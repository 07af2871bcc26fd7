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
  live        rows one at a time, each out within a row period of its time,
              times exactly a row period apart, no module down at the start,
              a changed value within 3 row periods
  recovery    the line hung up and its link gone, then a new pty under the
              same name: rows without values meanwhile, one line each way on
              stderr, the metrics; a line where every module falls silent;
              --exit-on-loss
  open_errors exit status 3 naming why: missing, not a serial device, no
              permission (as nobody), busy (held by another process)

Every process started here dies with this script (PR_SET_PDEATHSIG) and is
stopped at its end whatever happens. Exit 77: a server is missing or cannot
start here (the reason on standard output).
"""
import argparse
import csv
import ctypes
import fcntl
import grp
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


def run_case(case, prefix):
    """Runs case(folder) in a new temporary folder and returns the exit status
    CTest reads: 0 passed, SKIP skipped, 1 failed. Every process the case
    started is stopped and the folder removed, also on SIGTERM (a timeout)."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    folder = tempfile.mkdtemp(prefix=prefix)
    try:
        case(folder)
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
    def __init__(self, binary, folder, args, link=None):
        self.link = link or os.path.join(folder, "com-%d" % len(_children))
        self.proc = spawn([binary, "--link", self.link] + args, stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, text=True, bufsize=1)
        first = self.proc.stdout.readline()
        check(first.startswith("PTY "), "w316sim said " + repr(first))

    def hangup(self):
        """Closes the line and ends: the pty's slave side fails with EIO and
        goes away, and so does the link, as with an unplugged adapter."""
        self.proc.stdin.write("hangup\n")
        self.proc.stdin.flush()
        self.proc.wait(timeout=10)

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
          "StartSnapshot failed: 106, the serial port could not be opened" in err and
          "absent does not exist" in err, "refusal: " + err)

    # JSON lines from a module that goes silent and comes back, read meanwhile.
    sim_b = Sim(o.sim, folder, ["--temp", "0.0=-0.5"])
    jsonl = spawn([o.wexread, "--device", sim_b.link, "--period", "700", "--miss-threshold", "1",
                   "--format", "jsonl"], stdout=subprocess.PIPE, text=True, bufsize=1)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l) for l in jsonl.stdout], daemon=True).start()

    # A reader that stops reading: its pipe is full from the start, the
    # library's ring (16 rows, 11.2 s) is overwritten, and the rows lost are
    # counted once it reads again.
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

    # Reads from 16 s on: row 2 (1.4 s) was blocked in its write; rows 3 to
    # about 6 are overwritten by then.
    time.sleep(max(0, stalled_since + 16 - time.monotonic()))
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
    said = re.findall(r"(\d+) rows lost: the library's ring was overwritten",
                      stalled.stderr.read())
    dropped = int(said[0]) if len(said) == 1 else -1
    times = [parse_time(r["time"]) for r in stalled_lines]
    gaps = [round((b - a) / 0.7) - 1 for a, b in zip(times, times[1:])]
    check(dropped >= 3 and gaps[0] == dropped and gaps[1:] == [0] * (len(gaps) - 1),
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
    # No false outage: every row of both runs has both modules up.
    for i, r in enumerate(rows[1:]):
        module = i % 2
        check(r[2] == "01:%02X" % module and r[1] == "1" and r[3] == "1", "row %d: %r" % (i, r))
        values = [float(v) if v else None for v in r[4:]]
        check(values == expected(module), "row %d: %r, not %r" % (i, values, expected(module)))
    times = [parse_time(r[0]) for r in rows[1:11:2]]
    check(all(abs(b - a - 1.4) <= 0.01 for a, b in zip(times, times[1:])), "row times %r" % times)
    check(abs(times[-1] - time.time()) < 60, "row times are not now: %r" % times)

    # JSON lines: values, then nulls while silent, then values again.
    ups = [r["up"] for r in records]
    down = ups.index(False)
    check(ups[down:].index(True) > 0 and all(ups[:down]), "up in the JSON lines: %r" % ups)
    want = [-0.5] + [celsius(default_raw(0, c)) for c in range(1, 8)]
    for r in records:
        check(r["module"] == "01:00" and r["port"] == 1, "record %r" % r)
        check(r["celsius"] == (want if r["up"] else [None] * 8), "record %r" % r)
    times = [parse_time(r["time"]) for r in records]
    check(all(abs(b - a - 0.7) <= 0.01 for a, b in zip(times, times[1:])), "JSON times %r" % times)

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
    check(list(dropped.values()) == [0.0] and list(rows.values())[0] >= 3,
          "counts %r %r" % (rows, dropped))
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


# ---- live rows, recovery, open errors ----------------------------------------------


def read_lines(stream, sink):
    """Puts (arrival time, line) on the queue `sink` for every line."""
    def pump():
        for line in stream:
            sink.put((time.time(), line))
        sink.put((time.time(), None))
    threading.Thread(target=pump, daemon=True).start()


def test_live(o, folder):
    """Rows one at a time, each within a row period of its time, times exactly
    a row period apart, the first row within 2 row periods + 0.5 s, every
    module up from the first row, a changed value within 3 row periods."""
    sim = Sim(o.sim, folder, ["--modules", "2"])
    rows_wanted = 12
    started = time.time()
    p = spawn([o.wexread, "--device", sim.link, "--modules", "2", "--period", "700",
               "--format", "jsonl", "--count", str(rows_wanted)], stdout=subprocess.PIPE,
              text=True, bufsize=1)
    lines = queue.Queue()
    read_lines(p.stdout, lines)
    rows = []  # (arrival of the row's last line, [records])
    changed_at = None
    while True:
        arrived, line = lines.get(timeout=10)
        if line is None:
            break
        record = json.loads(line)
        if rows and rows[-1][1][0]["time"] == record["time"]:
            rows[-1] = (arrived, rows[-1][1] + [record])
        else:
            rows.append((arrived, [record]))
        if len(rows) == 3 and changed_at is None:
            sim.command("temp 0.3 30")
            changed_at = time.time()
    check(p.wait(timeout=10) == 0, "exit status %s" % p.returncode)
    check(len(rows) == rows_wanted and all(len(r) == 2 for _, r in rows),
          "%d rows: %r" % (len(rows), rows))
    row_period = 1.4
    check(rows[0][0] - started <= 2 * row_period + 0.5,
          "first row after %.2f s" % (rows[0][0] - started))
    times = [parse_time(r[0]["time"]) for _, r in rows]
    late = [round(arrived - t, 3) for (arrived, _), t in zip(rows, times)]
    check(all(-0.002 <= d < row_period for d in late), "rows out after their times: %r" % late)
    steps = [round(b - a, 3) for a, b in zip(times, times[1:])]
    check(all(abs(d - row_period) <= 0.01 for d in steps), "row time steps %r" % steps)
    check(all(rec["up"] for _, r in rows for rec in r), "a module down: %r" % rows)
    first_new = next(arrived for arrived, r in rows if r[0]["celsius"][3] == 30.0)
    check(first_new - changed_at <= 3 * row_period,
          "a changed value came after %.2f s" % (first_new - changed_at))
    print("live: %d rows, out %.0f-%.0f ms after their times, first after %.2f s, "
          "a change after %.2f s" % (len(rows), min(late) * 1000, max(late) * 1000,
                                     rows[0][0] - started, first_new - changed_at))


def metric(path, name):
    try:
        with open(path) as f:
            m = re.search(r"^%s\{[^}]*\} (\S+)$" % name, f.read(), re.M)
    except OSError:
        return None
    return float(m.group(1)) if m else None


def test_recovery(o, folder):
    """An adapter unplugged (the line hung up, its link gone) and plugged in
    again under the same name; a line on which every module falls silent;
    --exit-on-loss."""
    link = os.path.join(folder, "usb-adapter")
    sim = Sim(o.sim, folder, [], link=link)
    textfile = os.path.join(folder, "wexread.prom")
    p = spawn([o.wexread, "--device", link, "--period", "700", "--miss-threshold", "1",
               "--restart-silent", "3", "--format", "jsonl", "--textfile", textfile],
              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
    lines, said = queue.Queue(), queue.Queue()
    read_lines(p.stdout, lines)
    read_lines(p.stderr, said)
    records = []

    def until(what, predicate, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                _, line = lines.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                break
            check(line is not None, "wexread ended")
            records.append(json.loads(line))
            if predicate(records[-1]):
                return records[-1]
        raise AssertionError("timed out waiting for " + what)

    def stderr_line(what, timeout):
        try:
            _, line = said.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no line on stderr for " + what)
        check(line is not None and what in line, "stderr: %r, not %r" % (line, what))
        return line

    until("a row", lambda r: r["up"], 10)
    sim.hangup()
    gone_at = time.time()
    stderr_line("is gone", 5)
    until("rows without values", lambda r: not r["up"], 5)
    for _ in range(3):
        until("more rows", lambda r: True, 2)
    check(metric(textfile, "wexlink_device_up") == 0.0, "device_up while gone")
    time.sleep(max(0, gone_at + 4 - time.time()))
    sim = Sim(o.sim, folder, [], link=link)  # a new pty under the same name
    back_at = time.time()
    line = stderr_line("is back", 10)
    until("values again", lambda r: r["up"], max(1, back_at + 10 - time.time()))
    healed = time.time() - back_at
    check(healed <= 10, "values again %.1f s after the device came back" % healed)
    check(metric(textfile, "wexlink_device_up") == 1.0 and
          metric(textfile, "wexlink_reconnects_total") == 1.0, "metrics after the return")

    # A wedged line: every module silent for 3 s restarts the run.
    sim.command("silent all")
    stderr_line("no module has answered for", 10)
    while not lines.empty():  # the rows from before
        records.append(json.loads(lines.get()[1]))
    sim.command("answer all")
    until("values after the restart", lambda r: r["up"], 15)
    p.send_signal(signal.SIGINT)
    check(p.wait(timeout=10) == 0, "SIGINT: exit status %s" % p.returncode)
    while True:
        _, rest = lines.get(timeout=5)
        if rest is None:
            break
        records.append(json.loads(rest))
    check(metric(textfile, "wexlink_reconnects_total") >= 2, "reconnects after the restart")
    # Never a stale value marked up; rows on one schedule while gone.
    check(all(r["celsius"] == [None] * 8 for r in records if not r["up"]), "values while down")
    check(all(r["celsius"] != [None] * 8 for r in records if r["up"]), "up without values")

    # --exit-on-loss: a supervisor restarts it instead.
    sim = Sim(o.sim, folder, [])
    q = spawn([o.wexread, "--device", sim.link, "--period", "700", "--exit-on-loss", "1",
               "--format", "jsonl"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    check(q.stdout.readline(), "no row before the loss")
    sim.hangup()
    lost_at = time.time()
    code = q.wait(timeout=10)
    took = time.time() - lost_at
    err = q.stderr.read()
    check(code == 4 and "--exit-on-loss" in err and took < 4,
          "exit-on-loss: status %s after %.1f s: %r" % (code, took, err))
    print("recovery: %d rows; values again %.1f s after the device returned; %s" %
          (len(records), healed, line.strip()))


def test_open_errors(o, folder):
    """Exit status 3 with the reason: missing, not a serial device, permission
    (as an unprivileged user), busy (held by another process)."""
    def refused(device, prefix=()):
        p = spawn(list(prefix) + [o.wexread, "--device", device, "--count", "1"],
                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = p.communicate(timeout=30)
        code = p.returncode
        check(code == 3 and out == "" and "StartSnapshot failed: 106" in err,
              "%s: status %s, %r" % (device, code, err))
        return err.strip()

    said = [refused(os.path.join(folder, "absent"))]
    check("absent does not exist" in said[-1], said[-1])
    plain = os.path.join(folder, "plain")
    open(plain, "w").close()
    said.append(refused(plain))
    check("is not a serial device (a regular file)" in said[-1], said[-1])

    if os.geteuid() != 0 or not shutil.which("setpriv"):
        raise Skip("the permission and busy cases need root and setpriv (they switch user and "
                   "drop a capability)")
    as_nobody = ["setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups"]
    probe = subprocess.run(as_nobody + [o.wexread, "--version"], capture_output=True)
    if probe.returncode != 0:
        raise Skip("user nobody cannot run %s (a private build folder?)" % o.wexread)
    sim = Sim(o.sim, folder, [])
    device = os.path.realpath(sim.link)
    group = grp.getgrgid(os.stat(device).st_gid).gr_name
    os.chmod(device, 0o620)
    said.append(refused(device, as_nobody))
    check("permission denied: join the group %s" % group in said[-1], said[-1])

    holder = spawn([sys.executable, "-c",
                    "import fcntl, os, sys, time\n"
                    "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                    "fcntl.ioctl(fd, 0x540C)  # TIOCEXCL\n"
                    "print('held', flush=True)\n"
                    "time.sleep(60)\n", device], stdout=subprocess.PIPE, text=True)
    check(holder.stdout.readline() == "held\n", "the holder did not start")
    # Without CAP_SYS_ADMIN, which passes by the exclusive mode.
    said.append(refused(device, ["setpriv", "--bounding-set", "-sys_admin"]))
    program = os.path.basename(sys.executable)[:15]
    # The simulator keeps the slave side open too, and is named with it.
    check("busy: held by " in said[-1] and "PID %d (%s)" % (holder.pid, program) in said[-1],
          said[-1])
    print("open errors:\n  " + "\n  ".join(said))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["files", "prometheus", "influx", "web", "live",
                                         "recovery", "open_errors"])
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--shots", help="web: keep the screenshots in this folder")
    o = parser.parse_args()
    case = {"files": test_files, "prometheus": test_prometheus, "influx": test_influx,
         "web": test_web, "live": test_live, "recovery": test_recovery,
         "open_errors": test_open_errors}[o.case]
    return run_case(lambda folder: case(o, folder), "wexread-")


if __name__ == "__main__":
    sys.exit(main())
