#!/usr/bin/env python3
"""Writes the seed corpus of the fuzzers: each seed is a small scenario (a run
with good replies, a flood, a full continuous ring, refusals ...) encoded the
way FuzzedDataProvider decodes it, so the fuzzers start from inputs that
already reach deep into the driver. Run it after changing how a fuzzer reads
its input: python3 tests/fuzz/make_seeds.py
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


class Input:
    """Builds bytes for FuzzedDataProvider: integers are taken from the end of
    the data, byte strings from the front."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the provider consumes them

    def integral(self, value, lo, hi):
        assert lo <= value <= hi, (value, lo, hi)
        span = hi - lo
        number = value - lo
        count = 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        # The provider builds the number from the first byte it takes as the
        # most significant one.
        for i in reversed(range(count)):
            self.back.append((number >> (8 * i)) & 0xFF)
        return self

    def u8(self, v): return self.integral(v, 0, 0xFF)
    def i8(self, v): return self.integral(v, -128, 127)
    def u32(self, v): return self.integral(v, 0, 0xFFFFFFFF)
    def i32(self, v): return self.integral(v, -(1 << 31), (1 << 31) - 1)
    def boolean(self, v): return self.u8(1 if v else 0)

    def raw(self, data):
        self.front += bytes(data)
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def reply(values, header=(0x03, 0x01, 0x00, 0x10)):
    out = bytearray([0xAA, *header])
    for v in values:
        out += bytes([v & 0xFF, v >> 8])
    return out + bytes([0x55])


# ---- poll_step ------------------------------------------------------------
# Op codes of fuzz_poll_step.cpp.
RAW, REPLY, TICK, TICKS, THRESHOLD, TABLE, FLOOD, RESTART, REPLY_TICKS = 0, 2, 4, 9, 10, 11, 12, 13, 14


def poll_start(d, snapshot, buffers, rows, modules, use_table, period=1000):
    d.boolean(snapshot).integral(buffers, 1, 4).integral(rows, 5, 40).integral(modules, 1, 32)
    d.u32(use_table).integral(period, 700, 100000)


def poll_table(d, pairs):
    d.integral(len(pairs), 0, 31)
    for a, b in pairs:
        d.raw([a, b])


def poll_seeds():
    seeds = {}

    d = Input().i8(5)
    poll_table(d, [])
    poll_start(d, True, 1, 10, 1, 0)
    d.integral(REPLY_TICKS, 0, 15).integral(12, 1, 64)
    for i in range(12):
        d.raw(reply([32000 + i + j for j in range(8)])[1:21])
    seeds["one_module_replies"] = d

    # Two modules, threshold 3: silence, short and long reads, then good ones.
    d = Input().i8(3)
    poll_table(d, [])
    poll_start(d, True, 1, 6, 2, 0)
    for _ in range(5):
        d.integral(TICK, 0, 15)
    d.integral(RAW, 0, 15).integral(21, 0, 64).raw(reply([1] * 8)[:21])
    d.integral(TICK, 0, 15)
    d.integral(RAW, 0, 15).integral(23, 0, 64).raw(reply([2] * 8) + b"\x00")
    d.integral(TICK, 0, 15)
    d.integral(REPLY, 0, 15).raw(reply([0x7D10] * 8)[1:21])
    d.integral(TICK, 0, 15)
    d.integral(REPLY, 0, 15).raw(reply([0x1234] * 8)[1:21])
    d.integral(REPLY, 0, 15).raw(reply([0x4321] * 8)[1:21])  # two replies pile up
    d.integral(TICKS, 0, 15).integral(8, 1, 40)
    seeds["two_modules_misses"] = d

    # 32 modules addressed through the table, continuous run.
    d = Input().i8(1)
    poll_table(d, [(0x10 + k, 0x40 + k) for k in range(31)])
    poll_start(d, False, 2, 5, 32, 0x10001)
    d.integral(REPLY_TICKS, 0, 15).integral(64, 1, 64)
    for i in range(64):
        d.raw(reply([i * 8 + j for j in range(8)])[1:21])
    seeds["address_table_32_modules"] = d

    # A flood longer than one read, then a good reply.
    d = Input().i8(2)
    poll_table(d, [])
    poll_start(d, True, 1, 5, 3, 0)
    d.integral(TICK, 0, 15)
    d.integral(FLOOD, 0, 15).integral(64 * 1024 + 10 - (64 * 1024 - 8), 0, 48).u8(0xAA)
    d.integral(TICKS, 0, 15).integral(3, 1, 40)
    d.integral(REPLY, 0, 15).raw(reply([7] * 8)[1:21])
    d.integral(TICKS, 0, 15).integral(2, 1, 40)
    seeds["flood"] = d

    # Negative threshold, a change to 127 during the run, then a restart.
    d = Input().i8(-1)
    poll_table(d, [(2, 7), (2, 8)])
    poll_start(d, True, 1, 5, 2, 1)
    d.integral(TICKS, 0, 15).integral(4, 1, 40)
    d.integral(THRESHOLD, 0, 15).i8(127)
    d.integral(REPLY_TICKS, 0, 15).integral(4, 1, 64)
    for i in range(4):
        d.raw(reply([100 + i] * 8)[1:21])
    d.integral(TICKS, 0, 15).integral(6, 1, 40)
    d.integral(RESTART, 0, 15)
    poll_start(d, False, 1, 5, 1, 0)
    d.integral(TICKS, 0, 15).integral(12, 1, 40)
    seeds["threshold_changes_and_restart"] = d

    # A module that never answers: its count stops at 125, then a good reply.
    d = Input().i8(127)
    poll_table(d, [])
    poll_start(d, True, 1, 5, 1, 0)
    for _ in range(4):
        d.integral(TICKS, 0, 15).integral(40, 1, 40)
    d.integral(REPLY, 0, 15).raw(reply([9] * 8)[1:21])
    d.integral(TICKS, 0, 15).integral(2, 1, 40)
    seeds["silent_module"] = d
    return seeds


# ---- card_interface ---------------------------------------------------------
(INITIAL, IOCTL, NOTIFY, START_INTR, START_SNAP, STOP, QUERY, ADRESULT, ADRECENT, SNAPSHOT,
 TICKS_C, INFO, DEVICE, TIMER, NULLDEST) = 0, 1, 2, 3, 5, 7, 8, 9, 10, 11, 13, 16, 17, 18, 19


def c_initial(d, port, threshold, baud):
    d.integral(INITIAL, 0, 19).u32(port).i32(threshold)
    if 0 <= baud <= 20:
        d.boolean(True).integral(baud, 0, 20)
    else:
        d.boolean(False).i32(baud)


def c_start_sane(d, snapshot, buffers, rows, channels, period, table=0):
    d.integral(START_SNAP if snapshot else START_INTR, 0, 19).integral(0, 0, 3)
    extra = 4 if channels % 8 else 0
    d.integral(buffers, 0, 6).integral(rows, 3, 40).integral((channels - extra) // 8, 0, 33)
    d.integral(0 if extra else 1, 0, 7).integral(-period, 690, 100010).u32(table)


def c_start_any(d, snapshot, buffers, rows, channels, period, table=0):
    d.integral(START_SNAP if snapshot else START_INTR, 0, 19).integral(2, 0, 3)
    d.u32(buffers).u32(rows).u32(channels).i32(period).u32(table)


def c_start_huge(d, snapshot, buffers, rows, modules, period):
    d.integral(START_SNAP if snapshot else START_INTR, 0, 19).integral(3, 0, 3)
    d.integral(buffers, 1, 0xFFFF).integral(rows, 70000000, 0xFFFFFFFF).integral(modules, 1, 32)
    d.integral(-period, 700, 100000).u32(0)


def c_ticks(d, n, replies, chunks=()):
    d.integral(TICKS_C, 0, 19).integral(n, 1, 300).boolean(replies)
    for chunk in chunks:
        d.integral(len(chunk), 0, 30).raw(chunk)


def c_ioctl(d, length, data=b""):
    d.integral(IOCTL, 0, 19).boolean(True).integral(length, -2, 66).boolean(True)
    size = length if 0 < length < 64 else 1
    d.raw((bytes(data) + bytes(size))[:size])


def c_snapshot(d, rows):
    d.integral(SNAPSHOT, 0, 19)
    if rows <= 48:
        d.boolean(True).integral(rows, 0, 48)
    else:
        d.boolean(False).u32(rows)


def card_seeds():
    seeds = {}

    # The monitor's own sequence: a 200-row ring of 8 channels read 10 rows at a time.
    d = Input()
    d.integral(INFO, 0, 19).i32(8).i32(-1000)
    c_initial(d, 1, 5, 9600)
    c_start_any(d, True, 1, 200, 8, -1000)
    c_ticks(d, 12, True)
    c_snapshot(d, 10)
    c_snapshot(d, 200)
    c_snapshot(d, 201)
    d.integral(STOP, 0, 19)
    c_snapshot(d, 10)
    d.integral(STOP, 0, 19)
    seeds["monitor_snapshot_run"] = d

    # A continuous run filled until the ring is full, then read out.
    d = Input()
    c_initial(d, 1, 5, 9600)
    d.integral(NOTIFY, 0, 19).boolean(True).integral(0, 0, 5).integral(1, 0, 3).integral(2, 0, 2).u32(7).u32(9)
    c_start_sane(d, False, 3, 5, 8, -1000)
    c_ticks(d, 25, True)
    d.integral(QUERY, 0, 19)
    d.integral(ADRESULT, 0, 19)
    d.integral(QUERY, 0, 19)
    c_ticks(d, 6, True)
    d.integral(ADRECENT, 0, 19)
    d.integral(ADRESULT, 0, 19)
    d.integral(STOP, 0, 19)
    d.integral(ADRESULT, 0, 19)
    seeds["continuous_full_ring"] = d

    # Every refusal in turn.
    d = Input()
    d.integral(QUERY, 0, 19).integral(ADRESULT, 0, 19).integral(STOP, 0, 19)
    c_snapshot(d, 1)
    c_start_sane(d, True, 1, 10, 8, -1000)
    c_initial(d, 0, 5, 9600)
    c_initial(d, 1, 5, 9)
    c_initial(d, 1, 5, 10)
    c_ioctl(d, 64)
    c_ioctl(d, 3, b"\x01\x02\x03")
    c_ioctl(d, 62, bytes(range(62)))
    d.integral(NOTIFY, 0, 19).boolean(True).integral(4, 0, 5).integral(1, 0, 3).integral(1, 0, 2).u32(0).u32(0)
    c_start_sane(d, False, 0, 10, 8, -1000)
    c_start_sane(d, False, 1, 4, 8, -1000)
    c_start_sane(d, False, 1, 5, 12, -1000)
    c_start_any(d, False, 1, 5, 264, -1000)
    c_start_sane(d, False, 1, 5, 8, -100001)
    c_start_sane(d, False, 1, 5, 8, -699)
    d.integral(STOP, 0, 19)
    c_start_sane(d, True, 1, 5, 8, -700)
    c_start_sane(d, True, 1, 5, 8, -700)
    c_initial(d, 2, 5, 9600)
    d.integral(QUERY, 0, 19)
    seeds["refusals"] = d

    # Shapes beyond the size limit fail with 109 and allocate nothing.
    d = Input()
    c_initial(d, 1, 5, 9600)
    c_start_sane(d, True, 1, 5, 8, -1000)
    c_start_huge(d, False, 0xFFFF, 0xFFFFFFFF, 32, -1000)
    d.integral(STOP, 0, 19)
    c_start_huge(d, True, 1, 70000000, 1, -1000)
    c_start_huge(d, False, 2, 1 << 31, 32, -700)
    d.integral(QUERY, 0, 19)
    c_snapshot(d, 5)
    seeds["beyond_size_limit"] = d

    # The port and the timer refuse to start.
    d = Input()
    c_initial(d, 3, 1, 115200)
    d.integral(DEVICE, 0, 19).boolean(False)
    c_start_sane(d, False, 2, 5, 16, -700)
    d.integral(ADRESULT, 0, 19)
    d.integral(DEVICE, 0, 19).boolean(True)
    d.integral(TIMER, 0, 19).boolean(False)
    c_start_sane(d, True, 1, 5, 16, -700)
    c_snapshot(d, 5)
    d.integral(TIMER, 0, 19).boolean(True)
    c_start_sane(d, True, 1, 5, 16, -700)
    c_ticks(d, 3, False, [b"\xaa" + bytes(20) + b"\x55", b"", b"\xaa\x55"])
    c_snapshot(d, 5)
    d.integral(NULLDEST, 0, 19).integral(2, 0, 3).integral(1, 0, 8)
    d.integral(NULLDEST, 0, 19).integral(3, 0, 3).integral(4, 2, 8)
    seeds["port_and_timer_failures"] = d
    return seeds


LINE_DEFINITIONS = {
    "comma_form": b"9600,N,8,1",
    "keyword_form": b"baud=9600 parity=N data=8 stop=1",
    "device_prefix_abbreviation": b"COM1: 96,e,7,1.5,x",
    "baud_only_110": b"110",
    "two_stop_bits_hardware_flow": b"COM12:19 , O , 5 , 2 , P",
    "switches": b"baud=110 dtr=hs rts=tg to=on xon=off odsr=on octs=off idsr=off",
}


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    corpus = os.path.join(HERE, "corpus")
    for name, d in poll_seeds().items():
        write(os.path.join(corpus, "poll_step"), name, d.bytes())
    for name, d in card_seeds().items():
        write(os.path.join(corpus, "card_interface"), name, d.bytes())
    for name, text in LINE_DEFINITIONS.items():
        write(os.path.join(corpus, "line_definition"), name, text)


if __name__ == "__main__":
    main()
