"""Reading helpers for the tools' tests, written apart from the generator so
that they check it rather than restate it: an SCTE 35 splice_info_section
decoder, the MPEG-2 CRC, FNV-1a and a raw TS packet walker."""


def crc32_mpeg2(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
        crc &= 0xFFFFFFFF
    return crc


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


class BitReader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def read(self, n):
        v = 0
        for _ in range(n):
            byte = self.data[self.pos // 8]
            v = (v << 1) | ((byte >> (7 - self.pos % 8)) & 1)
            self.pos += 1
        return v

    def skip(self, n):
        self.pos += n


def _splice_time(r):
    if r.read(1):
        r.skip(6)
        return r.read(33)
    r.skip(7)
    return None


def parse_section(data):
    """Decodes a splice_info_section into a dict; raises on a short section
    or a wrong CRC."""
    r = BitReader(data)
    s = {"table_id": r.read(8), "section_syntax_indicator": r.read(1),
         "private_indicator": r.read(1), "sap_type": r.read(2), "section_length": r.read(12)}
    if len(data) != s["section_length"] + 3:
        raise ValueError("section_length %d for %d bytes" % (s["section_length"], len(data)))
    s["crc_ok"] = crc32_mpeg2(data) == 0
    s.update(protocol_version=r.read(8), encrypted_packet=r.read(1),
             encryption_algorithm=r.read(6), pts_adjustment=r.read(33), cw_index=r.read(8),
             tier=r.read(12), splice_command_length=r.read(12), splice_command_type=r.read(8))
    start = r.pos
    t = s["splice_command_type"]
    if t == 5:
        c = {"splice_event_id": r.read(32), "cancel": r.read(1)}
        r.skip(7)
        if not c["cancel"]:
            c.update(out_of_network=r.read(1), program_splice=r.read(1), duration_flag=r.read(1),
                     immediate=r.read(1))
            r.skip(4)
            c["pts_time"] = None
            if c["program_splice"] and not c["immediate"]:
                c["pts_time"] = _splice_time(r)
            if not c["program_splice"]:
                c["components"] = []
                for _ in range(r.read(8)):
                    tag = r.read(8)
                    c["components"].append((tag, None if c["immediate"] else _splice_time(r)))
            c["duration"] = None
            if c["duration_flag"]:
                c["auto_return"] = r.read(1)
                r.skip(6)
                c["duration"] = r.read(33)
            c.update(unique_program_id=r.read(16), avail_num=r.read(8), avails_expected=r.read(8))
        s["splice_insert"] = c
    elif t == 6:
        s["time_signal"] = _splice_time(r)
    if (r.pos - start) != 8 * s["splice_command_length"]:
        raise ValueError("command is %d bits, splice_command_length says %d bytes"
                         % (r.pos - start, s["splice_command_length"]))
    n = r.read(16)
    s["descriptors"] = data[r.pos // 8:r.pos // 8 + n]
    r.skip(8 * n)
    if r.pos // 8 + 4 != len(data):
        raise ValueError("section does not end with its CRC_32")
    return s


def ts_packets(path):
    """(index, pid, packet bytes) of every 188-byte packet of a file."""
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) % 188 == 0, "file is not a whole number of TS packets"
    for i in range(0, len(data), 188):
        p = data[i:i + 188]
        assert p[0] == 0x47, "lost sync at packet %d" % (i // 188)
        yield i // 188, ((p[1] & 0x1F) << 8) | p[2], p


def pes_pts(p):
    """PTS of a TS packet that starts a PES with one, else None."""
    if not p[1] & 0x40:
        return None
    afc = (p[3] >> 4) & 3
    o = 4 + (1 + p[4] if afc & 2 else 0)
    if p[o:o + 3] != b"\x00\x00\x01" or not p[o + 7] & 0x80:
        return None
    b = p[o + 9:o + 14]
    return ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1
