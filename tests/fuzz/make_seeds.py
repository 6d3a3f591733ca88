#!/usr/bin/env python3
"""Writes the seed corpus of the SCTE 35 fuzz target: a handful of valid
splice_info_sections (splice_insert in its forms, time_signal, splice_null,
a private command), one file each, into the folder given as argument."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from kestrow_gen import splice_info_section, splice_insert, splice_null, time_signal  # noqa: E402

MAX = (1 << 33) - 1

SEEDS = {
    "insert_timed": splice_insert(0x0327BE20, pts_time=4291654628, duration=2736000),
    "insert_untimed": splice_insert(7, pts_time=None, duration=90000),
    "insert_cancel": splice_insert(7, cancel=True),
    "insert_immediate": splice_insert(7, immediate=True),
    "insert_components": splice_insert(7, components=[(1, 900000), (2, None), (3, MAX)], duration=450000),
    "insert_components_immediate": splice_insert(7, immediate=True, components=[(1, 0), (2, 0)]),
    "insert_max_values": splice_insert(7, pts_time=MAX, duration=MAX, pts_adjustment=MAX),
    "time_signal": time_signal(123456),
    "splice_null": splice_null(),
    "private_command": splice_info_section(0xFF, b"CUEI\x01\x02\x03"),
}

if __name__ == "__main__":
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
