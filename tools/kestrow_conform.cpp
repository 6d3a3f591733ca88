/*
 * kestrow_conform [--loudness=LUFS] [--length=SECONDS] PROGRAMME SOURCE OUTPUT
 *
 * Conforms SOURCE into the MPEG-TS file OUTPUT in the format of the
 * programme recording PROGRAMME (its first video stream and its audio
 * streams, by PID) at LUFS (-23 by default), SECONDS long to the picture
 * (a spot's scheduled length; its own by default), as both programs do
 * with spots and filler. Prints one JSON line: status, loudness before and
 * after, true peak, seconds of pictures (the copy's and the source's), the
 * copy's pictures, CPU seconds, why. Exit 0 when conformed, remuxed or
 * checked.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "conform/conform.h"

int main(int argc, char **argv)
{
    double lufs = -23, length = 0;
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        if (strncmp(argv[first], "--loudness=", 11) == 0)
            lufs = atof(argv[first] + 11);
        else if (strncmp(argv[first], "--length=", 9) == 0)
            length = atof(argv[first] + 9);
        else
            break;
    }
    if (argc - first != 3) {
        fprintf(stderr, "usage: %s [--loudness=LUFS] [--length=SECONDS] programme source output\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    conform_target t;
    int ret = conform_target_from_file(argv[first], lufs, &t);
    if (ret < 0) {
        fprintf(stderr, ret == -EINVAL ? "the programme %s has no video\n" : "cannot read the programme %s\n",
                argv[first]);
        return 1;
    }
    t.length = length;
    conform_result res;
    ret = conform_file(argv[first + 1], argv[first + 2], &t, &res, nullptr);
    printf("{\"status\": \"%s\", \"before\": %.2f, \"after\": %.2f, \"peak\": %.2f, \"seconds\": %.3f, "
           "\"source_seconds\": %.3f, \"pictures\": %lld, \"cpu_seconds\": %.3f, \"why\": \"%s\"}\n",
           conform_status_name(res.status), res.before, res.after, res.peak > -99 ? res.peak : -99.0, res.seconds,
           res.source_seconds, (long long)res.pictures, res.cpu_seconds, res.why);
    return ret < 0;
}
