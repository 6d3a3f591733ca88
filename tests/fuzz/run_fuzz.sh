#!/usr/bin/env bash
# Runs a libFuzzer target for KESTROW_FUZZ_SECONDS (default 10) on seeds made
# at run time:
#   run_fuzz.sh SOURCE_DIR WORK_DIR [scte35|ts_out|ts_in|h264_join|opts|schedule|demo|all] [libFuzzer flags...]
# The target is first brought up to date in a clang++ build of
# tests/fuzz/targets, KESTROW_FUZZ_BUILD (default WORK_DIR/build); "all" only
# builds every target. KESTROW_FUZZ_CORPUS names a corpus folder kept across
# runs (default WORK_DIR/corpus, emptied each run).
# Findings go to WORK_DIR and fail the run; exits 77 (skipped) without clang++.
set -euo pipefail

src=$(cd "${1:?source dir}" && pwd)
mkdir -p "${2:?work dir}"
work=$(cd "$2" && pwd)
target=${3:-scte35}
shift $(( $# < 3 ? $# : 3 ))
seconds=${KESTROW_FUZZ_SECONDS:-10}

flags=()
timeout=10
rss=1024
case "$target" in
    scte35) max_len=512 ;;
    ts_out) max_len=8192 ;;
    # A few hundred packets: the PAT, PMTs and CAT of a multiplex come within them.
    ts_in) max_len=131072 ;;
    schedule) max_len=16384 ;;
    h264_join) max_len=65536 ;;
    # Long enough for lines cut into 4095-byte pieces and for many lines.
    opts) max_len=16384
          flags=(-dict="$src/tests/fuzz/opts.dict") ;;
    # A few hundred TS packets; the muxer's constant rate can make the output
    # of a mutated file large and slow, hence the longer timeout.
    demo) max_len=200000
          timeout=60
          rss=2048 ;;
    all) ;;
    *) echo "run_fuzz: unknown target $target" >&2; exit 2 ;;
esac

cxx=""
for c in clang++-14 clang++; do
    if command -v "$c" >/dev/null 2>&1; then
        cxx=$c
        break
    fi
done
if [ -z "$cxx" ]; then
    echo "run_fuzz: clang++ not found, skipping"
    [ "$target" = all ] && exit 0
    exit 77
fi
# Brought up to date under a lock: the fuzz tests share one build.
fuzz_build=${KESTROW_FUZZ_BUILD:-$work/build}
mkdir -p "$fuzz_build"
fuzz_build=$(cd "$fuzz_build" && pwd)
[ "$target" = all ] && goal=all || goal="fuzz_$target"
(
    flock 9
    if [ ! -f "$fuzz_build/CMakeCache.txt" ]; then
        cmake -S "$src/tests/fuzz/targets" -B "$fuzz_build" -DCMAKE_CXX_COMPILER="$cxx" \
            >"$fuzz_build/configure.log" || { cat "$fuzz_build/configure.log"; exit 1; }
    fi
    cmake --build "$fuzz_build" -j "$(nproc)" --target "$goal" >"$fuzz_build/build.log" 2>&1 ||
        { tail -50 "$fuzz_build/build.log"; exit 1; }
) 9>"$fuzz_build/.lock"
[ "$target" != all ] || exit 0
bin="$fuzz_build/fuzz_$target"

# Seeds are made afresh at each run; the corpus is fresh unless kept.
seeds="$work/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
if [ -n "${KESTROW_FUZZ_CORPUS:-}" ]; then
    mkdir -p "$KESTROW_FUZZ_CORPUS"
    corpus=$(cd "$KESTROW_FUZZ_CORPUS" && pwd)
else
    corpus="$work/corpus"
    rm -rf "$corpus"
    mkdir -p "$corpus"
fi
run_dir="$work"

case "$target" in
    scte35)
        python3 "$src/tests/fuzz/make_seeds.py" "$seeds" ;;
    opts)
        # The parser runs in a folder of its own: options files named by an
        # input are looked up there (inputs naming a path with '/' are
        # skipped by the target), next to fixtures that nest, name
        # themselves, are refused or are too long.
        run_dir="$work/sandbox"
        rm -rf "$run_dir"
        mkdir -p "$run_dir"
        (
            cd "$run_dir"
            printf -- '--port=15000\n  --service_name=News 24\t\n# a comment\n\n--debug\n' > a.opts
            printf -- '--src-addr=127.0.0.1:5000\na.opts\n--mpegts_service_id=0x10\n' > b.opts
            printf -- '--dst-addr\n127.0.0.1:6000\nself.opts\n' > self.opts
            printf -- '--debug\npong.opts\n' > ping.opts
            printf -- '--debug\nping.opts\n' > pong.opts
            printf -- '--nope\n--port=1\n' > bad.opts
            printf -- '--help\n' > help.opts
            printf -- '# only a comment\n\n   \n' > empty.opts
            { printf -- '--filler='; head -c 5000 /dev/zero | tr '\0' f; printf '\n'; } > long.opts
            for i in $(seq 0 17); do printf -- '--debug\nd%d.opts\n' $((i + 1)) > "d$i.opts"; done
            for i in $(seq 1 4100); do echo --debug; done > many.opts
        )
        printf -- '--port=15000\n--service_name=News 24\n' > "$seeds/cmdline"
        printf -- '--po\n14001\n--mpegts_pmt_start_pid=010\nb.opts\n' > "$seeds/nested"
        printf -- '--debug\nself.opts\nping.opts\nd0.opts\n' > "$seeds/loops"
        printf -- '-h\n' > "$seeds/help"
        printf -- '--log-file-name=x.log\nbad.opts\nlong.opts\nmany.opts\nempty.opts\nhelp.opts\n' \
            > "$seeds/refused"
        printf -- '--demonize\n--nodemonize\n--realtime-io\n--cpu-affinity=3\n--realtime-cpu\n2\n' \
            > "$seeds/flags"
        { printf -- '--service_name='; head -c 4200 /dev/zero | tr '\0' n; printf '\n--debug\n'; } \
            > "$seeds/long-line"
        ;;
    schedule)
        # A day's schedule as the traffic system writes it (CR LF), records at
        # their byte positions: LOI spots, a NUL break, remarks, an unreadable
        # line; and one with LF line ends and two windows.
        python3 - "$seeds" <<'PY'
import sys
def rec(t, date, start, minutes, brk, pos, length, spot):
    return ("%s %s 120000 %s %s %03d %03d %s 000000 00000000 000 %-11s 0000 %-32s %-20s SCHD 000000 own"
            % (t, date, start, minutes, brk, pos, length, spot, "ACME Corp", "Spring"))
day = ["REM the day", rec("LOI", "0301", "1000", "0130", 1, 1, "000030", "SPOT1"),
       rec("LOI", "0301", "1000", "0130", 1, 2, "000015", "00000000004"), "NUL 0301 120000 1000 0130 002",
       "LOI 0301 12x000 1000 0130 003", "", "END"]
open(sys.argv[1] + "/day.sch", "w", newline="").write("\r\n".join(day) + "\r\n")
two = [rec("LOI", "1231", "2330", "0045", 1, 1, "000010", "A"), rec("LOI", "0101", "0000", "0100", 1, 1, "000020", "B"),
       rec("NUL", "0101", "0000", "0100", 2, 0, "000000", ""), "END"]
open(sys.argv[1] + "/two.sch", "w", newline="").write("\n".join(two) + "\n")
PY
        ;;
    ts_in)
        # The start of multiplexes at 160x120: three programmes (one sharing
        # the first's audio and SCTE-35 PIDs, one scrambled with a CAT, an
        # ECM and a PID of an unknown type), and one programme whose SCTE-35
        # PID has no "CUEI" (its PMT is rewritten). Each after the two bytes
        # that set the read size, the programme asked for and the CRC repair.
        if ! command -v ffmpeg >/dev/null 2>&1; then
            echo "run_fuzz: the ffmpeg command makes the seeds and is not installed, skipping"
            exit 77
        fi
        gen="$src/tools/kestrow_gen.py"
        small=(--size 160x120 --video-bitrate 150k --audio-bitrate 32k --gop 10 --duration 1)
        python3 "$gen" "$work/mux.ts" "${small[@]}" --programs 3 --program 2:share=audio+scte,audio=mp2 \
            --program 3:scrambled=1,unknown=0x3F0:0xA0 --cue at=0.5,dur=0.3
        python3 "$gen" "$work/nocuei.ts" "${small[@]}" --no-cuei --cue at=0.5,dur=0.3
        { printf '\x80\x00'; head -c 100000 "$work/mux.ts"; } > "$seeds/mux-first"
        { printf '\x81\x03'; head -c 100000 "$work/mux.ts"; } > "$seeds/mux-asked"
        { printf '\x86\x02'; head -c 100000 "$work/mux.ts"; } > "$seeds/mux-spts"
        { printf '\x83\x00'; head -c 60000 "$work/nocuei.ts"; } > "$seeds/nocuei"
        ;;
    h264_join)
        # Open-GOP H.264 at 64x64 (CAVLC; CABAC with weighted prediction;
        # interlaced), each after a byte that puts a switch before every key
        # frame.
        if ! command -v ffmpeg >/dev/null 2>&1; then
            echo "run_fuzz: the ffmpeg command makes the seeds and is not installed, skipping"
            exit 77
        fi
        for preset in ultrafast medium; do
            python3 "$src/tools/kestrow_gen.py" "$work/$preset.ts" --size 64x64 --duration 1 --gop 10 \
                --open-gop --audio aac --preset "$preset"
            { printf '\x0F'; ffmpeg -nostdin -v error -i "$work/$preset.ts" -map 0:v -c copy -f h264 -; } \
                > "$seeds/$preset.264"
        done
        ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=s=64x64:d=1 -c:v libx264 -preset medium \
            -flags +ildct+ilme -x264-params open-gop=1:keyint=10:aud=1 -f h264 "$work/mbaff.264"
        { printf '\x0F'; cat "$work/mbaff.264"; } > "$seeds/mbaff.264"
        ;;
    demo)
        # Short programmes at 160x120 with cues (no B-frames and two
        # B-frames, one just before the 33-bit wrap, one with open GOPs), a
        # filler as an input without cues, and the filler that every run
        # splices in.
        if ! command -v ffmpeg >/dev/null 2>&1; then
            echo "run_fuzz: the ffmpeg command makes the seeds and is not installed, skipping"
            exit 77
        fi
        gen="$src/tools/kestrow_gen.py"
        small=(--size 160x120 --video-bitrate 150k --audio-bitrate 32k --gop 10)
        python3 "$gen" "$work/filler.ts" "${small[@]}" --filler --duration 1 --audio aac,mp2
        python3 "$gen" "$seeds/b0.ts" "${small[@]}" --duration 1.5 --bframes 0 --audio aac \
            --cue at=0.8,dur=0.4,lead=0.7
        python3 "$gen" "$seeds/b2.ts" "${small[@]}" --duration 2 --bframes 2 --audio aac,mp2 \
            --cue at=0.8,dur=0.5,lead=0.7 --cue at=1.5,lead=1.2
        python3 "$gen" "$seeds/wrap.ts" "${small[@]}" --duration 2 --bframes 0 --audio mp2 \
            --start-pts '8589934592-1*90000' --cue at=1.2,dur=0.4,lead=1.0
        python3 "$gen" "$seeds/immediate.ts" "${small[@]}" --duration 1 --bframes 0 --audio aac \
            --cue immediate=1,send=0.1 --cue type=time_signal,at=0.6,lead=0.5
        python3 "$gen" "$seeds/open-gop.ts" "${small[@]}" --duration 2 --bframes 2 --open-gop --audio aac \
            --cue at=0.8,dur=0.8,lead=0.7
        cp "$work/filler.ts" "$seeds/filler-as-input.ts"
        export KESTROW_FUZZ_FILLER="$work/filler.ts"
        ;;
esac

cd "$run_dir"
# libFuzzer's own exit code for a crash is 77, which CTest would read as "skipped".
exec "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout="$timeout" \
    -error_exitcode=1 -timeout_exitcode=1 \
    -rss_limit_mb="$rss" -print_final_stats=1 -artifact_prefix="$work/" ${flags[@]+"${flags[@]}"} "$@" \
    "$corpus" "$seeds"
