"""Checks a spliced output against its programme and filler, as the stream
checker reads the three: which packets came from where, and whether each
break started, ran and ended where the cue and the key frames say."""
import os
import sys

sys.path.insert(0, os.environ.get("KESTROW_TOOLS", ""))
from kestrow_report import LEAD, TICKS, WRAP, Stream, by_pid, media_pids, near, read  # noqa: E402,F401


def first_key_at_or_after(video_src, pts):
    for p in sorted((p for p in video_src if p["dts"] is not None), key=lambda p: p["dts"]):
        if p["key"] and p["pts"] >= pts:
            return p
    return None


def mark_reencoded(st):
    """Frame-accurate starts and returns in the output of video stream st: a stretch of packets of unknown
    origin that begins with a key picture and shows exactly the programme's pictures from its first on, is
    marked origin "re" when it comes right after filler and up to the programme's next key frame, which
    follows it (a return), or right after the programme and before filler (a start)."""
    src = sorted((p for p in st.src if p["pts"] is not None), key=lambda p: p["pts"])
    out, i = st.out, 0
    # A re-encoded picture with the times and about the size of the programme's was taken for a rewritten one.
    for a, p, b in zip(out, out[1:], out[2:]):
        if p.get("rewritten") and a["origin"] == b["origin"] == "?":
            p["origin"], p["hash"] = "?", p["rewritten"]
    while i < len(out):
        j = i
        while j < len(out) and out[j]["origin"] == "?":
            j += 1
        run = out[i:j]
        if run and 0 < i and j < len(out) and run[0]["key"] and all(p["pts"] is not None for p in run):
            first, shown = run[0]["pts"], sorted(p["pts"] for p in run)
            key = next((p for p in src if p["key"] and p["pts"] > first), None)
            back = out[i - 1]["origin"] == "fill" and key and (out[j]["origin"], out[j]["pts"]) == ("src", key["pts"])
            start = (out[i - 1]["origin"], out[j]["origin"]) == ("src", "fill")
            if (back and shown == [p["pts"] for p in src if first <= p["pts"] < key["pts"]]) or \
                    (start and shown == [p["pts"] for p in src if first <= p["pts"] <= shown[-1]]):
                for p in run:
                    p["origin"] = "re"
        i = j + 1


class Splice:
    """Runs the checks; each check raises AssertionError with a reason."""

    def __init__(self, prog_path, filler_path, out_path, video_pid=None, audio_pids=None):
        """video_pid, audio_pids: the spliced programme's, in a multiplex (default: the first video, all audio)."""
        self.prog = read(prog_path)
        self.filler = read(filler_path)
        self.out = read(out_path)
        self.out_path = out_path
        self.video_pid = video_pid or media_pids(self.prog, "video")[0]
        self.audio_pids = audio_pids or media_pids(self.prog, "audio")
        self.video = Stream(self.video_pid, self.prog, self.filler, self.out)
        mark_reencoded(self.video)
        self.audio = {pid: Stream(pid, self.prog, self.filler, self.out) for pid in self.audio_pids}

    def expect_valid(self, spots=()):
        """dts strictly increasing and pts >= dts on every PID; nothing of unknown origin (spots: the
        paths of the spots that may have aired)."""
        known = {p["hash"] for path in spots for p in read(path)["packets"]}
        for st in [self.video] + list(self.audio.values()):
            last = None
            for p in st.out:
                assert p["origin"] != "?" or p["hash"] in known, "PID 0x%x: packet of unknown origin at dts %s" % (
                    st.pid, p["dts"])
                if p["pts"] is None:
                    continue  # the second access unit of a PES carries no timestamps
                assert p["pts"] >= p["dts"], "PID 0x%x: pts %d < dts %d" % (st.pid, p["pts"], p["dts"])
                assert last is None or p["dts"] > last, "PID 0x%x: dts %d after %d" % (st.pid, p["dts"], last)
                last = p["dts"]

    def expect_unchanged(self):
        """Output holds exactly the programme's audio and video packets, timestamps unchanged."""
        for st in [self.video] + list(self.audio.values()):
            got = [(p["pts"], p["dts"], p["hash"]) for p in st.out]
            want = [(p["pts"], p["dts"], p["hash"]) for p in st.src]
            assert got == want, "PID 0x%x: %d packets out, %d in, or timestamps changed" % (
                st.pid, len(got), len(want))

    def expect_break(self, index, splice_point, duration, audio_with_filler=None):
        """Break number index (0-based, in output order) announced at splice_point
        (ticks on the programme's time line) for duration ticks."""
        runs = self.video.runs()
        assert len(runs) > index, "only %d video breaks in the output" % len(runs)
        run = runs[index]
        start_key = first_key_at_or_after(self.video.src, splice_point - LEAD)
        assert start_key is not None, "no key frame for the break at %d" % splice_point
        t_start = start_key["pts"]
        # A break that starts after its splice point ends as announced.
        origin = splice_point if t_start > splice_point else t_start
        if run[0]["dts"] != start_key["dts"]:
            # Frame-accurate: the filler from the first picture shown at or after the point, the programme's
            # pictures shown before it all out (the last ones maybe re-encoded), none from there on.
            t_start = origin = min(p["pts"] for p in self.video.src if p["pts"] is not None and p["pts"] >= splice_point)
            shown = {p["pts"] for p in self.video.out if p["origin"] in ("src", "re") and p["dts"] < run[0]["dts"]}
            want = {p["pts"] for p in self.video.src if p["pts"] is not None and t_start - TICKS <= p["pts"] < t_start}
            assert want <= shown and max(shown) < t_start, "break %d: the programme is not shown up to %d" % (
                index, t_start)
        end_key = first_key_at_or_after(self.video.src, origin + duration - LEAD)

        # Video: filler from the start key frame's dts (or the picture at the point), re-timed on the programme's clock.
        assert run[0]["dts"] == start_key["dts"] or t_start != start_key["pts"], (
            "break %d starts at dts %d, key frame dts %d" % (index, run[0]["dts"], start_key["dts"]))
        fill0 = self.video.fill[0]
        for got, want in zip(run, self.video.fill):
            assert got["hash"] == want["hash"], "filler video out of order in break %d" % index
            assert got["dts"] - run[0]["dts"] == want["dts"] - fill0["dts"], "filler dts not kept"
        assert not any(p["origin"] == "src" and (p["hash"], p["pts"]) == (start_key["hash"], start_key["pts"])
                       for p in self.video.out if t_start == start_key["pts"]), "the start key frame was written"
        after = [p for p in self.video.out if p["dts"] is not None and p["dts"] > run[-1]["dts"]]
        if end_key is not None and len(run) < len(self.video.fill):
            # The filler's last pictures re-encoded where the return cut them after their anchor (its out
            # point): a run of its own, shown before the programme's first picture at or after the end (whose
            # re-encoded run starts afresh there) or before the key frame at a return on it.
            back_at = min(p["pts"] for p in self.video.src if p["pts"] is not None and p["pts"] >= origin + duration)
            tail = 0
            for bound in (back_at, end_key["pts"]):
                while tail < len(after) and after[tail]["origin"] != "src" and after[tail]["pts"] is not None \
                        and after[tail]["pts"] < bound:
                    tail += 1
                if tail < len(after) and after[tail]["origin"] == "re":
                    tail = tail if after[tail]["key"] else 0  # else a return run that began early
                    break
            after = after[tail:]
        end_pts = end_key["pts"] if end_key is not None else None
        if end_key is not None and len(run) < len(self.video.fill) and after and after[0]["origin"] == "re":
            # Frame-accurate: back on the first picture shown at or after the end, re-encoded up to the key frame.
            announced = min(p["pts"] for p in self.video.src if p["pts"] is not None and p["pts"] >= origin + duration)
            assert after[0]["pts"] == announced, "video returned at pts %d, not on the announced picture at %d" % (
                after[0]["pts"], announced)
            key = next(p for p in after if p["origin"] != "re")
            assert key["dts"] == end_key["dts"], "the re-encoded return does not join the key frame at pts %d" % (
                end_key["pts"])
            end_pts = announced
        elif end_key is not None and len(run) < len(self.video.fill):
            assert after and after[0]["origin"] == "src" and after[0]["dts"] == end_key["dts"], (
                "video did not return on the key frame at pts %d" % end_key["pts"])

        # Audio: filler laid end to end from the start key frame's pts.
        pids = self.audio_pids if audio_with_filler is None else audio_with_filler
        for pid in self.audio_pids:
            st = self.audio[pid]
            aruns = st.runs()
            if pid not in pids:
                assert not aruns, "audio PID 0x%x has no filler but was replaced" % pid
                continue
            assert len(aruns) > index, "audio PID 0x%x: only %d breaks" % (pid, len(aruns))
            arun = aruns[index]
            assert arun[0]["pts"] == t_start, "audio PID 0x%x starts at %d, splice point %d" % (
                pid, arun[0]["pts"], t_start)
            # A packet whose duration the reader did not learn lasts until the next.
            natural = [p["duration"] or q["pts"] - p["pts"] for p, q in zip(st.fill, st.fill[1:])] + [
                st.fill[-1]["duration"]]
            for i in range(1, len(arun)):
                assert arun[i]["pts"] == arun[i - 1]["pts"] + natural[i - 1], (
                    "audio PID 0x%x: gap or overlap in the filler at %d" % (pid, arun[i]["pts"]))
            prev = [p for p in st.out if p["pts"] < t_start and p["origin"] == "src"]
            held = [p for p in st.src if p["pts"] < t_start < p["pts"] + p["duration"]]
            before = [p for p in st.out if p["pts"] < t_start]
            if held and before and before[-1]["origin"] == "src":
                assert prev and prev[-1]["pts"] == held[0]["pts"], (
                    "audio PID 0x%x: the packet holding the splice point is missing" % pid)
            nxt = [p for p in st.out if p["pts"] > arun[-1]["pts"]]
            if nxt and end_pts is not None and len(arun) < len(st.fill):
                resume = nxt[0]
                assert resume["origin"] == "src", "audio PID 0x%x: no return to the programme" % pid
                first = min((p for p in st.src if p["pts"] + p["duration"] > end_pts), key=lambda p: p["pts"],
                            default=None)  # by time: a source that restarted has times out of order
                assert first is not None and resume["pts"] == first["pts"], (
                    "audio PID 0x%x returns at %d, not with its first packet ending after the video's %d" % (
                        pid, resume["pts"], end_pts))
                last = arun[-1]
                assert last["pts"] < resume["pts"] <= last["pts"] + natural[len(arun) - 1], (
                    "audio PID 0x%x: the last filler packet does not end at the programme's packet" % pid)
        return {"start": start_key, "end": end_key, "video": run}

    def expect_sequence(self, splice_point, duration, spots):
        """The break announced at splice_point for duration ticks airs spots
        (paths, in airing order) back to back from its start key frame, then
        the filler looped up to its end key frame: on every PID each item's
        packets in order from its first; video dts continuing from item to
        item, each item's audio from where its video begins (cut there when
        the item before runs on, earlier when the item before ran out)."""
        items = [read(p) for p in spots] + [self.filler]
        out = read(self.out_path)  # as written: Stream names some packets after the programme's
        start = first_key_at_or_after(self.video.src, splice_point - LEAD)
        end = first_key_at_or_after(self.video.src, start["pts"] + duration - LEAD)
        span = end["pts"] - start["pts"]
        lengths = []
        for k in range(1000):
            v = by_pid(items[min(k, len(items) - 1)], self.video_pid)
            lengths.append(v[-1]["dts"] + v[-1]["duration"] - v[0]["dts"])
            if sum(lengths) >= span:
                break
        for pid in [self.video_pid] + self.audio_pids:
            video = pid == self.video_pid
            want, at, offset = [], 0, 0
            for k, length in enumerate(lengths):
                pkts = by_pid(items[min(k, len(items) - 1)], pid)
                at = offset if video else at
                for p in pkts:
                    if not video and at >= offset + length:
                        break
                    want.append((p["hash"], at + (p["dts"] - pkts[0]["dts"] if video else 0)))
                    at += 0 if video else p["duration"]
                offset += length
                at = min(at, offset)
            # The break's packets: video by dts between the key frames, audio by pts but the programme's own.
            t, lo, hi = ("dts", start["dts"], end["dts"]) if video else ("pts", start["pts"], end["pts"])
            src = {(p["pts"], p["hash"]) for p in by_pid(self.prog, pid)}
            got = [(p["hash"], p[t] - lo) for p in by_pid(out, pid)
                   if p[t] is not None and lo <= p[t] < hi and (video or (p["pts"], p["hash"]) not in src)]
            due = len([w for w in want if w[1] < span]) - (3 if video else 1)
            assert got == want[:len(got)] and len(got) >= due, (
                "PID 0x%x: break at %d does not air its items back to back (%d packets of %d): %s" % (
                    pid, start["pts"], len(got), len(want), next(((g, w) for g, w in zip(got, want) if g != w), "")))
        return {"start": start, "end": end, "items": len(lengths)}
