#!/usr/bin/env python3
"""wexread's plant protocols end to end: the real library against w316sim on
a pty, Debian's mosquitto broker on a free loopback port, mosquitto_sub and
mbpoll as the clients a site would use.

  protocols  one run with --mqtt and --modbus: retained discovery configs and
             availability, states and JSON rows, a channel without a reading,
             a changed value and a silent module seen through both protocols,
             mbpoll reading the raw and tenths registers, the counters and the
             discrete inputs and refused a write, a tight Modbus read loop
             while the row times stay one period apart, a broker restart
             (configs, "online" and states come back), "offline" on a clean
             exit and as the will of a killed run
  modbus     what the server adds to libmodbus: the gaps of the map, the
             connection limit, malformed and random frames, a client that
             stops in the middle of a frame, an idle connection closed after
             60 s; a well-formed client is answered throughout

Exit 77: mosquitto, mosquitto_sub or mbpoll is missing, or wexread was built
without the protocol (the reason on standard output).
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wexread_e2e import (Sim, Skip, check, free_port, parse_time, run_case, spawn,  # noqa: E402
                         wait_for)

PERIOD_MS = 700


def default_raw(module, channel):
    return 32320 + 16 * module + 2 * channel


def tenths(raw):
    """Tenths of a degree Celsius, rounded half away from zero, as a signed value."""
    steps = raw - 32000  # sixteenths
    magnitude = (abs(steps) * 10 + 8) // 16
    return magnitude if steps >= 0 else -magnitude


def text_of(raw):
    value = (raw - 32000) / 16
    return repr(value) if value != int(value) else "%.1f" % value


# ---- the broker and its subscribers --------------------------------------


class Broker:
    def __init__(self, folder):
        for tool in ("mosquitto", "mosquitto_sub"):
            if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
                raise Skip(tool + " is not installed (scripts/install-deps)")
        self.port = free_port()
        self.conf = os.path.join(folder, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.log = open(os.path.join(folder, "mosquitto.log"), "a")
        self.start()

    def start(self):
        binary = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.proc = spawn([binary, "-c", self.conf], stdout=self.log, stderr=self.log)
        wait_for("mosquitto to listen", self.listening, 10)

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.proc.terminate()
        check(self.proc.wait(timeout=10) == 0, "mosquitto exit %s" % self.proc.returncode)

    def retained(self, topic, seconds=2):
        """{topic: payload} of the retained messages a new subscription gets."""
        out = subprocess.run(["mosquitto_sub", "-p", str(self.port), "-t", topic, "-v",
                              "-F", "%r %t %p", "-W", str(seconds)],
                             capture_output=True, text=True, timeout=seconds + 10).stdout
        found = {}
        for line in out.splitlines():
            flag, topic_, payload = line.split(" ", 2)
            if flag == "1":
                found[topic_] = payload
        return found


class Subscriber:
    """mosquitto_sub kept running: every message with its arrival time."""

    def __init__(self, broker, topic):
        self.proc = spawn(["mosquitto_sub", "-p", str(broker.port), "-t", topic,
                           "-F", "%U %r %t %p"], stdout=subprocess.PIPE, text=True, bufsize=1)
        self.messages = []  # (received, retained, topic, payload)
        self.lock = threading.Lock()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            stamp, flag, topic, payload = line.rstrip("\n").split(" ", 3)
            with self.lock:
                self.messages.append((float(stamp), flag == "1", topic, payload))

    def since(self, start):
        with self.lock:
            return [m for m in self.messages if m[0] >= start]

    def last(self, topic, start=0):
        found = [m[3] for m in self.since(start) if m[2] == topic]
        return found[-1] if found else None


# ---- Modbus TCP by hand, for what mbpoll cannot send ----------------------


class ModbusClient:
    def __init__(self, port, timeout=5):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.tid = 0

    def close(self):
        self.sock.close()

    def request(self, function, data, unit=1):
        self.tid = (self.tid + 1) & 0xFFFF
        pdu = bytes([function]) + data
        self.sock.sendall(struct.pack(">HHHB", self.tid, 0, len(pdu) + 1, unit) + pdu)
        return self.reply()

    def reply(self):
        head = self.recv_exactly(7)
        tid, protocol, length, unit = struct.unpack(">HHHB", head)
        check(protocol == 0 and 2 <= length <= 254, "reply header %r" % head)
        return tid, unit, self.recv_exactly(length - 1)

    def recv_exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed by the server")
            data += chunk
        return data

    def read_input(self, address, count, unit=1):
        """The registers, or the exception code as a negative number."""
        _, _, pdu = self.request(4, struct.pack(">HH", address, count), unit)
        if pdu[0] == 0x84:
            return -pdu[1]
        check(pdu[0] == 4 and pdu[1] == 2 * count, "reply %r" % pdu)
        return list(struct.unpack(">%dH" % count, pdu[2:]))

    def closed_by_server(self, timeout):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:  # closed with bytes of ours unread
            return True
        except socket.timeout:
            return False


def mbpoll(port, *args, write=()):
    out = subprocess.run(["mbpoll", "-m", "tcp", "-a", "1", "-p", str(port), "-0", "-1"] +
                         list(args) + ["127.0.0.1"] + list(write), capture_output=True, text=True,
                         timeout=20)
    # A register of 32768 or more prints as "65411 (-125)": the signed value.
    values = {int(a): int(signed or v) for a, v, signed in
              re.findall(r"^\[(\d+)\]:\s+(\d+)(?: \((-?\d+)\))?", out.stdout, re.M)}
    return values, out.stdout + out.stderr


def start_wexread(o, sim, folder, extra, modules=2):
    path = os.path.join(folder, "rows-%d.jsonl" % time.monotonic_ns())
    proc = spawn([o.wexread, "--device", sim.link, "--modules", str(modules), "--period",
                  str(PERIOD_MS), "--format", "jsonl", "--output", path] + extra,
                 stderr=subprocess.PIPE, text=True)
    said = {}
    while ("--mqtt" in extra and "mqtt" not in said) or ("--modbus" in extra and
                                                         "modbus" not in said):
        line = proc.stderr.readline()
        if not line:
            err = proc.stderr.read()
            if "built without" in err:
                raise Skip(err.strip())
            raise AssertionError("wexread ended at the start: " + err)
        m = re.search(r"Modbus TCP at .*:(\d+)$", line.strip())
        if m:
            said["modbus"] = int(m.group(1))
        if "MQTT to" in line:
            said["mqtt"] = True
    return proc, path, said.get("modbus")


def rows_of(path):
    with open(path) as f:
        return [json.loads(l) for l in f if l.endswith("\n")]


def metrics_of(path):
    with open(path) as f:
        return {m.group(1): float(m.group(2))
                for m in re.finditer(r"^(\w+)\{[^}]*\} (\S+)$", f.read(), re.M)}


# ---- protocols: one run with both -------------------------------------------


def test_protocols(o, folder):
    if not shutil.which("mbpoll"):
        raise Skip("mbpoll is not installed (scripts/install-deps)")
    broker = Broker(folder)
    sim = Sim(o.sim, folder, ["--modules", "2", "--raw", "0.4=34001"])
    sub = Subscriber(broker, "#")
    textfile = os.path.join(folder, "metrics.prom")
    reader, rows_path, mb_port = start_wexread(
        o, sim, folder, ["--mqtt", "mqtt://127.0.0.1:%d" % broker.port, "--mqtt-prefix",
                         "site/a", "--modbus", ":0", "--textfile", textfile])
    node = re.sub(r"[^A-Za-z0-9_-]", "_", socket.gethostname())
    base = "site/a/%s/com1" % node

    # Discovery: one retained config per channel, what Home Assistant reads.
    wait_for("online", lambda: broker.retained(base + "/availability", 1).get(
        base + "/availability") == "online", 15)
    configs = broker.retained("homeassistant/#")
    check(len(configs) == 16, "%d discovery configs: %r" % (len(configs), sorted(configs)))
    for m in range(2):
        for c in range(8):
            topic = "homeassistant/sensor/%s/com1_010%d_ch%d/config" % (node, m, c)
            check(topic in configs, "no config at " + topic)
            cfg = json.loads(configs[topic])
            want = {"name": "COM1 01:0%d ch%d" % (m, c),
                    "unique_id": "wexlink_%s_com1_010%d_ch%d" % (node, m, c),
                    "state_topic": "%s/010%d/ch%d" % (base, m, c),
                    "device_class": "temperature", "unit_of_measurement": "\u00b0C",
                    "state_class": "measurement", "availability_topic": base + "/availability"}
            check({k: cfg.get(k) for k in want} == want, "config %s: %r" % (topic, cfg))
            check(cfg["device"]["model"] == "W316" and "manufacturer" not in cfg["device"] and
                  cfg["device"]["identifiers"] == ["wexlink_%s_com1_010%d" % (node, m)],
                  "device %r" % cfg["device"])

    # States: the numbers, "None" for the channel out of range, the JSON row.
    def states_are(want, start):
        return all(sub.last("%s/%s/ch%d" % (base, key, c), start) == v
                   for key, values in want.items() for c, v in enumerate(values))

    expect = {"0100": [text_of(default_raw(0, c)) if c != 4 else "None" for c in range(8)],
              "0101": [text_of(default_raw(1, c)) for c in range(8)]}
    wait_for("the states", lambda: states_are(expect, 0), 20)
    row = json.loads(sub.last(base + "/0101/row"))
    check(row["module"] == "01:01" and row["up"] and
          row["celsius"] == [(default_raw(1, c) - 32000) / 16 for c in range(8)], "row %r" % row)

    # The register map through a real client.
    raw, said = mbpoll(mb_port, "-t", "3", "-r", "0", "-c", "8")
    check({a: v & 0xFFFF for a, v in raw.items()} ==
          {a: (34001 if a == 4 else default_raw(0, a)) for a in range(8)},
          "raw registers: " + said)
    got, said = mbpoll(mb_port, "-t", "3", "-r", "256", "-c", "8")
    check(got == {256 + c: (tenths(default_raw(0, c)) if c != 4 else -32768) for c in range(8)},
          "tenths registers: " + said)
    got, said = mbpoll(mb_port, "-t", "3", "-r", "512", "-c", "3")
    rows_stored = got.get(512, -1) * 65536 + got.get(513, -1)
    written = len(rows_of(rows_path)) // 2
    check(rows_stored >= 1 and written - 1 <= rows_stored <= written and 0 <= got[514] <= 10,
          "counters %r (%d rows written): %s" % (got, written, said))
    got, said = mbpoll(mb_port, "-t", "1", "-r", "0", "-c", "2")
    check(got == {0: 1, 1: 1}, "discrete inputs: " + said)
    got, said = mbpoll(mb_port, "-t", "4", "-r", "0", write=["5"])
    check("Illegal function" in said, "a write was not refused: " + said)
    got, said = mbpoll(mb_port, "-t", "3", "-r", "16", "-c", "1")
    check("Illegal data address" in said, "register 16 with two modules: " + said)

    # A changed value and a silent module, through both protocols.
    changed = time.time()
    sim.command("temp 1.3 30.5")
    wait_for("the new value", lambda: sub.last(base + "/0101/ch3", changed) == "30.5", 20)
    client = ModbusClient(mb_port)
    check(client.read_input(256 + 11, 1) == [305], "tenths after the change")
    silenced = time.time()
    sim.command("silent 1")
    wait_for("down", lambda: sub.last(base + "/0101/up", silenced) == "down", 30)
    check(all(sub.last("%s/0101/ch%d" % (base, c), silenced) == "None" for c in range(8)),
          "a silent module's channels are not None")
    check(client.read_input(256 + 8, 8) == [32768] * 8, "tenths of a silent module")
    _, _, bits = client.request(2, struct.pack(">HH", 0, 2))
    check(bits == bytes([2, 1, 1]), "discrete inputs with module 1 silent: %r" % bits)
    sim.command("answer 1")

    # Modbus under a tight loop: every read answered, the rows keep their pace.
    loop_start = len(rows_of(rows_path))
    t0 = time.monotonic()
    reads = 0
    while time.monotonic() - t0 < 8:
        check(len(client.read_input(0, 8)) == 8, "loop read")
        reads += 1
    client.close()
    wait_for("rows after the loop", lambda: len(rows_of(rows_path)) >= loop_start + 10, 20)
    times = [parse_time(r["time"]) for r in rows_of(rows_path)[loop_start::2]]
    gaps = [b - a for a, b in zip(times, times[1:])]
    check(reads > 500 and all(abs(g - 2 * PERIOD_MS / 1000) < 0.05 for g in gaps),
          "%d reads; row gaps %r" % (reads, gaps))

    # Broker restart: without persistence the broker forgets everything;
    # wexread reconnects and sends configs, "online" and states again.
    broker.stop()
    time.sleep(2)
    broker.start()
    restarted = time.time()
    sub = Subscriber(broker, "#")
    wait_for("online after the restart", lambda: broker.retained(
        base + "/availability", 1).get(base + "/availability") == "online", 40)
    check(len(broker.retained("homeassistant/#")) == 16, "configs after the restart")
    wait_for("states after the restart",
             lambda: sub.last(base + "/0101/ch3", restarted) == "30.5", 20)
    m = metrics_of(textfile)
    check(m.get("wexlink_mqtt_connected") == 1 and m.get("wexlink_mqtt_rows_published_total", 0) >= 5
          and m.get("wexlink_modbus_requests_total", 0) > 500
          and m.get("wexlink_modbus_exceptions_total") == 2, "metrics %r" % m)

    # A clean exit: "offline" stays retained.
    reader.send_signal(signal.SIGTERM)
    check(reader.wait(timeout=15) == 0, "exit status %s: %s" % (reader.returncode,
                                                                reader.stderr.read()))
    check(broker.retained(base + "/availability").get(base + "/availability") == "offline",
          "no offline after a clean exit")
    # A counted run ends right after its last row: every row still goes out.
    counted_from = time.time()
    counted, counted_path, _ = start_wexread(o, sim, folder, [
        "--mqtt", "mqtt://127.0.0.1:%d" % broker.port, "--mqtt-prefix", "site/a", "--count", "5"])
    check(counted.wait(timeout=30) == 0, "counted run: exit %s" % counted.returncode)
    written = [r["time"] for r in rows_of(counted_path) if r["module"] == "01:00"]
    wait_for("the counted run's rows", lambda: [
        json.loads(m[3])["time"] for m in sub.since(counted_from)
        if m[2] == base + "/0100/row"] == written, 5)
    # A killed run: the broker publishes the will.
    killed, _, _ = start_wexread(o, sim, folder, ["--mqtt", "mqtt://127.0.0.1:%d" % broker.port,
                                                  "--mqtt-prefix", "site/a"])
    wait_for("online again", lambda: broker.retained(base + "/availability", 1).get(
        base + "/availability") == "online", 15)
    killed.kill()
    killed.wait()
    wait_for("the will", lambda: broker.retained(base + "/availability", 1).get(
        base + "/availability") == "offline", 10)
    print("protocols: 16 configs, states, %d Modbus reads in 8 s, broker restart, will" % reads)


# ---- modbus: the map's edges and the server's limits ------------------------


def test_modbus(o, folder):
    sim = Sim(o.sim, folder, ["--modules", "2"])
    textfile = os.path.join(folder, "metrics.prom")
    reader, rows_path, port = start_wexread(o, sim, folder, ["--modbus", "127.0.0.1:0",
                                                             "--textfile", textfile])
    idle = ModbusClient(port)  # sends nothing: closed after 60 s
    idle_since = time.monotonic()
    good = ModbusClient(port)
    wait_for("a row", lambda: good.read_input(513, 1) != [0], 15)

    # The map: its blocks and the gaps between them, any unit id.
    check(good.read_input(0, 16) == [default_raw(m, c) for m in range(2) for c in range(8)],
          "raw block")
    check(good.read_input(0, 17) == -2 and good.read_input(15, 2) == -2, "past the raw block")
    check(good.read_input(255, 2) == -2 and good.read_input(272, 1) == -2, "around tenths")
    check(len(good.read_input(256, 16, unit=0)) == 16 and len(good.read_input(256, 16, 247)) == 16,
          "unit ids")
    check(good.read_input(511, 2) == -2 and good.read_input(512, 4) == -2 and
          good.read_input(515, 1) == -2 and len(good.read_input(512, 3)) == 3, "counters")
    check(good.read_input(0, 0) == -3 and good.read_input(0, 126) == -3, "counts")
    _, _, pdu = good.request(2, struct.pack(">HH", 1, 2))
    check(pdu == bytes([0x82, 2]), "discrete input 2 of 2 modules: %r" % pdu)
    for function in (1, 3, 5, 6, 15, 16, 22, 23, 43, 0x7F):
        _, _, pdu = good.request(function, struct.pack(">HH", 0, 1) + b"\x02\x00\x01")
        check(pdu == bytes([function | 0x80, 1]), "function %d: %r" % (function, pdu))
    _, _, pdu = good.request(4, b"\x00")  # a read without its count
    check(pdu == bytes([0x84, 3]), "short read: %r" % pdu)
    # Two requests in one segment: two replies in order.
    good.sock.sendall(struct.pack(">HHHBBHH", 700, 0, 6, 1, 4, 0, 1) +
                      struct.pack(">HHHBBHH", 701, 0, 6, 1, 4, 8, 1))
    check([good.reply()[0], good.reply()[0]] == [700, 701], "pipelined requests")

    # The limit: 8 connections (idle and good among them); a 9th is closed.
    extra = [ModbusClient(port) for _ in range(6)]
    ninth = ModbusClient(port)
    check(ninth.closed_by_server(2), "a 9th connection was kept")
    extra.pop().close()
    time.sleep(0.3)
    again = ModbusClient(port)
    check(len(again.read_input(0, 1)) == 1, "a connection after one closed")
    for c in extra + [again]:
        c.close()

    # Frames that are not Modbus TCP close their connection, nothing else.
    for frame in (struct.pack(">HHHB", 1, 1, 6, 1) + b"\x04\x00\x00\x00\x01",  # protocol 1
                  struct.pack(">HHHB", 1, 0, 1, 1),  # no function code
                  struct.pack(">HHHB", 1, 0, 300, 1) + b"\x04" * 299,  # too long
                  struct.pack(">HHHBBHH", 1, 0, 6, 1, 0x84, 0, 1)):  # an exception code
        bad = ModbusClient(port)
        bad.sock.sendall(frame)
        check(bad.closed_by_server(2), "kept after %r" % frame[:8])
        bad.close()
    rng = random.Random(7)
    for _ in range(300):
        bad = ModbusClient(port)
        try:
            bad.sock.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40))))
        except OSError:
            pass
        bad.close()
    check(len(good.read_input(0, 8)) == 8, "no answer after random frames")

    # A client that stops within a frame holds only itself, for 5 s at most.
    slow = ModbusClient(port)
    slow.sock.sendall(struct.pack(">HHHB", 9, 0, 6, 1) + b"\x04")
    t0 = time.monotonic()
    worst = 0
    while time.monotonic() - t0 < 3:
        t = time.monotonic()
        check(len(good.read_input(0, 8)) == 8, "read beside a stalled client")
        worst = max(worst, time.monotonic() - t)
    check(worst < 0.5, "reads waited %.3f s beside a stalled client" % worst)
    check(slow.closed_by_server(5), "a stalled frame was kept over 5 s")
    check(time.monotonic() - t0 < 7, "a stalled frame was kept %.1f s" % (time.monotonic() - t0))

    # The idle connection goes after 60 s; one that asks stays.
    while time.monotonic() - idle_since < 55:
        check(len(good.read_input(512, 3)) == 3, "read while waiting")
        time.sleep(5)
    check(idle.closed_by_server(10), "idle connection kept")
    check(58 <= time.monotonic() - idle_since <= 66, "idle close after %.1f s" %
          (time.monotonic() - idle_since))
    check(len(good.read_input(0, 1)) == 1, "the asking connection was closed")
    m = metrics_of(textfile)
    check(m.get("wexlink_modbus_connections_refused_total") == 1 and
          m.get("wexlink_modbus_exceptions_total", 0) >= 20, "metrics %r" % m)
    reader.send_signal(signal.SIGINT)
    check(reader.wait(timeout=10) == 0, "exit status %s" % reader.returncode)
    times = [parse_time(r["time"]) for r in rows_of(rows_path)[::2]]
    check(all(abs(b - a - 1.4) < 0.05 for a, b in zip(times, times[1:])), "row times %r" % times)
    print("modbus: map edges, 8 connections, malformed and 300 random frames, "
          "stalled and idle clients")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["protocols", "modbus"])
    parser.add_argument("--wexread", required=True)
    parser.add_argument("--sim", required=True)
    o = parser.parse_args()
    case = {"protocols": test_protocols, "modbus": test_modbus}[o.case]
    return run_case(lambda folder: case(o, folder), "wexread-plant-")


if __name__ == "__main__":
    sys.exit(main())
