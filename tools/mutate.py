#!/usr/bin/env python3
"""mutate: plants deliberate faults in the product code, one at a time, and
reports which tests notice each.

Every mutation names a one-line fault, the files it may live in, an exact
snippet of code and its replacement (or a list of them, for a fault that
shows in more than one place of the same file), and the tests worth running
for it (a ctest -R regex). For each one the script finds the snippets (each
must occur exactly once in all the candidate files together, all in the same
file, otherwise the mutation is reported NOT APPLICABLE rather than guessed),
writes the changed file, rebuilds
the given build directory incrementally, runs the tests, and puts the file
back byte for byte, also on Ctrl-C, SIGTERM or an error. The result is a
Markdown table: which tests failed ("caught by"), or SURVIVED.

A copy of the original file is kept under BUILD/mutate-backup/ while a
mutation is in place; a run that was killed outright (SIGKILL, power loss)
is repaired by the next run, which puts those copies back first.

Not part of CI: a full run rebuilds once per mutation and runs live tests.

Usage:
    export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \\
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1   # the defaults
    tools/mutate.py --list                      # the table, where each applies
    tools/mutate.py --build build-test --baseline   # the test sets, unmutated
    tools/mutate.py --build build-test --out mutation.md
    tools/mutate.py --build build-test --only wrap-sign,crc-stale
    tools/mutate.py --build build-test --only cc-frozen --tests '^ts\\.Stage\\.'

The build directory must be configured from this tree, with sanitizers
(-DKESTROW_SANITIZE=ON), so that a leak or an overflow fails the tests.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

# The splice rules: table-driven unit tests on synthetic packets (seconds), then the
# demo's end-to-end run on generated files, checked packet by packet (about a minute).
SPLICE_TESTS = r"^splice\.Splice\.|^demo\.end_to_end$"
# The service fed a damaged input, an outage and timestamp jumps over loopback (about two minutes).
INPUT = r"^faults\.input$"
# The output stage: PMT rewrite, continuity, the relay read back by ffprobe.
TS_OUT = r"^ts\.(Stage|Relay|RelayErrors)\."
# Where the loop around the splice rules lives, shared by the service and the demo.
SERVICE_LOOP = ["relay/relay.cpp", "service/session.cpp"]
# Side streams (teletext, private data) with times of their own, beside the programme.
SIDE_TIME = r"^demo\.(captures|layouts)$"
SPLICE = ["splice/splice.cpp", "splice/splice_start.cpp", "splice/splice_return.cpp", "splice/splice_tail.cpp",
          "splice/splice_audio.cpp", "splice/splice_video.cpp", "splice/splice_cue.cpp", "relay/relay.cpp"]
# The output stage, its self-checks and its passthrough.
TS_OUT_FILES = ["ts/ts_out.cpp", "ts/ts_out_check.cpp", "ts/ts_out_pass.cpp"]
# The traffic controller: its life, the packet path's side and the file work.
TRAFFIC = ["traffic/traffic.cpp", "traffic/traffic_air.cpp", "traffic/traffic_files.cpp"]

MUTATIONS = [
    dict(id="lead-start-sign",
         what="key-frame window at the break start opens 0.1 s after the splice point instead of before",
         files=SPLICE,
         old="pkt->pts >= rep->scte_35_pts_time - splice_key_lead(env)",
         new="pkt->pts >= rep->scte_35_pts_time + splice_key_lead(env)",
         tests=SPLICE_TESTS),
    dict(id="lead-end-sign",
         what="key-frame window at the break end opens 0.1 s after splice point + duration",
         files=SPLICE,
         # pts - LEAD >= end, not pts >= end + LEAD: an open break's end is INT64_MAX.
         old="pkt->pts >= splice_break_end(rep, nullptr) - return_lead(env)",
         new="pkt->pts - return_lead(env) >= splice_break_end(rep, nullptr)",
         tests=SPLICE_TESTS),
    dict(id="lead-start-off-by-one",
         what="key frame exactly at the window's first tick no longer starts the break",
         files=SPLICE,
         old="pkt->pts >= rep->scte_35_pts_time - splice_key_lead(env)",
         new="pkt->pts > rep->scte_35_pts_time - splice_key_lead(env)",
         tests=SPLICE_TESTS),
    dict(id="splice-point-not-unwrapped",
         what="33-bit wrap: a cue's splice point is not taken onto the programme's time line next to the cue",
         files=SPLICE,
         old="return near == AV_NOPTS_VALUE ? point : ts_pts_nearest(point, near);",
         new="return point;",
         tests=SPLICE_TESTS),
    dict(id="pts-adjustment-ignored",
         what="the cue's pts_adjustment is not added to its splice time",
         files=SPLICE,
         old="c.point = splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts);",
         new="c.point = splice_point_near(pts_time, 0, cue_pts);",
         tests=SPLICE_TESTS),
    dict(id="pts-shift-sign",
         what="filler video pts shift adds the programme's pts - dts instead of subtracting it",
         files=SPLICE,
         old="int64_t shift = (start - first_dts) - programme_delay - min_gap;",
         new="int64_t shift = (start - first_dts) + programme_delay - min_gap;",
         tests=SPLICE_TESTS),
    dict(id="audio-return-trim",
         what="at the return the last filler audio packet is lengthened instead of cut at the programme's packet end",
         files=SPLICE,
         old="f->duration -= r->sent_dts - cut;",
         new="f->duration += r->sent_dts - cut;",
         tests=SPLICE_TESTS),
    dict(id="audio-return-late",
         what="at the return the filler audio stops after the packet that starts past the video's return, not the one that ends past it",
         files=SPLICE,
         old="bool returning = rep->end_pts != AV_NOPTS_VALUE && splice_packet_end(pkt) > rep->end_pts;",
         new="bool returning = rep->end_pts != AV_NOPTS_VALUE && pkt->pts > rep->end_pts;",
         tests=SPLICE_TESTS),
    dict(id="audio-start-cut-dropped",
         what="the programme audio packet holding the splice point is dropped instead of cut there",
         files=SPLICE,
         old="    if (dd > 0) {\n        pkt->duration = dd;",
         new="    if (dd < 0) {\n        pkt->duration = dd;",
         tests=SPLICE_TESTS),
    dict(id="audio-gap",
         what="filler audio laid with a 1 ms gap after every packet during the break",
         files=["splice/splice_content.cpp"],
         old="        r->sent_dts += f->duration;\n",
         new="        r->sent_dts += f->duration + 90;\n",
         tests=SPLICE_TESTS),
    dict(id="held-lost-at-end",
         what="audio held for an armed break is not released when the input ends (or the hold queue fills)",
         files=SPLICE,
         old=["    while (env->held && packets_queue_pop(env->held, &pkt) >= 0)\n",
              "        splice_replay_held(env, rep, INT64_MAX, false);\n        if (packets_queue_push(env->held, *ppkt) < 0)"],
         new=["    while (false && env->held && packets_queue_pop(env->held, &pkt) >= 0)\n",
              "        (void)rep;\n        if (packets_queue_push(env->held, *ppkt) < 0)"],
         tests=SPLICE_TESTS),
    dict(id="held-rule-off",
         what="audio reaching past the earliest break start is never held back while armed",
         files=SPLICE,
         old="int64_t from = rep->state == SPLICING_STATE_ARMED ? rep->scte_35_pts_time - SPLICE_KEY_LEAD",
         new="int64_t from = rep->state == SPLICING_STATE_ARMED ? INT64_MAX",
         tests=SPLICE_TESTS),
    dict(id="hold-bound-dts",
         what="held audio and filler pictures wait for a programme dts past them, not for the pictures read to show past them",
         files=SPLICE,
         old="    return r->shown_max != AV_NOPTS_VALUE && r->shown_max > pkt->dts ? r->shown_max : pkt->dts;",
         new="    return pkt->dts;",
         tests=SPLICE_TESTS),
    dict(id="pes-parts-not-joined",
         what="a PES the demuxer gives in parts goes on as pictures of its own",
         files=["relay/relay_pes.cpp"],
         old="if (pkt->size < PES_CUT ||",
         new="if (pkt->size < PES_CUT * 100 ||",
         tests=r"^service\.live$|^demo\.end_to_end$"),
    dict(id="pes-held-picture-lost",
         what="the picture a video parser holds when it is told to take whole PES is dropped",
         files=["relay/relay_pes.cpp"],
         old="    p->held[s] = pes_flush(pc, st, pkt);",
         new="    p->held[s] = nullptr;",
         tests=r"^demo\.end_to_end$"),
    dict(id="pes-two-pictures-joined",
         what="a PES that carries two pictures goes on as one packet: the splice rules cannot tell them apart",
         files=["relay/relay_pes.cpp"],
         old=" || pkt->pts == AV_NOPTS_VALUE || pkt->pos < 0;",
         new=";",
         tests=r"^demo\.layouts$"),
    dict(id="filler-shown-after-return",
         what="filler video goes out as soon as it is taken: pictures shown after the return key frame are written",
         files=SPLICE,
         old="release_filler_video(env, rep, r, s, env->accurate && limit > end ? end : limit);",
         new="release_filler_video(env, rep, r, s, INT64_MAX);",
         tests=SPLICE_TESTS + r"|^demo\.layouts$"),
    dict(id="filler-tail-left-out",
         what="at a frame-accurate return the filler's B-pictures shown before it, decoded after one shown at it, are left out",
         files=SPLICE,
         old="    if (!a || r->queued_filler <= 0)\n        return 0;\n",
         new="    if (a || r->queued_filler <= 0)\n        return 0;\n",
         tests=r"^demo\.accurate$"),
    dict(id="leading-kept-after-return-cue",
         what="an open GOP's leading pictures are kept after a break that a return cue ended",
         files=SPLICE,
         old="mark_switch(pkt, SPLICE_SWITCH_KEY);",
         new="mark_switch(pkt, reason == EVENT_END_DURATION ? SPLICE_SWITCH_KEY : SPLICE_SWITCH_MID_GOP);",
         tests=r"^splice\.Splice\.|^demo\.layouts$"),
    dict(id="crc-stale",
         what="rewritten PMT keeps the CRC_32 of the section it came from",
         files=TS_OUT_FILES + ["ts/ts_psi.cpp"],
         old="    return ts_psi_finish(out, o);\n",
         new="    ts_psi_finish(out, o);\n    memcpy(out + o, sec + len - 4, 4);\n    return o + 4;\n",
         tests=TS_OUT),
    dict(id="cuei-not-added",
         what="PMT without a CUEI registration descriptor is not given one when it declares a cue PID",
         files=TS_OUT_FILES,
         old="int add_cuei = has_cue && !has_cuei && len + 6 <= TS_PMT_MAX;",
         new="int add_cuei = has_cue && has_cuei && len + 6 <= TS_PMT_MAX;",
         tests=TS_OUT),
    dict(id="check-cc-twice-lost",
         what="the output's own check counts a packet sent twice as a continuity error",
         files=TS_OUT_FILES,
         old="(cc == c->cc[pid] ? state == 2 : cc != ((c->cc[pid] + 1) & 0x0F));",
         new="(cc == c->cc[pid] ? true : cc != ((c->cc[pid] + 1) & 0x0F));",
         tests=r"^ts\.(Stage|Relay|Checks)\."),
    dict(id="pass-rejoin-counted",
         what="a passed PID's counters after a rejoin are counted as the input's break instead of carried on",
         files=TS_OUT_FILES,
         old="    if ((*f & PASS_REJOIN) && broke) {",
         new="    if (false && broke) {",
         tests=r"^ts\.(Stage|Relay|Queue|Tables)\."),
    dict(id="gather-resync-off",
         what="the output stage no longer skips bytes off the sync: a lost sync shifts every packet after it",
         files=["ts/ts_out.cpp"],
         old="ts_gather_feed(&s->gather, buf, size, true, gathered_packet, s);",
         new="ts_gather_feed(&s->gather, buf, size, false, gathered_packet, s);",
         tests=TS_OUT),
    dict(id="traffic-outside-said-nul",
         what="a break outside every window is reported as a NUL break of its window",
         files=TRAFFIC,
         old="            plan.reason = EVENT_PLAN_OUTSIDE;",
         new="            plan.reason = EVENT_PLAN_NUL;",
         tests=r"^traffic\.Traffic\.|^demo\.traffic$"),
    dict(id="cc-frozen",
         what="continuity counter of rewritten sections not advanced",
         files=TS_OUT_FILES,
         old="s->cc[pid] = (s->cc[pid] + 1) & 0x0F;",
         new="s->cc[pid] = s->cc[pid] & 0x0F;",
         tests=TS_OUT),
    dict(id="queue-full-leaks",
         what="push on a full queue claims success: the queue neither keeps nor gives back the packet",
         files=["splice/packets_queue.cpp"],
         old="        return -ENOMEM;\n    }\n    q->items[q->count++] = pkt;",
         new="        return q->count;\n    }\n    q->items[q->count++] = pkt;",
         tests=r"^splice\.PacketsQueue\."),
    dict(id="queue-capacity",
         what="queue refuses its last place (capacity + 1 entries become capacity)",
         files=["splice/packets_queue.cpp"],
         old="if (q->count > q->capacity)",
         new="if (q->count >= q->capacity)",
         tests=r"^splice\.PacketsQueue\."),
    dict(id="queue-destroy-leaks",
         what="destroying a queue frees all held packets but the last",
         files=["splice/packets_queue.cpp"],
         old="for (int32_t i = 0; i < q->count; i++)",
         new="for (int32_t i = 0; i + 1 < q->count; i++)",
         tests=r"^splice\.PacketsQueue\."),
    dict(id="refused-packet-leaks",
         what="splice rules drop a packet the output queue refuses without freeing it",
         files=SPLICE,
         old="    if (ret < 0) {\n        av_packet_free(&pkt);\n        event ev = event_make(EVENT_QUEUE_REFUSED);",
         new="    if (ret < 0) {\n        event ev = event_make(EVENT_QUEUE_REFUSED);",
         tests=SPLICE_TESTS),
    dict(id="pending-unordered",
         what="an event kept for later goes to the end of the pending list, not to its place by splice point",
         files=SPLICE,
         old="while (at > 0 && rep->pending[at - 1].point > c->point)",
         new="while (0)",
         tests=SPLICE_TESTS),
    dict(id="late-join-ends-late",
         what="a break started after its splice point (late join, late key frame) ends at its start key frame + duration, "
              "not at its announced end",
         files=SPLICE,
         # Not the late > 0 test alone: a break started late has its key frame after the splice point anyway.
         old="int64_t from = after ? rep->splice_point : rep->scte_35_pts_time;",
         new="int64_t from = rep->scte_35_pts_time;",
         tests=SPLICE_TESTS),
    dict(id="cue-lead-unbounded",
         what="a splice point hours ahead is taken like any other (no too_far)",
         files=SPLICE,
         old="if (lead > t.max_cue_lead)",
         new="if (lead > INT64_MAX / 2)",
         tests=SPLICE_TESTS),
    dict(id="encrypted-decoded",
         what="an encrypted section's scrambled command is decoded as if it were clear",
         files=["scte35/scte35.cpp"],
         old="    if (section->encrypted_packet) {\n        // Scrambled",
         new="    if (0) {\n        // Scrambled",
         tests=r"^scte35\.Scte35|^splice\.Splice\."),
    dict(id="scte35-length",
         what="parser checks section_length against the buffer without the 3 header bytes",
         files=["scte35/scte35.cpp"],
         old="if (section->section_length + 3 > length)",
         new="if (section->section_length > length)",
         tests=r"^scte35\.Scte35"),
    dict(id="jump-guard-backward-only",
         what="a side stream's time more than 20 s from the programme's clock is retimed only when it lies behind",
         files=SERVICE_LOOP,
         old="|| llabs(delta) > RELAY_MAX_DTS_JUMP) {",
         new="|| -delta > RELAY_MAX_DTS_JUMP) {",
         tests=SIDE_TIME),
    dict(id="jump-guard-forward-only",
         what="a side stream's time more than 20 s from the programme's clock is retimed only when it lies ahead",
         files=SERVICE_LOOP,
         old="|| llabs(delta) > RELAY_MAX_DTS_JUMP) {",
         new="|| delta > RELAY_MAX_DTS_JUMP) {",
         tests=SIDE_TIME),
    dict(id="old-filter-off",
         what="repeated packets (dts not after the last one written) are no longer left out",
         files=SERVICE_LOOP,
         old='        return "OLD";',
         new="        return nullptr;",
         tests=r"^relay\.Relay\.|" + INPUT),
    dict(id="log-cell-not-published",
         what="a line put into the logger's queue is never marked ready: the writer never takes it",
         files=["common/log.cpp"],
         old="c->seq.store(pos + 1, std::memory_order_release);",
         new="c->seq.store(pos, std::memory_order_release);",
         tests=r"^common\.Logger\."),
    dict(id="signal-stop-no-join",
         what="stopping the signal thread does not wait for it to log the signals recorded before",
         files=["service/signals.cpp"],
         old="    if (queued)\n        pthread_join(signal_thread, nullptr);",
         new="    if (!queued)\n        pthread_join(signal_thread, nullptr);",
         tests=r"^service\.Signals\."),
    dict(id="signal-no-ctl-stop",
         what="first terminating signal no longer stops the control server",
         files=["service/signals.cpp"],
         old="                stop_requested = true;\n                ctl_terminate(&app->ctl);",
         new="                stop_requested = true;",
         tests=r"^service\.Signals\."),
    dict(id="udp-read-gives-up-on-empties",
         what="a read that finds only empty datagrams returns 0 bytes instead of waiting for data",
         files=["net/udp_in.cpp"],
         old="    while (n == 0 && size > 0)\n        if ((n = take_bytes(in, buf, size, READ_WAIT_NS)) < 0)",
         new="    for (int pass = 0; n == 0 && size > 0 && pass < 1; pass++)\n"
             "        if ((n = take_bytes(in, buf, size, READ_WAIT_NS)) < 0)",
         tests=r"^net\.UdpIn\."),
    dict(id="udp-wait-gives-up-on-empties",
         what="a read with a time limit that finds only empty datagrams returns 0 bytes before its time is up",
         files=["net/udp_in.cpp"],
         old="while (n == 0 && size > 0) {",
         new="for (int pass = 0; n == 0 && size > 0 && pass < 1; pass++) {",
         tests=r"^net\.UdpIn\."),
    dict(id="muxer-time-unwrapped",
         what="timestamps just below the 33-bit wrap reach the muxer negative: a PCR only with each key frame",
         files=["relay/relay.cpp"],
         old="        relay_to_muxer_time(r, pkt);\n",
         new="",
         tests=r"^demo\.end_to_end$"),
    dict(id="muxer-line-ignores-clock-track",
         what="relayed timestamps go one wrap up even when a multiplex's clock track wrote first on another line",
         files=["relay/relay_pass.cpp"],
         old="return clock == AV_NOPTS_VALUE ? TS_PTS_WRAP : ts_pts_nearest(dts, clock) - dts;",
         new="return TS_PTS_WRAP;",
         tests=r"^relay\.Relay\."),
    dict(id="shared-cue-pid-stale-time",
         what="a cue on a PID an earlier programme lists keeps the time of that programme's hidden PCR",
         files=["relay/relay.cpp"],
         old="    if (clock != AV_NOPTS_VALUE && relay_pass_cue_untimed(r, pkt->stream_index))\n"
             "        pkt->pts = pkt->dts = clock;",
         new="",
         tests=r"^demo\.multiplex$"),
    dict(id="probe-waits-for-scrambled-video",
         what="the probe of a programme whose video is scrambled waits for it, and with it the whole multiplex",
         files=["ts/ts_in.cpp"],
         old="    if (video && !video_readable)\n        return true;\n",
         new="",
         tests=r"^ts\.TsIn\.|^demo\.multiplex$"),
    dict(id="probe-end-stays-the-end",
         what="after the input filter ended the probe the demuxer still reads the end of the input",
         files=["ts/ts_in.cpp"],
         old="        f->pb->eof_reached = 0;",
         new="        (void)f->pb;",
         tests=r"^ts\.TsIn\."),
    dict(id="unspliceable-audio-relayed",
         what="the clear audio of a programme that cannot be spliced goes through the muxer instead of as it came",
         files=["relay/relay_pass.cpp"],
         old="    if (r->pass.unspliceable >= 0)\n        return st->codecpar->codec_id != AV_CODEC_ID_SCTE_35;",
         new="",
         tests=r"^demo\.multiplex$"),
    dict(id="no-video-break-armed",
         what="a cue for a programme without video arms a break that nothing can start",
         files=["splice/splice_cue.cpp"],
         old="    if (!carries_video(env))\n        return skip_event(env, rep, &c, cue_pts);\n",
         new="",
         tests=r"^splice\.Splice\."),
    dict(id="restart-cuts-the-break",
         what="a source restart during a break ends the break at once instead of keeping it to its end",
         files=["splice/splice_timeline.cpp"],
         old="    bool running = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;",
         new="    bool running = false;",
         tests=r"^splice\.Splice\.WhenTheInputsTimeLineBreaks$"),
    dict(id="splice-point-in-outage-ignored",
         what="an armed event whose splice point comes while the input is lost waits for the input",
         files=["relay/relay_live.cpp"],
         old="    live_start_in_outage(r, now);\n",
         new="",
         tests=r"^faults\.timeline$"),
    dict(id="ts-sync-at-start-only",
         what="a datagram counts as TS only when a packet starts at its first byte",
         files=["net/udp_in.cpp"],
         old="for (int o = 0; o < stride && o < len; o++) {",
         new="for (int o = 0; o < 1 && o < len; o++) {",
         tests=r"^net\.UdpIn\."),
    dict(id="demo-write-failure-status-0",
         what="KestrowDemo names an output it could not write but exits with status 0",
         files=["demo/run.cpp"],
         old="err_to_str(err, sizeof(err), write_ret));\n        return 1;",
         new="err_to_str(err, sizeof(err), write_ret));\n        return 0;",
         tests=r"^service\.onair$"),
    # The traffic: the schedule file, the break planner, the spot store, the verification file.
    dict(id="schedule-length-minutes",
         what="a record's scheduled length reads its minutes as seconds",
         files=["traffic/schedule.cpp"],
         old="r->length = (int)(v / 10000 * 3600 + hi % 100 * 60 + lo);",
         new="r->length = (int)(v / 10000 * 3600 + hi % 100 + lo);",
         tests=r"^traffic\.Schedule\."),
    dict(id="schedule-window-end-inside",
         what="a window's end minute still counts as inside it",
         files=["traffic/schedule.cpp"],
         old="wall_ms < r->window_ms + (int64_t)r->window_minutes * 60000",
         new="wall_ms <= r->window_ms + (int64_t)r->window_minutes * 60000",
         tests=r"^traffic\.Schedule\."),
    dict(id="schedule-this-year-only",
         what="a window's date is placed in this year only (last year's Dec 31 seen on Jan 1 is a year ahead)",
         files=["traffic/schedule.cpp"],
         old="for (int year = tm.tm_year + 1900 - 1;",
         new="for (int year = tm.tm_year + 1900;",
         tests=r"^traffic\.Schedule\."),
    dict(id="schedule-break-file-order",
         what="a break's records are taken in file order, not by position",
         files=["traffic/schedule.cpp"],
         old="    std::stable_sort(out, out + count, [s]",
         new="    if (false)\n        std::stable_sort(out, out + count, [s]",
         tests=r"^traffic\.Schedule\."),
    dict(id="plan-nul-ignored",
         what="a NUL record in a break is passed over: the break airs its spots or the filler, not the programme",
         files=TRAFFIC,
         old="        if (t->sched->records[idx[i]].type != SCHEDULE_NUL)\n            continue;",
         new="        if (true)\n            continue;",
         tests=r"^demo\.traffic$"),
    dict(id="plan-aired-position-from-0",
         what="the first spot aired in a break is given position 0 in the verification file",
         files=TRAFFIC,
         old="r->aired_position = aired ? ++t->air.aired_in_break : 0;",
         new="r->aired_position = aired ? t->air.aired_in_break++ : 0;",
         tests=r"^demo\.traffic$"),
    dict(id="plan-aired-length-unit",
         what="a spot's aired length goes to the verification file in thousandths, not hundredths, of a second",
         files=TRAFFIC,
         old="r->aired_length = aired ? ev->aired / 900 : 0;",
         new="r->aired_length = aired ? ev->aired / 90 : 0;",
         tests=r"^demo\.traffic$"),
    dict(id="spots-evict-needed-soonest",
         what="room in the spot cache is made from the never-aired spot needed soonest, not latest",
         files=["traffic/spots.cpp"],
         old="(!sp->aired && !victim->aired && sp->needed_at > victim->needed_at)",
         new="(!sp->aired && !victim->aired && sp->needed_at < victim->needed_at)",
         tests=r"^traffic\.Spots\."),
    dict(id="spots-evict-pinned",
         what="a spot in use by the break on air may be evicted from the spot cache",
         files=["traffic/spots.cpp"],
         old="if (!sp->media || sp->pins > 0 || (!sp->aired",
         new="if (!sp->media || (!sp->aired",
         tests=r"^traffic\.Spots\."),
    dict(id="verification-minutes-field",
         what="the verification file's aired length puts tenths of minutes where its minutes go",
         files=["traffic/verification.cpp"],
         old="(int)(cs / 6000 % 60)",
         new="(int)(cs / 600 % 60)",
         tests=r"^traffic\.Verification\."),
    dict(id="verification-line-ends",
         what="a schedule with CR LF line ends goes back with LF only",
         files=["traffic/verification.cpp"],
         old='(s->crlf ? "\\r\\n" : "\\n")',
         new='"\\n"',
         tests=r"^traffic\.Verification\."),
    dict(id="huge-pages-left-on",
         what="KestrowApp leaves transparent huge pages on: the kernel may lock its memory map to merge pages",
         files=["service/main.cpp"],
         old="if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0)",
         new="if (false)",
         tests=r"^service\.process$"),
    # The paced output: datagrams due by the PCRs.
    dict(id="drain-marks-lost",
         what="the drain returns before the sender sent what was written: the pictures leaving then are not stamped",
         files=["net/udp_out.cpp"],
         old="    pthread_join(o->thread, nullptr);\n    return 0;\n}",
         new="    return 0;\n}",
         tests=r"^net\.UdpOut\."),
    dict(id="drained-write-kept",
         what="bytes written after the drain are queued for a sender that is gone, not dropped and counted",
         files=["net/udp_out.cpp"],
         old="    if (o->drained) {",
         new="    if (false) {",
         tests=r"^net\.UdpOut\."),
    dict(id="pace-all-due-at-anchor",
         what="datagrams after a PCR are all due at the schedule's anchor: the output goes out as fast as it comes",
         files=["net/udp_out.cpp"],
         old="p.t = o->anchor_t + udp_out_pcr_to_ns(p.pcr - o->anchor_pcr);",
         new="p.t = o->anchor_t;",
         tests=r"^net\.UdpOut\."),
    dict(id="pace-pcr-wrap-restarts",
         what="the PCR's wrap taken as a discontinuity: the schedule restarts there",
         files=["net/udp_out.cpp"],
         old="int64_t delta = ts_pcr_diff(raw, o->last_raw);",
         new="int64_t delta = raw - o->last_raw;",
         tests=r"^net\.UdpOut\."),
    dict(id="pace-ns-per-tick",
         what="27 MHz ticks turned into nanoseconds a tenth too short: the output runs ten times too fast",
         files=["net/udp_out.cpp"],
         old="return ticks / 27 * 1000 + ticks % 27 * 1000 / 27;",
         new="return ticks / 27 * 100 + ticks % 27 * 100 / 27;",
         tests=r"^net\.UdpOut\."),
    # The passthrough queue and the input filter's choice of programme.
    dict(id="pass-drops-protected",
         what="a full passthrough queue drops a protected packet (the cue) first",
         files=["ts/ts_pass.cpp"],
         old="        if (!is_kept(p, ts_pid(entry(p, i)->pkt)))\n            return i;",
         new="        if (is_kept(p, ts_pid(entry(p, i)->pkt)))\n            return i;",
         tests=r"^ts\.Queue\."),
    dict(id="pass-drops-counted-before-output",
         what="packets trimmed before the output places any count as dropped",
         files=["ts/ts_pass.cpp"],
         old="if (p->running && ts_pass_delay(p) != TS_TIME_NONE)",
         new="if (ts_pass_delay(p) != TS_TIME_NONE)",
         tests=r"^ts\.Queue\."),
    dict(id="choice-earlier-pmt-not-awaited",
         what="the choice does not wait for an earlier programme's PMT: a later one with video is taken",
         files=["ts/ts_in.cpp"],
         old="            if (!f->pmt_wait_over)\n                return;  // an earlier programme's PMT decides first",
         new="            if (!f->pmt_wait_over)\n                continue;",
         tests=r"^ts\.Choice\."),
    dict(id="choice-asked-without-pmt",
         what="the programme asked for is chosen before its PMT was read",
         files=["ts/ts_in.cpp"],
         old="if (p->number == f->wanted && p->len)",
         new="if (p->number == f->wanted)",
         tests=r"^ts\.Choice\."),
    # As-run records and the air clock.
    dict(id="asrun-late-sign",
         what="the as-run lateness of a late cue is recorded negative",
         files=["splice/event_asrun.cpp", "event/event_asrun.cpp"],
         old="? -ev->delta_ticks : ASRUN_NONE;",
         new="? ev->delta_ticks : ASRUN_NONE;",
         tests=r"^splice\.EventAsrun\.|^event\.EventAsrun\."),
    dict(id="asrun-input-lost-pts",
         what="a break ended by the input's loss records the pts of a key frame that never took the programme back",
         files=["splice/event_asrun.cpp", "event/event_asrun.cpp"],
         old="(ev->reason == EVENT_END_SESSION_END || ev->reason == EVENT_END_INPUT_LOST))",
         new="ev->reason == EVENT_END_SESSION_END)",
         tests=r"^splice\.EventAsrun\.|^event\.EventAsrun\."),
    dict(id="air-clock-ignores-start",
         what="a recording's air clock starts at the wall clock's now instead of the --clock given",
         files=["splice/event_asrun.cpp", "event/event_asrun.cpp"],
         old="c->wall_ms = c->start_ms != ASRUN_NONE ? c->start_ms : now_ms;",
         new="c->wall_ms = now_ms;",
         tests=r"^demo\.traffic$"),
    # The H.264 joiner.
    dict(id="h264-poc-not-rebased",
         what="after a join the pictures keep their picture order counts instead of counting from the key frame",
         files=["codec/h264_join.cpp"],
         old="uint32_t poc_lsb = key ? 0 : (h->poc_lsb - j->key_poc_lsb) & lsb_mask;",
         new="uint32_t poc_lsb = key ? 0 : h->poc_lsb & lsb_mask;",
         tests=r"^codec\.H264Join\."),
    dict(id="h264-long-term-unassigned-kept",
         what="an operation on a long-term picture not assigned since the key frame is kept",
         files=["codec/h264_join.cpp"],
         old="if (m.op == 2 && (lt >= 32 || !(j->long_term & (1u << lt))))",
         new="if (m.op == 2 && lt >= 32)",
         tests=r"^codec\.H264Join\."),
    dict(id="h264-field-pic-num",
         what="a field's picture number counted from 2 * frame_num, not 2 * frame_num + 1",
         files=["codec/h264_join.cpp"],
         old="int64_t cur = 2 * (int64_t)h->frame_num + 1;",
         new="int64_t cur = 2 * (int64_t)h->frame_num;",
         tests=r"^codec\.H264Join\."),
    # The live relay.
    dict(id="live-cue-not-moved",
         what="a cue read after a time-line change keeps its pts_adjustment: its splice time is off the output's clock",
         files=["relay/relay_live.cpp"],
         old="    if (ist->codecpar->codec_id == AV_CODEC_ID_SCTE_35)\n        relay_adjust_cue(pkt, l->offset);\n",
         new="",
         tests=r"^faults\.timeline$"),
    dict(id="live-break-cut-late",
         what="a break under way ends only after 5 s of lost input, not 0.5 s",
         files=["relay/relay_live.cpp"],
         old="if (!l->lost_at || now - last < (LIVE_CUT_US > l->loss_us ? LIVE_CUT_US : l->loss_us))",
         new="if (!l->lost_at || now - last < 10 * (LIVE_CUT_US > l->loss_us ? LIVE_CUT_US : l->loss_us))",
         tests=r"^faults\.timeline$"),
    # Conforming spots.
    dict(id="conform-gain-sign",
         what="the loudness gain is taken the wrong way: loud spots made louder, quiet ones quieter",
         files=["conform/conform.cpp"],
         old="double gain = lufs - integrated;",
         new="double gain = integrated - lufs;",
         tests=r"^conform\.ConformGain\.|^demo\.conform$"),
    dict(id="conform-end-at-last-picture",
         what="a copy's pictures end where the source's last one begins: the last picture is lost",
         files=["conform/conform.cpp"],
         old="ret = filter_lib()->buffersrc_close(o->gr.in, av_rescale_q(n, av_inv_q(t->video.fps), st->time_base),\n"
             "                                                AV_BUFFERSRC_FLAG_PUSH);",
         new="(void)st;\n            ret = filter_lib()->buffersrc_write_frame(o->gr.in, nullptr);",
         tests=r"^demo\.conform$"),
    dict(id="conform-pictures-never-kept",
         what="a spot already in the channel's format has its pictures re-encoded all the same",
         files=["conform/conform.cpp"],
         old="    bool keep = differs.empty();",
         new="    bool keep = false;",
         tests=r"^demo\.conform$"),
    dict(id="conform-format-not-kept",
         what="the channel's format a session told is not kept: the next start waits for its input to conform",
         files=["service/conform_thread.cpp"],
         old="        c->keep_target = false;\n        t = c->target;",
         new="        c->keep_target = false;\n        return;",
         tests=r"^service\.conform$"),
    dict(id="spot-short-by-a-picture",
         what="a spot a picture short of what was sold is refused (the tolerance is a picture, not 0.1 s)",
         files=["traffic/spots.cpp"],
         old="sp->length >= sold - SPOT_LENGTH_TOLERANCE",
         new="sp->length >= sold - sp->frame",
         tests=r"^traffic\.SpotShort\."),
    dict(id="plan-unfit-status-lost",
         what="a spot shorter than sold, or not ready in time, is billed 1002 like a missing file",
         files=TRAFFIC,
         old="        r->status = r->unfit_status;",
         new="        (void)r->unfit_status;",
         tests=r"^demo\.(traffic|conform)$"),
    dict(id="conform-id-zeros-kept",
         what="a spot id with leading zeros finds only a file named with them",
         files=["conform/conform_cache.cpp"],
         old="    while (bare[0] == '0' && bare[1])\n        bare++;\n",
         new="",
         tests=r"^traffic\.Spots\."),
    # Cue sections rewritten.
    dict(id="scte35-move-crc-stale",
         what="a cue whose pts_adjustment was moved keeps its old CRC_32",
         files=["scte35/scte35.cpp"],
         old="    for (int i = 0; i < 4; i++)\n        data[len - 4 + i] = (uint8_t)(crc >> (24 - 8 * i));\n",
         new="    (void)crc;\n",
         tests=r"^scte35\.Scte35Write\."),
    dict(id="scte35-move-bit-32-lost",
         what="a moved pts_adjustment loses its 33rd bit",
         files=["scte35/scte35.cpp"],
         old="data[4] = (uint8_t)((data[4] & 0xFE) | (adj >> 32));",
         new="data[4] = (uint8_t)(data[4] & 0xFE);",
         tests=r"^scte35\.Scte35Write\."),
    dict(id="scte35-move-clears-encryption",
         what="writing pts_adjustment's 33rd bit clears the encryption bits beside it",
         files=["scte35/scte35.cpp"],
         old="data[4] = (uint8_t)((data[4] & 0xFE) | (adj >> 32));",
         new="data[4] = (uint8_t)(adj >> 32);",
         tests=r"^scte35\.Scte35Write\."),
    # The 33-bit and PCR wrap helpers (a header: a mutation rebuilds most of the tree).
    dict(id="wrap-diff-half-range",
         what="a difference of exactly half a wrap comes out positive: the range is (-H, H] instead of [-H, H)",
         files=["common/mpegts.h"],
         old="return d >= wrap / 2 ? d - wrap : d;",
         new="return d > wrap / 2 ? d - wrap : d;",
         tests=r"^common\.Wrap\."),
]

BACKUP_DIR = "mutate-backup"


class Stop(Exception):
    """A terminating signal arrived: restore and leave."""


def on_signal(signum, frame):
    raise Stop("signal %d" % signum)


def cache_value(build, key):
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def edits(m):
    """The (old, new) pairs of a mutation, as bytes."""
    olds = m["old"] if isinstance(m["old"], list) else [m["old"]]
    news = m["new"] if isinstance(m["new"], list) else [m["new"]]
    return [(o.encode(), n.encode()) for o, n in zip(olds, news)]


def locate(root, m):
    """(path, data, None) where every snippet occurs exactly once, all in the same
    file, or (None, None, reason)."""
    found = None
    for k, (old, _) in enumerate(edits(m)):
        label = "snippet" if len(edits(m)) == 1 else "snippet %d" % (k + 1)
        hits = []
        for rel in m["files"]:
            path = os.path.join(root, rel)
            if not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                data = f.read()
            n = data.count(old)
            if n:
                hits.append((rel, n, data))
        total = sum(n for _, n, _ in hits)
        if total == 0:
            return None, None, "%s not found in %s" % (label, ", ".join(m["files"]))
        if total > 1:
            return None, None, "%s found %d times (%s)" % (
                label, total, ", ".join("%s x%d" % (rel, n) for rel, n, _ in hits))
        if found and found[0] != hits[0][0]:
            return None, None, "snippets in %s and %s" % (found[0], hits[0][0])
        found = hits[0][0], hits[0][2]
    return found[0], found[1], None


def mutate(data, m):
    for old, new in edits(m):
        data = data.replace(old, new, 1)
    return data


def run(cmd, log, limit):
    """Runs cmd in its own process group, output to log; returns (rc, seconds, timed_out)."""
    start = time.monotonic()
    with open(log, "wb") as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            proc.wait(timeout=limit)
            return proc.returncode, time.monotonic() - start, False
        except subprocess.TimeoutExpired:
            stop_group(proc)
            return proc.returncode, time.monotonic() - start, True
        except BaseException:
            stop_group(proc)
            raise


def stop_group(proc):
    """Ends the process group this script started for proc: SIGTERM, then SIGKILL."""
    for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) \(([^)]*)\)\s*$")
LISTED_LINE = re.compile(r"^\s*Test\s+#\d+: (\S+)\s*$")
STATUS_LINE = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) ")
CASE_LINE = re.compile(r"^(?:FAIL|ERROR): (test_\w+)")


def failed_tests(log):
    """Names of the tests ctest listed as failed, with the reason when not a plain
    failure and the failing cases of a Python script in brackets."""
    names = []
    cases = {}
    current = None
    seen_header = False
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith("The following tests FAILED"):
                seen_header = True
                continue
            if seen_header:
                m = FAILED_LINE.match(line)
                if m:
                    name = m.group(1)
                    if m.group(2) != "Failed":
                        name += " (%s)" % m.group(2)
                    found = cases.get(m.group(1), [])
                    if found:
                        name += " [%s%s]" % (", ".join(found[:4]), ", ..." if len(found) > 4 else "")
                    names.append(name)
                continue
            m = STATUS_LINE.match(line)
            if m:
                current = m.group(1)
                continue
            m = CASE_LINE.match(line)
            if m and current and m.group(1) not in cases.setdefault(current, []):
                cases[current].append(m.group(1))
    return names


def listed_tests(build, regex):
    out = subprocess.run(["ctest", "--test-dir", build, "-N", "-R", regex],
                         capture_output=True, text=True).stdout
    return [m.group(1) for m in map(LISTED_LINE.match, out.splitlines()) if m]


class Tree:
    """Puts mutated files in place and back, byte for byte, with a copy on disk meanwhile."""

    def __init__(self, root, build):
        self.root = root
        self.backups = os.path.join(build, BACKUP_DIR)
        self.current = None  # (rel, original bytes)

    def recover(self):
        """Puts back what a run that was killed outright left mutated."""
        index = os.path.join(self.backups, "index.json")
        if not os.path.isfile(index):
            return
        with open(index, encoding="utf-8") as f:
            rel = json.load(f)["file"]
        with open(os.path.join(self.backups, "original"), "rb") as f:
            data = f.read()
        with open(os.path.join(self.root, rel), "wb") as f:
            f.write(data)
        os.remove(os.path.join(self.backups, "original"))
        os.remove(index)
        print("mutate: restored %s left mutated by an earlier run" % rel, file=sys.stderr)

    def apply(self, rel, original, mutated):
        os.makedirs(self.backups, exist_ok=True)
        with open(os.path.join(self.backups, "original"), "wb") as f:
            f.write(original)
        with open(os.path.join(self.backups, "index.json"), "w", encoding="utf-8") as f:
            json.dump({"file": rel}, f)
        self.current = (rel, original)
        with open(os.path.join(self.root, rel), "wb") as f:
            f.write(mutated)

    def restore(self):
        if not self.current:
            return
        rel, original = self.current
        path = os.path.join(self.root, rel)
        # A second Ctrl-C must not cut the write short.
        blocked = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
        old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        try:
            with open(path, "wb") as f:
                f.write(original)
            with open(path, "rb") as f:
                if f.read() != original:
                    raise RuntimeError("%s could not be restored; the original is in %s" % (
                        rel, self.backups))
            self.current = None
            os.remove(os.path.join(self.backups, "index.json"))
            os.remove(os.path.join(self.backups, "original"))
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)


def cell(text):
    return text.replace("|", "\\|").replace("\n", " ")


def table_row(m, where, result, seconds):
    return "| %s | %s | %s | %s | %s |" % (m["id"], cell(m["what"]), cell(where), cell(result),
                                           "%.0f" % seconds if seconds is not None else "")


HEADER = ["| id | mutation | file | caught by | s |", "|---|---|---|---|---|"]


def emit(lines, out_path):
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    sys.stdout.flush()
    if out_path:
        with open(out_path, "w", encoding="utf-8") as f:
            f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    p.add_argument("--build", default=None,
                   help="existing sanitizer build directory (default: build-test beside tools/)")
    p.add_argument("--only", default="", help="comma-separated mutation ids")
    p.add_argument("--list", action="store_true", help="list the mutations and where each applies")
    p.add_argument("--baseline", action="store_true",
                   help="run each selected mutation's tests unmutated: a set must pass")
    p.add_argument("--tests", default=None, help="ctest -R regex used for every selected mutation")
    p.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    p.add_argument("--test-jobs", type=int, default=1, help="ctest -j (default 1)")
    p.add_argument("--limit", type=int, default=900,
                   help="seconds one mutation's tests may run before they are stopped (default 900)")
    p.add_argument("--out", default=None, help="also write the Markdown table to this file")
    args = p.parse_args()

    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(args.build or os.path.join(here, "build-test"))
    root = cache_value(build, "CMAKE_HOME_DIRECTORY") if not args.list or args.build else None
    root = os.path.abspath(root or here)

    ids = [i for i in args.only.split(",") if i]
    known = {m["id"] for m in MUTATIONS}
    unknown = [i for i in ids if i not in known]
    if unknown:
        p.error("unknown mutation id(s): %s" % ", ".join(unknown))
    chosen = [dict(m) for m in MUTATIONS if not ids or m["id"] in ids]
    if args.tests:
        for m in chosen:
            m["tests"] = args.tests

    if args.list:
        for m in chosen:
            rel, _, reason = locate(root, m)
            print("%-26s %s\n%26s where: %s\n%26s tests: %s" % (
                m["id"], m["what"], "", rel or "NOT APPLICABLE (%s)" % reason, "", m["tests"]))
        return 0

    if not os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        p.error("%s is not a configured build directory" % build)
    if (cache_value(build, "KESTROW_SANITIZE") or "").upper() not in ("ON", "1", "TRUE", "YES"):
        print("mutate: %s is not a sanitizer build; leaks and overflows will go unnoticed" % build,
              file=sys.stderr)
    os.environ.setdefault("ASAN_OPTIONS", "abort_on_error=1:detect_leaks=1")
    os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    logs = os.path.join(build, "mutate-logs")
    os.makedirs(logs, exist_ok=True)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    tree = Tree(root, build)
    tree.recover()
    build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]

    if args.baseline:
        rc, _, _ = run(build_cmd, os.path.join(logs, "baseline-build.log"), None)
        if rc != 0:
            print("mutate: the unmutated tree does not build; see %s/baseline-build.log" % logs,
                  file=sys.stderr)
            return 1
        # Each distinct set once (ctest's regular expressions take few groups, so no union).
        outcome = {}
        total = 0.0
        for n, regex in enumerate(sorted({m["tests"] for m in chosen})):
            log = os.path.join(logs, "baseline-%d.log" % n)
            rc, seconds, timed_out = run(["ctest", "--test-dir", build, "-R", regex, "-j",
                                          str(args.test_jobs), "--no-tests=error"], log, args.limit)
            total += seconds
            bad = failed_tests(log)
            outcome[regex] = ("TIMED OUT" if timed_out else "FAILS: " + ", ".join(bad) if bad
                              else "ctest failed (rc %d)" % rc if rc != 0 else "pass", seconds)
        lines = ["| id | tests | count | unmutated | s |", "|---|---|---|---|---|"]
        for m in chosen:
            state, seconds = outcome[m["tests"]]
            lines.append("| %s | `%s` | %d | %s | %.0f |" % (
                m["id"], cell(m["tests"]), len(listed_tests(build, m["tests"])), state, seconds))
        lines.append("")
        lines.append("Unmutated runs of the %d distinct sets: %.0f s." % (len(outcome), total))
        emit(lines, args.out)
        return 0 if all(state == "pass" for state, _ in outcome.values()) else 1

    lines = list(HEADER)
    survivors = 0
    touched = False
    try:
        for m in chosen:
            rel, data, reason = locate(root, m)
            if rel is None:
                row = table_row(m, ", ".join(m["files"]), "NOT APPLICABLE (%s)" % reason, None)
                lines.append(row)
                print(row, file=sys.stderr)
                continue
            mutated = mutate(data, m)
            started = time.monotonic()
            tree.apply(rel, data, mutated)
            touched = True
            try:
                rc, _, _ = run(build_cmd, os.path.join(logs, m["id"] + "-build.log"), None)
                if rc != 0:
                    result = "BUILD FAILED (see mutate-logs/%s-build.log)" % m["id"]
                else:
                    log = os.path.join(logs, m["id"] + "-ctest.log")
                    rc, _, timed_out = run(["ctest", "--test-dir", build, "-R", m["tests"],
                                            "-j", str(args.test_jobs), "--no-tests=error",
                                            "--output-on-failure"], log, args.limit)
                    names = failed_tests(log)
                    if timed_out:
                        names.append("(stopped after %d s)" % args.limit)
                    if names:
                        result = ", ".join(names)
                    elif rc != 0:
                        result = "ctest failed (rc %d), no test named; see mutate-logs/%s-ctest.log" % (
                            rc, m["id"])
                    else:
                        result = "SURVIVED"
                        survivors += 1
            finally:
                tree.restore()
            row = table_row(m, rel, result, time.monotonic() - started)
            lines.append(row)
            print(row, file=sys.stderr)
    except (KeyboardInterrupt, Stop) as e:
        tree.restore()
        lines.append("")
        lines.append("Interrupted (%s); the rows above ran. The tree is restored; rebuild %s before "
                     "using it." % (e or "Ctrl-C", build))
        emit(lines, args.out)
        return 130
    finally:
        tree.restore()
    if touched:
        # The build matches the tree again: the restored files are newer than their objects.
        run(build_cmd, os.path.join(logs, "final-build.log"), None)

    lines.append("")
    lines.append("%d mutation(s) survived." % survivors)
    emit(lines, args.out)
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
