#!/usr/bin/env python3
"""wexread under hostile clients and faults, against w316sim on a pty.

  http   one wexread with --listen and --output; while /metrics is asked every
         0.2 s (each answer must come within 1 s): a multi-range request, a
         256 MB body, a 2-million-line header flood, 30 slowloris clients,
         1,000 short connections, 16 event streams opened, closed and opened
         again (a 17th refused, /metrics answering beside them), Host
         rebinding and the security headers, /history's bounds, a second
         wexread on the same port (exit 1, address in use); then SIGTERM while
         a client trickles. Peak RSS under 32 MiB, the stop within 3 s, the
         output file whole rows only.
  files  SIGTERM (twice) while a write is blocked on a full pipe, a full disk
         on a small tmpfs (root only; else that part is skipped) and the run
         after it, --output and --textfile naming one file, a FIFO with no
         reader, a symbolic link as --output.

Prints each figure measured. Exit 77 when the case cannot run here.
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wexread_e2e import Sim, check, run_case, spawn  # noqa: E402

RSS_LIMIT_KB = 32 * 1024


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmHWM:\s+(\d+) kB", f.read()).group(1))


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def request(port, head, timeout=5.0, read_all=True):
    """Sends `head` and returns (status, headers, body) or (None, ...) on a close."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(head.encode() if isinstance(head, str) else head)
        return read_reply(s, read_all)


def read_reply(s, read_all=True):
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        m = re.match(r"HTTP/1\.[01] (\d+)", lines[0])
        if not m:
            return None, {}, b""
        headers = {l.split(":", 1)[0].lower(): l.split(":", 1)[1].strip()
                   for l in lines[1:] if ":" in l}
        length = int(headers.get("content-length", "0"))
        while read_all and len(body) < length:
            chunk = s.recv(65536)
            if not chunk:
                break
            body += chunk
        return int(m.group(1)), headers, body
    except (ConnectionResetError, BrokenPipeError):
        return None, {}, b""


def get(port, path, host=None, extra=""):
    return request(port, "GET %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\n\r\n" %
                   (path, host or "127.0.0.1:%d" % port, extra))


class Prober(threading.Thread):
    """Asks /metrics every 0.2 s and keeps the slowest answer (a failure: inf)."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.worst, self.count, self.running = port, 0.0, 0, True

    def run(self):
        while self.running:
            started = time.monotonic()
            try:
                status, _, body = get(self.port, "/metrics")
                took = time.monotonic() - started if status == 200 and body else float("inf")
            except OSError:
                took = float("inf")
            self.worst = max(self.worst, took)
            self.count += 1
            time.sleep(0.2)


def start_reader(o, sim, folder, extra):
    out = os.path.join(folder, "rows.jsonl")
    reader = spawn([o.wexread, "--device", sim.link, "--period", "700", "--format", "jsonl",
                    "--listen", "127.0.0.1:0", "--output", out] + extra,
                   stderr=subprocess.PIPE, text=True)
    said = reader.stderr.readline()
    m = re.fullmatch(r"wexread: metrics at http://127\.0\.0\.1:(\d+)/metrics\n", said)
    check(m, "wexread said " + repr(said))
    return reader, int(m.group(1)), out


def whole_rows(path):
    with open(path, "rb") as f:
        data = f.read()
    check(data == b"" or data.endswith(b"\n"), "%s ends in a cut-off row: %r" % (path, data[-80:]))
    for line in data.decode().splitlines():
        if line.strip():
            json.loads(line)  # raises on a cut or joined row
    return data.count(b"\n")


def stop_within(proc, seconds, sig=signal.SIGTERM):
    started = time.monotonic()
    proc.send_signal(sig)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise AssertionError("not stopped 10 s after the signal")
    took = time.monotonic() - started
    check(took < seconds and proc.returncode == 0,
          "stop took %.2f s, exit status %s" % (took, proc.returncode))
    return took


# ---- the listener ----------------------------------------------------------


def attack_multirange(port, _pid):
    ranges = ",".join(["0-"] * 1300)  # about 4 KB
    replies = []
    threads = [threading.Thread(target=lambda: replies.append(
        get(port, "/dygraph.min.js", extra="Range: bytes=%s\r\n" % ranges))) for _ in range(4)]
    [t.start() for t in threads]
    [t.join(30) for t in threads]
    _, _, whole = get(port, "/dygraph.min.js")
    biggest = max(len(b) for _, _, b in replies)
    check(all(s in (200, 416) for s, _, _ in replies) and biggest <= len(whole),
          "multi-range: statuses %r, %d bytes for a %d-byte file" %
          ([s for s, _, _ in replies], biggest, len(whole)))
    return "4 multi-range requests: %r, largest reply %d bytes" % (
        sorted({s for s, _, _ in replies}), biggest)


def attack_big_body(port, _pid):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"POST /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 268435456\r\n\r\n")
    sent, block = 0, b"x" * 65536
    started = time.monotonic()
    try:
        while sent < 268435456 and time.monotonic() - started < 20:
            sent += s.send(block)
    except OSError:
        pass
    status, _, _ = read_reply(s)
    s.close()
    check(sent < 268435456 and status in (405, 413, None),
          "256 MB body: %d bytes taken, status %s" % (sent, status))
    return "256 MB POST: %s after %.1f MB were taken" % (status, sent / 1e6)


def attack_header_flood(port, _pid):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    line, sent = b"X-Flood: 1\r\n" * 1000, 0
    try:
        for _ in range(2000):  # 2 million lines
            s.sendall(line)
            sent += 1000
    except OSError:
        pass
    status, _, _ = read_reply(s)
    s.close()
    check(sent < 2000000 and status in (431, None),
          "header flood: %d lines taken, status %s" % (sent, status))
    return "header flood: %s after %d lines" % (status, sent)


def attack_slowloris(port, _pid, clients=30, seconds=12):
    socks = []
    for _ in range(clients):
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        s.sendall(b"GET /metrics HTTP/1.1\r\n")
        socks.append(s)
    started = time.monotonic()
    held = 0
    while time.monotonic() - started < seconds:
        time.sleep(2)
        for s in socks:
            try:
                s.sendall(b"X-Slow: 1\r\n")
            except OSError:
                continue
        held = time.monotonic() - started
    closed = 0
    for s in socks:
        try:
            s.settimeout(0.5)
            closed += s.recv(1) == b""
        except ConnectionResetError:
            closed += 1
        except OSError:
            pass
        s.close()
    check(closed == clients, "slowloris: %d of %d trickling clients still held after %.0f s" %
          (clients - closed, clients, held))
    return "slowloris: %d clients, all closed by the server within %.0f s" % (clients, held)


def attack_short_connections(port, pid):
    before = open_fds(pid)
    started = time.monotonic()
    for i in range(1000):
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            if i % 2:
                s.sendall(b"GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")
    took = time.monotonic() - started
    time.sleep(1)
    after = open_fds(pid)
    check(after <= before + 2, "1,000 short connections: descriptors %d before, %d after" %
          (before, after))
    return "1,000 short connections in %.1f s, descriptors %d -> %d" % (took, before, after)


def open_events(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(("GET /events HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % port).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return s, int(data.split(b" ", 2)[1]) if data else None


def attack_events(port, _pid):
    # 16 pages open: a 17th is refused; /metrics still answers beside them.
    pages = [open_events(port) for _ in range(16)]
    check(all(status == 200 for _, status in pages), "16 pages: %r" % [s for _, s in pages])
    extra, status = open_events(port)
    extra.close()
    check(status == 503, "the 17th page got %s" % status)
    status, _, body = get(port, "/metrics")
    check(status == 200 and b"wexlink_rows_total" in body, "/metrics with 16 pages open: %s" % status)
    # Closed all at once, then opened again: every slot is free again within
    # a second of the close.
    for s, _ in pages:
        s.close()
    time.sleep(1)
    burst = [open_events(port) for _ in range(16)]
    refused = sum(status != 200 for _, status in burst)
    for s, _ in burst:
        s.close()
    check(refused == 0, "%d of 16 pages refused 1 s after the others closed" % refused)
    return "events: 17th page 503, 16 reopened 1 s after a close: %d refused" % refused


def attack_rebinding(port, _pid):
    status, headers, _ = get(port, "/metrics", host="attacker.example:%d" % port)
    check(status in (421, 403), "Host attacker.example: %s" % status)
    for host in ("localhost:%d" % port, "127.0.0.1:%d" % port, "localhost"):
        status, headers, _ = get(port, "/", host=host)
        check(status == 200, "Host %s: %s" % (host, status))
    check(headers.get("x-content-type-options") == "nosniff" and
          "default-src 'self'" in headers.get("content-security-policy", "") and
          "frame-ancestors 'none'" in headers.get("content-security-policy", ""),
          "page headers: %r" % headers)
    for path, want in (("/history?minutes=360", 200), ("/history?minutes=361", 400),
                       ("/history?minutes=0", 400), ("/history?minutes=x", 400)):
        status, _, _ = get(port, path)
        check(status == want, "%s: %s, not %s" % (path, status, want))
    status, headers, _ = request(port, "DELETE /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n")
    check(status == 405, "DELETE: %s" % status)
    return "rebinding: attacker Host refused, nosniff and CSP present, /history bounds"


def attack_second(o, sim, port):
    # A second wexread on the same address: refused, exit 1.
    second = spawn([o.wexread, "--device", sim.link, "--listen", "127.0.0.1:%d" % port,
                    "--count", "1"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _, err = second.communicate(timeout=10)
    check(second.returncode == 1 and "address in use" in err,
          "second instance: exit %s, %r" % (second.returncode, err))
    return "second instance on the port: exit 1, address in use"


def test_http(o, folder):
    sim = Sim(o.sim, folder, [])
    reader, port, out = start_reader(o, sim, folder, [])
    prober = Prober(port)
    prober.start()
    try:
        attacks = [attack_multirange, attack_big_body, attack_header_flood, attack_slowloris,
                   attack_events, attack_rebinding, attack_short_connections, attack_second]
        if o.only:
            attacks = [a for a in attacks if a.__name__ == "attack_" + o.only]
        for attack in attacks:
            started = time.monotonic()
            try:
                figure = attack(port, reader.pid) if attack != attack_second else \
                    attack(o, sim, port)
            except (AssertionError, OSError, subprocess.TimeoutExpired) as e:
                if not o.go_on:
                    raise
                figure = "FAILED: %s" % e
            print("%s | %.1f s, peak RSS %d KiB, slowest /metrics %.2f s" % (
                figure, time.monotonic() - started, peak_rss_kb(reader.pid), prober.worst),
                flush=True)
    finally:
        prober.running = False
        prober.join(5)
    rss = peak_rss_kb(reader.pid)

    # SIGTERM while a client trickles its head.
    trickler = socket.create_connection(("127.0.0.1", port))
    trickler.sendall(b"GET /metrics HTTP/1.1\r\nX-Slow: 1\r\n")
    time.sleep(0.5)
    took = stop_within(reader, 3)
    trickler.close()
    rows = whole_rows(out)
    print("peak RSS %d KiB; slowest /metrics %.3f s of %d; stop during a trickle %.2f s; "
          "%d whole rows" % (rss, prober.worst, prober.count, took, rows))
    check(rss < RSS_LIMIT_KB, "peak RSS %d KiB" % rss)
    check(prober.worst < 1.0, "/metrics took %.2f s at worst" % prober.worst)
    check(rows > 0, "no rows written")


# ---- the files ---------------------------------------------------------------


def full_pipe():
    r, w = os.pipe()
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, b"\n" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
    return r, w


def drain_lines(r):
    data = b""
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            return data
        data += chunk


def check_blocked_write(o, sim, signals):
    r, w = full_pipe()
    p = spawn([o.wexread, "--device", sim.link, "--period", "700", "--format", "jsonl"],
              stdout=w, stderr=subprocess.DEVNULL)
    os.close(w)
    time.sleep(5)  # the first buffer of rows is due at 3.5 s: its write blocks
    started = time.monotonic()
    for _ in range(signals):
        p.send_signal(signal.SIGTERM)
        time.sleep(0.2)
    got = []
    drainer = threading.Thread(target=lambda: got.append(drain_lines(r)), daemon=True)
    drainer.start()
    p.wait(timeout=10)
    took = time.monotonic() - started
    drainer.join(5)
    os.close(r)
    text = got[0].decode()
    check(text.endswith("\n"), "SIGTERM x%d during a blocked write: cut row %r" %
          (signals, text[-80:]))
    records = [json.loads(l) for l in text.splitlines() if l.strip()]
    check(took < 3 and p.returncode == 0, "SIGTERM x%d during a blocked write: %.2f s, exit %s" %
          (signals, took, p.returncode))
    return "SIGTERM x%d during a blocked write: stopped in %.2f s, %d whole rows" % (
        signals, took, len(records))


def check_full_disk(o, sim, folder):
    mount = os.path.join(folder, "small")
    os.mkdir(mount)
    if os.geteuid() != 0 or subprocess.call(["mount", "-t", "tmpfs", "-o", "size=64k",
                                             "tmpfs", mount], stderr=subprocess.DEVNULL) != 0:
        return "full disk: skipped (mounting a tmpfs needs root)"
    try:
        out = os.path.join(mount, "rows.jsonl")
        # The file's one page nearly full of whole rows, every other page taken.
        with open(out, "w") as f:
            f.write("{}\n" * 1250)
        try:
            with open(os.path.join(mount, "filler"), "wb") as f:
                while True:
                    f.write(b"\0" * 4096)
                    f.flush()
        except OSError:
            pass
        p = spawn([o.wexread, "--device", sim.link, "--period", "700", "--format", "jsonl",
                   "--output", out], stderr=subprocess.PIPE, text=True)
        _, err = p.communicate(timeout=30)
        check(p.returncode == 1 and "No space left" in err,
              "full disk: exit %s, %r" % (p.returncode, err))
        whole_rows(out)
        # The next run appends after a line cut by something else: its rows
        # start on lines of their own.
        os.unlink(os.path.join(mount, "filler"))
        with open(out, "a") as f:
            f.write('{"cut":')
        p = spawn([o.wexread, "--device", sim.link, "--period", "700", "--format", "jsonl",
                   "--count", "5", "--output", out])
        check(p.wait(timeout=30) == 0, "the run after the full disk: exit %s" % p.returncode)
        with open(out) as f:
            lines = f.read().splitlines()
        check(lines[-6] == '{"cut":' and all(json.loads(l)["module"] for l in lines[-5:]),
              "after a cut line: %r" % lines[-7:])
        return "full disk: exit 1, %d whole rows kept, the next run on lines of its own" % (
            len(lines) - 1256)
    finally:
        subprocess.call(["umount", mount])


def test_files(o, folder):
    sim = Sim(o.sim, folder, [])
    print(check_blocked_write(o, sim, 1), flush=True)
    print(check_blocked_write(o, sim, 2), flush=True)
    print(check_full_disk(o, sim, folder), flush=True)

    # --output and --textfile naming one file, in two spellings: a usage error.
    rows = os.path.join(folder, "same")
    p = spawn([o.wexread, "--device", sim.link, "--output", rows, "--textfile",
               os.path.join(folder, ".", "same"), "--count", "1"], stderr=subprocess.PIPE,
              text=True)
    _, err = p.communicate(timeout=10)
    check(p.returncode == 2 and "same file" in err, "same file: exit %s, %r" % (p.returncode, err))

    # A FIFO with no reader: a clear error at once, not a wait in open.
    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo)
    started = time.monotonic()
    p = spawn([o.wexread, "--device", sim.link, "--output", fifo, "--count", "1"],
              stderr=subprocess.PIPE, text=True)
    try:
        _, err = p.communicate(timeout=3)
    except subprocess.TimeoutExpired:
        p.kill()
        raise AssertionError("a FIFO with no reader: still waiting after 3 s")
    check(p.returncode == 1 and "no reader" in err, "FIFO: exit %s, %r" % (p.returncode, err))
    print("FIFO with no reader: exit 1 in %.2f s" % (time.monotonic() - started))

    # A symbolic link as --output: refused, its target untouched.
    target = os.path.join(folder, "target")
    with open(target, "w") as f:
        f.write("kept\n")
    os.symlink(target, os.path.join(folder, "link"))
    p = spawn([o.wexread, "--device", sim.link, "--output", os.path.join(folder, "link"),
               "--count", "1"], stderr=subprocess.PIPE, text=True)
    _, err = p.communicate(timeout=10)
    with open(target) as f:
        kept = f.read()
    check(p.returncode == 1 and "symbolic link" in err and kept == "kept\n",
          "symlink: exit %s, %r, target %r" % (p.returncode, err, kept))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["http", "files"])
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--only", help="http: this attack alone (multirange, big_body, ...)")
    parser.add_argument("--go-on", action="store_true",
                        help="http: print a failed attack and go on to the next (to measure)")
    o = parser.parse_args()
    case = {"http": test_http, "files": test_files}[o.case]
    return run_case(lambda folder: case(o, folder), "wexread-attack-")


if __name__ == "__main__":
    sys.exit(main())
