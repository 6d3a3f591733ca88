#!/usr/bin/env python3
"""kestrow_gen: MPEG-TS test programmes with SCTE-35 cues, and fillers.

Writes one MPEG-TS programme: H.264 video (libx264, fixed GOP, scene-cut
detection off, so key frames come exactly every --gop frames; or MPEG-2 or
HEVC), one or two sine-tone audio streams (AAC and/or MPEG-1 Layer II; or
LATM, AC-3, E-AC-3), optionally DVB subtitles, teletext, private data and
declared PIDs that stay silent, and an SCTE-35 stream
declared in the PMT with stream type 0x86 and a program-level registration
descriptor "CUEI" (tag 5, length 4), carrying the cues given with --cue. The
Debian `ffmpeg` command encodes; this script then rewrites the transport
stream itself: PMT (CRC-32 recomputed, still one TS packet), optional shift of
every PTS/DTS/PCR (mod 2^33), and cue packets (one TS packet each:
payload_unit_start, pointer_field 0, the section with its CRC_32, 0xFF
stuffing, continuity counter counting from 0). Multiplexes of several
programmes with DVB SI and conditional access, and programmes whose source
restarts, pauses or is lost for a while, are assembled from such programmes
by kestrow_mux.py beside this file.

Examples
--------
A 60 s programme with two breaks (5 s at 10 s, 8 s at 30 s), each cue sent
2 s ahead, and a 12 s filler on the same PIDs with other picture and tones:

    kestrow_gen.py prog.ts --duration 60 \\
        --cue at=10,dur=5,lead=2,id=1 --cue at=30,dur=8,lead=2,id=2
    kestrow_gen.py filler.ts --filler --duration 12

Timestamps starting 30 s before the 33-bit wrap, no B-frames, MP2 only:

    kestrow_gen.py wrap.ts --start-pts '8589934592-30*90000' --bframes 0 \\
        --audio mp2 --cue at=40,dur=5

About 16 Mbit/s at a constant 20 Mbit/s mux rate (cues replace null packets):

    kestrow_gen.py big.ts --duration 60 --size 1280x720 \\
        --video-bitrate 16M --muxrate 20M --cue at=20,dur=10

A broadcast layout: video on 0x1000, programme 2064 with its PMT on 0x810,
transport_stream_id 1, PCRs on their own PID, an audio PID declared that
never carries data, languages, DVB subtitles, teletext and private data:

    kestrow_gen.py dvb.ts --video-pid 0x1000 --pmt-pid 0x810 \\
        --program-number 2064 --ts-id 1 --pcr-pid 0x1FF \\
        --audio mp2:deu,ac3:eng --audio-pids 0x1001,0x1002 --dvb \\
        --silent-pid 0x1003:0x0F --subtitles deu --teletext deu \\
        --data-pid 0x1004 --no-cuei --cue at=5,dur=2

No PCR PID in the PMT (0x1FFF; PCRs stay on the video PID, so the demuxer
gives cue packets no timestamp):

    kestrow_gen.py nopcr.ts --pcr-pid none --cue at=5,dur=2

Codecs and GOPs: interlaced MPEG-2 with open GOPs (leading pictures need
the key frame to follow B-frames: --gop 24 with two B-frames, not 25),
HEVC, long open H.264 GOPs (248 frames), LATM and E-AC-3 audio:

    kestrow_gen.py mpeg2.ts --video-codec mpeg2 --open-gop --gop 24 --audio mp2
    kestrow_gen.py hevc.ts --video-codec hevc --audio latm,eac3
    kestrow_gen.py long.ts --duration 30 --gop 248 --open-gop

The video's DTS 0.3 s ahead of the PCR where each PES starts (a source
with a short buffer), and the lead read back (dts_lead_ms of each stream):

    kestrow_gen.py short.ts --mux-delay 0.3
    kestrow_check --tr290 short.ts

Interlaced broadcast shapes, each picture's two fields from two instants of
the source (50 fields/s, top first): MPEG-2 SD frame pictures with open
GOPs of 0.6 s (15 pictures, two B-frames); MPEG-2 field pictures (intra
only, one GOP a second); H.264 MBAFF; HEVC coding each field as a picture
with pic_struct SEI; 3:2 pulldown on 24000/1001 film (repeat_first_field):

    kestrow_gen.py sd.ts --size 720x576 --video-codec mpeg2 --gop 0.6s --open-gop --moving-fields
    kestrow_gen.py fp.ts --size 720x576 --video-codec mpeg2 --field-coding field
    kestrow_gen.py mbaff.ts --size 720x576 --field-coding mbaff
    kestrow_gen.py hevc_i.ts --size 720x576 --video-codec hevc --field-coding field
    kestrow_gen.py film.ts --size 720x480 --fps 24000/1001 --video-codec mpeg2 --gop 12 --pulldown

Another encoder's parameter sets: CABAC, weighted prediction, 8x8
transforms and three reference frames, the SPS under id 1 and two PPS (ids
1 and 0) that the pictures name in turn; an HEVC encoder's options:

    kestrow_gen.py other.ts --x264-params cabac=1:weightp=2:8x8dct=1:ref=3 --sps-id 1 --pps-ids 1,0
    kestrow_gen.py other265.ts --video-codec hevc --x265-params ref=3:no-deblock=1

PES lengths as a broadcast encoder sends them (one byte short of the bytes
carried, modulo 65536), PES that declare a byte more, or end at a TS packet
boundary with more payload following; stuffing in each video PES header:

    kestrow_gen.py short.ts --pes-length short --pes-stuffing 4
    kestrow_gen.py cut.ts --pes-length boundary

Field-picture-like video (every second PES of a GOP holds two access units;
the demuxer returns the second without timestamps), audio 300 ms ahead of
the video of the same time in mux order:

    kestrow_gen.py fields.ts --two-au-pes --audio-offset-ms 300

Cues as feeds send them: an out cue repeated three times a second apart (from
1 s before its splice time), its cancel, an immediate out, a return, and
time_signal placement opportunity start and end with a UPID:

    kestrow_gen.py cues.ts --duration 30 \\
        --cue id=1,at=5,dur=4,lead=1,repeat=3,every=1 \\
        --cue id=2,at=15,dur=4,lead=3 --cue id=2,cancel=1,at=15,lead=1 \\
        --cue id=3,immediate=1,dur=3,send=18 --cue id=3,out=0,immediate=1,send=20 \\
        --cue type=time_signal,at=24,seg_type=0x34,seg_id=7,seg_dur=3,seg_upid=0x09:41424344 \\
        --cue type=time_signal,at=27,seg_type=0x35,seg_id=7

Cues as feeds and faulty equipment send them: 0.5 s and 3 s after their
splice time, one for a point an hour past and one 6 hours ahead, an
encrypted one, component mode, splice_schedule, bandwidth_reservation,
private_command and splice_null:

    kestrow_gen.py timing.ts --duration 30 \
        --cue id=1,at=5,dur=4,send=5.5 --cue id=2,at=12,dur=4,send=15 \
        --cue id=3,at=-3600,dur=4,send=2 --cue id=4,at=21600,dur=30,send=3 \
        --cue id=5,at=20,dur=4,encrypted=1,alg=1,cw=2 --cue id=6,comp=1:24/2:24.2,dur=2 \
        --cue type=schedule,id=7,utc=2024-03-01T12:30:00,dur=60,send=4 \
        --cue type=bandwidth,send=6 --cue type=private,hex=0102,send=7 --cue type=null,send=8

A splice time across the 33-bit wrap by pts_adjustment: pts_time 1 s
before the wrap, adjusted by 3 s to 2 s after it (7 s into the programme):

    kestrow_gen.py adj.ts --start-pts '2**33-5*90000' --cue 'pts=2**33-90000,adj=270000t,dur=2'

Spots as a traffic schedule names them: closed GOPs from an IDR picture, the
programme's layout (give the same layout options as the programme's), no
SCTE-35, each with its own hue of the test picture and its own tones:

    kestrow_gen.py spot4.ts --spot 4 --duration 4
    kestrow_gen.py ACME0000123.ts --spot ACME0000123 --duration 6

Multiplexes: three programmes at a constant 6 Mbit/s, the second listing
the first's AAC audio and SCTE-35 PIDs beside its own MP2 audio, the third
scrambled (CAT with an EMM PID, an ECM PID in its PMT) with a PID of the
unknown stream type 0xA0, cues for the first and the third; NIT, SDT,
EIT present/following, TDT and TOT; ffprobe -show_programs lists each:

    kestrow_gen.py mux.ts --duration 20 --programs 3 --muxrate 6M \
        --program 2:share=audio+scte,audio=mp2 \
        --program 3:scrambled=1,unknown=0x3F0:0xA0 \
        --cue at=8,dur=4 --cue prog=3,at=12,dur=3

Programme 1, which a service picks with --program=1, scrambled from 4 s to
8 s; programme 2 with a video codec nothing knows (stream type 0xA0):

    kestrow_gen.py feed.ts --duration 12 --programs 2 \
        --program 1:scrambled_from=4,scrambled_to=8 --program 2:video_type=0xA0

Five programmes, only the third with HEVC, AAC and SCTE-35; two sharing
the first's PCR PID:

    kestrow_gen.py five.ts --programs 5 --scte-pid 0 \
        --program 3:video_codec=hevc,audio=aac,scte_pid=0x590 \
        --program 4:share=pcr --program 5:share=pcr --cue prog=3,at=5,dur=2

Timelines: the source restarts at 10 s one hour back in time (continuity
counters from 0, PAT/PMT versions kept) and at 20 s 17 s back (counters
carried on, versions raised, discontinuity_indicator set); a cue sent
before the first restart for a point after it:

    kestrow_gen.py restart.ts --duration 30 --restart at=10,jump=-3600 \
        --restart at=20,jump=-17,cc_reset=0,version=1,disc=1 --cue at=12,dur=4,lead=3

The input lost for 5 s from 10 s while the source goes on; the programme
as two files, before and after 10 s, for a sender that pauses between them
(random bytes as an input need no generator: head -c 1000000 /dev/urandom):

    kestrow_gen.py outage.ts --duration 30 --outage at=10,dur=5
    kestrow_gen.py before.ts --duration 30 --split 10:after.ts

Options (defaults in brackets)
------------------------------
  OUTPUT                  file to write (MPEG-TS whatever its extension)
  --duration SEC          length [10]
  --size WxH              picture size [320x240]
  --fps RATE              frame rate, integer or fraction [25]
  --gop N|SECs            frames from one key frame to the next, or seconds
                          ("0.6s": 15 frames at 25 fps) [25]
  --skip-key SEC          (H.264) no key frame where one is due at SEC: the
                          GOP before runs on to the next (repeatable)
  --bframes N             consecutive B-frames, 0 for none [2]
  --preset NAME           libx264 preset [ultrafast]
  --video-bitrate RATE    constant video rate with NAL HRD filler, e.g. 16M
                          [encoder default quality]
  --audio LIST            comma list of aac / mp2, or none [aac,mp2]
  --audio-bitrate RATE    per audio stream [128k]
  --sample-rate HZ        [48000]
  --audio-channels N      channels of every audio stream: 1, 2 (stereo) or 6
                          (5.1; not with mp2), the tone in each [1]
  --video-pid PID         [0x100]
  --audio-pids LIST       PIDs of the audio streams in order [0x101,0x102]
  --scte-pid PID          SCTE-35 PID, 0 for no SCTE-35 stream [0x590;
                          0 with --filler]
  --pmt-pid PID           [0x1000]
  --no-cuei               declare the SCTE-35 stream without "CUEI"
  --pattern SRC           lavfi video source: testsrc2, testsrc, smptebars,
                          smptehdbars, rgbtestsrc, color:NAME ...
                          [testsrc2; smptebars with --filler]
  --tone HZ               first audio tone; stream i has tone * (1 + i/2)
                          [1000; 440 with --filler]
  --filler                filler recording: other pattern and tones, no
                          SCTE-35 stream unless --scte-pid is given
  --start-pts EXPR        pts of the first video frame (the programme
                          start); every PTS, DTS and PCR is shifted by the
                          same amount mod 2^33. EXPR may use + - * // ( ).
  --muxrate RATE          constant mux rate with null packets, e.g. 20M
  --pes-payload-size N    muxer's PES gathering; 0 = one frame per PES [0]
  --mux-delay SEC|default how far the DTS of the audio and video leads the
                          PCR where their PES starts (the muxer's max_delay,
                          ffmpeg -muxdelay), e.g. 0.3 to 1.0; "default":
                          the ffmpeg command's own setting (0.7 s), as
                          without the option [default]
  --video-codec NAME      h264, mpeg2 (mpeg2video, interlaced, top field
                          first) or hevc (libx265) [h264]
  --open-gop              open GOPs (x264/x265 open-gop, MPEG-2 without
                          closed-GOP flag); H.264 needs --bframes >= 1
                          [closed GOPs]
  --moving-fields         each picture's two fields from two instants: the
                          pattern at twice --fps folded into fields (top
                          first, no vertical filtering), so that a field
                          shown in the wrong place or picture shows
  --field-coding MODE     interlaced coding (implies --moving-fields):
                          mpeg2: frame (frame pictures, field/frame DCT and
                          prediction: the mpeg2 coding) or field (field
                          pictures, top first, all intra: a half-height
                          encode at the field rate edited, see kestrow_es.py;
                          predicted field pictures cannot be made so);
                          h264: mbaff (libx264 interlaced, tff, pic_struct
                          SEI; libx264 has no field pictures, PAFF);
                          hevc: field (x265 interlace: each field a picture
                          of half the height, pic_struct SEI; --gop and
                          --bframes count fields there)
  --pulldown              MPEG-2 film at --fps 24 or 24000/1001, coded
                          progressive, sent as 30 (30000/1001) frames/s
                          with 3:2 pulldown: top_field_first and
                          repeat_first_field per picture, PTS/DTS on the
                          fields shown
  --x264-params TEXT      libx264 options after the generator's (override
                          them), e.g. cabac=1:weightp=2:8x8dct=0:ref=3
  --x265-params TEXT      libx265 options after the generator's
  --pps-ids LIST          (H.264) the encoder's PPS sent under each id of
                          LIST; the pictures name them in turn, the k-th
                          (from 0) with pic_init_qp 2k lower and
                          slice_qp_delta 2k higher (same pictures, but a
                          slice decoded with the wrong PPS shows), e.g. 1
                          or 1,0
  --sps-id N              (H.264) the SPS under id N (0-31), named by the
                          PPS; not with --video-bitrate
  --program-number N      program_number / service_id [1]
  --ts-id N               transport_stream_id [1]
  --pcr-pid PID|none      PCRs moved to their own PID (adaptation-field-only
                          packets); "none": the PMT names PCR_PID 0x1FFF and
                          the PCRs stay on the video PID [the video PID]
  --silent-pid PID[:TYPE] a PMT stream (type 0x0F AAC by default) that never
                          carries data (repeatable)
  --subtitles LANG        a DVB subtitle stream (a box for 0.5 s each second)
  --subtitle-pid PID      [0x120]
  --teletext LANG         a teletext stream (type 0x06, teletext descriptor,
                          one PES of stuffing data units per video PES)
  --teletext-pid PID      [0x121]
  --data-pid PID          a private-data stream (type 0x06, no descriptor,
                          a 16-byte numbered PES every tenth video PES)
  --dvb                   DVB (System B) signalling: AC-3/E-AC-3 as type
                          0x06 with their descriptors [ATSC: 0x81/0x87]
  --two-au-pes            every second video PES of a GOP joined to the one
                          before: one PES, two access units, as field
                          pictures are sent
  --audio-offset-ms MS    audio moved in mux order: MS > 0 earlier, < 0
                          later than the video of the same time, PTS kept [0]
  --untimed-pes           the --teletext and --data-pid PES carry no PTS
  --side-offset S         the --teletext and --data-pid PES carry PTS S
                          seconds off the video's (a clock of their own) [0]
  --pmt-twice PID         the PMT lists PID's entry a second time, at its end
  --ghost-programs N      the PAT lists N programmes ahead of this one
                          (0x7F00, 0x7F01, ...; PMT PIDs after --pmt-pid)
                          whose PMTs never come
  --pes-length MODE       PES_packet_length of the video PES: exact (the
                          bytes up to the next PES start; 0 over 65535),
                          short (a zero byte appended past a length one
                          byte short of what is carried, modulo 65536, as
                          a broadcast encoder sends it), long (one byte
                          more, modulo 65536), boundary (the length ends
                          at the end of the PES's last but one TS packet:
                          the last one's payload is lost to a reader that
                          trusts it) [0, the muxer's: no length]
  --pes-stuffing N        N stuffing bytes (0-32) in each video PES header
                          [0]
With --muxrate, the packets that --pcr-pid PID, --teletext and --data-pid
add raise the rate a little above it. --audio entries may carry a language:
"aac:eng,mp2:fra" (ISO 639 language descriptor); codecs aac, latm (the
muxer's LATM, then for every AAC stream), mp2, ac3, eac3.
  --cue SPEC              a cue (repeatable); see below
  --spot NAME             a spot: --filler with its own look, see
                          spot_look(): an index 0-49 gives each its own hue
                          and tones, another NAME is hashed to one of them;
                          closed GOPs; no SCTE-35 unless --scte-pid is given
  --pattern hue:DEG       (also) testsrc2 with its colours turned by DEG
  --programs N            a multiplex of N programmes: the options describe
                          the first; programme i (from 0) has every PID
                          + i*0x100, program_number + i, another pattern,
                          tones * (1 + 0.07 i), no cues but those with prog=
  --program N:KEY=VALUE,...  settings of programme N (repeatable): any
                          option as its keyword (video_codec=hevc,
                          audio=aac,mp2, scte_pid=0, start_pts=..., muxrate
                          ...; a part without "=" continues the value) and
                          scrambled=1  its PIDs but SCTE-35 flagged scrambled
                                 (TSC 2/3, the key changing every 4 s),
                                 payload random, an ECM PID in its PMT
                          scrambled_from=S scrambled_to=S  scrambled only
                                 from / until programme time S (as a feed
                                 whose descrambling fails for a while);
                                 either implies scrambled=1
                          video_type=TYPE  its video PID declared with
                                 stream type TYPE (e.g. 0xA0) and its PES
                                 payload random, headers and timing kept:
                                 a codec no demuxer knows or can probe
                          ecm_pid=PID  [its PMT PID + 0x10]; alone: a CA
                                 descriptor on a clear programme
                          share=audio+scte+pcr  its PMT lists programme 1's
                                 first audio PID / SCTE-35 PID (and none of
                                 its own) / PCR PID (its timestamps on
                                 programme 1's clock)
                          unknown=PID[:TYPE]  a PID of stream type TYPE
                                 [0xA0] with a PES of random bytes every
                                 100 ms
                          service=NAME provider=NAME  its SDT entry
                                 ["Kestrow <number>", "Kestrow"]
                          A multiplex has one PAT (with the NIT PID) every
                          100 ms, NIT every 5 s, SDT and EIT p/f every
                          second, TDT and TOT every 5 s, with conditional
                          access a CAT every 500 ms, EMMs every 500 ms and
                          ECMs every 100 ms. With --muxrate every programme
                          is generated at 85 % / N of it (unless it has its
                          own), then sent at exactly that rate, its PCRs
                          restamped to their place.
  --utc TIME              UTC at the start, for TDT, TOT and EIT
                          [2024-03-01T12:00:00]
  --network-id N          network_id and original_network_id [0xff01]
  --seed TEXT             of every random byte (payloads, ECM, EMM) [1]
  --emm-pid PID           [0x1ff0]
  --restart SPEC          the source restarts (repeatable; one programme
                          only): at=T  programme time of the cut (the first
                          PCR at start + T and all after it are replaced);
                          jump=S  the new timeline's offset from the old
                          one, negative back [0]; cc_reset=0|1  continuity
                          counters from 0 or carried on [1]; version=0|1
                          PAT/PMT version kept or raised [0]; disc=0|1
                          discontinuity_indicator on the first packet of
                          each PID that has an adaptation field or section
                          stuffing [0]. A cue goes to the segment its send
                          time falls in (its repeats after the next restart
                          are lost with that segment); at=/send= count as
                          if the programme had gone on, the splice time
                          carried is on the sending segment's timeline.
  --outage at=T,dur=S     the packets from the first PCR at programme time
                          T to the first at T + S are dropped (repeatable)
  --split T:PATH          the packets from programme time T on go to PATH
  --info                  print a JSON summary (start pts, cue sections,
                          where each cue went) on standard output

Cue SPEC: comma-separated key=value. Times are seconds, or 90 kHz ticks when
suffixed with "t" (at=900000t); "at" and "send" count from the programme
start, i.e. the pts of the first video frame.
  type=insert|time_signal|null|raw   command [insert]
  id=N          splice_event_id [1, 2, ... in order of the --cue options]
  at=T          splice time: pts_time = (start + T) mod 2^33
  pts=N         pts_time given directly in ticks, as carried
  dur=T         break_duration (none when absent); auto=0|1 auto_return [1]
  immediate=1   splice_immediate_flag (no splice time)
  cancel=1      splice_event_cancel_indicator
  out=0|1       out_of_network_indicator [1]
  adj=T         pts_adjustment (mod 2^33; negative values wrap) [0]
  upid=N avail=N avails=N tier=N   unique_program_id, avail_num,
                avails_expected [0 0 0], tier [0xFFF]
  desc=HEX      descriptor loop bytes
  lead=T        the cue is sent T before its splice time, which is
                pts_time + pts_adjustment [2]; negative = after it
  send=T        send time given directly (required without a splice time)
  repeat=N every=T  the same section sent N times, T apart, from its send
                time [1 1]
  type=time_signal with one segmentation_descriptor ("CUEI"), when any of:
    seg_type=N  segmentation_type_id, e.g. 0x22/0x23 break start/end,
                0x30-0x37 advertisement / placement opportunity start/end
                [0x30]
    seg_id=N    segmentation_event_id [the cue's id]
    seg_cancel=1  segmentation_event_cancel_indicator
    seg_dur=T   segmentation_duration (none when absent)
    seg_upid=TYPE:HEX  segmentation_upid_type and bytes [0: none]
    seg_num=N seg_expected=N  segment_num, segments_expected [0 0]
    sub_num=N sub_expected=N  sub_segment_num, sub_segments_expected
                (sent only when given)
    seg_restrict=N  the 5 delivery restriction bits (delivery not
                restricted when absent)
  hex=HEX       type=raw: the section bytes; crc=1 [1] sets section_length
                to fit and appends a correct CRC_32, crc=0 sends them as is
                (FFmpeg's demuxer drops sections whose CRC is wrong), e.g.
                type=raw,hex=fd3000aabbcc,send=3: a section that the demuxer
                passes on and that no SCTE 35 parser accepts (table_id 0xFD)
  prog=N        the programme of a multiplex that carries the cue [1]
  encrypted=1 alg=N cw=N   encrypted_packet with encryption_algorithm N [1]
                and cw_index N [0]: the bytes from splice_command_type to
                E_CRC_32 scrambled (see encrypt_section)
  comp=TAG[:T]/TAG[:T]...  component mode (program_splice_flag 0): each
                component_tag with its splice time (T as at=; no T or
                immediate=1: none); type=schedule: T a utc= value
  type=schedule  splice_schedule with one event: id, out, cancel, dur,
                auto, upid, avail, avails and utc=TIME (utc_splice_time:
                ISO UTC "2024-03-01T12:30:00" or seconds since 1980-01-06)
  type=bandwidth  bandwidth_reservation; type=private  private_command with
                ident=N (identifier) [0x4B535457 "KSTW"] and hex= bytes
"at" and "send" are independent: send=T after at= sends the cue late (its
splice time already past), at= may be negative (a stale cue) or hours
ahead (give send=).
"Sent at time S" means the cue packet follows the first PCR >= S (on the
unwrapped programme clock): FFmpeg's demuxer stamps a cue with the last PCR
before it, so the cue's packet pts is S or a PCR interval later. With
--muxrate the cue replaces the next null packet, keeping the rate; otherwise
it is inserted. A send time before the first PCR means right after it. The
muxer sends audio and video --mux-delay (0.7 s by default) ahead of their
dts, 0.7 to 0.9 s ahead of their pts at 25 fps with two B-frames, so a cue
must lead by more than about 1 s to reach a reader before the video frames
of its splice time.

As a module (sys.path.insert(0, os.environ['KESTROW_TOOLS'])):
  splice_insert(...), time_signal(...), splice_null(...), raw_section(...),
  splice_schedule(...), bandwidth_reservation(...), private_command(...),
  encrypt_section(section, algorithm, cw_index), segmentation_descriptor(...),
  splice_info_section(...), crc32_mpeg2(data), cue_ts_packet(pid, section, cc),
  generate(path, **options) -> info dict, build(path, **options) (what the
  command line does: generate, kestrow_mux.multiplex / restarted / cut),
  main(argv), spot_look(name),
  check(path, *args) -> kestrow_check's output parsed (needs the built tool;
  KESTROW_TOOLS_BIN names its folder), parse_check(text).

With KESTROW_GEN_CACHE naming a folder, the encoder's output is kept there
and used again for the same pictures, tones, codecs and PIDs (only the
rewriting above is done again); the tests set it to a folder of the build.
An edited video (--field-coding field, --pulldown, --pps-ids, --sps-id) is
encoded alone, edited by kestrow_es.py and muxed with the audio by a second
run of the ffmpeg command; the cache keeps the muxed result, keyed by both
commands, the edit and kestrow_es.py's code.
"""

import argparse
import ast
import collections
import datetime
import fcntl
import hashlib
import json
import os
import shutil
import subprocess
import sys
import zlib
from fractions import Fraction

from kestrow_clock import WRAP

TS_SIZE = 188
TICKS = 90000
NULL_PID = 0x1FFF

# --------------------------------------------------------------------------
# SCTE 35 sections

_CRC_TABLE = []
for _i in range(256):
    _c = _i << 24
    for _ in range(8):
        _c = ((_c << 1) ^ 0x04C11DB7) if _c & 0x80000000 else (_c << 1)
    _CRC_TABLE.append(_c & 0xFFFFFFFF)


def crc32_mpeg2(data):
    """CRC-32 of ISO/IEC 13818-1 Annex A (poly 0x04C11DB7, init all ones,
    no reflection, no final xor): zero over a section including its CRC."""
    crc = 0xFFFFFFFF
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _CRC_TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


class _Bits:
    """Big-endian bit writer."""

    def __init__(self):
        self.value = 0
        self.count = 0

    def put(self, n, v):
        if v < 0 or v >> n:
            raise ValueError("%d does not fit in %d bits" % (v, n))
        self.value = (self.value << n) | v
        self.count += n

    def ones(self, n):
        self.put(n, (1 << n) - 1)

    def bytes(self):
        if self.count % 8:
            raise ValueError("not byte aligned")
        return self.value.to_bytes(self.count // 8, "big") if self.count else b""


def _splice_time(bits, pts_time):
    if pts_time is None:
        bits.put(1, 0)
        bits.ones(7)
    else:
        bits.put(1, 1)
        bits.ones(6)
        bits.put(33, pts_time % WRAP)


def _keystream(cw_index, n):
    """n bytes that stand in for a block cipher's output under control word
    cw_index: SHA-256 in counter mode, so that a section "encrypted" with it
    looks as random as a DES or AES one does to a parser without the key."""
    out = b""
    block = 0
    while len(out) < n:
        out += hashlib.sha256(b"kestrow cw %d %d" % (cw_index, block)).digest()
        block += 1
    return out[:n]


def splice_info_section(command_type, command=b"", pts_adjustment=0,
                        descriptors=b"", tier=0xFFF, cw_index=0,
                        protocol_version=0):
    """A whole splice_info_section (table_id 0xFC, unencrypted) with the given
    command bytes, its splice_command_length, descriptor loop and CRC_32."""
    body = _Bits()
    body.put(8, protocol_version)
    body.put(1, 0)                      # encrypted_packet
    body.put(6, 0)                      # encryption_algorithm
    body.put(33, pts_adjustment % WRAP)
    body.put(8, cw_index)
    body.put(12, tier)
    body.put(12, len(command))
    body.put(8, command_type)
    rest = body.bytes() + bytes(command) + len(descriptors).to_bytes(2, "big") + bytes(descriptors)
    section_length = len(rest) + 4
    head = _Bits()
    head.put(8, 0xFC)
    head.put(1, 0)                      # section_syntax_indicator
    head.put(1, 0)                      # private_indicator
    head.ones(2)                        # sap_type 3: not specified
    head.put(12, section_length)
    data = head.bytes() + rest
    return data + crc32_mpeg2(data).to_bytes(4, "big")


def encrypt_section(section, algorithm=1, cw_index=0):
    """The clear splice_info_section as an encoder holding a key would send
    it: encrypted_packet set with encryption_algorithm (1 DES-ECB, 2 DES-CBC,
    3 triple DES; 0 "none" is accepted, as faulty equipment sends it) and
    cw_index; the part from splice_command_type to E_CRC_32 padded with
    alignment_stuffing to whole 8-byte blocks, E_CRC_32 computed over the
    clear bytes, then that part scrambled with _keystream(cw_index);
    section_length and CRC_32 over the result."""
    section = bytes(section)
    part = section[13:-4]
    part += b"\xff" * (-(len(part) + 4) % 8)          # alignment_stuffing
    part += crc32_mpeg2(part).to_bytes(4, "big")         # E_CRC_32
    part = bytes(a ^ b for a, b in zip(part, _keystream(cw_index, len(part))))
    length = 10 + len(part) + 4
    data = bytes([0xFC, (section[1] & 0xF0) | (length >> 8), length & 0xFF, section[3],
                  0x80 | (algorithm & 0x3F) << 1 | (section[4] & 1)]) \
        + section[5:9] + bytes([cw_index]) + section[10:13] + part
    return data + crc32_mpeg2(data).to_bytes(4, "big")


def splice_insert(event_id, pts_time=None, duration=None, auto_return=True,
                  immediate=False, cancel=False, out_of_network=True,
                  components=None, unique_program_id=0, avail_num=0,
                  avails_expected=0, pts_adjustment=0, tier=0xFFF,
                  descriptors=b""):
    """splice_info_section with a splice_insert (command type 5).

    pts_time None (and not immediate) gives a splice_time with
    time_specified_flag 0. duration None gives no break_duration.
    components: list of (component_tag, pts_time or None) for component
    mode (program_splice_flag 0)."""
    c = _Bits()
    c.put(32, event_id)
    c.put(1, 1 if cancel else 0)
    c.ones(7)
    if not cancel:
        program_splice = components is None
        c.put(1, 1 if out_of_network else 0)
        c.put(1, 1 if program_splice else 0)
        c.put(1, 0 if duration is None else 1)
        c.put(1, 1 if immediate else 0)
        c.ones(4)
        if program_splice:
            if not immediate:
                _splice_time(c, pts_time)
        else:
            c.put(8, len(components))
            for tag, t in components:
                c.put(8, tag)
                if not immediate:
                    _splice_time(c, t)
        if duration is not None:
            c.put(1, 1 if auto_return else 0)
            c.ones(6)
            c.put(33, duration)
        c.put(16, unique_program_id)
        c.put(8, avail_num)
        c.put(8, avails_expected)
    return splice_info_section(5, c.bytes(), pts_adjustment, descriptors, tier)


def time_signal(pts_time=None, pts_adjustment=0, descriptors=b"", tier=0xFFF):
    """splice_info_section with a time_signal (command type 6)."""
    c = _Bits()
    _splice_time(c, pts_time)
    return splice_info_section(6, c.bytes(), pts_adjustment, descriptors, tier)


def segmentation_descriptor(event_id, type_id=0x30, duration=None, upid_type=0,
                            upid=b"", cancel=False, segment_num=0, segments_expected=0,
                            sub_segment_num=None, sub_segments_expected=None,
                            restrictions=None):
    """A segmentation_descriptor (tag 2, identifier "CUEI") for the whole
    programme. duration None gives no segmentation_duration (40 bits, ticks);
    upid: the UPID bytes of upid_type; restrictions None: delivery not
    restricted, else the 5 bits web_delivery_allowed, no_regional_blackout,
    archive_allowed, device_restrictions(2). sub_segment_num and
    sub_segments_expected are sent when given (placement opportunities)."""
    d = _Bits()
    d.put(32, 0x43554549)               # "CUEI"
    d.put(32, event_id)
    d.put(1, 1 if cancel else 0)
    d.put(1, 1)                         # segmentation_event_id_compliance_indicator
    d.ones(6)
    if not cancel:
        d.put(1, 1)                     # program_segmentation_flag
        d.put(1, 0 if duration is None else 1)
        d.put(1, 1 if restrictions is None else 0)
        d.put(5, 0x1F if restrictions is None else restrictions)
        if duration is not None:
            d.put(40, duration)
        upid = bytes(upid)
        d.put(8, upid_type)
        d.put(8, len(upid))
        for b in upid:
            d.put(8, b)
        d.put(8, type_id)
        d.put(8, segment_num)
        d.put(8, segments_expected)
        if sub_segment_num is not None or sub_segments_expected is not None:
            d.put(8, sub_segment_num or 0)
            d.put(8, sub_segments_expected or 0)
    body = d.bytes()
    if len(body) > 255:
        raise ValueError("segmentation_descriptor of %d bytes" % len(body))
    return bytes([0x02, len(body)]) + body


def splice_null(pts_adjustment=0, tier=0xFFF):
    """splice_info_section with a splice_null (command type 0)."""
    return splice_info_section(0, b"", pts_adjustment, b"", tier)


def splice_schedule(events, pts_adjustment=0, tier=0xFFF):
    """splice_info_section with a splice_schedule (command type 4). events:
    dicts with event_id, utc (utc_splice_time: seconds since 1980-01-06
    00:00 UTC), and optionally duration (ticks), auto_return, cancel,
    out_of_network, components [(tag, utc)] for component mode,
    unique_program_id, avail_num, avails_expected."""
    c = _Bits()
    c.put(8, len(events))
    for e in events:
        c.put(32, e["event_id"])
        c.put(1, 1 if e.get("cancel") else 0)
        c.ones(7)
        if e.get("cancel"):
            continue
        components = e.get("components")
        duration = e.get("duration")
        c.put(1, 1 if e.get("out_of_network", True) else 0)
        c.put(1, 1 if components is None else 0)
        c.put(1, 0 if duration is None else 1)
        c.ones(5)
        if components is None:
            c.put(32, e["utc"])
        else:
            c.put(8, len(components))
            for tag, utc in components:
                c.put(8, tag)
                c.put(32, utc)
        if duration is not None:
            c.put(1, 1 if e.get("auto_return", True) else 0)
            c.ones(6)
            c.put(33, duration)
        c.put(16, e.get("unique_program_id", 0))
        c.put(8, e.get("avail_num", 0))
        c.put(8, e.get("avails_expected", 0))
    return splice_info_section(4, c.bytes(), pts_adjustment, b"", tier)


def bandwidth_reservation(pts_adjustment=0, tier=0xFFF):
    """splice_info_section with a bandwidth_reservation (command type 7)."""
    return splice_info_section(7, b"", pts_adjustment, b"", tier)


def private_command(identifier, data=b"", pts_adjustment=0, tier=0xFFF):
    """splice_info_section with a private_command (type 0xFF): the 32-bit
    identifier (a registered format_identifier) and the private bytes."""
    return splice_info_section(0xFF, identifier.to_bytes(4, "big") + bytes(data),
                               pts_adjustment, b"", tier)


def raw_section(data, fix_crc=True):
    """Arbitrary section bytes. With fix_crc (and at least 3 bytes) the
    section_length field is set so that the section ends with a CRC_32
    appended after data, and that CRC is computed; otherwise data as is."""
    data = bytes(data)
    if not fix_crc or len(data) < 3:
        return data
    length = len(data) + 4 - 3
    if length > 0xFFF:
        raise ValueError("raw section too long")
    head = bytes([data[0], (data[1] & 0xF0) | (length >> 8), length & 0xFF])
    data = head + data[3:]
    return data + crc32_mpeg2(data).to_bytes(4, "big")


def cue_ts_packet(pid, section, cc):
    """One TS packet carrying section from its first byte: payload_unit_start,
    payload only, pointer_field 0, 0xFF stuffing."""
    if len(section) > TS_SIZE - 5:
        raise ValueError("cue section of %d bytes does not fit in one TS packet" % len(section))
    head = bytes([0x47, 0x40 | (pid >> 8), pid & 0xFF, 0x10 | (cc & 0x0F), 0x00])
    return head + bytes(section) + b"\xff" * (TS_SIZE - 5 - len(section))


# --------------------------------------------------------------------------
# Option values


def _int_expr(text):
    """Integer arithmetic: literals (any base), + - * // % ( ) and **."""
    ops = {ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b,
           ast.Mult: lambda a, b: a * b, ast.FloorDiv: lambda a, b: a // b,
           ast.Mod: lambda a, b: a % b, ast.Pow: lambda a, b: a ** b}

    def ev(n):
        if isinstance(n, ast.Expression):
            return ev(n.body)
        if isinstance(n, ast.Constant) and isinstance(n.value, int):
            return n.value
        if isinstance(n, ast.BinOp) and type(n.op) in ops:
            return ops[type(n.op)](ev(n.left), ev(n.right))
        if isinstance(n, ast.UnaryOp) and isinstance(n.op, (ast.USub, ast.UAdd)):
            v = ev(n.operand)
            return -v if isinstance(n.op, ast.USub) else v
        raise ValueError("not an integer expression: %r" % text)
    return ev(ast.parse(str(text).strip(), mode="eval"))


def _ticks(text):
    """Seconds ("2.5") or ticks ("225000t") to ticks."""
    text = str(text).strip()
    if text.endswith("t"):
        return _int_expr(text[:-1])
    return int(round(float(text) * TICKS))


GPS_EPOCH = datetime.datetime(1980, 1, 6, tzinfo=datetime.timezone.utc)


def _utc(text):
    """utc_splice_time: an integer (seconds since 1980-01-06 00:00 UTC) or an
    ISO time "2024-03-01T12:00:30" (UTC), leap seconds not counted."""
    text = str(text).strip()
    if text.lstrip("-").isdigit() or text.startswith("0x"):
        return _int_expr(text)
    when = datetime.datetime.fromisoformat(text.rstrip("Z"))
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    return int((when - GPS_EPOCH).total_seconds())


def _pid(text):
    v = int(str(text), 0)
    if not 0 <= v < NULL_PID:
        raise ValueError("PID out of range: %s" % text)
    return v


def _rate(text):
    """"16M", "128k", "20000000" to bits per second."""
    t = str(text).strip()
    mult = {"k": 1000, "K": 1000, "m": 1000000, "M": 1000000}.get(t[-1:], 1)
    return int(float(t[:-1] if mult != 1 else t) * mult)


class Cue:
    """One --cue: what to send and when (times relative to the programme
    start, in ticks)."""

    KEYS = {"type", "id", "at", "pts", "dur", "auto", "immediate", "cancel", "out",
            "adj", "upid", "avail", "avails", "tier", "desc", "lead", "send",
            "hex", "crc", "repeat", "every", "seg_type", "seg_id", "seg_cancel",
            "seg_dur", "seg_upid", "seg_num", "seg_expected", "sub_num", "sub_expected",
            "seg_restrict", "prog", "encrypted", "alg", "cw", "comp", "utc", "ident"}
    TYPES = ("insert", "time_signal", "null", "raw", "schedule", "bandwidth", "private")

    def __init__(self, spec, default_id=1):
        self.spec = spec
        kv = {}
        for item in filter(None, (s.strip() for s in spec.split(","))):
            if "=" not in item:
                raise ValueError("cue %r: %r is not key=value" % (spec, item))
            k, v = item.split("=", 1)
            if k not in self.KEYS:
                raise ValueError("cue %r: unknown key %r" % (spec, k))
            kv[k] = v
        self.type = kv.get("type", "insert")
        if self.type not in self.TYPES:
            raise ValueError("cue %r: unknown type %r" % (spec, self.type))
        self.event_id = _int_expr(kv.get("id", str(default_id)))
        self.at = _ticks(kv["at"]) if "at" in kv else None
        self.pts = _int_expr(kv["pts"]) % WRAP if "pts" in kv else None
        if self.at is not None and self.pts is not None:
            raise ValueError("cue %r: give at= or pts=, not both" % spec)
        self.duration = _ticks(kv["dur"]) if "dur" in kv else None
        if self.duration is not None and not 0 <= self.duration < WRAP:
            raise ValueError("cue %r: duration out of range" % spec)
        self.auto_return = bool(int(kv.get("auto", "1")))
        self.immediate = bool(int(kv.get("immediate", "0")))
        self.cancel = bool(int(kv.get("cancel", "0")))
        self.out_of_network = bool(int(kv.get("out", "1")))
        self.adj = _ticks(kv["adj"]) if "adj" in kv else 0
        self.unique_program_id = _int_expr(kv.get("upid", "0"))
        self.avail_num = _int_expr(kv.get("avail", "0"))
        self.avails_expected = _int_expr(kv.get("avails", "0"))
        self.tier = _int_expr(kv.get("tier", "0xFFF"))
        self.descriptors = bytes.fromhex(kv.get("desc", ""))
        self.lead = _ticks(kv.get("lead", "2"))
        self.send = _ticks(kv["send"]) if "send" in kv else None
        self.hex = bytes.fromhex(kv.get("hex", ""))
        self.fix_crc = bool(int(kv.get("crc", "1")))
        self.repeat = _int_expr(kv.get("repeat", "1"))
        self.every = _ticks(kv.get("every", "1"))
        if self.repeat < 1 or (self.repeat > 1 and self.every <= 0):
            raise ValueError("cue %r: repeat=N needs N >= 1 and every= > 0" % spec)
        self.segmentation = None
        if any(k.startswith(("seg_", "sub_")) for k in kv):
            if self.type != "time_signal":
                raise ValueError("cue %r: seg_* keys need type=time_signal" % spec)
            upid_type, _, upid = kv.get("seg_upid", "0:").partition(":")
            self.segmentation = {
                "event_id": _int_expr(kv.get("seg_id", str(self.event_id))),
                "type_id": _int_expr(kv.get("seg_type", "0x30")),
                "duration": _ticks(kv["seg_dur"]) if "seg_dur" in kv else None,
                "upid_type": _int_expr(upid_type), "upid": bytes.fromhex(upid),
                "cancel": bool(int(kv.get("seg_cancel", "0"))),
                "segment_num": _int_expr(kv.get("seg_num", "0")),
                "segments_expected": _int_expr(kv.get("seg_expected", "0")),
                "sub_segment_num": _int_expr(kv["sub_num"]) if "sub_num" in kv else None,
                "sub_segments_expected": _int_expr(kv["sub_expected"]) if "sub_expected" in kv else None,
                "restrictions": _int_expr(kv["seg_restrict"]) if "seg_restrict" in kv else None}
        if self.type == "raw" and not self.hex:
            raise ValueError("cue %r: type=raw needs hex=" % spec)
        self._command_keys(kv)
        if self.send is None and self.pts_time(0) is None:
            raise ValueError("cue %r: no splice time: give send=" % spec)
        try:
            section = self.section(0)       # field ranges, before any encoding
        except ValueError as e:
            raise ValueError("cue %r: %s" % (spec, e))
        if len(section) > TS_SIZE - 5:
            raise ValueError("cue %r: section of %d bytes does not fit in one TS packet"
                             % (spec, len(section)))

    def _command_keys(self, kv):
        """The keys of the other commands, component mode, encryption and the
        programme of a multiplex."""
        spec = self.spec
        self.programme = _int_expr(kv.get("prog", "1"))
        self.encryption = (_int_expr(kv.get("alg", "1")) if int(kv.get("encrypted", "0")) else None,
                           _int_expr(kv.get("cw", "0")))
        if self.type == "raw" and self.encryption[0] is not None:
            raise ValueError("cue %r: type=raw is sent as given: encrypt it in hex=" % spec)
        self.utc = _utc(kv["utc"]) if "utc" in kv else None
        self.identifier = _int_expr(kv.get("ident", "0x4B535457"))     # "KSTW"
        self.components = None
        if "comp" in kv:
            if self.type not in ("insert", "schedule") or self.at is not None or self.pts is not None:
                raise ValueError("cue %r: comp= is for type=insert or schedule, without at=/pts=" % spec)
            self.components = []
            for item in kv["comp"].split("/"):
                tag, _, t = item.partition(":")
                conv = _utc if self.type == "schedule" else _ticks
                self.components.append((_int_expr(tag), conv(t) if t and not self.immediate else None))
        if self.type == "schedule" and self.utc is None and self.components is None and not self.cancel:
            raise ValueError("cue %r: type=schedule needs utc= or comp=" % spec)

    def pts_time(self, start):
        """pts_time as carried (in component mode the earliest component's),
        or None when the cue has no splice time."""
        if self.pts is not None:
            return self.pts
        if self.at is not None:
            return (start + self.at) % WRAP
        times = [t for _, t in self.components or () if t is not None]
        if self.type == "insert" and times:
            return (start + min(times)) % WRAP
        return None

    def carried_pts_time(self, start):
        """The splice time the section carries, or None."""
        if self.type not in ("insert", "time_signal") or self.immediate or self.cancel:
            return None
        return self.pts_time(start)

    def send_offset(self, start):
        """Send time in ticks relative to the programme start."""
        if self.send is not None:
            return self.send
        effective = (self.pts_time(start) + self.adj - start) % WRAP
        if effective >= WRAP // 2:
            effective -= WRAP
        return effective - self.lead

    def section(self, start):
        algorithm, cw_index = self.encryption
        clear = self._clear_section(start)
        return clear if algorithm is None else encrypt_section(clear, algorithm, cw_index)

    def _clear_section(self, start):
        t = self.pts_time(start)
        if self.type == "raw":
            return raw_section(self.hex, self.fix_crc)
        if self.type == "null":
            return splice_null(self.adj, self.tier)
        if self.type == "bandwidth":
            return bandwidth_reservation(self.adj, self.tier)
        if self.type == "private":
            return private_command(self.identifier, self.hex, self.adj, self.tier)
        if self.type == "time_signal":
            desc = self.descriptors
            if self.segmentation is not None:
                desc = segmentation_descriptor(**self.segmentation) + desc
            return time_signal(t, self.adj, desc, self.tier)
        if self.type == "schedule":
            return splice_schedule([{
                "event_id": self.event_id, "utc": self.utc, "duration": self.duration,
                "auto_return": self.auto_return, "cancel": self.cancel,
                "out_of_network": self.out_of_network, "components": self.components,
                "unique_program_id": self.unique_program_id, "avail_num": self.avail_num,
                "avails_expected": self.avails_expected}], self.adj, self.tier)
        components = None
        if self.components is not None:
            components = [(tag, None if c is None else (start + c) % WRAP)
                          for tag, c in self.components]
        return splice_insert(self.event_id, None if self.immediate else t, self.duration,
                             self.auto_return, self.immediate, self.cancel,
                             self.out_of_network, components, self.unique_program_id,
                             self.avail_num, self.avails_expected, self.adj,
                             self.tier, self.descriptors)


# --------------------------------------------------------------------------
# Transport stream rewriting


def _get_ts(b, o):
    return (((b[o] >> 1) & 7) << 30) | (b[o + 1] << 22) | ((b[o + 2] >> 1) << 15) \
        | (b[o + 3] << 7) | (b[o + 4] >> 1)


def _put_ts(b, o, v):
    b[o] = (b[o] & 0xF0) | (((v >> 30) & 7) << 1) | 1
    b[o + 1] = (v >> 22) & 0xFF
    b[o + 2] = (((v >> 15) & 0x7F) << 1) | 1
    b[o + 3] = (v >> 7) & 0xFF
    b[o + 4] = ((v & 0x7F) << 1) | 1


def _pcr_offset(p):
    """Offset of the PCR in packet p, or -1."""
    if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
        return 6
    return -1


def _get_pcr_base(p, o):
    return (p[o] << 25) | (p[o + 1] << 17) | (p[o + 2] << 9) | (p[o + 3] << 1) | (p[o + 4] >> 7)


def _put_pcr_base(p, o, v):
    p[o] = (v >> 25) & 0xFF
    p[o + 1] = (v >> 17) & 0xFF
    p[o + 2] = (v >> 9) & 0xFF
    p[o + 3] = (v >> 1) & 0xFF
    p[o + 4] = ((v & 1) << 7) | (p[o + 4] & 0x7F)


def _payload_offset(p):
    afc = (p[3] >> 4) & 3
    if not afc & 1:
        return -1
    o = 4 + (1 + p[4] if afc & 2 else 0)
    return o if o < TS_SIZE else -1


def _pes_ts_offsets(p):
    """Offsets of PTS and DTS in a packet starting a PES (-1 when absent)."""
    o = _payload_offset(p)
    if o < 0 or o + 14 > TS_SIZE or p[o:o + 3] != b"\x00\x00\x01":
        return -1, -1
    sid = p[o + 3]
    if sid in (0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF8, 0xFF):
        return -1, -1
    flags = p[o + 7] >> 6
    pts = o + 9 if flags & 2 else -1
    dts = o + 14 if flags == 3 and o + 19 <= TS_SIZE else -1
    return pts, dts


def _registration(fmt):
    return bytes([5, 4]) + fmt


def _rewrite_pmt(section, scte_pid, cuei, extra=(), pcr_pid_out=None, twice=None):
    """The PMT section with the SCTE-35 elementary stream (type 0x86) and,
    when cuei, a program-level registration descriptor "CUEI" added, then the
    extra streams [(stream_type, pid, descriptors)], the entry of PID twice
    listed a second time at the end when given, and PCR_PID set to
    pcr_pid_out when given; CRC-32 recomputed. Returns (new_section,
    encoder's pcr_pid, [(stream_type, pid)] of the encoder's streams)."""
    if crc32_mpeg2(section) != 0:
        raise RuntimeError("PMT from the encoder has a wrong CRC")
    slen = ((section[1] & 0x0F) << 8) | section[2]
    pcr_pid = ((section[8] & 0x1F) << 8) | section[9]
    pil = ((section[10] & 0x0F) << 8) | section[11]
    info = section[12:12 + pil]
    es = section[12 + pil:3 + slen - 4]
    streams = []
    i = 0
    while i + 5 <= len(es):
        streams.append((es[i], ((es[i + 1] & 0x1F) << 8) | es[i + 2]))
        i += 5 + (((es[i + 3] & 0x0F) << 8) | es[i + 4])
    if scte_pid:
        if any(pid == scte_pid for _, pid in streams):
            raise RuntimeError("SCTE-35 PID 0x%x is already used" % scte_pid)
        if cuei and _registration(b"CUEI") not in info:
            info = _registration(b"CUEI") + info
        es = es + bytes([0x86, 0xE0 | (scte_pid >> 8), scte_pid & 0xFF, 0xF0, 0x00])
    for stream_type, pid, desc in extra:
        if any(p == pid for _, p in streams):
            raise RuntimeError("PID 0x%x is already used" % pid)
        es += bytes([stream_type, 0xE0 | (pid >> 8), pid & 0xFF, 0xF0 | (len(desc) >> 8),
                     len(desc) & 0xFF]) + desc
    if twice is not None:
        i = 0
        while i + 5 <= len(es) and ((es[i + 1] & 0x1F) << 8 | es[i + 2]) != twice:
            i += 5 + (((es[i + 3] & 0x0F) << 8) | es[i + 4])
        if i + 5 > len(es):
            raise ValueError("PID 0x%x is not in the PMT" % twice)
        es += es[i:i + 5 + (((es[i + 3] & 0x0F) << 8) | es[i + 4])]
    pcr = section[8:10] if pcr_pid_out is None else \
        bytes([0xE0 | (pcr_pid_out >> 8), pcr_pid_out & 0xFF])
    body = section[3:8] + pcr + bytes([0xF0 | (len(info) >> 8), len(info) & 0xFF]) + info + es
    length = len(body) + 4
    data = bytes([section[0], (section[1] & 0xF0) | (length >> 8), length & 0xFF]) + body
    return data + crc32_mpeg2(data).to_bytes(4, "big"), pcr_pid, streams


class _Rewriter:
    """Rewrites the encoder's TS packet by packet: PMT, timestamp shift and
    cue packets. Feed 188-byte aligned chunks; output goes to out.write."""

    def __init__(self, out, video_pid, pmt_pid, scte_pid, cuei, start_pts, cues, cbr,
                 extra_es=(), pcr_pid_out=None, twice=None, ghosts=0):
        self.out = out
        self.twice = twice
        self.ghosts = ghosts
        self.extra_es = list(extra_es)
        self.pcr_pid_out = pcr_pid_out
        self.video_pid = video_pid
        self.pmt_pid = pmt_pid
        self.scte_pid = scte_pid
        self.cuei = cuei
        self.start_pts = start_pts
        self.cues = cues
        self.cbr = cbr
        self.pending = []            # (send_u, order, cue) not yet due
        self.due = []                # sections waiting for a null packet
        self.head = []               # packets held until the start is known
        self.start = None            # programme start (first video pts), shifted
        self.delta = 0
        self.pmt_cache = {}
        self.pcr_pid = None
        self.es_pids = set()
        self.cc = 0
        self.count = 0               # packets written
        self.info_cues = []

    def _u(self, ts):
        """ts (33-bit) on the programme's unwrapped clock."""
        return self.start + ((ts - self.start + WRAP // 2) % WRAP) - WRAP // 2

    def feed(self, chunk):
        if self.start is None:
            for i in range(0, len(chunk), TS_SIZE):
                p = chunk[i:i + TS_SIZE]
                self.head.append(p)
                if p[0] != 0x47:
                    raise RuntimeError("encoder output lost TS sync")
                pid = ((p[1] & 0x1F) << 8) | p[2]
                if pid == self.video_pid and p[1] & 0x40:
                    o, _ = _pes_ts_offsets(p)
                    if o >= 0:
                        self._set_start(_get_ts(p, o))
                        head, self.head = self.head, []
                        self._process(b"".join(head))
                        self._process(chunk[i + TS_SIZE:])
                        return
                if len(self.head) > 100000:
                    raise RuntimeError("no video PES with a PTS at the start of the stream")
            return
        self._process(chunk)

    def _set_start(self, first_pts):
        if self.start_pts is not None:
            self.delta = (self.start_pts - first_pts) % WRAP
            self.start = self.start_pts % WRAP
        else:
            self.start = first_pts
        for n, cue in enumerate(self.cues):
            for r in range(cue.repeat):
                self.pending.append((self.start + cue.send_offset(self.start) + r * cue.every,
                                     n, cue))
        self.pending.sort(key=lambda e: (e[0], e[1]))

    def _cue_packet(self, section, n, cue, pcr_u):
        pkt = cue_ts_packet(self.scte_pid, section, self.cc)
        self.cc = (self.cc + 1) & 0x0F
        self.info_cues.append({
            "spec": cue.spec, "index": n, "packet": self.count,
            "pts_time": cue.carried_pts_time(self.start), "pts_adjustment": cue.adj % WRAP,
            "sent_pcr": pcr_u % WRAP, "sent_offset": pcr_u - self.start,
            "section": section.hex()})
        return pkt

    def _process(self, chunk):
        buf = bytearray(chunk)
        parts = []
        last = 0
        n_pk = len(buf) // TS_SIZE
        for k in range(n_pk):
            i = k * TS_SIZE
            if buf[i] != 0x47:
                raise RuntimeError("encoder output lost TS sync")
            pid = ((buf[i + 1] & 0x1F) << 8) | buf[i + 2]
            if pid == NULL_PID:
                if self.due:
                    section, n, cue, pcr_u = self.due.pop(0)
                    buf[i:i + TS_SIZE] = self._cue_packet(section, n, cue, pcr_u)
                self.count += 1
                continue
            p = memoryview(buf)[i:i + TS_SIZE]
            if pid == self.pmt_pid and buf[i + 1] & 0x40:
                self._pmt(p)
            if pid == 0 and self.ghosts and buf[i + 1] & 0x40:
                self._pat(p)
            pcr_u = None
            o = _pcr_offset(p)
            if o >= 0:
                base = _get_pcr_base(p, o)
                if self.delta:
                    base = (base + self.delta) % WRAP
                    _put_pcr_base(p, o, base)
                if pid == self.pcr_pid:
                    pcr_u = self._u(base)
            if self.delta and buf[i + 1] & 0x40 and pid in self.es_pids:
                po, do = _pes_ts_offsets(p)
                if po >= 0:
                    _put_ts(p, po, (_get_ts(p, po) + self.delta) % WRAP)
                if do >= 0:
                    _put_ts(p, do, (_get_ts(p, do) + self.delta) % WRAP)
            p.release()
            self.count += 1
            if pcr_u is not None:
                while self.pending and self.pending[0][0] <= pcr_u:
                    _, n, cue = self.pending.pop(0)
                    section = cue.section(self.start)
                    if self.cbr:
                        self.due.append((section, n, cue, pcr_u))
                    else:
                        parts.append(buf[last:i + TS_SIZE])
                        last = i + TS_SIZE
                        parts.append(self._cue_packet(section, n, cue, pcr_u))
                        self.count += 1
        parts.append(buf[last:n_pk * TS_SIZE])
        for part in parts:
            self.out.write(part)

    def _pmt(self, p):
        o = _payload_offset(p)
        if o < 0:
            return
        o += 1 + p[o]
        slen = ((p[o + 1] & 0x0F) << 8) | p[o + 2]
        if o + 3 + slen > TS_SIZE:
            raise RuntimeError("PMT spans several TS packets")
        old = bytes(p[o:o + 3 + slen])
        if old not in self.pmt_cache:
            self.pmt_cache[old] = _rewrite_pmt(old, self.scte_pid, self.cuei, self.extra_es,
                                               self.pcr_pid_out, self.twice)
        new, self.pcr_pid, streams = self.pmt_cache[old]
        self.es_pids = {pid for _, pid in streams}
        if o + len(new) > TS_SIZE:
            raise RuntimeError("PMT with the SCTE-35 stream does not fit in one TS packet")
        p[o:o + len(new)] = new
        p[o + len(new):] = b"\xff" * (TS_SIZE - o - len(new))

    def _pat(self, p):
        """The PAT with self.ghosts programmes listed ahead of the encoder's,
        whose PMTs never come (numbers 0x7F00 on, PMT PIDs after the PMT's)."""
        o = _payload_offset(p)
        o += 1 + p[o]
        slen = ((p[o + 1] & 0x0F) << 8) | p[o + 2]
        old = bytes(p[o:o + 3 + slen])
        ghosts = b"".join(bytes([0x7F, k, 0xE0 | ((self.pmt_pid + 1 + k) >> 8), (self.pmt_pid + 1 + k) & 0xFF])
                          for k in range(self.ghosts))
        body = old[3:8] + ghosts + old[8:-4]
        data = bytes([old[0], (old[1] & 0xF0) | ((len(body) + 4) >> 8), (len(body) + 4) & 0xFF]) + body
        new = data + crc32_mpeg2(data).to_bytes(4, "big")
        p[o:o + len(new)] = new
        p[o + len(new):] = b"\xff" * (TS_SIZE - o - len(new))

    def finish(self):
        if self.start is None:
            raise RuntimeError("the encoder wrote no video")
        if self.pending:
            raise RuntimeError("cue %r is due after the end of the programme" % self.pending[0][2].spec)
        # CBR cues still waiting for a null packet go at the very end.
        while self.due:
            section, n, cue, pcr_u = self.due.pop(0)
            self.out.write(self._cue_packet(section, n, cue, pcr_u))
            self.count += 1


def _pts_bytes(prefix, v):
    return bytes([(prefix << 4) | (((v >> 30) & 7) << 1) | 1, (v >> 22) & 0xFF,
                  (((v >> 15) & 0x7F) << 1) | 1, (v >> 7) & 0xFF, ((v & 0x7F) << 1) | 1])


def _pes_ts_packet(pid, cc, pts, payload, header_stuffing=0):
    """One TS packet holding a whole private_stream_1 PES (data aligned, with
    a PTS, or none when pts is None) of payload; adaptation-field stuffing
    fills the rest."""
    if pts is None:
        header = bytes([0x84, 0x00, 5 + header_stuffing]) + b"\xff" * (5 + header_stuffing)
    else:
        header = bytes([0x84, 0x80, 5 + header_stuffing]) + _pts_bytes(2, pts) \
            + b"\xff" * header_stuffing
    pes = b"\x00\x00\x01\xbd" + (len(header) + len(payload)).to_bytes(2, "big") + header + payload
    if len(pes) > TS_SIZE - 4:
        raise ValueError("PES of %d bytes does not fit in one TS packet" % len(pes))
    return _ts_packets(pid, pes, cc)[0][0]


def _ts_packet(pid, start, cc, chunk, af=b""):
    """One TS packet of pid: the adaptation field's flags and fields af (or
    none), stuffing to fill, then chunk (at most what is left)."""
    room = TS_SIZE - 4 - len(chunk)
    if not af and room == 0:
        return bytes([0x47, (0x40 if start else 0) | (pid >> 8), pid & 0xFF, 0x10 | (cc & 0x0F)]) + chunk
    fill = room - 1 - len(af)
    if fill < 0:
        raise ValueError("%d bytes do not fit in a TS packet" % len(chunk))
    if not af and fill:
        af = b"\x00"
        fill -= 1
    return bytes([0x47, (0x40 if start else 0) | (pid >> 8), pid & 0xFF, 0x30 | (cc & 0x0F),
                  len(af) + fill]) + af + b"\xff" * fill + chunk


def _ts_packets(pid, data, cc):
    """data (a whole PES) in TS packets of pid from a payload_unit_start,
    adaptation-field stuffing in the last; returns (packets, next cc)."""
    out = []
    for i in range(0, max(len(data), 1), TS_SIZE - 4):
        out.append(_ts_packet(pid, i == 0, cc, data[i:i + TS_SIZE - 4]))
        cc = (cc + 1) & 0x0F
    return out, cc


# A teletext PES as broadcast: a 45-byte PES header, data_identifier 0x10 and
# three 46-byte data units (here stuffing units, id 0xFF), one TS packet.
_TELETEXT_PAYLOAD = b"\x10" + (b"\xff\x2c" + b"\xff" * 44) * 3


class _Layout:
    """Packet-level changes after the rewriter, for layouts the encoder does
    not make: every second video PES of a GOP joined to the one before (one
    PES, two access units), PCRs moved to a PCR-only PID, a teletext PES at
    each video PES and a private-data PES at every tenth (both with the video
    PES's PTS moved by side_offset ticks, or none with untimed), and audio
    moved in mux order by audio_offset ticks (> 0: earlier, < 0: later, on
    the PCR clock). Counts the packets written and where the cue packets
    went."""

    def __init__(self, out, video_pid, audio_pids, scte_pid, pcr_pid=None, pair_pes=False,
                 teletext_pid=None, data_pid=None, audio_offset=0, untimed=False, side_offset=0):
        self.out = out
        self.untimed = untimed
        self.side_offset = side_offset
        self.video_pid = video_pid
        self.audio_pids = set(audio_pids)
        self.scte_pid = scte_pid
        self.pcr_pid = pcr_pid
        self.pair_pes = pair_pes
        self.teletext_pid = teletext_pid
        self.data_pid = data_pid
        self.audio_offset = audio_offset
        self.pes_in_gop = 0
        self.video_pes = 0
        self.cc = {}
        self.clock = None             # last PCR, unwrapped
        self.queues = (collections.deque(), collections.deque())  # [0] others, [1] audio
        self.count = 0
        self.cue_packets = []         # output index of each cue packet, in order

    def _next_cc(self, pid):
        c = self.cc.get(pid, 0)
        self.cc[pid] = (c + 1) & 0x0F
        return c

    def write(self, data):
        for i in range(0, len(data), TS_SIZE):
            p = bytearray(data[i:i + TS_SIZE])
            pid = ((p[1] & 0x1F) << 8) | p[2]
            if pid != self.video_pid:
                self._order(p, pid)
                continue
            pts = None
            if p[1] & 0x40:
                po, _ = _pes_ts_offsets(p)
                pts = _get_ts(p, po) if po >= 0 else None
                if self.pair_pes:
                    p = self._join(p)
            if self.pcr_pid is not None and _pcr_offset(p) >= 0:
                self._order(self._move_pcr(p), self.pcr_pid)
            self._order(p, pid)
            if pts is not None and p[1] & 0x40:
                side_pts = None if self.untimed else (pts + self.side_offset) % WRAP
                if self.teletext_pid is not None:
                    self._order(_pes_ts_packet(self.teletext_pid, self._next_cc(self.teletext_pid),
                                               side_pts, _TELETEXT_PAYLOAD, 31), self.teletext_pid)
                if self.data_pid is not None and self.video_pes % 10 == 0:
                    payload = b"KESTROW DATA" + (self.video_pes // 10).to_bytes(4, "big")
                    self._order(_pes_ts_packet(self.data_pid, self._next_cc(self.data_pid), side_pts,
                                               payload), self.data_pid)
                self.video_pes += 1

    def _join(self, p):
        """The first packet of a video PES; when it is the second of a pair,
        returned without its PES header (the payload goes on the one before),
        adaptation-field stuffing taking the header's place."""
        key = p[3] & 0x20 and p[4] > 0 and p[5] & 0x40
        self.pes_in_gop = 0 if key else self.pes_in_gop + 1
        o = _payload_offset(p)
        if self.pes_in_gop % 2 == 0 or o < 0 or p[o:o + 3] != b"\x00\x00\x01":
            return p
        payload = bytes(p[o + 9 + p[o + 8]:])
        af = bytes(p[5:5 + p[4]]) if p[3] & 0x20 and p[4] > 0 else b"\x00"
        length = TS_SIZE - 5 - len(payload)
        head = bytes([0x47, p[1] & ~0x40 & 0xFF, p[2], 0x30 | (p[3] & 0x0F), length])
        return bytearray(head + af + b"\xff" * (length - len(af)) + payload)

    def _move_pcr(self, p):
        """Takes the PCR out of video packet p (the adaptation field keeps its
        length, stuffing in place of the PCR) and returns a PCR-only packet."""
        pcr = bytes(p[6:12])
        end = 5 + p[4]
        p[5] &= ~0x10 & 0xFF
        p[6:end] = bytes(p[12:end]) + b"\xff" * 6
        pid = self.pcr_pid
        return bytes([0x47, pid >> 8, pid & 0xFF, 0x20, 183, 0x10]) + pcr + b"\xff" * 176

    def _order(self, p, pid):
        o = _pcr_offset(p)
        if o >= 0:
            base = _get_pcr_base(p, o)
            if self.clock is None:
                self.clock = base
            else:
                self.clock += (base - self.clock + WRAP // 2) % WRAP - WRAP // 2
        if not self.audio_offset:
            self._emit(p, pid)
            return
        now = self.clock if self.clock is not None else -WRAP
        audio = pid in self.audio_pids
        delay = max(0, -self.audio_offset) if audio else max(0, self.audio_offset)
        self.queues[audio].append((now + delay, pid, p))
        self._drain(now)

    def _drain(self, now):
        """Writes queued packets in key order while no later packet can come
        before them: a later packet's key is at least now."""
        q = self.queues
        while q[0] or q[1]:
            side = 0 if not q[1] or (q[0] and q[0][0][0] <= q[1][0][0]) else 1
            key = q[side][0][0]
            if key > now and not q[1 - side]:
                return
            _, pid, p = q[side].popleft()
            self._emit(p, pid)

    def _emit(self, p, pid):
        if pid == self.scte_pid:
            self.cue_packets.append(self.count)
        self.out.write(p)
        self.count += 1

    def finish(self):
        self._drain(WRAP * 4)


PES_LENGTHS = ("exact", "short", "long", "boundary")


def _af_fields(p):
    """The adaptation field of packet p without its stuffing bytes: flags
    and fields, or b"" when it has none but stuffing."""
    if not p[3] & 0x20 or p[4] == 0 or not p[5]:
        return b""
    flags = p[5]
    n = 1 + (6 if flags & 0x10 else 0) + (6 if flags & 0x08 else 0) + (1 if flags & 0x04 else 0)
    for bit in (0x02, 0x01):                   # private data, extension: a length byte each
        if flags & bit and n < p[4]:
            n += 1 + p[5 + n]
    return bytes(p[5:5 + min(n, p[4])])


class _PesLies:
    """The video PES as some encoders send them, last in the chain: each PES
    header with stuffing stuffing bytes, and PES_packet_length set by mode:
    "exact" the bytes that follow it up to the next PES start (0 over
    65535); "short" one byte less than those, modulo 65536, the PES ending
    in a zero byte that the length leaves out (as a broadcast encoder sends
    them); "long" one byte more, modulo 65536; "boundary" the bytes up to
    the end of the PES's last but one TS packet, the last one's payload past
    it (a PES of one packet: exact). A PES that grows is sent in more
    packets where its last has no room (adaptation fields kept, continuity
    counted on). Holds the packets from one video PES start to the next;
    counts the packets written and where the cue packets went."""

    def __init__(self, out, video_pid, scte_pid, mode=None, stuffing=0):
        if mode is not None and mode not in PES_LENGTHS:
            raise ValueError("PES length %r: use %s" % (mode, ", ".join(PES_LENGTHS)))
        if not 0 <= stuffing <= 32:
            raise ValueError("PES stuffing %d: give 0 to 32 bytes" % stuffing)
        self.out = out
        self.video_pid = video_pid
        self.scte_pid = scte_pid
        self.mode = mode
        self.stuffing = stuffing
        self.held = []
        self.cc = None                # next continuity counter on the video PID
        self.count = 0
        self.cue_packets = []

    def write(self, data):
        for i in range(0, len(data), TS_SIZE):
            p = bytes(data[i:i + TS_SIZE])
            start = ((p[1] & 0x1F) << 8 | p[2]) == self.video_pid and p[1] & 0x40
            if start:
                self._flush()
            if start or self.held:
                self.held.append(p)
            else:
                self._emit(p)

    def _flush(self):
        held, self.held = self.held, []
        video = [k for k, p in enumerate(held) if ((p[1] & 0x1F) << 8 | p[2]) == self.video_pid
                 and _payload_offset(p) >= 0]
        pes = b"".join(held[k][_payload_offset(held[k]):] for k in video)
        if video and pes[:3] == b"\x00\x00\x01" and len(pes) >= 9:
            grown = self.stuffing + (self.mode == "short")
            if grown:
                h = 9 + pes[8]
                if pes[8] + self.stuffing > 255:
                    raise RuntimeError("PES header of %d bytes has no room for stuffing" % h)
                pes = pes[:8] + bytes([pes[8] + self.stuffing]) + pes[9:h] + b"\xff" * self.stuffing \
                    + pes[h:] + (b"\x00" if self.mode == "short" else b"")
                packets = self._reflow([held[k] for k in video], pes)
            else:
                packets = [held[k] for k in video]
            if self.mode:
                carried = len(pes) - 6
                declared = {"exact": carried if carried <= 0xFFFF else 0, "short": carried - 1,
                            "long": carried + 1}.get(self.mode)
                if declared is None:          # boundary
                    declared = carried
                    if len(packets) > 1:
                        declared -= TS_SIZE - _payload_offset(packets[-1])
                first = bytearray(packets[0])
                o = _payload_offset(first)
                first[o + 4:o + 6] = (declared % 0x10000).to_bytes(2, "big")
                packets[0] = bytes(first)
            last = video[-1]
            for k in video:
                held[k] = packets.pop(0) if k != last else b"".join(packets)
        for p in held:
            for i in range(0, len(p), TS_SIZE):
                self._emit(p[i:i + TS_SIZE])

    def _reflow(self, packets, pes):
        """pes in the places of packets (each keeping its adaptation field's
        fields), more packets after them for what does not fit."""
        out = []
        pos = 0
        for k, p in enumerate(packets):
            af = _af_fields(p)
            chunk = pes[pos:pos + TS_SIZE - 4 - (1 + len(af) if af else 0)]
            if not chunk:
                raise RuntimeError("a video PES shrank when it was given stuffing")
            pos += len(chunk)
            out.append(_ts_packet(self.video_pid, k == 0, 0, chunk, af))
        while pos < len(pes):
            out.append(_ts_packet(self.video_pid, False, 0, pes[pos:pos + TS_SIZE - 4]))
            pos += TS_SIZE - 4
        return out

    def _emit(self, p):
        pid = (p[1] & 0x1F) << 8 | p[2]
        if pid == self.video_pid and p[3] & 0x10:
            if self.cc is None:
                self.cc = p[3] & 0x0F
            p = p[:3] + bytes([(p[3] & 0xF0) | self.cc]) + p[4:]
            self.cc = (self.cc + 1) & 0x0F
        if pid == self.scte_pid:
            self.cue_packets.append(self.count)
        self.out.write(p)
        self.count += 1

    def finish(self):
        self._flush()


# --------------------------------------------------------------------------
# Encoding


def _video_source(pattern, size, fps):
    if pattern.startswith("color:"):
        return "color=c=%s:size=%s:rate=%s" % (pattern[6:], size, fps)
    if pattern.startswith("hue:"):
        return "testsrc2=size=%s:rate=%s,hue=h=%s" % (size, fps, pattern[4:])
    return "%s=size=%s:rate=%s" % (pattern, size, fps)


def _video_input(o):
    """The lavfi graph of the pictures: the pattern at fps, or with moving
    fields at twice fps folded into pictures of two fields (top first, no
    vertical filtering), the fields apart again for coders of fields."""
    if not o["moving_fields"]:
        return _video_source(o["pattern"], o["size"], o["fps"])
    graph = _video_source(o["pattern"], o["size"], Fraction(o["fps"]) * 2) + ",interlace=scan=tff:lowpass=0"
    return graph + (",separatefields" if o["field_coding"] == "field" else "")


FIELD_CODINGS = {"mpeg2": ("frame", "field"), "h264": ("mbaff",), "hevc": ("field",)}


def _check_shape(o):
    """Refuses combinations of the picture-structure and parameter-set
    options that the generator cannot make."""
    codec, coding = o["video_codec"], o["field_coding"]
    if coding is not None and coding not in FIELD_CODINGS.get(codec, ()):
        if codec == "h264" and coding == "paff":
            raise ValueError("H.264 field pictures (PAFF): libx264 codes interlaced frames as MBAFF "
                             "only; use --field-coding mbaff")
        raise ValueError("field coding %r: %s takes %s" % (coding, codec, " or ".join(FIELD_CODINGS[codec])))
    if o["pulldown"] and (codec != "mpeg2" or o["moving_fields"] or coding is not None):
        raise ValueError("--pulldown is for progressive MPEG-2 (24 fps film): without --moving-fields "
                         "or --field-coding")
    if o["pulldown"] and Fraction(o["fps"]) not in (24, Fraction(24000, 1001)):
        raise ValueError("--pulldown is for film at --fps 24 or 24000/1001, not %s" % o["fps"])
    if coding == "field" and codec == "mpeg2" and o["open_gop"]:
        raise ValueError("MPEG-2 field pictures are intra pictures only: leave out --open-gop")
    if (o["pps_ids"] or o["sps_id"] is not None) and codec != "h264":
        raise ValueError("--pps-ids and --sps-id are for H.264")
    if o["sps_id"] is not None and o["video_bitrate"]:
        raise ValueError("--sps-id: the buffering period SEI of --video-bitrate names the SPS too")
    if o["x264_params"] and codec != "h264" or o["x265_params"] and codec != "hevc":
        raise ValueError("--x264-params is for H.264, --x265-params for HEVC")


AUDIO_CODECS = {"aac": "aac", "latm": "aac", "mp2": "mp2", "ac3": "ac3", "eac3": "eac3"}
VIDEO_CODECS = ("h264", "mpeg2", "hevc")


def _channel_layout(channels):
    """The filter that lays a tone out on channels (1: none, the tone is mono)."""
    layouts = {1: "", 2: ",aformat=channel_layouts=stereo", 6: ",aformat=channel_layouts=5.1"}
    if channels not in layouts:
        raise ValueError("audio channels %r: use 1, 2 or 6" % channels)
    return layouts[channels]


def _audio_list(text):
    """"aac:eng,mp2" to [("aac", "eng"), ("mp2", None)]."""
    if text in ("", "none"):
        return []
    out = []
    for item in text.split(","):
        codec, _, lang = item.partition(":")
        if codec not in AUDIO_CODECS:
            raise ValueError("audio codec %r: use aac, latm, mp2, ac3 or eac3" % codec)
        if lang and len(lang) != 3:
            raise ValueError("audio language %r: give a 3-letter ISO 639-2 code" % lang)
        out.append((codec, lang or None))
    if {"aac", "latm"} <= {c for c, _ in out}:
        raise ValueError("the muxer sends every AAC stream as ADTS or every one as LATM")
    return out


def _video_args(o):
    codec, gop, bf = o["video_codec"], str(o["gop"]), str(o["bframes"])
    rate = []
    if o["video_bitrate"]:
        r = str(o["video_bitrate"])
        rate = ["-b:v", r, "-minrate", r, "-maxrate", r, "-bufsize", r]
    if codec == "mpeg2":
        if o["field_coding"] == "field":
            # Intra pictures of one field each, edited into field pictures (kestrow_es.Mpeg2Fields).
            return ["-c:v", "mpeg2video", "-pix_fmt", "yuv420p", "-g", "1", "-bf", "0"] + (rate or ["-q:v", "4"])
        # Interlaced coding, top field first, as broadcast; +cgop closes GOPs. Film for pulldown
        # is coded progressive.
        flags = ("" if o["pulldown"] else "+ilme+ildct") + ("" if o["open_gop"] else "+cgop")
        args = ["-c:v", "mpeg2video", "-pix_fmt", "yuv420p", "-g", gop, "-bf", bf,
                "-sc_threshold", "1000000000"] + (["-flags", flags] if flags else []) \
            + ([] if o["pulldown"] else ["-top", "1"])
        return args + (rate or ["-q:v", "4"])
    if codec == "hevc":
        if o["field_coding"] == "field":
            # x265 codes each field as a picture, pic_struct in a picture timing SEI: GOP in fields.
            gop = str(2 * o["gop"])
        x265 = "log-level=error:pools=1:frame-threads=1:keyint=%s:min-keyint=%s:scenecut=0:bframes=%s:b-adapt=0:open-gop=%d" \
            % (gop, gop, bf, 1 if o["open_gop"] else 0)
        if o["field_coding"] == "field":
            x265 += ":interlace=tff"
        if o["x265_params"]:
            x265 += ":" + o["x265_params"]
        return ["-c:v", "libx265", "-preset", o["preset"], "-pix_fmt", "yuv420p"] + rate \
            + ["-x265-params", x265]
    if o["open_gop"] and o["bframes"] < 1:
        raise ValueError("open GOPs need B-frames (--bframes 1 or more)")
    args = ["-c:v", "libx264", "-preset", o["preset"], "-pix_fmt", "yuv420p",
            "-g", gop, "-keyint_min", gop, "-sc_threshold", "0", "-bf", bf]
    x264 = "scenecut=0:open-gop=%d:b-adapt=0" % (1 if o["open_gop"] else 0)
    if rate:
        x264 += ":nal-hrd=cbr"
    if o["field_coding"] == "mbaff":
        # The pictures come from the lavfi device without their field order: -top sets it (with +ildct).
        args += ["-flags", "+ildct", "-top", "1"]
        x264 += ":interlaced=1:tff=1:pic-struct=1"
    if o["x264_params"]:
        x264 += ":" + o["x264_params"]
    if o["skip_keys"]:
        # Key frames forced on the GOP's grid but where left out; the GOP over one of them is twice as long.
        fps = Fraction(o["fps"])
        skip = "".join("*not(eq(n,%d))" % round(float(t) * fps) for t in o["skip_keys"])
        args[args.index("-g") + 1] = str(2 * o["gop"])
        args += ["-force_key_frames", "expr:eq(mod(n,%s),0)%s" % (gop, skip)]
    return args + rate + ["-x264-params", x264]


def _pgs_subtitles(path, size, duration):
    """Writes a bitmap subtitle file (one 64x16 box shown for 0.5 s every
    second) for the encoder to turn into DVB subtitles."""
    w, h = (int(v) for v in size.split("x"))

    def seg(pts, kind, body):
        return b"PG" + pts.to_bytes(4, "big") + bytes(4) + bytes([kind]) \
            + len(body).to_bytes(2, "big") + body

    def u16(*vals):
        return b"".join(v.to_bytes(2, "big") for v in vals)
    x, y = 16, max(0, h - 32)
    window = bytes([1, 0]) + u16(x, y, 64, 16)
    data = u16(64, 16) + bytes([0, 0xC0, 64, 1, 0, 0]) * 16      # colour 1, 64 wide
    out = b""
    for k in range(int(duration) + 1):
        on, off = k * TICKS, k * TICKS + TICKS // 2
        out += seg(on, 0x16, u16(w, h) + bytes([0x10]) + u16(2 * k) + bytes([0x80, 0, 0, 1])
                   + u16(0) + bytes([0, 0]) + u16(x, y))
        out += seg(on, 0x17, window)
        out += seg(on, 0x14, bytes([0, 0, 1, 235, 128, 128, 255]))
        out += seg(on, 0x15, u16(0) + bytes([0, 0xC0]) + len(data).to_bytes(3, "big") + data)
        out += seg(on, 0x80, b"")
        out += seg(off, 0x16, u16(w, h) + bytes([0x10]) + u16(2 * k + 1) + bytes([0, 0, 0, 0]))
        out += seg(off, 0x17, window)
        out += seg(off, 0x80, b"")
    with open(path, "wb") as f:
        f.write(out)


def _gop(value, fps):
    """--gop as frames: an integer, or seconds with "s" ("0.6s": 15 at 25
    frames per second)."""
    text = str(value).strip()
    if text.endswith("s"):
        frames = round(float(text[:-1]) * Fraction(fps))
    else:
        frames = int(text)
    if frames < 1:
        raise ValueError("GOP %s: give at least one frame" % value)
    return frames


def _mux_delay(value):
    """--mux-delay as seconds (0 to 10), "default" or None kept."""
    if value in (None, "default"):
        return value
    sec = float(value)
    if not 0 <= sec <= 10:
        raise ValueError("mux delay %s: give 0 to 10 seconds or default" % value)
    return sec


# Stands for the edited video's file in the command that muxes it (the
# command, with it, is the encoding's cache key).
EDITED_VIDEO = "kestrow-edited-video.ts"
_ONLY_VIDEO_PID = 0x100


def _es_editor(o):
    """(what, make) of the elementary-stream edit the options ask for:
    a text naming it and a function returning a kestrow_es editor; or None."""
    import kestrow_es
    if o["pulldown"]:
        return "pulldown %s" % o["fps"], lambda: kestrow_es.Mpeg2Pulldown(o["fps"])
    if o["field_coding"] == "field" and o["video_codec"] == "mpeg2":
        return "fields %d %s" % (o["gop"], o["fps"]), lambda: kestrow_es.Mpeg2Fields(o["gop"], o["fps"])
    if o["pps_ids"] or o["sps_id"] is not None:
        return "ids %s %s" % (o["pps_ids"], o["sps_id"]), lambda: kestrow_es.H264Ids(o["pps_ids"], o["sps_id"])
    return None


def _video_command(o):
    """The ffmpeg command that encodes the video alone, to a transport
    stream on standard output (video PID 0x100), for an edit."""
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-filter_threads", "1",
            "-f", "lavfi", "-i", _video_input(o), "-map", "0:v", "-t", str(o["duration"]),
            "-threads", "1"] + _video_args(o) + ["-streamid", "0:%d" % _ONLY_VIDEO_PID, "-f", "mpegts", "pipe:1"]


def _ffmpeg_command(o, subtitle_file=None, edited=False):
    """The ffmpeg command that writes the programme's transport stream to
    standard output; edited: its video copied from EDITED_VIDEO."""
    audio = _audio_list(o["audio"])
    if len(audio) > len(o["audio_pids"]):
        raise ValueError("%d audio streams but %d audio PIDs" % (len(audio), len(o["audio_pids"])))
    if o["video_codec"] not in VIDEO_CODECS:
        raise ValueError("video codec %r: use h264, mpeg2 or hevc" % o["video_codec"])
    # One thread per encoding: the programmes are small, and tests that generate them run side by side
    # with the real-time programs they test.
    cmd = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-filter_threads", "1"]
    cmd += ["-i", EDITED_VIDEO] if edited else ["-f", "lavfi", "-i", _video_input(o)]
    for i in range(len(audio)):
        cmd += ["-f", "lavfi", "-i", "sine=frequency=%g:sample_rate=%d%s"
                % (o["tone"] * (1 + i / 2), o["sample_rate"], _channel_layout(o["audio_channels"]))]
    if subtitle_file:
        cmd += ["-fix_sub_duration", "-i", subtitle_file]
    cmd += ["-map", "0:v"]
    for i in range(len(audio)):
        cmd += ["-map", "%d:a" % (i + 1)]
    if subtitle_file:
        cmd += ["-map", "%d:s" % (len(audio) + 1), "-c:s", "dvbsub"]
        if o["subtitles"]:
            cmd += ["-metadata:s:s:0", "language=" + o["subtitles"]]
    cmd += ["-t", str(o["duration"]), "-threads", "1"] + (["-c:v", "copy"] if edited else _video_args(o))
    for i, (codec, lang) in enumerate(audio):
        cmd += ["-c:a:%d" % i, AUDIO_CODECS[codec], "-b:a:%d" % i, str(o["audio_bitrate"])]
        if lang:
            cmd += ["-metadata:s:a:%d" % i, "language=" + lang]
    cmd += ["-streamid", "0:%d" % o["video_pid"]]
    for i in range(len(audio)):
        cmd += ["-streamid", "%d:%d" % (i + 1, o["audio_pids"][i])]
    if subtitle_file:
        cmd += ["-streamid", "%d:%d" % (len(audio) + 1, o["subtitle_pid"])]
    cmd += ["-f", "mpegts", "-mpegts_pmt_start_pid", str(o["pmt_pid"]),
            "-mpegts_service_id", str(o["program_number"]),
            "-mpegts_transport_stream_id", str(o["ts_id"]),
            "-pes_payload_size", str(o["pes_payload_size"])]
    flags = ("+latm" if any(c == "latm" for c, _ in audio) else "") + ("+system_b" if o["dvb"] else "")
    if flags:
        cmd += ["-mpegts_flags", flags]
    if o["muxrate"]:
        cmd += ["-muxrate", str(_rate(o["muxrate"]))]
    if o["mux_delay"] not in (None, "default"):
        cmd += ["-muxdelay", str(_mux_delay(o["mux_delay"]))]
    cmd += ["pipe:1"]
    return cmd


DEFAULTS = {
    "duration": 10.0, "size": "320x240", "fps": "25", "gop": 25, "bframes": 2,
    "preset": "ultrafast", "video_bitrate": None, "audio": "aac,mp2",
    "audio_bitrate": "128k", "sample_rate": 48000, "audio_channels": 1, "video_pid": 0x100,
    "audio_pids": [0x101, 0x102], "scte_pid": None, "pmt_pid": 0x1000,
    "cuei": True, "pattern": None, "tone": None, "filler": False,
    "start_pts": None, "muxrate": None, "pes_payload_size": 0, "cues": [],
    "video_codec": "h264", "open_gop": False, "skip_keys": [], "program_number": 1, "ts_id": 1,
    "pcr_pid": None, "silent_pids": [], "subtitles": None, "subtitle_pid": 0x120,
    "teletext": None, "teletext_pid": 0x121, "data_pid": None, "dvb": False,
    "two_au_pes": False, "audio_offset_ms": 0, "spot": None, "mux_delay": None,
    "untimed_pes": False, "side_offset": 0, "pmt_twice": None, "ghost_programs": 0,
    "moving_fields": False, "field_coding": None, "pulldown": False, "x264_params": None,
    "x265_params": None, "pps_ids": None, "sps_id": None, "pes_length": None, "pes_stuffing": 0,
}


def spot_look(name):
    """(pattern, tone) of the spot called name: an index 0-49 gives each its
    own; any other name is hashed to one of them. The hue is never the
    programme's (0) and the tones are none of the programme's or filler's."""
    k = int(name) if str(name).isdigit() else zlib.crc32(str(name).encode())
    return "hue:%d" % (30 + k * 67 % 300), 2000.0 + 40 * (k % 50)


def _silent_pid(text):
    """"PID[:TYPE]" to (pid, stream_type), the type 0x0F (AAC) by default."""
    pid, _, kind = str(text).partition(":")
    return _pid(pid), int(kind, 0) if kind else 0x0F


def _set_look(o):
    """The pattern, tones and SCTE-35 PID of a programme, a filler or a spot
    where the options leave them open."""
    look = ("smptebars", 440.0) if o["filler"] else ("testsrc2", 1000.0)
    if o["spot"] is not None:
        if o["open_gop"]:
            raise ValueError("spots have closed GOPs: leave out --open-gop")
        look = spot_look(o["spot"])
    if o["pattern"] is None:
        o["pattern"] = look[0]
    if o["tone"] is None:
        o["tone"] = look[1]
    if o["scte_pid"] is None:
        o["scte_pid"] = 0 if o["filler"] or o["spot"] is not None else 0x590


def _run_encoder(cmd, dest):
    with open(dest, "wb") as out:
        res = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE)
    if res.returncode != 0:
        os.unlink(dest)
        raise RuntimeError("ffmpeg failed: %s" % res.stderr.decode(errors="replace").strip())


def _run_edited(cmd, edit, dest):
    """Encodes the video alone (edit's command), edits it (kestrow_es), then
    runs cmd on the edited video."""
    import kestrow_es
    video_cmd, _, make = edit
    raw, edited = dest + ".video", dest + ".edited"
    try:
        _run_encoder(video_cmd, raw)
        kestrow_es.rewrite_ts(raw, edited, _ONLY_VIDEO_PID, make())
        _run_encoder([edited if a == EDITED_VIDEO else a for a in cmd], dest)
    finally:
        for f in (raw, edited):
            if os.path.exists(f):
                os.unlink(f)


def _encode(cmd, subs, path, edit=None):
    """Runs the encoder (with edit, (video command, what, make) from
    _es_editor(): the video encoded, edited and muxed); returns the file its
    output is in and whether that file is a scratch copy for the caller to
    remove. With KESTROW_GEN_CACHE naming a folder, the output is kept there
    under a hash of the command (and of the subtitle file's bytes, the video
    command, the edit and the editor's code) and read back by the next run
    with the same command: tests generate the same pictures and tones again
    and again with other cues and layouts, and encoding is most of the work.
    Runs that want the same output at once wait for the first (a lock per
    command)."""
    def run(dest):
        if edit:
            _run_edited(cmd, edit, dest)
        else:
            _run_encoder(cmd, dest)
    cache = os.environ.get("KESTROW_GEN_CACHE")
    if not cache:
        run(path + ".enc")
        return path + ".enc", True
    ident = [a if a != subs else "sup:" + hashlib.sha256(open(subs, "rb").read()).hexdigest() for a in cmd]
    st = os.stat(shutil.which("ffmpeg"))
    ident.append("%d:%d" % (st.st_size, st.st_mtime_ns))
    if edit:
        import kestrow_es
        with open(kestrow_es.__file__, "rb") as f:
            code = hashlib.sha256(f.read()).hexdigest()
        ident += ["edit"] + edit[0] + [edit[1], code]
    dest = os.path.join(cache, hashlib.sha256("\0".join(ident).encode()).hexdigest()[:32] + ".ts")
    os.makedirs(cache, exist_ok=True)
    with open(dest + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(dest):
            run(dest + ".part")
            os.replace(dest + ".part", dest)
    return dest, False


def generate(path, **options):
    """Writes the programme to path (see the module text for the options; the
    keyword names are the long options with '_', cues as a list of SPEC
    strings or Cue objects). Returns a summary dict: start (pts of the first
    video frame), packets, and per cue its section (hex), pts_time, the PCR
    after which it was sent and its packet index."""
    unknown = set(options) - set(DEFAULTS)
    if unknown:
        raise TypeError("unknown options: %s" % ", ".join(sorted(unknown)))
    o = dict(DEFAULTS)
    o.update(options)
    _set_look(o)
    o["gop"] = _gop(o["gop"], o["fps"])
    if o["field_coding"] is not None:
        o["moving_fields"] = True
    _check_shape(o)
    cues = [c if isinstance(c, Cue) else Cue(c, n + 1) for n, c in enumerate(o["cues"])]
    if cues and not o["scte_pid"]:
        raise ValueError("cues need an SCTE-35 PID")
    start_pts = o["start_pts"]
    if isinstance(start_pts, str):
        start_pts = _int_expr(start_pts)
    if start_pts is not None:
        start_pts %= WRAP
    audio = _audio_list(o["audio"])
    silent = [p if isinstance(p, tuple) else _silent_pid(p) for p in o["silent_pids"]]
    pcr_pid = o["pcr_pid"]
    if isinstance(pcr_pid, str):
        pcr_pid = NULL_PID if pcr_pid == "none" else _pid(pcr_pid)
    if pcr_pid == o["video_pid"]:
        pcr_pid = None
    pids = {"video": o["video_pid"], "PMT": o["pmt_pid"], "SCTE-35": o["scte_pid"],
            "subtitle": o["subtitle_pid"] if o["subtitles"] is not None else 0,
            "teletext": o["teletext_pid"] if o["teletext"] is not None else 0,
            "data": o["data_pid"] or 0,
            "PCR": pcr_pid if pcr_pid not in (None, NULL_PID) else 0}
    for i in range(len(audio)):
        pids["audio %d" % (i + 1)] = o["audio_pids"][i]
    for i, (pid, _) in enumerate(silent):
        pids["silent %d" % (i + 1)] = pid
    seen = {}
    for name, pid in pids.items():
        if not pid:
            continue
        if not 0x10 <= pid < NULL_PID:
            raise ValueError("PID 0x%x is reserved or out of range" % pid)
        if pid in seen:
            raise ValueError("%s PID and %s PID are both 0x%x" % (seen[pid], name, pid))
        seen[pid] = name
    for name in ("program_number", "ts_id"):
        if not 1 <= int(o[name]) <= 0xFFFF:
            raise ValueError("%s %s: give 1 to 65535" % (name.replace("_", " "), o[name]))
    for name in ("subtitles", "teletext"):
        if o[name] is not None and len(o[name]) != 3:
            raise ValueError("%s language %r: give a 3-letter ISO 639-2 code" % (name, o[name]))
    extra = [(kind, pid, b"") for pid, kind in silent]
    if o["teletext"] is not None:
        # teletext_descriptor: language, initial page (type 1) of magazine 1, page 00
        extra.append((0x06, o["teletext_pid"], bytes([0x56, 5]) + o["teletext"].encode() + b"\x09\x00"))
    if o["data_pid"]:
        extra.append((0x06, o["data_pid"], b""))
    offset = int(round(float(o["audio_offset_ms"]) * TICKS / 1000))
    layout = (pcr_pid not in (None, NULL_PID) or o["two_au_pes"] or o["teletext"] is not None
              or o["data_pid"] or offset)
    if shutil.which("ffmpeg") is None:
        raise RuntimeError("the ffmpeg command is not installed")

    tmp = path + ".part"
    subs = path + ".sup" if o["subtitles"] is not None else None
    if subs:
        _pgs_subtitles(subs, o["size"], o["duration"])
    edit = _es_editor(o)
    cmd = _ffmpeg_command(o, subs, edited=edit is not None)
    if edit:
        edit = (_video_command(o),) + edit
    lies = o["pes_length"] is not None or o["pes_stuffing"]
    encoded = None
    try:
        encoded, scratch = _encode(cmd, subs, path, edit)
        with open(tmp, "wb") as out, open(encoded, "rb") as src:
            sink = out
            if lies:
                sink = lies = _PesLies(out, o["video_pid"], o["scte_pid"], o["pes_length"],
                                       int(o["pes_stuffing"]))
            last = lies
            if layout:
                sink = last = _Layout(sink, o["video_pid"], o["audio_pids"][:len(audio)], o["scte_pid"],
                               pcr_pid if pcr_pid != NULL_PID else None, o["two_au_pes"],
                               o["teletext_pid"] if o["teletext"] is not None else None,
                               o["data_pid"], offset, o["untimed_pes"], round(o["side_offset"] * TICKS))
            rw = _Rewriter(sink, o["video_pid"], o["pmt_pid"], o["scte_pid"], o["cuei"],
                           start_pts, cues, bool(o["muxrate"]), extra, pcr_pid, o["pmt_twice"],
                           int(o["ghost_programs"]))
            rest = b""
            while True:
                data = src.read(TS_SIZE * 2048)
                if not data:
                    break
                data = rest + data
                cut = len(data) - len(data) % TS_SIZE
                rw.feed(data[:cut])
                rest = data[cut:]
            if rest:
                raise RuntimeError("encoder output is not a whole number of TS packets")
            rw.finish()
            if layout:
                last.finish()
            if lies:
                lies.finish()
                last = lies
            if last:
                rw.count = last.count
                for cue, index in zip(rw.info_cues, last.cue_packets):
                    cue["packet"] = index
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    finally:
        if subs and os.path.exists(subs):
            os.unlink(subs)
        if encoded and scratch and os.path.exists(encoded):
            os.unlink(encoded)
    return {"path": path, "start": rw.start, "packets": rw.count,
            "video_pid": o["video_pid"], "audio_pids": list(o["audio_pids"]),
            "scte_pid": o["scte_pid"], "pmt_pid": o["pmt_pid"],
            "program_number": o["program_number"], "ts_id": o["ts_id"],
            "pcr_pid": o["video_pid"] if pcr_pid is None else pcr_pid,
            "pattern": o["pattern"], "tone": o["tone"],
            "cues": rw.info_cues, "command": cmd}


# --------------------------------------------------------------------------
# Reading kestrow_check's output


# kestrow_check's output by (binary, arguments, file identity): a test reads
# the same filler and programme again for each break and each row, and the
# checker's start-up under the sanitizers costs more than its reading.
_checked = {}


def checker_env():
    """The environment kestrow_check runs in: a sanitizer build's leak scan
    at exit is left out (it took half of each run's time; the process ends
    there), its other checks stay."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    return env


def check(path, *args, binary=None):
    """Runs kestrow_check on path and parses its tab-separated output into
    {"programs": [...], "streams": [...], "packets": [...], "end": {...}} (or
    {"cc": {pid: (packets, errors)}, "total": ...} with "--cc", or "ts_id",
    "programs", "es": [...], "pids": {pid: {...}} and "total" with "--layout").
    A file not changed since it was last checked with the same arguments is
    not read again."""
    if binary is None:
        binary = os.path.join(os.environ.get("KESTROW_TOOLS_BIN", ""), "kestrow_check")
    st = os.stat(path)
    key = (binary, args, os.path.realpath(path), st.st_ino, st.st_size, st.st_mtime_ns)
    if key not in _checked:
        res = subprocess.run([binary] + list(args) + [path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=120, env=checker_env())
        if res.returncode not in (0, 1):
            raise RuntimeError("kestrow_check failed (%d): %s" % (res.returncode,
                                                                  res.stderr.decode(errors="replace")))
        if len(_checked) >= 64:
            _checked.clear()
        _checked[key] = res.stdout.decode()
    return parse_check(_checked[key])


def _num(t):
    return None if t in ("-", "NOPTS") else int(t, 0)


def parse_check(text):
    lines = text.splitlines()
    if not lines or lines[0] != "kestrow_check\t1":
        raise ValueError("not kestrow_check output")
    r = {"programs": [], "streams": [], "packets": [], "cc": {}, "end": None, "total": None,
         "ts_id": None, "es": [], "pids": {}}
    for line in lines[1:]:
        f = line.split("\t")
        kind = f[0]
        if kind == "program":
            r["programs"].append({"number": int(f[1]), "pmt_pid": _num(f[2]), "pcr_pid": _num(f[3]),
                                  "descriptors": [] if f[4] == "-" else f[4].split(",")})
        elif kind == "stream":
            r["streams"].append({"index": int(f[1]), "pid": _num(f[2]), "stream_type": _num(f[3]),
                                 "codec": f[4], "media": f[5], "time_base": f[6],
                                 "descriptors": [] if f[7] == "-" else f[7].split(",")})
        elif kind == "packet":
            r["packets"].append({"index": int(f[1]), "pid": _num(f[2]), "stream_type": _num(f[3]),
                                 "codec": f[4], "pts": _num(f[5]), "dts": _num(f[6]),
                                 "duration": int(f[7]), "key": f[8] == "1", "size": int(f[9]),
                                 "hash": f[10], "pos": _num(f[11]),
                                 "data": None if f[12] == "-" else bytes.fromhex(f[12])})
        elif kind == "end":
            r["end"] = {"packets": int(f[1]), "status": f[2]}
        elif kind == "ts":
            r["ts_id"] = _num(f[1])
        elif kind == "es":
            r["es"].append({"program": int(f[1]), "pid": _num(f[2]), "stream_type": _num(f[3]),
                            "languages": [] if f[4] == "-" else f[4].split("+"),
                            "packets": int(f[5]),
                            "descriptors": [] if f[6] == "-" else f[6].split(",")})
        elif kind == "pid":
            r["pids"][int(f[1], 0)] = {"packets": int(f[2]), "unit_starts": int(f[3]),
                                       "pcrs": int(f[4]), "pcr_interval": _num(f[5])}
        elif kind == "cc":
            r["cc"][int(f[1], 0)] = (int(f[2]), int(f[3]))
        elif kind == "total":
            r["total"] = {"packets": int(f[1]), "errors": int(f[2]), "sync_losses": int(f[3])}
    return r


# --------------------------------------------------------------------------
# Command line


def _parser():
    ap = argparse.ArgumentParser(
        prog="kestrow_gen.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("output")
    ap.add_argument("--duration", type=float, default=DEFAULTS["duration"])
    ap.add_argument("--size", default=DEFAULTS["size"])
    ap.add_argument("--fps", default=DEFAULTS["fps"])
    ap.add_argument("--gop", default=DEFAULTS["gop"])
    ap.add_argument("--skip-key", dest="skip_keys", type=float, action="append", default=[])
    ap.add_argument("--bframes", type=int, default=DEFAULTS["bframes"])
    ap.add_argument("--preset", default=DEFAULTS["preset"])
    ap.add_argument("--video-bitrate")
    ap.add_argument("--audio", default=DEFAULTS["audio"])
    ap.add_argument("--audio-bitrate", default=DEFAULTS["audio_bitrate"])
    ap.add_argument("--sample-rate", type=int, default=DEFAULTS["sample_rate"])
    ap.add_argument("--audio-channels", type=int, default=DEFAULTS["audio_channels"])
    ap.add_argument("--video-pid", type=_pid, default=DEFAULTS["video_pid"])
    ap.add_argument("--audio-pids", type=lambda s: [_pid(x) for x in s.split(",")],
                    default=DEFAULTS["audio_pids"])
    ap.add_argument("--scte-pid", type=lambda s: int(s, 0))
    ap.add_argument("--pmt-pid", type=_pid, default=DEFAULTS["pmt_pid"])
    ap.add_argument("--no-cuei", dest="cuei", action="store_false")
    ap.add_argument("--pattern")
    ap.add_argument("--tone", type=float)
    ap.add_argument("--filler", action="store_true")
    ap.add_argument("--spot")
    ap.add_argument("--start-pts")
    ap.add_argument("--muxrate")
    ap.add_argument("--pes-payload-size", type=int, default=DEFAULTS["pes_payload_size"])
    ap.add_argument("--mux-delay", type=_mux_delay)
    ap.add_argument("--cue", action="append", default=[], dest="cues")
    ap.add_argument("--video-codec", choices=VIDEO_CODECS, default=DEFAULTS["video_codec"])
    ap.add_argument("--open-gop", action="store_true")
    ap.add_argument("--moving-fields", action="store_true")
    ap.add_argument("--field-coding")
    ap.add_argument("--pulldown", action="store_true")
    ap.add_argument("--x264-params")
    ap.add_argument("--x265-params")
    ap.add_argument("--pps-ids", type=lambda s: [int(x, 0) for x in s.split(",")])
    ap.add_argument("--sps-id", type=lambda s: int(s, 0))
    ap.add_argument("--pes-length", choices=PES_LENGTHS)
    ap.add_argument("--pes-stuffing", type=int, default=DEFAULTS["pes_stuffing"])
    ap.add_argument("--program-number", type=lambda s: int(s, 0), default=DEFAULTS["program_number"])
    ap.add_argument("--ts-id", type=lambda s: int(s, 0), default=DEFAULTS["ts_id"])
    ap.add_argument("--pcr-pid")
    ap.add_argument("--silent-pid", action="append", default=[], dest="silent_pids",
                    type=_silent_pid)
    ap.add_argument("--subtitles")
    ap.add_argument("--subtitle-pid", type=_pid, default=DEFAULTS["subtitle_pid"])
    ap.add_argument("--teletext")
    ap.add_argument("--teletext-pid", type=_pid, default=DEFAULTS["teletext_pid"])
    ap.add_argument("--data-pid", type=_pid)
    ap.add_argument("--dvb", action="store_true")
    ap.add_argument("--two-au-pes", action="store_true")
    ap.add_argument("--untimed-pes", action="store_true")
    ap.add_argument("--side-offset", type=float, default=DEFAULTS["side_offset"])
    ap.add_argument("--pmt-twice", type=_pid)
    ap.add_argument("--ghost-programs", type=int, default=0)
    ap.add_argument("--audio-offset-ms", type=float, default=DEFAULTS["audio_offset_ms"])
    ap.add_argument("--programs", type=int)
    ap.add_argument("--program", action="append", default=[], dest="program_settings")
    ap.add_argument("--utc", default="2024-03-01T12:00:00")
    ap.add_argument("--network-id", type=lambda s: int(s, 0), default=0xFF01)
    ap.add_argument("--seed", default="1")
    ap.add_argument("--emm-pid", type=_pid, default=0x1FF0)
    ap.add_argument("--restart", action="append", default=[], dest="restarts")
    ap.add_argument("--outage", action="append", default=[], dest="outages")
    ap.add_argument("--split")
    ap.add_argument("--info", action="store_true")
    return ap


MUX_OPTIONS = ("programs", "program_settings", "utc", "network_id", "seed", "emm_pid")


def build(output, restarts=(), outages=(), split=None, **options):
    """Writes what the command line asks for: one programme (generate()), a
    multiplex (kestrow_mux.multiplex(), when the options name programmes) or
    a programme whose source restarts (kestrow_mux.restarted()); then drops
    the outages and splits the file (kestrow_mux.cut()). Returns the
    summary."""
    import kestrow_mux
    mux = {k: options.pop(k) for k in MUX_OPTIONS if k in options}
    programs = mux.pop("programs", None)
    if mux.get("program_settings") and not programs:
        programs = max(kestrow_mux.programme_settings(s)[0] for s in mux["program_settings"])
    if programs and restarts:
        raise ValueError("--restart is for one programme, not a multiplex")
    if not programs and any((c if isinstance(c, Cue) else Cue(c)).programme != 1
                            for c in options.get("cues", ())):
        raise ValueError("a cue with prog= needs --programs")
    if programs:
        info = kestrow_mux.multiplex(output, programs, **mux, **options)
    elif restarts:
        info = kestrow_mux.restarted(output, restarts, **options)
    else:
        info = generate(output, **options)
    if outages or split:
        kestrow_mux.cut(output, info, outages, split)
    return info


def main(argv=None):
    ap = _parser()
    a = ap.parse_args(argv)
    opts = vars(a)
    info_wanted = opts.pop("info")
    output = opts.pop("output")
    try:
        opts["cues"] = [Cue(s, n + 1) for n, s in enumerate(opts["cues"])]
        info = build(output, **opts)
    except (ValueError, RuntimeError, OSError) as e:
        print("kestrow_gen: %s" % e, file=sys.stderr)
        return 1
    if info_wanted:
        json.dump(info, sys.stdout, indent=1)
        sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    # Run as the module kestrow_mux imports, so that both see the same classes.
    import kestrow_gen
    sys.exit(kestrow_gen.main())
