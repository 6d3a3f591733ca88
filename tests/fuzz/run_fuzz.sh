#!/usr/bin/env bash
# Builds a libFuzzer target with clang++ and runs it for a bounded time: the
# SCTE 35 parser (default, on a generated seed corpus) or the MPEG-TS output
# stage (ts_out, which builds its streams from the fuzz input itself).
#   run_fuzz.sh SOURCE_DIR WORK_DIR [scte35|ts_out]
# KESTROW_FUZZ_SECONDS sets the budget (default 60). Exits 77 (skipped) when
# clang++ is not installed; any finding fails the run.
set -euo pipefail

src=${1:?source dir}
work=${2:?work dir}
target=${3:-scte35}
seconds=${KESTROW_FUZZ_SECONDS:-60}

case "$target" in
    scte35) sources=("$src/scte35/scte35.cpp"); libs=(); max_len=512 ;;
    ts_out) sources=("$src/pipeline/ts_out.cpp")
            read -r -a libs <<< "$(pkg-config --cflags --libs libavformat libavutil)"
            max_len=8192 ;;
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
    exit 77
fi

mkdir -p "$work"
bin="$work/fuzz_$target"
"$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$src" "${sources[@]}" "$src/tests/fuzz/fuzz_$target.cpp" "${libs[@]}" -o "$bin"

# Fresh corpus per run, seeded from the generator; findings go to the work dir.
corpus="$work/corpus"
seeds="$work/seeds"
rm -rf "$corpus" "$seeds"
mkdir -p "$corpus" "$seeds"
if [ "$target" = scte35 ]; then
    python3 "$src/tests/fuzz/make_seeds.py" "$seeds"
fi

cd "$work"
exec "$bin" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/" "$corpus" "$seeds"
