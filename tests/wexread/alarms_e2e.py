#!/usr/bin/env python3
"""wexread's alarms end to end: the real library against w316sim on a pty, the
relay port in a file (WEXLINK_IOSPACE, the port granted as wexmon-launcher
grants it), the page in headless Chromium.

One run with --high on channel 0 (hysteresis and delay), --down-after, a relay
and a program:
  - a spike shorter than the delay raises nothing; a crossing that holds raises
    the alarm on the row the delay ends on (worked out from the rows written);
    a value inside the hysteresis band keeps it; below limit - hysteresis clears it
  - each change is on stderr, in /metrics, as an "alarm" event on /events, in
    /alarms, on the page (the channel's colour is not the values' green, the
    limit is shown, the alarm list has it), sets and clears the relay bit in
    the I/O-space file, and runs the program with the change in its
    environment, never two at once for one rule, its output kept out of the rows
  - the module going silent raises its down alarm after down_after, "No" has a
    colour of its own, and the module answering again clears it
  - the plot's default span fits the rows, and the series legend hides a series
Before it: without port access (as nobody, every capability dropped, when
this process holds CAP_SYS_RAWIO) one line says that the relay actions are off.
The time from the crossing to each output is printed. Exit 77: chromium or
chromedriver is missing.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wexread_e2e as e2e  # noqa: E402
from wexread_e2e import Skip, check, http, spawn, wait_for  # noqa: E402

PERIOD_MS = 700
ROW_S = PERIOD_MS / 1000  # one module
LIMIT, HYSTERESIS, DELAY_S, DOWN_AFTER_S, RELAY = 30.0, 1.0, 2.0, 3.0, 3
HOOK_S = 8  # the program's run: the module's clear comes while it runs
# Each row reaches every output within one row period of being stored.
ROWS_PER_DELIVERY = 1
SLACK_S = 2.0
GREEN = "rgb(0, 255, 0)"  # the values' colour on the page

HOOK = """#!/bin/sh
echo "start $(date +%%s.%%N) $WEXREAD_ALARM_NAME|$WEXREAD_ALARM_KIND|$WEXREAD_ALARM_STATE|\
$WEXREAD_ALARM_VALUE|$WEXREAD_ALARM_LIMIT|$WEXREAD_ALARM_TIME" >> %(log)s
echo hook-output-on-stdout
sleep %(sleep)d
echo "end $(date +%%s.%%N) $WEXREAD_ALARM_KIND|$WEXREAD_ALARM_STATE" >> %(log)s
"""


def utc_ms(text):
    return round(e2e.parse_time(text) * 1000)


class Watch:
    """Polls one output in a thread and keeps the first wall time each wanted
    thing was seen."""

    def __init__(self):
        self.seen = {}
        self.lock = threading.Lock()

    def mark(self, key):
        with self.lock:
            self.seen.setdefault(key, time.time())

    def when(self, key, timeout):
        return wait_for("%s" % (key,), lambda: self.seen.get(key), timeout)


def follow_events(url, watch, events):
    request = urllib.request.Request(url + "events")
    with urllib.request.urlopen(request, timeout=60) as stream:
        name = None
        for raw in stream:
            line = raw.decode().rstrip("\n")
            if line.startswith("event: "):
                name = line[7:]
            elif line.startswith("data: ") and name == "alarm":
                e = json.loads(line[6:])
                events.append(e)
                watch.mark(("event", e["kind"], e["state"]))
            elif line == "":
                name = None


def poll_metrics(url, watch, stop):
    pattern = re.compile(r'^wexlink_alarm\{port="1",module="01:00",channel="(\d?)",'
                         r'name="([^"]*)",kind="(\w+)"\} ([01])$', re.M)
    last = {}
    while not stop.is_set():
        status, text = http(url + "metrics")
        if status == 200:
            for channel, name, kind, value in pattern.findall(text):
                if last.get(kind, "0") != value:
                    watch.mark(("metrics", kind, "raised" if value == "1" else "cleared"))
                    last[kind] = value
        time.sleep(0.1)


def poll_relay(path, watch, stop, history):
    while not stop.is_set():
        try:
            with open(path, "rb") as f:
                f.seek(256)
                byte = f.read(1)
        except OSError:
            byte = b""
        if byte and (not history or history[-1] != byte[0]):
            history.append(byte[0])
            # The n-th time the byte took this value.
            watch.mark(("relay", byte[0], history.count(byte[0])))
        time.sleep(0.05)


def read_stderr(stream, watch, lines):
    for line in stream:
        lines.append(line)
        m = re.match(r"wexread: alarm (raised|cleared): .* (high|low|down), ", line)
        if m:
            watch.mark(("stderr", m.group(2), m.group(1)))


PAGE_JS = """
const cell = document.getElementById('c-0-0'), fig = document.getElementById('v-0-0');
const card = document.getElementById('module-0');
const w = window.wexread;
return {alarm: cell ? cell.classList.contains('alarm') : null,
  limit: cell ? cell.querySelector('.limit').textContent : '',
  colour: fig ? getComputedStyle(fig).color : '', text: fig ? fig.textContent : '',
  cardAlarm: card ? card.classList.contains('alarm') : null,
  list: [...document.querySelectorAll('#alarm-list li')].map(l => l.textContent),
  events: w.alarmEvents};"""


def run(o, folder):
    for tool in ("chromium", "chromedriver"):
        if not shutil.which(tool):
            raise Skip("%s not installed (Debian packages chromium, chromium-driver)" % tool)
    hook_log = os.path.join(folder, "hook.log")
    hook = os.path.join(folder, "hook.sh")
    with open(hook, "w") as f:
        f.write(HOOK % {"log": hook_log, "sleep": HOOK_S})
    os.chmod(hook, 0o755)
    iospace = os.path.join(folder, "iospace")
    rows_path = os.path.join(folder, "rows.jsonl")

    sim = e2e.Sim(o.sim, folder, ["--temp", "0.0=20"])
    env = dict(os.environ, WEXLINK_IOSPACE=iospace, WEXLINK_GRANTED_PORTS="256-256")
    reader = spawn([o.wexread, "--device", sim.link, "--period", str(PERIOD_MS),
                    "--miss-threshold", "1", "--format", "jsonl", "--output", rows_path,
                    "--high", "01:00:0=%g" % LIMIT, "--hysteresis", "%g" % HYSTERESIS,
                    "--delay", "%g" % DELAY_S, "--down-after", "%g" % DOWN_AFTER_S,
                    "--relay", str(RELAY), "--on-alarm", hook, "--listen", ":0"],
                   env=env, stderr=subprocess.PIPE, text=True)
    reader.stderr.readline()
    said = reader.stderr.readline()
    found = re.match(r"wexread: live page at (http://127\.0\.0\.1:\d+/) ", said)
    check(found, "--listen said " + repr(said))
    url = found.group(1)

    watch, stop = Watch(), threading.Event()
    stderr_lines, events, relay_history = [], [], []
    threading.Thread(target=read_stderr, args=(reader.stderr, watch, stderr_lines),
                     daemon=True).start()
    threading.Thread(target=follow_events, args=(url, watch, events), daemon=True).start()
    threading.Thread(target=poll_metrics, args=(url, watch, stop), daemon=True).start()
    threading.Thread(target=poll_relay, args=(iospace, watch, stop, relay_history),
                     daemon=True).start()

    browser = e2e.Browser(folder)
    page_seen = {}

    def page_poll(key, predicate, timeout):
        def probe():
            state = browser.js(PAGE_JS)
            if predicate(state):
                page_seen.setdefault(key, time.time())
                return state
            return None
        return wait_for("the page: %s" % key, probe, timeout)

    def rows():
        with open(rows_path) as f:
            return [json.loads(line) for line in f if line.strip()]

    try:
        browser.value("POST", "/url", {"url": url})
        state = page_poll("values", lambda s: s["text"] == "20.0", 30)
        check(state["colour"] == GREEN, "a value's colour: %r" % state)
        check(json.loads(http(url + "alarms")[1])["rules"][0]["state"] == "ok", "/alarms at start")

        # A spike shorter than the delay raises nothing.
        sim.command("temp 0.0 35")
        time.sleep(0.9)
        sim.command("temp 0.0 20")
        # The crossing that holds.
        time.sleep(2)
        crossed_at = time.time()
        sim.command("temp 0.0 35")
        budget = DELAY_S + (ROWS_PER_DELIVERY + 1) * ROW_S + SLACK_S
        state = page_poll("raised", lambda s: s["alarm"], budget + 10)
        check(state["colour"] not in (GREEN, "") and state["limit"] == "over 30",
              "the raised channel on the page: %r" % state)
        raised = {k: watch.when((k, "high", "raised"), 10) for k in ("stderr", "event", "metrics")}
        raised["relay"] = watch.when(("relay", 1 << (RELAY - 1), 1), 10)
        raised["page"] = page_seen["raised"]

        # The rows say when the alarm had to come: the first row of the run of
        # rows over the limit that lasts the delay.
        alarm_t = events[0]["t"]
        check(len(events) == 1 and events[0]["state"] == "raised" and
              events[0]["value"] == 35 and events[0]["limit"] == LIMIT, "events %r" % events)
        written = [(utc_ms(r["time"]), r["celsius"][0]) for r in rows()]
        start, want_t = None, None
        for t, v in written:
            start = (start or t) if v is not None and v > LIMIT else None
            if start is not None and t - start >= DELAY_S * 1000:
                want_t = t
                break
        check(want_t == alarm_t, "raised at %s, the rows say %s: %r" % (alarm_t, want_t, written))
        check(alarm_t - start < (DELAY_S + ROW_S) * 1000 + 50, "the delay held longer than asked")
        spikes = [t for t, v in written if v == 35 and t < start]
        check(spikes, "the spike is not in the rows")
        if o.shots:  # the page with the alarm raised, for the README
            browser.screenshot(os.path.join(o.shots, "wexread-web.png"), 1280, 860)

        # Inside the hysteresis band: still raised.
        sim.command("temp 0.0 29.5")
        wait_for("rows at 29.5", lambda: sum(1 for r in rows() if r["celsius"][0] == 29.5) >= 3,
                 (ROWS_PER_DELIVERY + 3) * ROW_S + 10)
        check(len(events) == 1, "cleared inside the hysteresis band: %r" % events)
        cleared_at = time.time()
        sim.command("temp 0.0 28.5")
        page_poll("cleared", lambda s: not s["alarm"] and s["text"] == "28.5", 20)
        cleared = {k: watch.when((k, "high", "cleared"), 10)
                   for k in ("stderr", "event", "metrics")}
        # The first 0 of the byte is the clear, unless the file read 0 before the raise.
        cleared["relay"] = watch.when(("relay", 0, 1 + (relay_history[0] == 0)), 10)
        cleared["page"] = page_seen["cleared"]
        check(events[1]["state"] == "cleared" and events[1]["value"] == 28.5, "events %r" % events)

        # The module goes silent and comes back.
        silent_at = time.time()
        sim.command("silent 0")
        state = page_poll("down", lambda s: s["cardAlarm"], DOWN_AFTER_S + 20)
        check(state["text"] == "No" and state["colour"] not in (GREEN, "rgb(255, 176, 32)"),
              "'No' on the page: %r" % state)
        down = {k: watch.when((k, "down", "raised"), 10) for k in ("stderr", "event", "metrics")}
        down["relay"] = watch.when(("relay", 1 << (RELAY - 1), 2), 10)
        down["page"] = page_seen["down"]
        sim.command("answer 0")
        page_poll("back", lambda s: not s["cardAlarm"] and s["text"] == "28.5", 30)
        watch.when(("event", "down", "cleared"), 10)
        wait_for("the relay off again", lambda: relay_history[-1] == 0, 10)
        check(relay_history in ([0, 4, 0, 4, 0], [4, 0, 4, 0]),
              "relay byte history %r" % relay_history)

        # The page: the list, the span, the legend.
        state = browser.js(PAGE_JS)
        check(len(state["list"]) == 4 and
              "01:00 ch0 raised: 35 °C, high limit 30" in state["list"][-1] and
              "01:00 cleared: answering again" in state["list"][0], "alarm list %r" % state["list"])
        first_t = rows()[0]["time"]
        span = browser.js("const r = window.wexread.xRange(); return [r[0], r[1], Date.now()]")
        check(span[0] >= utc_ms(first_t) - 2 * PERIOD_MS and span[0] <= utc_ms(first_t),
              "the plot starts at %s, the first row at %s" % (span[0], utc_ms(first_t)))
        browser.js("document.querySelector('#series button').click()")
        check(browser.js("return window.wexread.visibility()")[:2] == [False, True],
              "the legend did not hide the first series")

        status, body = http(url + "alarms")
        a = json.loads(body)
        check(status == 200 and [r["state"] for r in a["rules"]] == ["cleared", "cleared"] and
              [c["state"] for c in a["changes"]] == ["raised", "cleared", "raised", "cleared"],
              "/alarms %s" % body)
    finally:
        browser.quit()

    # Four changes, four runs of the program, each HOOK_S long.
    wait_for("the programs to end",
             lambda: sum(line.startswith("end") for line in open(hook_log)) == 4, 2 * HOOK_S + 10)
    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=15) == 0, "SIGTERM: exit status %s" % reader.returncode)
    stop.set()

    # The program: every change, in order, with its variables, one at a time.
    runs = {}
    for line in open(hook_log):
        kind, at, rest = line.split(" ", 2)
        runs.setdefault(rest.split("|")[0] if kind == "end" else rest.split("|")[1], [])
        runs[rest.split("|")[0] if kind == "end" else rest.split("|")[1]].append(
            (kind, float(at), rest.strip()))
    high = runs.get("high", [])
    starts = [r for r in high if r[0] == "start"]
    check([r[2] for r in starts] ==
          ["01:00 ch0|high|raised|35|30|" + e2e_time(alarm_t),
           "01:00 ch0|high|cleared|28.5|30|" + e2e_time(events[1]["t"])],
          "the program's variables: %r" % starts)
    check([r[0] for r in high] == ["start", "end", "start", "end"],
          "the program ran twice at once: %r" % high)
    down_runs = runs.get("down", [])
    check([r[0] for r in down_runs] == ["start", "end", "start", "end"],
          "the module's program ran twice at once: %r" % down_runs)
    back_at = watch.seen[("event", "down", "cleared")]
    check(back_at < down_runs[1][1] <= down_runs[2][1] + 0.05,
          "the module's clear (at %.2f) did not wait for the program (ended %.2f, next %.2f)" %
          (back_at, down_runs[1][1], down_runs[2][1]))
    check(not any("hook-output" in line for line in open(rows_path)) and
          any("hook-output-on-stdout" in line for line in stderr_lines),
          "the program's output went into the rows")
    hook_start = {"raised": starts[0][1], "cleared": starts[1][1]}
    check(hook_start["cleared"] > high[1][1] - 0.05, "the clear's program started before the end")

    def times(marks, since, extra=None):
        out = {k: round(v - since, 2) for k, v in sorted(marks.items())}
        if extra is not None:
            out["program"] = round(extra - since, 2)
        return out

    t_raise = times(raised, crossed_at, hook_start["raised"])
    worst = max(t_raise.values())
    check(worst <= budget, "an output came %.2f s after the crossing (budget %.2f s): %r" %
          (worst, budget, t_raise))
    print("alarms: delay %.1f s, row period %.1f s; seconds from the crossing to each output: %r"
          % (DELAY_S, ROW_S, t_raise))
    print("alarms: seconds from the fall below limit - hysteresis to each output: %r" %
          times(cleared, cleared_at))
    print("alarms: seconds from the module going silent to each output (down_after %.1f s): %r"
          % (DOWN_AFTER_S, times(down, silent_at)))
    print("alarms: the module's clear waited %.2f s for the program's previous run; relay byte %r"
          % (down_runs[2][1] - back_at, relay_history))


def e2e_time(ms):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + ".%03dZ" % (ms % 1000)


def relay_off_check(o, folder):
    """Without port access the relay actions are off, said once at the start
    (before the device is opened). A process holding CAP_SYS_RAWIO runs wexread
    as nobody with every capability dropped, so that it has no port access
    either."""
    with open("/proc/self/status") as f:
        caps = int(re.search(r"CapEff:\s*([0-9a-f]+)", f.read()).group(1), 16)
    prefix = []
    if caps & (1 << 17):
        if not shutil.which("setpriv"):
            print("alarms: the relay-off line not checked (CAP_SYS_RAWIO held, no setpriv)")
            return
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                  "--inh-caps=-all", "--bounding-set=-all"]
    env = {k: v for k, v in os.environ.items()
           if k not in ("WEXLINK_IOSPACE", "WEXLINK_GRANTED_PORTS")}
    p = spawn(prefix + [o.wexread, "--device", os.path.join(folder, "absent"), "--count", "1",
                        "--high", "01:00:0=10", "--relay", "1"], env=env,
              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    err = p.communicate(timeout=30)[1]
    check(p.returncode == 3 and err.count("relay actions are off") == 1,
          "without port access: %d %r" % (p.returncode, err))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--shots", help="keep a screenshot of the page with the alarm raised here")
    o = parser.parse_args()

    def both(folder):
        relay_off_check(o, folder)
        run(o, folder)

    return e2e.run_case(both, "wexread-alarms-")


if __name__ == "__main__":
    sys.exit(main())
