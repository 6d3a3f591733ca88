#!/usr/bin/env python3
"""Writes the seed corpus of the SCTE 35 fuzz target: a handful of valid
splice_info_sections (splice_insert in its forms, time_signal, splice_null,
a private command), one file each, into the folder given as argument."""
import os
import sys


class Bits:
    def __init__(self):
        self.value = 0
        self.count = 0

    def put(self, v, n):
        self.value = (self.value << n) | (v & ((1 << n) - 1))
        self.count += n
        return self

    def splice_time(self, pts=None):
        if pts is None:
            return self.put(0, 1).put(0x7F, 7)
        return self.put(1, 1).put(0x3F, 6).put(pts, 33)

    def bytes(self):
        assert self.count % 8 == 0
        return self.value.to_bytes(self.count // 8, "big")


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def section(cmd_type, command, pts_adjustment=0):
    head = Bits().put(0xFC, 8).put(0, 2).put(3, 2)
    head.put(11 + len(command) + 2 + 4, 12)
    head.put(0, 8).put(0, 1).put(0, 6).put(pts_adjustment, 33).put(0, 8).put(0xFFF, 12)
    head.put(len(command), 12).put(cmd_type, 8)
    body = head.bytes() + command + b"\x00\x00"
    return body + crc32_mpeg(body).to_bytes(4, "big")


def splice_insert(event_id=7, cancel=False, program=True, immediate=False,
                  pts=900000, components=(), duration=None):
    b = Bits().put(event_id, 32).put(int(cancel), 1).put(0x7F, 7)
    if not cancel:
        b.put(1, 1).put(int(program), 1).put(int(duration is not None), 1)
        b.put(int(immediate), 1).put(0xF, 4)
        if program and not immediate:
            b.splice_time(pts)
        if not program:
            b.put(len(components), 8)
            for tag, cpts in components:
                b.put(tag, 8)
                if not immediate:
                    b.splice_time(cpts)
        if duration is not None:
            b.put(1, 1).put(0x3F, 6).put(duration, 33)
        b.put(0x1234, 16).put(1, 8).put(1, 8)
    return b.bytes()


SEEDS = {
    "insert_timed": section(5, splice_insert(event_id=0x0327BE20, pts=4291654628,
                                             duration=2736000)),
    "insert_untimed": section(5, splice_insert(pts=None, duration=90000)),
    "insert_cancel": section(5, splice_insert(cancel=True)),
    "insert_immediate": section(5, splice_insert(immediate=True)),
    "insert_components": section(5, splice_insert(
        program=False, components=[(1, 900000), (2, None), (3, (1 << 33) - 1)],
        duration=450000)),
    "insert_components_immediate": section(5, splice_insert(
        program=False, immediate=True, components=[(1, 0), (2, 0)])),
    "insert_max_values": section(5, splice_insert(pts=(1 << 33) - 1,
                                                  duration=(1 << 33) - 1), (1 << 33) - 1),
    "time_signal": section(6, Bits().splice_time(123456).bytes()),
    "splice_null": section(0, b""),
    "private_command": section(0xFF, b"CUEI\x01\x02\x03"),
}

if __name__ == "__main__":
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
