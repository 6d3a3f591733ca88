#!/usr/bin/env bash
# The main job on a stream Kestrow generates itself: builds KestrowApp,
# generates a 42 s programme with two announced ad breaks and a filler,
# relays the programme through KestrowApp over loopback UDP (a sender paced
# by the stream's clock, a receiver recording the output), stops the service
# with SIGTERM and reports each break as it came out, beside the log lines.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROW_BUILD_DIR:-$top/build}
work=${KESTROW_QUICKSTART_DIR:-$top/out/quickstart}
src=${KESTROW_SRC:-127.0.0.1:25001}
dst=${KESTROW_DST:-127.0.0.1:25002}
ctl_port=${KESTROW_CTL_PORT:-25003}

bash "$top/tools/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROW_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target KestrowApp kestrow_check >/dev/null
mkdir -p "$work"
rm -f "$work"/kestrow.log* "$work/output.ts"

echo "== generating the programme (breaks at 10 s for 8 s and at 26 s for 6 s) and the filler"
python3 "$top/tools/kestrow_gen.py" "$work/programme.ts" --duration 42 \
    --cue at=10,dur=8,lead=3,id=101 --cue at=26,dur=6,lead=3,id=102 >/dev/null
python3 "$top/tools/kestrow_gen.py" "$work/filler.ts" --filler --duration 12 >/dev/null

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

python3 "$top/tools/kestrow_udp.py" recv "$dst" "$work/output.ts" --seconds 90 --idle 5 2>/dev/null &
receiver=$!
pids+=("$receiver")
"$build/service/KestrowApp" --src-addr="$src" --dst-addr="$dst" --port="$ctl_port" \
    --filler="$work/filler.ts" --log-file-name="$work/kestrow.log" 2>/dev/null &
app=$!
pids+=("$app")
sleep 1

echo "== sending the programme to $src in real time (42 s); KestrowApp relays it to $dst"
python3 "$top/tools/kestrow_udp.py" send "$work/programme.ts" "$src"
# Stopped once the programme's end is out, before the slate that covers a
# lost input (after --input-loss-slate, 1 s) comes on.
sleep 0.6
kill -TERM "$app"
status=0
wait "$app" || status=$?
echo "== KestrowApp stopped on SIGTERM with status $status"
wait "$receiver" || true

echo "== what came out ($work/output.ts)"
KESTROW_TOOLS_BIN="$build/tools" python3 "$top/tools/kestrow_report.py" \
    "$work/programme.ts" "$work/filler.ts" "$work/output.ts" "$work/kestrow.log"
exit "$status"
