"""kestrow_es: video elementary streams edited into shapes that the Debian
encoders do not make, for kestrow_gen.py's --pulldown, --field-coding field,
--pps-ids and --sps-id (the options are described there).

The generator encodes the video alone into a transport stream, rewrite_ts()
passes each of its PES through one of the editors below, and the ffmpeg
command then muxes the edited video (-c:v copy) with the audio as it muxes
an encoding: the final layout, timing and tables are the muxer's own.

- Mpeg2Pulldown: progressive MPEG-2 pictures at 24 (or 24000/1001) frames
  per second carrying 3:2 pulldown, as film is sent at 30 (30000/1001):
  the sequence header's frame_rate_code, progressive_sequence 0, and per
  picture in display order top_field_first / repeat_first_field 11, 00,
  01, 10 (three fields, two, three, two); PTS and DTS moved to the field
  each picture is shown from. Only bits at fixed positions change.
- Mpeg2Fields: MPEG-2 field pictures from a half-height, intra-only encode
  at the field rate: each picture becomes the top or bottom field of a
  frame (picture_structure), the sequence header names the frame (height,
  frame rate, progressive_sequence 0), temporal_reference and the GOP's
  time code count frames, and the sequence and GOP headers are kept only
  where a GOP starts. An intra macroblock is coded alike in a progressive
  frame and in a field picture of the same size (no dct_type, no motion
  vectors), so the slices are kept as they are. Predicted pictures are
  not: a field picture's macroblocks carry field_motion_type and a
  reference field per motion vector, which only a rewrite of every
  macroblock could add.
- H264Ids: the encoder's parameter sets sent under other ids: the SPS
  under sps_id, the PPS once per id of pps_ids (each but the first with
  pic_init_qp lowered by 2 per place in the list, the slices that name it
  raising slice_qp_delta by as much, so that a slice decoded with the
  wrong PPS shows it), the slices of access unit n naming the n-th id
  (cyclically). Slice headers are parsed to their end and rewritten;
  CAVLC slice data is shifted bit by bit, CABAC slice data is byte aligned
  after cabac_alignment_one_bit and copied; emulation prevention redone.
"""

import re
from fractions import Fraction

import kestrow_gen as gen

TS = gen.TS_SIZE

# --------------------------------------------------------------------------
# Transport stream in, transport stream out


def rewrite_ts(src, dst, pid, edit):
    """Writes the TS file src to dst with each PES of pid (from its
    payload_unit_start to the next) replaced: edit(pts, dts, payload) returns
    (pts, dts, payload), timestamps in 90 kHz ticks or None. The new PES goes
    in as many packets as it needs (continuity counted on, no PCR: the muxer
    that reads the file sets its own); the other packets are kept, in order."""
    with open(src, "rb") as f:
        data = f.read()
    out = []
    pes = None
    cc = 0

    def flush():
        nonlocal cc
        if pes is None or len(pes) < 9 or pes[:3] != b"\x00\x00\x01":
            return
        head = bytearray(pes[:9 + pes[8]])
        po, do = _pes_timestamps(head)
        pts, dts, payload = edit(gen._get_ts(head, po) if po else None,
                                 gen._get_ts(head, do) if do else None, bytes(pes[len(head):]))
        if po:
            gen._put_ts(head, po, pts % gen.WRAP)
        if do:
            gen._put_ts(head, do, dts % gen.WRAP)
        length = len(head) - 6 + len(payload)
        if head[4] or head[5]:
            head[4:6] = (length if length <= 0xFFFF else 0).to_bytes(2, "big")
        packets, cc = gen._ts_packets(pid, bytes(head) + payload, cc)
        out.extend(packets)

    for i in range(0, len(data) - TS + 1, TS):
        p = data[i:i + TS]
        if ((p[1] & 0x1F) << 8 | p[2]) != pid:
            out.append(p)
            continue
        o = gen._payload_offset(p)
        if o < 0:
            continue
        if p[1] & 0x40:
            flush()
            pes = bytearray(p[o:])
        elif pes is not None:
            pes += p[o:]
    flush()
    with open(dst, "wb") as f:
        f.write(b"".join(out))


def _pes_timestamps(head):
    """Offsets of the PTS and DTS in a PES header (0 when absent)."""
    flags = head[7] >> 6
    return (9 if flags & 2 else 0), (14 if flags == 3 else 0)


def _start_codes(data):
    """Offsets of the 00 00 01 start code prefixes in data."""
    return [m.start() for m in re.finditer(b"\x00\x00\x01", data)]


# --------------------------------------------------------------------------
# MPEG-2 video

# (top_field_first, repeat_first_field) of picture n in display order, n % 4
PULLDOWN = ((1, 1), (0, 0), (0, 1), (1, 0))
PULLDOWN_FIELDS = (0, 3, 5, 8)     # fields shown before picture n % 4 of each 4 (10 fields)
# frame_rate_code of the display rate: 24000/1001 -> 30000/1001, 24 -> 30
PULLDOWN_RATE = {1: 4, 2: 5}
FIELD_RATE = {6: 3, 7: 4, 8: 5}    # frame_rate_code: 50 -> 25, 60000/1001 -> 30000/1001, 60 -> 30


class Mpeg2Pulldown:
    """Editor for rewrite_ts(): 3:2 pulldown on progressive pictures (see the
    module text); fps is the coded picture rate, 24 or 24000/1001."""

    def __init__(self, fps):
        fps = Fraction(fps)
        if fps not in (24, Fraction(24000, 1001)):
            raise ValueError("3:2 pulldown is for 24 or 24000/1001 frames per second, not %s" % fps)
        self.frame = Fraction(90000) / fps     # ticks per picture as encoded
        self.origin = None                     # pts of the first picture
        self.decoded = 0                       # pictures before this one in decode order
        self.gop_base = 0                      # pictures before the current GOP

    def _field_time(self, ticks):
        """The time (from the first picture) of the field a picture coded at
        ticks from it is shown from."""
        k = round((ticks - self.origin) / self.frame)
        fields = 10 * (k // 4) + PULLDOWN_FIELDS[k % 4]
        return self.origin + round(fields * self.frame * 2 / 5)

    def __call__(self, pts, dts, payload):
        data = bytearray(payload)
        display = None
        for s in _start_codes(data):
            code = data[s + 3] if s + 3 < len(data) else -1
            if code == 0xB3:                                   # sequence header
                rate = data[s + 7] & 0x0F
                if rate not in PULLDOWN_RATE:
                    raise RuntimeError("pulldown: frame_rate_code %d is not 24 or 24000/1001" % rate)
                data[s + 7] = (data[s + 7] & 0xF0) | PULLDOWN_RATE[rate]
            elif code == 0xB5 and data[s + 4] >> 4 == 1:       # sequence extension
                data[s + 5] &= ~0x08 & 0xFF                    # progressive_sequence 0
            elif code == 0xB8:                                 # group of pictures
                self.gop_base = self.decoded
            elif code == 0x00:                                 # picture header
                display = self.gop_base + (data[s + 4] << 2 | data[s + 5] >> 6)
                self.decoded += 1
            elif code == 0xB5 and data[s + 4] >> 4 == 8 and display is not None:
                tff, rff = PULLDOWN[display % 4]               # picture coding extension
                data[s + 7] = (data[s + 7] & 0x7D) | tff << 7 | rff << 1
        if self.origin is None:
            self.origin = pts
        return (None if pts is None else self._field_time(pts),
                None if dts is None else self._field_time(dts), bytes(data))


class Mpeg2Fields:
    """Editor for rewrite_ts(): the pictures of a half-height intra-only
    encode at twice fps as field pictures, top first, a GOP every gop frames
    (see the module text)."""

    def __init__(self, gop, fps):
        self.gop = gop
        self.fps = round(Fraction(fps))        # time_code pictures per second
        self.field = 0                         # field pictures so far

    def _time_code(self, frame):
        s, pictures = divmod(frame, self.fps)
        m, s = divmod(s, 60)
        h, m = divmod(m, 60)
        return (h % 24) << 19 | m << 13 | 1 << 12 | s << 6 | pictures   # drop_frame_flag 0

    def __call__(self, pts, dts, payload):
        n, self.field = self.field, self.field + 1
        in_gop = n % (2 * self.gop)
        data = bytearray(payload)
        pic = data.find(b"\x00\x00\x01\x00")
        if pic < 0:
            raise RuntimeError("field pictures: a PES without a picture")
        if in_gop:
            del data[:pic]                     # sequence and GOP headers only where a GOP starts
            pic = 0
        for s in _start_codes(data):
            code = data[s + 3] if s + 3 < len(data) else -1
            if code == 0xB3 and s < pic:
                height = ((data[s + 5] & 0x0F) << 8 | data[s + 6]) * 2
                rate = data[s + 7] & 0x0F
                if rate not in FIELD_RATE:
                    raise RuntimeError("field pictures: frame_rate_code %d is not a field rate" % rate)
                data[s + 5] = (data[s + 5] & 0xF0) | height >> 8
                data[s + 6] = height & 0xFF
                data[s + 7] = (data[s + 7] & 0xF0) | FIELD_RATE[rate]
            elif code == 0xB5 and s < pic and data[s + 4] >> 4 == 1:
                data[s + 5] &= ~0x08 & 0xFF    # progressive_sequence 0
            elif code == 0xB8:
                word = self._time_code(n // 2) << 7 | (data[s + 7] >> 5 & 3) << 5
                data[s + 4:s + 8] = word.to_bytes(4, "big")
            elif code == 0x00:
                tr = in_gop // 2               # both fields of a frame share it
                data[s + 4] = tr >> 2
                data[s + 5] = (data[s + 5] & 0x3F) | (tr & 3) << 6
            elif code == 0xB5 and data[s + 4] >> 4 == 8:
                if data[s + 6] & 3 != 3 or data[s + 8] & 0x80 == 0:
                    raise RuntimeError("field pictures: the encoder did not write progressive frames")
                data[s + 6] = (data[s + 6] & 0xFC) | (1 if n % 2 == 0 else 2)   # top, bottom field
                data[s + 7] &= 0x3C            # top_field_first, frame_pred_frame_dct, rff, chroma_420_type 0
                data[s + 8] &= 0x7F            # progressive_frame 0
        return pts, dts, bytes(data)


# --------------------------------------------------------------------------
# H.264 parameter set ids


def _unescape(nal):
    return nal.replace(b"\x00\x00\x03", b"\x00\x00")


def _escape(rbsp):
    out = re.sub(b"\x00\x00(?=[\x00-\x03])", b"\x00\x00\x03", rbsp)
    return out + b"\x03" if out.endswith(b"\x00\x00") else out


def _bits(data):
    return format(int.from_bytes(data, "big"), "0%db" % (8 * len(data))) if data else ""


def _bytes(bits):
    return int(bits, 2).to_bytes(len(bits) // 8, "big") if bits else b""


def _ue(v):
    b = bin(v + 1)[2:]
    return "0" * (len(b) - 1) + b


def _se(v):
    return _ue(2 * v - 1 if v > 0 else -2 * v)


def _trailing(bits):
    """bits closed with rbsp_trailing_bits: a one, zeros to a whole byte."""
    bits += "1"
    return bits + "0" * (-len(bits) % 8)


class _Reader:
    def __init__(self, bits, pos=0):
        self.s = bits
        self.pos = pos

    def u(self, n):
        v = int(self.s[self.pos:self.pos + n] or "0", 2)
        self.pos += n
        return v

    def ue(self):
        z = self.s.find("1", self.pos) - self.pos
        if z < 0:
            raise RuntimeError("H.264: a truncated Exp-Golomb code")
        self.pos += z + 1
        return (1 << z) - 1 + self.u(z)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)

    def stop(self):
        """Position of the rbsp_stop_one_bit."""
        return len(self.s.rstrip("0")) - 1


def _scaling_lists(r, count):
    for i in range(count):
        if r.u(1):
            last = nxt = 8
            for _ in range(16 if i < 6 else 64):
                if nxt:
                    nxt = (last + r.se() + 256) % 256
                last = nxt or last


def _parse_sps(bits):
    r = _Reader(bits, 8)
    profile = r.u(8)
    r.u(16)
    sps = {"id_at": r.pos}
    sps["id"] = r.ue()
    sps["id_end"] = r.pos
    sps["chroma"], sps["separate"] = 1, 0
    if profile in (100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135):
        sps["chroma"] = r.ue()
        if sps["chroma"] == 3:
            sps["separate"] = r.u(1)
        r.ue()
        r.ue()
        r.u(1)
        if r.u(1):
            _scaling_lists(r, 8 if sps["chroma"] != 3 else 12)
    sps["frame_num_bits"] = r.ue() + 4
    sps["poc_type"] = r.ue()
    if sps["poc_type"] == 0:
        sps["poc_bits"] = r.ue() + 4
    elif sps["poc_type"] == 1:
        sps["poc_zero"] = r.u(1)
        r.se()
        r.se()
        for _ in range(r.ue()):
            r.se()
    r.ue()
    r.u(1)
    r.ue()
    r.ue()
    sps["frame_mbs_only"] = r.u(1)
    return sps


def _parse_pps(bits):
    r = _Reader(bits, 8)
    pps = {"id": r.ue()}
    pps["sps_at"] = r.pos
    pps["sps"] = r.ue()
    pps["sps_end"] = r.pos
    pps["cabac"] = r.u(1)
    pps["bottom_poc"] = r.u(1)
    if r.ue():
        raise RuntimeError("H.264: slice groups are not rewritten")
    pps["refs"] = (r.ue() + 1, r.ue() + 1)
    pps["weighted"] = r.u(1)
    pps["bipred"] = r.u(2)
    pps["qp_at"] = r.pos
    pps["qp"] = r.se()
    pps["qp_end"] = r.pos
    r.se()
    r.se()
    pps["deblocking"] = r.u(1)
    r.u(1)
    pps["redundant"] = r.u(1)
    return pps


def _parse_slice(bits, nal_type, ref_idc, sps_by_id, pps_by_id):
    """Positions in the slice RBSP (as bits, NAL header included): "pps_at",
    "pps_end", "qp_at", "qp_end", "end" (the header's end), with the pps and
    sps it names and its slice_qp_delta."""
    r = _Reader(bits, 8)
    r.ue()
    kind = r.ue() % 5                                  # 0 P, 1 B, 2 I, 3 SP, 4 SI
    h = {"pps_at": r.pos}
    pps = pps_by_id[r.ue()]
    sps = sps_by_id[pps["sps"]]
    h["pps_end"], h["pps"] = r.pos, pps
    if sps["separate"]:
        r.u(2)
    r.u(sps["frame_num_bits"])
    field = 0
    if not sps["frame_mbs_only"]:
        field = r.u(1)
        if field:
            r.u(1)
    if nal_type == 5:
        r.ue()
    if sps["poc_type"] == 0:
        r.u(sps["poc_bits"])
        if pps["bottom_poc"] and not field:
            r.se()
    elif sps["poc_type"] == 1 and not sps["poc_zero"]:
        r.se()
        if pps["bottom_poc"] and not field:
            r.se()
    if pps["redundant"]:
        r.ue()
    if kind == 1:
        r.u(1)                                          # direct_spatial_mv_pred_flag
    refs = list(pps["refs"])
    if kind in (0, 1, 3):
        if r.u(1):
            refs[0] = r.ue() + 1
            if kind == 1:
                refs[1] = r.ue() + 1
    if kind not in (2, 4):
        for _ in range(2 if kind == 1 else 1):          # ref_pic_list_modification
            if r.u(1):
                while True:
                    idc = r.ue()
                    if idc == 3:
                        break
                    r.ue()
    if (pps["weighted"] and kind in (0, 3)) or (pps["bipred"] == 1 and kind == 1):
        r.ue()
        chroma = sps["chroma"] != 0 and not sps["separate"]
        if chroma:
            r.ue()
        for n in refs[:2 if kind == 1 else 1]:
            for _ in range(n):
                if r.u(1):
                    r.se()
                    r.se()
                if chroma and r.u(1):
                    for _ in range(4):
                        r.se()
    if ref_idc:
        if nal_type == 5:
            r.u(2)
        elif r.u(1):
            while True:
                op = r.ue()
                if op == 0:
                    break
                if op in (1, 3):
                    r.ue()
                if op in (2, 3, 6):
                    r.ue()
                if op == 4:
                    r.ue()
    if pps["cabac"] and kind not in (2, 4):
        r.ue()
    h["qp_at"] = r.pos
    h["qp"] = r.se()
    h["qp_end"] = r.pos
    if kind in (3, 4):
        if kind == 3:
            r.u(1)
        r.se()
    if pps["deblocking"] and r.ue() != 1:
        r.se()
        r.se()
    h["end"] = r.pos
    return h


class H264Ids:
    """Editor for rewrite_ts(): the parameter sets under other ids (see the
    module text). pps_ids: the ids of the PPS copies, in order; sps_id: the
    SPS's id, or None to keep it."""

    def __init__(self, pps_ids=None, sps_id=None):
        self.pps_ids = list(pps_ids) if pps_ids else None
        self.sps_id = sps_id
        for v in (self.pps_ids or []):
            if not 0 <= v <= 255:
                raise ValueError("PPS id %d: give 0 to 255" % v)
        if sps_id is not None and not 0 <= sps_id <= 31:
            raise ValueError("SPS id %d: give 0 to 31" % sps_id)
        self.sps = {}                          # by the encoder's id
        self.pps = {}
        self.au = 0                            # access units so far

    def _sps(self, bits):
        sps = _parse_sps(bits)
        self.sps[sps["id"]] = sps
        if self.sps_id is None:
            return [bits]
        body = bits[:sps["id_at"]] + _ue(self.sps_id) + bits[sps["id_end"]:_Reader(bits).stop()]
        return [_trailing(body)]

    def _pps(self, bits):
        pps = _parse_pps(bits)
        self.pps[pps["id"]] = pps
        sps_id = self.sps_id if self.sps_id is not None else pps["sps"]
        out = []
        for k, pps_id in enumerate(self.pps_ids or [pps["id"]]):
            body = bits[:8] + _ue(pps_id) + _ue(sps_id) + bits[pps["sps_end"]:pps["qp_at"]] \
                + _se(pps["qp"] - 2 * k) + bits[pps["qp_end"]:_Reader(bits).stop()]
            out.append(_trailing(body))
        return out

    def _slice(self, bits, nal_type, ref_idc):
        h = _parse_slice(bits, nal_type, ref_idc, self.sps, self.pps)
        if not self.pps_ids:
            return [bits]
        k = self.au % len(self.pps_ids)
        head = bits[:h["pps_at"]] + _ue(self.pps_ids[k]) + bits[h["pps_end"]:h["qp_at"]] \
            + _se(h["qp"] + 2 * k) + bits[h["qp_end"]:h["end"]]
        if h["pps"]["cabac"]:
            head += "1" * (-len(head) % 8)     # cabac_alignment_one_bit
            return [head + bits[h["end"] + (-h["end"] % 8):]]
        return [_trailing(head + bits[h["end"]:_Reader(bits).stop()])]

    def __call__(self, pts, dts, payload):
        starts = _start_codes(payload)
        out = [payload[:starts[0]] if starts else payload]
        for n, s in enumerate(starts):
            end = starts[n + 1] if n + 1 < len(starts) else len(payload)
            nal = payload[s + 3:end]
            tail = len(nal) - len(nal.rstrip(b"\x00"))     # the next start code's zero_byte
            nal = nal[:len(nal) - tail]
            kind = nal[0] & 0x1F if nal else 0
            if kind in (1, 5, 7, 8):
                bits = _bits(_unescape(nal))
                if kind == 7:
                    units = self._sps(bits)
                elif kind == 8:
                    units = self._pps(bits)
                else:
                    units = self._slice(bits, kind, nal[0] >> 5 & 3)
                nal = b"\x00\x00\x01".join(_escape(_bytes(u)) for u in units)
            out.append(b"\x00\x00\x01" + nal + b"\x00" * tail)
        self.au += 1
        return pts, dts, b"".join(out)
