"""KestrowApp relaying live over loopback UDP: a paced sender, the real
service, a recording receiver; the output checked packet by packet. The
service's log lines that operators watch for breaks are checked here."""
import json
import os
import re
import subprocess
import unittest

import flow
import kt
import pictures
import splicecheck

TICKS = kt.TICKS


class Live(kt.FillerCase):

    def relay(self, name, *args, settle=2, **opts):
        """Generates programme name, relays it through a service started with
        args; returns (programme, generator info, service, splice checker)."""
        prog = os.path.join(self.dir, name + ".ts")
        info = kt.gen.generate(prog, **opts)
        svc = kt.started(self, self.dir, "--input-loss-slate=0", *args, filler=self.filler, name=name)
        svc.sent = svc.send(prog)
        rc, _ = svc.stop(settle=settle)
        self.assertEqual(rc, 0)
        self.expect_no_error_line(svc)
        return prog, info, svc, splicecheck.Splice(prog, self.filler, svc.out)

    def expect_no_error_line(self, svc):
        """A healthy run, its start and its stop included, writes no "!" line (but the input's
        loss: the sender ends before the service stops; and the output's lateness on a busy
        machine, which the timing checks judge against what the service waited for a CPU)."""
        self.assertEqual([l for l in svc.text().splitlines() if l.startswith("!") and "input lost:" not in l
                          and "after its time" not in l], [])

    def expect_unchanged_from_the_first(self, check):
        """The session starts with the packets that arrive after probing: from
        the first packet out, every packet of the programme is there, unchanged."""
        for st in [check.video] + list(check.audio.values()):
            self.assertTrue(st.out, "PID 0x%x missing" % st.pid)
            first = next(i for i, p in enumerate(st.src) if (p["hash"], p["pts"]) == (st.out[0]["hash"], st.out[0]["pts"]))
            want = [(p["pts"], p["dts"], p["hash"]) for p in st.src[first:first + len(st.out)]]
            self.assertEqual([(p["pts"], p["dts"], p["hash"]) for p in st.out], want, "PID 0x%x" % st.pid)
            self.assertGreater(len(st.out), len(st.src) * 0.6)

    def test_pictures_the_demuxer_gives_in_parts_go_on_whole(self):
        # 250 kB pictures: the demuxer hands each out as a 200 kB part and its rest.
        _, _, _, check = self.relay("parts", duration=8, fps=10, gop=5, video_bitrate="20M", muxrate="24M")
        self.assertGreater(max(p["size"] for p in check.video.src), 210000)
        self.expect_unchanged_from_the_first(check)

    def test_relay_without_cues_keeps_every_packet_and_adds_epg(self):
        prog, _, svc, check = self.relay("plain", "--service_name=Kestrow News",
                                         "--service_provider=Kestrow Test", duration=8)
        self.expect_unchanged_from_the_first(check)
        streams = {s["pid"]: s for s in check.out["streams"]}
        self.assertEqual((streams[0x590]["codec"], streams[0x590]["stream_type"]), ("scte_35", 0x86))
        self.assertIn("reg=CUEI", check.out["programs"][0]["descriptors"])
        self.assertNotIn(0x12, streams, "the EPG PID carries sections, not a PES stream")
        # The PCR starts max_delay (0.9 s) before the first timestamps, where it settles.
        data = open(svc.out, "rb").read()
        i = next(i for i in range(0, len(data), 188) if data[i + 3] & 0x20 and data[i + 4] >= 7 and data[i + 5] & 0x10)
        b = data[i + 6:i + 11]
        pcr = b[0] << 25 | b[1] << 17 | b[2] << 9 | b[3] << 1 | b[4] >> 7
        self.assertAlmostEqual(flow.pes_starts(data, {0x100})[0][2] - pcr, 0.9 * TICKS, delta=0.1 * TICKS)
        cc = kt.gen.check(svc.out, "--cc")
        self.assertEqual(cc["total"]["errors"], 0, cc["cc"])
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "program_tags", "-of", "default",
                                svc.out], stdout=subprocess.PIPE, text=True).stdout
        self.assertIn("service_name=Kestrow News", probe)
        self.assertIn("service_provider=Kestrow Test", probe)

    def test_breaks_are_spliced_and_logged(self):
        prog, info, svc, check = self.relay("breaks", "--debug", "--debug", duration=16,
                                            cues=["at=5,dur=4,lead=2", "at=11,dur=2,lead=2"])
        check.expect_valid()
        for n, dur in enumerate((4, 2)):
            check.expect_break(n, info["cues"][n]["pts_time"], dur * TICKS)
        sent = [p["data"] for p in kt.gen.check(prog, "--hex")["packets"] if p["pid"] == 0x590]
        got = [p["data"] for p in kt.gen.check(svc.out, "--hex")["packets"] if p["pid"] == 0x590]
        self.assertEqual(got, sent, "cue sections leave byte for byte as they came")
        self.assertIn("reV: pts:", svc.text(), "debug traces with --debug twice")
        # The output's clock starts max_delay before the first picture, and the holds at a break's
        # start and return do not move it ahead of the programme.
        # A sender that was late (a busy machine) shortens the lead by as much.
        kt.expect_steady_lead(svc.out, 0x100, (0.1 + svc.sent["late_ms"] / 1000) * TICKS)

    def test_a_break_between_key_frames_is_on_the_announced_pictures(self):
        # A 2 s GOP: the point lies 1.04 s after a key frame, the break's end 0.84 s before the next one; the
        # pictures up to it are re-encoded. The start comes well after the session's own (its first GOP). The
        # end cuts the filler after an anchor its last two B-pictures reference: those are re-encoded ahead.
        prog, info, svc, _ = self.relay("accurate", duration=14, gop=50, cues=["at=5.04,dur=4.12,lead=2"])
        point = info["cues"][0]["pts_time"]
        self.assertIn("start of splice_event_id=1 on the announced picture", svc.text())
        # While the start is decided the programme is withheld; the output goes on meanwhile: no silence
        # on the wire then a burst, the PCRs around the start arrive on time (late by ~120 ms without).
        late, busy = flow.pcr_lateness(svc, point - 1.2 * TICKS, point + 1.5 * TICKS)
        self.assertLess(late, 50 + svc.sent["late_ms"] + busy)
        end = point + int(4.12 * TICKS)
        # So at the return, while the first pictures from its point on are decoded and the sound waits for them.
        late, busy = flow.pcr_lateness(svc, end - 1.2 * TICKS, end + 1.5 * TICKS)
        self.assertLess(late, 50 + svc.sent["late_ms"] + busy)
        key = min(k for k in pictures.key_frames(prog) if k >= end)
        back, scores = pictures.programme_back(svc.out, prog, end, key, TICKS // 25)
        self.assertLessEqual(abs(back - end), TICKS // 25)
        self.assertGreaterEqual(min(scores.values()), 38.0)
        self.assertIn("return of splice_event_id=1 on the announced picture: %d pictures re-encoded" % len(scores),
                      svc.text())
        self.assertEqual(pictures.decode_errors(svc.out), "")
        self.assertEqual(kt.tr290(svc.out)["cc_errors"], 0)

    def test_pictures_re_encoded_for_a_start_that_are_not_ready_in_time_are_left_out(self):
        # With no lead of the video over its clock to wait in (--max-delay of 3 us), the 1080p pictures
        # re-encoded before the point are late: the break still starts on its picture, the video goes on
        # without them, the picture before them held. The return's run is late as well: it ends where it aired
        # (at once, or after its first pictures), the programme whole again from its key frame after the end.
        # Nothing else is lost or damaged.
        prog, filler, asrun = (os.path.join(self.dir, "late_run" + x) for x in (".ts", "_filler.ts", ".json"))
        info = kt.gen.generate(prog, size="1920x1080", duration=10, gop=50, bframes=3, cues=["at=5.12,dur=2,lead=2"])
        kt.gen.generate(filler, size="1920x1080", duration=6, filler=True)
        svc = kt.started(self, self.dir, "--input-loss-slate=0", "--max-delay=3", "--asrun-file=" + asrun,
                         filler=filler, name="late_run")
        svc.send(prog)
        self.assertEqual(svc.stop(settle=2)[0], 0)
        left = re.findall(r"the (\d+) pictures before it re-encoded were not ready after \d+ ms: left out \(late\)",
                          svc.text())
        self.assertEqual(len(left), 1, svc.text())
        j = pictures.check(svc.out, prog, [filler], asrun=asrun)
        t, b, n = j["totals"], j["breaks"][0], int(left[0])
        # The receiver sees the break from the last picture aired on: the pictures left out are its missing ones.
        self.assertEqual((b["missing"], b["frames_off_start"]), (n, -n), j["breaks"])
        end = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_end"]
        back = info["cues"][0]["pts_time"] + 2 * TICKS
        key = min(k for k in pictures.key_frames(prog) if k >= back)
        run = (key - back) // (TICKS // 25)
        self.assertEqual(end[0]["fallback"], "late")
        self.assertIn(b["frames_off_end"], (0, run))
        self.assertLessEqual(t["holes"], run if b["frames_off_end"] == 0 else 0, j["holes"])
        self.assertEqual(t["decode_errors_out"], t["decode_errors_in"])

    def test_cues_read_late_in_the_gop_of_their_point_start_as_near_it_as_the_output_allows(self):
        # The video leads its clock by 0.7 s. 2 s GOPs: a cue sent 0.8 s before its point (0.52 s after a
        # key frame, 1.48 s before the next) comes after the anchor shown just after the point, one sent
        # 0.2 s before after 15 pictures from the point on: what went out stays, the break starts on the
        # first picture after the last one sent. A 4 s GOP armed 3.3 s into it with a second to go: the
        # GOP read cannot be decoded up to the point in time, the start comes as soon as it can be. The
        # first two say late_cue, the last no_gop, and none waits for the next key frame or loses a picture.
        rows = [("gop_2s", dict(duration=14, gop=50), ["at=4.52,dur=1.2,lead=0.8", "id=2,at=8.52,dur=2.4,lead=0.2"],
                 "late_cue"),
                ("gop_4s", dict(duration=14, gop=100), ["at=7.3,dur=2,lead=1"], "no_gop")]
        for name, opts, cues, why in rows:
            with self.subTest(name):
                asrun = os.path.join(self.dir, name + ".json")
                prog, info, svc, _ = self.relay(name, "--asrun-file=" + asrun, cues=cues, **opts)
                with open(prog, "rb") as f:
                    data = f.read()
                units = flow.pes_starts(data, {0x100})
                sent_at = [i for i in range(0, len(data), 188) if data[i + 1] & 0x5F == 0x45 and data[i + 2] == 0x90]
                starts = [r for r in map(json.loads, kt.read_text(asrun).splitlines()) if r["event"] == "break_start"]
                j = pictures.check(svc.out, prog, [self.filler], asrun=asrun)
                t = j["totals"]
                self.assertEqual((t["holes"], t["duplicates"], t["decode_errors_out"]), (0, 0, t["decode_errors_in"]))
                self.assertGreaterEqual(t["reencoded_min_db"] or 99, 38.0)
                self.assertEqual(len(starts), len(cues))
                for n, (cue, record, b) in enumerate(zip(sent_at, starts, j["breaks"])):
                    point = info["cues"][n]["pts_time"]
                    key = min(k for k in pictures.key_frames(prog) if k > point)
                    self.assertEqual((record["fallback"], record["pts"], b["missing"], b["frames_off_end"]),
                                     (why, b["first_pts"], 0, 0))
                    self.assertTrue(point < record["pts"] < key, (point, record["pts"], key))
                    # A PES is read once the next one on its PID begins: those begun before the cue's went out.
                    sent = max(pts for k, (off, _, pts) in enumerate(units[:-1]) if units[k + 1][0] < cue)
                    if name == "gop_2s":
                        self.assertEqual(b["frames_off_start"], (sent - point) // (TICKS // 25) + 1)

    def test_a_break_across_the_pts_wrap_keeps_the_pcrs_40_ms_apart(self):
        _, info, svc, check = self.relay("wrap", duration=10, start_pts=(1 << 33) - 6 * TICKS,
                                         cues=["at=5,dur=3,lead=2"])
        kt.expect_pcr_interval(svc.out)
        check.expect_valid()
        check.expect_break(0, splicecheck.near(info["cues"][0]["pts_time"], check.video.src[0]["pts"]), 3 * TICKS)

    def test_a_programme_without_video_is_relayed(self):
        # A radio service: its audio opens the output, and its PES 120 ms apart are no loss.
        prog = os.path.join(self.dir, "radio.ts")
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000",
                        "-t", "6", "-c:a", "mp2", "-f", "mpegts", "-muxrate", "1000000", prog], check=True)
        svc = kt.started(self, self.dir, "--input-loss-slate=0", filler=self.filler, name="radio")
        sent = svc.send(prog)
        rc, _ = svc.stop(settle=0.5)
        self.assertEqual(rc, 0)
        src = [(p["pts"], p["hash"]) for p in kt.gen.check(prog)["packets"]]
        out = [(p["pts"], p["hash"]) for p in kt.gen.check(svc.out)["packets"]]
        self.assertGreater(len(out), len(src) * 0.9)
        self.assertEqual(out, src[src.index(out[0]):][:len(out)])
        if sent["late_ms"] < 120:  # a sender that late (a busy machine) is a loss to the service
            self.assertLessEqual(svc.text().count("input lost"), 1, "the end of the input alone")

    def test_debug_traces_only_above_level_one(self):
        _, _, svc, _ = self.relay("quiet", "--debug", settle=3, duration=6, cues=["at=3,dur=2"])
        log = svc.text()
        self.assertIn("key: pts:", log)
        for tag in ("reV:", "reA:", "Vin:", "Ain:", "snd:", "Replacing audio"):
            self.assertNotIn(tag, log)

    def test_sigterm_while_the_input_is_silent(self):
        svc = kt.started(self, self.dir, filler=self.filler, name="silent")
        rc, _ = svc.stop(settle=1)
        self.assertEqual(rc, 0)
        self.assertLess(kt.stop_time(svc.text()), 1.5)
        self.expect_no_error_line(svc)

    def test_an_address_that_cannot_be_opened_is_retried_at_a_steady_pace_and_logged_once(self):
        svc = kt.Service(self.dir, filler=self.filler, name="badaddr", src="256.0.0.1:5")
        self.addCleanup(svc.close)
        svc.wait_log("(repeated ", timeout=15)
        rc, _ = svc.stop()
        self.assertEqual(rc, 0)
        fails = [l for l in svc.text().splitlines() if "Could not open input file [udp://256.0.0.1:5" in l]
        self.assertIn(len(fails), (2, 3), "the first failure, then counts: %r" % fails)
        repeats, seconds = map(int, re.search(r"repeated (\d+) times in (\d+) s", fails[1]).groups())
        self.assertTrue(2 <= repeats / seconds <= 6, "failing opens are paced: %s" % fails[1])

if __name__ == "__main__":
    unittest.main(verbosity=2)
