#!/usr/bin/env bash
# ThreadSanitizer run of the tests whose code runs on several threads (logger,
# signals, control server, status, library log callback, the as-run writer,
# the re-encoder's threads, a few live relays, an SRT link and an SRT channel):
#   run_tsan.sh SOURCE_DIR WORK_DIR [build|run]
# Builds them in WORK_DIR/build with -fsanitize=thread (AddressSanitizer off:
# the two cannot be combined), runs them, and fails on any test failure or any
# report written to WORK_DIR/reports (the service's processes included).
# "build" only builds, "run" only runs what was built; both by default.
set -euo pipefail

src=$(cd "${1:?source dir}" && pwd)
mkdir -p "${2:?work dir}"
work=$(cd "$2" && pwd)
build="$work/build"
reports="$work/reports"
jobs=${KESTROW_TSAN_JOBS:-2}
mode=${3:-all}

units=(tests/common/kestrow_common_log_test
       tests/service/kestrow_service_signals_test
       tests/service/kestrow_service_ctl_test
       tests/service/kestrow_service_status_test
       tests/common/kestrow_common_trace_test
       tests/tsan/kestrow_threads_test
       tests/net/kestrow_net_links_tests
       tests/codec/kestrow_codec_tests)

if [ "$mode" != run ]; then
flags="-fsanitize=thread -g -O1 -fno-omit-frame-pointer"
cmake -S "$src" -B "$build" -DKESTROW_SANITIZE=OFF -DKESTROW_TESTS=ON -DKESTROW_TSAN_BUILD=ON \
    -DCMAKE_BUILD_TYPE= -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread \
    >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }

targets=(KestrowApp kestrow_check)
for u in "${units[@]}"; do
    targets+=("$(basename "$u")")
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$work/build.log" 2>&1 ||
    { tail -50 "$work/build.log"; exit 1; }
fi
[ "$mode" != build ] || exit 0

rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan:suppressions=$src/tests/tsan/tsan.supp"
# The process tests find the programs of this build.
export KESTROW_APP="$build/service/KestrowApp"
export KESTROW_DEMO="$build/demo/KestrowDemo"
export KESTROW_TOOLS="$src/tools"
export KESTROW_TOOLS_BIN="$build/tools"
export KESTROW_BUILD="$build"
export PYTHONPATH="$src/tests/lib"
export PYTHONDONTWRITEBYTECODE=1

failed=0
run() {
    local name=$1
    shift
    echo "== $name"
    if ! timeout 300 "$@"; then
        echo "== $name FAILED"
        failed=1
    fi
}
# The row that sends a logging thread hundreds of signals is left to the
# other builds: a signal landing while ThreadSanitizer's own runtime allocates
# its shadow for an atomic crashed inside that runtime (DenseSlabAlloc::Refill),
# twice in five runs, with no report on this tree's code.
for u in "${units[@]}"; do
    filter=
    [ "$(basename "$u")" != kestrow_service_signals_test ] ||
        filter=--gtest_filter=-Signals.HandlerInterruptingALoggingThreadNeverBlocksIt
    [ "$(basename "$u")" != kestrow_codec_tests ] || filter=--gtest_filter=Reencode.*  # runs on its threads
    run "$(basename "$u")" "$build/$u" --gtest_brief=1 $filter
done
run "service/test_service.py (signals, second signal, control port)" \
    python3 -u "$src/tests/service/test_service.py" \
    Service.test_each_terminating_signal_stops_it_in_order \
    Service.test_second_signal_during_the_shutdown_adds_one_line \
    Service.test_invented_methods_and_system_shutdown_get_fault_one
run "service/test_onair.py (the as-run writer's thread)" \
    python3 -u "$src/tests/service/test_onair.py" \
    OnAir.test_an_as_run_file_that_blocks_holds_up_neither_the_output_nor_its_lines
run "service/test_srt.py (an encrypted caller refused then spliced, a lossy link)" \
    python3 -u "$src/tests/service/test_srt.py" \
    Srt.test_an_encrypted_caller_is_spliced_after_wrong_passphrases_were_refused \
    Srt.test_losses_on_the_link_are_retransmitted_in_time
run "service/test_live.py (breaks, a frame-accurate return, stop while silent)" \
    python3 -u "$src/tests/service/test_live.py" \
    Live.test_breaks_are_spliced_and_logged \
    Live.test_a_break_between_key_frames_is_on_the_announced_pictures \
    Live.test_sigterm_while_the_input_is_silent

if compgen -G "$reports/tsan*" >/dev/null; then
    echo "== ThreadSanitizer reports:"
    cat "$reports"/tsan*
    failed=1
fi
if [ "$failed" = 0 ]; then
    echo "== no ThreadSanitizer report"
fi
exit "$failed"
