#!/usr/bin/env bash
# Builds the SCTE 35 parser's libFuzzer target with clang++ and runs it for a
# bounded time on a generated seed corpus.
#   run_fuzz.sh SOURCE_DIR WORK_DIR
# KESTROW_FUZZ_SECONDS sets the budget (default 60). Exits 77 (skipped) when
# clang++ is not installed; any finding fails the run.
set -euo pipefail

src=${1:?source dir}
work=${2:?work dir}
seconds=${KESTROW_FUZZ_SECONDS:-60}

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
bin="$work/fuzz_scte35"
"$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$src" "$src/scte35/scte35.cpp" "$src/tests/fuzz/fuzz_scte35.cpp" -o "$bin"

# Fresh corpus per run, seeded from the generator; findings go to the work dir.
corpus="$work/corpus"
seeds="$work/seeds"
rm -rf "$corpus" "$seeds"
mkdir -p "$corpus"
python3 "$src/tests/fuzz/make_seeds.py" "$seeds"

cd "$work"
exec "$bin" -max_total_time="$seconds" -max_len=512 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/" "$corpus" "$seeds"
