/*
 * kestrow_conform [--loudness=LUFS] PROGRAMME SOURCE OUTPUT
 *
 * Conforms SOURCE into the MPEG-TS file OUTPUT in the format of the
 * programme recording PROGRAMME (its first video stream and its audio
 * streams, by PID) at LUFS (-23 by default), as both programs do with
 * spots and filler. Prints one JSON line: status, loudness before and
 * after, true peak, seconds of pictures, CPU seconds, why. Exit 0 when
 * conformed or checked.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "conform/conform.h"

int main(int argc, char **argv)
{
    double lufs = -23;
    int first = 1;
    if (argc > 1 && strncmp(argv[1], "--loudness=", 11) == 0) {
        lufs = atof(argv[1] + 11);
        first = 2;
    }
    if (argc - first != 3) {
        fprintf(stderr, "usage: %s [--loudness=LUFS] programme source output\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext *prog = nullptr;
    if (avformat_open_input(&prog, argv[first], nullptr, nullptr) < 0 ||
        avformat_find_stream_info(prog, nullptr) < 0) {
        fprintf(stderr, "cannot read the programme %s\n", argv[first]);
        avformat_close_input(&prog);
        return 1;
    }
    conform_target t;
    if (conform_target_from(prog, prog, lufs, &t) < 0) {
        fprintf(stderr, "the programme %s has no video\n", argv[first]);
        avformat_close_input(&prog);
        return 1;
    }
    avformat_close_input(&prog);
    conform_result res;
    int ret = conform_file(argv[first + 1], argv[first + 2], &t, &res, nullptr);
    printf("{\"status\": \"%s\", \"before\": %.2f, \"after\": %.2f, \"peak\": %.2f, \"seconds\": %.3f, "
           "\"cpu_seconds\": %.3f, \"why\": \"%s\"}\n", conform_status_name(res.status), res.before, res.after,
           res.peak > -99 ? res.peak : -99.0, res.seconds, res.cpu_seconds, res.why);
    return ret < 0;
}
