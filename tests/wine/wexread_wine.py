"""wexread.exe under Wine against the W316 module simulator on COM1 (the
"wexread" check of wine_check.py).

One module with known raw values on the pseudo-terminal that the prefix maps to
COM1. wexread.exe, beside the shipped wexlink.dll, writes CSV to a file while
serving /metrics and the web page, which are fetched from this side; SIGINT,
which Wine hands to the console's Ctrl+C handler, ends it with status 0 and
whole rows; then each of the four formats goes to standard output, and the
options Windows lacks must say so at use.
"""
import json
import re
import shutil
import signal
import subprocess
import time
import urllib.request

import wine_env
from wine_env import Failure, Prefix, WineSession, log, win_path

# Raw values of channels 0..7 and the degrees wexread must show for them.
RAW = [32400, 32404, 31996, 34000, 32000, 31120, 33600, 32016]
DEGREES = [(r - 32000) / 16 for r in RAW]


def numbers(fields):
    return [float(x) if x not in ("", "null") else None for x in fields]


def csv_problems(text):
    """What is wrong with CSV rows from wexread: header, whole rows, values."""
    lines = text.split("\n")
    rows = [line for line in lines[1:] if line]
    problems = []
    if not lines[0].startswith("time,port,module,up,"):
        problems.append("header %r" % lines[0])
    if not text.endswith("\n"):
        problems.append("the last row is cut off: %r" % text[-60:])
    if not rows:
        problems.append("no rows")
    bad = [r for r in rows
           if r.split(",")[1:4] != ["1", "01:00", "1"] or numbers(r.split(",")[4:]) != DEGREES]
    if bad:
        problems.append("%d of %d rows differ from the simulator's %s: %r"
                        % (len(bad), len(rows), DEGREES, bad[:2]))
    return problems


def fetch(url):
    with urllib.request.urlopen(url, timeout=5) as reply:
        return reply.status, reply.headers.get("Content-Type", ""), reply.read().decode()


def listen_and_stop(prefix, folder, logs):
    """CSV into a file with --listen; /metrics and / from here; then Ctrl+C."""
    rows_path = folder / "rows.csv"
    if rows_path.exists():
        rows_path.unlink()
    err_path = logs / "wexread-listen.log"
    proc, out = wine_env.start_background(
        prefix, [folder / "wexread.exe", "--port", "1", "--format", "csv", "--output",
                 win_path(rows_path), "--listen", "127.0.0.1:0", "--textfile",
                 win_path(folder / "wexread.prom")], folder, {}, err_path)
    try:
        base = None
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None and base is None:
            found = re.search(r"metrics at (http://127\.0\.0\.1:\d+)/metrics",
                              err_path.read_text(errors="replace"))
            rows = rows_path.read_text().count("\n") - 1 if rows_path.exists() else 0
            if found and rows >= 3:
                base = found.group(1)
            time.sleep(0.2)
        if base is None:
            raise Failure("no three rows and address within 60 s (status %s): %s" % (
                proc.poll(), err_path.read_text(errors="replace")[-600:]))
        status, kind, metrics = fetch(base + "/metrics")
        shown = {int(c): float(v) for c, v in re.findall(
            r'wexlink_temperature_celsius\{[^}]*channel="(\d)"[^}]*\} (\S+)', metrics)}
        if status != 200 or [shown.get(c) for c in range(8)] != DEGREES:
            raise Failure("/metrics from Linux: %d %s, temperatures %s, expected %s" % (
                status, kind, shown, DEGREES))
        log("/metrics from Linux: the eight temperatures of the simulator")
        textfile = (folder / "wexread.prom").read_text()
        if 'wexlink_temperature_celsius{' not in textfile or not textfile.endswith("\n"):
            raise Failure("--textfile: %r" % textfile[-300:])
        log("--textfile: %d bytes of metrics, replaced whole" % len(textfile))
        status, kind, page = fetch(base + "/")
        if status != 200 or not kind.startswith("text/html") or "<html" not in page.lower():
            raise Failure("the web page from Linux: %d %s" % (status, kind))
        log("the web page from Linux: %d %s, %d bytes" % (status, kind, len(page)))
        proc.send_signal(signal.SIGINT)  # Wine hands it to the console's Ctrl+C handler
        status = wine_env.end_background(proc, 20)
    finally:
        if proc.poll() is None:
            wine_env.end_background(proc, 0)
        out.close()
    if status != 0:
        raise Failure("after Ctrl+C wexread.exe ended with status %s: %s" % (
            status, err_path.read_text(errors="replace")[-600:]))
    problems = csv_problems(rows_path.read_bytes().decode())
    if problems:
        raise Failure("rows.csv after Ctrl+C: " + "; ".join(problems))
    log("Ctrl+C: status 0, %d whole rows in rows.csv, each equal to the simulator's"
        % (rows_path.read_text().count("\n") - 1))


def formats(prefix, folder):
    """Each format on standard output: three rows, the last two checked. (The
    first row of a run that starts right after another on the same line may
    show the module not answering: seen with wexread on Linux as well.)"""
    for fmt in ("csv", "jsonl", "influx", "table"):
        status, out = prefix.run([folder / "wexread.exe", "--port", "1", "--format", fmt,
                                  "--count", "3", "--quiet"], timeout=60, cwd=folder,
                                 check_status=False)
        if status != 0:
            raise Failure("--format %s exited %d: %s" % (fmt, status, out[-600:]))
        lines = [line for line in out.split("\n") if line]
        if fmt == "table":
            lines = [line for line in lines if "01:00" in line]
        if len(lines) != (4 if fmt == "csv" else 3):
            raise Failure("--format %s: expected three rows, got:\n%s" % (fmt, out))
        lines = lines[:1] + lines[2:] if fmt == "csv" else lines[1:]
        if fmt == "csv":
            problems = csv_problems("\n".join(lines) + "\n")
            ok = not problems
        elif fmt == "jsonl":
            got = [json.loads(line)["celsius"] for line in lines]
            ok = len(got) == 2 and all(g == DEGREES for g in got)
        elif fmt == "influx":
            got = [dict(kv.split("=") for kv in line.split(" ")[1].split(",")) for line in lines]
            ok = len(got) == 2 and all(
                [float(g["ch%d" % c]) for c in range(8)] == DEGREES for g in got)
        else:
            body = [numbers(line.split()[-8:]) for line in lines]
            ok = len(body) == 2 and all(b == DEGREES for b in body)
        if not ok:
            raise Failure("--format %s: expected rows of %s, got:\n%s" % (fmt, DEGREES, out))
        log("--format %s: the last two of three rows equal to the simulator's" % fmt)


def not_on_windows(prefix, folder):
    for args, text in ((["--mqtt", "mqtt://127.0.0.1"], "--mqtt is not available on Windows"),
                       (["--modbus", "127.0.0.1:1502"], "--modbus is not available on Windows"),
                       (["--device", "/dev/ttyS0"], "--device is not available on Windows"),
                       (["--high", "01:00:0=20", "--on-alarm", "cmd.exe"],
                        "on_alarm: running a program at an alarm is not available on Windows")):
        status, out = prefix.run([folder / "wexread.exe", "--port", "1", "--count", "1"] + args,
                                 timeout=60, cwd=folder, check_status=False)
        if status in (0, None) or text not in out or "time,port" in out:
            raise Failure("%s: status %s, output %r" % (args[0], status, out[-400:]))
        log("%s: status %d, says it is not available on Windows" % (args[0], status))


def run(ctx, exe):
    """The check: wexread.exe (the given file) beside the shipped DLL."""
    w = ctx.width
    wine_env.probe_loader(w)
    folder = w.dir / "wexread-run"
    folder.mkdir(exist_ok=True)
    shutil.copy2(exe, folder / "wexread.exe")
    shutil.copy2(w.lib / "lib/wexlink.dll", folder / "wexlink.dll")
    prefix = Prefix(w)
    with WineSession(prefix, ctx.args.simulator, {1: RAW}, w.logs):
        listen_and_stop(prefix, folder, w.logs)
        formats(prefix, folder)
        not_on_windows(prefix, folder)
        relay_note(prefix, folder)


def relay_note(prefix, folder):
    """A rule with a relay: the alarm is raised all the same, and the start says
    that the relay stays untouched."""
    status, out = prefix.run([folder / "wexread.exe", "--port", "1", "--count", "3", "--quiet",
                              "--high", "01:00:0=20", "--relay", "1"], timeout=60, cwd=folder,
                             check_status=False)
    if (status != 0 or "relay actions are off: writing the relay port (port 256) is not "
            "available on Windows" not in out or "alarm raised" not in out):
        raise Failure("--relay: status %s, output %r" % (status, out[-600:]))
    log("--relay: the alarm raised, the start line says the relay is not available on Windows")
