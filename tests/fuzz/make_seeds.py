#!/usr/bin/env python3
"""Writes the seed corpus of the SCTE 35 fuzz target: a handful of valid
splice_info_sections (splice_insert in its forms, time_signal with
segmentation descriptors, splice_null, a private command) and two with
malformed descriptor loops, one file each, into the folder given as argument."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from kestrow_gen import splice_info_section, splice_insert, splice_null, time_signal  # noqa: E402
from kestrow_clock import WRAP  # noqa: E402

MAX = WRAP - 1


def segmentation(event_id, type_id, duration=None, components=None, upid=b"AD1",
                 restrictions=None, tail=b"\x01\x02", cancel=False):
    """A segmentation_descriptor (identifier CUEI). restrictions None: delivery
    not restricted; else the 5 bits web, no_regional_blackout, archive, device.
    tail: segment_num, segments_expected and what follows them."""
    body = b"CUEI" + event_id.to_bytes(4, "big") + (b"\xff" if cancel else b"\x7f")
    if not cancel:
        flags = (components is None) << 7 | (duration is not None) << 6
        flags |= 0x3F if restrictions is None else restrictions
        body += bytes([flags])
        if components is not None:
            body += bytes([len(components)])
            for tag, pts_offset in components:
                body += bytes([tag]) + ((0x7F << 33) | pts_offset).to_bytes(5, "big")
        if duration is not None:
            body += duration.to_bytes(5, "big")
        body += bytes([0x09, len(upid)]) + upid + bytes([type_id]) + tail
    return bytes([0x02, len(body)]) + body


PO_START = segmentation(0x4800008E, 0x34, duration=27630000, restrictions=0x0F)
PO_END = segmentation(0x4800008E, 0x35, restrictions=0x1F)

SEEDS = {
    "insert_timed": splice_insert(0x0327BE20, pts_time=4291654628, duration=2736000),
    "insert_untimed": splice_insert(7, pts_time=None, duration=90000),
    "insert_cancel": splice_insert(7, cancel=True),
    "insert_immediate": splice_insert(7, immediate=True),
    "insert_components": splice_insert(7, components=[(1, 900000), (2, None), (3, MAX)], duration=450000),
    "insert_components_immediate": splice_insert(7, immediate=True, components=[(1, 0), (2, 0)]),
    "insert_max_values": splice_insert(7, pts_time=MAX, duration=MAX, pts_adjustment=MAX),
    "insert_avail": splice_insert(0x4800008F, pts_time=1936310318, duration=5426421,
                                  descriptors=bytes.fromhex("000843554549" "00000135")),
    "time_signal": time_signal(123456),
    "time_signal_po_start": time_signal(1924989008, descriptors=PO_START),
    "time_signal_po_end_program_start": time_signal(
        1952616608, descriptors=PO_END + segmentation(0x48000027, 0x10) + segmentation(1, 0x22, cancel=True)),
    "time_signal_components_sub_segments": time_signal(0, descriptors=segmentation(
        5, 0x36, duration=(1 << 40) - 1, components=[(0x21, 0), (0x22, MAX)], restrictions=0x16,
        upid=b"x" * 70, tail=b"\x01\x02\x03\x04")),
    "time_signal_malformed_loop": time_signal(5, descriptors=PO_END[:-3] + b"\x00\x03CUE" + PO_START + b"\x02"),
    "time_signal_wrong_identifier": time_signal(5, descriptors=PO_END.replace(b"CUEI", b"CUEX") + PO_END),
    "splice_null": splice_null(),
    "private_command": splice_info_section(0xFF, b"CUEI\x01\x02\x03"),
}

if __name__ == "__main__":
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
