"""kestrow_mux: transport streams assembled from programmes that
kestrow_gen.py generates, for its --programs, --restart, --outage and
--split options (the options and examples are in kestrow_gen.py's text).

Multiplexes: each programme is generated on its own, then the programmes
are interleaved in the time order of their PCRs into one transport stream
with one PAT; each programme keeps its PMT PID, PIDs and continuity
counters. The multiplex adds the DVB SI a head-end sends (NIT, SDT, EIT
present/following, TDT, TOT, each at a usual interval), conditional access
when a programme is scrambled (CAT naming an EMM PID, an ECM PID named by
the programme's PMT, sections of random bytes on both), scrambled
elementary PIDs (transport_scrambling_control 2/3, random payload) and PIDs
of a stream type no demuxer reads. With a mux rate each programme is
generated at a constant share of it and the multiplex is sent at exactly
that rate: every PCR restamped to its packet's place, null packets where
nothing is due. Everything random is drawn from a seeded generator.

Timelines: a programme whose source restarts on a new timeline (segments
generated one after the other, joined at a PCR), and packets dropped or
written to a second file at a point of the programme's time.
"""

import copy
import datetime
import heapq
import itertools
import os
import random

import kestrow_gen as gen

TS = gen.TS_SIZE
WRAP = gen.WRAP
PCR_WRAP = WRAP * 300
CLOCK = 27000000                 # the multiplex's clock, as PCRs count
PID_STEP = 0x100                 # PIDs of programme i are those of the first + i * PID_STEP
CRYPTO_PERIOD = 4 * CLOCK        # control word change: TSC 2 (even) / 3 (odd)
CA_SYSTEM_ID = 0x0B00
PATTERNS = ("testsrc2", "testsrc", "rgbtestsrc", "smptehdbars", "yuvtestsrc", "pal100bars")
# Repetition of each table, in 27 MHz ticks: PAT/CAT twice a second or more,
# SDT and EIT p/f at most 2 s apart, NIT 10 s, TDT/TOT 30 s (ETSI TR 101 290,
# EN 300 468); a head-end sends them more often than that.
INTERVALS = {"pat": CLOCK // 10, "cat": CLOCK // 2, "sdt": CLOCK, "eit": CLOCK,
             "nit": 5 * CLOCK, "tdt": 5 * CLOCK, "tot": 5 * CLOCK,
             "ecm": CLOCK // 10, "emm": CLOCK // 2, "unknown": CLOCK // 10}

# --------------------------------------------------------------------------
# Sections and packets


def long_section(table_id, ext, body, version=0, number=0, last=0):
    """A section with the long header (section_syntax_indicator 1, current)
    and its CRC_32."""
    length = len(body) + 9
    if length > 1021:
        raise ValueError("section of table 0x%02x too long (%d bytes)" % (table_id, length))
    head = bytes([table_id, 0xB0 | length >> 8, length & 0xFF, ext >> 8, ext & 0xFF,
                  0xC1 | (version & 31) << 1, number, last])
    data = head + body
    return data + gen.crc32_mpeg2(data).to_bytes(4, "big")


def _with_version(section, version):
    """A long section with another version_number, CRC_32 recomputed."""
    data = bytearray(section[:-4])
    data[5] = (data[5] & 0xC1) | (version & 31) << 1
    return bytes(data) + gen.crc32_mpeg2(data).to_bytes(4, "big")


def _pid_bytes(pid, top=0xE0):
    return bytes([top | pid >> 8, pid & 0xFF])


def _loop(data, top=0xF0):
    """A 12-bit length and data, as descriptor and stream loops are sent."""
    return bytes([top | len(data) >> 8, len(data) & 0xFF]) + data


def _text_descriptor(tag, *texts, head=b""):
    body = head + b"".join(bytes([len(t)]) + t.encode("latin-1") for t in texts)
    return bytes([tag, len(body)]) + body


def _ca_descriptor(pid):
    return bytes([0x09, 4]) + CA_SYSTEM_ID.to_bytes(2, "big") + _pid_bytes(pid)


def section_packets(pid, section, cc):
    """The TS packets of one section from a packet start (pointer_field 0,
    0xFF stuffing); cc: {pid: next continuity counter}, advanced."""
    data = b"\x00" + bytes(section)
    out = []
    for i in range(0, len(data), TS - 4):
        part = data[i:i + TS - 4]
        c = cc.get(pid, 0)
        cc[pid] = (c + 1) & 15
        out.append(bytes([0x47, (0x40 if i == 0 else 0) | pid >> 8, pid & 0xFF, 0x10 | c])
                   + part + b"\xff" * (TS - 4 - len(part)))
    return out


def read_packets(path):
    """The file's TS packets, one bytearray each."""
    with open(path, "rb") as f:
        while True:
            chunk = f.read(TS * 4096)
            if not chunk:
                return
            for i in range(0, len(chunk) - TS + 1, TS):
                yield bytearray(chunk[i:i + TS])


def _pid(p):
    return (p[1] & 0x1F) << 8 | p[2]


def _pcr(p):
    """The packet's PCR in 27 MHz ticks, or None."""
    o = gen._pcr_offset(p)
    if o < 0:
        return None
    return gen._get_pcr_base(p, o) * 300 + ((p[o + 4] & 1) << 8 | p[o + 5])


def _set_pcr(p, value):
    o = gen._pcr_offset(p)
    value %= PCR_WRAP
    gen._put_pcr_base(p, o, value // 300)
    ext = value % 300
    p[o + 4] = (p[o + 4] & 0xFE) | ext >> 8
    p[o + 5] = ext & 0xFF


def _section_of(p):
    """The section that starts a PSI packet (the packets here carry one
    section each)."""
    o = gen._payload_offset(p)
    o += 1 + p[o]
    return bytes(p[o:o + 3 + ((p[o + 1] & 0x0F) << 8 | p[o + 2])])


def _with_section(p, section):
    """PSI packet p carrying section in place of its own."""
    o = gen._payload_offset(p)
    o += 1 + p[o]
    if o + len(section) > TS:
        raise ValueError("a PMT of %d bytes does not fit in one TS packet" % len(section))
    return p[:o] + section + b"\xff" * (TS - o - len(section))


def parse_pmt(section):
    """A PMT section as {number, version, pcr_pid, info, es: [[type, pid,
    descriptors]]}."""
    end = 3 + ((section[1] & 0x0F) << 8 | section[2]) - 4
    pil = (section[10] & 0x0F) << 8 | section[11]
    es, i = [], 12 + pil
    while i + 5 <= end:
        n = (section[i + 3] & 0x0F) << 8 | section[i + 4]
        es.append([section[i], (section[i + 1] & 0x1F) << 8 | section[i + 2], section[i + 5:i + 5 + n]])
        i += 5 + n
    return {"number": section[3] << 8 | section[4], "version": (section[5] >> 1) & 31,
            "pcr_pid": (section[8] & 0x1F) << 8 | section[9], "info": section[12:12 + pil], "es": es}


def pmt_section(pmt):
    """parse_pmt's dict back to a section."""
    es = b"".join(bytes([t]) + _pid_bytes(pid) + _loop(d) for t, pid, d in pmt["es"])
    return long_section(0x02, pmt["number"], _pid_bytes(pmt["pcr_pid"]) + _loop(pmt["info"]) + es,
                        pmt["version"])


# --------------------------------------------------------------------------
# DVB SI (EN 300 468)


def _mjd_utc(when):
    """The 40-bit time of DVB tables: MJD, then hours, minutes, seconds in BCD."""
    mjd = (when.date() - datetime.date(1858, 11, 17)).days

    def bcd(v):
        return (v // 10) << 4 | v % 10
    return mjd.to_bytes(2, "big") + bytes([bcd(when.hour), bcd(when.minute), bcd(when.second)])


class _Tables:
    """The multiplex's PAT, CAT and SI sections; the clock of the TDT, TOT
    and EIT is utc at multiplex time 0."""

    def __init__(self, ts_id, network_id, utc, programmes, emm_pid):
        self.ts_id = ts_id
        self.network_id = network_id
        self.utc = utc
        self.programmes = programmes
        self.emm_pid = emm_pid

    def when(self, t):
        return self.utc + datetime.timedelta(seconds=t // CLOCK)

    def pat(self, t):
        body = b"\x00\x00" + _pid_bytes(0x10)            # the network PID (NIT)
        for p in self.programmes:
            body += p["number"].to_bytes(2, "big") + _pid_bytes(p["pmt_pid"])
        return [long_section(0x00, self.ts_id, body)]

    def cat(self, t):
        return [long_section(0x01, 0xFFFF, _ca_descriptor(self.emm_pid))]

    def nit(self, t):
        names = bytes([0x40, 15]) + b"Kestrow network"          # network_name_descriptor
        services = b"".join(p["number"].to_bytes(2, "big") + b"\x01" for p in self.programmes)
        ts_loop = self.ts_id.to_bytes(2, "big") + self.network_id.to_bytes(2, "big") \
            + _loop(bytes([0x41, len(services)]) + services)
        return [long_section(0x40, self.network_id, _loop(names) + _loop(ts_loop))]

    def sdt(self, t):
        body = self.network_id.to_bytes(2, "big") + b"\xff"
        for p in self.programmes:
            desc = _text_descriptor(0x48, p["provider"], p["service"], head=b"\x01")
            body += p["number"].to_bytes(2, "big") + b"\xfd" \
                + _loop(desc, 0x80 | (0x10 if p["scrambled"] else 0))   # running, free_CA_mode
        return [long_section(0x42, self.ts_id, body)]

    def eit(self, t):
        """EIT present/following (actual): per service, section 0 the event
        of the current hour (running), section 1 the next hour's."""
        now = self.when(t)
        hour = now.replace(minute=0, second=0, microsecond=0)
        out = []
        for p in self.programmes:
            for n in (0, 1):
                start = hour + datetime.timedelta(hours=n)
                name = "%s %02d:00" % (p["service"], start.hour)
                desc = _text_descriptor(0x4D, name, "", head=b"eng")
                event = (int(start.timestamp()) // 3600 & 0xFFFF).to_bytes(2, "big") \
                    + _mjd_utc(start) + b"\x01\x00\x00" \
                    + _loop(desc, (0x80 if n == 0 else 0x20) | (0x10 if p["scrambled"] else 0))
                body = self.ts_id.to_bytes(2, "big") + self.network_id.to_bytes(2, "big") \
                    + b"\x01\x4e" + event
                out.append(long_section(0x4E, p["number"], body, 0, n, 1))
        return out

    def tdt(self, t):
        return [b"\x70\x70\x05" + _mjd_utc(self.when(t))]

    def tot(self, t):
        """TOT with a local_time_offset_descriptor: Germany, +1:00, +2:00
        from the last Sunday of March."""
        change = datetime.datetime(self.utc.year, 3, 31, 1, 0, tzinfo=datetime.timezone.utc)
        change -= datetime.timedelta(days=(change.weekday() + 1) % 7)
        desc = bytes([0x58, 13]) + b"DEU\x02\x01\x00" + _mjd_utc(change) + b"\x02\x00"
        data = b"\x73\x70\x00" + _mjd_utc(self.when(t)) + _loop(desc)
        data = data[:1] + bytes([0x70 | (len(data) + 1) >> 8, (len(data) + 1) & 0xFF]) + data[3:]
        return [data + gen.crc32_mpeg2(data).to_bytes(4, "big")]


# --------------------------------------------------------------------------
# Programmes of a multiplex

MUX_KEYS = ("scrambled", "ecm_pid", "share", "unknown", "service", "provider", "scrambled_from",
            "scrambled_to", "video_type")
SHARES = ("audio", "scte", "pcr")
_BOOLS = ("open_gop", "cuei", "filler", "dvb", "two_au_pes", "scrambled", "moving_fields", "pulldown")
_INTS = ("gop", "bframes", "program_number", "ts_id", "sample_rate", "pes_payload_size", "sps_id",
         "pes_stuffing")
_FLOATS = ("duration", "tone", "audio_offset_ms", "scrambled_from", "scrambled_to")
_PIDS = ("video_pid", "pmt_pid", "scte_pid", "subtitle_pid", "teletext_pid", "data_pid", "ecm_pid")


def _setting(key, text):
    """One --program value, converted as the command line converts it."""
    if key in _BOOLS:
        return bool(int(text))
    if key == "gop" and text.strip().endswith("s"):
        return text                     # seconds, as generate() reads them
    if key in _INTS:
        return gen._int_expr(text)
    if key in _FLOATS:
        return float(text)
    if key in _PIDS:
        return gen._pid(text)
    if key == "audio_pids":
        return [gen._pid(x) for x in text.split(",")]
    if key == "pps_ids":
        return [gen._int_expr(x) for x in text.split(",")]
    if key == "silent_pids":
        return [gen._silent_pid(x) for x in text.split(",")]
    if key == "share":
        kinds = set(text.split("+"))
        if not kinds <= set(SHARES):
            raise ValueError("share=%s: give audio, scte and/or pcr, joined by +" % text)
        return kinds
    if key == "video_type":
        return int(text, 0)
    if key == "unknown":
        pid, _, kind = text.partition(":")
        return gen._pid(pid), int(kind, 0) if kind else 0xA0
    return text


def programme_settings(text):
    """"2:video_codec=hevc,audio=aac,mp2,scrambled=1" (a --program) to (2,
    {key: value}); a part without "=" continues the value before it."""
    index, sep, rest = str(text).partition(":")
    if not sep or not index.strip().isdigit():
        raise ValueError("--program %r: give N:KEY=VALUE,..." % text)
    items = []
    for part in rest.split(","):
        if "=" in part:
            items.append(part.split("=", 1))
        elif items:
            items[-1][1] += "," + part
        else:
            raise ValueError("--program %r: %r is not key=value" % (text, part))
    out = {}
    for key, value in items:
        if key in ("cues", "spot") or (key not in gen.DEFAULTS and key not in MUX_KEYS):
            raise ValueError("--program %r: unknown key %r" % (text, key))
        out[key] = _setting(key, value)
    return int(index), out


def _derived(options, i):
    """generate()'s options for programme i (from 0) of a multiplex: the
    first programme's with every PID moved by i * PID_STEP, the next
    program_number, another pattern and other tones, no cues."""
    o = dict(options)
    if i == 0:
        return o
    step = i * PID_STEP

    def shift(pid):
        if not pid:
            return pid
        if not 0x10 <= pid + step < gen.NULL_PID:
            raise ValueError("programme %d: PID 0x%x + 0x%x is out of range" % (i + 1, pid, step))
        return pid + step
    for key in ("video_pid", "pmt_pid", "scte_pid", "subtitle_pid", "teletext_pid", "data_pid"):
        o[key] = shift(o[key])
    o["audio_pids"] = [shift(p) for p in o["audio_pids"]]
    o["silent_pids"] = [(shift(p), t) for p, t in o["silent_pids"]]
    if o["pcr_pid"] not in (None, "none"):
        o["pcr_pid"] = shift(gen._pid(o["pcr_pid"]))
    o["program_number"] += i
    if o["pattern"] is None:
        o["pattern"] = PATTERNS[i % len(PATTERNS)]
    o["tone"] = (o["tone"] or (440.0 if o["filler"] else 1000.0)) * (1 + 0.07 * i)
    return o


def _scan(path, pmt_pid, pcr_pid):
    """(the first PMT section, the first PCR in 27 MHz ticks) of a file."""
    pmt = pcr = None
    for p in read_packets(path):
        pid = _pid(p)
        if pmt is None and pid == pmt_pid and p[1] & 0x40:
            pmt = _section_of(p)
        if pcr is None and pid == pcr_pid:
            pcr = _pcr(p)
        if pmt is not None and pcr is not None:
            return pmt, pcr
    raise RuntimeError("%s: no PMT on 0x%x or no PCR on 0x%x" % (path, pmt_pid, pcr_pid))


def _unwrap(value, near):
    """A 27 MHz clock value on the unwrapped line closest to near."""
    return near + (value - near + PCR_WRAP // 2) % PCR_WRAP - PCR_WRAP // 2


def _programme_source(prog, rng):
    """Yields (multiplex time, packet, origin, cue info) for the packets of a
    generated programme that the multiplex keeps (not its PAT, SDT or null
    packets), the time interpolated between its PCRs, the PMT replaced,
    scrambled PIDs scrambled."""
    pcr_pid, origin, pmt_packet = prog["pcr_carrier"], prog["origin"], prog["pmt_packet"]
    scrambled, garbled, cues = prog["scramble"], prog["garble"], prog["cue_packets"]
    mux = prog["mux"]
    # Multiplex times of the scrambled stretch: programme time plus the lead of the first PCR.
    lo, hi = ((prog["lead"] + mux[k] * CLOCK) if mux[k] is not None else None
              for k in ("scrambled_from", "scrambled_to"))
    held, last = [], None

    def flush(index, t):
        for j, p in held:
            tj = t if last is None or index == last[0] else \
                last[1] + (t - last[1]) * (j - last[0]) // (index - last[0])
            pid = _pid(p)
            if pid in scrambled and p[3] & 0x10 and (lo is None or tj >= lo) and (hi is None or tj < hi):
                o = gen._payload_offset(p)
                p[3] = (p[3] & 0x3F) | (0xC0 if tj // CRYPTO_PERIOD & 1 else 0x80)
                p[o:] = rng.randbytes(TS - o)
            elif pid in garbled and p[3] & 0x10:
                o = gen._payload_offset(p)
                if p[1] & 0x40 and p[o:o + 3] == b"\x00\x00\x01" and o + 9 <= TS:
                    o = min(TS, o + 9 + p[o + 8])       # the PES header stays: its timing is kept
                p[o:] = rng.randbytes(TS - o)
            yield tj, p, origin, cues.get(j)
        held.clear()

    index = -1
    for index, p in enumerate(read_packets(prog["path"])):
        pid = _pid(p)
        if pid in (0x00, 0x11, gen.NULL_PID):
            continue
        if pid == prog["pmt_pid"] and p[1] & 0x40:
            p = bytearray(pmt_packet(p))
        pcr = _pcr(p) if pid == pcr_pid else None
        if pcr is not None:
            t = _unwrap(pcr, origin) - origin
            yield from flush(index, t)
            last = (index, t)
        held.append((index, p))
    yield from flush(index + 1, last[1] if last else 0)


def _periodic(interval, make, phase=0):
    """Yields (time, packet, None, None) for the packets make(time) returns,
    every interval from phase on, for ever."""
    t = phase
    while True:
        for p in make(t):
            yield t, p, None, None
        t += interval


def _psi(pid, tables, cc):
    """make() for _periodic: the packets of the sections tables(time)."""
    return lambda t: [p for s in tables(t) for p in section_packets(pid, s, cc)]


def _ca_sections(rng, pid, cc, ecm):
    """ECM (table 0x80/0x81 by the crypto period's parity) or EMM (0x82 to
    0x8F) sections: short private sections of random bytes."""
    def make(t):
        tid = 0x80 | (t // CRYPTO_PERIOD & 1) if ecm else rng.randint(0x82, 0x8F)
        body = rng.randbytes(rng.randint(40, 150))
        return section_packets(pid, bytes([tid, 0x70 | len(body) >> 8, len(body) & 0xFF]) + body, cc)
    return make


def _unknown_pes(rng, pid, origin, cc):
    """A PES of random bytes every time, one packet each, with a PTS on the
    programme's clock: data of a stream type no demuxer knows."""
    def make(t):
        c = cc.get(pid, 0)
        cc[pid] = (c + 1) & 15
        pts = ((origin + t) // 300 + gen.TICKS // 2) % WRAP
        return [gen._pes_ts_packet(pid, c, pts, rng.randbytes(120))]
    return make


NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * (TS - 4)


def _merge(out, sources, finite, rate):
    """Writes the packets of the sources [(time, packet, origin, cue info)
    generators] in time order (ties in source order) until every source in
    finite has ended. With rate (bit/s): one packet every 188 * 8 / rate
    seconds, null packets where nothing is due, every PCR of a packet with an
    origin set to origin + its place. Returns the packets written."""
    heap, written, buf = [], 0, []
    live = len(finite)

    def pull(k):
        item = next(sources[k], None)
        if item is not None:
            heapq.heappush(heap, (item[0], k, written, item))
        return item is not None
    for k in range(len(sources)):
        pull(k)
    while live:
        t, k, _, (_, p, origin, cue) = heap[0]
        if rate:
            slot = written * TS * 8 * CLOCK // rate
            if t > slot:
                buf.append(NULL_PACKET)
                written += 1
                continue
            if slot - t > CLOCK // 2:
                raise RuntimeError("the programmes and tables need more than the mux rate "
                                   "(%.1f s behind): raise --muxrate" % ((slot - t) / CLOCK))
            if origin is not None and _pcr(p) is not None:
                _set_pcr(p, origin + slot)
        heapq.heappop(heap)
        if cue is not None:
            cue["packet"] = written
        buf.append(p)
        written += 1
        if not pull(k) and k in finite:
            live -= 1
        if len(buf) >= 4096:
            out.write(b"".join(buf))
            buf = []
    out.write(b"".join(buf))
    return written


def _programmes(count, settings, options):
    """[(generate() options, multiplex settings)] of each programme."""
    overrides = {}
    for item in settings:
        i, kv = programme_settings(item) if isinstance(item, str) else item
        if not 1 <= i <= count:
            raise ValueError("--program %d: the multiplex has programmes 1 to %d" % (i, count))
        overrides.setdefault(i, {}).update(kv)
    cues = [c if isinstance(c, gen.Cue) else gen.Cue(c, n + 1) for n, c in enumerate(options["cues"])]
    for c in cues:
        if not 1 <= c.programme <= count:
            raise ValueError("cue %r: the multiplex has programmes 1 to %d" % (c.spec, count))
    base = dict(options)
    if base["scte_pid"] is None:
        base["scte_pid"] = 0 if base["filler"] else 0x590
    base["silent_pids"] = [p if isinstance(p, tuple) else gen._silent_pid(p) for p in base["silent_pids"]]
    out = []
    for i in range(count):
        o = _derived(base, i)
        mux = {"scrambled": False, "ecm_pid": None, "share": set(), "unknown": None,
               "service": None, "provider": "Kestrow", "scrambled_from": None, "scrambled_to": None,
               "video_type": None}
        for key, value in overrides.get(i + 1, {}).items():
            (mux if key in MUX_KEYS else o)[key] = value
        if mux["scrambled_from"] is not None or mux["scrambled_to"] is not None:
            mux["scrambled"] = True
        if mux["video_type"] is not None and not 0 <= mux["video_type"] <= 0xFF:
            raise ValueError("programme %d: video_type 0x%x is not a stream type" % (i + 1, mux["video_type"]))
        if mux["share"] and i == 0:
            raise ValueError("programme 1 is the one the others share from")
        if "scte" in mux["share"]:
            o["scte_pid"] = 0
        o["cues"] = [c for c in cues if c.programme == i + 1]
        if mux["service"] is None:
            mux["service"] = "Kestrow %d" % o["program_number"]
        if (mux["scrambled"] or mux["ecm_pid"]) and not mux["ecm_pid"]:
            mux["ecm_pid"] = o["pmt_pid"] + 0x10
        out.append((o, mux))
    return out


def _layout(programmes, emm_pid):
    """Edits each programme's PMT for the multiplex (shared streams, CA
    descriptor, unknown stream) after checking that no PID is used twice."""
    first = programmes[0]["pmt"]
    owner = {emm_pid: "the EMM PID"} if emm_pid else {}
    for n, prog in enumerate(programmes):
        pmt, mux = prog["pmt"], prog["mux"]
        pids = [prog["pmt_pid"], prog["pcr_pid"]] + [pid for _, pid, _ in pmt["es"]] \
            + [p for p in (mux["ecm_pid"], mux["unknown"] and mux["unknown"][0]) if p]
        for pid in set(pids) - {gen.NULL_PID}:
            if pid in owner:
                raise ValueError("PID 0x%x of programme %d is also %s" % (pid, n + 1, owner[pid]))
            owner[pid] = "programme %d's" % (n + 1)
    for prog in programmes:
        pmt, mux = dict(prog["pmt"]), prog["mux"]
        pmt["es"] = list(pmt["es"])
        prog["scramble"] = {pid for t, pid, _ in pmt["es"] if t != 0x86} if mux["scrambled"] else set()
        prog["garble"] = {prog["video_pid"]} if mux["video_type"] is not None else set()
        if prog["garble"]:
            pmt["es"] = [[mux["video_type"] if pid == prog["video_pid"] else t, pid, d] for t, pid, d in pmt["es"]]
        shared = {"audio": [e for e in first["es"] if e[1] == programmes[0]["audio_pid"]],
                  "scte": [e for e in first["es"] if e[0] == 0x86]}
        for kind in mux["share"] & set(shared):
            if not shared[kind]:
                raise ValueError("programme 1 has no %s stream to share" % kind)
            pmt["es"] += shared[kind]
        if "scte" in mux["share"] and b"\x05\x04CUEI" in first["info"]:
            pmt["info"] = b"\x05\x04CUEI" + pmt["info"]
        if "pcr" in mux["share"]:
            pmt["pcr_pid"] = first["pcr_pid"]
        if mux["ecm_pid"]:
            pmt["info"] = _ca_descriptor(mux["ecm_pid"]) + pmt["info"]
        if mux["unknown"]:
            pmt["es"].append([mux["unknown"][1], mux["unknown"][0], b""])
        section = pmt_section(pmt)
        prog["pmt_packet"] = lambda p, s=section: _with_section(p, s)


def multiplex(path, programs=1, program_settings=(), utc="2024-03-01T12:00:00", network_id=0xFF01,
              seed=1, emm_pid=0x1FF0, **options):
    """Writes a multiplex of programs programmes to path. options: those of
    generate() for the first programme (the others derived from it, see
    _derived); program_settings: "N:KEY=VALUE,..." strings (or (N, dict)):
    generate() options of programme N and scrambled=1, scrambled_from=S,
    scrambled_to=S, ecm_pid=PID, share=audio+scte+pcr, unknown=PID:TYPE,
    video_type=TYPE, service=NAME, provider=NAME.
    Cues go to the programme of their prog= key. muxrate: the multiplex's
    constant rate (each programme generated at 85 % / programs of it unless
    it has its own). Returns a summary: that of the first programme with
    "programs" (each programme's generate() summary and settings), the
    multiplex's packet count and its CA PIDs."""
    o = dict(gen.DEFAULTS)
    o.update(options)
    rate = gen._rate(o.pop("muxrate")) if o.get("muxrate") else None
    if not 1 <= programs <= 64:
        raise ValueError("--programs %d: give 1 to 64" % programs)
    settings = _programmes(programs, program_settings, o)
    utc_start = datetime.datetime.fromisoformat(str(utc).rstrip("Z")).replace(tzinfo=datetime.timezone.utc)
    programmes, tmp = [], path + ".part"
    try:
        for n, (opts, mux) in enumerate(settings):
            if rate and "muxrate" not in opts:
                opts["muxrate"] = str(rate * 85 // 100 // programs)
            if "pcr" in mux["share"]:
                opts["start_pts"] = programmes[0]["start"]
            info = gen.generate("%s.prog%d.ts" % (path, n + 1), **opts)
            carrier = info["video_pid"] if info["pcr_pid"] == gen.NULL_PID else info["pcr_pid"]
            section, first_pcr = _scan(info["path"], info["pmt_pid"], carrier)
            info.update(mux=mux, pmt=parse_pmt(section), first_pcr=first_pcr, pcr_carrier=carrier,
                        audio_pid=info["audio_pids"][0], service=mux["service"],
                        scrambled=mux["scrambled"], ecm_pid=mux["ecm_pid"])
            programmes.append(info)
        ca = any(p["ecm_pid"] for p in programmes)
        _layout(programmes, emm_pid if ca else None)
        lead = max(p["start"] * 300 - _unwrap(p["first_pcr"], p["start"] * 300) for p in programmes)
        cc = {}
        tables = _Tables(o["ts_id"], network_id, utc_start,
                         [{"number": p["program_number"], "pmt_pid": p["pmt_pid"],
                           "service": p["service"], "provider": p["mux"]["provider"],
                           "scrambled": p["scrambled"]} for p in programmes], emm_pid)
        sources = [_periodic(INTERVALS[name], _psi(pid, getattr(tables, name), cc))
                   for name, pid in (("pat", 0x00), ("cat", 0x01), ("nit", 0x10), ("sdt", 0x11),
                                     ("eit", 0x12), ("tdt", 0x14), ("tot", 0x14))
                   if ca or name != "cat"]
        if ca:
            sources.append(_periodic(INTERVALS["emm"], _ca_sections(random.Random("%s emm" % seed),
                                                                    emm_pid, cc, False)))
        finite = set()
        for n, p in enumerate(programmes):
            p["origin"] = (p["start"] * 300 - lead) % PCR_WRAP
            p["lead"] = lead
            p["cue_packets"] = {c["packet"]: c for c in p["cues"]}
            finite.add(len(sources))
            sources.append(_programme_source(p, random.Random("%s scramble %d" % (seed, n))))
            if p["ecm_pid"]:
                sources.append(_periodic(INTERVALS["ecm"], _ca_sections(
                    random.Random("%s ecm %d" % (seed, n)), p["ecm_pid"], cc, True)))
            if p["mux"]["unknown"]:
                sources.append(_periodic(INTERVALS["unknown"], _unknown_pes(
                    random.Random("%s unknown %d" % (seed, n)), p["mux"]["unknown"][0], p["origin"], cc)))
        with open(tmp, "wb") as out:
            count = _merge(out, sources, finite, rate)
        os.replace(tmp, path)
    finally:
        for p in [tmp] + ["%s.prog%d.ts" % (path, n + 1) for n in range(programs)]:
            if os.path.exists(p):
                os.unlink(p)
    for p in programmes:
        for key in ("pmt", "first_pcr", "origin", "cue_packets", "pmt_packet", "mux", "scramble",
                    "garble", "lead", "path", "pcr_carrier"):
            p.pop(key)
    summary = dict(programmes[0])
    summary.update(path=path, packets=count, programs=programmes, emm_pid=emm_pid if ca else None,
                   muxrate=rate, cues=[c for p in programmes for c in p["cues"]])
    return summary


# --------------------------------------------------------------------------
# Timelines


def _key_values(text, keys, what):
    kv = {}
    for item in filter(None, (s.strip() for s in str(text).split(","))):
        key, sep, value = item.partition("=")
        if not sep or key not in keys:
            raise ValueError("%s %r: %r is not one of %s=..." % (what, text, item, "=, ".join(keys)))
        kv[key] = value
    if "at" not in kv:
        raise ValueError("%s %r: give at=" % (what, text))
    return kv


def restart_spec(text):
    """"at=T,jump=S,cc_reset=0|1,version=0|1,disc=0|1" (a --restart) as a dict,
    times in ticks."""
    kv = _key_values(text, ("at", "jump", "cc_reset", "version", "disc"), "--restart")
    return {"at": gen._ticks(kv["at"]), "jump": gen._ticks(kv.get("jump", "0")),
            "cc_reset": bool(int(kv.get("cc_reset", "1"))), "version": bool(int(kv.get("version", "0"))),
            "disc": bool(int(kv.get("disc", "0")))}


def _after(value, target):
    """True when the 33-bit value is at or after target (within half the wrap)."""
    return (value - target) % WRAP < WRAP // 2


def _moved(cue, ticks):
    """A copy of cue with its times relative to a programme start ticks later."""
    c = copy.copy(cue)
    if c.at is not None:
        c.at -= ticks
    if c.send is not None:
        c.send -= ticks
    if c.components is not None and c.type == "insert":
        c.components = [(tag, None if t is None else t - ticks) for tag, t in c.components]
    return c


def _with_disc(p):
    """p with its discontinuity_indicator set: in its adaptation field, or in
    one put in place of two bytes of section stuffing; None when p has
    neither."""
    if p[3] & 0x20 and p[4] > 0:
        p[5] |= 0x80
        return p
    if p[3] & 0x30 == 0x10 and p[1] & 0x40 and p[-2:] == b"\xff\xff":
        return p[:3] + bytes([p[3] | 0x20, 1, 0x80]) + p[4:-2]
    return None


class _Joiner:
    """Writes segments one after the other; the packets of a segment after
    the first get the restart's continuity counters, versions and
    discontinuity_indicator."""

    def __init__(self, out, pmt_pid):
        self.out = out
        self.pmt_pid = pmt_pid
        self.count = 0
        self.last_cc = {}             # PID: last continuity counter with payload
        self.version = 0

    def segment(self, packets, restart):
        offset, marked = {}, set()
        if restart and restart["version"]:
            self.version += 1
        for p in packets:
            pid = _pid(p)
            if restart:
                if not restart["cc_reset"] and p[3] & 0x10 and pid not in offset:
                    offset[pid] = (self.last_cc.get(pid, 15) + 1 - (p[3] & 15)) % 16
                p[3] = (p[3] & 0xF0) | ((p[3] + offset.get(pid, 0)) & 15)
                if self.version and pid in (0, self.pmt_pid) and p[1] & 0x40:
                    p = _with_section(p, _with_version(_section_of(p), self.version))
                if restart["disc"] and pid not in marked:
                    marked.add(pid)
                    p = _with_disc(p) or p
            if p[3] & 0x10:
                self.last_cc[pid] = p[3] & 15
            self.out.write(p)
            self.count += 1


def restarted(path, restarts, **options):
    """Writes a programme whose source restarts: at each restart's time
    (programme time, on the PCR clock: from the first PCR >= start + at) the
    stream is cut and a new one begins, its first PCR the clock value of the
    cut + jump (the jumps add up), its continuity counters from 0 (or
    carried on with cc_reset=0), its PAT/PMT version raised with version=1,
    the discontinuity_indicator set on the first packet of each PID with
    disc=1. A cue goes into the segment its send time falls in; its at= and
    send= count on the programme's time as if it had gone on without a
    restart, the splice time it carries being on its segment's timeline.
    Returns the summary of the first segment with "segments" [{start, jump,
    packet}] and every cue's packet (None when the restart cut it off)."""
    o = dict(gen.DEFAULTS)
    o.update(options)
    specs = sorted((restart_spec(r) if isinstance(r, str) else r for r in restarts), key=lambda r: r["at"])
    cues = [c if isinstance(c, gen.Cue) else gen.Cue(c, n + 1) for n, c in enumerate(o["cues"])]
    provisional = gen._int_expr(o["start_pts"]) if isinstance(o["start_pts"], str) else (o["start_pts"] or 0)
    bounds = [0] + [r["at"] for r in specs] + [None]
    total = int(round(float(o["duration"]) * gen.TICKS))
    if any(not 0 < b < total for b in bounds[1:-1]):
        raise ValueError("restarts need 0 < at < --duration")
    segments, infos, jump, base, lead = [], [], 0, None, 0
    tmp = path + ".part"
    try:
        with open(tmp, "wb") as out:
            join = None
            for k in range(len(bounds) - 1):
                lo, hi = bounds[k], bounds[k + 1]
                jump += specs[k - 1]["jump"] if k else 0
                opts = dict(o)
                opts["cues"] = [_moved(c, lo + lead if k else 0) for c in cues
                                if (k == 0 or c.send_offset(provisional) >= lo)
                                and (hi is None or c.send_offset(provisional) < hi)]
                opts["duration"] = ((total if hi is None else hi + lead + 3 * gen.TICKS) - lo) / gen.TICKS
                if k:
                    opts["start_pts"] = (base + lo + jump + lead) % WRAP
                info = gen.generate("%s.seg%d.ts" % (path, k), **opts)
                carrier = info["video_pid"] if info["pcr_pid"] == gen.NULL_PID else info["pcr_pid"]
                if k == 0:
                    base = info["start"]
                    lead = base - _scan(info["path"], info["pmt_pid"], carrier)[1] // 300
                    join = _Joiner(out, info["pmt_pid"])
                cut = None
                if hi is not None:
                    target = (base + hi + jump) % WRAP
                    cut = next((n for n, p in enumerate(read_packets(info["path"])) if _pid(p) == carrier
                                and _pcr(p) is not None and _after(_pcr(p) // 300, target)), None)
                    if cut is None:
                        raise RuntimeError("segment %d ends before its restart" % k)
                for c in info["cues"]:
                    c["packet"] = join.count + c["packet"] if cut is None or c["packet"] < cut else None
                segments.append({"start": info["start"], "jump": jump, "packet": join.count})
                join.segment(itertools.islice(read_packets(info["path"]), cut), specs[k - 1] if k else None)
                infos.append(info)
                os.unlink(info["path"])
        os.replace(tmp, path)
    finally:
        for p in [tmp] + ["%s.seg%d.ts" % (path, k) for k in range(len(bounds))]:
            if os.path.exists(p):
                os.unlink(p)
    summary = dict(infos[0])
    summary.update(path=path, packets=join.count, segments=segments,
                   cues=[c for i in infos for c in i["cues"]])
    return summary


def cut(path, info, outages=(), split=None):
    """Drops the packets of each outage ("at=T,dur=S": from the first PCR at
    programme time T to the first at T + S, elapsed time counted from PCR to
    PCR across restarts: the source went on meanwhile) and, with split
    "T:PATH", writes the packets from programme time T on to PATH, those
    before staying in path. info: the summary of path (start, pcr_pid,
    video_pid, cues), updated: packets, cue packets (None when dropped;
    "file": 2 in the second file), "split" {path, packets}, "dropped"."""
    windows = []
    for text in outages:
        kv = _key_values(text, ("at", "dur"), "--outage")
        if "dur" not in kv:
            raise ValueError("--outage %r: give dur=" % text)
        at = gen._ticks(kv["at"])
        windows.append((at, at + gen._ticks(kv["dur"])))
    split_at, split_path = None, None
    if split:
        when, sep, split_path = str(split).partition(":")
        if not sep or not split_path:
            raise ValueError("--split %r: give T:PATH" % split)
        split_at = gen._ticks(when)
    carrier = info["video_pid"] if info["pcr_pid"] == gen.NULL_PID else info["pcr_pid"]
    cues = {c["packet"]: c for c in info["cues"] if c.get("packet") is not None}
    files = [open(path + ".part", "wb"), open(split_path, "wb") if split_path else None]
    counts, dropped, elapsed, last = [0, 0], 0, None, None
    try:
        for n, p in enumerate(read_packets(path)):
            pcr = _pcr(p) if _pid(p) == carrier else None
            if pcr is not None:
                if last is None:
                    elapsed = (_unwrap(pcr, info["start"] * 300) - info["start"] * 300) // 300
                else:
                    step = (pcr - last) % PCR_WRAP
                    elapsed += step // 300 if step < CLOCK else 0     # a restart: no time
                last = pcr
            if elapsed is not None and any(a <= elapsed < b for a, b in windows):
                dropped += 1
                if n in cues:
                    cues[n]["packet"] = None
                continue
            second = split_at is not None and elapsed is not None and elapsed >= split_at
            if n in cues:
                cues[n].update(packet=counts[second], file=2 if second else 1)
            files[second].write(p)
            counts[second] += 1
    finally:
        for f in files:
            if f:
                f.close()
    os.replace(path + ".part", path)
    info.update(packets=counts[0], dropped=dropped,
                split={"path": split_path, "packets": counts[1]} if split_path else None)
    return info
